#include "app/demo_data.h"

#include <cstdint>
#include <initializer_list>
#include <string>

#include "app/model.h"
#include "scanner/timestamp.h"
#include "settings/format.h"

namespace quillon::app {
namespace {

constexpr double kDay = 86'400;

DayReport dayOf(Instant now, int daysAgo, std::int64_t m) {
    DayReport d;
    d.day = dayKey(now - daysAgo * kDay);
    d.tokens = m * 1'000'000;
    d.turns = 4 * m;
    d.sideTurns = m;
    d.usd = 2.1 * static_cast<double>(m);
    return d;
}

std::string compactAdvice(const SessionReport& s) {
    return format(
        "Compact now: it carries %s of history on top of a %s start, so each turn costs about %.1fx a "
        "fresh one.",
        fmtTokens(s.contextNow - s.floor).c_str(), fmtTokens(s.floor).c_str(),
        static_cast<double>(s.contextNow) / static_cast<double>(s.floor));
}

std::string startAdvice(const SessionReport& s) {
    return "Starts at " + fmtTokens(s.floor) +
           " before any work. Turn off connectors and plugins this session does not use.";
}

SessionReport session(std::string id, std::string name, std::string tool, std::string project,
                      std::int64_t tokens, std::int64_t turns, std::int64_t context, std::int64_t floor,
                      double sideShare, Instant last, std::string state, std::int64_t level) {
    SessionReport s;
    s.id = std::move(id);
    s.name = std::move(name);
    s.tool = std::move(tool);
    s.project = std::move(project);
    s.tokensToday = tokens;
    s.turnsToday = turns;
    s.usdToday = 0;
    s.contextNow = context;
    s.floor = floor;
    s.sideShare = sideShare;
    s.last = last;
    s.state = std::move(state);
    s.stateLevel = level;
    s.advice = {compactAdvice(s), startAdvice(s)};
    return s;
}

LimitView limit(std::string tool, std::string label, double used, Instant resetsAt, std::string resetText,
                std::string forecast, std::optional<std::string> top, std::int64_t level, Instant now) {
    LimitView v;
    v.id = tool + ":" + label + ":" + std::to_string(static_cast<std::int64_t>(resetsAt));
    v.tool = std::move(tool);
    v.label = std::move(label);
    v.usedPercent = used;
    v.resetsAt = resetsAt;
    v.resetText = std::move(resetText);
    v.forecast = std::move(forecast);
    v.top = std::move(top);
    v.asOf = now;
    v.level = level;
    return v;
}

} // namespace

DemoData demoData(Instant now, const Config& config, bool red) {
    DemoData data;
    Snapshot& snap = data.snap;
    snap.ready = true;
    snap.readFailed = false;
    snap.monthReady = true;
    snap.scannedAt = now;

    int ago = 29;
    for (std::int64_t m : {301, 0, 512, 644, 398, 720, 455, 0,   213, 588, 802, 367,
                           490, 0, 0,   631, 544, 419, 760, 322, 0,   275, 498})
        snap.month.push_back(dayOf(now, ago--, m));
    for (std::int64_t m : {612, 388, 905, 441, 530, 274, 486})
        snap.week.push_back(dayOf(now, ago--, m));
    snap.month.insert(snap.month.end(), snap.week.begin(), snap.week.end());

    snap.today.day = dayKey(now);
    snap.today.tokens = 486'000'000;
    snap.today.turns = 1930;
    snap.today.sideTurns = 1120;
    snap.today.usd = 1021;
    snap.overBudget = snap.today.tokens > config.dailyBudget;

    SessionReport first = session("demo-billing", "Refactor billing webhooks", "Claude Code", "api-server",
                                  291'000'000, 1104, 412'000, 38'000, 0.71, now - 40, "Working", 0);
    first.advice.push_back(
        format("Subagents are %.0f%% of its tokens today. Fewer, narrower helpers would cut it.", 71.0));
    snap.sessions.push_back(std::move(first));
    snap.sessions.push_back(session("codex:demo-payments", "Review the payments migration", "Codex",
                                    "api-server", 122'000'000, 510, 262'000, 41'000, 0, now - 720,
                                    "Finished " + std::to_string(12) + " min ago", 1));
    snap.sessions.push_back(
        session("demo-checkout", "Fix flaky checkout test", "Claude Code", "web-app", 41'000'000, 204,
                152'000, 118'000, 0.12, now - 1860,
                "Waiting on Bash for " + std::to_string(31) + " min (may need your approval)", 2));

    snap.limits.push_back(limit("Claude Code", "5-hour", 72, now + 5400, "resets 4:10 PM",
                                "At this pace you run out at 3:35 PM, 35 min before it resets.",
                                "Refactor billing webhooks used about 64% of the tokens in this window.", 1,
                                now));
    snap.limits.push_back(limit("Claude Code", "Weekly", 41, now + 259'200, "resets Fri 9:00 AM",
                                "On pace to finish this window at about 72%.", std::nullopt, 0, now));
    snap.limits.push_back(limit("Codex", "5-hour", 18, now + 9000, "resets 5:10 PM",
                                "On pace to finish this window at about 36%.", std::nullopt, 0, now));

    if (red) {
        Gate check;
        check.kind = Gate::Kind::check;
        check.id = "pr:example/api-server#482";
        check.title = "Checks failed: api-server#482";
        check.detail = "Refactor billing webhooks · unit-tests, lint";
        check.link = "https://github.com/example/api-server/pull/482";
        check.since = now - 2820;
        data.gates.push_back(std::move(check));

        Gate stopped;
        stopped.kind = Gate::Kind::session;
        stopped.id = "session:demo-checkout";
        stopped.title = "Stopped on a failure: Fix flaky checkout test";
        stopped.detail = "web-app · idle 31 min · pre-push hook failed: 3 tests failed";
        stopped.since = now - 1860;
        data.gates.push_back(std::move(stopped));
    }
    return data;
}

void applyDemo(Model& model, Instant now, bool month, bool red) {
    DemoData data = demoData(now, model.config(), red);
    model.setSnap(std::move(data.snap));
    model.setGates(std::move(data.gates));
    model.setNote(std::nullopt);
    model.setClaudeConnected(true);
    model.setShowMonth(month);
}

} // namespace quillon::app
