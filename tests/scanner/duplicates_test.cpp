// One count per message across files: resumed and forked sessions copy their parent's lines.
#include <gtest/gtest.h>

#include "scanner_support.h"

namespace quillon::testing {
namespace {

const Usage kA{10, 100, 1000, 5}, kB{20, 200, 2000, 7}, kC{30, 300, 3000, 9};

class Duplicates : public ScannerTest {
  protected:
    std::string parentLog() {
        return assistant("parent", "m1", "2026-01-05T10:00:00Z", kA) + "\n" +
               userPrompt("parent", "2026-01-05T10:01:00Z", "\"go on\"") + "\n" +
               assistant("parent", "m2", "2026-01-05T10:02:00Z", kB) + "\n";
    }
    // The resumed session starts with the parent's lines under its own id, then goes on.
    std::string resumedLog() {
        return assistant("child", "m1", "2026-01-05T10:00:00Z", kA) + "\n" +
               assistant("child", "m2", "2026-01-05T10:02:00Z", kB) + "\n" +
               R"({"type":"custom-title","customTitle":"Resumed","sessionId":"child"})"
               "\n" +
               assistant("child", "m3", "2026-01-06T09:00:00Z", kC) + "\n";
    }
};

TEST_F(Duplicates, resumedClaudeSessionsCountEachMessageOnceInEitherOrder) {
    claude("a/parent.jsonl", parentLog());
    claude("b/child.jsonl", resumedLog());
    for (bool parentFirst : {true, false}) {
        SCOPED_TRACE(parentFirst);
        LogScanner s(Config{}, claudeRoot(), codexRoot());
        s.scan(claudeRoot() + (parentFirst ? "/a" : "/b"), false, 32);
        s.scan(claudeRoot() + (parentFirst ? "/b" : "/a"), false, 32);
        const Totals t = totals(s);
        EXPECT_EQ(t.turns, 3);
        EXPECT_EQ(t.usage, (Usage{60, 600, 6000, 21}));
        EXPECT_NEAR(t.usd, Config().usd("claude-sonnet-4-5", t.usage), 1e-12);
        const SessionAgg* child = s.find("child");
        ASSERT_NE(child, nullptr);
        // The child's own turn is its own; copied lines still move its title and last event.
        EXPECT_EQ(child->days.at("2026-01-06").turns, 1);
        EXPECT_EQ(child->title, "Resumed");
        EXPECT_EQ(child->lastKind, "text");
        EXPECT_EQ(child->cwd, "/work/proj");
        EXPECT_EQ(s.find("parent")->turns, parentFirst ? 2 : 0);
        EXPECT_EQ(child->turns, parentFirst ? 1 : 3);
    }
}

TEST_F(Duplicates, aCopiedMessageAddsNoStreamingIncreaseInTheCopy) {
    claude("a/parent.jsonl", assistant("parent", "m1", "2026-01-05T10:00:00Z", Usage{1, 1, 1, 10}) + "\n");
    claude("b/child.jsonl", assistant("child", "m1", "2026-01-05T10:00:00Z", Usage{1, 1, 1, 10}) + "\n" +
                                assistant("child", "m1", "2026-01-05T10:00:01Z", Usage{1, 1, 1, 99}) + "\n");
    LogScanner s(Config{}, claudeRoot(), codexRoot());
    s.scan(claudeRoot() + "/a", false, 32);
    s.scan(claudeRoot() + "/b", false, 32);
    EXPECT_EQ(totals(s).usage.output, 10);
}

TEST_F(Duplicates, resumedCodexRolloutsShareResponseIds) {
    auto rec = [](const std::string& ts, const std::string& rid, std::int64_t in) {
        return codexUsage(ts, in, 0, 0, 1, "\"response_id\":\"" + rid + "\",") + "\n";
    };
    codex("a/rollout-parent.jsonl",
          rec("2026-01-05T10:00:00Z", "r1", 100) + rec("2026-01-05T10:01:00Z", "r2", 200));
    codex("b/rollout-child.jsonl", rec("2026-01-05T10:00:00Z", "r1", 100) +
                                       rec("2026-01-05T10:01:00Z", "r2", 200) +
                                       rec("2026-01-05T11:00:00Z", "r3", 300));
    for (bool parentFirst : {true, false}) {
        SCOPED_TRACE(parentFirst);
        LogScanner s(Config{}, claudeRoot(), codexRoot());
        s.scan(codexRoot() + (parentFirst ? "/a" : "/b"), true, 32);
        s.scan(codexRoot() + (parentFirst ? "/b" : "/a"), true, 32);
        EXPECT_EQ(totals(s).turns, 3);
        EXPECT_EQ(totals(s).usage.input, 600);
        EXPECT_EQ(s.find("codex:rollout-child")->turns, parentFirst ? 1 : 3);
    }
}

TEST_F(Duplicates, filesWithoutIdsAreAllCounted) {
    const std::string noId = assistant("x", "", "2026-01-05T10:00:00Z", kA) + "\n";
    claude("a/one.jsonl", noId);
    claude("b/two.jsonl", noId);
    codex("c.jsonl", codexUsage("2026-01-05T10:00:00Z", 5, 0, 0, 1) + "\n");
    codex("d.jsonl", codexUsage("2026-01-05T10:00:00Z", 5, 0, 0, 1) + "\n");
    LogScanner s(Config{}, claudeRoot(), codexRoot());
    s.scanBoth(8);
    EXPECT_EQ(totals(s).turns, 4);
}

} // namespace
} // namespace quillon::testing
