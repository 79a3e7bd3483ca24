#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "report/diagnosis.h"
#include "report_support.h"
#include "scanner/log_scanner.h"
#include "scanner/timestamp.h"
#include "settings/format.h"
#include "test_home.h"

namespace quillon {
namespace {

using testing::local;
using testing::Zone;

class SnapshotTest : public testing::HomeTest {
  protected:
    // A fresh scanner over empty folders, made after the test has chosen its zone.
    LogScanner& scanner() {
        if (!m_scanner) m_scanner = std::make_unique<LogScanner>(config, home.path() + "/claude", home.path() + "/codex");
        return *m_scanner;
    }

    SessionAgg& turn(const std::string& key, Instant when, std::int64_t input, std::int64_t output = 0,
                     bool side = false, const std::string& tool = "Claude Code") {
        SessionAgg& s = scanner().session(key);
        s.tool = tool;
        Usage u;
        u.input = input;
        u.output = output;
        scanner().add(s, u, tool == "Codex" ? "gpt-5" : "claude-sonnet-4", when, side);
        return s;
    }

    Snapshot snap(Instant now) { return Diagnosis::snapshot(scanner(), config, now); }

    Config config;

  private:
    std::unique_ptr<LogScanner> m_scanner;
};

class UtcSnapshot : public SnapshotTest {
  protected:
    Zone zone{"UTC"};
    const Instant now = local(2026, 3, 10, 12, 0);
};

std::vector<std::string> sessionIds(const Snapshot& s) {
    std::vector<std::string> out;
    for (const auto& r : s.sessions) out.push_back(r.id);
    return out;
}

// The day keys of a snapshot's month must be 30 consecutive calendar dates ending today.
void expectConsecutiveMonth(const Snapshot& s, const std::string& today) {
    ASSERT_EQ(s.month.size(), 30u);
    EXPECT_EQ(s.month.back().day, today);
    auto noon = [](const std::string& key) { return *parseIso8601(key + "T12:00:00Z", false); };
    for (std::size_t i = 1; i < s.month.size(); ++i)
        EXPECT_EQ(noon(s.month[i].day) - noon(s.month[i - 1].day), 86'400) << s.month[i - 1].day << " -> " << s.month[i].day;
    ASSERT_EQ(s.week.size(), 7u);
    EXPECT_TRUE(std::equal(s.week.begin(), s.week.end(), s.month.end() - 7));
}

TEST_F(UtcSnapshot, daysMergeAcrossSessionsAndToolsAndTheBudgetIsStrict) {
    // Nothing yet: 30 zero days with their keys, no rows; over budget only below zero.
    Snapshot s = snap(now);
    EXPECT_TRUE(s.ready);
    EXPECT_EQ(s.today, (DayReport{"2026-03-10", 0, 0, 0, 0}));
    expectConsecutiveMonth(s, "2026-03-10");
    EXPECT_EQ(s.month.front(), (DayReport{"2026-02-09", 0, 0, 0, 0}));
    EXPECT_TRUE(s.sessions.empty() && s.limits.empty() && s.nudges.empty());
    EXPECT_FALSE(s.overBudget);
    config.dailyBudget = -1;
    EXPECT_TRUE(snap(now).overBudget);

    turn("a", now - 3'600, 1'000, 500);
    turn("a", now - 86'400, 2'000, 0, true);
    turn("b", now - 60, 300, 0, true);
    turn("codex:c", now - 120, 40, 0, false, "Codex");
    s = snap(now);
    EXPECT_EQ(s.today.tokens, 1'340);
    EXPECT_EQ(s.today.turns, 3);
    EXPECT_EQ(s.today.sideTurns, 1);
    EXPECT_GT(s.today.usd, 0);
    EXPECT_EQ(s.month[28], (DayReport{"2026-03-09", 2'000, 1, 1, s.month[28].usd}));
    EXPECT_EQ(s.week[5], s.month[28]);
    EXPECT_EQ(s.month.back(), s.today);

    // Codex only, then Claude Code only: totals and rows alike.
    config.watchClaude = false;
    s = snap(now);
    EXPECT_EQ(s.today.tokens, 40);
    EXPECT_EQ(s.month[28].tokens, 0);
    EXPECT_EQ(sessionIds(s), std::vector<std::string>{"codex:c"});
    config.watchClaude = true;
    config.watchCodex = false;
    s = snap(now);
    EXPECT_EQ(s.today.tokens, 1'300);
    EXPECT_EQ(s.sessions.size(), 2u);

    config.dailyBudget = 1'300;
    EXPECT_FALSE(snap(now).overBudget);
    config.dailyBudget = 1'299;
    EXPECT_TRUE(snap(now).overBudget);
}

TEST_F(UtcSnapshot, rowsForSessionsWithTokensTodaySortedKeepingOrderOfEquals) {
    turn("yesterday", now - 86'400, 5'000);
    turn("output-only", now - 60, 0, 9'000);
    turn("small", now - 60, 10);
    turn("tie-1", now - 60, 500);
    turn("big", now - 60, 900);
    turn("tie-2", now - 60, 500);
    Snapshot s = snap(now);
    // The scanner keeps sessions in the order first met; equal rows keep it.
    EXPECT_EQ(sessionIds(s), (std::vector<std::string>{"big", "tie-1", "tie-2", "small"}));
    EXPECT_EQ(s.week[5].tokens, 5'000);
}

TEST_F(UtcSnapshot, sessionReportFields) {
    SessionAgg& s = turn("0123456789abcdef", now - 7'200, 40'000);  // start-up context
    turn("0123456789abcdef", now - 3'600, 100'000, 0, true);
    turn("0123456789abcdef", now - 30, 220'000, 2'000);
    turn("0123456789abcdef", now - 86'400 * 2, 7);  // another day
    s.cwd = "/home/u/work/quillon/";
    scanner().mark(s, "text", now - 20);

    const std::string advice = "Compact now: it carries 180K of history on top of a 40K start, so each turn "
                               "costs about 5.5x a fresh one.";
    EXPECT_EQ(snap(now).sessions, (std::vector<SessionReport>{{"0123456789abcdef", "Claude Code", "01234567",
                                                               "quillon", 360'000, 3, s.days.at("2026-03-10").usd,
                                                               220'000, 40'000, 100'000.0 / 360'000.0, now - 30,
                                                               {advice}, "Working", 0}}));

    // The project of the root, of a relative folder and of none.
    for (const char* cwd : {"/", "relative", ""}) {
        s.cwd = cwd;
        EXPECT_EQ(snap(now).sessions[0].project, cwd);
    }
    s.title = "Named";
    Snapshot later = snap(now + 600);
    EXPECT_EQ(later.sessions[0].name, "Named");
    EXPECT_EQ(later.sessions[0].state, "Finished 10 min ago");
    EXPECT_EQ(later.sessions[0].stateLevel, 1);
}

TEST_F(UtcSnapshot, waitingNudge) {
    const Instant asked = now - 600;  // exactly waitMinutes
    SessionAgg& s = turn("sess-1", asked - 5, 1'000);
    s.title = "Fix the build";
    s.cwd = "/home/u/quillon";
    scanner().mark(s, "tool", asked + 0.75, "Bash");

    Snapshot at = snap(now + 0.75);
    const Nudge expected{
        "wait:sess-1:" + std::to_string(static_cast<std::int64_t>(asked)), "Waiting on you: Fix the build",
        "Claude Code \u00b7 quillon has had a Bash call pending for 10 min. It may need your approval."};
    EXPECT_EQ(at.nudges, std::vector<Nudge>{expected});
    EXPECT_EQ(at.sessions[0].state, "Waiting on Bash for 10 min (may need your approval)");
    // The id holds while the same call waits.
    EXPECT_EQ(snap(now + 1'800).nudges.at(0).id, expected.id);

    // Just short of the wait, or six hours and more: no nudge, though the state says waiting.
    for (Instant t : {now - 1, asked + 0.75 + 21'600}) {
        Snapshot s2 = snap(t);
        EXPECT_TRUE(s2.nudges.empty()) << t;
        EXPECT_EQ(s2.sessions[0].stateLevel, 2) << t;
    }
    EXPECT_EQ(snap(asked + 0.75 + 21'599).nudges.size(), 1u);
    config.notifyWaiting = false;
    EXPECT_TRUE(snap(now + 1'800).nudges.empty());

    // Without a project or a tool name.
    SessionAgg& codex = turn("codex:abc", now - 4'000, 1'000, 0, false, "Codex");
    scanner().mark(codex, "tool", now - 3'900);
    config.notifyWaiting = true;
    EXPECT_EQ(snap(now).nudges.back(),
              (Nudge{"wait:codex:abc:" + std::to_string(static_cast<std::int64_t>(now - 3'900)), "Waiting on you: codex:ab",
                     "Codex has had a tool call pending for 65 min. It may need your approval."}));
}

TEST_F(UtcSnapshot, limitNudgesComeBeforeWaitingOnes) {
    home.write(".quillon/claude-limits.json",
               format(R"({"at":%.0f,"five_hour":{"used_percentage":100,"resets_at":%.0f}})", now, now + 3'600));
    scanner().mark(turn("w1", now - 1'000, 10), "tool", now - 900, "Edit");
    scanner().mark(turn("w2", now - 1'000, 20), "tool", now - 900, "Bash");
    Snapshot s = snap(now);
    ASSERT_EQ(s.limits.size(), 1u);
    ASSERT_EQ(s.nudges.size(), 3u);
    EXPECT_TRUE(s.nudges[0].id.starts_with("limit:Claude Code:5-hour:") && s.nudges[0].id.ends_with(":2"))
        << s.nudges[0].id;
    EXPECT_TRUE(s.nudges[1].id.starts_with("wait:w1:"));  // picked order, not row order
    EXPECT_TRUE(s.nudges[2].id.starts_with("wait:w2:"));
    EXPECT_EQ(s.sessions[0].id, "w2");
}

TEST_F(SnapshotTest, todayFollowsLocalMidnightInAZoneAheadOfUtc) {
    Zone zone("Asia/Tokyo");  // UTC+9: local midnight is 15:00 UTC
    const Instant midnight = local(2026, 3, 10, 0, 0);
    turn("s", midnight - 60, 100);  // 23:59 on the 9th
    turn("s", midnight + 60, 7);    // 00:01 on the 10th

    Snapshot before = snap(midnight - 30);
    EXPECT_EQ(before.today, (DayReport{"2026-03-09", 100, 1, 0, before.today.usd}));
    EXPECT_EQ(before.sessions.at(0).tokensToday, 100);

    Snapshot after = snap(midnight + 300);
    EXPECT_EQ(after.today, (DayReport{"2026-03-10", 7, 1, 0, after.today.usd}));
    EXPECT_EQ(after.sessions.at(0).tokensToday, 7);
    expectConsecutiveMonth(after, "2026-03-10");
    EXPECT_EQ(after.month[28].tokens, 100);
}

// Around a daylight-saving change a day is 23 or 25 hours long; stepping back whole multiples of
// 86,400 seconds would then repeat or skip a day. The month must still hold 30 distinct dates.
TEST_F(SnapshotTest, monthHoldsThirtyCalendarDaysAcrossChangesMonthEndsAndLeapDays) {
    Zone zone("Europe/Berlin");
    struct Case {
        Instant now;
        const char* today;
        const char* yesterday;
    } cases[] = {
        // Late on the 25-hour day of the autumn change: now - 86,400 s is still the same date.
        {local(2025, 10, 26, 23, 30), "2025-10-26", "2025-10-25"},
        // Just after midnight following the 23-hour spring day: now - 86,400 s is two dates back.
        {local(2025, 3, 31, 0, 30), "2025-03-31", "2025-03-30"},
        // Months that hold a change somewhere inside, and a leap day.
        {local(2025, 11, 10, 23, 45), "2025-11-10", "2025-11-09"},
        {local(2025, 4, 15, 0, 15), "2025-04-15", "2025-04-14"},
        {local(2028, 3, 1, 0, 10), "2028-03-01", "2028-02-29"},
    };
    turn("s", local(2025, 3, 30, 12, 0), 55);
    turn("s", local(2025, 10, 26, 2, 30), 66);  // in the repeated hour
    for (const Case& c : cases) {
        SCOPED_TRACE(c.today);
        Snapshot s = snap(c.now);
        EXPECT_EQ(s.today.day, c.today);
        expectConsecutiveMonth(s, c.today);
        EXPECT_EQ(s.month[28].day, c.yesterday);
    }
    // The first two cases are the ones where plain stepping goes wrong.
    EXPECT_EQ(dayKey(cases[0].now - 86'400), "2025-10-26");
    EXPECT_EQ(dayKey(cases[1].now - 86'400), "2025-03-29");
    EXPECT_EQ(snap(cases[1].now).month[28].tokens, 55);
    EXPECT_EQ(snap(cases[0].now).today.tokens, 66);
}

} // namespace
} // namespace quillon
