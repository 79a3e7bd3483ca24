#include "report/diagnosis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "limits/limits.h"
#include "scanner/log_scanner.h"
#include "scanner/timestamp.h"
#include "settings/format.h"

namespace quillon::Diagnosis {
namespace {

constexpr double kDay = 86'400;

std::int64_t wholeSeconds(double t) {
    if (!std::isfinite(t)) return 0;
    return static_cast<std::int64_t>(std::clamp(t, -1e15, 1e15));
}

// The date a number of days after 1970-01-01 names, as a day key (proleptic Gregorian).
std::string civilKey(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    return buf;
}

// The 30 day keys ending with today's, oldest first. Counted in calendar days from today's
// key, so a 23- or 25-hour day at a daylight-saving change neither drops nor repeats a day
// (stepping back whole multiples of 86,400 s would). A key that does not read as a date
// falls back to that stepping.
std::vector<std::string> monthKeys(LogScanner& scanner, const std::string& today, Instant now) {
    std::vector<std::string> keys;
    unsigned y = 0, m = 0, d = 0;
    char tail = 0;
    if (today.size() == 10 && std::sscanf(today.c_str(), "%4u-%2u-%2u%c", &y, &m, &d, &tail) == 3 && m >= 1 &&
        m <= 12 && d >= 1 && d <= 31) {
        const std::int64_t base = daysFromCivil(y, m, d);
        for (int i = 29; i >= 0; --i) keys.push_back(civilKey(base - i));
        return keys;
    }
    for (int i = 29; i >= 0; --i) keys.push_back(scanner.dayKeyOf(now - i * kDay));
    return keys;
}

// The folder's own name; "/a/b/" gives "b" and the root stays "/".
std::string lastComponent(const std::string& path) {
    const auto end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? "" : "/";
    const auto slash = path.find_last_of('/', end);
    const auto start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end + 1 - start);
}

DayReport dayReport(const std::map<std::string, DayAgg>& merged, const std::string& key) {
    DayReport r;
    r.day = key;
    auto it = merged.find(key);
    if (it == merged.end()) return r;
    r.tokens = it->second.usage.context();
    r.turns = it->second.turns;
    r.sideTurns = it->second.sideTurns;
    r.usd = it->second.usd;
    return r;
}

void addDay(DayAgg& into, const DayAgg& d) {
    into.usage += d.usage;
    into.turns += d.turns;
    into.sideTurns += d.sideTurns;
    into.sideContext += d.sideContext;
    into.usd += d.usd;
}

bool picked(const SessionAgg& s, const Config& config) {
    return s.tool == "Codex" ? config.watchCodex : config.watchClaude;
}

std::optional<std::string> toolName(const SessionAgg& s) {
    if (s.pendingTool && !s.pendingTool->empty()) return s.pendingTool;
    return std::nullopt;
}

} // namespace

State state(const SessionAgg& s, const Config& config, Instant now) {
    const Instant ref = s.lastKindAt ? *s.lastKindAt : s.last ? *s.last : now;
    double idle = now - ref;
    if (!(idle > 0)) idle = 0;  // also NaN
    const std::string span = Limits::spanText(idle);

    if (s.lastToolError && idle >= static_cast<double>(config.stallMinutes) * 60.0 &&
        (s.lastToolError->at <= ref + 1 || s.lastKind == "text"))
        return {"Stopped on a failure, idle " + span, 3, 0};

    const std::string& kind = s.lastKind;
    if (kind == "tool") {
        if (idle >= 45) {
            auto tool = toolName(s);
            return {"Waiting on " + (tool ? *tool : std::string("a tool")) + " for " + span +
                        " (may need your approval)",
                    2, idle};
        }
    } else if (kind == "text" || kind == "done") {
        if (idle >= 30) return {"Finished " + span + " ago", 1, 0};
    } else if (kind == "result" || kind == "prompt" || kind == "started") {
        if (idle >= 180) return {"Quiet for " + span, 1, 0};
    } else if (idle >= 120) {
        return {"Last active " + span + " ago", 1, 0};
    }
    return {"Working", 0, 0};
}

