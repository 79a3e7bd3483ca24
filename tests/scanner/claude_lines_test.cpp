// The Claude Code line handler and the session aggregates, line by line through real logs.
#include <gtest/gtest.h>

#include "scanner/text.h"
#include "scanner_support.h"

namespace quillon::testing {
namespace {

using ClaudeLines = ScannerTest;
const Usage kU{10, 20, 30, 5};

TEST_F(ClaudeLines, linesOfOneMessageCountOnceAndTheLastToolIsPending) {
    feed(assistant("s1", "m1", "2026-01-05T10:00:00.000Z", kU, R"([{"type":"text","text":"hi"}])"));
    feed(assistant("s1", "m1", "2026-01-05T10:00:01.000Z", kU, R"([{"type":"tool_use","name":"Read"}])"));
    feed(assistant("s1", "m1", "2026-01-05T10:00:02.000Z", kU, R"([{"type":"tool_use","name":"Bash"}])"));
    ASSERT_NE(s(), nullptr);
    EXPECT_EQ(s()->turns, 1);
    EXPECT_EQ(s()->days.at("2026-01-05").usage, kU);
    EXPECT_EQ(s()->lastKind, "tool");
    EXPECT_EQ(s()->pendingTool, "Bash");
    EXPECT_EQ(s()->cwd, "/work/proj");
    // Priced at the sonnet row once, each count at its own price.
    EXPECT_DOUBLE_EQ(s()->days.at("2026-01-05").usd, (10 * 3.0 + 20 * 3.75 + 30 * 0.3 + 5 * 15.0) / 1e6);
}

TEST_F(ClaudeLines, badLinesAreSkippedWithoutChange) {
    const std::string good = assistant("s1", "m1", "2026-01-05T10:00:00Z", kU);
    const std::string bad[] = {
        "",
        "not json \"type\":\"assistant\"",
        R"(["type":"assistant"])",
        good.substr(0, good.size() - 1), // cut short
        good + "x",                      // trailing garbage
        R"({"type":"assistant","message":"m","timestamp":"2026-01-05T10:00:00Z"})",
        R"({"type":"assistant","message":{"usage":[1]},"timestamp":"2026-01-05T10:00:00Z"})",
        R"({"type": "assistant","message":{"usage":{"input_tokens":5}},"timestamp":"2026-01-05T10:00:00Z"})",
        "{\"type\":\"assistant\",\"sessionId\":\"s\xff\",\"message\":{\"usage\":{}},\"timestamp\":\"2026-01-"
        "05T10:00:00Z\"}",
        R"({"type":"assistant","message":{"usage":{}},"timestamp":20260105})",
        R"({"type":"assistant","sessionId":"s1","message":{"id":"n","usage":{"input_tokens":5}}})",
        assistant("s1", "m2", "2026-01-05", kU), // a date alone is no time stamp
        assistant("s1", "m3", "2026-01-05T10:00:00Z", kU, R"([{"type":"tool_use","name":"Bash"}])",
                  "<synthetic>"),
    };
    for (const auto& line : bad)
        feed(line);
    EXPECT_EQ(scanner.sessions().size(), 0u);

    // Wrong-typed token fields count as 0; a CR before the line feed is only a blank; no model
    // prices at the default row.
    feed(R"({"type":"assistant","sessionId":"s1","message":{"id":"q","usage":{"input_tokens":"7",)"
         R"("output_tokens":2.5,"cache_read_input_tokens":4}},"timestamp":"2026-01-05T10:00:00Z"})"
         "\r");
    ASSERT_NE(s(), nullptr);
    EXPECT_EQ(s()->days.at("2026-01-05").usage, (Usage{0, 0, 4, 0}));
    EXPECT_DOUBLE_EQ(s()->days.at("2026-01-05").usd, 4 * 1.5 / 1e6);
}

TEST_F(ClaudeLines, promptsAreNormalisedAndCutByCharacters) {
    feed(userPrompt("s1", "2026-01-05T09:00:00Z", R"("<command-name>/clear</command-name>")"));
    ASSERT_NE(s(), nullptr) << "the session is created";
    EXPECT_FALSE(s()->firstPrompt);
    EXPECT_EQ(s()->lastKind, "");

    // 100 characters over several lines, with tabs, a no-break and an ideographic space, and
    // two-byte letters placed so that a byte cut would split one.
    std::string words = "fix\\n\\n  the\\tbuild\\u00a0now\\u3000", expected = "fix the build now";
    for (int i = 0; i < 20; ++i) {
        words += "\xc3\xa9t\xc3\xa9 ";
        expected += " \xc3\xa9t\xc3\xa9";
    }
    expected = text::prefixChars(expected, 70);
    feed(userPrompt("s1", "2026-01-05T09:01:00Z", "\"" + words + "\""));
    EXPECT_EQ(s()->firstPrompt, expected);
    EXPECT_TRUE(text::validUtf8(*s()->firstPrompt));
    EXPECT_EQ(s()->lastKind, "prompt");

    // A later prompt marks but keeps the first.
    feed(userPrompt("s1", "2026-01-05T09:02:00Z", R"([{"type":"text","text":"second"}])"));
    EXPECT_EQ(s()->firstPrompt, expected);
    EXPECT_EQ(s()->lastKindAt, at("2026-01-05T09:02:00Z"));
}

TEST_F(ClaudeLines, failedToolResultsKeepTheLastErrorAndSuccessClearsIt) {
    auto result = [&](const char* ts, const std::string& parts) {
        feed(userPrompt("s1", ts, "[" + parts + "]"));
        return s()->lastToolError;
    };
    auto error = result("2026-01-05T09:00:00Z",
                        R"({"type":"tool_result","is_error":true,"content":[{"type":"text","text":"permission"},)"
                        R"({"x":1},{"type":"text","text":"denied"}]},{"type":"tool_result","content":"fine"})");
    EXPECT_EQ(s()->lastKind, "result");
    EXPECT_EQ(error, (ToolError{at("2026-01-05T09:00:00Z"), "permission denied"}));
    error = result("2026-01-05T09:01:00Z", R"({"type":"tool_result","is_error":true,"content":42})");
    EXPECT_EQ(error, (ToolError{at("2026-01-05T09:01:00Z"), "tool call failed"}));

    // Long error texts are cut to 300 characters, not bytes.
    std::string euros;
    for (int i = 0; i < 400; ++i)
        euros += "\xe2\x82\xac";
    error = result("2026-01-05T09:02:00Z", R"({"type":"tool_result","is_error":true,"content":")" + euros + "\"}");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text, euros.substr(0, 900));

