#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scanner/usage.h"
#include "settings/config.h"

namespace quillon {

// Reading position and per-file memory of one log file.
struct FileState {
    std::uint64_t offset = 0;
    std::string codexModel = "gpt";
    std::optional<std::string> codexSession;
};

// The long-lived accounting object: finds the assistants' logs, reads what they gained
// since the last pass and keeps every session's aggregates. Used by one thread at a time.
class LogScanner {
  public:
    // Roots default to ~/.claude/projects and ~/.codex/sessions under the user's home.
    explicit LogScanner(Config config);
    LogScanner(Config config, std::string root, std::string codexRoot);
    ~LogScanner();
    LogScanner(const LogScanner&) = delete;
    LogScanner& operator=(const LogScanner&) = delete;

    const std::string& root() const { return m_root; }
    const std::string& codexRoot() const { return m_codexRoot; }
    const Config& config() const { return m_config; }

    // Scans one root; true when at least one "jsonl" file was found below it.
    bool scan(const std::string& root, bool codex, int days);
    // Both roots, Claude Code first; true when either held logs.
    bool scanBoth(int days) {
        bool claude = scan(m_root, false, days);
        bool codex = scan(m_codexRoot, true, days);
        return claude || codex;
    }

    // Every session ever seen, in the order they were first met.
    const std::vector<SessionAgg*>& sessions() const { return m_order; }
    SessionAgg* find(std::string_view key) const;
    std::int64_t filesRead() const { return m_filesRead; }
    const std::optional<CodexLimits>& codexLimits() const { return m_codexLimits; }
    const FileState* fileState(const std::string& path) const;

    // The session with this key, created on first use.
    SessionAgg& session(std::string_view key);
    // Counts one turn: day, hour, dollars and the session's context figures.
    // cacheW1h is the one-hour part of usage.cacheW (priced differently, counted the same).
    void add(SessionAgg& s, const Usage& usage, std::string_view model, Instant when, bool side,
             std::int64_t cacheW1h = 0);
    // Records the latest conversation event; an older event never overrides a newer one.
    void mark(SessionAgg& s, std::string_view kind, std::optional<Instant> at,
              std::optional<std::string> tool = std::nullopt);

    // Stores a Codex rate-limit report unless the one held is newer.
    void recordCodexLimits(const CodexLimits& limits) {
        if (!m_codexLimits || limits.at >= m_codexLimits->at) m_codexLimits = limits;
    }

    // The day key of an instant (local calendar, cached per day).
    const std::string& dayKeyOf(Instant t);

    // Line handlers, public so tests and the fuzz target can feed lines directly.
    void handle(std::string_view line, std::string_view fileSession, bool isSub, FileState& state);
    void handleCodex(std::string_view line, std::string_view fileSession, FileState& state);

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;

    Config m_config;
    std::string m_root;
    std::string m_codexRoot;
    std::unordered_map<std::string, std::unique_ptr<SessionAgg>> m_sessions;
    std::vector<SessionAgg*> m_order;
    std::int64_t m_filesRead = 0;
    std::optional<CodexLimits> m_codexLimits;
    std::unordered_map<std::string, FileState> m_files;

    // Day-key cache: instants in [m_dayStart, m_dayEnd) have key m_dayKey.
    double m_dayStart = 1, m_dayEnd = 0;
    std::string m_dayKey;
};

} // namespace quillon
