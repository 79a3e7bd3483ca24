#include "scanner/log_scanner.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "scanner/scanner_impl.h"
#include "scanner/timestamp.h"
#include "settings/disk.h"

namespace quillon {

LogScanner::LogScanner(Config config)
    : LogScanner(std::move(config), disk::homeDir() + "/.claude/projects",
                 disk::homeDir() + "/.codex/sessions") {}

SessionAgg* LogScanner::find(std::string_view key) const {
    auto it = m_sessions.find(key);
    return it == m_sessions.end() ? nullptr : it->second.get();
}

const FileState* LogScanner::fileState(const std::string& path) const {
    auto it = m_files.find(path);
    return it == m_files.end() ? nullptr : &it->second;
}

SessionAgg& LogScanner::session(std::string_view key) {
    // Looked up without building a string: this runs for nearly every parsed line.
    if (auto found = m_sessions.find(key); found != m_sessions.end()) return *found->second;
    auto [it, inserted] = m_sessions.try_emplace(std::string(key));
    if (inserted) {
        it->second = std::make_unique<SessionAgg>(std::string(key));
        m_order.push_back(it->second.get());
    }
    return *it->second;
}

const std::string& LogScanner::dayKeyOf(Instant t) {
    if (t >= m_dayStart && t < m_dayEnd) return m_dayKey;
    // Lines of different files jump between days; every local day met so far is remembered,
    // because working its bounds out again calls mktime, which asks the file system whether
    // the zone file changed.
    auto& spans = m_impl->daySpans;
    auto after = std::upper_bound(spans.begin(), spans.end(), t,
                                  [](Instant v, const Impl::DaySpan& s) { return v < s.start; });
    if (after != spans.begin() && t < std::prev(after)->end) {
        const Impl::DaySpan& s = *std::prev(after);
        m_dayStart = s.start;
        m_dayEnd = s.end;
        m_dayKey = s.key;
        return m_dayKey;
    }
    m_dayKey = dayKey(t);
    m_dayStart = 1;
    m_dayEnd = 0;
    if (std::isfinite(t) && std::fabs(t) < 1e15) {
        auto secs = static_cast<time_t>(std::floor(t));
        tm local{};
        localtime_r(&secs, &local);
        tm start = local;
        start.tm_hour = start.tm_min = start.tm_sec = 0;
        start.tm_isdst = -1;
        tm next = start;
        next.tm_mday += 1;
        next.tm_isdst = -1;
        time_t a = mktime(&start), b = mktime(&next);
        if (a != -1 && b != -1 && static_cast<double>(a) <= t && t < static_cast<double>(b)) {
            m_dayStart = static_cast<double>(a);
            m_dayEnd = static_cast<double>(b);
            // Years of logs are a few thousand days; past that, start over rather than grow.
            if (spans.size() >= 8192) {
                spans.clear();
                after = spans.end();
            }
            spans.insert(after, {m_dayStart, m_dayEnd, m_dayKey});
        }
    }
    return m_dayKey;
}

void LogScanner::add(SessionAgg& s, const Usage& u, std::string_view model, Instant when, bool side,
                     std::int64_t cacheW1h) {
    DayAgg& d = s.days[dayKeyOf(when)];
    d.usage += u;
    d.turns += 1;
    double price = m_config.usd(model, u, cacheW1h);
    if (side) {
        d.sideTurns += 1;
        d.sideContext = satAdd(d.sideContext, u.context());
    }
    d.usd += price;
    const std::int64_t c = u.context();
    std::int64_t& hour = s.hours[hourNumber(when)];
    hour = satAdd(hour, c);
    s.turns += 1;
    if (!s.last || when > *s.last) s.last = when;
    if (side) return;
    if (!s.floorContext) s.floorContext = c;
    s.peakContext = std::max(s.peakContext, c);
    if (!s.lastMainAt || when >= *s.lastMainAt) {
        s.lastMainAt = when;
        s.lastContext = c;
    }
}

void LogScanner::mark(SessionAgg& s, std::string_view kind, std::optional<Instant> at,
                      std::optional<std::string> tool) {
    if (!at) return;
    if (s.lastKindAt && *at < *s.lastKindAt) return;
    s.lastKind = std::string(kind);
    s.lastKindAt = at;
    s.pendingTool = kind == "tool" ? std::move(tool) : std::nullopt;
}

} // namespace quillon