    EXPECT_FALSE(result("2026-01-05T09:03:00Z", R"({"type":"tool_result","content":"ok"})"));
    // A failed result without a time stamp cannot be recorded, and clears the old one.
    EXPECT_TRUE(result("2026-01-05T09:04:00Z", R"({"type":"tool_result","is_error":true,"content":"a"})"));
    feed(R"({"sessionId":"s1","type":"user","message":{"content":[{"type":"tool_result","is_error":true,)"
         R"("content":"b"}]}})");
    EXPECT_FALSE(s()->lastToolError);
}

TEST_F(ClaudeLines, largeSuccessfulResultsAreNotParsed) {
    const std::string big(30000, 'x');
    auto result = [&](const std::string& session, const std::string& ts, bool failed) {
        return "{\"sessionId\":\"" + session + "\",\"type\":\"user\",\"timestamp\":\"" + ts +
               "\",\"message\":{\"content\":[{\"type\":\"tool_result\"" +
               (failed ? ",\"is_error\":true" : "") + ",\"content\":\"" + big + "\"}]}}";
    };
    // Unknown session: the fast path never creates one.
    feed(result("file-session", "2026-01-05T09:00:00Z", false));
    EXPECT_EQ(scanner.sessions().size(), 0u);

    // Known session (by the file's name): "result" at the line's time stamp, error cleared.
    feed(userPrompt("file-session", "2026-01-05T08:00:00Z",
                    R"([{"type":"tool_result","is_error":true,"content":"boom"}])"));
    ASSERT_TRUE(s("file-session")->lastToolError);
    feed(result("file-session", "2026-01-05T09:00:00.5Z", false));
    EXPECT_EQ(s("file-session")->lastKind, "result");
    EXPECT_EQ(s("file-session")->lastKindAt, at("2026-01-05T09:00:00.5Z"));
    EXPECT_FALSE(s("file-session")->lastToolError);

    // With the failure marker the line is parsed in full, even for another session.
    feed(result("other", "2026-01-05T10:00:00Z", true));
    ASSERT_TRUE(s("other") && s("other")->lastToolError);
    EXPECT_EQ(s("other")->lastToolError->text, big.substr(0, 300));
}

TEST_F(ClaudeLines, titlesOnlyFromShortLines) {
    feed(R"({"type":"custom-title","customTitle":"  My title ","sessionId":"s1"})");
    ASSERT_NE(s(), nullptr);
    EXPECT_EQ(s()->title, "  My title ");
    feed(R"({"type":"custom-title","customTitle":"Long","sessionId":"s1","pad":")" + std::string(5000, 'p') +
         "\"}");
    EXPECT_EQ(s()->title, "  My title ");
    feed(R"({"type":"custom-title","customTitle":"Later"})");
    EXPECT_EQ(s("file-session")->title, "Later");
}

