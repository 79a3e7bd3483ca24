#pragma once

#include <string>

#include "report/snapshot.h"
#include "settings/clock.h"
#include "settings/config.h"

namespace quillon {

class LogScanner;
class SessionAgg;

// Turns the scanner's aggregates into the report: totals, days, sessions, limits, nudges.
namespace Diagnosis {

struct State {
    std::string text;
    std::int64_t level = 0;     // 0 working, 1 idle, 2 waiting on the user, 3 stopped on a failure
    double waitedSeconds = 0;   // idle time while waiting on the user, else 0
};

// A function of the scanner, the settings and now; reads only the Claude Code limits file.
Snapshot snapshot(LogScanner& scanner, const Config& config, Instant now);

State state(const SessionAgg& session, const Config& config, Instant now);

// The advice sentences for one session's report, in their fixed order.
std::vector<std::string> advice(const SessionReport& report, const Config& config);

} // namespace Diagnosis
} // namespace quillon
