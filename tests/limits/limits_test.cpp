#include "limits/limits.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "../report/report_support.h"
#include "scanner/log_scanner.h"
#include "settings/format.h"
#include "test_home.h"

namespace quillon {
namespace {

using testing::HomeTest;
using testing::local;
using testing::TempHome;
using testing::Zone;

constexpr double kFive = 18'000;  // a 5-hour window in seconds

TEST(SpanText, switchesUnitsOnWholeMinutesAndNeverGoesNegative) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> cases[] = {
        {0, "1 min"},           {59, "1 min"},        {119, "1 min"},          {120, "2 min"},
        {5'399, "89 min"},      {5'400, "1.5 hours"}, {2'879 * 60 + 59, "48.0 hours"},
        {172'800, "2.0 days"},  {-7'200, "1 min"},    {std::nan(""), "1 min"}, {-inf, "1 min"},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(Limits::spanText(seconds), text) << seconds;
    std::string huge = Limits::spanText(1e300);
    EXPECT_TRUE(huge.ends_with(" days")) << huge;
    EXPECT_EQ(huge.find('-'), std::string::npos) << huge;
}

TEST(TimeText, twelveHourClockWithTheWeekdayOnOtherLocalDays) {
    {
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
    // Local days, not UTC days: now is Thursday 23:30 in New York, 04:30 UTC Friday.
    Zone zone("America/New_York");
    const Instant now = local(2026, 1, 15, 23, 30);
    EXPECT_EQ(Limits::timeText(local(2026, 1, 15, 23, 50), now), "11:50 PM");
    EXPECT_EQ(Limits::timeText(local(2026, 1, 16, 0, 30), now), "Fri 12:30 AM");  // same UTC day
    EXPECT_EQ(Limits::timeText(local(2026, 1, 15, 8, 0), now), "8:00 AM");        // previous UTC day
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
    if (!std::setlocale(LC_TIME, "de_DE.UTF-8")) {
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

TEST(Forecast, everyCaseOfAWindow) {
    Zone zone("UTC");
    const Instant now = local(2026, 3, 10, 12, 0);
    const char* early = "Too early in this window to forecast.";
    struct Case {
        double used, elapsed;
        std::int64_t minutes;
        const char* text;
        std::int64_t level;
    } cases[] = {
        // The worked examples: 40% halfway, and 30% after an hour (runs out 12,000 s in, 6,000 s early).
        {40, 9'000, 300, "On pace to finish this window at about 80%.", 0},
        {30, 3'600, 300, "At this pace you run out at 2:20 PM, 1.7 hours before it resets.", 1},
        // On pace warns only from the warning percent.
        {79.9, 17'000, 300, "On pace to finish this window at about 85%.", 0},
        {80, 17'000, 300, "On pace to finish this window at about 85%.", 1},
        {100, 0, 300, "Limit reached. It resets 5:00 PM.", 2},
        {100, 3'600, 300, "Limit reached. It resets 4:00 PM.", 2},
        {100, 17'000, 300, "Limit reached. It resets 12:16 PM.", 2},
        {0.9, 17'000, 300, "Barely used so far.", 0},
        // The early span is 8% of the window (1,440 s of five hours), unless 10% is used already.
        {5, 600, 300, early, 0},
        {15, 600, 300, "At this pace you run out at 12:56 PM, 3.9 hours before it resets.", 1},
        {5, 1'439, 300, early, 0},
        {5, 1'440, 300, "On pace to finish this window at about 62%.", 0},
        {5, 13 * 3'600, 10'080, early, 0},
        {5, 14 * 3'600, 10'080, "On pace to finish this window at about 60%.", 0},
        // Never a time before now: a passed reset is not named, a finished window projects
        // what it used, and ten seconds in count as a minute so the run-out lies ahead.
        {100, 20'000, 300, "Limit reached.", 2},
        {40, 36'000, 300, "On pace to finish this window at about 40%.", 0},
        {50, 10, 300, "At this pace you run out at 12:01 PM, 5.0 hours before it resets.", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.used) + "% after " + std::to_string(c.elapsed) + " s");
        LimitReading r{c.used, now - c.elapsed + static_cast<double>(c.minutes) * 60, c.minutes};
        auto f = Limits::forecast(r, 80, now);
        EXPECT_EQ(f.text, c.text);
        EXPECT_EQ(f.level, c.level);
    }
}

TEST(Forecast, neverNamesATimeBeforeNowOrABrokenNumber) {
    Zone zone("UTC");
    const Instant now = local(2026, 3, 10, 12, 0);
    auto broken = Limits::forecast(LimitReading{50, std::nan(""), 300}, 80, now);
    EXPECT_EQ(broken.text.find("run out at"), std::string::npos) << broken.text;

    // Across uses and window positions: no minus sign, no "nan"/"inf", a known sentence.
    for (double used : {1.0, 9.9, 10.0, 33.3, 50.0, 99.0, 99.999, 100.0, 250.0}) {
        for (double elapsed : {-30'000.0, -10.0, 0.0, 30.0, 59.0, 61.0, 1'440.0, 9'000.0, 17'999.0, 18'000.0,
                               18'001.0, 90'000.0}) {
            for (std::int64_t minutes : {std::int64_t{0}, std::int64_t{300}, std::int64_t{10'080}}) {
                LimitReading r{used, now - elapsed + static_cast<double>(minutes) * 60, minutes};
                auto f = Limits::forecast(r, 80, now);
                SCOPED_TRACE(f.text);
                for (const char* absurd : {"-", "nan", "inf"}) EXPECT_EQ(f.text.find(absurd), std::string::npos);
                EXPECT_TRUE(f.text.starts_with("Limit reached.") || f.text.starts_with("Barely used") ||
                            f.text.starts_with("Too early") || f.text.starts_with("At this pace you ") ||
                            f.text.starts_with("On pace to finish"));
                EXPECT_GE(f.level, 0);
                EXPECT_LE(f.level, 2);
                if (f.text.starts_with("On pace to finish")) {
                    double p = std::atof(f.text.c_str() + f.text.find("about ") + 6);
                    EXPECT_GE(p + 0.5, std::floor(used)) << "projection below what is already used";
                }
            }
        }
    }
}

class LimitRows : public HomeTest {
  protected:
    LimitRows() : scanner(Config{}, home.path() + "/claude", home.path() + "/codex") {}

    void putClaude(const std::string& content) { home.write(".quillon/claude-limits.json", content); }
    // A reading of the 5-hour window only, or of both.
    void putFive(double used, double reset, double at = 1) {
        putClaude(format(R"({"at":%.3f,"five_hour":{"used_percentage":%.17g,"resets_at":%.17g}})", at, used, reset));
    }
    void putBoth(double fiveUsed, double fiveReset, double weekUsed, double weekReset, double at) {
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
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const auto& v : Limits::views(scanner, config, now)) out.push_back(v.tool + " " + v.label);
        return out;
    }

    Zone zone{"UTC"};
    LogScanner scanner;
    Config config;
    const Instant now = local(2026, 3, 10, 12, 0);
};

TEST_F(LimitRows, unusableLimitsFilesGiveNothingAndUnusableWindowsAreAbsent) {
    EXPECT_FALSE(Limits::claude()) << "missing";
    for (const char* bad : {"", R"({"at":1800000000,"five_hour":{"used_perc)", "not json", R"([{"at":1800000000}])",
                            R"({"at":"1800000000"})", R"({"five_hour":{"used_percentage":1,"resets_at":1800003600}})",
                            "\"text\"", R"({"at":1e999})"}) {
        putClaude(bad);
        EXPECT_FALSE(Limits::claude()) << bad;
    }
    putClaude(R"({"at":1800000000,"five_hour":[12,1800003600],"seven_day":"full"})");
    auto r = Limits::claude();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->five || r->week);
    putClaude(R"({"at":1800000000,"five_hour":{"used_percentage":12},)"
        R"("seven_day":{"used_percentage":"40","resets_at":1800300000}})");
    r = Limits::claude();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->five || r->week);

    // A folder where the file should be.
    std::filesystem::remove(Limits::claudeFile());
    std::filesystem::create_directories(Limits::claudeFile());
    EXPECT_FALSE(Limits::claude());
}

TEST_F(LimitRows, rowsInFixedOrderWithTheirFields) {
    putBoth(30, now + 14'400, 10, now + 3 * 86'400, now - 120);
    scanner.recordCodexLimits(CodexLimits{LimitReading{55, now + 7'200, 300},
                                          LimitReading{20, now + 86'400, 10'080}, now - 600});
    auto rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(names(), (std::vector<std::string>{"Claude Code 5-hour", "Claude Code Weekly", "Codex 5-hour",
                                                 "Codex Weekly"}));
    EXPECT_EQ(rows[0], (LimitView{"Claude Code:5-hour:" + std::to_string(static_cast<std::int64_t>(now + 14'400)),
                                  "Claude Code", "5-hour", 30, now + 14'400, "resets 4:00 PM",
                                  "At this pace you run out at 2:20 PM, 1.7 hours before it resets.",
                                  std::nullopt, now - 120, 1}));
    EXPECT_EQ(rows[1].resetText, "resets Fri 12:00 PM");  // another day shows the weekday
    EXPECT_EQ(rows[3].asOf, now - 600);
    EXPECT_EQ(rows[3].id, "Codex:Weekly:" + std::to_string(static_cast<std::int64_t>(now + 86'400)));
}

TEST_F(LimitRows, watchSwitchesAndMissingReadings) {
    putBoth(30, now + 14'400, 10, now + 3 * 86'400, now);
    // Codex without a window length gives no row; labels follow the key, not the length.
    scanner.recordCodexLimits(
        CodexLimits{LimitReading{55, now + 600'000, 10'080}, LimitReading{10, now + 3'600, 0}, now});
    config.watchClaude = false;
    EXPECT_EQ(names(), std::vector<std::string>{"Codex 5-hour"});
    config.watchClaude = true;
    config.watchCodex = false;
    EXPECT_EQ(names(), (std::vector<std::string>{"Claude Code 5-hour", "Claude Code Weekly"}));
    putClaude(R"({"at":1,"seven_day":{"used_percentage":10,"resets_at":)" + std::to_string(now + 86'400) + "}}");
    EXPECT_EQ(names(), std::vector<std::string>{"Claude Code Weekly"});
    putClaude(R"({"seven_day":{"used_percentage":10,"resets_at":)" + std::to_string(now + 86'400) + "}}");
    EXPECT_TRUE(names().empty());
}

TEST_F(LimitRows, staleOrOutOfRangeReadingsGiveNoRowOrASensibleOne) {
    const double soon = now + 3'600;
    const double big = 1e300;
    struct Case {
        double used, reset;
        bool row;
    } cases[] = {
        {-5, soon, false}, {-0.0001, soon, false}, {150, soon, true},  {big, soon, true},
        {30, now, false},  {30, now - 5, false},   {30, big, false},   {30, -big, false},
        {30, now + 5 * 3'600 * 3, false},          {0, soon, true},    {100, soon, true},
    };
    for (const Case& c : cases) {
        putFive(c.used, c.reset, now);
        auto rows = Limits::views(scanner, config, now);
        SCOPED_TRACE(std::to_string(c.used) + " / " + std::to_string(c.reset));
        ASSERT_EQ(rows.size(), c.row ? 1u : 0u);
        if (!c.row) continue;
        const LimitView& v = rows[0];
        EXPECT_GE(v.usedPercent, 0);
        EXPECT_LE(v.usedPercent, 100);
        EXPECT_EQ(v.resetText, "resets 1:00 PM");
        EXPECT_EQ(v.forecast.find('-'), std::string::npos) << v.forecast;
        if (c.used >= 100) {
            EXPECT_EQ(v.forecast, "Limit reached. It resets 1:00 PM.");
        }
    }
}

TEST_F(LimitRows, topSessionFromTheWindowsHoursFromAQuarterOfTheTokens) {
    const Instant start = now + 3'600 - kFive;  // window began at 8:00
    putFive(30, now + 3'600);
    spend("old", "Claude Code", 1'000'000, start - 3'601);  // an hour before the window
    spend("x", "Codex", 5'000, start + 60);                 // another tool
    EXPECT_EQ(Limits::views(scanner, config, now).at(0).top, std::nullopt) << "no tokens in the window";

    // Exactly a quarter of the window's tokens, then just below (100 of 402).
    spend("a", "Claude Code", 100, start + 60, "Alpha");
    spend("b", "Claude Code", 100, start + 3'700);
    spend("c", "Claude Code", 100, start + 7'300);
    spend("d", "Claude Code", 100, start + 10'900);
    EXPECT_EQ(Limits::views(scanner, config, now).at(0).top, "Alpha used about 25% of the tokens in this window.");
    spend("e", "Claude Code", 2, start + 10'900);
    EXPECT_EQ(Limits::views(scanner, config, now).at(0).top, std::nullopt);
}

TEST_F(LimitRows, topSessionCountsTheStartHourWholeAndBreaksTiesByOrder) {
    const Instant start = now + 1'800 - kFive;  // 7:30, in the middle of an hour
    putFive(30, now + 1'800);
    spend("first", "Claude Code", 500, start - 1'200, "First");  // 7:10, same hour as the start
    spend("second", "Claude Code", 500, start + 3'600, "Second");
    EXPECT_EQ(Limits::views(scanner, config, now).at(0).top, "First used about 50% of the tokens in this window.");
}

TEST_F(LimitRows, nudgesOncePerLevelOfAWindow) {
    const Instant reset = now + 3'600;
    putFive(85.9, reset);
    spend("s", "Claude Code", 100, now - 60, "Refactor");
    auto rows = Limits::views(scanner, config, now);
    ASSERT_EQ(rows.size(), 1u);
    const std::string window = "limit:Claude Code:5-hour:" + std::to_string(static_cast<std::int64_t>(reset));
    const std::string top = " Refactor used about 100% of the tokens in this window.";
    EXPECT_EQ(Limits::nudges(rows),
              (std::vector<Nudge>{{window + ":1", "Claude Code 5-hour limit: 85% used", rows[0].forecast + top}}));

    putFive(100, reset, 2);
    EXPECT_EQ(Limits::nudges(Limits::views(scanner, config, now)),
              (std::vector<Nudge>{{window + ":2", "Claude Code 5-hour limit: 100% used",
                                   "Limit reached. It resets 1:00 PM." + top}}));

    // Calm rows give none; the weekly label is written in lower case.
    LimitView calm{"Codex:5-hour:1", "Codex", "5-hour", 10, 1, "resets", "Barely used so far.", std::nullopt, 0, 0};
    LimitView weekly{"Codex:Weekly:2", "Codex", "Weekly", 92.7, 2, "resets", "On pace.", std::nullopt, 0, 1};
    EXPECT_EQ(Limits::nudges({calm, weekly}),
              (std::vector<Nudge>{{"limit:Codex:Weekly:2:1", "Codex weekly limit: 92% used", "On pace."}}));
}

} // namespace
} // namespace quillon
