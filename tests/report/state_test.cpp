#include <gtest/gtest.h>

#include <cmath>

#include "report/diagnosis.h"
#include "scanner/usage.h"

namespace quillon {
namespace {

constexpr Instant kNow = 1'800'000'000;

SessionAgg session(const std::string& kind, std::optional<Instant> at, std::optional<std::string> tool = {}) {
    SessionAgg s("s1");
    s.lastKind = kind;
    s.lastKindAt = at;
    s.pendingTool = std::move(tool);
    return s;
}

Diagnosis::State stateAfter(const std::string& kind, double idle, std::optional<std::string> tool = {}) {
    return Diagnosis::state(session(kind, kNow - idle, std::move(tool)), Config{}, kNow);
}

TEST(SessionState, pendingToolWaitsFrom45Seconds) {
    auto working = stateAfter("tool", 44, "Bash");
    EXPECT_EQ(working.text, "Working");
    EXPECT_EQ(working.level, 0);
    EXPECT_EQ(working.waitedSeconds, 0);

    auto waiting = stateAfter("tool", 45, "Bash");
    EXPECT_EQ(waiting.text, "Waiting on Bash for 1 min (may need your approval)");
    EXPECT_EQ(waiting.level, 2);
    EXPECT_EQ(waiting.waitedSeconds, 45);

    EXPECT_EQ(stateAfter("tool", 5'400).text, "Waiting on a tool for 1.5 hours (may need your approval)");
    EXPECT_EQ(stateAfter("tool", 600, "").text, "Waiting on a tool for 10 min (may need your approval)");
}

TEST(SessionState, thresholdsOfTheOtherKinds) {
    struct Case {
        const char* kind;
        double threshold;
        const char* text;  // at the threshold plus two minutes
    } cases[] = {
        {"text", 30, "Finished 2 min ago"},   {"done", 30, "Finished 2 min ago"},
        {"result", 180, "Quiet for 5 min"},   {"prompt", 180, "Quiet for 5 min"},
        {"started", 180, "Quiet for 5 min"},  {"", 120, "Last active 4 min ago"},
        {"unknown", 120, "Last active 4 min ago"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        auto below = stateAfter(c.kind, c.threshold - 1);
        EXPECT_EQ(below.text, "Working");
        EXPECT_EQ(below.level, 0);
        auto at = stateAfter(c.kind, c.threshold);
        EXPECT_EQ(at.level, 1);
        EXPECT_EQ(at.waitedSeconds, 0);
        EXPECT_EQ(stateAfter(c.kind, c.threshold + 120).text, c.text);
    }
    EXPECT_EQ(stateAfter("text", 30).text, "Finished 1 min ago");
}

TEST(SessionState, referenceInstantFallsBackToLastThenNow) {
    SessionAgg s("s1");
    EXPECT_EQ(Diagnosis::state(s, Config{}, kNow).text, "Working");

    s.last = kNow - 600;  // no event time: the last turn counts
    EXPECT_EQ(Diagnosis::state(s, Config{}, kNow).text, "Last active 10 min ago");

    s.lastKind = "text";
    s.lastKindAt = kNow + 3'600;  // a clock ahead of ours: idle 0
    auto future = Diagnosis::state(s, Config{}, kNow);
    EXPECT_EQ(future.text, "Working");
    EXPECT_EQ(future.level, 0);
}

TEST(SessionState, stoppedOnAFailure) {
    Config config;  // stallMinutes 10
    SessionAgg s = session("result", kNow - 600);
    s.lastToolError = ToolError{kNow - 600, "exit 1"};
    auto stopped = Diagnosis::state(s, config, kNow);
    EXPECT_EQ(stopped.text, "Stopped on a failure, idle 10 min");
    EXPECT_EQ(stopped.level, 3);
    EXPECT_EQ(stopped.waitedSeconds, 0);

    // Below the stall time the kind decides.
    EXPECT_EQ(Diagnosis::state(s, config, kNow - 1).text, "Quiet for 9 min");

    // The error may be at most one second newer than the last event...
    s.lastToolError->at = kNow - 599;
    EXPECT_EQ(Diagnosis::state(s, config, kNow).level, 3);
    s.lastToolError->at = kNow - 598.5;
    EXPECT_EQ(Diagnosis::state(s, config, kNow).text, "Quiet for 10 min");

    // ...unless the assistant answered in text after it.
    s.lastKind = "text";
    EXPECT_EQ(Diagnosis::state(s, config, kNow).text, "Stopped on a failure, idle 10 min");

    // A failure before a pending tool call that has waited long enough stops the session first.
    SessionAgg pending = session("tool", kNow - 900, "Bash");
    pending.lastToolError = ToolError{kNow - 1'000, "denied"};
    EXPECT_EQ(Diagnosis::state(pending, config, kNow).level, 3);
    config.stallMinutes = 20;
    EXPECT_EQ(Diagnosis::state(pending, config, kNow).text, "Waiting on Bash for 15 min (may need your approval)");
}

SessionReport report(std::int64_t contextNow, std::int64_t floor) {
    SessionReport r;
    r.contextNow = contextNow;
    r.floor = floor;
    r.tokensToday = 1'000'000;
    r.turnsToday = 10;
    return r;
}

TEST(Advice, compactSentenceOfTheWorkedExample) {
    auto advice = Diagnosis::advice(report(220'000, 40'000), Config{});
    ASSERT_EQ(advice.size(), 1u);
    EXPECT_EQ(advice[0],
              "Compact now: it carries 180K of history on top of a 40K start, so each turn costs about 5.5x a "
              "fresh one.");
}

TEST(Advice, compactThresholdAndUnknownStart) {
    EXPECT_TRUE(Diagnosis::advice(report(149'999, 0), Config{}).empty());
    auto advice = Diagnosis::advice(report(150'000, 0), Config{});
    ASSERT_EQ(advice.size(), 1u);
    EXPECT_EQ(advice[0],
              "Compact now: it carries 150K of history on top of a 0 start, so each turn costs about 7.5x a "
              "fresh one.");
    // A context below its start has no history.
    Config low;
    low.historyCeiling = 0;
    low.floorWarning = 1'000'000;
    auto shrunk = Diagnosis::advice(report(10'000, 50'000), low);
    ASSERT_EQ(shrunk.size(), 1u);
    EXPECT_TRUE(shrunk[0].starts_with("Compact now: it carries 0 of history on top of a 50K start")) << shrunk[0];
}

TEST(Advice, heavyStart) {
    EXPECT_TRUE(Diagnosis::advice(report(59'999, 59'999), Config{}).empty());
    auto heavy = Diagnosis::advice(report(60'000, 60'000), Config{});
    ASSERT_EQ(heavy.size(), 1u);
    EXPECT_EQ(heavy[0], "Starts at 60K before any work. Turn off connectors and plugins this session does not use.");

    Config zero;
    zero.floorWarning = 0;
    auto unknown = Diagnosis::advice(report(1'000, 0), zero);
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(unknown[0], "Starts at 0 before any work. Turn off connectors and plugins this session does not use.");
}

TEST(Advice, subagentsAndLongSessionsInOrder) {
    SessionReport r = report(1'000, 1'000);
    r.tokensToday = 20'000'000;
    r.sideShare = 12'000'000.0 / 20'000'000.0;
    r.turnsToday = 1'499;
    auto advice = Diagnosis::advice(r, Config{});
    ASSERT_EQ(advice.size(), 1u);
    EXPECT_EQ(advice[0], "Subagents are 60% of its tokens today. Fewer, narrower helpers would cut it.");

    r.tokensToday = 19'999'999;
    EXPECT_TRUE(Diagnosis::advice(r, Config{}).empty());
    r.tokensToday = 20'000'000;
    r.sideShare = 0.5999;
    EXPECT_TRUE(Diagnosis::advice(r, Config{}).empty());

    // All four, in their fixed order.
    SessionReport all = report(400'000, 80'000);
    all.tokensToday = 30'000'000;
    all.sideShare = 0.75;
    all.turnsToday = 1'500;
    auto four = Diagnosis::advice(all, Config{});
    ASSERT_EQ(four.size(), 4u);
    EXPECT_TRUE(four[0].starts_with("Compact now: it carries 320K of history on top of a 80K start"));
    EXPECT_TRUE(four[0].ends_with("about 5.0x a fresh one."));
    EXPECT_TRUE(four[1].starts_with("Starts at 80K "));
    EXPECT_EQ(four[2], "Subagents are 75% of its tokens today. Fewer, narrower helpers would cut it.");
    EXPECT_EQ(four[3], "1500 turns today in one session. Long sessions pay for their whole history every turn.");
}

} // namespace
} // namespace quillon
