#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scanner/timestamp.h"
#include "scanner/usage.h"
#include "settings/clock.h"
#include "settings/config.h"
#include "settings/format.h"
#include "test_home.h"

using namespace quillon;
using quillon::testing::HomeTest;
using quillon::testing::lines;
using quillon::testing::runQuillon;

namespace {

// A fixed-offset zone in which it is about noon now, so that "now minus an hour" is always
// today and the test never straddles local midnight.
std::string noonZone() {
    std::time_t t = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&t, &utc);
    int off = 12 - utc.tm_hour;  // local = utc + off
    return std::string("QLN") + (off >= 0 ? "-" : "+") + std::to_string(std::abs(off));
}

std::string iso(Instant t) {
    auto secs = static_cast<std::time_t>(std::floor(t));
    std::tm utc{};
    gmtime_r(&secs, &utc);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000Z", &utc);
    return buf;
}

std::string assistant(const std::string& session, Instant at, const std::string& id, const std::string& model,
                      long input, long cacheW, long cacheR, long output, const std::string& cwd,
                      const std::string& content = R"([{"type":"text","text":"done"}])") {
    return R"({"type":"assistant","sessionId":")" + session + R"(","timestamp":")" + iso(at) + R"(","cwd":")" +
           cwd + R"(","message":{"id":")" + id + R"(","model":")" + model +
           R"(","usage":{"input_tokens":)" + std::to_string(input) +
           R"(,"cache_creation_input_tokens":)" + std::to_string(cacheW) +
           R"(,"cache_read_input_tokens":)" + std::to_string(cacheR) + R"(,"output_tokens":)" +
           std::to_string(output) + R"(},"content":)" + content + "}}\n";
}

std::string userPrompt(const std::string& session, Instant at, const std::string& text) {
    return R"({"type":"user","sessionId":")" + session + R"(","timestamp":")" + iso(at) +
           R"(","message":{"role":"user","content":")" + text + "\"}}\n";
}

std::string failedResult(const std::string& session, Instant at, const std::string& text) {
    return R"({"type":"user","sessionId":")" + session + R"(","timestamp":")" + iso(at) +
           R"(","message":{"role":"user","content":[{"type":"tool_result","is_error":true,"content":")" + text +
           "\"}]}}\n";
}

std::size_t indexOf(const std::vector<std::string>& v, const std::string& s) {
    auto it = std::find(v.begin(), v.end(), s);
    return it == v.end() ? std::string::npos : static_cast<std::size_t>(it - v.begin());
}

class ReportTest : public HomeTest {
  protected:
    std::string zone = noonZone();
    Instant now = currentInstant();
    // The expected day keys are computed here, in the zone the report runs in.
    ReportTest() {
        setenv("TZ", zone.c_str(), 1);
        tzset();
    }

    quillon::testing::RunResult report(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--report"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runQuillon(args, "", {{"HOME", home.path()}, {"TZ", zone}, {"LC_ALL", "C"}});
    }
};

} // namespace

TEST_F(ReportTest, noLogsExitsWithThree) {
    auto r = report();
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "No Claude Code or Codex logs found.\n");
    auto j = report({"--json"});
    EXPECT_EQ(j.status, 3);
    EXPECT_EQ(nlohmann::json::parse(j.out)["error"], "No Claude Code or Codex logs found.");
}

