#pragma once

// Helpers for the scanner tests: log lines as Claude Code and Codex write them, and totals.

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "scanner/log_scanner.h"
#include "scanner/timestamp.h"
#include "test_home.h"

namespace quillon::testing {

// Day keys depend on the zone; every scanner test runs in UTC unless it says otherwise.
struct UtcZone {
    UtcZone() {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
};

struct Totals {
    Usage usage;
    std::int64_t turns = 0, sideTurns = 0;
    double usd = 0;
};

inline Totals totals(const LogScanner& s) {
    Totals t;
    for (const SessionAgg* a : s.sessions())
        for (const auto& [day, d] : a->days) {
            t.usage += d.usage;
            t.turns += d.turns;
            t.sideTurns += d.sideTurns;
            t.usd += d.usd;
        }
    return t;
}

inline Instant at(const char* ts) { return *parseTimestamp(ts); }

inline void append(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

// An assistant line; content is the JSON of message.content, extra goes before "message".
inline std::string assistant(const std::string& session, const std::string& id, const std::string& ts,
                             const Usage& u, const std::string& content = R"([{"type":"text","text":"ok"}])",
                             const std::string& model = "claude-sonnet-4-5-20250929",
                             std::int64_t oneHour = -1, const std::string& extra = "") {
    std::string usage = "{\"input_tokens\":" + std::to_string(u.input) +
                        ",\"cache_creation_input_tokens\":" + std::to_string(u.cacheW) +
                        ",\"cache_read_input_tokens\":" + std::to_string(u.cacheR) +
                        ",\"output_tokens\":" + std::to_string(u.output);
    if (oneHour >= 0)
        usage += ",\"cache_creation\":{\"ephemeral_1h_input_tokens\":" + std::to_string(oneHour) + "}";
    std::string idPart = id.empty() ? "" : "\"id\":\"" + id + "\",";
    return "{\"parentUuid\":null,\"isSidechain\":false,\"cwd\":\"/work/proj\",\"sessionId\":\"" + session +
           "\"," + extra + "\"message\":{" + idPart + "\"model\":\"" + model +
           "\",\"role\":\"assistant\",\"content\":" + content + ",\"usage\":" + usage +
           "}},\"type\":\"assistant\",\"timestamp\":\"" + ts + "\"}";
}

inline std::string userPrompt(const std::string& session, const std::string& ts,
                              const std::string& textJson) {
    return "{\"isSidechain\":false,\"sessionId\":\"" + session +
           "\",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":" + textJson +
           "},\"timestamp\":\"" + ts + "\"}";
}

inline std::string codexUsage(const std::string& ts, std::int64_t in, std::int64_t cached,
                              std::int64_t written, std::int64_t out, const std::string& idPart = "") {
    return "{\"timestamp\":\"" + ts + "\",\"type\":\"token_usage_record\"," + "\"payload\":{" + idPart +
           "\"usage\":{\"input_tokens\":" + std::to_string(in) +
           ",\"cached_input_tokens\":" + std::to_string(cached) +
           ",\"cache_write_input_tokens\":" + std::to_string(written) +
           ",\"output_tokens\":" + std::to_string(out) + "}}}";
}

// A scanner over the temporary home's two roots.
class ScannerTest : public HomeTest {
  protected:
    UtcZone zone;
    std::string claudeRoot() const { return home.path() + "/.claude/projects"; }
    std::string codexRoot() const { return home.path() + "/.codex/sessions"; }
    std::string claude(const std::string& rel, const std::string& text) {
        return home.write(".claude/projects/" + rel, text);
    }
    std::string codex(const std::string& rel, const std::string& text) {
        return home.write(".codex/sessions/" + rel, text);
    }

    LogScanner scanner{Config{}, claudeRoot(), codexRoot()};
    // Appends one line to a log and rescans, as a running assistant and the application would.
    void feed(const std::string& line, const std::string& log = "p/file-session.jsonl") {
        append(claudeRoot() + "/" + log, line + "\n");
        scanner.scanBoth(32);
    }
    void feedCodex(const std::string& line, const std::string& log = "rollout.jsonl") {
        append(codexRoot() + "/" + log, line + "\n");
        scanner.scanBoth(32);
    }
    SessionAgg* s(const std::string& id = "s1") { return scanner.find(id); }
};

} // namespace quillon::testing
