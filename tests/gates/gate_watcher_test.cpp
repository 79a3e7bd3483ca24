#include <gtest/gtest.h>

#include "gate_fixture.h"
#include "settings/disk.h"

namespace quillon::testing {
namespace {

std::string failedPull(const std::string& head) {
    return "[{\"number\":7,\"title\":\"Speed up\",\"headRefOid\":\"" + head +
           "\",\"statusCheckRollup\":[{\"name\":\"ci\",\"conclusion\":\"FAILURE\","
           "\"completedAt\":\"2025-06-15T10:00:00Z\"}]}]";
}

class Watcher : public GhTest {
  protected:
    void SetUp() override {
        GhTest::SetUp();
        if (IsSkipped()) return;
        disk::makeDirs(Config::dismissedDir());
        setPulls("acme/api", failedPull("c0ffee"));
        recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    }

    std::vector<std::string> currentIds(bool poll, Instant now) { return ids(watcher.current(scanner, poll, now)); }
    const std::vector<std::string> pr7{"pr:acme/api#7@c0ffee"};
};

TEST_F(Watcher, gitHubIsPolledOnlyWhenAskedAndAtMostEvery170Seconds) {
    EXPECT_TRUE(currentIds(false, testNow).empty());
    EXPECT_TRUE(ghCalls().empty());

    EXPECT_EQ(currentIds(true, testNow), pr7);
    EXPECT_EQ(currentIds(true, testNow + 100), pr7);
    // The window counts from the start of the last poll, and exactly 170 s is not more than 170.
    // A fixed pull request stays listed until the next poll.
    setPulls("acme/api", "[]");
    EXPECT_EQ(currentIds(true, testNow + 170), pr7);
    EXPECT_EQ(pullListCalls().size(), 1u);
    EXPECT_TRUE(currentIds(true, testNow + 170.5).empty());
    EXPECT_EQ(pullListCalls().size(), 2u);
}

TEST_F(Watcher, watchGitHubOffHidesTheKeptChecksWithoutPolling) {
    ASSERT_EQ(currentIds(true, testNow), pr7);
    watcher.config.watchGitHub = false;
    EXPECT_TRUE(currentIds(true, testNow + 500).empty());
    watcher.config.watchGitHub = true;
    EXPECT_EQ(currentIds(false, testNow + 600), pr7);
    EXPECT_EQ(pullListCalls().size(), 1u);
}

TEST_F(Watcher, dismissedCheckStaysHiddenUntilANewPush) {
    auto gates = watcher.current(scanner, true, testNow);
    ASSERT_EQ(gates.size(), 1u);
    watcher.dismiss(gates[0], testNow);
    EXPECT_TRUE(currentIds(true, testNow + 200).empty());
    EXPECT_EQ(pullListCalls().size(), 2u);
    // A new push is a new head commit, so a new gate.
    setPulls("acme/api", failedPull("beef"));
    EXPECT_EQ(currentIds(true, testNow + 400), std::vector<std::string>{"pr:acme/api#7@beef"});
}

TEST_F(Watcher, newestFirstAcrossKindsAndStableOnTies) {
    // The check's since is 2025-06-15T10:00:00Z = 1749981600.
    writeFileAt(Config::alertsDir() + "/tie.txt", "same second", 1'749'990'000);
    writeFileAt(Config::alertsDir() + "/newest.txt", "x", 1'749'999'000);
    writeFileAt(Config::alertsDir() + "/oldest.txt", "x", 1'749'900'000);
    stoppedSession("stuck", "pre-commit hook failed", testNow - 1'749'990'000, 3600);
    EXPECT_EQ(currentIds(true, testNow), (std::vector<std::string>{
                                             "alert:newest.txt:1749999000",
                                             "alert:tie.txt:1749990000",
                                             "session:stuck:1749990000",
                                             "pr:acme/api#7@c0ffee",
                                             "alert:oldest.txt:1749900000",
                                         }));
}

} // namespace
} // namespace quillon::testing
