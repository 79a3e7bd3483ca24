#pragma once

#include <QElapsedTimer>
#include <QRect>
#include <QWidget>

class QScrollArea;

namespace quillon::app {

// Where the popup goes: centred below the anchor (the tray icon, or the pointer when the tray
// does not say where the icon is), above it when the anchor sits in the lower half of the
// screen (a bottom panel), and always inside the screen's available area.
QRect placePopup(const QRect& anchor, const QRect& available, const QSize& size);

// The frameless popup that hosts the panel; it closes when the user clicks elsewhere.
class PopupWindow : public QWidget {
    Q_OBJECT

  public:
    static constexpr int fixedWidth = 400;
    static constexpr int minimumHeight = 120;

    // Takes ownership of content.
    explicit PopupWindow(QWidget* content);

    QWidget* content() const { return m_content; }
    // The content's fitting height at fixedWidth, at least minimumHeight; unrounded gets the
    // content's own height.
    int fittingHeight(double* unrounded = nullptr) const;
    // Sets the window to fixedWidth x the fitting height (no taller than the screen it is on).
    void fit();
    // Fits, places next to anchor on its screen and shows.
    void open(const QRect& anchor);
    // True for a short while after a click elsewhere closed the popup: when that click was on
    // the tray icon, it must not open the popup again at once.
    bool justClosed() const;
    // Closes it as the tray icon's own toggle does: a click right after may reopen it.
    void closeNow();

  protected:
    // The content's layout settles after a change (new rows get their style when shown): follow it.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    QScrollArea* m_scroll;
    QWidget* m_content;
    QElapsedTimer m_closed;
    QRect m_anchor;
    bool m_refitQueued = false;
};

} // namespace quillon::app
