#pragma once

#include <optional>
#include <string>
#include <vector>

#include "limits/limit_view.h"
#include "report/snapshot.h"
#include "scanner/usage.h"
#include "settings/clock.h"
#include "settings/config.h"

namespace quillon {

class LogScanner;

// Plan-limit readings, forecasts and their wording.
namespace Limits {

struct ClaudeReading {
    std::optional<LimitReading> five;
    std::optional<LimitReading> week;
    Instant at = 0;
};

struct Forecast {
    std::string text;
    std::int64_t level = 0;
};

// ~/.quillon/claude-limits.json, written by the status-line helper.
std::string claudeFile();
// Reads the file; nothing when it is missing or unusable.
std::optional<ClaudeReading> claude();

std::vector<LimitView> views(const LogScanner& scanner, const Config& config, Instant now);
Forecast forecast(const LimitReading& reading, double warnAt, Instant now);
// "h:mm a" on the same local day as now, else "EEE h:mm a", in the user's locale.
std::string timeText(Instant date, Instant now);
std::vector<Nudge> nudges(const std::vector<LimitView>& views);
// Durations: "12 min", "1.5 hours", "2.0 days".
std::string spanText(double seconds);

} // namespace Limits
} // namespace quillon
