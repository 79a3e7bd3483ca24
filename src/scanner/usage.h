#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

#include "settings/clock.h"

namespace quillon {

// Sums of counts that come from untrusted logs: they stick at the int64 limits instead of
// overflowing, so a forged line cannot make a total wrap around.
inline std::int64_t satAdd(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (!__builtin_add_overflow(a, b, &r)) return r;
    return b > 0 ? INT64_MAX : INT64_MIN;
}
inline std::int64_t satSub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (!__builtin_sub_overflow(a, b, &r)) return r;
    return b < 0 ? INT64_MAX : INT64_MIN;
}

// Token usage of one assistant turn, or a sum of turns.
struct Usage {
    std::int64_t input = 0, cacheW = 0, cacheR = 0, output = 0;

    // The size of the prompt the model saw: everything but the output.
    std::int64_t context() const { return satAdd(satAdd(input, cacheW), cacheR); }
    Usage& operator+=(const Usage& o) {
        input = satAdd(input, o.input);
        cacheW = satAdd(cacheW, o.cacheW);
        cacheR = satAdd(cacheR, o.cacheR);
        output = satAdd(output, o.output);
        return *this;
    }
    friend bool operator==(const Usage&, const Usage&) = default;
};

// One session's totals for one local calendar day.
struct DayAgg {
    Usage usage;
    std::int64_t turns = 0;
    std::int64_t sideTurns = 0;
    std::int64_t sideContext = 0;
    double usd = 0;
    friend bool operator==(const DayAgg&, const DayAgg&) = default;
};

// The latest failed tool result of a session.
struct ToolError {
    Instant at = 0;
    std::string text;
    friend bool operator==(const ToolError&, const ToolError&) = default;
};

// One rate-limit window as last reported.
struct LimitReading {
    double usedPercent = 0;
    Instant resetsAt = 0;
    std::int64_t windowMinutes = 0;
    friend bool operator==(const LimitReading&, const LimitReading&) = default;
};

// The latest Codex rate-limit report.
struct CodexLimits {
    std::optional<LimitReading> primary;
    std::optional<LimitReading> secondary;
    Instant at = 0;
    friend bool operator==(const CodexLimits&, const CodexLimits&) = default;
};

// Everything the scanner has learned about one session. Only the scanner creates them.
class SessionAgg {
  public:
    explicit SessionAgg(std::string key) : id(std::move(key)) {}

    const std::string id;
    std::string tool = "Claude Code";
    std::optional<std::string> title;
    std::optional<std::string> firstPrompt;
    std::string cwd;
    std::map<std::string, DayAgg> days;         // day key "yyyy-MM-dd" -> totals
    std::map<std::int64_t, std::int64_t> hours; // hour number -> context tokens
    std::int64_t turns = 0;
    std::optional<std::int64_t> floorContext;
    std::int64_t peakContext = 0;
    std::int64_t lastContext = 0;
    std::optional<Instant> lastMainAt;
    std::optional<Instant> last;
    std::optional<ToolError> lastToolError;
    std::string lastKind;
    std::optional<Instant> lastKindAt;
    std::optional<std::string> pendingTool;

    // The title, else the first prompt, else the first 8 characters of the id.
    std::string name() const;

    // Context tokens of every hour from the one holding `since` on (that hour counted whole).
    std::int64_t tokens(Instant since) const;
};

// Whole hours since 1970-01-01 00:00 UTC, truncated toward zero.
std::int64_t hourNumber(Instant t);

} // namespace quillon
