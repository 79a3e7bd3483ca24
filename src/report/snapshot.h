#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "limits/limit_view.h"
#include "settings/clock.h"

namespace quillon {

struct DayReport {
    std::string day;
    std::int64_t tokens = 0;     // input + cache write + cache read
    std::int64_t turns = 0;
    std::int64_t sideTurns = 0;
    double usd = 0;
    friend bool operator==(const DayReport&, const DayReport&) = default;
};

struct SessionReport {
    std::string id;
    std::string tool;
    std::string name;
    std::string project;
    std::int64_t tokensToday = 0;
    std::int64_t turnsToday = 0;
    double usdToday = 0;
    std::int64_t contextNow = 0;
    std::int64_t floor = 0;
    double sideShare = 0;
    Instant last = 0;
    std::vector<std::string> advice;
    std::string state;
    std::int64_t stateLevel = 0;  // 0 working, 1 idle, 2 waiting on the user, 3 stopped on a failure
    friend bool operator==(const SessionReport&, const SessionReport&) = default;
};

struct Nudge {
    std::string id;
    std::string title;
    std::string detail;
    friend bool operator==(const Nudge&, const Nudge&) = default;
};

struct Snapshot {
    bool ready = false;
    bool readFailed = false;
    DayReport today;
    std::vector<DayReport> week;
    std::vector<DayReport> month;
    bool monthReady = true;
    std::vector<SessionReport> sessions;
    std::vector<LimitView> limits;
    std::vector<Nudge> nudges;
    bool overBudget = false;
    Instant scannedAt = 0;
    friend bool operator==(const Snapshot&, const Snapshot&) = default;

    // The value shown before the first refresh.
    static Snapshot empty(Instant now) {
        Snapshot s;
        s.scannedAt = now;
        return s;
    }
};

} // namespace quillon