TEST_F(ClaudeLines, subagentLogsGiveSideTurnsToTheParentFolder) {
    const std::string agent = "proj/parent/subagents/agent-1.jsonl";
    feed(userPrompt("x", "2026-01-05T09:00:00Z", R"("hello")"), agent);
    EXPECT_EQ(scanner.sessions().size(), 0u);
    feed(assistant("x", "m1", "2026-01-05T09:00:00Z", kU, R"([{"type":"tool_use","name":"Bash"}])"), agent);
    ASSERT_EQ(scanner.sessions().size(), 1u);
    const SessionAgg* p = s("parent");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->turns, 1);
    EXPECT_EQ(p->days.at("2026-01-05").sideTurns, 1);
    EXPECT_EQ(p->days.at("2026-01-05").sideContext, kU.context());
    EXPECT_EQ(p->hours.at(hourNumber(at("2026-01-05T09:00:00Z"))), kU.context());
    EXPECT_TRUE(p->last);
    // Side turns move none of the main context figures and mark nothing.
    EXPECT_FALSE(p->floorContext || p->lastMainAt);
    EXPECT_EQ(p->peakContext, 0);
    EXPECT_EQ(p->lastContext, 0);
    EXPECT_EQ(p->lastKind, "");
    // The parent's own log gives it a main turn.
    feed(assistant("parent", "m0", "2026-01-05T08:00:00Z", Usage{1, 0, 0, 1}), "proj/parent.jsonl");
    EXPECT_EQ(p->turns, 2);
    EXPECT_EQ(p->floorContext, 1);

    // A side-chain line in a main log is a side turn of the session it names.
    std::string sideLine = assistant("s1", "m2", "2026-01-05T09:00:00Z", kU);
    sideLine.replace(sideLine.find("\"isSidechain\":false"), 19, "\"isSidechain\":true");
    feed(sideLine);
    EXPECT_EQ(s()->days.at("2026-01-05").sideTurns, 1);
    EXPECT_FALSE(s()->floorContext);
}

TEST_F(ClaudeLines, contextFiguresFollowMainTurns) {
    feed(assistant("s1", "a", "2026-01-05T10:00:00Z", Usage{100, 0, 0, 1}));
    feed(assistant("s1", "b", "2026-01-05T11:00:00Z", Usage{500, 0, 0, 1}));
    feed(assistant("s1", "c", "2026-01-05T09:00:00Z", Usage{50, 0, 0, 1})); // older: last stays
    EXPECT_EQ(s()->floorContext, 100);
    EXPECT_EQ(s()->peakContext, 500);
    EXPECT_EQ(s()->lastContext, 500);
    // Equal time stamps: the later line wins.
    feed(assistant("s1", "d", "2026-01-05T11:00:00Z", Usage{300, 0, 0, 1}));
    EXPECT_EQ(s()->lastContext, 300);
    EXPECT_EQ(s()->turns, 4);
}

TEST_F(ClaudeLines, keysFallBackToUuidAndRandomKeysNeverRepeat) {
    const std::string withUuid =
        assistant("s1", "", "2026-01-05T10:00:00Z", kU, "[]", "claude-sonnet-4-5", -1, "\"uuid\":\"u-1\",");
    feed(withUuid);
    feed(withUuid);
    EXPECT_EQ(s()->turns, 1);
    const std::string noKey = assistant("s1", "", "2026-01-05T10:00:00Z", kU);
    feed(noKey);
    feed(noKey);
    EXPECT_EQ(s()->turns, 3);
}

