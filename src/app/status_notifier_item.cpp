#include "app/status_notifier_item.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QtEndian>

#include <unistd.h>

namespace quillon::app {
namespace {

// The item carries no menu; this path is what hosts recognise as "none".
const QString noMenu = QStringLiteral("/NO_DBUSMENU");

} // namespace

QDBusMessage busDaemonCall(const QString& method) {
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                          QStringLiteral("/org/freedesktop/DBus"),
                                          QStringLiteral("org.freedesktop.DBus"), method);
}

SniPixmap sniPixmap(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    SniPixmap out{argb.width(), argb.height(), {}};
    out.bytes.resize(static_cast<qsizetype>(argb.width()) * argb.height() * 4);
    auto* to = reinterpret_cast<uchar*>(out.bytes.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto* row = reinterpret_cast<const quint32*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x, to += 4)
            qToBigEndian(row[x], to);
    }
    return out;
}

QImage sniImage(const SniPixmap& pixmap) {
    if (pixmap.width <= 0 || pixmap.height <= 0 ||
        pixmap.bytes.size() != static_cast<qsizetype>(pixmap.width) * pixmap.height * 4)
        return {};
    QImage image(pixmap.width, pixmap.height, QImage::Format_ARGB32);
    const auto* from = reinterpret_cast<const uchar*>(pixmap.bytes.constData());
    for (int y = 0; y < pixmap.height; ++y) {
        auto* row = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < pixmap.width; ++x, from += 4)
            row[x] = qFromBigEndian<quint32>(from);
    }
    return image;
}

QDBusArgument& operator<<(QDBusArgument& out, const SniPixmap& pixmap) {
    out.beginStructure();
    out << pixmap.width << pixmap.height << pixmap.bytes;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, SniPixmap& pixmap) {
    in.beginStructure();
    in >> pixmap.width >> pixmap.height >> pixmap.bytes;
    in.endStructure();
    return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const SniToolTip& tip) {
    out.beginStructure();
    out << tip.iconName << tip.icon << tip.title << tip.text;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, SniToolTip& tip) {
    in.beginStructure();
    in >> tip.iconName >> tip.icon >> tip.title >> tip.text;
    in.endStructure();
    return in;
}

// The interface as hosts see it: properties read from the item, signals relayed from it.
class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ empty)
    Q_PROPERTY(SniPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ empty)
    Q_PROPERTY(SniPixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ empty)
    Q_PROPERTY(SniPixmaps AttentionIconPixmap READ attentionIconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ empty)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ label)
    Q_PROPERTY(uint XAyatanaOrderingIndex READ orderingIndex)

  public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem* item) : QDBusAbstractAdaptor(item), m_item(item) {
        setAutoRelaySignals(false);
        connect(item, &StatusNotifierItem::labelChanged, this,
                [this](const QString& label, const QString& guide) {
                    emit XAyatanaNewLabel(label, guide);
                    emit NewToolTip();
                });
        connect(item, &StatusNotifierItem::iconChanged, this, [this] {
            emit NewIcon();
            emit NewAttentionIcon();
        });
        connect(item, &StatusNotifierItem::statusChanged, this, &StatusNotifierItemAdaptor::NewStatus);
    }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("quillon"); }
    QString title() const { return QStringLiteral("Quillon"); }
    QString status() const { return m_item->status(); }
    int windowId() const { return 0; }
    QString empty() const { return {}; }
    SniPixmaps iconPixmap() const { return m_item->pixmaps(); }
    SniPixmaps noPixmaps() const { return {}; }
    SniPixmaps attentionIconPixmap() const { return m_item->attentionPixmaps(); }
    SniToolTip toolTip() const { return m_item->toolTip(); }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(noMenu); }
    QString label() const { return m_item->label(); }
    uint orderingIndex() const { return 0; }

  public slots:
    void Activate([[maybe_unused]] int x, [[maybe_unused]] int y) { emit m_item->activated(); }
    // Middle click, right click and the wheel do nothing on the icon, as with Qt's own tray icon.
    void SecondaryActivate([[maybe_unused]] int x, [[maybe_unused]] int y) {}
    void ContextMenu([[maybe_unused]] int x, [[maybe_unused]] int y) {}
    void Scroll([[maybe_unused]] int delta, [[maybe_unused]] const QString& orientation) {}

  signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);
    void XAyatanaNewLabel(const QString& label, const QString& guide);

  private:
    StatusNotifierItem* m_item;
};

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)),
      m_wanted(QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(::getpid())) {
    static const bool typesKnown = [] {
        qDBusRegisterMetaType<SniPixmap>();
        qDBusRegisterMetaType<SniPixmaps>();
        qDBusRegisterMetaType<SniToolTip>();
        return true;
    }();
    (void)typesKnown;
    new StatusNotifierItemAdaptor(this);
    m_exported = m_bus.isConnected() &&
                 m_bus.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportAdaptors);
}

