// The tray's five states, its pictures, the popup's placement, the red frame and the worker.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>

#include "app/icon.h"
#include "app/popup_window.h"
#include "app/red_frame.h"
#include "app/tray_icon.h"
#include "app/work_queue.h"
#include "tray_support.h"

namespace quillon::app {
namespace {

using State = TrayLook::State;

Snapshot readySnap() {
    Snapshot s;
    s.ready = true;
    s.today.tokens = 150'000;
    s.today.usd = 1234.56;
    return s;
}

LimitView limit(double used, std::int64_t level) {
    LimitView v;
    v.usedPercent = used;
    v.level = level;
    return v;
}

std::vector<Gate> gates(int n) {
    std::vector<Gate> out(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        out[static_cast<std::size_t>(i)].id = "alert:" + std::to_string(i);
    return out;
}

TEST(TrayLook, failingWinsOverEverythingElseThenLoadingBeforeTheFirstPass) {
    Snapshot s; // not ready
    Config c;
    EXPECT_EQ(trayLook(s, gates(1), c), (TrayLook{State::failing, "1 failed", false}));
    s.limits = {limit(50, 0)};
    EXPECT_EQ(trayLook(s, {}, c), (TrayLook{State::loading, "\u2026", false}));
    s = readySnap();
    s.limits = {limit(99, 2)};
    s.overBudget = true;
    c.menuBarDollars = true;
    EXPECT_EQ(trayLook(s, gates(12), c), (TrayLook{State::failing, "12 failed", false}));
}

TEST(TrayLook, limitShowsTheHighestTruncatedAndColoursByThatLimit) {
    Snapshot s = readySnap();
    Config c; // menuBarLimit on by default
    s.limits = {limit(36, 1), limit(72.9, 0)};
    EXPECT_EQ(trayLook(s, {}, c), (TrayLook{State::limit, "72%", false}));
    s.limits = {limit(36, 0), limit(72.9, 1)};
    EXPECT_EQ(trayLook(s, {}, c), (TrayLook{State::limit, "72%", true}));
    // Equal highest: the first one decides the colour.
    s.limits = {limit(80, 1), limit(80, 0)};
    EXPECT_TRUE(trayLook(s, {}, c).orange);
    s.limits = {limit(80, 0), limit(80, 1)};
    EXPECT_FALSE(trayLook(s, {}, c).orange);
    // Figures from a file other programs write stay defined.
    s.limits = {limit(std::nan(""), 0)};
    EXPECT_EQ(trayLook(s, {}, c).title, "0%");
}

TEST(TrayLook, dollarsAndTokensWhenNoLimitIsShown) {
    Snapshot s = readySnap();
    Config c;
    c.menuBarDollars = true;
    EXPECT_EQ(trayLook(s, {}, c), (TrayLook{State::dollars, "$1235", false}))
        << "no limits known: falls back";
    s.limits = {limit(10, 0)};
    c.menuBarLimit = false;
    EXPECT_EQ(trayLook(s, {}, c).state, State::dollars);
    c.menuBarDollars = false;
    s.overBudget = true;
    EXPECT_EQ(trayLook(s, {}, c), (TrayLook{State::tokens, "150K", true}));
}

TEST(TrayLook, figureStaysShortEnoughForTwentyTwoPixels) {
    EXPECT_EQ((TrayLook{State::failing, "1 failed", false}).figure(), "1");
    EXPECT_EQ((TrayLook{State::failing, "42 failed", false}).figure(), "42");
    EXPECT_EQ((TrayLook{State::failing, "100 failed", false}).figure(), "99+");
    EXPECT_EQ((TrayLook{State::loading, "\u2026", false}).figure(), "");
    EXPECT_EQ((TrayLook{State::limit, "72%", false}).figure(), "72%");
    EXPECT_EQ((TrayLook{State::tokens, "12.3M", false}).figure(), "12M");
    EXPECT_EQ((TrayLook{State::tokens, "1.2B", false}).figure(), "1.2B");
    EXPECT_EQ((TrayLook{State::tokens, "150K", false}).figure(), "150K");
    EXPECT_EQ((TrayLook{State::dollars, "$1235", false}).figure(), "$1235");
}

// Share of the picture's pixels that are opaque and close to a colour.
double share(const QImage& image, const QColor& colour, int tolerance = 40) {
    int hits = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() > 200 && std::abs(c.red() - colour.red()) < tolerance &&
                std::abs(c.green() - colour.green()) < tolerance &&
                std::abs(c.blue() - colour.blue()) < tolerance)
                ++hits;
        }
    return double(hits) / (image.width() * image.height());
}

TEST(TrayPicture, failingIsARedOctagonWithAWhiteCountAtBothDensities) {
    for (int size : {22, 44}) {
        const QImage one = trayPicture({State::failing, "1 failed", false}, size);
        ASSERT_EQ(one.size(), QSize(size, size));
        EXPECT_GT(share(one, RedFrame::red), 0.5) << size;
        const double white1 = share(one, Qt::white);
        EXPECT_GT(white1, 0.04) << "the count must be big enough to read at " << size;
        // Corners stay clear: an octagon, not a square.
        EXPECT_EQ(one.pixelColor(0, 0).alpha(), 0);
        const QImage twelve = trayPicture({State::failing, "12 failed", false}, size);
        EXPECT_GT(share(twelve, Qt::white), white1) << "two digits carry more ink than one";
    }
}

TEST(TrayPicture, figureStatesDrawTheFigureOnTheDarkDisc) {
    for (int size : {22, 44}) {
        const QImage plain = trayPicture({State::limit, "72%", false}, size);
        EXPECT_GT(share(plain, Qt::black), 0.3) << size;
        EXPECT_GT(share(plain, Qt::white), 0.04) << size;
        const QImage warning = trayPicture({State::limit, "72%", true}, size);
        EXPECT_LT(share(warning, Qt::white), 0.01) << "a warning figure is orange, not white";
        EXPECT_NE(plain, trayPicture({State::limit, "73%", false}, size)) << "the figure is really drawn";
        EXPECT_NE(trayPicture({State::tokens, "150K", false}, size),
                  trayPicture({State::tokens, "12M", false}, size));
    }
    const QImage loading = trayPicture({State::loading, "\u2026", false}, 22);
    EXPECT_EQ(loading, Icon::cross(22, false)) << "while loading, the mark itself";
}

TEST(TrayPicture, offeredAtEverySizeHostsAskFor) {
    const QIcon icon = trayIconSet({State::failing, "3 failed", false});
    const QList<QSize> sizes = icon.availableSizes();
    for (int s : {16, 22, 24, 32, 44, 48, 64})
        EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;
}

TEST(PopupPlacement, belowTheIconAboveABottomPanelAndAlwaysOnScreen) {
    const QRect screen(0, 0, 1920, 1080);
    const QSize size(400, 300);
    // A top panel: centred under the icon.
    EXPECT_EQ(placePopup(QRect(1000, 0, 24, 24), screen, size), QRect(812, 24, 400, 300));
    // A bottom panel: above the icon.
    EXPECT_EQ(placePopup(QRect(1000, 1056, 24, 24), screen, size), QRect(812, 756, 400, 300));
    // An icon at the right edge: clamped inside.
    EXPECT_EQ(placePopup(QRect(1900, 0, 20, 24), screen, size).right(), 1919);
    EXPECT_EQ(placePopup(QRect(0, 0, 20, 24), screen, size).left(), 0);
    // Taller than the screen: starts at its top.
    EXPECT_EQ(placePopup(QRect(1000, 0, 24, 24), QRect(0, 0, 1920, 200), size).top(), 0);
    // A second screen to the right, with a panel that takes its top 30 pixels.
    EXPECT_EQ(placePopup(QRect(2500, 40, 1, 1), QRect(1920, 30, 1280, 994), size), QRect(2300, 41, 400, 300));
}

TEST(RedFrameWindows, oneRingPerScreenThatTakesNoInput) {
    RedFrame frame;
    frame.show(true);
    const auto screens = QGuiApplication::screens();
    ASSERT_EQ(frame.windows().size(), static_cast<std::size_t>(screens.size()));
    for (std::size_t i = 0; i < frame.windows().size(); ++i) {
        const QWidget& w = *frame.windows()[i];
        EXPECT_EQ(w.geometry(), screens[static_cast<int>(i)]->geometry());
        const Qt::WindowFlags f = w.windowFlags();
        for (Qt::WindowType flag :
             {Qt::FramelessWindowHint, Qt::WindowStaysOnTopHint, Qt::WindowTransparentForInput,
              Qt::WindowDoesNotAcceptFocus, Qt::X11BypassWindowManagerHint})
            EXPECT_TRUE(f.testFlag(flag)) << flag;
        EXPECT_EQ(f & Qt::WindowType_Mask, Qt::Tool);
        EXPECT_TRUE(w.isVisible());
        EXPECT_EQ(w.mask(), RedFrame::ring(w.size()));
        const QImage drawn = const_cast<QWidget&>(w).grab(QRect(0, 0, 20, 20)).toImage();
        EXPECT_EQ(drawn.pixelColor(2, 2), RedFrame::red);
    }
    // The ring is seven pixels wide and hollow.
    const QRegion ring = RedFrame::ring(QSize(100, 80));
    for (QPoint p : {QPoint(0, 0), QPoint(6, 40), QPoint(93, 40), QPoint(50, 79)})
        EXPECT_TRUE(ring.contains(p)) << p.x() << "," << p.y();
    for (QPoint p : {QPoint(7, 40), QPoint(92, 40), QPoint(50, 50)})
        EXPECT_FALSE(ring.contains(p)) << p.x() << "," << p.y();
    const QWidget* first = frame.windows().front().get();
    frame.show(true);
    EXPECT_EQ(frame.windows().front().get(), first) << "same screens: the windows stay";
    frame.show(false);
    EXPECT_TRUE(frame.windows().empty());
}

TEST(WorkQueueOrder, runsTasksOneAtATimeInOrder) {
    WorkQueue q;
    std::vector<int> seen;
    std::atomic<int> running{0};
    std::atomic<bool> overlap{false};
    for (int i = 0; i < 50; ++i)
        q.post([&, i] {
            if (running.fetch_add(1) != 0) overlap = true;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            seen.push_back(i);
            running.fetch_sub(1);
        });
    ASSERT_TRUE(testing::waitUntil([&] { return q.pending() == 0; }));
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(overlap);
}

TEST(WorkQueueStop, aBoundedWaitReturnsWhileATaskStillRuns) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto started = std::make_shared<std::atomic<bool>>(false);
    auto q = std::make_unique<WorkQueue>();
    q->post([release, finished, started] {
        *started = true;
        while (!*release)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        *finished = true;
    });
    std::atomic<bool> laterRan{false};
    q->post([&] { laterRan = true; });
    ASSERT_TRUE(testing::waitUntil([&] { return started->load(); }));
    EXPECT_EQ(q->pending(), 2u);

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(q->stop(std::chrono::milliseconds(100)));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(q->stopping());
    q->post([&] { laterRan = true; });
    q.reset(); // the queue goes while its detached thread still runs the task
    *release = true;
    ASSERT_TRUE(testing::waitUntil([&] { return finished->load(); }));
    EXPECT_FALSE(laterRan) << "queued and late tasks are dropped";

    WorkQueue idle;
    EXPECT_TRUE(idle.stop(std::chrono::milliseconds(100)));
}

} // namespace
} // namespace quillon::app