std::vector<std::string> advice(const SessionReport& r, const Config& config) {
    std::vector<std::string> out;
    const std::int64_t history = std::max<std::int64_t>(r.contextNow - r.floor, 0);
    if (history >= config.historyCeiling) {
        const double ratio = static_cast<double>(r.contextNow) / static_cast<double>(std::max<std::int64_t>(r.floor, 20'000));
        out.push_back(format("Compact now: it carries %s of history on top of a %s start, so each turn costs about "
                             "%.1fx a fresh one.",
                             fmtTokens(history).c_str(), fmtTokens(r.floor).c_str(), ratio));
    }
    if (r.floor >= config.floorWarning)
        out.push_back("Starts at " + fmtTokens(r.floor) +
                      " before any work. Turn off connectors and plugins this session does not use.");
    if (r.sideShare >= 0.6 && r.tokensToday >= 20'000'000)
        out.push_back(format("Subagents are %.0f%% of its tokens today. Fewer, narrower helpers would cut it.",
                             r.sideShare * 100.0));
    if (r.turnsToday >= 1'500)
        out.push_back(std::to_string(r.turnsToday) +
                      " turns today in one session. Long sessions pay for their whole history every turn.");
    return out;
}

Snapshot snapshot(LogScanner& scanner, const Config& config, Instant now) {
    Snapshot snap;
    snap.ready = true;
    snap.readFailed = false;
    snap.monthReady = true;
    snap.scannedAt = now;

    const std::string today = scanner.dayKeyOf(now);

    std::vector<const SessionAgg*> sessions;
    for (const SessionAgg* s : scanner.sessions())
        if (picked(*s, config)) sessions.push_back(s);

    std::map<std::string, DayAgg> merged;
    for (const SessionAgg* s : sessions)
        for (const auto& [key, day] : s->days) addDay(merged[key], day);

    snap.today = dayReport(merged, today);
    for (const std::string& key : monthKeys(scanner, today, now)) snap.month.push_back(dayReport(merged, key));
    snap.week.assign(snap.month.end() - 7, snap.month.end());
    snap.overBudget = snap.today.tokens > config.dailyBudget;

    std::vector<Nudge> waiting;
    for (const SessionAgg* s : sessions) {
        auto it = s->days.find(today);
        if (it == s->days.end() || it->second.usage.context() <= 0) continue;
        const DayAgg& day = it->second;

        SessionReport r;
        r.id = s->id;
        r.tool = s->tool;
        r.name = s->name();
        r.project = lastComponent(s->cwd);
        r.tokensToday = day.usage.context();
        r.turnsToday = day.turns;
        r.usdToday = day.usd;
        r.contextNow = s->lastContext;
        r.floor = s->floorContext.value_or(0);
        r.sideShare = std::clamp(static_cast<double>(day.sideContext) / static_cast<double>(r.tokensToday), 0.0, 1.0);
        r.last = s->last.value_or(now);

        const State st = state(*s, config, now);
        r.state = st.text;
        r.stateLevel = st.level;

        if (st.level == 2 && config.notifyWaiting && st.waitedSeconds < 21'600 &&
            st.waitedSeconds >= static_cast<double>(config.waitMinutes) * 60.0) {
            Nudge n;
            n.id = "wait:" + s->id + ":" + std::to_string(wholeSeconds(s->lastKindAt.value_or(now)));
            n.title = "Waiting on you: " + r.name;
            auto tool = toolName(*s);
            n.detail = r.tool + (r.project.empty() ? "" : " \u00b7 " + r.project) + " has had a " +
                       (tool ? *tool : std::string("tool")) + " call pending for " +
                       Limits::spanText(st.waitedSeconds) + ". It may need your approval.";
            waiting.push_back(std::move(n));
        }

        r.advice = advice(r, config);
        snap.sessions.push_back(std::move(r));
    }
    std::stable_sort(snap.sessions.begin(), snap.sessions.end(),
                     [](const SessionReport& a, const SessionReport& b) { return a.tokensToday > b.tokensToday; });

    snap.limits = Limits::views(scanner, config, now);
    snap.nudges = Limits::nudges(snap.limits);
    snap.nudges.insert(snap.nudges.end(), waiting.begin(), waiting.end());
    return snap;
}

} // namespace quillon::Diagnosis
