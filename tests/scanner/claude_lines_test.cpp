// The Claude Code line handler, fed line by line as the reader would.
#include <gtest/gtest.h>

#include "scanner/text.h"
#include "scanner/timestamp.h"
#include "scanner_support.h"

namespace quillon::testing {
namespace {

class ClaudeLines : public ScannerTest {
  protected:
    LogScanner scanner{Config{}, claudeRoot(), codexRoot()};
    FileState state;
    void feed(const std::string& line, const std::string& fileSession = "file-session", bool isSub = false) {
        scanner.handle(line, fileSession, isSub, state);
    }
    SessionAgg* s(const std::string& id = "s1") { return scanner.find(id); }
    static Instant at(const char* ts) { return *parseTimestamp(ts); }
};

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
    EXPECT_EQ(s()->hours.at(hourNumber(at("2026-01-05T10:00:00Z"))), kU.context());
    // Priced at the sonnet row once.
    EXPECT_DOUBLE_EQ(s()->days.at("2026-01-05").usd, (10 * 3.0 + 20 * 3.75 + 30 * 0.3 + 5 * 15.0) / 1e6);
}

TEST_F(ClaudeLines, syntheticOrUndatedAssistantLinesChangeNothing) {
    feed(assistant("s1", "m1", "2026-01-05T10:00:00Z", kU, R"([{"type":"tool_use","name":"Bash"}])",
                   "<synthetic>"));
    std::string undated = assistant("s1", "m2", "x", kU);
    undated.replace(undated.find(",\"timestamp\""), std::string::npos, "}");
    feed(undated);
    feed(assistant("s1", "m3", "2026-01-05", kU)); // a date alone is no time stamp
    EXPECT_EQ(s(), nullptr);
}

TEST_F(ClaudeLines, aModelMissingIsPricedByTheDefaultRow) {
    std::string line = assistant("s1", "m1", "2026-01-05T10:00:00Z", Usage{1'000'000, 0, 0, 0});
    line.replace(line.find("\"model\":\"claude-sonnet-4-5-20250929\","), 37, "");
    feed(line);
    ASSERT_NE(s(), nullptr);
    EXPECT_DOUBLE_EQ(s()->days.at("2026-01-05").usd, 15.0);
}

TEST_F(ClaudeLines, promptsAreNormalisedAndCutByCharacters) {
    feed(userPrompt("s1", "2026-01-05T09:00:00Z", R"("<command-name>/clear</command-name>")"));
    ASSERT_NE(s(), nullptr) << "the session is created";
    EXPECT_FALSE(s()->firstPrompt);
    EXPECT_EQ(s()->lastKind, "");

    // 100 characters over several lines, with tabs, a no-break and an ideographic space, and
    // two-byte letters placed so that a byte cut would split one.
    std::string words = "fix\\n\\n  the\\tbuild\\u00a0now\\u3000";
    for (int i = 0; i < 20; ++i)
        words += "\xc3\xa9t\xc3\xa9 ";
    feed(userPrompt("s1", "2026-01-05T09:01:00Z", "\"" + words + "\""));
    ASSERT_TRUE(s()->firstPrompt);
    std::string expected = "fix the build now";
    for (int i = 0; i < 20; ++i)
        expected += " \xc3\xa9t\xc3\xa9";
    expected = text::prefixChars(expected, 70);
    EXPECT_EQ(*s()->firstPrompt, expected);
    EXPECT_TRUE(text::validUtf8(*s()->firstPrompt));
    EXPECT_EQ(s()->lastKind, "prompt");

    // A later prompt marks but keeps the first.
    feed(userPrompt("s1", "2026-01-05T09:02:00Z", R"([{"type":"text","text":"second"}])"));
    EXPECT_EQ(s()->firstPrompt, expected);
    EXPECT_EQ(s()->lastKindAt, at("2026-01-05T09:02:00Z"));
}

TEST_F(ClaudeLines, failedToolResultsKeepTheLastErrorAndSuccessClearsIt) {
    feed(userPrompt(
        "s1", "2026-01-05T09:00:00Z",
        R"([{"type":"tool_result","is_error":true,"content":[{"type":"text","text":"permission"},{"x":1},{"type":"text","text":"denied"}]},)"
        R"({"type":"tool_result","content":"fine"}])"));
    ASSERT_NE(s(), nullptr);
    EXPECT_EQ(s()->lastKind, "result");
    ASSERT_TRUE(s()->lastToolError);
    EXPECT_EQ(s()->lastToolError->text, "permission denied");
    EXPECT_EQ(s()->lastToolError->at, at("2026-01-05T09:00:00Z"));

    feed(
        userPrompt("s1", "2026-01-05T09:01:00Z", R"([{"type":"tool_result","is_error":true,"content":42}])"));
    ASSERT_TRUE(s()->lastToolError);
    EXPECT_EQ(s()->lastToolError->text, "tool call failed");

    // Long error texts are cut to 300 characters, not bytes.
    std::string longText;
    for (int i = 0; i < 400; ++i)
        longText += "\xe2\x82\xac"; // the euro sign, 3 bytes
    feed(userPrompt("s1", "2026-01-05T09:02:00Z",
                    R"([{"type":"tool_result","is_error":true,"content":")" + longText + "\"}]"));
    ASSERT_TRUE(s()->lastToolError);
    EXPECT_EQ(s()->lastToolError->text.size(), 900u);

