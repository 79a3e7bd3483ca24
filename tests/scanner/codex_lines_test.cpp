// The Codex line handler, fed line by line as the reader would.
#include <gtest/gtest.h>

#include "scanner/timestamp.h"
#include "scanner_support.h"

namespace quillon::testing {
namespace {

class CodexLines : public ScannerTest {
  protected:
    LogScanner scanner{Config{}, claudeRoot(), codexRoot()};
    FileState state;
    void feed(const std::string& line, const std::string& fileSession = "rollout") {
        scanner.handleCodex(line, fileSession, state);
    }
    SessionAgg* s(const std::string& id = "codex:rollout") { return scanner.find(id); }
    static Instant at(const char* ts) { return *parseTimestamp(ts); }
};

TEST_F(CodexLines, usageRecordsSplitCachedAndWrittenInput) {
    feed(codexUsage("2026-01-05T10:00:00Z", 1000, 800, 50, 20, "\"response_id\":\"r1\","));
    ASSERT_NE(s(), nullptr);
    EXPECT_EQ(s()->tool, "Codex");
    EXPECT_EQ(s()->days.at("2026-01-05").usage, (Usage{150, 50, 800, 20}));
    EXPECT_EQ(s()->lastContext, 1000);
    EXPECT_EQ(s()->floorContext, 1000);
    feed(codexUsage("2026-01-05T11:00:00Z", 100, 300, 0, 0, "\"response_id\":\"r2\","));
    EXPECT_EQ(s()->days.at("2026-01-05").usage, (Usage{150, 50, 1100, 20}));
    // Priced at the "gpt" row until a context line names the model.
    Config c;
    EXPECT_NEAR(s()->days.at("2026-01-05").usd,
                c.usd("gpt", Usage{150, 50, 800, 20}) + c.usd("gpt", Usage{0, 0, 300, 0}), 1e-12);
}

TEST_F(CodexLines, duplicateKeysByResponseIdThenOrdinal) {
    const std::string byId = codexUsage("2026-01-05T10:00:00Z", 10, 0, 0, 1, "\"response_id\":\"r1\",");
    feed(byId);
    feed(byId);
    std::string byOrdinal = codexUsage("2026-01-05T10:00:00Z", 10, 0, 0, 1, "");
    byOrdinal.insert(1, "\"ordinal\":7,");
    feed(byOrdinal);
    feed(byOrdinal);
    const std::string none = codexUsage("2026-01-05T10:00:00Z", 10, 0, 0, 1, "");
    feed(none);
    feed(none);
    EXPECT_EQ(s()->turns, 4);
    // An undated record is dropped.
    feed(R"({"type":"token_usage_record","payload":{"usage":{"input_tokens":5}}})");
    EXPECT_EQ(s()->turns, 4);
}

TEST_F(CodexLines, contextLinesSetModelSessionAndDirectory) {
    feed(
        R"({"timestamp":"2026-01-05T10:00:00Z","type":"turn_context","payload":{"model":"o4-mini","cwd":"/p"}})");
    EXPECT_EQ(state.codexModel, "gpt-o4-mini");
    EXPECT_EQ(s()->cwd, "/p");
    feed(R"({"timestamp":"2026-01-05T10:00:00Z","type":"turn_context","payload":{"model":"GPT-5.5-Codex"}})");
    EXPECT_EQ(state.codexModel, "GPT-5.5-Codex");
    feed(codexUsage("2026-01-05T10:00:01Z", 1'000'000, 0, 0, 0, ""));
    EXPECT_DOUBLE_EQ(s()->days.at("2026-01-05").usd, 5.0); // the gpt-5.5 row

    // A session-meta line moves the following lines to its session.
    feed(R"({"timestamp":"2026-01-05T10:00:02Z","type":"session_meta","payload":{"id":"abc","cwd":"/q"}})");
    EXPECT_EQ(state.codexSession, "abc");
    ASSERT_NE(s("codex:abc"), nullptr);
    EXPECT_EQ(s("codex:abc")->cwd, "/q");
    feed(codexUsage("2026-01-05T10:00:03Z", 10, 0, 0, 0, ""));
    EXPECT_EQ(s("codex:abc")->turns, 1);
    // An id on the usage record itself wins.
    feed(codexUsage("2026-01-05T10:00:03Z", 10, 0, 0, 0, "\"session_id\":\"zzz\","));
    EXPECT_EQ(s("codex:zzz")->turns, 1);
    EXPECT_EQ(s("codex:zzz")->tool, "Codex");
}

TEST_F(CodexLines, rateLimitsKeepTheNewestReport) {
    auto limits = [](const char* ts, const char* primary) {
        return std::string("{\"timestamp\":\"") + ts +
               "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"token_count\",\"info\":null,\"rate_"
               "limits\":{\"primary\":" +
               primary +
               ",\"secondary\":{\"used_percent\":5,\"window_minutes\":10080,\"resets_at\":1747800000}}}}";
    };
    feed(limits("2026-01-05T10:00:00Z",
                R"({"used_percent":10.5,"window_minutes":300,"resets_at":1747150400.5})"));
    ASSERT_TRUE(scanner.codexLimits());
    EXPECT_EQ(scanner.codexLimits()->primary, (LimitReading{10.5, 1747150400.5, 300}));
    EXPECT_EQ(scanner.codexLimits()->secondary, (LimitReading{5, 1747800000, 10080}));

    feed(limits("2026-01-05T09:00:00Z", R"({"used_percent":99,"window_minutes":300,"resets_at":1})"));
    EXPECT_EQ(scanner.codexLimits()->primary->usedPercent, 10.5);

    // Same time stamp replaces; a window without resets_at is absent, the other still read.
    feed(limits("2026-01-05T10:00:00Z", R"({"used_percent":20,"window_minutes":300})"));
    EXPECT_FALSE(scanner.codexLimits()->primary);
    EXPECT_TRUE(scanner.codexLimits()->secondary);
    EXPECT_EQ(scanner.codexLimits()->at, at("2026-01-05T10:00:00Z"));
    // No time stamp: dropped.
    feed(R"({"type":"event_msg","payload":{"type":"token_count","rate_limits":{}}})");
    EXPECT_TRUE(scanner.codexLimits()->secondary);
}

TEST_F(CodexLines, tasksMarkStartedAndDoneInTimeOrder) {
    feed(R"({"timestamp":"2026-01-05T10:00:00Z","type":"event_msg","payload":{"type":"task_started"}})");
    EXPECT_EQ(s()->lastKind, "started");
    feed(R"({"timestamp":"2026-01-05T10:05:00Z","type":"event_msg","payload":{"type":"task_complete"}})");
    EXPECT_EQ(s()->lastKind, "done");
    feed(R"({"timestamp":"2026-01-05T09:00:00Z","type":"event_msg","payload":{"type":"task_started"}})");
    EXPECT_EQ(s()->lastKind, "done");
    EXPECT_EQ(s()->lastKindAt, at("2026-01-05T10:05:00Z"));
    EXPECT_FALSE(s()->pendingTool);
}

TEST_F(CodexLines, firstPromptSkipsMarkupAndHeadings) {
    feed(
        R"({"timestamp":"2026-01-05T10:00:00Z","type":"response_item","payload":{"type":"message","role":"user","content":[{"type":"input_text","text":"<environment_context>x</environment_context>"}]}})");
    ASSERT_NE(s(), nullptr) << "a user line creates the session";
    EXPECT_FALSE(s()->firstPrompt);
    feed(
        R"({"timestamp":"2026-01-05T10:00:01Z","type":"response_item","payload":{"type":"message","role":"user","content":[{"type":"input_text","text":"# AGENTS.md"},{"type":"input_text","text":"  Explain\nthis  "}]}})");
    EXPECT_EQ(s()->firstPrompt, "Explain this");
    feed(
        R"({"timestamp":"2026-01-05T10:00:02Z","type":"response_item","payload":{"type":"message","role":"user","content":[{"type":"input_text","text":"later"}]}})");
    EXPECT_EQ(s()->firstPrompt, "Explain this");
    EXPECT_EQ(s()->lastKind, "") << "Codex prompts make no mark";
}

} // namespace
} // namespace quillon::testing
