#include <algorithm>

#include "gates/gate_watcher.h"
#include "gates/whole_seconds.h"
#include "scanner/log_scanner.h"
#include "scanner/text.h"
#include "settings/format.h"

namespace quillon {

const std::array<const char*, 19> GateWatcher::gateWords = {
    "pre-push",      "pre-commit",       "hook",            "ci-local",     "tests failed",
    "test failed",   " failed",          "failed,",         "failing",      "rejected",
    "refused",       "protected branch", "required status", "check failed", "permission denied",
    "not permitted", "build failed",     "error:",          "fatal:",
};

const std::array<const char*, 3> GateWatcher::refusalPhrases = {
    "doesn't want to proceed",
    "tool use was rejected",
    "interrupted by user",
};

namespace {

constexpr double day = 86400;

// The last component of a working directory, or nothing for "" and "/".
std::string lastComponent(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string withoutAgo(std::string s) {
    for (auto at = s.find(" ago"); at != std::string::npos; at = s.find(" ago", at)) s.erase(at, 4);
    return s;
}

bool containsAny(const std::string& haystack, const auto& needles) {
    return std::any_of(needles.begin(), needles.end(),
                       [&](const char* n) { return haystack.find(n) != std::string::npos; });
}

} // namespace

std::vector<Gate> GateWatcher::stalledSessions(const LogScanner& scanner, Instant now) const {
    std::vector<Gate> gates;
    for (const SessionAgg* s : scanner.sessions()) {
        if (!(s->tool == "Codex" ? config.watchCodex : config.watchClaude)) continue;
        if (!s->lastToolError || !s->last) continue;
        const ToolError& error = *s->lastToolError;
        const Instant reference = std::max(error.at, *s->last);
        const double idle = now - reference;
        if (idle > day || idle < static_cast<double>(config.stallMinutes) * 60) continue;

        const std::string lowered = text::lower(error.text);
        if (containsAny(lowered, refusalPhrases) || !containsAny(lowered, gateWords)) continue;

        const std::string project = lastComponent(s->cwd);
        Gate g;
        g.id = "session:" + s->id + ":" + wholeSeconds(error.at);
        g.kind = Gate::Kind::session;
        g.title = "Stopped on a failure: " + s->name();
        g.detail = (project.empty() ? "" : project + " \u00B7 ") + "idle " + withoutAgo(fmtAgo(reference, now)) +
                   " \u00B7 " + text::prefixChars(error.text, 160);
        g.since = error.at;
        gates.push_back(std::move(g));
    }
    return gates;
}

} // namespace quillon