TEST_F(ReportTest, printsEveryLineAsTheLogsImply) {
    const std::string cwd = home.path() + "/work/web-app";
    std::filesystem::create_directories(cwd);
    // A session that stopped on a failing hook 31 minutes ago, after two turns today.
    home.write(".claude/projects/-work-web-app/s-stop.jsonl",
               userPrompt("s-stop", now - 3600, "Fix flaky checkout test") +
                   assistant("s-stop", now - 3000, "m1", "claude-sonnet-4-5", 1000, 20000, 30000, 500, cwd) +
                   assistant("s-stop", now - 35 * 60, "m2", "claude-sonnet-4-5", 1000, 0, 50000, 500, cwd,
                             R"([{"type":"tool_use","name":"Bash","input":{}}])") +
                   failedResult("s-stop", now - 31 * 60, "pre-push hook failed: 3 tests failed"));
    // Yesterday-only work: shows in the week, not among today's sessions.
    home.write(".claude/projects/-work-web-app/s-old.jsonl",
               assistant("s-old", now - 86400, "m3", "claude-opus-4-5", 2000, 0, 0, 100, cwd));
    // Codex today.
    home.write(".codex/sessions/2026/12/06/rollout-a.jsonl",
               R"({"type":"session_meta","timestamp":")" + iso(now - 600) +
                   R"(","payload":{"id":"cx1","cwd":"/w/cproj","model":"gpt-5-codex"}})" "\n" +
                   R"({"type":"token_usage_record","timestamp":")" + iso(now - 500) +
                   R"(","payload":{"response_id":"r1","usage":{"input_tokens":1000,"cached_input_tokens":800,"output_tokens":20}}})" "\n");
    // An alert file and a limits file with only the weekly window.
    Config::load();
    home.write(".quillon/alerts/deploy.txt", "\n\nstaging deploy finished\nmore\n");
    home.write(".quillon/claude-limits.json",
               R"({"at":)" + std::to_string(now - 120) +
                   R"(,"seven_day":{"used_percentage":41,"resets_at":)" + std::to_string(now + 3 * 86400) + "}}");

    auto r = report({"--no-github"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto out = lines(r.out);
    ASSERT_GE(out.size(), 20u) << r.out;

    EXPECT_TRUE(out[0].rfind("Read 3 log files in ", 0) == 0) << out[0];
    EXPECT_EQ(out[1], "");
    EXPECT_EQ(out[2], "Day         tokens   turns  subagent  ~list $");

    const std::string today = dayKey(now), yesterday = dayKey(now - 86400), quiet = dayKey(now - 3 * 86400);
    Config prices;
    double usdToday = prices.usd("claude-sonnet-4-5", Usage{1000, 20000, 30000, 500}) +
                      prices.usd("claude-sonnet-4-5", Usage{1000, 0, 50000, 500}) +
                      prices.usd("gpt-5-codex", Usage{200, 0, 800, 20});
    std::int64_t tokensToday = 51000 + 51000 + 1000;
    EXPECT_EQ(out[9], format("%s  %7s  %6d  %7.0f%%  %7.0f", today.c_str(), fmtTokens(tokensToday).c_str(), 3,
                             0.0, usdToday));
    EXPECT_EQ(out[8], format("%s  %7s  %6d  %7.0f%%  %7.0f", yesterday.c_str(), "2K", 1, 0.0,
                             prices.usd("claude-opus-4-5", Usage{2000, 0, 0, 100})));
    // A day with no turns prints zeros, the share right-aligned in seven characters.
    EXPECT_EQ(out[6], quiet + "        0       0        0%        0");

    std::size_t codex = indexOf(out, "Codex only");
    ASSERT_NE(codex, std::string::npos);
    EXPECT_EQ(out[codex + 7], today + "  1000 tokens  1 turns");
    EXPECT_EQ(out[codex + 6], yesterday + "  0 tokens  0 turns");

    std::size_t limits = indexOf(out, "Limits");
    ASSERT_NE(limits, std::string::npos);
    EXPECT_EQ(out[limits + 1].rfind("  Claude Code Weekly: 41% used, resets ", 0), 0u) << out[limits + 1];
    EXPECT_NE(out[limits + 1].find(" (read 2 min ago)"), std::string::npos) << out[limits + 1];
    EXPECT_EQ(out[limits + 2].rfind("      On pace to finish this window at about ", 0), 0u) << out[limits + 2];
    // The stopped session holds 102K of the window's 104K tokens (the Codex ones are another tool's).
    EXPECT_EQ(out[limits + 3], "      Fix flaky checkout test used about 98% of the tokens in this window.");
    EXPECT_EQ(out[limits + 4], "");

    std::size_t nudges = indexOf(out, "Nudges: 0");
    ASSERT_NE(nudges, std::string::npos);

    std::size_t sessions = indexOf(out, "Today's sessions");
    ASSERT_NE(sessions, std::string::npos);
    EXPECT_EQ(out[sessions + 1],
              format("  %7s  %5d turns  now %6s  start %6s  sub %3.0f%%  %s: %s [%s]", "102K", 2, "51K", "51K", 0.0,
                     "Claude Code", "Fix flaky checkout test", "web-app"));
    EXPECT_EQ(out[sessions + 2], "           state: Stopped on a failure, idle 31 min");
    EXPECT_EQ(out[sessions + 3], format("  %7s  %5d turns  now %6s  start %6s  sub %3.0f%%  %s: %s [%s]", "1K",
                                        1, "1K", "1K", 0.0, "Codex", "codex:cx", "cproj"));

    std::size_t gates = indexOf(out, "Failed gates: 2");
    ASSERT_NE(gates, std::string::npos) << r.out;
    // Newest first: the alert file was written just now, the failure is 31 minutes old.
    EXPECT_EQ(out[gates + 1], "  [alert] deploy");
    EXPECT_EQ(out[gates + 2], "      staging deploy finished");
    EXPECT_EQ(out[gates + 3], "      " + home.path() + "/.quillon/alerts/deploy.txt");
    EXPECT_EQ(out[gates + 4], "  [session] Stopped on a failure: Fix flaky checkout test");
    EXPECT_EQ(out[gates + 5], "      web-app · idle 31 min · pre-push hook failed: 3 tests failed");
    EXPECT_EQ(out.size(), gates + 6);
}

TEST_F(ReportTest, showsTwelveSessionsAtMostAndCodexAlone) {
    std::string codex;
    for (int i = 0; i < 14; ++i) {
        // Codex sessions only, each with a different size so the order is known.
        std::string id = "c" + std::to_string(100 + i);
        codex = R"({"type":"session_meta","timestamp":")" + iso(now - 900) + R"(","payload":{"id":")" + id +
                R"(","cwd":"/w/p)" + std::to_string(i) + R"("}})" "\n" +
                R"({"type":"token_usage_record","timestamp":")" + iso(now - 800) + R"(","payload":{"response_id":"r)" +
                std::to_string(i) + R"(","usage":{"input_tokens":)" + std::to_string(1000 * (i + 1)) + "}}}\n";
        home.write(".codex/sessions/r" + std::to_string(i) + ".jsonl", codex);
    }
    auto r = report({"--no-github"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto out = lines(r.out);
    std::size_t sessions = indexOf(out, "Today's sessions");
    std::size_t gates = indexOf(out, "Failed gates: 0");
    ASSERT_NE(sessions, std::string::npos);
    ASSERT_NE(gates, std::string::npos);
    // Twelve blocks of two lines (no advice), then the blank line before the gates.
    EXPECT_EQ(gates - sessions - 1, 12u * 2 + 1);
    EXPECT_EQ(out[sessions + 1].substr(0, 9), "      14K");
    EXPECT_NE(out[sessions + 1].find("Codex: codex:c1 [p13]"), std::string::npos) << out[sessions + 1];
    EXPECT_EQ(out[sessions + 23].substr(0, 9), "       3K");
    EXPECT_EQ(out[sessions + 24], "           state: Last active 13 min ago");
    std::size_t codexOnly = indexOf(out, "Codex only");
    EXPECT_EQ(out[codexOnly + 7], dayKey(now) + "  105000 tokens  14 turns");
    EXPECT_NE(indexOf(out, "  none known (Claude limits need the status line helper; Codex limits come from its logs)"),
              std::string::npos);
}

TEST_F(ReportTest, monthReadsThirtyTwoDaysAndListsThirty) {
    // A log last written 20 days ago is outside the 8-day window and inside the 32-day one.
    std::string path = home.write(".claude/projects/p/old.jsonl",
                                  assistant("old", now - 20 * 86400, "m-old", "claude-sonnet-4-5", 5000, 0, 0, 10, "/w/p"));
    timespec times[2] = {{static_cast<time_t>(now - 20 * 86400), 0}, {static_cast<time_t>(now - 20 * 86400), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    home.write(".claude/projects/p/new.jsonl",
               assistant("new", now - 60, "m-new", "claude-sonnet-4-5", 3000, 0, 0, 10, "/w/p"));

    auto week = lines(report({"--no-github"}).out);
    EXPECT_EQ(week[0].rfind("Read 1 log files in ", 0), 0u) << week[0];
    EXPECT_EQ(indexOf(week, "Last 30 days: 3K tokens over 1 active days"), std::string::npos);

    auto month = lines(report({"--no-github", "--month"}).out);
    EXPECT_EQ(month[0].rfind("Read 2 log files in ", 0), 0u) << month[0];
    std::size_t head = indexOf(month, "Last 30 days: 8K tokens over 2 active days");
    ASSERT_NE(head, std::string::npos);
    EXPECT_EQ(month[head - 1], "");
    EXPECT_EQ(month[head + 1], "  " + dayKey(now - 29 * 86400) + "  0");
    EXPECT_EQ(month[head + 10], "  " + dayKey(now - 20 * 86400) + "  5K");
    EXPECT_EQ(month[head + 30], "  " + dayKey(now) + "  3K");
    EXPECT_EQ(month[head + 31], "");
    EXPECT_EQ(month[head + 32], "Codex only");
}

TEST_F(ReportTest, noGithubRunsNoGhAndJsonCarriesTheSameContent) {
    for (const char* p : {"/opt/homebrew/bin/gh", "/usr/local/bin/gh"})
        if (access(p, F_OK) == 0) GTEST_SKIP() << p << " exists on this machine and would be used instead of the fake gh";
    const std::string repo = home.path() + "/src/api-server";
    std::filesystem::create_directories(repo);
    ASSERT_EQ(std::system(("git -C '" + repo + "' init -q && git -C '" + repo +
                           "' remote add origin git@github.com:acme/api-server.git").c_str()),
              0);
    home.write(".claude/projects/p/s1.jsonl",
               assistant("s1", now - 120, "m1", "claude-sonnet-4-5", 3000, 0, 0, 10, repo));
    // A fake gh that notes every run and lists one pull request whose checks failed. The PR
    // title carries a terminal escape that must not reach the terminal.
    std::string ran = home.path() + "/gh-ran";
    std::string gh = home.write(
        ".local/bin/gh",
        "#!/bin/sh\necho \"$@\" >> '" + ran + "'\n"
        "case \"$1\" in api) echo octocat ;; pr) printf '%s' '[{\"number\":482,\"title\":\"Fix \\u001b]0;owned\\u0007 it\","
        "\"url\":\"https://github.com/acme/api-server/pull/482\",\"headRefOid\":\"abc\",\"statusCheckRollup\":"
        "[{\"name\":\"lint\",\"conclusion\":\"FAILURE\",\"completedAt\":\"2026-01-01T00:00:00Z\"}]}]' ;; esac\n");
    chmod(gh.c_str(), 0755);

    auto quiet = report({"--no-github"});
    ASSERT_EQ(quiet.status, 0);
    EXPECT_FALSE(home.exists("gh-ran"));
    EXPECT_NE(indexOf(lines(quiet.out), "Failed gates: 0"), std::string::npos);

    auto asked = report();
    ASSERT_EQ(asked.status, 0);
    EXPECT_TRUE(home.exists("gh-ran"));
    auto out = lines(asked.out);
    std::size_t gates = indexOf(out, "Failed gates: 1");
    ASSERT_NE(gates, std::string::npos) << asked.out;
    EXPECT_EQ(out[gates + 1], "  [check] Checks failed: api-server#482");
    EXPECT_EQ(out[gates + 2], "      Fix \xEF\xBF\xBD]0;owned\xEF\xBF\xBD it \xC2\xB7 lint");
    EXPECT_EQ(out[gates + 3], "      https://github.com/acme/api-server/pull/482");
    EXPECT_EQ(asked.out.find('\x1b'), std::string::npos);

    auto json = report({"--json"});
    ASSERT_EQ(json.status, 0);
    auto doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["filesRead"], 1);
    EXPECT_EQ(doc["today"]["tokens"], 3000);
    EXPECT_EQ(doc["week"].size(), 7u);
    EXPECT_FALSE(doc.contains("month"));
    EXPECT_EQ(doc["sessions"][0]["id"], "s1");
    EXPECT_EQ(doc["sessions"][0]["project"], "api-server");
    EXPECT_EQ(doc["sessions"][0]["state"], "Finished 2 min ago");
    EXPECT_EQ(doc["gates"][0]["kind"], "check");
    // The JSON writer escapes the title's control characters; the text itself is unchanged.
    EXPECT_EQ(doc["gates"][0]["detail"], "Fix \x1b]0;owned\x07 it \xC2\xB7 lint");
    EXPECT_EQ(doc["gates"][0]["since"], "2026-01-01T00:00:00.000Z");
    EXPECT_TRUE(doc["gitHubNote"].is_null());
    EXPECT_EQ(doc["week"][6]["day"], dayKey(now));
    EXPECT_EQ(nlohmann::json::parse(report({"--json", "--month", "--no-github"}).out)["month"].size(), 30u);
}

TEST_F(ReportTest, hostileTextFromLogsAndFilesNeverReachesTheTerminalAsControls) {
    // One sample of everything that could act on a terminal, and markup that must stay text.
    const std::string hostile = "\x1b[31mred\x1b[0m \x1b]0;title\x07 \x1b]52;c;Y3VybA==\x07 \xC2\x9B" "2J "
                                "<img src=x> <a href=y>z</a> \xE2\x80\xAE" "evil\xE2\x80\xAC \xFF\xFE tail";
    const std::string cwd = "/w/proj";
    nlohmann::json title{{"type", "custom-title"}, {"sessionId", "h1"}, {"customTitle", hostile}};
    home.write(".claude/projects/p/h1.jsonl",
               title.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n" +
                   assistant("h1", now - 40 * 60, "m1", "claude-sonnet-4-5", 1000, 0, 0, 10, cwd) +
                   failedResult("h1", now - 35 * 60, "error: \\u001b]52;c;AAAA\\u0007 pre-push failed"));
    Config::load();
    home.write(".quillon/alerts/\x1b[2Jalert.txt", hostile + "\n");

    auto r = report({"--no-github"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (unsigned char c : r.out) {
        EXPECT_TRUE(c >= 0x20 || c == '\n' || c == '\t') << "control byte " << int(c);
        EXPECT_NE(c, 0x7F);
    }
    EXPECT_EQ(r.out.find("\xC2\x9B"), std::string::npos);
    EXPECT_EQ(r.out.find("\xE2\x80\xAE"), std::string::npos);
    // Still readable: the words and the markup show as they were written.
    EXPECT_NE(r.out.find("[31mred"), std::string::npos);
    EXPECT_NE(r.out.find("<img src=x> <a href=y>z</a>"), std::string::npos);
    EXPECT_NE(r.out.find("  [alert] \xEF\xBF\xBD[2Jalert"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Stopped on a failure: \xEF\xBF\xBD[31mred"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("error: \xEF\xBF\xBD]52;c;AAAA\xEF\xBF\xBD pre-push failed"), std::string::npos) << r.out;
}
