#include "limits/limits.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <optional>

#include "scanner/log_scanner.h"
#include "settings/format.h"
#include "../report/report_support.h"
#include "test_home.h"

namespace quillon {
namespace {

using testing::HomeTest;
using testing::local;
using testing::TempHome;
using testing::Zone;

constexpr double kFive = 18'000;  // a 5-hour window in seconds

// A 5-hour reading whose window began `elapsed` seconds before now.
LimitReading fiveHour(double used, Instant now, double elapsed) {
    return LimitReading{used, now - elapsed + kFive, 300};
}

TEST(SpanText, switchesUnitsOnWholeMinutes) {
    EXPECT_EQ(Limits::spanText(0), "1 min");
    EXPECT_EQ(Limits::spanText(59), "1 min");
    EXPECT_EQ(Limits::spanText(119), "1 min");
    EXPECT_EQ(Limits::spanText(120), "2 min");
    EXPECT_EQ(Limits::spanText(5'399), "89 min");
    EXPECT_EQ(Limits::spanText(5'400), "1.5 hours");
    EXPECT_EQ(Limits::spanText(2'879 * 60 + 59), "48.0 hours");
    EXPECT_EQ(Limits::spanText(172'800), "2.0 days");
    EXPECT_EQ(Limits::spanText(10 * 86'400 + 3'600), "10.0 days");
}

TEST(SpanText, neverWritesANegativeOrBrokenDuration) {
    EXPECT_EQ(Limits::spanText(-7'200), "1 min");
    EXPECT_EQ(Limits::spanText(std::nan("")), "1 min");
    EXPECT_EQ(Limits::spanText(-std::numeric_limits<double>::infinity()), "1 min");
    std::string huge = Limits::spanText(1e300);
    EXPECT_TRUE(huge.ends_with(" days")) << huge;
    EXPECT_EQ(huge.find('-'), std::string::npos) << huge;
}

TEST(TimeText, usesTwelveHourClockAndWeekdayOnOtherDays) {
    Zone zone("UTC");
    const Instant now = local(2026, 3, 10, 12, 0);  // a Tuesday
    EXPECT_EQ(Limits::timeText(local(2026, 3, 10, 15, 5), now), "3:05 PM");
    EXPECT_EQ(Limits::timeText(local(2026, 3, 10, 0, 0), now), "12:00 AM");
    EXPECT_EQ(Limits::timeText(local(2026, 3, 10, 12, 59), now), "12:59 PM");
    EXPECT_EQ(Limits::timeText(local(2026, 3, 10, 23, 59, 59), now), "11:59 PM");
    EXPECT_EQ(Limits::timeText(local(2026, 3, 11, 9, 7), now), "Wed 9:07 AM");
    EXPECT_EQ(Limits::timeText(local(2026, 3, 9, 21, 30), now), "Mon 9:30 PM");
    EXPECT_EQ(Limits::timeText(std::nan(""), now), "");
}

TEST(TimeText, comparesLocalDaysNotUtcDays) {
    Zone zone("America/New_York");
    const Instant now = local(2026, 1, 15, 23, 30);       // Thursday, 04:30 UTC Friday
    const Instant later = local(2026, 1, 15, 23, 50);     // same local day, same UTC day
    const Instant nextDay = local(2026, 1, 16, 0, 30);    // next local day, same UTC day
    EXPECT_EQ(Limits::timeText(later, now), "11:50 PM");
    EXPECT_EQ(Limits::timeText(nextDay, now), "Fri 12:30 AM");

    const Instant morning = local(2026, 1, 15, 8, 0);     // same local day, previous UTC day
    EXPECT_EQ(Limits::timeText(morning, now), "8:00 AM");
}

// A locale without AM/PM words (German) still gets a marker; the weekday follows the locale.
TEST(TimeText, fallsBackToAmPmWhenTheLocaleHasNone) {
    TempHome scratch;
    const std::string dir = scratch.path() + "/locales";
    std::filesystem::create_directories(dir);
    // Only the time category is needed; -c accepts the missing others (exit status 1).
    scratch.write("time.def", "LC_TIME\ncopy \"de_DE\"\nEND LC_TIME\n");
    const std::string cmd = "localedef -c -f UTF-8 -i '" + scratch.path() + "/time.def' '" + dir +
                            "/de_DE.UTF-8' >/dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    if (rc == -1 || !WIFEXITED(rc) || WEXITSTATUS(rc) > 1) GTEST_SKIP() << "localedef cannot build de_DE here";
    ::setenv("LOCPATH", dir.c_str(), 1);
    const char* set = std::setlocale(LC_TIME, "de_DE.UTF-8");
    if (!set) {
        ::unsetenv("LOCPATH");
        GTEST_SKIP() << "de_DE.UTF-8 could not be loaded";
    }
    Zone zone("UTC");
    const Instant now = local(2026, 3, 10, 12, 0);
    std::string same = Limits::timeText(local(2026, 3, 10, 15, 5), now);
    std::string other = Limits::timeText(local(2026, 3, 11, 9, 7), now);
    std::setlocale(LC_TIME, "C");
    ::unsetenv("LOCPATH");
    EXPECT_EQ(same, "3:05 PM");
    EXPECT_EQ(other, "Mi 9:07 AM");
}

TEST(Forecast, workedExamplesOfAFiveHourWindow) {
    Zone zone("UTC");
    const Instant now = local(2026, 3, 10, 12, 0);

    auto onPace = Limits::forecast(fiveHour(40, now, 9'000), 80, now);
    EXPECT_EQ(onPace.text, "On pace to finish this window at about 80%.");
    EXPECT_EQ(onPace.level, 0);

    // 30% after an hour: runs out 12,000 s into the window, 6,000 s before the reset.
    auto runOut = Limits::forecast(fiveHour(30, now, 3'600), 80, now);
    EXPECT_EQ(runOut.text, "At this pace you run out at 2:20 PM, 1.7 hours before it resets.");
    EXPECT_EQ(runOut.level, 1);
}

TEST(Forecast, onPaceWarnsOnlyFromTheWarningPercent) {
    const Instant now = 1'800'000'000;
    auto below = Limits::forecast(fiveHour(79.9, now, 17'000), 80, now);
    EXPECT_EQ(below.text, "On pace to finish this window at about 85%.");
    EXPECT_EQ(below.level, 0);
    auto at = Limits::forecast(fiveHour(80, now, 17'000), 80, now);
    EXPECT_EQ(at.text, "On pace to finish this window at about 85%.");
    EXPECT_EQ(at.level, 1);
}

TEST(Forecast, reachedBarelyUsedAndTooEarly) {
    Zone zone("UTC");
    const Instant now = local(2026, 3, 10, 12, 0);
    for (double elapsed : {0.0, 600.0, 17'000.0}) {
        auto reached = Limits::forecast(fiveHour(100, now, elapsed), 80, now);
        EXPECT_EQ(reached.text, "Limit reached. It resets " + Limits::timeText(now - elapsed + kFive, now) + ".");
        EXPECT_EQ(reached.level, 2);
    }
    EXPECT_EQ(Limits::forecast(fiveHour(100, now, 3'600), 80, now).text, "Limit reached. It resets 4:00 PM.");

    auto barely = Limits::forecast(fiveHour(0.9, now, 17'000), 80, now);
    EXPECT_EQ(barely.text, "Barely used so far.");
    EXPECT_EQ(barely.level, 0);

    // Ten minutes in: 5% is too early to say, 15% is not.
    EXPECT_EQ(Limits::forecast(fiveHour(5, now, 600), 80, now).text, "Too early in this window to forecast.");
    auto fifteen = Limits::forecast(fiveHour(15, now, 600), 80, now);
    EXPECT_EQ(fifteen.text, "At this pace you run out at 12:56 PM, 3.9 hours before it resets.");
    EXPECT_EQ(fifteen.level, 1);

    // The early span is 8% of the window: 1,440 s of five hours.
    EXPECT_EQ(Limits::forecast(fiveHour(5, now, 1'439), 80, now).text, "Too early in this window to forecast.");
    EXPECT_NE(Limits::forecast(fiveHour(5, now, 1'440), 80, now).text, "Too early in this window to forecast.");
}

TEST(Forecast, weeklyWindowHasItsOwnEarlySpan) {
    const Instant now = 1'800'000'000;
    const double week = 10'080 * 60.0;
    LimitReading r{5, now - 13 * 3'600 + week, 10'080};
    EXPECT_EQ(Limits::forecast(r, 80, now).text, "Too early in this window to forecast.");
    r.resetsAt = now - 14 * 3'600 + week;
    EXPECT_NE(Limits::forecast(r, 80, now).text, "Too early in this window to forecast.");
}

TEST(Forecast, neverNamesATimeBeforeNowOrANegativeSpan) {
    Zone zone("UTC");
    const Instant now = local(2026, 3, 10, 12, 0);

    // A reading whose reset has passed: the reset time is not named.
    auto stale = Limits::forecast(fiveHour(100, now, 20'000), 80, now);
    EXPECT_EQ(stale.text, "Limit reached.");
    EXPECT_EQ(stale.level, 2);

    // A finished window projects what it used, never less.
    EXPECT_EQ(Limits::forecast(fiveHour(40, now, 36'000), 80, now).text,
              "On pace to finish this window at about 40%.");

    // Ten seconds into the window counts as one minute; the run-out lies after now.
    EXPECT_EQ(Limits::forecast(fiveHour(50, now, 10), 80, now).text,
              "At this pace you run out at 12:01 PM, 5.0 hours before it resets.");

    // Broken numbers give a plain sentence, not a time.
    LimitReading nan{50, std::nan(""), 300};
    auto broken = Limits::forecast(nan, 80, now);
    EXPECT_EQ(broken.text.find("run out at"), std::string::npos) << broken.text;

    // Across uses and window positions: no minus sign, no "nan"/"inf", a known sentence.
    for (double used : {1.0, 9.9, 10.0, 33.3, 50.0, 99.0, 99.999, 100.0, 250.0}) {
        for (double elapsed : {-30'000.0, -10.0, 0.0, 30.0, 59.0, 61.0, 1'440.0, 9'000.0, 17'999.0, 18'000.0,
                               18'001.0, 90'000.0}) {
            for (std::int64_t minutes : {std::int64_t{0}, std::int64_t{300}, std::int64_t{10'080}}) {
                LimitReading r{used, now - elapsed + static_cast<double>(minutes) * 60, minutes};
                auto f = Limits::forecast(r, 80, now);
                SCOPED_TRACE(f.text);
                EXPECT_EQ(f.text.find('-'), std::string::npos);
                EXPECT_EQ(f.text.find("nan"), std::string::npos);
                EXPECT_EQ(f.text.find("inf"), std::string::npos);
                EXPECT_TRUE(f.text.starts_with("Limit reached.") || f.text.starts_with("Barely used") ||
                            f.text.starts_with("Too early") || f.text.starts_with("At this pace you ") ||
                            f.text.starts_with("On pace to finish"));
                EXPECT_GE(f.level, 0);
                EXPECT_LE(f.level, 2);
                if (f.text.starts_with("On pace to finish")) {
                    double p = std::atof(f.text.c_str() + std::string("On pace to finish this window at about ").size());
                    EXPECT_GE(p + 0.5, std::floor(used)) << "projection below what is already used";
                }
            }
        }
    }
}

class ClaudeFile : public HomeTest {
  protected:
    void put(const std::string& content) { home.write(".quillon/claude-limits.json", content); }
};

TEST_F(ClaudeFile, readsBothWindows) {
    EXPECT_EQ(Limits::claudeFile(), home.path() + "/.quillon/claude-limits.json");
    put(R"({"at":1800000000.5,"five_hour":{"used_percentage":12.5,"resets_at":1800003600,"x":1},)"
        R"("seven_day":{"used_percentage":40,"resets_at":1800300000}})");
    auto r = Limits::claude();
    ASSERT_TRUE(r);
    EXPECT_DOUBLE_EQ(r->at, 1'800'000'000.5);
    ASSERT_TRUE(r->five);
    EXPECT_EQ(*r->five, (LimitReading{12.5, 1'800'003'600, 300}));
    ASSERT_TRUE(r->week);
    EXPECT_EQ(*r->week, (LimitReading{40, 1'800'300'000, 10'080}));
}

TEST_F(ClaudeFile, unusableFilesGiveNothing) {
    EXPECT_FALSE(Limits::claude()) << "missing";
    for (const char* bad : {"", "{", R"({"at":1800000000,"five_hour":{"used_perc)", "not json", "[1,2]",
                            R"([{"at":1800000000}])", R"({"at":"1800000000"})", R"({"at":null})",
                            R"({"five_hour":{"used_percentage":1,"resets_at":1800003600}})", "17", "\"text\"",
                            R"({"at":1e999})"}) {
        put(bad);
        EXPECT_FALSE(Limits::claude()) << bad;
    }
    // A folder where the file should be.
    std::filesystem::remove(Limits::claudeFile());
    std::filesystem::create_directories(Limits::claudeFile());
    EXPECT_FALSE(Limits::claude());
}

TEST_F(ClaudeFile, windowsThatCannotBeReadAreAbsent) {
    put(R"({"at":1800000000,"five_hour":[12,1800003600],"seven_day":"full"})");
    auto r = Limits::claude();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->five);
    EXPECT_FALSE(r->week);

    put(R"({"at":1800000000,"five_hour":{"used_percentage":12},)"
        R"("seven_day":{"used_percentage":"40","resets_at":1800300000}})");
    r = Limits::claude();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->five);
    EXPECT_FALSE(r->week);

    put(R"({"at":1800000000,"seven_day":{"used_percentage":40,"resets_at":1800300000}})");
    r = Limits::claude();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->five);
    EXPECT_TRUE(r->week);
}

class LimitRows : public HomeTest {
  protected:
    LimitRows() : scanner(Config{}, home.path() + "/claude", home.path() + "/codex") {}

    void putClaude(const std::string& content) { home.write(".quillon/claude-limits.json", content); }
    void putClaude(double fiveUsed, double fiveReset, double weekUsed, double weekReset, double at) {
        putClaude(format(R"({"at":%.3f,"five_hour":{"used_percentage":%.17g,"resets_at":%.17g},)"
                         R"("seven_day":{"used_percentage":%.17g,"resets_at":%.17g}})",
                         at, fiveUsed, fiveReset, weekUsed, weekReset));
    }
    // Context tokens for a session in the hour holding `when`.
    void spend(const std::string& key, const std::string& tool, std::int64_t tokens, Instant when,
               const std::string& title = "") {
        SessionAgg& s = scanner.session(key);
        s.tool = tool;
        if (!title.empty()) s.title = title;
        Usage u;
        u.input = tokens;
        scanner.add(s, u, tool == "Codex" ? "gpt-5" : "claude-sonnet-4", when, false);
    }

    Zone zone{"UTC"};
    LogScanner scanner;
    Config config;
    const Instant now = local(2026, 3, 10, 12, 0);
};

TEST_F(LimitRows, rowsInFixedOrderWithTheirFields) {
    putClaude(30, now + 14'400, 10, now + 3 * 86'400, now - 120);
    scanner.recordCodexLimits(CodexLimits{LimitReading{55, now + 7'200, 300},
                                          LimitReading{20, now + 86'400, 10'080}, now - 600});
    auto rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].tool, "Claude Code");
    EXPECT_EQ(rows[0].label, "5-hour");
    EXPECT_EQ(rows[1].tool, "Claude Code");
    EXPECT_EQ(rows[1].label, "Weekly");
    EXPECT_EQ(rows[2].tool, "Codex");
    EXPECT_EQ(rows[2].label, "5-hour");
    EXPECT_EQ(rows[3].tool, "Codex");
    EXPECT_EQ(rows[3].label, "Weekly");

    const LimitView& five = rows[0];
    EXPECT_EQ(five.id, "Claude Code:5-hour:" + std::to_string(static_cast<std::int64_t>(now + 14'400)));
    EXPECT_EQ(five.usedPercent, 30);
    EXPECT_EQ(five.resetsAt, now + 14'400);
    EXPECT_EQ(five.resetText, "resets 4:00 PM");
    EXPECT_EQ(five.forecast, "At this pace you run out at 2:20 PM, 1.7 hours before it resets.");
    EXPECT_EQ(five.level, 1);
    EXPECT_FALSE(five.top);
    EXPECT_EQ(five.asOf, now - 120);

    EXPECT_EQ(rows[1].resetText, "resets Fri 12:00 PM");  // another day shows the weekday
    EXPECT_EQ(rows[3].asOf, now - 600);
    EXPECT_EQ(rows[3].id, "Codex:Weekly:" + std::to_string(static_cast<std::int64_t>(now + 86'400)));
}

TEST_F(LimitRows, watchSwitchesAndMissingReadings) {
    putClaude(30, now + 14'400, 10, now + 3 * 86'400, now);
    scanner.recordCodexLimits(CodexLimits{LimitReading{55, now + 7'200, 300}, std::nullopt, now});
    config.watchClaude = false;
    auto rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].tool, "Codex");

    config.watchClaude = true;
    config.watchCodex = false;
    rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].tool, "Claude Code");

    putClaude(R"({"at":1,"seven_day":{"used_percentage":10,"resets_at":)" + std::to_string(now + 86'400) + "}}");
    rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].label, "Weekly");

    putClaude(R"({"seven_day":{"used_percentage":10,"resets_at":)" + std::to_string(now + 86'400) + "}}");
    EXPECT_TRUE(Limits::views(scanner, config, now).empty());
}

TEST_F(LimitRows, staleOrUnwindowedReadingsGiveNoRow) {
    // Reset exactly now or earlier: stale.
    putClaude(30, now, 10, now - 1, now - 60);
    EXPECT_TRUE(Limits::views(scanner, config, now).empty());

    // Codex without a window length gives no row; labels follow the key, not the length.
    config.watchClaude = false;
    scanner.recordCodexLimits(CodexLimits{LimitReading{10, now + 600'000, 10'080},
                                          LimitReading{10, now + 3'600, 0}, now});
    auto rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].label, "5-hour");
}

TEST_F(LimitRows, outOfRangeNumbersGiveNoRowOrASensibleOne) {
    const double soon = now + 3'600;
    const double big = 1e300;
    struct Case {
        double used, reset;
        bool row;
    } cases[] = {
        {-5, soon, false},  {-0.0001, soon, false}, {150, soon, true},   {big, soon, true},
        {30, now - 5, false}, {30, big, false},     {30, -big, false},   {30, now + 5 * 3'600 * 3, false},
        {0, soon, true},    {100, soon, true},
    };
    for (const Case& c : cases) {
        putClaude(format(R"({"at":%.3f,"five_hour":{"used_percentage":%.17g,"resets_at":%.17g}})", now, c.used,
                         c.reset));
        auto rows = Limits::views(scanner, config, now);
        SCOPED_TRACE(std::to_string(c.used) + " / " + std::to_string(c.reset));
        ASSERT_EQ(rows.size(), c.row ? 1u : 0u);
        if (!c.row) continue;
        const LimitView& v = rows[0];
        EXPECT_GE(v.usedPercent, 0);
        EXPECT_LE(v.usedPercent, 100);
        EXPECT_GT(v.resetsAt, now);
        EXPECT_EQ(v.forecast.find('-'), std::string::npos) << v.forecast;
        EXPECT_EQ(v.resetText, "resets 1:00 PM");
        if (c.used >= 100) {
            EXPECT_EQ(v.forecast, "Limit reached. It resets 1:00 PM.");
            EXPECT_EQ(v.level, 2);
            auto n = Limits::nudges(rows);
            ASSERT_EQ(n.size(), 1u);
            EXPECT_EQ(n[0].title, "Claude Code 5-hour limit: 100% used");
        }
    }
}

TEST_F(LimitRows, topSessionFromTheWindowsHours) {
    const Instant start = now + 3'600 - kFive;  // window began at 8:00
    putClaude(R"({"at":1,"five_hour":{"used_percentage":30,"resets_at":)" + std::to_string(now + 3'600) + "}}");

    // Exactly a quarter of the window's tokens.
    spend("a", "Claude Code", 100, start + 60, "Alpha");
    spend("b", "Claude Code", 100, start + 3'700);
    spend("c", "Claude Code", 100, start + 7'300);
    spend("d", "Claude Code", 100, start + 10'900);
    spend("old", "Claude Code", 1'000'000, start - 3'601);  // an hour before the window
    spend("x", "Codex", 5'000, start + 60);                 // another tool
    auto rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].top);
    EXPECT_EQ(*rows[0].top, "Alpha used about 25% of the tokens in this window.");

    // 24.9%: 249 of 1,000.
    scanner.session("a").hours.clear();
    scanner.session("b").hours.clear();
    scanner.session("c").hours.clear();
    scanner.session("d").hours.clear();
    spend("a", "Claude Code", 249, start + 60);
    spend("b", "Claude Code", 249, start + 3'700);
    spend("c", "Claude Code", 249, start + 7'300);
    spend("d", "Claude Code", 249, start + 10'900);
    spend("e", "Claude Code", 4, start + 10'900);
    rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].top, std::nullopt);
}

TEST_F(LimitRows, topSessionCountsTheStartHourWholeAndBreaksTiesByOrder) {
    const Instant start = now + 1'800 - kFive;  // 7:30, in the middle of an hour
    putClaude(R"({"at":1,"five_hour":{"used_percentage":30,"resets_at":)" + std::to_string(now + 1'800) + "}}");
    spend("first", "Claude Code", 500, start - 1'200, "First");  // 7:10, same hour as the start
    spend("second", "Claude Code", 500, start + 3'600, "Second");
    auto rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].top);
    EXPECT_EQ(*rows[0].top, "First used about 50% of the tokens in this window.");
}

TEST_F(LimitRows, noTopWithoutTokensInTheWindow) {
    putClaude(R"({"at":1,"five_hour":{"used_percentage":30,"resets_at":)" + std::to_string(now + 3'600) + "}}");
    spend("old", "Claude Code", 1'000, now - 86'400);
    spend("codex", "Codex", 1'000, now - 60);
    auto rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FALSE(rows[0].top);
}

TEST_F(LimitRows, nudgesOncePerLevelOfAWindow) {
    const Instant reset = now + 3'600;
    putClaude(R"({"at":1,"five_hour":{"used_percentage":85.9,"resets_at":)" + std::to_string(reset) + "}}");
    spend("s", "Claude Code", 100, now - 60, "Refactor");
    auto rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].level, 1);
    auto warn = Limits::nudges(rows);
    ASSERT_EQ(warn.size(), 1u);
    const std::string window = "limit:Claude Code:5-hour:" + std::to_string(static_cast<std::int64_t>(reset));
    EXPECT_EQ(warn[0].id, window + ":1");
    EXPECT_EQ(warn[0].title, "Claude Code 5-hour limit: 85% used");
    EXPECT_EQ(warn[0].detail, rows[0].forecast + " Refactor used about 100% of the tokens in this window.");

    putClaude(R"({"at":2,"five_hour":{"used_percentage":100,"resets_at":)" + std::to_string(reset) + "}}");
    auto reached = Limits::nudges(Limits::views(scanner, config, now));
    ASSERT_EQ(reached.size(), 1u);
    EXPECT_EQ(reached[0].id, window + ":2");
    EXPECT_EQ(reached[0].detail,
              "Limit reached. It resets 1:00 PM. Refactor used about 100% of the tokens in this window.");
}

TEST(LimitNudges, onlyWarningRowsInOrderAndWeeklyInLowerCase) {
    LimitView calm{"Codex:5-hour:1", "Codex", "5-hour", 10, 1, "resets", "Barely used so far.", std::nullopt, 0, 0};
    LimitView weekly{"Codex:Weekly:2", "Codex", "Weekly", 92.7, 2, "resets", "On pace.", std::nullopt, 0, 1};
    auto n = Limits::nudges({calm, weekly});
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0], (Nudge{"limit:Codex:Weekly:2:1", "Codex weekly limit: 92% used", "On pace."}));
}

} // namespace
} // namespace quillon
