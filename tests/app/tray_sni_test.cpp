// The tray item as a StatusNotifierItem, read over a private session bus the way a tray host
// reads it, beside a fake watcher; and Qt's tray icon when there is no watcher or no bus.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>

#include <unistd.h>

#include "app/status_notifier_item.h"
#include "app/tray_icon.h"
#include "test_home.h"
#include "tray_support.h"

namespace quillon::app {
namespace {

using State = TrayLook::State;
using Host = TrayIcon::Host;
using testing::waitUntil;

const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");

QString itemService() {
    return QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(::getpid());
}

// The host's side on a connection of its own: a watcher that keeps every registration, and the
// item's signals as they arrive.
class FakeHost : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER hostRegistered)

  public:
    FakeHost()
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-host"))) {
        m_bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                 QDBusConnection::ExportAllSignals);
        for (const char* name : {"XAyatanaNewLabel", "NewIcon", "NewStatus"})
            m_bus.connect(QString(), QStringLiteral("/StatusNotifierItem"), itemInterface,
                          QString::fromLatin1(name), this, SLOT(signalled(QDBusMessage)));
    }
    ~FakeHost() override {
        stopWatcher();
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-host"));
    }

    bool startWatcher() {
        return m_bus.registerService(QString::fromLatin1(StatusNotifierItem::watcherService));
    }
    void stopWatcher() { m_bus.unregisterService(QString::fromLatin1(StatusNotifierItem::watcherService)); }

    // A call to the item, answered while the event loop runs (the item lives on this thread).
    QDBusMessage call(const QString& interface, const QString& method, const QVariantList& args) {
        QDBusMessage m = QDBusMessage::createMethodCall(itemService(), QStringLiteral("/StatusNotifierItem"),
                                                        interface, method);
        m.setArguments(args);
        QDBusPendingCall pending = m_bus.asyncCall(m);
        waitUntil([&] { return pending.isFinished(); });
        return pending.reply();
    }
    QVariantMap properties() {
        const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"),
                                        QStringLiteral("GetAll"), {itemInterface});
        return reply.arguments().isEmpty() ? QVariantMap()
                                           : qdbus_cast<QVariantMap>(reply.arguments().front());
    }
    bool nameHasOwner(const QString& name) { return m_bus.interface()->isServiceRegistered(name).value(); }

    QStringList registered;
    std::vector<QDBusMessage> signals_;
    bool hostRegistered = true;

  signals:
    void StatusNotifierHostRegistered();

  public slots:
    void RegisterStatusNotifierItem(const QString& service) { registered << service; }
    void signalled(const QDBusMessage& m) { signals_.push_back(m); }

  private:
    QDBusConnection m_bus;
};

template <class T> T unpack(const QVariant& v) {
    return qdbus_cast<T>(v.value<QDBusArgument>());
}

