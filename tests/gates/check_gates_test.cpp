#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>

#include "gate_fixture.h"
#include "settings/disk.h"

namespace quillon::testing {
namespace {

const std::string listTail = " --state open --limit 60 --json number,title,url,headRefOid,statusCheckRollup";

std::string pull(int number, const std::string& title, const std::string& checks) {
    return "{\"number\":" + std::to_string(number) + ",\"title\":\"" + title +
           "\",\"url\":\"https://github.com/acme/api-server/pull/" + std::to_string(number) +
           "\",\"headRefOid\":\"abc123\",\"statusCheckRollup\":[" + checks + "]}";
}

std::string check(const std::string& name, const std::string& conclusion,
                  const std::string& completedAt = "2025-06-15T10:00:00Z") {
    return "{\"__typename\":\"CheckRun\",\"name\":\"" + name + "\",\"conclusion\":\"" + conclusion +
           "\",\"status\":\"COMPLETED\",\"completedAt\":\"" + completedAt + "\"}";
}

const std::string hintFor = "Open needs your browser signed in to GitHub as ";
const std::string hintTail = ". A 404 page means it is signed in as a different account.";

using CheckGates = GhTest;

TEST_F(CheckGates, ghIsTheFirstExecutableCandidateFoundOncePerWatcher) {
    const std::string fourth = home.path() + "/.local/bin/gh";
    EXPECT_EQ(watcher.gh(), fourth);

    std::string third = home.write(".local/gh/bin/gh", "#!/bin/sh\n");
    ::chmod(third.c_str(), 0755);
    EXPECT_EQ(GateWatcher{Config{}}.gh(), third);
    EXPECT_EQ(watcher.gh(), fourth);
    // Not executable, or a folder: not a candidate.
    ::chmod(third.c_str(), 0644);
    EXPECT_EQ(GateWatcher{Config{}}.gh(), fourth);
    std::remove(third.c_str());
    disk::makeDirs(third);
    EXPECT_EQ(GateWatcher{Config{}}.gh(), fourth);
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

TEST_F(CheckGates, repositoryFromTheOriginRemoteOncePerFolder) {
    EXPECT_EQ(watcher.repo(makeRepo("ssh", "git@github.com:acme/api-server.git")), "acme/api-server");
    EXPECT_EQ(watcher.repo(makeRepo("https", "https://github.com/acme/web")), "acme/web");
    EXPECT_EQ(watcher.repo(makeRepo("https-git", "https://github.com/acme/tool.git/")), "acme/tool");
    EXPECT_EQ(watcher.repo(makeRepo("ssh-url", "ssh://git@github.com/acme/cli.git")), "acme/cli");
    EXPECT_EQ(watcher.repo(makeRepo("gitlab", "git@gitlab.com:acme/api.git")), std::nullopt);
    EXPECT_EQ(watcher.repo(makeRepo("owner-only", "https://github.com/acme")), std::nullopt);
    EXPECT_EQ(watcher.repo(makeRepo("too-deep", "https://github.com/acme/api/tree")), std::nullopt);
    EXPECT_EQ(watcher.repo(home.path() + "/nowhere"), std::nullopt);
    std::string plain = home.path() + "/src/plain";
    disk::makeDirs(plain);
    EXPECT_EQ(watcher.repo(plain), std::nullopt);

    // Answers are kept: a changed remote or a folder turned repository shows only to a new watcher.
    ASSERT_EQ(std::system(("git -C '" + home.path() + "/src/ssh' remote set-url origin "
                           "git@github.com:acme/new.git").c_str()), 0);
    makeRepo("plain", "git@github.com:acme/now-a-repo.git");
    EXPECT_EQ(watcher.repo(home.path() + "/src/ssh"), "acme/api-server");
    EXPECT_EQ(watcher.repo(plain), std::nullopt);
}

TEST_F(CheckGates, buildsTheGateOfAFailedPullRequest) {
    setLogin("octocat\n");
    setPulls("acme/api-server", "[" + pull(482, "Fix flaky checkout test",
                                           check("test", "FAILURE") + "," + check("lint", "FAILURE") + "," +
                                               check("build", "SUCCESS")) + "]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api-server.git"));
    auto gates = watcher.failedChecks(scanner, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0], (Gate{"pr:acme/api-server#482@abc123", Gate::Kind::check, "Checks failed: api-server#482",
                              "Fix flaky checkout test \u00B7 lint, test",
                              "https://github.com/acme/api-server/pull/482",
                              1'749'981'600,  // 2025-06-15T10:00:00Z
                              hintFor + "octocat" + hintTail}));
    EXPECT_EQ(watcher.gitHubNote(), std::nullopt);
    EXPECT_EQ(ghCalls(), (std::vector<std::string>{"api user --jq .login", "pr list -R acme/api-server" + listTail}));
}

TEST_F(CheckGates, readsEachPullRequestsFailedChecksTheirNamesAndLatestCompletion) {
    std::string status = "{\"__typename\":\"StatusContext\",\"context\":\"ci/legacy\",\"state\":\"ERROR\"}";
    std::string nameless = "{\"conclusion\":\"TIMED_OUT\"}";
    std::string many;
    for (const char* n : {"zeta", "beta", "eta", "alpha", "delta", "gamma", "beta"})
        many += (many.empty() ? "" : ",") + check(n, "FAILURE");
    const std::string pulls[] = {
        pull(1, "lower case", check("unit", "failure")),
        pull(2, "neutral and cancelled", check("a", "NEUTRAL") + "," + check("b", "CANCELLED")),
        pull(3, "status context", status),
        pull(4, "nameless", nameless + "," + check("x", "STARTUP_FAILURE")),
        pull(5, "action", check("approve", "action_required")),
        "{\"number\":6,\"title\":\"no rollup\"}",
        pull(7, "no name at all", nameless),
        pull(8, "many", many),
        pull(9, "latest", check("a", "FAILURE", "2025-06-15T10:00:00Z") + "," +
                              check("b", "FAILURE", "2025-06-15T11:00:00Z") + "," +
                              check("passed later", "SUCCESS", "2025-06-15T12:00:00Z") + "," +
                              check("fractional", "FAILURE", "2025-06-15T13:00:00.5Z")),
        pull(10, "none parse", check("a", "FAILURE", "yesterday")),
        // Members of the wrong type count as absent.
        "{\"number\":\"12\",\"title\":5,\"statusCheckRollup\":[" + check("t", "FAILURE") + "]}",
        // Outside text: JSON escapes decode to the characters they stand for; nothing else is changed.
        pull(11, "\\u001b]52;c;aGk=\\u0007<img src=x>\\r\\nX-Injected: 1 \\u202Eevil",
             check("<a href=\\\"javascript:x\\\">ci</a>", "FAILURE")),
    };
    std::string list;
    for (const auto& p : pulls) list += (list.empty() ? "[" : ",") + p;
    setPulls("acme/api", list + "]");
    recentSession("s", makeRepo("api", "https://github.com/acme/api.git"));

    auto gates = watcher.failedChecks(scanner, testNow);
    std::vector<std::pair<std::string, Instant>> got;
    for (const auto& g : gates) got.emplace_back(g.detail, g.since);
    const Instant ten = 1'749'981'600, eleven = ten + 3600;
    EXPECT_EQ(got, (std::vector<std::pair<std::string, Instant>>{
                       {"lower case \u00B7 unit", ten},
                       {"status context \u00B7 ci/legacy", testNow},
                       {"nameless \u00B7 x", ten},
                       {"action \u00B7 approve", ten},
                       {"no name at all \u00B7 ", testNow},
                       {"many \u00B7 alpha, beta, delta, eta", ten},
                       {"latest \u00B7 a, b, fractional", eleven},
                       {"none parse \u00B7 a", testNow},
                       {" \u00B7 t", ten},
                       {"\x1b]52;c;aGk=\x07<img src=x>\r\nX-Injected: 1 \u202E"
                        "evil \u00B7 <a href=\"javascript:x\">ci</a>",
                        ten},
                   }));
    EXPECT_EQ(gates.at(8).title, "Checks failed: api#0");
    EXPECT_EQ(gates.at(8).link, std::nullopt);
}

TEST_F(CheckGates, pollsTheFirstEightRepositoriesOfRecentSessionsWithAFolder) {
    // Created in an order unlike the names' order.
    for (int i : {7, 2, 9, 0, 5, 3, 8, 1, 6, 4}) {
        std::string name = "r" + std::to_string(i);
        recentSession("s" + name, makeRepo(name, "git@github.com:acme/" + name + ".git"));
        setPulls("acme/" + name, "[]");
    }
    recentSession("r0-again", makeRepo("r0-copy", "https://github.com/acme/r0"), 120);
    // Three days ago is too old; a second less is recent.
    recentSession("old", makeRepo("a-old", "git@github.com:acme/a-old.git"), 259200);
    recentSession("edge", makeRepo("a-edge", "git@github.com:acme/a-edge.git"), 259199);
    scanner.session("never").cwd = makeRepo("a-never", "git@github.com:acme/a-never.git");
    recentSession("no-cwd", "", 60);
    for (const char* r : {"acme/a-old", "acme/a-edge", "acme/a-never"}) setPulls(r, "[]");

    watcher.failedChecks(scanner, testNow);
    std::vector<std::string> expected{"pr list -R acme/a-edge" + listTail};
    for (int i = 0; i < 7; ++i) expected.push_back("pr list -R acme/r" + std::to_string(i) + listTail);
    EXPECT_EQ(pullListCalls(), expected);
}

TEST_F(CheckGates, stateAndLimitComeFromTheEnvironmentOnEveryPoll) {
    setPulls("acme/api", "[]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    for (const char* limit : {"5", "not a number"}) {
        ::setenv("QUILLON_PR_LIMIT", limit, 1);
        watcher.failedChecks(scanner, testNow);
        ::setenv("QUILLON_PR_STATE", "all", 1);
    }
    ::unsetenv("QUILLON_PR_STATE");
    ::unsetenv("QUILLON_PR_LIMIT");
    const std::string json = " --json number,title,url,headRefOid,statusCheckRollup";
    EXPECT_EQ(pullListCalls(),
              (std::vector<std::string>{"pr list -R acme/api --state open --limit 5" + json,
                                        "pr list -R acme/api --state all --limit not a number" + json}));
}

TEST_F(CheckGates, unreadableRepositoriesAreNamedInTheNote) {
    setPulls("acme/good", "[" + pull(3, "Broken", check("ci", "FAILURE")) + "]");
    setPulls("acme/text", "Not JSON at all");
    setPulls("acme/object", "{\"message\":\"Not Found\"}");
    setPulls("acme/mixed", "[" + pull(4, "x", check("ci", "FAILURE")) + ", 5]");
    setPulls("acme/empty", "[]");
    for (const char* r : {"good", "text", "empty", "missing"})
        recentSession(r, makeRepo(r, std::string("git@github.com:acme/") + r + ".git"));

    auto gates = watcher.failedChecks(scanner, testNow);
    EXPECT_EQ(ids(gates), std::vector<std::string>{"pr:acme/good#3@abc123"});
    EXPECT_EQ(watcher.gitHubNote(),
              "Not watching checks for acme/missing, acme/text: the signed-in GitHub account cannot read it.");

    // One unreadable repository.
    for (const char* r : {"object", "mixed"})
        recentSession(r, makeRepo(r, std::string("git@github.com:acme/") + r + ".git"));
    for (const char* r : {"acme/missing", "acme/text", "acme/object"}) setPulls(r, "[]");
    watcher.failedChecks(scanner, testNow);
    EXPECT_EQ(watcher.gitHubNote(),
              "Not watching checks for acme/mixed: the signed-in GitHub account cannot read it.");

    // Every repository readable again: no note.
    setPulls("acme/mixed", "[]");
    watcher.failedChecks(scanner, testNow);
    EXPECT_EQ(watcher.gitHubNote(), std::nullopt);
}

TEST_F(CheckGates, accountIsAskedUntilKnown) {
    setPulls("acme/api", "[" + pull(1, "t", check("ci", "FAILURE")) + "]");
    recentSession("s", makeRepo("api", "git@github.com:acme/api.git"));
    EXPECT_EQ(watcher.failedChecks(scanner, testNow).at(0).hint, std::nullopt);
    setLogin("  hubot \n");
    EXPECT_EQ(watcher.failedChecks(scanner, testNow).at(0).hint, hintFor + "hubot" + hintTail);
    watcher.failedChecks(scanner, testNow);
    const auto calls = ghCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "api user --jq .login"), 2);
}

} // namespace
} // namespace quillon::testing