    feed(userPrompt("s1", "2026-01-05T09:03:00Z", R"([{"type":"tool_result","content":"ok"}])"));
    EXPECT_FALSE(s()->lastToolError);

    // A failed result without a time stamp cannot be recorded, and clears the old one.
    feed(userPrompt("s1", "2026-01-05T09:04:00Z",
                    R"([{"type":"tool_result","is_error":true,"content":"a"}])"));
    ASSERT_TRUE(s()->lastToolError);
    feed(
        R"({"sessionId":"s1","type":"user","message":{"content":[{"type":"tool_result","is_error":true,"content":"b"}]}})");
    EXPECT_FALSE(s()->lastToolError);
}

TEST_F(ClaudeLines, largeSuccessfulResultsAreNotParsed) {
    std::string big(30000, 'x');
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
    ASSERT_NE(s("other"), nullptr);
    ASSERT_TRUE(s("other")->lastToolError);
    EXPECT_EQ(s("other")->lastToolError->text.size(), 300u);
}

TEST_F(ClaudeLines, titlesOnlyFromShortLines) {
    feed(R"({"type":"custom-title","customTitle":"  My title ","sessionId":"s1"})");
    ASSERT_NE(s(), nullptr);
    EXPECT_EQ(s()->title, "  My title ");
    std::string padding(5000, 'p');
    feed(R"({"type":"custom-title","customTitle":"Long","sessionId":"s1","pad":")" + padding + "\"}");
    EXPECT_EQ(s()->title, "  My title ");
    feed(R"({"type":"custom-title","customTitle":"Later"})");
    EXPECT_EQ(s("file-session")->title, "Later");
}

TEST_F(ClaudeLines, subagentLogsGiveSideTurnsToTheParent) {
    feed(userPrompt("x", "2026-01-05T09:00:00Z", R"("hello")"), "parent", true);
    EXPECT_EQ(scanner.sessions().size(), 0u);
    feed(assistant("x", "m1", "2026-01-05T09:00:00Z", kU, R"([{"type":"tool_use","name":"Bash"}])"), "parent",
         true);
    SessionAgg* p = s("parent");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(scanner.find("x"), nullptr);
    EXPECT_EQ(p->turns, 1);
    EXPECT_EQ(p->days.at("2026-01-05").sideTurns, 1);
    EXPECT_EQ(p->days.at("2026-01-05").sideContext, kU.context());
    EXPECT_EQ(p->hours.at(hourNumber(at("2026-01-05T09:00:00Z"))), kU.context());
    EXPECT_TRUE(p->last);
    EXPECT_FALSE(p->floorContext);
    EXPECT_EQ(p->peakContext, 0);
    EXPECT_EQ(p->lastContext, 0);
    EXPECT_FALSE(p->lastMainAt);
    EXPECT_EQ(p->lastKind, "");

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
    std::string withUuid =
        assistant("s1", "", "2026-01-05T10:00:00Z", kU, "[]", "claude-sonnet-4-5", -1, "\"uuid\":\"u-1\",");
    feed(withUuid);
    feed(withUuid);
    EXPECT_EQ(s()->turns, 1);
    std::string noKey = assistant("s1", "", "2026-01-05T10:00:00Z", kU);
    feed(noKey);
    feed(noKey);
    EXPECT_EQ(s()->turns, 3);
}

