#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "settings/clock.h"

namespace quillon {

// One displayed plan limit.
struct LimitView {
    std::string id;        // tool:label:resetsAt-seconds
    std::string tool;      // "Claude Code" or "Codex"
    std::string label;     // "5-hour" or "Weekly"
    double usedPercent = 0;
    Instant resetsAt = 0;
    std::string resetText;
    std::string forecast;
    std::optional<std::string> top;
    Instant asOf = 0;
    std::int64_t level = 0;  // 0 normal, 1 warning, 2 reached
    friend bool operator==(const LimitView&, const LimitView&) = default;
};

} // namespace quillon
