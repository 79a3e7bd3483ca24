#include <QApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "app/app_delegate.h"
#include "app/desktop_modes.h"

namespace quillon::app {
namespace {

constexpr const char* noDisplay =
    "Quillon's tray application needs a graphical desktop session, and none was found.\n";

// Qt aborts when it cannot reach the display; say so in one sentence and exit instead. What Qt
// says on the way is held back until the application object exists, and dropped if it never does.
bool constructing = false;
QStringList heldBack;
void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg && constructing) {
        std::fputs(noDisplay, stderr);
        std::fflush(stderr);
        ::_exit(1);
    }
    if (type != QtDebugMsg && type != QtInfoMsg) heldBack << message;
}

bool hasDisplay() {
    const auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v && *v;
    };
    // An explicit platform (offscreen in tests, for example) needs no display variable.
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

// Test-only: a shorter refresh period, so a desktop test sees two passes quickly.
std::chrono::milliseconds refreshPeriod() {
    if (const char* v = std::getenv("QUILLON_TEST_REFRESH_SECONDS"); v && *v) {
        char* end = nullptr;
        const double seconds = std::strtod(v, &end);
        if (end && *end == '\0' && seconds >= 0.2 && seconds <= 3600)
            return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    }
    return std::chrono::milliseconds(45'000);
}

// SIGTERM (log-out, kill) and SIGINT (Ctrl+C) end the event loop like Quit does, so the worker
// is stopped the same way; the handler only writes a byte to a pipe.
int signalPipe[2] = {-1, -1};
void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void quitOnSignals(QApplication& app) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char buf[16];
        while (::read(signalPipe[0], buf, sizeof buf) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

} // namespace

int runApplication(const cli::Command& command, int argc, char** argv) {
    if (!hasDisplay()) {
        std::fputs(noDisplay, stderr);
        return 1;
    }
    const QtMessageHandler previous = qInstallMessageHandler(messageHandler);
    constructing = true;
    QApplication app(argc, argv);
    constructing = false;
    qInstallMessageHandler(previous);
    for (const QString& message : std::as_const(heldBack))
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    QApplication::setApplicationName(QStringLiteral("quillon"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quillon"));
    QGuiApplication::setDesktopFileName(QStringLiteral("quillon"));
    QApplication::setQuitOnLastWindowClosed(false);
    quitOnSignals(app);

    AppDelegate::Options options;
    options.refreshPeriod = refreshPeriod();
    auto delegate = std::make_unique<AppDelegate>(command, options);
    delegate->launch();
    const int status = app.exec();

    // A pass that is reading or waiting on gh gets a moment; after that the process ends
    // without tearing down what the pass still uses.
    if (!delegate->shutdown(std::chrono::seconds(2))) {
        std::fflush(nullptr);
        ::_exit(status);
    }
    delegate.reset();
    return status;
}

} // namespace quillon::app
