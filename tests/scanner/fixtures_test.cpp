// Real logs copied from public repositories (tests/data/fixtures, see PROVENANCE.md).
#include <gtest/gtest.h>

#include <filesystem>

#include "scanner_support.h"

namespace quillon::testing {
namespace {
namespace fs = std::filesystem;

class Fixtures : public ScannerTest {
  protected:
    void copy(const std::string& from, const std::string& to) {
        fs::create_directories(fs::path(home.path() + "/" + to).parent_path());
        fs::copy(fixture(from), home.path() + "/" + to, fs::copy_options::recursive);
    }
};

TEST_F(Fixtures, streamedMessagesCountAtTheirLargestUsageWithOneHourWrites) {
    copy("spotter/tool_heavy.jsonl", ".claude/projects/p/tool_heavy.jsonl");
    LogScanner s(Config{}, claudeRoot(), codexRoot());
    ASSERT_TRUE(s.scanBoth(100000));
    ASSERT_EQ(s.sessions().size(), 1u);
    const SessionAgg* a = s.find("d6e0bada-1959-4eec-a9d2-0bfade768d8f");
    ASSERT_NE(a, nullptr);
    // Four messages over nine lines; the last grows from 25 to 173 output tokens.
    EXPECT_EQ(a->turns, 4);
    const Usage expected{3 + 1 + 3 + 47, 7883 + 208 + 8490 + 1115, 17915 + 25798 + 18014 + 26504,
                         27 + 1 + 11 + 173};
    ASSERT_EQ(a->days.size(), 1u);
    const DayAgg& d = a->days.at("2026-02-10");
    EXPECT_EQ(d.usage, expected);
    // claude-opus-4-6: $5 input, $0.50 cache read, $25 output; every cache write is a
    // one-hour write at twice the input price.
    const double usd =
        (expected.input * 5.0 + expected.cacheW * 10.0 + expected.cacheR * 0.5 + expected.output * 25.0) /
        1e6;
    EXPECT_NEAR(d.usd, usd, 1e-12);
    EXPECT_EQ(a->lastKind, "prompt") << "the log ends with an interrupted request";
    EXPECT_EQ(a->peakContext, 47 + 1115 + 26504);
}

TEST_F(Fixtures, spotterSubagentsArePricedWithTheirOwnSplit) {
    copy("spotter/short.jsonl", ".claude/projects/p/ae4a77f8-aedd-4bc1-888f-c94edc91af04.jsonl");
    copy("spotter/ae4a77f8-aedd-4bc1-888f-c94edc91af04",
         ".claude/projects/p/ae4a77f8-aedd-4bc1-888f-c94edc91af04");
    LogScanner s(Config{}, claudeRoot(), codexRoot());
    s.scanBoth(100000);
    const SessionAgg* a = s.find("ae4a77f8-aedd-4bc1-888f-c94edc91af04");
    ASSERT_NE(a, nullptr);
    // short.jsonl (named here as the parent) is one message of five lines, session 55604662...
    const SessionAgg* main = s.find("55604662-cf2a-4331-851a-ec234028f8ca");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->turns, 1);
    EXPECT_NEAR(main->days.at("2026-02-10").usd, (3 * 5.0 + 13835 * 10.0 + 11515 * 0.5 + 13 * 25.0) / 1e6,
                1e-12);
    // Subagents: one opus message and three sonnet messages, five-minute writes only.
    EXPECT_EQ(a->turns, 4);
    const DayAgg& d = a->days.at("2026-02-12");
    EXPECT_EQ(d.sideTurns, 4);
    const double opus = (3 * 5.0 + 121689 * 6.25 + 17842 * 0.5 + 8 * 25.0) / 1e6;
    const double sonnet = ((3 + 2326 + 79) * 3.0 + (13838 + 1598 + 3378) * 3.75 + (0 + 13838 + 15436) * 0.3 +
                           (3 + 3 + 1) * 15.0) /
                          1e6;
    EXPECT_NEAR(d.usd, opus + sonnet, 1e-12);
    EXPECT_FALSE(a->floorContext);
}

TEST_F(Fixtures, oldSidechainLayoutCountsEveryMessageAtItsLargestUsage) {
    copy("codemie/claude/-tmp-private", ".claude/projects/-tmp-private");
    LogScanner s(Config{}, claudeRoot(), codexRoot());
    ASSERT_TRUE(s.scanBoth(100000));
    // Seven main messages; the agent-*.jsonl files beside the log hold two side-chain messages
    // of the same session, one of them from a haiku model.
    ASSERT_EQ(s.sessions().size(), 1u);
    const SessionAgg* a = s.find("4c2ddfdc-b619-4525-8d03-1950fb1b0257");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->turns, 9);
    EXPECT_TRUE(a->firstPrompt);
    ASSERT_EQ(a->days.size(), 1u);
    const DayAgg& d = a->days.at("2025-12-10");
    EXPECT_EQ(d.turns, 9);
    EXPECT_EQ(d.sideTurns, 2);
    EXPECT_EQ(d.usage, (Usage{16914, 54148, 214627, 1046}));
    const double sonnet = (36 * 3.0 + 54148 * 3.75 + 214627 * 0.3 + 809 * 15.0) / 1e6;
    EXPECT_NEAR(d.usd, sonnet + (16878 * 1.0 + 237 * 5.0) / 1e6, 1e-12);
}

