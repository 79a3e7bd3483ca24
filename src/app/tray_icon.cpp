#include "app/tray_icon.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QtMath>

#include <cmath>

#include "app/icon.h"
#include "app/status_notifier_item.h"
#include "settings/format.h"

namespace quillon::app {
namespace {

// Percentages come from files other programs write: keep the whole-number cut defined.
long long truncatedPercent(double p) {
    if (!std::isfinite(p)) return 0;
    return static_cast<long long>(std::clamp(p, -1e9, 1e9));
}

const QColor red(255, 59, 48);
const QColor lightOrange(255, 159, 10);

// The figure as a filled path, as large as fits in a box of maxWidth x maxHeight, centred on
// centre. Drawn as a path so its ink, not its font box, is what gets centred.
QPainterPath figurePath(const QString& text, double maxWidth, double maxHeight, QPointF centre) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setPixelSize(100);
    QPainterPath path;
    path.addText(0, 0, font, text);
    const QRectF ink = path.boundingRect();
    if (ink.isEmpty()) return path;
    const double scale = std::min(maxWidth / ink.width(), maxHeight / ink.height());
    QTransform t;
    t.translate(centre.x(), centre.y());
    t.scale(scale, scale);
    t.translate(-ink.center().x(), -ink.center().y());
    return t.map(path);
}

QPolygonF octagon(double s) {
    QPolygonF poly;
    const double r = s * 0.49 / std::cos(M_PI / 8); // flat sides touch the square's inset edges
    for (int k = 0; k < 8; ++k) {
        const double a = M_PI / 8 + k * M_PI / 4;
        poly << QPointF(s / 2 + r * std::cos(a), s / 2 + r * std::sin(a));
    }
    return poly;
}

} // namespace

std::string TrayLook::figure() const {
    switch (state) {
    case State::failing: {
        const std::string count = title.substr(0, title.find(' '));
        return count.size() > 2 ? "99+" : count;
    }
    case State::loading:
        return {};
    case State::limit:
        return title;
    case State::dollars:
    case State::tokens: {
        // "12.3M" reads as "12M" at this size; "1.2B" keeps its one decimal.
        const auto dot = title.find('.');
        const std::size_t digitsBefore = dot == std::string::npos ? 0 : dot - (title[0] == '$' ? 1 : 0);
        if (dot != std::string::npos && digitsBefore >= 2) {
            std::size_t end = dot + 1;
            while (end < title.size() && title[end] >= '0' && title[end] <= '9')
                ++end;
            return title.substr(0, dot) + title.substr(end);
        }
        return title;
    }
    }
    return title;
}

TrayLook trayLook(const Snapshot& snap, const std::vector<Gate>& gates, const Config& config) {
    TrayLook look;
    if (!gates.empty()) {
        look.state = TrayLook::State::failing;
        look.title = std::to_string(gates.size()) + " failed";
    } else if (!snap.ready) {
        look.state = TrayLook::State::loading;
        look.title = "\u2026";
    } else if (config.menuBarLimit && !snap.limits.empty()) {
        const LimitView* top = &snap.limits.front();
        for (const LimitView& v : snap.limits)
            if (v.usedPercent > top->usedPercent) top = &v; // the first of equals decides
        look.state = TrayLook::State::limit;
        look.title = std::to_string(truncatedPercent(top->usedPercent)) + "%";
        look.orange = top->level >= 1;
    } else if (config.menuBarDollars) {
        look.state = TrayLook::State::dollars;
        look.title = format("$%.0f", snap.today.usd);
        look.orange = snap.overBudget;
    } else {
        look.state = TrayLook::State::tokens;
        look.title = fmtTokens(snap.today.tokens);
        look.orange = snap.overBudget;
    }
    return look;
}

QImage trayPicture(const TrayLook& look, int size) {
    const double s = size;
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const QString figure = QString::fromStdString(look.figure());

    switch (look.state) {
    case TrayLook::State::failing:
        p.setBrush(red);
        p.drawPolygon(octagon(s));
        p.setBrush(Qt::white);
        // One digit stands tall; two or three share the width.
        p.drawPath(figurePath(figure, s * (figure.size() == 1 ? 0.5 : 0.74), s * 0.56, {s / 2, s / 2}));
        break;
    case TrayLook::State::loading:
        Icon::cross(p, s, false);
        break;
    default:
        // The mark's black, as a rounded square (its tile form) so a figure of four or five
        // characters still gets most of the width.
        p.setBrush(Qt::black);
        p.drawRoundedRect(QRectF(0, 0, s, s), 0.22 * s, 0.22 * s);
        p.setBrush(look.orange ? lightOrange : QColor(Qt::white));
        p.drawPath(figurePath(figure, s * 0.9, s * 0.5, {s / 2, s / 2}));
        break;
    }
    return image;
}

