#include "app/app_delegate.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include <cstdio>
#include <syslog.h>

#include "app/autostart.h"
#include "app/popover_view.h"
#include "app/popup_window.h"
#include "gates/gate_watcher.h"
#include "limits/limits.h"
#include "limits/status_line.h"
#include "report/diagnosis.h"
#include "scanner/log_scanner.h"
#include "settings/disk.h"

namespace quillon::app {

AppDelegate::AppDelegate(cli::Command command, Options options)
    : m_command(std::move(command)), m_options(options), m_model(std::make_unique<Model>()) {
    m_model->setConfig(Config::load());
    m_model->setShowSettings(m_command.settings);
    m_model->setClaudeConnected(StatusLine::connected());
    m_model->setStartAtLogin(Autostart::enabled());
}

AppDelegate::~AppDelegate() {
    m_timer.stop();
}

void AppDelegate::launch() {
    const Config config = m_model->config();
    m_scanner = std::make_unique<LogScanner>(config);
    m_watcher = std::make_unique<GateWatcher>(config);

    m_tray = std::make_unique<TrayIcon>();
    connect(m_tray.get(), &TrayIcon::clicked, this, &AppDelegate::toggle);

    m_popup = std::make_unique<PopupWindow>(new PopoverView(*m_model));
    fitPopover();
    connect(m_model.get(), &Model::changed, this, &AppDelegate::scheduleFit);

    m_announcer = std::make_unique<Announcer>();
    installCallbacks();
    render();

    if (m_command.openPopover) QTimer::singleShot(6000, this, &AppDelegate::toggle);

    // The first pass reads 8 days so the tray has figures at once; the month follows.
    enqueueRefresh(true);
    m_work.post([this] { m_deepScan = true; });
    enqueueRefresh(false);

    offerConnection();

    m_timer.setInterval(m_options.refreshPeriod);
    connect(&m_timer, &QTimer::timeout, this, [this] { enqueueRefresh(true); });
    m_timer.start();

    for (QScreen* screen : QGuiApplication::screens())
        watchScreen(screen);
    connect(qApp, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
        watchScreen(screen);
        scheduleRender();
    });
    connect(qApp, &QGuiApplication::screenRemoved, this, &AppDelegate::scheduleRender);
    connect(qApp, &QGuiApplication::primaryScreenChanged, this, &AppDelegate::scheduleRender);
}

void AppDelegate::installCallbacks() {
    m_model->onDismiss = [this](const Gate& gate) {
        m_work.post([this, gate] {
            m_watcher->dismiss(gate, currentInstant());
            refresh(false);
        });
    };
    m_model->onRefresh = [this] { enqueueRefresh(true); };
    m_model->onConfigChange = [this] {
        // Saved before the next pass reads it; the scanner keeps the settings it was made with.
        const Config config = m_model->config();
        config.save();
        m_work.post([this, config] {
            m_watcher->config = config;
            refresh(false);
        });
    };
    m_model->onConnectClaude = [this](bool connect) {
        const std::optional<std::string> message = connect ? StatusLine::connect() : StatusLine::disconnect();
        m_model->setConnectError(message);
        m_model->setClaudeConnected(StatusLine::connected());
        if (!message) m_model->setShowConnect(false);
        // The recorded limits would otherwise keep showing after the status line is gone.
        if (!connect) std::remove(Limits::claudeFile().c_str());
        enqueueRefresh(false);
    };
    m_model->onStartAtLogin = [](bool on) {
        Autostart::setEnabled(on);
        return Autostart::enabled();
    };
}

void AppDelegate::offerConnection() {
    const std::string welcomed = Config::welcomedFile();
    if (disk::exists(welcomed)) return;
    disk::makeDirs(Config::dir());
    disk::writeInPlace(welcomed, "");
    if (!disk::exists(disk::homeDir() + "/.claude") || !m_model->config().watchClaude ||
        StatusLine::connected())
        return;
    m_model->setShowConnect(true);
    QTimer::singleShot(3000, this, [this] {
        if (!m_popup->isVisible()) toggle();
    });
}

void AppDelegate::enqueueRefresh(bool pollGitHub) {
    m_work.post([this, pollGitHub] { refresh(pollGitHub); });
}

void AppDelegate::refresh(bool pollGitHub) {
    // Quitting drops the rest of a pass: each step can take a while on a large history.
    const int days = m_deepScan ? 32 : 8;
    const bool claude = m_scanner->scan(m_scanner->root(), false, days);
    if (m_work.stopping()) return;
    const bool codex = m_scanner->scan(m_scanner->codexRoot(), true, days);
    if (m_work.stopping()) return;

    Snapshot snap = Diagnosis::snapshot(*m_scanner, m_watcher->config, currentInstant());
    snap.readFailed = !claude && !codex;
    snap.monthReady = m_deepScan;
    if (m_work.stopping()) return;

    std::vector<Gate> gates = m_watcher->current(*m_scanner, pollGitHub, currentInstant());
    std::optional<std::string> note = m_watcher->gitHubNote();
    if (m_work.stopping()) return;

    // Copies cross to the main thread; dropped by Qt if this object is gone by then.
    QMetaObject::invokeMethod(
        this,
        [this, snap = std::move(snap), gates = std::move(gates), note = std::move(note)]() mutable {
            publish(std::move(snap), std::move(gates), std::move(note));
        },
        Qt::QueuedConnection);
}

void AppDelegate::publish(Snapshot snap, std::vector<Gate> gates, std::optional<std::string> note) {
    const std::vector<Nudge> nudges = snap.nudges;
    m_model->setSnap(std::move(snap));
    m_model->setGates(gates);
    m_model->setNote(std::move(note));
    render();
    m_announcer->notify(gates, nudges, m_model->config());
    ++m_published;
    emit published();
}

void AppDelegate::render() {
    if (!m_tray) return;
    const TrayLook look = trayLook(m_model->snap(), m_model->gates(), m_model->config());
    m_tray->show(look);
    m_frame.show(look.state == TrayLook::State::failing && m_model->config().redBorder);
}

void AppDelegate::toggle() {
    if (!m_popup) return;
    if (m_popup->isVisible()) {
        m_popup->closeNow();
        return;
    }
    // The press that just closed the popup was on the tray icon: leave it closed.
    if (m_popup->justClosed()) return;
    fitPopover();
    const QRect icon = m_tray ? m_tray->geometry() : QRect();
    m_popup->open(icon.isValid() && !icon.isEmpty() ? icon : QRect(QCursor::pos(), QSize(1, 1)));
}

void AppDelegate::fitPopover() {
    m_fitScheduled = false;
    if (!m_popup) return;
    m_popup->fit();
    if (m_command.openPopover) {
        double unrounded = 0;
        m_popup->fittingHeight(&unrounded);
        syslog(LOG_NOTICE, "Quillon fit: %.0f", unrounded);
    }
}

void AppDelegate::scheduleFit() {
    if (m_fitScheduled) return;
    m_fitScheduled = true;
    QMetaObject::invokeMethod(this, &AppDelegate::fitPopover, Qt::QueuedConnection);
}

void AppDelegate::scheduleRender() {
    // Queued: while a screen is being removed it is still listed.
    if (m_renderScheduled) return;
    m_renderScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_renderScheduled = false;
            render();
        },
        Qt::QueuedConnection);
}

void AppDelegate::watchScreen(QScreen* screen) {
    connect(screen, &QScreen::geometryChanged, this, &AppDelegate::scheduleRender);
}

bool AppDelegate::shutdown(std::chrono::milliseconds wait) {
    m_timer.stop();
    return m_work.stop(wait);
}

} // namespace quillon::app
