#include <gtest/gtest.h>

#include "gate_fixture.h"

namespace quillon::testing {
namespace {

class SessionGates : public GateTest {
  protected:
    GateWatcher watcher{Config{}};

    // A session whose last tool error happened `errorAgo` seconds before testNow and whose last
    // activity was `activeAgo` seconds before it.
    SessionAgg& stopped(const std::string& key, const std::string& text, double errorAgo, double activeAgo,
                        const std::string& cwd = "/home/dev/web-app") {
        SessionAgg& s = recentSession(key, cwd, activeAgo);
        s.lastToolError = ToolError{testNow - errorAgo, text};
        return s;
    }

    std::vector<std::string> ids() const {
        std::vector<std::string> out;
        for (const auto& g : watcher.stalledSessions(scanner, testNow)) out.push_back(g.id);
        return out;
    }
};

TEST_F(SessionGates, buildsTheGateOfAStoppedSession) {
    SessionAgg& s = stopped("abc-123", "pre-push hook failed: 3 tests failed", 31 * 60, 31 * 60);
    s.title = "Fix flaky checkout test";
    s.lastToolError->at = testNow - 31 * 60 - 0.25;
    s.last = s.lastToolError->at;

    auto gates = watcher.stalledSessions(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    const Gate& g = gates[0];
    EXPECT_EQ(g.id, "session:abc-123:1749998139");
    EXPECT_EQ(g.kind, Gate::Kind::session);
    EXPECT_EQ(g.title, "Stopped on a failure: Fix flaky checkout test");
    EXPECT_EQ(g.detail, "web-app \u00B7 idle 31 min \u00B7 pre-push hook failed: 3 tests failed");
    EXPECT_EQ(g.link, std::nullopt);
    EXPECT_EQ(g.hint, std::nullopt);
    EXPECT_DOUBLE_EQ(g.since, 1'749'998'139.75);
}

TEST_F(SessionGates, idleBoundsAreInclusive) {
    watcher.config.stallMinutes = 10;
    stopped("nine-min", "build failed", 9 * 60, 9 * 60);
    stopped("ten-min", "build failed", 10 * 60, 10 * 60);
    stopped("one-day", "build failed", 86400, 86400);
    stopped("day-and-a-second", "build failed", 86401, 86401);
    stopped("25-hours", "build failed", 25 * 3600, 25 * 3600);
    EXPECT_EQ(ids(), (std::vector<std::string>{"session:ten-min:" + std::to_string(1'750'000'000 - 600),
                                               "session:one-day:" + std::to_string(1'750'000'000 - 86400)}));
}

TEST_F(SessionGates, laterActivityMovesTheReferenceTime) {
    stopped("busy-again", "build failed", 2 * 3600, 5 * 60);
    EXPECT_TRUE(ids().empty());
    // The idle time (and the age in the detail) counts from the activity, the id and since from the error.
    stopped("quiet", "build failed", 2 * 3600, 45 * 60);
    auto gates = watcher.stalledSessions(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].detail, "web-app \u00B7 idle 45 min \u00B7 build failed");
    EXPECT_EQ(gates[0].since, testNow - 2 * 3600);
    stopped("hours", "build failed", 3 * 3600, 3 * 3600);
    gates = watcher.stalledSessions(scanner, testNow);
    ASSERT_EQ(gates.size(), 2u);
    EXPECT_EQ(gates[1].detail, "web-app \u00B7 idle 3.0 h \u00B7 build failed");
}

TEST_F(SessionGates, failureWordsAndRefusals) {
    stopped("capital", "Permission Denied (publickey)", 3600, 3600);
    stopped("refused-by-user", "The user doesn't want to proceed; pre-commit hook failed", 3600, 3600);
    stopped("rejected-tool", "Tool use was rejected", 3600, 3600);
    stopped("interrupted", "[Request interrupted by user] tests failed", 3600, 3600);
    // " failed" needs its leading space: a text that starts with the word has no failure word.
    stopped("no-word", "Failed to connect", 3600, 3600);
    stopped("plain", "file not found", 3600, 3600);
    stopped("fatal", "fatal: not a git repository", 3600, 3600);
    EXPECT_EQ(ids(), (std::vector<std::string>{"session:capital:1749996400", "session:fatal:1749996400"}));
}

TEST_F(SessionGates, watchSwitchesFollowTheTool) {
    stopped("claude", "hook failed", 3600, 3600);
    stopped("codex:x1", "hook failed", 3600, 3600).tool = "Codex";
    watcher.config.watchCodex = false;
    EXPECT_EQ(ids(), std::vector<std::string>{"session:claude:1749996400"});
    watcher.config.watchCodex = true;
    watcher.config.watchClaude = false;
    EXPECT_EQ(ids(), std::vector<std::string>{"session:codex:x1:1749996400"});
}

TEST_F(SessionGates, needsAnErrorAndALastTime) {
    recentSession("no-error", "/w", 3600);
    SessionAgg& noLast = scanner.session("no-last");
    noLast.lastToolError = ToolError{testNow - 3600, "build failed"};
    EXPECT_TRUE(ids().empty());
}

TEST_F(SessionGates, detailFormsWithoutProjectAndWithLongText) {
    stopped("no-cwd", "build failed", 3600, 3600, "");
    stopped("root-cwd", "build failed", 3600, 3600, "/");
    stopped("trailing-slash", "build failed", 3600, 3600, "/home/dev/api/");
    std::string longText = "error: ";
    while (longText.size() < 700) longText += "\u00E9";  // two bytes each: the cut counts characters
    stopped("long", longText, 3600, 3600);

    auto gates = watcher.stalledSessions(scanner, testNow);
    ASSERT_EQ(gates.size(), 4u);
    EXPECT_EQ(gates[0].detail, "idle 60 min \u00B7 build failed");
    EXPECT_EQ(gates[1].detail, "idle 60 min \u00B7 build failed");
    EXPECT_EQ(gates[2].detail, "api \u00B7 idle 60 min \u00B7 build failed");
    std::string expectedCut = "error: ";
    for (int i = 0; i < 153; ++i) expectedCut += "\u00E9";
    EXPECT_EQ(gates[3].detail, "web-app \u00B7 idle 60 min \u00B7 " + expectedCut);
}

TEST_F(SessionGates, outsideTextIsKeptAsWritten) {
    const std::string hostile = "error: \x1b]52;c;aGk=\x07\x1b[2J<a href=\"x\">x</a>\u202Eexe.txt";
    SessionAgg& s = stopped("hostile", hostile, 3600, 3600);
    s.title = "<img src=x onerror=alert(1)>\x1b[31m";
    auto gates = watcher.stalledSessions(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].title, "Stopped on a failure: <img src=x onerror=alert(1)>\x1b[31m");
    EXPECT_EQ(gates[0].detail, "web-app \u00B7 idle 60 min \u00B7 " + hostile);
}

} // namespace
} // namespace quillon::testing
