#include "limits/limits.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include <nlohmann/json.hpp>

#include "scanner/log_scanner.h"
#include "scanner/text.h"
#include "settings/disk.h"
#include "settings/format.h"

namespace quillon::Limits {
namespace {

// The file holds two small objects; anything larger is not ours.
constexpr std::size_t kMaxFileBytes = 1 << 20;

// Instants beyond this (about year 33,000) come only from damaged input; they would overflow
// the whole-second forms and the calendar conversion.
constexpr double kMaxInstant = 1e12;

// Whole seconds since 1970, truncated; out-of-range values are pinned instead of overflowing.
std::int64_t wholeSeconds(double t) {
    if (!std::isfinite(t)) return 0;
    return static_cast<std::int64_t>(std::clamp(t, -kMaxInstant, kMaxInstant));
}

std::optional<LimitReading> windowReading(const nlohmann::json& root, const char* key, std::int64_t minutes) {
    auto it = root.find(key);
    if (it == root.end() || !it->is_object()) return std::nullopt;
    auto used = it->find("used_percentage");
    auto resets = it->find("resets_at");
    if (used == it->end() || resets == it->end() || !used->is_number() || !resets->is_number())
        return std::nullopt;
    LimitReading r;
    r.usedPercent = used->get<double>();
    r.resetsAt = resets->get<double>();
    r.windowMinutes = minutes;
    return r;
}

bool localDay(Instant t, tm& out) {
    if (!std::isfinite(t) || std::fabs(t) > kMaxInstant) return false;
    auto secs = static_cast<time_t>(std::floor(t));
    return localtime_r(&secs, &out) != nullptr;
}

std::string strftimeText(const char* pattern, const tm& when) {
    char buf[128];
    std::size_t n = std::strftime(buf, sizeof buf, pattern, &when);
    return std::string(buf, n);
}

// A reading fit to show, or nothing: present, finite, windowed, not yet reset, and not
// resetting absurdly far ahead (more than one extra window length, which no live window
// can do). A share above 100 is shown as 100; a negative share is no reading.
std::optional<LimitReading> usable(const std::optional<LimitReading>& r, Instant now) {
    if (!r || !std::isfinite(r->usedPercent) || !std::isfinite(r->resetsAt)) return std::nullopt;
    if (r->windowMinutes < 1 || r->usedPercent < 0 || r->resetsAt <= now) return std::nullopt;
    const double w = static_cast<double>(r->windowMinutes) * 60.0;
    if (r->resetsAt - now > 2 * w || r->resetsAt > kMaxInstant) return std::nullopt;
    LimitReading out = *r;
    out.usedPercent = std::min(out.usedPercent, 100.0);
    return out;
}

std::optional<std::string> topSession(const LogScanner& scanner, const std::string& tool, Instant windowStart) {
    const SessionAgg* best = nullptr;
    std::int64_t bestTokens = 0, total = 0;
    for (const SessionAgg* s : scanner.sessions()) {
        if (s->tool != tool) continue;
        std::int64_t t = s->tokens(windowStart);
        total += t;
        if (!best || t > bestTokens) {
            best = s;
            bestTokens = t;
        }
    }
    if (total < 1 || !best) return std::nullopt;
    double share = static_cast<double>(bestTokens) / static_cast<double>(total) * 100.0;
    if (share < 25) return std::nullopt;
    return format("%s used about %.0f%% of the tokens in this window.", best->name().c_str(), share);
}

LimitView row(const LogScanner& scanner, const Config& config, Instant now, const LimitReading& r,
              const std::string& tool, const std::string& label, Instant asOf) {
    LimitView v;
    v.id = tool + ":" + label + ":" + std::to_string(wholeSeconds(r.resetsAt));
    v.tool = tool;
    v.label = label;
    v.usedPercent = r.usedPercent;
    v.resetsAt = r.resetsAt;
    v.resetText = "resets " + timeText(r.resetsAt, now);
    Forecast f = forecast(r, static_cast<double>(config.limitWarnPercent), now);
    v.forecast = std::move(f.text);
    v.level = f.level;
    v.top = topSession(scanner, tool, r.resetsAt - static_cast<double>(r.windowMinutes) * 60.0);
    v.asOf = asOf;
    return v;
}

} // namespace

std::string claudeFile() { return Config::dir() + "/claude-limits.json"; }

std::optional<ClaudeReading> claude() {
    auto text = disk::readFile(claudeFile(), kMaxFileBytes);
    if (!text) return std::nullopt;
    auto root = nlohmann::json::parse(*text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) return std::nullopt;
    auto at = root.find("at");
    if (at == root.end() || !at->is_number()) return std::nullopt;
    ClaudeReading out;
    out.at = at->get<double>();
    if (!std::isfinite(out.at)) return std::nullopt;
    out.five = windowReading(root, "five_hour", 300);
    out.week = windowReading(root, "seven_day", 10'080);
    return out;
}

std::vector<LimitView> views(const LogScanner& scanner, const Config& config, Instant now) {
    std::vector<LimitView> out;
    auto add = [&](const std::optional<LimitReading>& r, const char* tool, const char* label, Instant asOf) {
        if (auto ok = usable(r, now)) out.push_back(row(scanner, config, now, *ok, tool, label, asOf));
    };
    if (config.watchClaude) {
        if (auto c = claude()) {
            add(c->five, "Claude Code", "5-hour", c->at);
            add(c->week, "Claude Code", "Weekly", c->at);
        }
    }
    if (config.watchCodex) {
        if (const auto& c = scanner.codexLimits()) {
            add(c->primary, "Codex", "5-hour", c->at);
            add(c->secondary, "Codex", "Weekly", c->at);
        }
    }
    return out;
}

Forecast forecast(const LimitReading& r, double warnAt, Instant now) {
    const double w = static_cast<double>(std::max<std::int64_t>(r.windowMinutes, 1)) * 60.0;
    const double u = std::isfinite(r.usedPercent) ? r.usedPercent : 0;
    // A reset that has passed (or cannot be placed) must not be named: the window is over.
    const bool resetAhead = std::isfinite(r.resetsAt) && r.resetsAt > now;
    if (u >= 100) {
        if (!resetAhead) return {"Limit reached.", 2};
        return {"Limit reached. It resets " + timeText(r.resetsAt, now) + ".", 2};
    }
    if (u < 1) return {"Barely used so far.", 0};
    const double start = r.resetsAt - w;
    // Elapsed time never counts past the window's end, so a finished window projects what it used.
    double e = std::max(now - start, 60.0);
    if (!std::isfinite(e)) e = w;
    e = std::min(e, std::max(w, 60.0));
    if (e < 0.08 * w && u < 10) return {"Too early in this window to forecast.", 0};
    const double p = w * u / e;
    if (p >= 100) {
        const double runOut = start + e * 100.0 / u;
        if (!resetAhead || !std::isfinite(runOut) || runOut <= now)
            return {"At this pace you reach the limit before it resets.", 1};
        return {"At this pace you run out at " + timeText(runOut, now) + ", " +
                    spanText(std::max(r.resetsAt - runOut, 0.0)) + " before it resets.",
                1};
    }
    return {format("On pace to finish this window at about %.0f%%.", p), u >= warnAt ? 1 : 0};
}

std::string timeText(Instant date, Instant now) {
    tm when{}, today{};
    if (!localDay(date, when)) return {};
    bool sameDay = localDay(now, today) && today.tm_year == when.tm_year && today.tm_yday == when.tm_yday;
    int hour = when.tm_hour % 12;
    if (hour == 0) hour = 12;
    std::string marker = strftimeText("%p", when);
    if (marker.empty()) marker = when.tm_hour < 12 ? "AM" : "PM";
    std::string out = sameDay ? std::string() : strftimeText("%a", when) + " ";
    return out + std::to_string(hour) + strftimeText(":%M", when) + " " + marker;
}

std::vector<Nudge> nudges(const std::vector<LimitView>& views) {
    std::vector<Nudge> out;
    for (const LimitView& v : views) {
        if (v.level <= 0) continue;
        const double used = std::isfinite(v.usedPercent) ? std::clamp(v.usedPercent, -1e15, 1e15) : 0;
        Nudge n;
        n.id = "limit:" + v.id + ":" + std::to_string(v.level);
        n.title = v.tool + " " + text::lower(v.label) + " limit: " + std::to_string(static_cast<std::int64_t>(used)) + "% used";
        n.detail = v.top ? v.forecast + " " + *v.top : v.forecast;
        out.push_back(std::move(n));
    }
    return out;
}

std::string spanText(double seconds) {
    // Non-finite or absurd spans are pinned rather than overflowing the minute count.
    if (!std::isfinite(seconds)) seconds = 0;
    const auto m = static_cast<std::int64_t>(std::clamp(seconds, -1e15, 1e15) / 60.0);
    if (m <= 89) return std::to_string(std::max<std::int64_t>(m, 1)) + " min";
    if (m <= 2'879) return format("%.1f hours", static_cast<double>(m) / 60.0);
    return format("%.1f days", static_cast<double>(m) / 1'440.0);
}

} // namespace quillon::Limits
