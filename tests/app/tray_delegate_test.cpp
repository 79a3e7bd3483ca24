// The tray application's delegate with real logs in a temporary home: the hand-over from the
// worker to the model, the callbacks, the first run and quitting while a pass runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "app/app_delegate.h"
#include "app/popup_window.h"
#include "test_home.h"
#include "tray_support.h"
#include "webhook_server.h"

namespace quillon::app {
namespace {

using testing::waitUntil;

// tests/app/stopped_session.jsonl: a Claude Code session that asked to push and stopped on a
// failing pre-push hook; "{{N}}" stands for N minutes ago.
std::string stoppedSession(Instant now) {
    std::ifstream in(QUILLON_STOPPED_SESSION);
    std::string text{std::istreambuf_iterator<char>(in), {}};
    for (std::size_t at; (at = text.find("{{")) != std::string::npos;) {
        const std::size_t end = text.find("}}", at);
        const auto t = static_cast<std::time_t>(now - 60 * std::stod(text.substr(at + 2, end - at - 2)));
        std::tm tm{};
        gmtime_r(&t, &tm);
        char iso[32];
        std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
        text.replace(at, end + 2 - at, iso);
    }
    return text;
}

class DelegateTest : public testing::HomeTest {
  protected:
    // Not a first run unless a test removes the marker: no offer to connect, no popup by itself.
    void SetUp() override { home.write(".quillon/welcomed", ""); }

    void writeStoppedSession() {
        home.write(".claude/projects/-nonexistent-web-app/5e55a0e1-0000-4000-8000-000000000001.jsonl",
                   stoppedSession(currentInstant()));
    }

    AppDelegate& launch(cli::Command command = {}) {
        delegate = std::make_unique<AppDelegate>(command, AppDelegate::Options{std::chrono::hours(1)});
        delegate->launch();
        return *delegate;
    }

