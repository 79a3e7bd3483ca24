#include <gtest/gtest.h>

#include "gate_fixture.h"
#include "settings/disk.h"

namespace quillon::testing {
namespace {

class Watcher : public GateTest {
  protected:
    void SetUp() override {
        if (earlierGhPresent())
            GTEST_SKIP() << "a gh in /opt/homebrew/bin or /usr/local/bin comes before the fake one in "
                            "~/.local/bin, so these tests cannot run on this machine";
        disk::makeDirs(Config::dismissedDir());
        installFakeGh();
        setPulls("acme/api", "[{\"number\":7,\"title\":\"Speed up\",\"headRefOid\":\"c0ffee\",\"statusCheckRollup\":"
                             "[{\"name\":\"ci\",\"conclusion\":\"FAILURE\",\"completedAt\":\"2025-06-15T10:00:00Z\"}]}]");
        recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    }

    GateWatcher watcher{Config{}};

    static std::vector<std::string> ids(const std::vector<Gate>& gates) {
        std::vector<std::string> out;
        for (const auto& g : gates) out.push_back(g.id);
        return out;
    }
};

TEST_F(Watcher, gitHubIsPolledAtMostEvery170Seconds) {
    auto first = watcher.current(scanner, true, testNow);
    auto second = watcher.current(scanner, true, testNow + 100);
    EXPECT_EQ(pullListCalls().size(), 1u);
    EXPECT_EQ(ids(first), std::vector<std::string>{"pr:acme/api#7@c0ffee"});
    EXPECT_EQ(second, first);

    // The window counts from the start of the last poll, and exactly 170 s is not more than 170.
    watcher.current(scanner, true, testNow + 170);
    EXPECT_EQ(pullListCalls().size(), 1u);
    // A fixed pull request stays listed until the next poll.
    setPulls("acme/api", "[]");
    EXPECT_EQ(watcher.current(scanner, true, testNow + 170).size(), 1u);
    EXPECT_TRUE(watcher.current(scanner, true, testNow + 170.5).empty());
    EXPECT_EQ(pullListCalls().size(), 2u);
}

TEST_F(Watcher, refreshWithoutPollingRunsNoTool) {
    EXPECT_TRUE(watcher.current(scanner, false, testNow).empty());
    EXPECT_TRUE(ghCalls().empty());
    EXPECT_EQ(watcher.gitHubNote(), std::nullopt);
}

TEST_F(Watcher, watchGitHubOffHidesTheKeptChecks) {
    ASSERT_EQ(watcher.current(scanner, true, testNow).size(), 1u);
    watcher.config.watchGitHub = false;
    EXPECT_TRUE(watcher.current(scanner, true, testNow + 500).empty());
    EXPECT_EQ(pullListCalls().size(), 1u);
    watcher.config.watchGitHub = true;
    EXPECT_EQ(ids(watcher.current(scanner, false, testNow + 600)), std::vector<std::string>{"pr:acme/api#7@c0ffee"});
    EXPECT_EQ(pullListCalls().size(), 1u);
}

TEST_F(Watcher, dismissedGatesStayHiddenWhileTheirSourceLastsAndNewOnesShow) {
    auto gates = watcher.current(scanner, true, testNow);
    ASSERT_EQ(gates.size(), 1u);
    watcher.dismiss(gates[0], testNow);
    EXPECT_TRUE(watcher.current(scanner, true, testNow + 200).empty());
    EXPECT_EQ(pullListCalls().size(), 2u);

    // A new push is a new head commit, so a new gate.
    setPulls("acme/api", "[{\"number\":7,\"title\":\"Speed up\",\"headRefOid\":\"beef\",\"statusCheckRollup\":"
                         "[{\"name\":\"ci\",\"conclusion\":\"FAILURE\"}]}]");
    EXPECT_EQ(ids(watcher.current(scanner, true, testNow + 400)), std::vector<std::string>{"pr:acme/api#7@beef"});
}

TEST_F(Watcher, newestFirstAcrossKindsAndStableOnTies) {
    // The check's since is 2025-06-15T10:00:00Z = 1749981600.
    writeFileAt(Config::alertsDir() + "/tie.txt", "same second", 1'749'990'000);
    writeFileAt(Config::alertsDir() + "/newest.txt", "x", 1'749'999'000);
    writeFileAt(Config::alertsDir() + "/oldest.txt", "x", 1'749'900'000);
    SessionAgg& s = recentSession("stuck", "/w", 3600);
    s.lastToolError = ToolError{1'749'990'000, "pre-commit hook failed"};

    auto gates = watcher.current(scanner, true, testNow);
    EXPECT_EQ(ids(gates), (std::vector<std::string>{
                              "alert:newest.txt:1749999000",
                              "alert:tie.txt:1749990000",
                              "session:stuck:1749990000",
                              "pr:acme/api#7@c0ffee",
                              "alert:oldest.txt:1749900000",
                          }));
}

} // namespace
} // namespace quillon::testing