TEST_F(Fixtures, todaysCodexRolloutsCountTheGrowthOfTheirRunningTotals) {
    copy("codemie/codex", ".codex/sessions/2026/05/12");
    copy("ccusage/codex/sessions", ".codex/sessions/ccusage");
    copy("ccusage/claude/projects", ".claude/projects");
    LogScanner s(Config{}, claudeRoot(), codexRoot());
    ASSERT_TRUE(s.scanBoth(100000));
    // These hand-written Claude Code lines carry no "type" field, so no assistant probe matches.
    for (const SessionAgg* a : s.sessions())
        EXPECT_TRUE(a->tool == "Codex" || a->turns == 0) << a->id;
    auto usage = [&](const std::string& key) {
        const SessionAgg* a = s.find(key);
        Usage sum;
        if (a)
            for (const auto& [day, d] : a->days) sum += d.usage;
        return std::pair{a ? a->turns : -1, sum};
    };
    // turn-2.jsonl repeats turn-1's event (same session, same time, same totals): counted once;
    // its own turn is what the totals grew by. Input tokens include the cached ones.
    EXPECT_EQ(usage("codex:a1b2c3d4-e5f6-7890-abcd-ef1234567890"),
              (std::pair{std::int64_t{2}, Usage{512 + 76, 0, 512, 12 + 8}}));
    EXPECT_EQ(usage("codex:spawn-test-uuid"), (std::pair{std::int64_t{1}, Usage{4000, 0, 1000, 200}}));
    // A branch copies its parent's event and then grows on its own.
    EXPECT_EQ(usage("codex:2026-05-12T08-00-00-parent"), (std::pair{std::int64_t{1}, Usage{900, 0, 100, 200}}));
    EXPECT_EQ(usage("codex:2026-05-12T08-02-00-branch"), (std::pair{std::int64_t{1}, Usage{400, 0, 200, 250}}));
    EXPECT_EQ(usage("codex:session-alpha"), (std::pair{std::int64_t{2}, Usage{750 + 2000, 0, 250 + 500, 425}}));
    EXPECT_EQ(s.fileState(codexRoot() + "/ccusage/branch-history/2026-05-12T08-00-00-parent.jsonl")->codexModel,
              "gpt-5.2");
    // Priced with the file's model: "o4-mini" becomes "gpt-o4-mini", the "gpt" row.
    const SessionAgg* a = s.find("codex:a1b2c3d4-e5f6-7890-abcd-ef1234567890");
    ASSERT_NE(a, nullptr);
    EXPECT_NEAR(a->days.at("2026-05-12").usd, (588 * 1.25 + 512 * 0.125 + 20 * 10.0) / 1e6, 1e-12);
    EXPECT_EQ(a->cwd, "/home/user/project");
    EXPECT_EQ(a->firstPrompt, "Hello, Codex! Please explain what you do.");
    EXPECT_EQ(a->lastKind, "done");
    ASSERT_TRUE(s.codexLimits() && s.codexLimits()->primary);
    EXPECT_EQ(s.codexLimits()->primary->windowMinutes, 300);

    // A second scan after nothing changed adds nothing.
    s.scanBoth(100000);
    EXPECT_EQ(usage("codex:session-alpha").first, 2);
}

} // namespace
} // namespace quillon::testing