    bool passes(int n) {
        return waitUntil([&] { return delegate->passesPublished() >= n; }, 20'000);
    }

    void TearDown() override {
        if (delegate) {
            EXPECT_TRUE(delegate->shutdown(std::chrono::seconds(10)));
        }
        delegate.reset();
    }

    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(DelegateTest, passesHandTheirResultsToTheModelTrayFrameAndAnnouncerOnce) {
    if (!testing::haveSessionBus()) GTEST_SKIP() << "no session bus: run under dbus-run-session";
    testing::FakeNotifier notifier;
    ASSERT_TRUE(notifier.started());
    testing::WebhookServer sink;
    writeStoppedSession();
    Config c;
    c.pushURL = sink.url();
    c.save();

    AppDelegate& d = launch();
    EXPECT_EQ(d.trayIcon().look().state, TrayLook::State::loading) << "before the first pass";
    EXPECT_FALSE(d.model().snap().ready);
    ASSERT_TRUE(passes(1));
    EXPECT_TRUE(d.model().snap().ready);
    ASSERT_TRUE(passes(2));
    const Snapshot& snap = d.model().snap();
    EXPECT_FALSE(snap.readFailed);
    EXPECT_TRUE(snap.monthReady) << "the second pass reads 32 days";
    EXPECT_GT(snap.today.tokens, 0);
    ASSERT_EQ(d.model().gates().size(), 1u);
    const Gate g = d.model().gates()[0];
    EXPECT_EQ(g.id.rfind("session:5e55a0e1-0000-4000-8000-000000000001:", 0), 0u) << g.id;
    EXPECT_EQ(g.title, "Stopped on a failure: Fix flaky checkout test");
    EXPECT_EQ(d.trayIcon().look(), (TrayLook{TrayLook::State::failing, "1 failed", false}));
    EXPECT_EQ(d.frame().windows().size(), static_cast<std::size_t>(QGuiApplication::screens().size()));

    // More refreshes with the gate still open: one notification and one push in all.
    d.enqueueRefresh(true);
    d.enqueueRefresh(false);
    ASSERT_TRUE(passes(4));
    ASSERT_TRUE(waitUntil([&] { return !notifier.calls().empty() && !sink.requests().empty(); }));
    waitUntil([] { return false; }, 300); // room for a duplicate to show up
    const auto calls = notifier.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["summary"], g.title);
    EXPECT_EQ(sink.requests().size(), 1u);

    // Dismissing the gate turns the icon back and is remembered.
    d.model().onDismiss(g);
    ASSERT_TRUE(waitUntil([&] { return d.model().gates().empty(); }));
    EXPECT_NE(d.trayIcon().look().state, TrayLook::State::failing);
    EXPECT_TRUE(d.frame().windows().empty());
    EXPECT_NE(home.read(".quillon/acked.json").find(g.id), std::string::npos);
}

TEST_F(DelegateTest, withoutLogsEveryPassReportsTheReadFailure) {
    AppDelegate& d = launch();
    ASSERT_TRUE(passes(2));
    EXPECT_TRUE(d.model().snap().readFailed);
    EXPECT_TRUE(d.model().gates().empty());
    EXPECT_TRUE(d.frame().windows().empty());
}

TEST_F(DelegateTest, aSettingsChangeIsSavedBeforeTheNextPassUsesIt) {
    writeStoppedSession();
    AppDelegate& d = launch();
    ASSERT_TRUE(passes(2));
    ASSERT_EQ(d.model().gates().size(), 1u);

    // Red frame off: still failing, but no frame.
    Config c = d.model().config();
    c.redBorder = false;
    d.model().setConfig(c);
    const int before = d.passesPublished();
    d.model().onConfigChange();
    EXPECT_EQ(Config::load().redBorder, false) << "saved at once, on the main thread";
    ASSERT_TRUE(passes(before + 1));
    EXPECT_EQ(d.trayIcon().look().state, TrayLook::State::failing);
    EXPECT_TRUE(d.frame().windows().empty());

    // 31 idle minutes are under a 60-minute threshold: the watcher's new settings drop the gate.
    c.stallMinutes = 60;
    d.model().setConfig(c);
    d.model().onConfigChange();
    EXPECT_EQ(Config::load().stallMinutes, 60);
    ASSERT_TRUE(waitUntil([&] { return d.model().gates().empty(); }));
}

TEST_F(DelegateTest, startingValuesComeFromTheSystemAndTheCallbacksChangeIt) {
    home.write(".quillon/claude-limits.json", R"({"at":1700000000})");
    Config c;
    c.waitMinutes = 7;
    c.save();
    cli::Command command;
    command.settings = true;
    AppDelegate& d = launch(command);
    EXPECT_EQ(d.model().config().waitMinutes, 7);
    EXPECT_TRUE(d.model().showSettings());
    EXPECT_FALSE(d.model().startAtLogin());

    EXPECT_TRUE(d.model().onStartAtLogin(true));
    EXPECT_TRUE(home.exists(".config/autostart/quillon.desktop"));
    EXPECT_FALSE(d.model().onStartAtLogin(false));
    EXPECT_FALSE(home.exists(".config/autostart/quillon.desktop"));
    // Disconnecting removes the recorded limits.
    d.model().onConnectClaude(false);
    EXPECT_FALSE(home.exists(".quillon/claude-limits.json"));
    EXPECT_FALSE(d.model().claudeConnected());
}

TEST_F(DelegateTest, firstRunMarksItselfAndOffersTheConnectionOnce) {
    std::filesystem::remove(home.path() + "/.quillon/welcomed");
    home.write(".claude/projects/.keep", "");
    AppDelegate& d = launch();
    EXPECT_TRUE(home.exists(".quillon/welcomed"));
    EXPECT_TRUE(d.model().showConnect());
    ASSERT_TRUE(waitUntil([&] { return d.popup().isVisible(); }, 8000)) << "the popup opens by itself";
    d.toggle();
    EXPECT_FALSE(d.popup().isVisible());

    ASSERT_TRUE(d.shutdown(std::chrono::seconds(10)));
    delegate.reset();
    AppDelegate& again = launch();
    EXPECT_FALSE(again.model().showConnect()) << "later launches offer nothing";
}

TEST_F(DelegateTest, thePopupIsFourHundredWideAndFitsItsContent) {
    AppDelegate& d = launch();
    d.toggle();
    ASSERT_TRUE(d.popup().isVisible());
    EXPECT_EQ(d.popup().width(), PopupWindow::fixedWidth);
    EXPECT_GE(d.popup().height(), PopupWindow::minimumHeight);
    EXPECT_EQ(d.popup().height(), d.popup().fittingHeight());

    // Opening the settings changes the content: the popup follows.
    const int closedHeight = d.popup().height();
    d.model().setShowSettings(true);
    EXPECT_TRUE(waitUntil([&] {
        return d.popup().height() != closedHeight && d.popup().height() == d.popup().fittingHeight();
    }));
    d.toggle();
    EXPECT_FALSE(d.popup().isVisible());

    // Escape anywhere in the panel closes it.
    d.toggle();
    ASSERT_TRUE(d.popup().isVisible());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(d.popup().content(), &escape);
    EXPECT_FALSE(d.popup().isVisible());

    // A press on the tray icon first closes the popup as a click elsewhere; the icon's own
    // activation that follows must not open it again.
    d.toggle();
    ASSERT_TRUE(d.popup().isVisible());
    d.popup().close();
    d.toggle();
    EXPECT_FALSE(d.popup().isVisible());
    EXPECT_TRUE(waitUntil([&] { return !d.popup().justClosed(); }, 2000));
    d.toggle();
    EXPECT_TRUE(d.popup().isVisible());
}

TEST_F(DelegateTest, aLongPassNeitherFreezesTheUiNorBlocksQuitting) {
    AppDelegate& d = launch();
    ASSERT_TRUE(passes(2));

    auto release = std::make_shared<std::atomic<bool>>(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    d.work().post([release, finished] {
        while (!*release)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        *finished = true;
    });
    d.enqueueRefresh(true);

    // The main thread goes on: the popup opens and follows the model while the worker is stuck.
    d.toggle();
    EXPECT_TRUE(d.popup().isVisible());
    d.model().setShowSettings(true);
    const int h = d.popup().fittingHeight();
    EXPECT_TRUE(waitUntil(
        [&] { return d.popup().height() == std::min(h, d.popup().screen()->availableGeometry().height()); }));

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(d.shutdown(std::chrono::milliseconds(200))) << "the stuck pass is still running";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    *release = true;
    ASSERT_TRUE(waitUntil([&] { return finished->load(); }));
    // The queued refresh was dropped: nothing more is published.
    const int published = d.passesPublished();
    waitUntil([] { return false; }, 200);
    EXPECT_EQ(d.passesPublished(), published);
    delegate.reset();
}

} // namespace
} // namespace quillon::app
