#include <gtest/gtest.h>

#include <QSignalSpy>

#include "app/model.h"
#include "popover_support.h"

namespace quillon::testing {
namespace {

using app::Model;

TEST(Model, startsEmptyAndNotReady) {
    Model model(1000.5);
    EXPECT_FALSE(model.snap().ready);
    EXPECT_TRUE(model.snap().monthReady);
    EXPECT_EQ(model.snap().scannedAt, 1000.5);
    EXPECT_TRUE(model.gates().empty());
    EXPECT_FALSE(model.note().has_value());
    EXPECT_EQ(model.config(), Config{});
    EXPECT_FALSE(model.showSettings() || model.showConnect() || model.showMonth() || model.startAtLogin() ||
                 model.claudeConnected());
    // The callbacks do nothing until the application installs its own.
    model.onDismiss(Gate{});
    model.onRefresh();
    model.onConfigChange();
    model.onConnectClaude(true);
    EXPECT_FALSE(model.onStartAtLogin(true));
}

TEST(Model, everyAssignmentOfAnObservedFieldSignalsOnceAfterTheChange) {
    guiApp();
    Model model(0);
    QSignalSpy spy(&model, &Model::changed);
    bool seenNew = false;
    QObject::connect(&model, &Model::changed, [&] { seenNew = model.showMonth(); });

    model.setShowMonth(true);
    EXPECT_EQ(spy.count(), 1);
    EXPECT_TRUE(seenNew);
    model.setShowMonth(true); // the same value is still an assignment
    EXPECT_EQ(spy.count(), 2);

    Snapshot snap;
    snap.ready = true;
    model.setSnap(snap);
    model.setGates({Gate{}});
    model.setNote(std::string("n"));
    model.setConfig(Config{});
    model.setStartAtLogin(true);
    model.setShowSettings(true);
    model.setClaudeConnected(true);
    model.setShowConnect(true);
    model.setConnectError(std::string("e"));
    model.setPushStatus(std::string("p"));
    EXPECT_EQ(spy.count(), 12);

    model.onRefresh = [] {};
    model.onStartAtLogin = [](bool on) { return on; };
    EXPECT_EQ(spy.count(), 12);
}

} // namespace
} // namespace quillon::testing
