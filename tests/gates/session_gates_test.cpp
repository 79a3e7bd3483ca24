#include <gtest/gtest.h>

#include "gate_fixture.h"

namespace quillon::testing {
namespace {

class SessionGates : public GateTest {
  protected:
    std::vector<std::string> stalledIds() const { return ids(watcher.stalledSessions(scanner, testNow)); }
};

TEST_F(SessionGates, buildsTheGateOfAStoppedSession) {
    SessionAgg& s = stoppedSession("abc-123", "pre-push hook failed: 3 tests failed", 31 * 60 + 0.25, 0);
    s.title = "Fix flaky checkout test";
    s.last = s.lastToolError->at;

    auto gates = watcher.stalledSessions(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0], (Gate{"session:abc-123:1749998139", Gate::Kind::session,
                              "Stopped on a failure: Fix flaky checkout test",
                              "web-app \u00B7 idle 31 min \u00B7 pre-push hook failed: 3 tests failed",
                              std::nullopt, 1'749'998'139.75, std::nullopt}));
}

TEST_F(SessionGates, onlyFailuresIdleFromTheStallTimeToADay) {
    watcher.config.stallMinutes = 10;
    struct Case {
        const char* key;
        const char* text;
        double errorAgo, activeAgo;
        bool gate;
    } cases[] = {
        // Both bounds are inclusive; the idle time counts from the later of error and activity.
        {"nine-min", "build failed", 9 * 60, 9 * 60, false},
        {"ten-min", "build failed", 10 * 60, 10 * 60, true},
        {"one-day", "build failed", 86400, 86400, true},
        {"day-and-a-second", "build failed", 86401, 86401, false},
        {"busy-again", "build failed", 2 * 3600, 5 * 60, false},
        {"error-after-activity", "build failed", 5 * 60, 2 * 3600, false},
        // The failure words, without regard to case; the user's own refusals are no failure.
        {"capital", "Permission Denied (publickey)", 3600, 3600, true},
        {"fatal", "fatal: not a git repository", 3600, 3600, true},
        {"refused-by-user", "The user doesn't want to proceed; pre-commit hook failed", 3600, 3600, false},
        {"rejected-tool", "Tool use was rejected", 3600, 3600, false},
        {"interrupted", "[Request interrupted by user] tests failed", 3600, 3600, false},
        // " failed" needs its leading space: a text that starts with the word has no failure word.
        {"no-word", "Failed to connect", 3600, 3600, false},
        {"plain", "file not found", 3600, 3600, false},
    };
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        stoppedSession(c.key, c.text, c.errorAgo, c.activeAgo);
        if (c.gate)
            expected.push_back("session:" + std::string(c.key) + ":" +
                               std::to_string(static_cast<std::int64_t>(testNow - c.errorAgo)));
    }
    // Without an error, or without a last time, no gate.
    recentSession("no-error", "/w", 3600);
    scanner.session("no-last").lastToolError = ToolError{testNow - 3600, "build failed"};
    EXPECT_EQ(stalledIds(), expected);
}

TEST_F(SessionGates, watchSwitchesFollowTheTool) {
    stoppedSession("claude", "hook failed", 3600, 3600);
    stoppedSession("codex:x1", "hook failed", 3600, 3600).tool = "Codex";
    watcher.config.watchCodex = false;
    EXPECT_EQ(stalledIds(), std::vector<std::string>{"session:claude:1749996400"});
    watcher.config.watchCodex = true;
    watcher.config.watchClaude = false;
    EXPECT_EQ(stalledIds(), std::vector<std::string>{"session:codex:x1:1749996400"});
}

TEST_F(SessionGates, detailNamesTheProjectTheIdleTimeAndTheTextAsWritten) {
    std::string longText = "error: ";
    while (longText.size() < 700) longText += "\u00E9";  // two bytes each: the cut counts characters
    const std::string hostile = "error: \x1b]52;c;aGk=\x07\x1b[2J<a href=\"x\">x</a>\u202Eexe.txt";
    stoppedSession("no-cwd", "build failed", 3600, 3600, "");
    stoppedSession("root-cwd", "build failed", 3600, 3600, "/");
    stoppedSession("trailing-slash", "build failed", 3600, 3600, "/home/dev/api/");
    stoppedSession("long", longText, 3600, 3600);
    // The idle time counts from the activity; id and since from the error.
    stoppedSession("quiet", hostile, 2 * 3600, 45 * 60).title = "<img src=x onerror=alert(1)>\x1b[31m";

    auto gates = watcher.stalledSessions(scanner, testNow);
    ASSERT_EQ(gates.size(), 5u);
    EXPECT_EQ(gates[0].detail, "idle 60 min \u00B7 build failed");
    EXPECT_EQ(gates[1].detail, "idle 60 min \u00B7 build failed");
    EXPECT_EQ(gates[2].detail, "api \u00B7 idle 60 min \u00B7 build failed");
    EXPECT_EQ(gates[3].detail, "web-app \u00B7 idle 60 min \u00B7 " + longText.substr(0, 7 + 153 * 2));
    EXPECT_EQ(gates[4].detail, "web-app \u00B7 idle 45 min \u00B7 " + hostile);
    EXPECT_EQ(gates[4].title, "Stopped on a failure: <img src=x onerror=alert(1)>\x1b[31m");
    EXPECT_EQ(gates[4].since, testNow - 2 * 3600);
}

} // namespace
} // namespace quillon::testing
