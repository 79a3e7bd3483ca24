#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct stat;

#include "scanner/usage.h"
#include "settings/config.h"

namespace quillon {

namespace Probe {
struct Hits;
}

// The latest message counted from a file. Claude Code writes one line per content block of a
// message, each repeating the usage as it stood while streaming; later lines may carry larger
// counts, whose increase goes where the first line was counted.
struct CountedMessage {
    std::uint64_t key = 0; // hash of the message's key; 0 when nothing can follow
    SessionAgg* session = nullptr;
    Usage usage;
    std::int64_t cacheW1h = 0;
    Instant when = 0;
    bool side = false;
    bool setFloor = false; // its context became the session's floorContext
    std::string model;
};

// Reading position and per-file memory of one log file. Duplicate keys are not here: one
// set for the whole scanner, since resumed sessions copy their parent's lines.
struct FileState {
    std::uint64_t offset = 0;
    std::string codexModel = "gpt";
    std::optional<std::string> codexSession;
    CountedMessage last;
    // Codex token_count events carry the session's running totals; a turn is their growth.
    Usage codexTotal;
    bool codexRecords = false;  // the file writes token_usage_record lines: those are counted instead
    std::uint64_t queuedIn = 0; // the scan that last queued the file for reading: once a scan
    bool counted = false;       // in filesRead already (a first read may end before a full line)
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
    // The same with the clock passed in: files modified before now - days x 86400 are skipped.
    bool scan(const std::string& root, bool codex, int days, Instant now);
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

    // Reads with a second thread ahead of the handling when a scan has at least this many
    // bytes to read (8 MiB unless changed); the results are the same either way.
    void setParallelThreshold(std::uint64_t bytes);
    // Rescans learn from file change notifications which files to look at (on unless
    // changed), and look at a share of the folders again each time so that every folder is
    // seen every 5 minutes; whenever the notifications cannot tell, a root is walked whole.
    // The results are the same either way.
    void setWatching(bool on);

    // Memory held for duplicate suppression and per-file state, for the benchmark.
    std::size_t duplicateKeys() const;
    std::size_t duplicateSetBytes() const;

  private:
    struct Impl;
    struct Watch;
    struct KeyHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    template <class T> using StringMap = std::unordered_map<std::string, T, KeyHash, std::equal_to<>>;

    void walk(int dirFd, std::string& path, bool codex, double cutoff, bool& found, int depth,
              bool sweeping = false);
    bool walkWatched(Watch& w, int fd, std::string& path, double cutoff, bool sweeping);
    bool sweep(Watch& w, double cutoff, double now);
    void readFile(const std::string& path, bool codex, FileState& state);
    std::size_t handleLines(const char* text, std::size_t len, std::size_t capacity, bool codex,
                            std::string_view fileSession, bool isSub, FileState& state);
    void readAhead(bool codex);
    void consider(std::string& path, const struct stat& st, double cutoff);
    bool changedSince(Watch& w, double cutoff);
    void handleLine(const char* p, std::size_t n, std::size_t capacity, const Probe::Hits& hits, bool codex,
                    std::string_view fileSession, bool isSub, FileState& state);
    void handleClaudeLine(const char* p, std::size_t n, std::size_t capacity, const Probe::Hits& hits,
                          std::string_view fileSession, bool isSub, FileState& state);
    void handleCodexLine(const char* p, std::size_t n, std::size_t capacity, const Probe::Hits& hits,
                         std::string_view fileSession, FileState& state);
    void grow(FileState& state, const Usage& usage, std::int64_t cacheW1h);
    void countCodexTotals(const struct CodexLine& line, std::string_view fileSession, FileState& state);

    std::unique_ptr<Impl> m_impl;

    Config m_config;
    std::string m_root;
    std::string m_codexRoot;
    StringMap<std::unique_ptr<SessionAgg>> m_sessions;
    std::vector<SessionAgg*> m_order;
    std::int64_t m_filesRead = 0;
    std::uint64_t m_scans = 0;
    std::optional<CodexLimits> m_codexLimits;
    StringMap<FileState> m_files;

    // Day-key cache: instants in [m_dayStart, m_dayEnd) have key m_dayKey.
    double m_dayStart = 1, m_dayEnd = 0;
    std::string m_dayKey;
};

} // namespace quillon
