#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gates/gate_watcher.h"
#include "scanner/log_scanner.h"
#include "test_home.h"

namespace quillon::testing {

// A fixed reference time for the gates under test.
constexpr Instant testNow = 1'750'000'000;

// A temporary home with an empty scanner (its roots point at folders without logs) whose
// sessions the tests fill in by hand, a watcher, and a fake gh that answers from files below the home.
class GateTest : public HomeTest {
  protected:
    GateTest();

    LogScanner scanner;
    GateWatcher watcher{Config{}};

    // A session that was active `agoSeconds` before testNow in `cwd`.
    SessionAgg& recentSession(const std::string& key, const std::string& cwd, double agoSeconds = 60);
    // A session whose last tool error came `errorAgo` seconds before testNow, active `activeAgo` before it.
    SessionAgg& stoppedSession(const std::string& key, const std::string& text, double errorAgo,
                               double activeAgo, const std::string& cwd = "/home/dev/web-app");

    // A git repository with the given origin remote, in a new folder below the home.
    std::string makeRepo(const std::string& name, const std::string& originUrl);

    // Installs the fake gh as ~/.local/bin/gh. It records each call's arguments, one line per
    // call, answers "api user" from ~/gh/login and "pr list -R owner/repo" from
    // ~/gh/owner_repo.json; a missing file makes it fail.
    void installFakeGh();
    void setLogin(const std::string& login) { home.write("gh/login", login); }
    void setPulls(const std::string& repository, const std::string& json);
    std::vector<std::string> ghCalls() const;
    std::vector<std::string> pullListCalls() const;

    // Whether a gh that precedes the fake one in the search order exists on this machine.
    static bool earlierGhPresent(bool includeLast = false);
    static std::vector<std::string> ids(const std::vector<Gate>& gates);
};

// GateTest with the fake gh installed; skipped where a real gh would be found first.
class GhTest : public GateTest {
  protected:
    void SetUp() override;
};

// Writes a file with the given content and modification time (seconds, with fraction).
void writeFileAt(const std::string& path, const std::string& content, Instant mtime);

} // namespace quillon::testing