QIcon trayIconSet(const TrayLook& look) {
    QIcon icon;
    for (int size : trayIconSizes)
        icon.addPixmap(QPixmap::fromImage(trayPicture(look, size)));
    return icon;
}

TrayIcon::TrayIcon(QObject* parent) : QObject(parent) {
    connect(&m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) emit clicked();
    });
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        m_host = Host::systemTray;
        return;
    }
    const QString watcher = QString::fromLatin1(StatusNotifierItem::watcherService);
    // Watching first, so a watcher that starts while the question below is on its way is seen.
    auto* watching = new QDBusServiceWatcher(watcher, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watching, &QDBusServiceWatcher::serviceRegistered, this, &TrayIcon::watcherAppeared);
    bus.connect(watcher, QStringLiteral("/StatusNotifierWatcher"), watcher,
                QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(hostAppeared()));
    QDBusMessage ask = busDaemonCall(QStringLiteral("NameHasOwner"));
    ask << watcher;
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(ask), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        if (m_host != Host::undecided) return;
        const QDBusPendingReply<bool> reply = *call;
        if (reply.isValid() && reply.value())
            askForHost();
        else
            useSystemTray();
    });
}

// A watcher with no host registered shows no item (Qt asks the same before it uses one), so
// the item is used only when a host is there, or when the watcher cannot say.
void TrayIcon::askForHost() {
    const QString watcher = QString::fromLatin1(StatusNotifierItem::watcherService);
    QDBusMessage get = QDBusMessage::createMethodCall(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(get), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *call;
        const bool noHost = reply.isValid() && !reply.value().variant().toBool();
        if (m_host == Host::statusNotifier) return;
        if (noHost) {
            if (m_host == Host::undecided) useSystemTray();
            return;
        }
        // An XEmbed tray that shows the icon already keeps it.
        if (m_host == Host::undecided || !QSystemTrayIcon::isSystemTrayAvailable()) useStatusNotifier();
    });
}

void TrayIcon::hostAppeared() {
    if (m_host == Host::systemTray && !QSystemTrayIcon::isSystemTrayAvailable()) askForHost();
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::show(const TrayLook& look) {
    if (m_shown && look == m_look) return;
    m_look = look;
    m_shown = true;
    present();
}

void TrayIcon::present() {
    if (!m_shown) return;
    switch (m_host) {
    case Host::undecided:
        break; // drawn once the bus has answered
    case Host::systemTray:
        m_icon.setIcon(trayIconSet(m_look));
        m_icon.setToolTip(QString::fromStdString(m_look.title));
        if (!m_icon.isVisible()) m_icon.show();
        break;
    case Host::statusNotifier:
        m_sni->setLook(m_look);
        break;
    }
}

void TrayIcon::useSystemTray() {
    m_host = Host::systemTray;
    present();
}

void TrayIcon::useStatusNotifier() {
    auto item = std::make_unique<StatusNotifierItem>(QDBusConnection::sessionBus());
    if (!item->exported()) {
        if (m_host == Host::undecided) useSystemTray();
        return;
    }
    connect(item.get(), &StatusNotifierItem::activated, this, &TrayIcon::clicked);
    // Never both: Qt's tray icon would be a second item beside this one.
    m_icon.hide();
    m_sni = std::move(item);
    m_host = Host::statusNotifier;
    present();
}

void TrayIcon::watcherAppeared() {
    switch (m_host) {
    case Host::undecided:
        askForHost();
        break;
    case Host::statusNotifier:
        // A restarted watcher (a restarted gnome-shell, say) knows no items.
        m_sni->registerWithWatcher();
        break;
    case Host::systemTray:
        // Waiting for an XEmbed tray that is not there: the new host shows the icon instead.
        if (!QSystemTrayIcon::isSystemTrayAvailable()) askForHost();
        break;
    }
}

} // namespace quillon::app
