#include <cmath>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/report.h"
#include "cli/terminal_text.h"
#include "gates/gate_watcher.h"
#include "report/diagnosis.h"
#include "scanner/log_scanner.h"
#include "settings/config.h"
#include "settings/format.h"

namespace quillon::cli {
namespace {

constexpr const char* kNoLogs = "No Claude Code or Codex logs found.";

struct CodexDay {
    std::string day;
    std::int64_t tokens = 0;
    std::int64_t turns = 0;
};

std::vector<CodexDay> codexOnly(const LogScanner& scanner, const std::vector<DayReport>& week) {
    std::vector<CodexDay> out;
    for (const auto& d : week) {
        CodexDay c{d.day};
        for (const SessionAgg* s : scanner.sessions()) {
            if (s->tool != "Codex") continue;
            auto it = s->days.find(d.day);
            if (it == s->days.end()) continue;
            c.tokens += it->second.usage.context();
            c.turns += it->second.turns;
        }
        out.push_back(c);
    }
    return out;
}

double sharePercent(std::int64_t part, std::int64_t whole) {
    return whole > 0 ? static_cast<double>(part) * 100.0 / static_cast<double>(whole) : 0.0;
}

std::string safe(std::string_view s) { return terminalSafe(s); }

void printSnapshot(std::ostream& out, const Command& command, const LogScanner& scanner, const Snapshot& snap,
                   double elapsed, Instant now) {
    auto line = [&out](const std::string& s) { out << s << '\n'; };

    line(format("Read %lld log files in %.1fs", static_cast<long long>(scanner.filesRead()), elapsed));

    line("\nDay         tokens   turns  subagent  ~list $");
    for (const auto& d : snap.week)
        line(format("%s  %7s  %6lld  %7.0f%%  %7.0f", d.day.c_str(), fmtTokens(d.tokens).c_str(),
                    static_cast<long long>(d.turns), sharePercent(d.sideTurns, d.turns), d.usd));

    if (command.month) {
        std::int64_t total = 0, active = 0;
        for (const auto& d : snap.month) {
            total += d.tokens;
            if (d.tokens > 0) ++active;
        }
        line("\nLast 30 days: " + fmtTokens(total) + " tokens over " + std::to_string(active) + " active days");
        for (const auto& d : snap.month) line("  " + d.day + "  " + fmtTokens(d.tokens));
    }

    line("\nCodex only");
    for (const auto& c : codexOnly(scanner, snap.week))
        line(c.day + "  " + std::to_string(c.tokens) + " tokens  " + std::to_string(c.turns) + " turns");

    line("\nLimits");
    if (snap.limits.empty())
        line("  none known (Claude limits need the status line helper; Codex limits come from its logs)");
    for (const auto& l : snap.limits) {
        line(format("  %s %s: %.0f%% used, %s (read %s)", safe(l.tool).c_str(), safe(l.label).c_str(),
                    l.usedPercent, safe(l.resetText).c_str(), fmtAgo(l.asOf, now).c_str()));
        std::string text = "      " + safe(l.forecast);
        if (l.top) text += "\n      " + safe(*l.top);
        line(text);
    }

    line("\nNudges: " + std::to_string(snap.nudges.size()));
    for (const auto& n : snap.nudges) line("  " + safe(n.title) + "\n      " + safe(n.detail));

    line("\nToday's sessions");
    std::size_t shown = 0;
    for (const auto& s : snap.sessions) {
        if (shown++ == 12) break;
        line(format("  %7s  %5lld turns  now %6s  start %6s  sub %3.0f%%  %s: %s [%s]",
                    fmtTokens(s.tokensToday).c_str(), static_cast<long long>(s.turnsToday),
                    fmtTokens(s.contextNow).c_str(), fmtTokens(s.floor).c_str(), s.sideShare * 100,
                    safe(s.tool).c_str(), safe(s.name).c_str(), safe(s.project).c_str()));
        line("           state: " + safe(s.state));
        for (const auto& a : s.advice) line("           -> " + safe(a));
    }
}

void printGates(std::ostream& out, const std::vector<Gate>& gates, const std::optional<std::string>& note) {
    auto line = [&out](const std::string& s) { out << s << '\n'; };
    line("\nFailed gates: " + std::to_string(gates.size()));
    for (const auto& g : gates) {
        std::string text = std::string("  [") + Gate::kindName(g.kind) + "] " + safe(g.title) + "\n      " +
                           safe(g.detail);
        if (g.link) text += "\n      " + safe(*g.link);
        line(text);
    }
    if (note) line("  note: " + safe(*note));
}

// RFC 3339 in UTC with milliseconds.
std::string rfc3339(Instant t) {
    if (!std::isfinite(t) || std::fabs(t) > 1e15) return "1970-01-01T00:00:00.000Z";
    double whole = std::floor(t);
    auto secs = static_cast<time_t>(whole);
    int millis = static_cast<int>(std::lround((t - whole) * 1000));
    if (millis == 1000) {
        ++secs;
        millis = 0;
    }
    tm utc{};
    gmtime_r(&secs, &utc);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return buf;
}

using Json = nlohmann::ordered_json;

Json optionalText(const std::optional<std::string>& s) { return s ? Json(*s) : Json(nullptr); }

Json dayJson(const DayReport& d) {
    return Json{{"day", d.day}, {"tokens", d.tokens}, {"turns", d.turns}, {"sideTurns", d.sideTurns}, {"usd", d.usd}};
}

void printJson(std::ostream& out, const Command& command, const LogScanner& scanner, const Snapshot& snap,
               double elapsed, const std::vector<Gate>& gates, const std::optional<std::string>& note) {
    Json doc;
    doc["filesRead"] = scanner.filesRead();
    doc["seconds"] = elapsed;
    doc["scannedAt"] = rfc3339(snap.scannedAt);
    doc["today"] = dayJson(snap.today);
    doc["overBudget"] = snap.overBudget;
    doc["week"] = Json::array();
    for (const auto& d : snap.week) doc["week"].push_back(dayJson(d));
    if (command.month) {
        doc["month"] = Json::array();
        for (const auto& d : snap.month) doc["month"].push_back(dayJson(d));
    }
    doc["codexOnly"] = Json::array();
    for (const auto& c : codexOnly(scanner, snap.week))
        doc["codexOnly"].push_back(Json{{"day", c.day}, {"tokens", c.tokens}, {"turns", c.turns}});
    doc["limits"] = Json::array();
    for (const auto& l : snap.limits)
        doc["limits"].push_back(Json{{"id", l.id},
                                     {"tool", l.tool},
                                     {"label", l.label},
                                     {"usedPercent", l.usedPercent},
                                     {"resetsAt", rfc3339(l.resetsAt)},
                                     {"resetText", l.resetText},
                                     {"forecast", l.forecast},
                                     {"top", optionalText(l.top)},
                                     {"asOf", rfc3339(l.asOf)},
                                     {"level", l.level}});
    doc["nudges"] = Json::array();
    for (const auto& n : snap.nudges)
        doc["nudges"].push_back(Json{{"id", n.id}, {"title", n.title}, {"detail", n.detail}});
    doc["sessions"] = Json::array();
    for (const auto& s : snap.sessions)
        doc["sessions"].push_back(Json{{"id", s.id},
                                       {"tool", s.tool},
                                       {"name", s.name},
                                       {"project", s.project},
                                       {"tokensToday", s.tokensToday},
                                       {"turnsToday", s.turnsToday},
                                       {"usdToday", s.usdToday},
                                       {"contextNow", s.contextNow},
                                       {"floor", s.floor},
                                       {"sideShare", s.sideShare},
                                       {"last", rfc3339(s.last)},
                                       {"state", s.state},
                                       {"stateLevel", s.stateLevel},
                                       {"advice", s.advice}});
    doc["gates"] = Json::array();
    for (const auto& g : gates)
        doc["gates"].push_back(Json{{"id", g.id},
                                    {"kind", Gate::kindName(g.kind)},
                                    {"title", g.title},
                                    {"detail", g.detail},
                                    {"link", optionalText(g.link)},
                                    {"since", rfc3339(g.since)},
                                    {"hint", optionalText(g.hint)}});
    doc["gitHubNote"] = optionalText(note);
    // Text from logs may hold malformed UTF-8; it is replaced rather than failing the document.
    out << doc.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

} // namespace

int writeReport(const Command& command, std::ostream& out) {
    const Config config = Config::load();
    LogScanner scanner(config);
    const Instant start = currentInstant();
    const int days = command.month ? 32 : 8;
    if (!scanner.scanBoth(days)) {
        if (command.json)
            out << Json{{"error", kNoLogs}}.dump() << '\n';
        else
            out << kNoLogs << '\n';
        return 3;
    }
    const Instant now = currentInstant();
    const Snapshot snap = Diagnosis::snapshot(scanner, config, now);
    const double elapsed = currentInstant() - start;

    GateWatcher watcher(config);
    if (command.json) {
        const std::vector<Gate> gates = watcher.current(scanner, !command.noGithub, currentInstant());
        printJson(out, command, scanner, snap, elapsed, gates, watcher.gitHubNote());
    } else {
        // The report shows before GitHub is asked, which can take a while.
        printSnapshot(out, command, scanner, snap, elapsed, now);
        out.flush();
        const std::vector<Gate> gates = watcher.current(scanner, !command.noGithub, currentInstant());
        printGates(out, gates, watcher.gitHubNote());
    }
    out.flush();
    return 0;
}

} // namespace quillon::cli