TEST(TrayStatusNotifier, publishesTheLookAsAHostReadsIt) {
    ASSERT_TRUE(testing::haveSessionBus());
    FakeHost host;
    ASSERT_TRUE(host.startWatcher());
    TrayIcon tray;
    const TrayLook failing{State::failing, "1 failed", false};
    tray.show(failing);
    ASSERT_TRUE(waitUntil([&] { return !host.registered.isEmpty(); }));
    EXPECT_EQ(host.registered, QStringList{itemService()});
    EXPECT_EQ(tray.host(), Host::statusNotifier);
    EXPECT_FALSE(tray.item().isVisible()) << "Qt's own tray icon would be a second item";
    EXPECT_TRUE(tray.geometry().isEmpty()) << "the popup opens at the pointer";

    QVariantMap p = host.properties();
    for (const auto& [name, want] :
         std::initializer_list<std::pair<const char*, QVariant>>{{"XAyatanaLabel", "1 failed"},
                                                                 {"Status", "NeedsAttention"},
                                                                 {"Id", "quillon"},
                                                                 {"Category", "ApplicationStatus"},
                                                                 {"ItemIsMenu", false}})
        EXPECT_EQ(p.value(name), want) << name;
    EXPECT_EQ(p.value("Menu").value<QDBusObjectPath>().path(), "/NO_DBUSMENU");
    EXPECT_EQ(unpack<SniToolTip>(p.value("ToolTip")).title, "1 failed");

    const SniPixmaps pixmaps = unpack<SniPixmaps>(p.value("IconPixmap"));
    ASSERT_EQ(pixmaps.size(), static_cast<qsizetype>(std::size(trayIconSizes)));
    for (int i = 0; i < pixmaps.size(); ++i) {
        const SniPixmap& pm = pixmaps[i];
        const int size = trayIconSizes[i];
        EXPECT_EQ(pm.width, size);
        EXPECT_EQ(pm.height, size);
        EXPECT_EQ(sniImage(pm), trayPicture(failing, size).convertToFormat(QImage::Format_ARGB32)) << size;
    }
    // Inside the octagon's left edge, at 22 px: opaque red, bytes A R G B.
    const SniPixmap& at22 = pixmaps[1];
    const auto byteAt = [&](int k) { return static_cast<unsigned char>(at22.bytes[(11 * 22 + 2) * 4 + k]); };
    EXPECT_EQ((std::array{byteAt(0), byteAt(1), byteAt(2), byteAt(3)}),
              (std::array<unsigned char, 4>{255, 255, 59, 48}));

    // A new look: the host hears of the label, the picture and the status.
    tray.show({State::tokens, "150K", false});
    const auto heard = [&](const char* name) {
        for (const QDBusMessage& m : host.signals_)
            if (m.member() == QLatin1String(name)) return m.arguments();
        return QVariantList{QStringLiteral("none")};
    };
    ASSERT_TRUE(waitUntil([&] { return host.signals_.size() >= 3; }));
    EXPECT_EQ(heard("XAyatanaNewLabel"), (QVariantList{"150K", "150K"}));
    EXPECT_EQ(heard("NewIcon"), QVariantList{});
    EXPECT_EQ(heard("NewStatus"), QVariantList{"Active"});
    p = host.properties();
    EXPECT_EQ(p.value("XAyatanaLabel").toString(), "150K");
    EXPECT_EQ(unpack<SniToolTip>(p.value("ToolTip")).title, "150K");

    // Activate is the left click; a right click opens nothing, as with Qt's tray icon.
    int clicks = 0;
    QObject::connect(&tray, &TrayIcon::clicked, [&] { ++clicks; });
    EXPECT_EQ(host.call(itemInterface, "Activate", {10, 20}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(host.call(itemInterface, "ContextMenu", {10, 20}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(clicks, 1);
}

TEST(TrayStatusNotifier, registersAgainWhenTheWatcherReturns) {
    ASSERT_TRUE(testing::haveSessionBus());
    FakeHost host;
    ASSERT_TRUE(host.startWatcher());
    TrayIcon tray;
    tray.show({State::limit, "72%", true});
    ASSERT_TRUE(waitUntil([&] { return host.registered.size() == 1; }));
    host.stopWatcher();
    ASSERT_TRUE(host.startWatcher());
    ASSERT_TRUE(waitUntil([&] { return host.registered.size() == 2; }));
    EXPECT_EQ(host.registered.back(), itemService());
    EXPECT_EQ(host.properties().value("XAyatanaLabel").toString(), "72%") << "the look survives";
}

TEST(TrayStatusNotifier, withoutAWatcherQtsTrayIconUntilOneStarts) {
    ASSERT_TRUE(testing::haveSessionBus());
    FakeHost host;
    TrayIcon tray;
    tray.show({State::dollars, "$1235", false});
    ASSERT_TRUE(waitUntil([&] { return tray.host() != Host::undecided; }));
    EXPECT_EQ(tray.host(), Host::systemTray);
    EXPECT_TRUE(tray.item().isVisible());
    EXPECT_EQ(tray.item().toolTip(), "$1235") << "the title is the tool tip";
    EXPECT_EQ(tray.statusNotifier(), nullptr);
    EXPECT_FALSE(host.nameHasOwner(itemService()));
    tray.show({State::tokens, "150K", true});
    EXPECT_EQ(tray.item().toolTip(), "150K");

    // There is no XEmbed tray here (offscreen), so a watcher that starts later gets the item.
    ASSERT_TRUE(host.startWatcher());
    ASSERT_TRUE(waitUntil([&] { return !host.registered.isEmpty(); }));
    EXPECT_EQ(tray.host(), Host::statusNotifier);
    EXPECT_FALSE(tray.item().isVisible());
    EXPECT_EQ(host.properties().value("XAyatanaLabel").toString(), "150K");
}

TEST(TrayStatusNotifier, aWatcherWithoutAHostGetsTheItemOnlyOnceAHostRegisters) {
    ASSERT_TRUE(testing::haveSessionBus());
    FakeHost host;
    host.hostRegistered = false;
    ASSERT_TRUE(host.startWatcher());
    TrayIcon tray;
    tray.show({State::dollars, "$12", false});
    ASSERT_TRUE(waitUntil([&] { return tray.host() != Host::undecided; }));
    EXPECT_EQ(tray.host(), Host::systemTray) << "an item nobody shows would hide the icon";
    EXPECT_TRUE(host.registered.isEmpty());

    host.hostRegistered = true;
    emit host.StatusNotifierHostRegistered();
    ASSERT_TRUE(waitUntil([&] { return !host.registered.isEmpty(); }));
    EXPECT_EQ(tray.host(), Host::statusNotifier);
    EXPECT_EQ(host.properties().value("XAyatanaLabel").toString(), "$12");
}

TEST(TrayStatusNotifier, withoutASessionBusQtsTrayIconQuietly) {
    const auto r = testing::runProgram(QUILLON_TRAY_HELPER, {"tray-host"}, "",
                                       {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillon-bus"},
                                        {"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "system-tray shown\n");
    // Qt's offscreen platform has its own remarks about tray icons; none may be about the bus.
    EXPECT_EQ(QString::fromStdString(r.err).toLower().indexOf("bus"), -1) << r.err;
}

} // namespace
} // namespace quillon::app

#include "tray_sni_test.moc"
