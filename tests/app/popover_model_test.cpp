#include <gtest/gtest.h>

#include <QSignalSpy>

#include "app/model.h"
#include "popover_support.h"

namespace quillon::testing {
namespace {

using app::Model;

TEST(Model, startsNotReadyAndItsCallbacksAreSafeBeforeTheApplicationInstallsThem) {
    Model model(1000.5);
    EXPECT_FALSE(model.snap().ready);
    EXPECT_EQ(model.snap().scannedAt, 1000.5);
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

    model.setSnap(Snapshot{});
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
}

} // namespace
} // namespace quillon::testing
