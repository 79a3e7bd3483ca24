// Stand-ins the tray tests run as separate processes:
//   tray_helper notifier <log>   a freedesktop notification server on the session bus that
//                                appends one JSON line per Notify call to <log>, prints "ready"
//   tray_helper catcher <log>    a window covering the first screen that appends "x y" per mouse
//                                press to <log>, prints "ready"
//   tray_helper picture <state> <title> <orange 0|1> <size> <out.png>
//                                the tray picture Quillon draws for that look
//   tray_helper dismiss-point <title> <detail>
//                                prints "x y": where the panel, showing that one gate, has the
//                                middle of its Dismiss button (a desktop test clicks there)
//   tray_helper tray-host        shows a tray icon and prints which host it chose ("system-tray
//                                shown", "status-notifier", or "undecided" after 10 s)
#include <QApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "app/model.h"
#include "app/popover_view.h"
#include "app/popup_window.h"
#include "app/tray_icon.h"

namespace {

void appendLine(const QString& path, const std::string& line) {
    QFile f(path);
    if (!f.open(QIODevice::Append)) return;
    f.write(line.data(), static_cast<qint64>(line.size()));
    f.write("\n");
}

class Notifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

  public:
    explicit Notifications(QString log) : m_log(std::move(log)) {}

  public slots:
    // Quillon calls Notify only.
    uint Notify(const QString& appName, uint replacesId, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap& hints, int timeout) {
        nlohmann::json call;
        call["signature"] = message().signature().toStdString();
        call["appName"] = appName.toStdString();
        call["replacesId"] = replacesId;
        call["summary"] = summary.toStdString();
        call["body"] = body.toStdString();
        call["hints"] = nlohmann::json::object();
        for (auto it = hints.begin(); it != hints.end(); ++it)
            call["hints"][it.key().toStdString()] = it.value().toString().toStdString();
        call["timeout"] = timeout;
        appendLine(m_log, call.dump());
        return ++m_next;
    }

  private:
    QString m_log;
    uint m_next = 0;
};

class Catcher : public QWidget {
  public:
    explicit Catcher(QString log) : QWidget(nullptr, Qt::FramelessWindowHint), m_log(std::move(log)) {
        setWindowTitle(QStringLiteral("tray test catcher"));
        setGeometry(QGuiApplication::primaryScreen()->geometry());
        setStyleSheet(QStringLiteral("background: #205080"));
    }

  protected:
    void mousePressEvent(QMouseEvent* e) override {
        const QPoint p = e->globalPosition().toPoint();
        appendLine(m_log, std::to_string(p.x()) + " " + std::to_string(p.y()));
    }

  private:
    QString m_log;
};

int ready() {
    std::puts("ready");
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "notifier" && argc == 3) {
        QCoreApplication app(argc, argv);
        QDBusConnection bus = QDBusConnection::sessionBus();
        Notifications server(QString::fromLocal8Bit(argv[2]));
        if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                QDBusConnection::ExportAllSlots) ||
            !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
            std::fputs("cannot register on the session bus\n", stderr);
            return 1;
        }
        ready();
        return app.exec();
    }
    if (mode == "catcher" && argc == 3) {
        QApplication app(argc, argv);
        Catcher catcher{QString::fromLocal8Bit(argv[2])};
        catcher.show();
        QApplication::processEvents();
        ready();
        return app.exec();
    }
    if (mode == "picture" && argc == 7) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        using State = quillon::app::TrayLook::State;
        quillon::app::TrayLook look;
        const std::string state = argv[2];
        look.state = state == "failing"   ? State::failing
                     : state == "limit"   ? State::limit
                     : state == "dollars" ? State::dollars
                     : state == "tokens"  ? State::tokens
                                          : State::loading;
        look.title = argv[3];
        look.orange = std::strcmp(argv[4], "1") == 0;
        return quillon::app::trayPicture(look, std::atoi(argv[5])).save(QString::fromLocal8Bit(argv[6])) ? 0
                                                                                                         : 1;
    }
    if (mode == "dismiss-point" && argc == 4) {
        QApplication app(argc, argv);
        quillon::app::Model model;
        quillon::Gate gate;
        gate.id = "session:x:0";
        gate.kind = quillon::Gate::Kind::session;
        gate.title = argv[2];
        gate.detail = argv[3];
        gate.since = quillon::currentInstant() - 31 * 60;
        model.setGates({gate});
        // The same window the application opens, so margins and scrolling are the same.
        quillon::app::PopupWindow popup(new quillon::app::PopoverView(model));
        popup.fit();
        popup.show();
        QApplication::processEvents();
        popup.fit();
        QApplication::processEvents();
        auto* button = popup.findChild<QPushButton*>(QStringLiteral("dismissButton"));
        if (!button || !button->isVisible()) return 1;
        const QPoint p = button->mapTo(&popup, button->rect().center());
        std::printf("%d %d\n", p.x(), p.y());
        return 0;
    }
    if (mode == "tray-host" && argc == 2) {
        QApplication app(argc, argv);
        using Host = quillon::app::TrayIcon::Host;
        quillon::app::TrayIcon tray;
        tray.show({quillon::app::TrayLook::State::tokens, "150K", false});
        QElapsedTimer t;
        t.start();
        while (tray.host() == Host::undecided && t.elapsed() < 10'000)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        const bool shown = tray.item().isVisible();
        std::puts(tray.host() == Host::systemTray       ? (shown ? "system-tray shown" : "system-tray hidden")
                  : tray.host() == Host::statusNotifier ? "status-notifier"
                                                        : "undecided");
        return 0;
    }
    std::fputs(
        "usage: tray_helper notifier <log> | catcher <log> | picture <state> <title> <orange> <size> <out>"
        " | dismiss-point <title> <detail> | tray-host\n",
        stderr);
    return 2;
}

#include "tray_helper.moc"
