#include "app/red_frame.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

namespace quillon::app {
namespace {

class FrameWindow : public QWidget {
  public:
    explicit FrameWindow(QScreen* screen)
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                               Qt::WindowTransparentForInput | Qt::Tool | Qt::WindowDoesNotAcceptFocus |
                               Qt::X11BypassWindowManagerHint) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setWindowTitle(QStringLiteral("Quillon frame"));
        setScreen(screen);
        setGeometry(screen->geometry());
        // Without a compositor a translucent window paints black: draw only the ring.
        setMask(RedFrame::ring(screen->geometry().size()));
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), RedFrame::red);
    }
};

std::vector<QRect> screenGeometries() {
    std::vector<QRect> out;
    for (QScreen* s : QGuiApplication::screens())
        out.push_back(s->geometry());
    return out;
}

} // namespace

// The system red of the frame (the same on light and dark desktops).
const QColor RedFrame::red = QColor(255, 59, 48);

RedFrame::RedFrame() = default;
RedFrame::~RedFrame() = default;

bool RedFrame::supported() {
    return !QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
}

QRegion RedFrame::ring(const QSize& size) {
    const QRect outer(QPoint(0, 0), size);
    return QRegion(outer).subtracted(QRegion(outer.adjusted(width, width, -width, -width)));
}

void RedFrame::show(bool on) {
    const std::vector<QRect> geometries = on && supported() ? screenGeometries() : std::vector<QRect>{};
    if (geometries == m_geometries && m_windows.size() == geometries.size()) return;
    m_windows.clear();
    m_geometries.clear();
    if (geometries.empty()) return;
    for (QScreen* screen : QGuiApplication::screens()) {
        auto w = std::make_unique<FrameWindow>(screen);
        w->show();
        w->raise();
        m_windows.push_back(std::move(w));
    }
    m_geometries = geometries;
}

} // namespace quillon::app
