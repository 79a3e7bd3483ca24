#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/announcer.h"
#include "app/model.h"
#include "app/red_frame.h"
#include "app/tray_icon.h"
#include "app/work_queue.h"
#include "cli/dispatch.h"
#include "gates/gate.h"
#include "report/snapshot.h"

namespace quillon {
class LogScanner;
class GateWatcher;
} // namespace quillon

namespace quillon::app {

class PopupWindow;

// Owns everything of the running tray application: the model, the tray icon, the popup, the
// red frame, the announcements, the log scanner, the gate watcher and the worker thread that
// runs every scan, snapshot, gate gathering and dismissal, one at a time.
class AppDelegate : public QObject {
    Q_OBJECT

  public:
    struct Options {
        std::chrono::milliseconds refreshPeriod{45'000};
    };

    // Sets the model's starting values (settings, --settings, the status-line connection and
    // the autostart entry); launch() does the rest.
    explicit AppDelegate(cli::Command command, Options options);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;
    // Waits for the worker's running task without a limit: call shutdown() first to bound that.
    ~AppDelegate() override;

    // Scanner, watcher, tray icon, popup, callbacks, the first two passes, the first-run offer,
    // the refresh timer and the screen watch.
    void launch();

    // The tray icon's click: opens the popup below the icon, or closes it.
    void toggle();
    // Sets the popup's height from its content's fitting height.
    void fitPopover();
    // The tray icon and the red frame from the model.
    void render();

    // Queues one read-and-publish pass on the worker.
    void enqueueRefresh(bool pollGitHub);

    // Stops the timer and the worker: pending passes are dropped and the running one gets up to
    // `wait` to finish. False when it is still running; the caller must then leave this object
    // alive (the process is ending anyway).
    bool shutdown(std::chrono::milliseconds wait);

    Model& model() { return *m_model; }
    WorkQueue& work() { return m_work; }
    TrayIcon& trayIcon() { return *m_tray; }
    PopupWindow& popup() { return *m_popup; }
    RedFrame& frame() { return m_frame; }
    Announcer& announcer() { return *m_announcer; }
    QTimer& timer() { return m_timer; }
    int passesPublished() const { return m_published; }

  signals:
    // After every pass's results are in the model, rendered and announced.
    void published();

  private:
    // Runs on the worker.
    void refresh(bool pollGitHub);
    // Back on the main thread with the pass's copies.
    void publish(Snapshot snap, std::vector<Gate> gates, std::optional<std::string> note);
    void installCallbacks();
    void offerConnection();
    void watchScreen(QScreen* screen);
    void scheduleRender();
    void scheduleFit();

    const cli::Command m_command;
    const Options m_options;
    std::unique_ptr<Model> m_model;
    std::unique_ptr<TrayIcon> m_tray;
    std::unique_ptr<PopupWindow> m_popup;
    RedFrame m_frame;
    std::unique_ptr<Announcer> m_announcer;
    QTimer m_timer;
    bool m_fitScheduled = false;
    bool m_renderScheduled = false;
    int m_published = 0;

    // Touched only on the worker once launched.
    std::unique_ptr<LogScanner> m_scanner;
    std::unique_ptr<GateWatcher> m_watcher;
    bool m_deepScan = false;

    // Last, so it stops first, before anything its tasks use is destroyed.
    WorkQueue m_work;
};

} // namespace quillon::app
