#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

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

struct ZoneGuard {
    explicit ZoneGuard(const std::string& tz) {
        if (const char* old = std::getenv("TZ")) m_old = old;
        setenv("TZ", tz.c_str(), 1);
        tzset();
    }
    ~ZoneGuard() {
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> m_old;
};

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
    ZoneGuard guard{zone};
    Instant now = currentInstant();

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