StatusNotifierItem::~StatusNotifierItem() {
    if (!m_exported) return;
    m_bus.unregisterObject(QString::fromLatin1(objectPath));
    if (m_service == m_wanted) {
        QDBusMessage release = busDaemonCall(QStringLiteral("ReleaseName"));
        release << m_service;
        m_bus.send(release);
    }
}

QString StatusNotifierItem::status() const {
    return m_look.state == TrayLook::State::failing ? QStringLiteral("NeedsAttention")
                                                    : QStringLiteral("Active");
}

// While failing, hosts that switch to the attention icon must still find the red picture.
SniPixmaps StatusNotifierItem::attentionPixmaps() const {
    return m_look.state == TrayLook::State::failing ? m_pixmaps : SniPixmaps{};
}

SniToolTip StatusNotifierItem::toolTip() const {
    return {QString(), {}, label(), QString()};
}

void StatusNotifierItem::setLook(const TrayLook& look) {
    const bool first = !m_hasLook;
    const TrayLook old = m_look;
    m_look = look;
    m_hasLook = true;
    const bool newPicture =
        first || look.state != old.state || look.figure() != old.figure() || look.orange != old.orange;
    if (newPicture) {
        m_pixmaps.clear();
        for (int size : trayIconSizes)
            m_pixmaps.append(sniPixmap(trayPicture(look, size)));
    }
    if (first) {
        registerWithWatcher();
        return;
    }
    if (look.title != old.title) emit labelChanged(label(), label());
    if (newPicture) emit iconChanged();
    if ((look.state == TrayLook::State::failing) != (old.state == TrayLook::State::failing))
        emit statusChanged(status());
}

void StatusNotifierItem::registerWithWatcher() {
    if (!m_exported || !m_hasLook || m_naming) return;
    if (m_service.isEmpty()) {
        requestName();
        return;
    }
    sendRegistration();
}

void StatusNotifierItem::requestName() {
    QDBusMessage request = busDaemonCall(QStringLiteral("RequestName"));
    constexpr uint doNotQueue = 4;
    request << m_wanted << doNotQueue;
    m_naming = true;
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(request), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        m_naming = false;
        const QDBusPendingReply<uint> reply = *call;
        constexpr uint primaryOwner = 1, alreadyOwner = 4;
        // Taken by someone else: hosts also accept the connection's own unique name.
        const bool granted =
            reply.isValid() && (reply.value() == primaryOwner || reply.value() == alreadyOwner);
        m_service = granted ? m_wanted : m_bus.baseService();
        sendRegistration();
    });
}

void StatusNotifierItem::sendRegistration() {
    const QString watcher = QString::fromLatin1(watcherService);
    QDBusMessage call = QDBusMessage::createMethodCall(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                                       watcher, QStringLiteral("RegisterStatusNotifierItem"));
    call << m_service;
    // No watcher, or one that refuses: nothing to do until the watcher (re)appears.
    m_bus.asyncCall(call);
}

} // namespace quillon::app

#include "status_notifier_item.moc"
