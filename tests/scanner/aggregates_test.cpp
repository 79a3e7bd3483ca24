// The session aggregates as the handlers leave them.
#include <gtest/gtest.h>

#include "scanner/timestamp.h"
#include "scanner_support.h"

namespace quillon::testing {
namespace {

class Aggregates : public ScannerTest {
  protected:
    LogScanner scanner{Config{}, claudeRoot(), codexRoot()};
    FileState state;
};

TEST_F(Aggregates, namesFallBackToPromptThenIdPrefix) {
    SessionAgg& s = scanner.session("abcdefghijkl");
    s.title = "";
    EXPECT_EQ(s.name(), "abcdefgh");
    s.firstPrompt = "fix it";
    EXPECT_EQ(s.name(), "fix it");
    s.title = "Title";
    EXPECT_EQ(s.name(), "Title");
    EXPECT_EQ(scanner.session("abcde").name(), "abcde");

    FileState codexState;
    scanner.handleCodex(
        R"({"timestamp":"2026-01-05T10:00:00Z","type":"event_msg","payload":{"type":"task_started"}})",
        "rollout-x", codexState);
    EXPECT_EQ(scanner.find("codex:rollout-x")->name(), "codex:ro");
}

TEST_F(Aggregates, tokensSinceCountTheWholeStartingHour) {
    const Instant t = *parseTimestamp("2026-01-05T10:00:00Z");
    scanner.handle(assistant("s", "a", "2026-01-05T10:10:00Z", Usage{100, 0, 0, 1}), "s", false, state);
    scanner.handle(assistant("s", "b", "2026-01-05T11:50:00Z", Usage{20, 0, 0, 1}), "s", false, state);
    const SessionAgg& s = *scanner.find("s");
    EXPECT_EQ(s.tokens(t + 1800), 120);
    EXPECT_EQ(s.tokens(t + 3600 + 3599), 20);
    EXPECT_EQ(s.tokens(t + 7200), 0);
}

TEST_F(Aggregates, localMidnightSplitsDaysWithinOneHour) {
    // India is UTC+05:30: local midnight falls in the middle of a UTC hour.
    ::setenv("TZ", "IST-05:30", 1);
    ::tzset();
    LogScanner india(Config{}, claudeRoot(), codexRoot());
    india.handle(assistant("s", "a", "2026-01-05T18:20:00Z", Usage{1, 0, 0, 1}), "s", false, state);
    india.handle(assistant("s", "b", "2026-01-05T18:40:00Z", Usage{2, 0, 0, 1}), "s", false, state);
    const SessionAgg& s = *india.find("s");
    ASSERT_EQ(s.days.size(), 2u);
    EXPECT_EQ(s.days.at("2026-01-05").turns, 1);
    EXPECT_EQ(s.days.at("2026-01-06").turns, 1);
    EXPECT_EQ(s.hours.size(), 1u);
    EXPECT_EQ(s.hours.begin()->second, 3);
    UtcZone back;
}

} // namespace
} // namespace quillon::testing
