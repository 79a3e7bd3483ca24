#include "app/popup_window.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

namespace quillon::app {

QRect placePopup(const QRect& anchor, const QRect& available, const QSize& size) {
    int x = anchor.x() + anchor.width() / 2 - size.width() / 2;
    int y = anchor.bottom() + 1;
    if (anchor.y() + anchor.height() / 2 > available.y() + available.height() / 2)
        y = anchor.top() - size.height();
    x = std::max(available.left(), std::min(x, available.right() + 1 - size.width()));
    y = std::max(available.top(), std::min(y, available.bottom() + 1 - size.height()));
    return QRect(QPoint(x, y), size);
}

PopupWindow::PopupWindow(QWidget* content)
    : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint), m_scroll(new QScrollArea(this)),
      m_content(content) {
    setWindowTitle(QStringLiteral("Quillon"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setWidgetResizable(true);
    m_scroll->setWidget(content);
    layout->addWidget(m_scroll);
    content->installEventFilter(this);
}

bool PopupWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_content && event->type() == QEvent::LayoutRequest && isVisible() && !m_refitQueued) {
        m_refitQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_refitQueued = false;
                fit();
            },
            Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

int PopupWindow::fittingHeight(double* unrounded) const {
    // Fonts and margins come with the style: measure what will be shown.
    m_content->ensurePolished();
    int h = m_content->hasHeightForWidth() ? m_content->heightForWidth(fixedWidth) : -1;
    if (h < 0) h = m_content->sizeHint().height();
    if (unrounded) *unrounded = h;
    return std::max(minimumHeight, h);
}

void PopupWindow::fit() {
    int h = fittingHeight();
    // A panel taller than the screen scrolls rather than running off its edge.
    if (const QScreen* s = screen())
        h = std::min(h, std::max(minimumHeight, s->availableGeometry().height()));
    if (size() != QSize(fixedWidth, h)) {
        setFixedSize(fixedWidth, h);
        if (isVisible() && screen()) setGeometry(placePopup(m_anchor, screen()->availableGeometry(), size()));
    }
}

void PopupWindow::open(const QRect& anchor) {
    QScreen* s = QGuiApplication::screenAt(anchor.center());
    if (!s) s = QGuiApplication::primaryScreen();
    if (s) setScreen(s);
    m_anchor = anchor;
    fit();
    const QRect available = s ? s->availableGeometry() : QRect(anchor.topLeft(), size());
    setGeometry(placePopup(anchor, available, size()));
    show();
    raise();
    activateWindow();
}

bool PopupWindow::justClosed() const {
    return m_closed.isValid() && m_closed.elapsed() < 300;
}

void PopupWindow::closeNow() {
    close();
    m_closed.invalidate();
}

void PopupWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        closeNow();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PopupWindow::hideEvent(QHideEvent* event) {
    m_closed.start();
    QWidget::hideEvent(event);
}

} // namespace quillon::app
