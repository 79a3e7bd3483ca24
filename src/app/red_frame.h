#pragma once

#include <QColor>
#include <QRect>
#include <QWidget>

#include <memory>
#include <vector>

namespace quillon::app {

// The red frame drawn around every screen while gates are open: one window per screen,
// above everything, never taking a click or the focus.
class RedFrame {
  public:
    static constexpr int width = 7;
    static const QColor red;

    RedFrame();
    ~RedFrame();
    RedFrame(const RedFrame&) = delete;
    RedFrame& operator=(const RedFrame&) = delete;

    // On: one window per current screen, rebuilt when the screens no longer match the windows.
    // Off: no windows.
    void show(bool on);

    // False where no client may place such windows (Wayland): show() then draws nothing.
    static bool supported();

    const std::vector<std::unique_ptr<QWidget>>& windows() const { return m_windows; }

    // The part of a window of this size that is drawn: a ring `width` wide.
    static QRegion ring(const QSize& size);

  private:
    std::vector<std::unique_ptr<QWidget>> m_windows;
    std::vector<QRect> m_geometries;
};

} // namespace quillon::app
