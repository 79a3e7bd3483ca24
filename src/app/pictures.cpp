#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/autostart.h"
#include "app/demo_data.h"
#include "app/desktop_modes.h"
#include "app/icon.h"
#include "app/model.h"
#include "app/popover_view.h"
#include "gates/gate_watcher.h"
#include "limits/status_line.h"
#include "report/diagnosis.h"
#include "scanner/log_scanner.h"
#include "settings/clock.h"
#include "settings/config.h"

namespace quillon::app {
namespace {

// Pictures print nothing on success; Qt's own chatter (no runtime directory, no session bus,
// offscreen notes) is not for the user of a command line tool.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

bool writePng(const QImage& image, const std::string& path) {
    if (image.isNull()) return false;
    return image.save(QString::fromStdString(path), "PNG");
}

int drawIcon(const cli::Command& command) {
    const QImage image = Icon::cross(command.iconSize, command.tile).convertToFormat(QImage::Format_ARGB32);
    if (!writePng(image, command.value)) {
        std::fprintf(stderr, "Could not write %s.\n", command.value.c_str());
        return 1;
    }
    return 0;
}

void fill(Model& model, const cli::Command& command, const Config& config, Instant now) {
    if (command.demo) {
        applyDemo(model, now, command.month, command.demoRed);
        return;
    }
    LogScanner scanner(config);
    const bool found = scanner.scanBoth(8);
    Snapshot snap = Diagnosis::snapshot(scanner, config, now);
    snap.readFailed = !found;
    model.setSnap(std::move(snap));
    GateWatcher watcher(config);
    model.setGates(watcher.current(scanner, false, now));
    model.setNote(watcher.gitHubNote());
    model.setClaudeConnected(StatusLine::connected());
}

// Lays the panel out at its fitting height, lets queued layout work settle for 0.3 s and fits
// it again, as the live popup does before it is shown.
void settle(PopoverView& view) {
    view.resize(PopoverView::width, view.heightForWidth(PopoverView::width));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 300) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    view.resize(PopoverView::width, view.heightForWidth(PopoverView::width));
    QCoreApplication::processEvents();
}

int drawPanel(const cli::Command& command) {
    const Config config = Config::load();
    const Instant now = currentInstant();
    Model model(now);
    model.setConfig(config);
    model.setShowSettings(command.settings);
    model.setStartAtLogin(Autostart::enabled());
    fill(model, command, config, now);

    PopoverView view(model);
    view.setAttribute(Qt::WA_DontShowOnScreen, true);
    view.show();
    settle(view);
    const QPixmap picture = view.grab();
    if (picture.isNull()) {
        std::fputs("The panel could not be drawn.\n", stderr);
        return 1;
    }
    if (!writePng(picture.toImage(), command.value)) {
        std::fprintf(stderr, "Could not write %s.\n", command.value.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int runPictures(const cli::Command& command, int argc, char** argv) {
    // Pictures never depend on the desktop they are made on: the offscreen platform, always,
    // with Qt's own theme and style rather than the desktop's.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::unsetenv("QT_QPA_PLATFORMTHEME");
    ::unsetenv("QT_STYLE_OVERRIDE");
    qInstallMessageHandler(quietMessages);
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    // The panel's type scale rests on the platform font, whose ordinary size counts as 13 px;
    // a picture fixes it there instead of taking whatever the offscreen platform defaults to.
    QFont font = QApplication::font();
    font.setPointSizeF(9.75);
    QApplication::setFont(font);
    return command.mode == cli::Mode::icon ? drawIcon(command) : drawPanel(command);
}

} // namespace quillon::app
