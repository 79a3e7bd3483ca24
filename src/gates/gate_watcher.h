#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gates/gate.h"
#include "settings/clock.h"
#include "settings/config.h"

namespace quillon {

class LogScanner;

// Gathers the gates of one refresh and remembers what must survive between refreshes:
// dismissed ids, cached repositories, the last GitHub poll and its result.
// Used from one thread at a time.
class GateWatcher {
  public:
    explicit GateWatcher(Config config);

    // Alert files, stopped sessions, then failed checks (GitHub asked at most every 170 s and
    // only when pollGitHub); dismissed ids removed; newest first.
    std::vector<Gate> current(const LogScanner& scanner, bool pollGitHub, Instant now);
    void dismiss(const Gate& gate, Instant now);

    const std::optional<std::string>& gitHubNote() const { return m_gitHubNote; }
    Config config;

    // Words that mark a session's last tool error as a failure, tried in this order against
    // the lower-cased text, and the phrases that mark it as the user's own refusal instead.
    static const std::array<const char*, 19> gateWords;
    static const std::array<const char*, 3> refusalPhrases;
    // How much of an alert file is read: enough for its first line, never the whole of a
    // huge file.
    static constexpr std::size_t alertReadBytes = 16384;

    // The sources, public for tests.
    std::vector<Gate> alertFiles(Instant now) const;
    std::vector<Gate> stalledSessions(const LogScanner& scanner, Instant now) const;
    std::vector<Gate> failedChecks(const LogScanner& scanner, Instant now);
    std::optional<std::string> repo(const std::string& directory);
    // Path of gh, found once per watcher.
    const std::optional<std::string>& gh();

  private:
    // Moves a dismissed alert file into the dismissed folder as "<now in seconds>-<name>";
    // never replaces a file already there. Failures are ignored.
    static void moveToDismissed(const std::string& path, Instant now);

    std::set<std::string> m_acked;
    std::map<std::string, std::optional<std::string>> m_repoCache;
    std::vector<Gate> m_checkGates;
    Instant m_lastGitHubPoll = -1e300;
    std::optional<std::string> m_ghLogin;
    std::optional<std::string> m_gitHubNote;
    std::optional<std::optional<std::string>> m_gh;
};

} // namespace quillon
