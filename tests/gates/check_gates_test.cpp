#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

#include "gate_fixture.h"
#include "settings/disk.h"

namespace quillon::testing {
namespace {

const std::string listTail = " --json number,title,url,headRefOid,statusCheckRollup";

std::string pull(int number, const std::string& title, const std::string& checks,
                 const std::string& head = "abc123") {
    return "{\"number\":" + std::to_string(number) + ",\"title\":\"" + title +
           "\",\"url\":\"https://github.com/acme/api-server/pull/" + std::to_string(number) +
           "\",\"headRefOid\":\"" + head + "\",\"statusCheckRollup\":[" + checks + "]}";
}

std::string check(const std::string& name, const std::string& conclusion,
                  const std::string& completedAt = "2025-06-15T10:00:00Z") {
    return "{\"__typename\":\"CheckRun\",\"name\":\"" + name + "\",\"conclusion\":\"" + conclusion +
           "\",\"status\":\"COMPLETED\",\"completedAt\":\"" + completedAt + "\"}";
}

// Environment variables set for one test and restored after it.
class EnvVar {
  public:
    EnvVar(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        ::setenv(name, value, 1);
    }
    ~EnvVar() {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

class CheckGates : public GateTest {
  protected:
    void SetUp() override {
        if (earlierGhPresent())
            GTEST_SKIP() << "a gh in /opt/homebrew/bin or /usr/local/bin comes before the fake one in "
                            "~/.local/bin, so these tests cannot run on this machine";
        ::unsetenv("QUILLON_PR_STATE");
        ::unsetenv("QUILLON_PR_LIMIT");
        installFakeGh();
    }

    GateWatcher watcher{Config{}};
};

TEST_F(CheckGates, ghIsTheFirstExecutableCandidate) {
    EXPECT_EQ(watcher.gh(), home.path() + "/.local/bin/gh");

    std::string third = home.write(".local/gh/bin/gh", "#!/bin/sh\n");
    ::chmod(third.c_str(), 0755);
    GateWatcher second{Config{}};
    EXPECT_EQ(second.gh(), third);
    // The first answer is kept for the watcher's life.
    EXPECT_EQ(watcher.gh(), home.path() + "/.local/bin/gh");

    // Not executable, or a folder: not a candidate.
    ::chmod(third.c_str(), 0644);
    GateWatcher notExecutable{Config{}};
    EXPECT_EQ(notExecutable.gh(), home.path() + "/.local/bin/gh");
    std::remove(third.c_str());
    disk::makeDirs(third);
    GateWatcher folder{Config{}};
    EXPECT_EQ(folder.gh(), home.path() + "/.local/bin/gh");
}

TEST_F(CheckGates, missingGhGivesTheNoteAndNoGates) {
    if (earlierGhPresent(true)) GTEST_SKIP() << "/usr/bin/gh exists on this machine";
    std::remove((home.path() + "/.local/bin/gh").c_str());
    recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    EXPECT_TRUE(watcher.failedChecks(scanner, testNow).empty());
    EXPECT_EQ(watcher.gitHubNote(), "GitHub checks are off: the gh command line tool was not found.");
    // Installed later, it is found only by a new watcher.
    installFakeGh();
    setPulls("acme/api", "[]");
    watcher.failedChecks(scanner, testNow);
    EXPECT_EQ(watcher.gitHubNote(), "GitHub checks are off: the gh command line tool was not found.");
    EXPECT_TRUE(ghCalls().empty());
}

TEST_F(CheckGates, repositoryFromTheOriginRemote) {
    EXPECT_EQ(watcher.repo(makeRepo("ssh", "git@github.com:acme/api-server.git")), "acme/api-server");
    EXPECT_EQ(watcher.repo(makeRepo("https", "https://github.com/acme/web")), "acme/web");
    EXPECT_EQ(watcher.repo(makeRepo("https-git", "https://github.com/acme/tool.git/")), "acme/tool");
    EXPECT_EQ(watcher.repo(makeRepo("ssh-url", "ssh://git@github.com/acme/cli.git")), "acme/cli");
    EXPECT_EQ(watcher.repo(makeRepo("gitlab", "git@gitlab.com:acme/api.git")), std::nullopt);
    EXPECT_EQ(watcher.repo(makeRepo("owner-only", "https://github.com/acme")), std::nullopt);
    EXPECT_EQ(watcher.repo(makeRepo("too-deep", "https://github.com/acme/api/tree")), std::nullopt);
    EXPECT_EQ(watcher.repo(home.path() + "/nowhere"), std::nullopt);
    std::string plain = home.path() + "/plain";
    disk::makeDirs(plain);
    EXPECT_EQ(watcher.repo(plain), std::nullopt);
}

TEST_F(CheckGates, repositoryAnswersAreCached) {
    std::string dir = makeRepo("moved", "git@github.com:acme/old.git");
    std::string plain = home.path() + "/plain";
    disk::makeDirs(plain);
    EXPECT_EQ(watcher.repo(dir), "acme/old");
    EXPECT_EQ(watcher.repo(plain), std::nullopt);
    ASSERT_EQ(std::system(("git -C '" + dir + "' remote set-url origin git@github.com:acme/new.git").c_str()), 0);
    makeRepo("plain", "git@github.com:acme/now-a-repo.git");
    EXPECT_EQ(watcher.repo(dir), "acme/old");
    EXPECT_EQ(watcher.repo(plain), std::nullopt);
}

TEST_F(CheckGates, buildsTheGateOfAFailedPullRequest) {
    setLogin("octocat\n");
    setPulls("acme/api-server",
             "[" + pull(482, "Fix flaky checkout test", check("test", "FAILURE") + "," + check("lint", "FAILURE") + "," +
                                                     check("build", "SUCCESS")) +
                 "]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api-server.git"));
    auto gates = watcher.failedChecks(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    const Gate& g = gates[0];
    EXPECT_EQ(g.id, "pr:acme/api-server#482@abc123");
    EXPECT_EQ(g.kind, Gate::Kind::check);
    EXPECT_EQ(g.title, "Checks failed: api-server#482");
    EXPECT_EQ(g.detail, "Fix flaky checkout test \u00B7 lint, test");
    EXPECT_EQ(g.link, "https://github.com/acme/api-server/pull/482");
    EXPECT_EQ(g.since, 1'749'981'600);  // 2025-06-15T10:00:00Z
    EXPECT_EQ(g.hint, "Open needs your browser signed in to GitHub as octocat. A 404 page means it is "
                      "signed in as a different account.");
    EXPECT_EQ(watcher.gitHubNote(), std::nullopt);
    EXPECT_EQ(ghCalls(), (std::vector<std::string>{
                             "api user --jq .login",
                             "pr list -R acme/api-server --state open --limit 60" + listTail,
                         }));
}

TEST_F(CheckGates, whichChecksCountAsFailed) {
    std::string status = "{\"__typename\":\"StatusContext\",\"context\":\"ci/legacy\",\"state\":\"ERROR\"}";
    std::string nameless = "{\"conclusion\":\"TIMED_OUT\"}";
    setPulls("acme/api",
             "[" + pull(1, "lower case", check("unit", "failure")) + "," +
                 pull(2, "neutral and cancelled", check("a", "NEUTRAL") + "," + check("b", "CANCELLED")) + "," +
                 pull(3, "status context", status) + "," + pull(4, "nameless", nameless + "," + check("x", "STARTUP_FAILURE")) +
                 "," + pull(5, "action", check("approve", "action_required")) + "," +
                 "{\"number\":6,\"title\":\"no rollup\"}," + pull(7, "no name at all", nameless) + "]");
    recentSession("s", makeRepo("api", "https://github.com/acme/api.git"));
    auto gates = watcher.failedChecks(scanner, testNow);
    std::vector<std::string> details;
    for (const auto& g : gates) details.push_back(g.detail);
    EXPECT_EQ(details, (std::vector<std::string>{"lower case \u00B7 unit", "status context \u00B7 ci/legacy",
                                                 "nameless \u00B7 x", "action \u00B7 approve",
                                                 "no name at all \u00B7 "}));
}

TEST_F(CheckGates, namesAreSortedAndCutToFour) {
    std::string checks;
    for (const char* n : {"zeta", "beta", "eta", "alpha", "delta", "gamma", "beta"})
        checks += (checks.empty() ? "" : ",") + check(n, "FAILURE");
    setPulls("acme/api", "[" + pull(9, "Many", checks) + "]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    auto gates = watcher.failedChecks(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].detail, "Many \u00B7 alpha, beta, delta, eta");
}

TEST_F(CheckGates, sinceIsTheLatestParsableCompletionOfAFailedCheck) {
    setPulls("acme/api",
             "[" +
                 pull(1, "latest", check("a", "FAILURE", "2025-06-15T10:00:00Z") + "," +
                                       check("b", "FAILURE", "2025-06-15T11:00:00Z") + "," +
                                       check("passed later", "SUCCESS", "2025-06-15T12:00:00Z") + "," +
                                       check("fractional", "FAILURE", "2025-06-15T13:00:00.5Z")) +
                 "," + pull(2, "none parse", check("a", "FAILURE", "yesterday")) + "]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    auto gates = watcher.failedChecks(scanner, testNow);
    ASSERT_EQ(gates.size(), 2u);
    EXPECT_EQ(gates[0].since, 1'749'985'200);  // 11:00
    EXPECT_EQ(gates[1].since, testNow);
}

TEST_F(CheckGates, missingMembersCountAsAbsent) {
    setPulls("acme/api", "[{\"number\":\"12\",\"title\":5,\"statusCheckRollup\":[" + check("t", "FAILURE") + "]}]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    auto gates = watcher.failedChecks(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].id, "pr:acme/api#0@");
    EXPECT_EQ(gates[0].title, "Checks failed: api#0");
    EXPECT_EQ(gates[0].detail, " \u00B7 t");
    EXPECT_EQ(gates[0].link, std::nullopt);
}

TEST_F(CheckGates, onlyTheFirstEightRecentRepositoriesArePolled) {
    // Created in an order unlike the names' order.
    for (int i : {7, 2, 9, 0, 5, 3, 8, 1, 6, 4}) {
        std::string name = "r" + std::to_string(i);
        recentSession("s" + name, makeRepo(name, "git@github.com:acme/" + name + ".git"));
        setPulls("acme/" + name, "[]");
    }
    watcher.failedChecks(scanner, testNow);
    std::vector<std::string> expected;
    for (int i = 0; i < 8; ++i)
        expected.push_back("pr list -R acme/r" + std::to_string(i) + " --state open --limit 60" + listTail);
    EXPECT_EQ(pullListCalls(), expected);
}

TEST_F(CheckGates, recentSessionsWithADirectoryOnly) {
    std::string shared = makeRepo("shared", "git@github.com:acme/shared.git");
    recentSession("a", shared, 60);
    recentSession("b", makeRepo("shared-copy", "https://github.com/acme/shared"), 120);
    recentSession("old", makeRepo("old", "git@github.com:acme/old.git"), 259200);
    recentSession("just-recent", makeRepo("edge", "git@github.com:acme/edge.git"), 259199);
    SessionAgg& never = scanner.session("never");
    never.cwd = makeRepo("never", "git@github.com:acme/never.git");
    recentSession("no-cwd", "", 60);
    for (const char* r : {"acme/shared", "acme/old", "acme/edge", "acme/never"}) setPulls(r, "[]");
    watcher.failedChecks(scanner, testNow);
    EXPECT_EQ(pullListCalls(), (std::vector<std::string>{
                                   "pr list -R acme/edge --state open --limit 60" + listTail,
                                   "pr list -R acme/shared --state open --limit 60" + listTail,
                               }));
}

TEST_F(CheckGates, stateAndLimitComeFromTheEnvironmentOnEveryPoll) {
    setPulls("acme/api", "[]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    {
        EnvVar state("QUILLON_PR_STATE", "all");
        EnvVar limit("QUILLON_PR_LIMIT", "5");
        watcher.failedChecks(scanner, testNow);
    }
    {
        EnvVar limit("QUILLON_PR_LIMIT", "not a number");
        watcher.failedChecks(scanner, testNow);
    }
    EXPECT_EQ(pullListCalls(), (std::vector<std::string>{
                                   "pr list -R acme/api --state all --limit 5" + listTail,
                                   "pr list -R acme/api --state open --limit not a number" + listTail,
                               }));
}

TEST_F(CheckGates, unreadableRepositoriesAreNamedInTheNote) {
    setLogin("octocat");
    setPulls("acme/good", "[" + pull(3, "Broken", check("ci", "FAILURE")) + "]");
    setPulls("acme/text", "Not JSON at all");
    setPulls("acme/object", "{\"message\":\"Not Found\"}");
    setPulls("acme/mixed", "[" + pull(4, "x", check("ci", "FAILURE")) + ", 5]");
    setPulls("acme/empty", "[]");
    for (const char* r : {"good", "text", "empty"})
        recentSession(r, makeRepo(r, std::string("git@github.com:acme/") + r + ".git"));
    recentSession("missing", makeRepo("missing", "git@github.com:acme/missing.git"));

    auto gates = watcher.failedChecks(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].id, "pr:acme/good#3@abc123");
    EXPECT_EQ(watcher.gitHubNote(),
              "Not watching checks for acme/missing, acme/text: the signed-in GitHub account cannot read it.");

    // One unreadable repository.
    home.write("gh/acme_missing.json", "[]");
    for (const char* r : {"object", "mixed"}) recentSession(r, makeRepo(r, std::string("git@github.com:acme/") + r + ".git"));
    home.write("gh/acme_text.json", "[]");
    home.write("gh/acme_object.json", "[]");
    watcher.failedChecks(scanner, testNow);
    EXPECT_EQ(watcher.gitHubNote(), "Not watching checks for acme/mixed: the signed-in GitHub account cannot read it.");

    // Every repository readable again: no note.
    home.write("gh/acme_mixed.json", "[]");
    watcher.failedChecks(scanner, testNow);
    EXPECT_EQ(watcher.gitHubNote(), std::nullopt);
}

TEST_F(CheckGates, accountIsAskedUntilKnown) {
    setPulls("acme/api", "[" + pull(1, "t", check("ci", "FAILURE")) + "]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    auto gates = watcher.failedChecks(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].hint, std::nullopt);

    setLogin("  hubot \n");
    gates = watcher.failedChecks(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].hint, "Open needs your browser signed in to GitHub as hubot. A 404 page means it is "
                             "signed in as a different account.");
    watcher.failedChecks(scanner, testNow);
    int accountCalls = 0;
    for (const auto& c : ghCalls()) accountCalls += c == "api user --jq .login";
    EXPECT_EQ(accountCalls, 2);
}

TEST_F(CheckGates, outsideTextIsKeptAsWritten) {
    // JSON escapes decode to the characters they stand for; nothing else is changed.
    setPulls("acme/api", "[" +
                             pull(5, "\\u001b]52;c;aGk=\\u0007<img src=x>\\r\\nX-Injected: 1 \\u202Eevil",
                                  check("<a href=\\\"javascript:x\\\">ci</a>", "FAILURE")) +
                             "]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    auto gates = watcher.failedChecks(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].detail, "\x1b]52;c;aGk=\x07<img src=x>\r\nX-Injected: 1 \u202E"
                               "evil \u00B7 <a href=\"javascript:x\">ci</a>");
}

} // namespace
} // namespace quillon::testing