TEST_F(ClaudeLines, streamingLinesAddTheirIncreaseOnce) {
    const Usage first{3, 100, 1000, 25}, grown{3, 100, 1000, 173};
    const std::string tool = R"([{"type":"tool_use","name":"Bash"}])";
    feed(assistant("s1", "m1", "2026-01-05T23:59:59Z", first, tool, "claude-opus-4-6", 100));
    feed(userPrompt("s1", "2026-01-06T00:00:01Z", R"([{"type":"tool_result","content":"ok"}])"));
    // The later line is dated the next day, but its increase belongs to the first line's day.
    feed(assistant("s1", "m1", "2026-01-06T00:00:02Z", grown, tool, "claude-opus-4-6", 100));
    feed(assistant("s1", "m1", "2026-01-06T00:00:03Z", first, tool, "claude-opus-4-6", 100));
    ASSERT_EQ(s()->days.size(), 1u);
    const DayAgg& d = s()->days.at("2026-01-05");
    EXPECT_EQ(d.turns, 1);
    EXPECT_EQ(d.usage, grown);
    const Config c;
    EXPECT_NEAR(d.usd, c.usd("claude-opus-4-6", grown, 100), 1e-12);
    EXPECT_EQ(s()->turns, 1);

    // Cache counts that grow move the context figures with them; one-hour writes beyond the
    // line's cache writes are priced as all of them, no more.
    feed(assistant("s1", "m2", "2026-01-06T10:00:00Z", Usage{1, 10, 0, 1}));
    feed(assistant("s1", "m2", "2026-01-06T10:00:01Z", Usage{1, 50, 0, 1}, "[]", "claude-sonnet-4-5", 500));
    EXPECT_EQ(s()->lastContext, 51);
    EXPECT_EQ(s()->peakContext, 1103);
    EXPECT_EQ(s()->hours.at(hourNumber(at("2026-01-06T10:00:00Z"))), 51);
    EXPECT_NEAR(s()->days.at("2026-01-06").usd, (1 * 3.0 + 50 * 6.0 + 1 * 15.0) / 1e6, 1e-12);
}

TEST_F(ClaudeLines, hugeCountsSaturateInsteadOfWrapping) {
    const Usage huge{INT64_MAX / 2, INT64_MAX / 2, INT64_MAX / 2, INT64_MAX};
    feed(assistant("s1", "a", "2026-01-05T10:00:00Z", huge));
    feed(assistant("s1", "b", "2026-01-05T10:00:00Z", huge));
    EXPECT_EQ(s()->days.at("2026-01-05").usage.output, INT64_MAX);
    EXPECT_EQ(s()->hours.at(hourNumber(at("2026-01-05T10:00:00Z"))), INT64_MAX);
    EXPECT_EQ(s()->peakContext, INT64_MAX);
    EXPECT_GE(s()->peakContext, s()->lastContext);
}

TEST_F(ClaudeLines, namesFallBackToPromptThenIdPrefix) {
    SessionAgg& a = scanner.session("abcdefghijkl");
    a.title = "";
    EXPECT_EQ(a.name(), "abcdefgh");
    a.firstPrompt = "fix it";
    EXPECT_EQ(a.name(), "fix it");
    a.title = "Title";
    EXPECT_EQ(a.name(), "Title");
}

TEST_F(ClaudeLines, tokensSinceCountTheWholeStartingHour) {
    // Fed directly, as the fuzz target does.
    FileState state, codexState;
    scanner.handle(assistant("s", "a", "2026-01-05T10:10:00Z", Usage{100, 0, 0, 1}), "s", false, state);
    scanner.handle(assistant("s", "b", "2026-01-05T11:50:00Z", Usage{20, 0, 0, 1}), "s", false, state);
    scanner.handleCodex(codexUsage("2026-01-05T10:59:59Z", 7, 0, 0, 1), "r", codexState);
    const Instant t = at("2026-01-05T10:00:00Z");
    EXPECT_EQ(s("s")->tokens(t + 1800), 120);
    EXPECT_EQ(s("s")->tokens(t + 3600 + 3599), 20);
    EXPECT_EQ(s("s")->tokens(t + 7200), 0);
    EXPECT_EQ(s("codex:r")->tokens(t + 3599), 7);
}

TEST_F(ClaudeLines, localMidnightSplitsDaysWithinOneHour) {
    // India is UTC+05:30: local midnight falls in the middle of a UTC hour.
    ::setenv("TZ", "IST-05:30", 1);
    ::tzset();
    LogScanner india(Config{}, claudeRoot(), codexRoot());
    claude("p/s.jsonl", assistant("s", "a", "2026-01-05T18:20:00Z", Usage{1, 0, 0, 1}) + "\n" +
                            assistant("s", "b", "2026-01-05T18:40:00Z", Usage{2, 0, 0, 1}) + "\n");
    india.scanBoth(32);
    const SessionAgg& a = *india.find("s");
    ASSERT_EQ(a.days.size(), 2u);
    EXPECT_EQ(a.days.at("2026-01-05").turns, 1);
    EXPECT_EQ(a.days.at("2026-01-06").turns, 1);
    EXPECT_EQ(a.hours.size(), 1u);
    EXPECT_EQ(a.hours.begin()->second, 3);
    UtcZone back;
}

} // namespace
} // namespace quillon::testing