TEST_F(ClaudeLines, streamingLinesAddTheirIncreaseOnce) {
    const Usage first{3, 100, 1000, 25}, grown{3, 100, 1000, 173};
    feed(assistant("s1", "m1", "2026-01-05T23:59:59Z", first, R"([{"type":"tool_use","name":"Bash"}])",
                   "claude-opus-4-6", 100));
    feed(userPrompt("s1", "2026-01-06T00:00:01Z", R"([{"type":"tool_result","content":"ok"}])"));
    // The later line is dated the next day, but its increase belongs to the first line's day.
    feed(assistant("s1", "m1", "2026-01-06T00:00:02Z", grown, R"([{"type":"tool_use","name":"Bash"}])",
                   "claude-opus-4-6", 100));
    feed(assistant("s1", "m1", "2026-01-06T00:00:03Z", first, R"([{"type":"tool_use","name":"Bash"}])",
                   "claude-opus-4-6", 100));
    ASSERT_EQ(s()->days.size(), 1u);
    const DayAgg& d = s()->days.at("2026-01-05");
    EXPECT_EQ(d.turns, 1);
    EXPECT_EQ(d.usage, grown);
    Config c;
    EXPECT_NEAR(d.usd, c.usd("claude-opus-4-6", grown, 100), 1e-12);
    EXPECT_EQ(s()->turns, 1);

    // Cache counts that grow move the context figures with them.
    feed(assistant("s1", "m2", "2026-01-06T10:00:00Z", Usage{1, 10, 0, 1}));
    feed(assistant("s1", "m2", "2026-01-06T10:00:01Z", Usage{1, 50, 0, 1}, "[]", "claude-sonnet-4-5", 40));
    EXPECT_EQ(s()->lastContext, 51);
    EXPECT_EQ(s()->peakContext, 1103);
    EXPECT_EQ(s()->hours.at(hourNumber(at("2026-01-06T10:00:00Z"))), 51);
    EXPECT_NEAR(s()->days.at("2026-01-06").usd, c.usd("claude-sonnet-4-5", Usage{1, 50, 0, 1}, 40), 1e-12);
}

TEST_F(ClaudeLines, oneHourWritesArePricedAtTwiceInputAndCapped) {
    const Usage u{0, 1'000'000, 0, 0};
    feed(assistant("s1", "m1", "2026-01-05T10:00:00Z", u, "[]", "claude-sonnet-4-5", 400'000));
    // 600K five-minute writes at 3.75, 400K one-hour writes at 2 x 3.
    EXPECT_DOUBLE_EQ(s()->days.at("2026-01-05").usd, 0.6 * 3.75 + 0.4 * 6.0);
    // More one-hour tokens than cache writes: all of them, no more.
    feed(assistant("s2", "m2", "2026-01-05T10:00:00Z", u, "[]", "claude-sonnet-4-5", 5'000'000));
    EXPECT_DOUBLE_EQ(s("s2")->days.at("2026-01-05").usd, 6.0);
    EXPECT_EQ(s("s2")->days.at("2026-01-05").usage, u);
}

TEST_F(ClaudeLines, badLinesAreSkippedWithoutChange) {
    const std::string good = assistant("s1", "m1", "2026-01-05T10:00:00Z", kU);
    const std::string bad[] = {
        "",
        "not json \"type\":\"assistant\"",
        R"(["type":"assistant"])",
        good.substr(0, good.size() - 1),                                            // cut short
        good + "x",                                                                 // trailing garbage
        R"({"type":"assistant","message":"m","timestamp":"2026-01-05T10:00:00Z"})", // message not an object
        R"({"type":"assistant","message":{"usage":[1]},"timestamp":"2026-01-05T10:00:00Z"})",
        R"({"type": "assistant","message":{"usage":{"input_tokens":5}},"timestamp":"2026-01-05T10:00:00Z"})",
        "{\"type\":\"assistant\",\"sessionId\":\"s\xff\",\"message\":{\"usage\":{}},\"timestamp\":\"2026-01-"
        "05T10:00:00Z\"}",
        R"({"type":"assistant","message":{"usage":{}},"timestamp":20260105})",
    };
    for (const auto& line : bad)
        feed(line);
    EXPECT_EQ(scanner.sessions().size(), 0u);

    // Wrong-typed token fields count as 0; a CR before the line feed is only a blank.
    feed(
        R"({"type":"assistant","sessionId":"s1","message":{"id":"q","usage":{"input_tokens":"7","output_tokens":2.5,"cache_read_input_tokens":4}},"timestamp":"2026-01-05T10:00:00Z"})"
        "\r");
    ASSERT_NE(s(), nullptr);
    EXPECT_EQ(s()->days.at("2026-01-05").usage, (Usage{0, 0, 4, 0}));
}

TEST_F(ClaudeLines, hugeCountsSaturateInsteadOfWrapping) {
    const Usage huge{INT64_MAX / 2, INT64_MAX / 2, INT64_MAX / 2, INT64_MAX};
    feed(assistant("s1", "a", "2026-01-05T10:00:00Z", huge));
    feed(assistant("s1", "b", "2026-01-05T10:00:00Z", huge));
    EXPECT_EQ(s()->days.at("2026-01-05").usage.output, INT64_MAX);
    EXPECT_EQ(s()->peakContext, INT64_MAX);
    EXPECT_GE(s()->peakContext, s()->lastContext);
}

} // namespace
} // namespace quillon::testing
