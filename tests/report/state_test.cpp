#include <gtest/gtest.h>

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

TEST(SessionState, eachKindFromItsThreshold) {
    struct Case {
        const char* kind;
        std::optional<std::string> tool;
        double threshold;
        const char* text;  // at the threshold plus two minutes
        std::int64_t level;
    } cases[] = {
        {"tool", "Bash", 45, "Waiting on Bash for 2 min (may need your approval)", 2},
        {"tool", std::nullopt, 45, "Waiting on a tool for 2 min (may need your approval)", 2},
        {"tool", "", 45, "Waiting on a tool for 2 min (may need your approval)", 2},
        {"text", {}, 30, "Finished 2 min ago", 1},
        {"done", {}, 30, "Finished 2 min ago", 1},
        {"result", {}, 180, "Quiet for 5 min", 1},
        {"prompt", {}, 180, "Quiet for 5 min", 1},
        {"started", {}, 180, "Quiet for 5 min", 1},
        {"", {}, 120, "Last active 4 min ago", 1},
        {"unknown", {}, 120, "Last active 4 min ago", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        auto at = [&](double idle) { return Diagnosis::state(session(c.kind, kNow - idle, c.tool), Config{}, kNow); };
        EXPECT_EQ(at(c.threshold - 1).text, "Working");
        EXPECT_EQ(at(c.threshold - 1).level, 0);
        EXPECT_EQ(at(c.threshold).level, c.level);
        auto later = at(c.threshold + 120);
        EXPECT_EQ(later.text, c.text);
        // Only a wait reports its seconds.
        EXPECT_EQ(later.waitedSeconds, c.level == 2 ? c.threshold + 120 : 0);
    }
    EXPECT_EQ(Diagnosis::state(session("text", kNow - 30), Config{}, kNow).text, "Finished 1 min ago");
}

TEST(SessionState, referenceInstantFallsBackToLastThenNow) {
    SessionAgg s("s1");
    EXPECT_EQ(Diagnosis::state(s, Config{}, kNow).text, "Working");
    s.last = kNow - 600;  // no event time: the last turn counts
    EXPECT_EQ(Diagnosis::state(s, Config{}, kNow).text, "Last active 10 min ago");
    s.lastKind = "text";
    s.lastKindAt = kNow + 3'600;  // a clock ahead of ours: idle 0
    EXPECT_EQ(Diagnosis::state(s, Config{}, kNow).text, "Working");
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

TEST(Advice, eachSentenceFromItsThresholdInOrder) {
    const std::string compact = "Compact now: it carries ";
    const std::string subagents = "Subagents are 60% of its tokens today. Fewer, narrower helpers would cut it.";
    Config low;  // a context below its start has no history
    low.historyCeiling = 0;
    low.floorWarning = 1'000'000;
    Config noFloorWarning;
    noFloorWarning.floorWarning = 0;
    struct Case {
        std::int64_t contextNow, floor, tokensToday;
        double sideShare;
        std::int64_t turnsToday;
        Config config;
        std::vector<std::string> advice;
    } cases[] = {
        // The worked example: 180K of history on a 40K start.
        {220'000, 40'000, 1'000'000, 0, 10, {},
         {compact + "180K of history on top of a 40K start, so each turn costs about 5.5x a fresh one."}},
        // An unknown start counts as 20,000 in the ratio.
        {149'999, 0, 1'000'000, 0, 10, {}, {}},
        {150'000, 0, 1'000'000, 0, 10, {},
         {compact + "150K of history on top of a 0 start, so each turn costs about 7.5x a fresh one."}},
        {10'000, 50'000, 1'000'000, 0, 10, low,
         {compact + "0 of history on top of a 50K start, so each turn costs about 0.2x a fresh one."}},
        {59'999, 59'999, 1'000'000, 0, 10, {}, {}},
        {60'000, 60'000, 1'000'000, 0, 10, {},
         {"Starts at 60K before any work. Turn off connectors and plugins this session does not use."}},
        {1'000, 0, 1'000'000, 0, 10, noFloorWarning,
         {"Starts at 0 before any work. Turn off connectors and plugins this session does not use."}},
        {1'000, 1'000, 20'000'000, 0.6, 1'499, {}, {subagents}},
        {1'000, 1'000, 19'999'999, 0.6, 1'499, {}, {}},
        {1'000, 1'000, 20'000'000, 0.5999, 1'499, {}, {}},
        // All four, in their fixed order.
        {400'000, 80'000, 30'000'000, 0.75, 1'500, {},
         {compact + "320K of history on top of a 80K start, so each turn costs about 5.0x a fresh one.",
          "Starts at 80K before any work. Turn off connectors and plugins this session does not use.",
          "Subagents are 75% of its tokens today. Fewer, narrower helpers would cut it.",
          "1500 turns today in one session. Long sessions pay for their whole history every turn."}},
    };
    for (const Case& c : cases) {
        SessionReport r;
        r.contextNow = c.contextNow;
        r.floor = c.floor;
        r.tokensToday = c.tokensToday;
        r.sideShare = c.sideShare;
        r.turnsToday = c.turnsToday;
        EXPECT_EQ(Diagnosis::advice(r, c.config), c.advice) << c.contextNow << " / " << c.floor;
    }
}

} // namespace
} // namespace quillon
