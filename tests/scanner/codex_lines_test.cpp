// The Codex line handler, line by line through a real rollout file.
#include <gtest/gtest.h>

#include "scanner_support.h"

namespace quillon::testing {
namespace {

class CodexLines : public ScannerTest {
  protected:
    SessionAgg* cx(const std::string& id = "codex:rollout") { return scanner.find(id); }
    const FileState& state() { return *scanner.fileState(codexRoot() + "/rollout.jsonl"); }
};

TEST_F(CodexLines, usageRecordsSplitCachedAndWrittenInput) {
    feedCodex(codexUsage("2026-01-05T10:00:00Z", 1000, 800, 50, 20, "\"response_id\":\"r1\","));
    ASSERT_NE(cx(), nullptr);
    EXPECT_EQ(cx()->tool, "Codex");
    EXPECT_EQ(cx()->days.at("2026-01-05").usage, (Usage{150, 50, 800, 20}));
    EXPECT_EQ(cx()->lastContext, 1000);
    EXPECT_EQ(cx()->floorContext, 1000);
    feedCodex(codexUsage("2026-01-05T11:00:00Z", 100, 300, 0, 0, "\"response_id\":\"r2\","));
    EXPECT_EQ(cx()->days.at("2026-01-05").usage, (Usage{150, 50, 1100, 20}));
    // Priced at the "gpt" row until a context line names the model.
    const Config c;
    EXPECT_NEAR(cx()->days.at("2026-01-05").usd,
                c.usd("gpt", Usage{150, 50, 800, 20}) + c.usd("gpt", Usage{0, 0, 300, 0}), 1e-12);
}

TEST_F(CodexLines, duplicateKeysByResponseIdThenOrdinal) {
    const std::string none = codexUsage("2026-01-05T10:00:00Z", 10, 0, 0, 1);
    const std::string byId = codexUsage("2026-01-05T10:00:00Z", 10, 0, 0, 1, "\"response_id\":\"r1\",");
    const std::string byOrdinal = "{\"ordinal\":7," + none.substr(1);
    for (const std::string& line : {byId, byId, byOrdinal, byOrdinal, none, none})
        feedCodex(line);
    EXPECT_EQ(cx()->turns, 4);
    // An undated record is dropped.
    feedCodex(R"({"type":"token_usage_record","payload":{"usage":{"input_tokens":5}}})");
    EXPECT_EQ(cx()->turns, 4);
}

TEST_F(CodexLines, contextLinesSetModelSessionAndDirectory) {
    feedCodex(R"({"timestamp":"2026-01-05T10:00:00Z","type":"turn_context","payload":{"model":"o4-mini",)"
              R"("cwd":"/p"}})");
    EXPECT_EQ(state().codexModel, "gpt-o4-mini");
    EXPECT_EQ(cx()->cwd, "/p");
    feedCodex(
        R"({"timestamp":"2026-01-05T10:00:00Z","type":"turn_context","payload":{"model":"GPT-5.5-Codex"}})");
    EXPECT_EQ(state().codexModel, "GPT-5.5-Codex");
    feedCodex(codexUsage("2026-01-05T10:00:01Z", 1'000'000, 0, 0, 0));
    EXPECT_DOUBLE_EQ(cx()->days.at("2026-01-05").usd, 5.0); // the gpt-5.5 row

    // A session-meta line moves the following lines to its session.
    feedCodex(R"({"timestamp":"2026-01-05T10:00:02Z","type":"session_meta","payload":{"id":"abc",)"
              R"("cwd":"/q"}})");
    EXPECT_EQ(state().codexSession, "abc");
    ASSERT_NE(cx("codex:abc"), nullptr);
    EXPECT_EQ(cx("codex:abc")->cwd, "/q");
    feedCodex(codexUsage("2026-01-05T10:00:03Z", 10, 0, 0, 0));
    EXPECT_EQ(cx("codex:abc")->turns, 1);
    // An id on the usage record itself wins.
    feedCodex(codexUsage("2026-01-05T10:00:03Z", 10, 0, 0, 0, "\"session_id\":\"zzz\","));
    EXPECT_EQ(cx("codex:zzz")->turns, 1);
    EXPECT_EQ(cx("codex:zzz")->tool, "Codex");
}

TEST_F(CodexLines, usageRecordsWinOverRunningTotalsInTheSameFile) {
    feedCodex(R"({"type":"token_usage_record","timestamp":"2026-05-12T10:00:00Z","payload":{"response_id":"x1",)"
              R"("usage":{"input_tokens":100}}})");
    feedCodex(R"({"type":"event_msg","timestamp":"2026-05-12T10:00:01Z","payload":{"type":"token_count",)"
              R"("info":{"total_token_usage":{"input_tokens":100}}}})");
    EXPECT_EQ(cx()->turns, 1);
}

TEST_F(CodexLines, rateLimitsKeepTheNewestReport) {
    auto limits = [](const char* ts, const char* primary) {
        return std::string("{\"timestamp\":\"") + ts +
               "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"token_count\",\"info\":null,\"rate_"
               "limits\":{\"primary\":" +
               primary +
               ",\"secondary\":{\"used_percent\":5,\"window_minutes\":10080,\"resets_at\":1747800000}}}}";
    };
    feedCodex(limits("2026-01-05T10:00:00Z",
                     R"({"used_percent":10.5,"window_minutes":300,"resets_at":1747150400.5})"));
    ASSERT_TRUE(scanner.codexLimits());
    EXPECT_EQ(scanner.codexLimits()->primary, (LimitReading{10.5, 1747150400.5, 300}));
    EXPECT_EQ(scanner.codexLimits()->secondary, (LimitReading{5, 1747800000, 10080}));

    feedCodex(limits("2026-01-05T09:00:00Z", R"({"used_percent":99,"window_minutes":300,"resets_at":1})"));
    EXPECT_EQ(scanner.codexLimits()->primary->usedPercent, 10.5);

    // Same time stamp replaces; a window without resets_at is absent, the other still read.
    feedCodex(limits("2026-01-05T10:00:00Z", R"({"used_percent":20,"window_minutes":300})"));
    EXPECT_FALSE(scanner.codexLimits()->primary);
    EXPECT_TRUE(scanner.codexLimits()->secondary);
    EXPECT_EQ(scanner.codexLimits()->at, at("2026-01-05T10:00:00Z"));
    // No time stamp: dropped.
    feedCodex(R"({"type":"event_msg","payload":{"type":"token_count","rate_limits":{}}})");
    EXPECT_TRUE(scanner.codexLimits()->secondary);
}

TEST_F(CodexLines, tasksMarkStartedAndDoneInTimeOrder) {
    auto task = [](const char* ts, const char* type) {
        return std::string(R"({"timestamp":")") + ts + R"(","type":"event_msg","payload":{"type":")" + type +
               "\"}}";
    };
    feedCodex(task("2026-01-05T10:00:00Z", "task_started"));
    EXPECT_EQ(cx()->lastKind, "started");
    feedCodex(task("2026-01-05T10:05:00Z", "task_complete"));
    feedCodex(task("2026-01-05T09:00:00Z", "task_started"));
    EXPECT_EQ(cx()->lastKind, "done");
    EXPECT_EQ(cx()->lastKindAt, at("2026-01-05T10:05:00Z"));
    EXPECT_FALSE(cx()->pendingTool);
}

TEST_F(CodexLines, firstPromptSkipsMarkupAndHeadings) {
    auto prompt = [](const char* ts, const std::string& content) {
        return std::string(R"({"timestamp":")") + ts +
               R"(","type":"response_item","payload":{"type":"message","role":"user","content":[)" + content +
               "]}}";
    };
    feedCodex(prompt("2026-01-05T10:00:00Z",
                     R"({"type":"input_text","text":"<environment_context>x</environment_context>"})"));
    ASSERT_NE(cx(), nullptr) << "a user line creates the session";
    EXPECT_FALSE(cx()->firstPrompt);
    feedCodex(prompt("2026-01-05T10:00:01Z",
                     R"({"type":"input_text","text":"# AGENTS.md"},{"type":"input_text","text":"  Explain\nthis  "})"));
    EXPECT_EQ(cx()->firstPrompt, "Explain this");
    feedCodex(prompt("2026-01-05T10:00:02Z", R"({"type":"input_text","text":"later"})"));
    EXPECT_EQ(cx()->firstPrompt, "Explain this");
    EXPECT_EQ(cx()->lastKind, "") << "Codex prompts make no mark";
}

} // namespace
} // namespace quillon::testing
