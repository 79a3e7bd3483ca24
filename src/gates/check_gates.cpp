#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "gates/gate_watcher.h"
#include "gates/run_tool.h"
#include "scanner/log_scanner.h"
#include "scanner/text.h"
#include "scanner/timestamp.h"
#include "settings/disk.h"

namespace quillon {
namespace {

using nlohmann::json;

constexpr const char* gitHubHost = "github.com";
constexpr double recentWindow = 259200;
constexpr std::size_t maxRepositories = 8;
constexpr std::size_t maxCheckNames = 4;

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string envOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v ? v : fallback;
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::optional<std::string> stringMember(const json& o, const char* key) {
    auto it = o.find(key);
    if (it == o.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

bool isFailed(const json& check) {
    static const std::set<std::string> failed = {"FAILURE", "TIMED_OUT", "STARTUP_FAILURE", "ACTION_REQUIRED",
                                                 "ERROR"};
    auto conclusion = stringMember(check, "conclusion");
    auto state = stringMember(check, "state");
    return (conclusion && failed.count(upper(*conclusion))) || (state && failed.count(upper(*state)));
}

std::string trimSlashes(std::string_view s) {
    while (!s.empty() && (s.front() == ':' || s.front() == '/')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ':' || s.back() == '/')) s.remove_suffix(1);
    return std::string(s);
}

// One pull request with failed checks as a gate; nothing when none failed.
std::optional<Gate> prGate(const json& pr, const std::string& repository, const std::optional<std::string>& hint,
                           Instant now) {
    std::set<std::string> names;
    std::optional<Instant> latest;
    bool anyFailed = false;
    if (auto rollup = pr.find("statusCheckRollup"); rollup != pr.end() && rollup->is_array()) {
        for (const json& check : *rollup) {
            if (!check.is_object() || !isFailed(check)) continue;
            anyFailed = true;
            if (auto name = stringMember(check, "name"))
                names.insert(*name);
            else if (auto context = stringMember(check, "context"))
                names.insert(*context);
            if (auto completed = stringMember(check, "completedAt"))
                if (auto t = parseIso8601(*completed, false); t && (!latest || *t > *latest)) latest = t;
        }
    }
    if (!anyFailed) return std::nullopt;

    std::string kept;
    std::size_t count = 0;
    for (const auto& name : names) {
        if (count++ == maxCheckNames) break;
        if (count > 1) kept += ", ";
        kept += name;
    }

    std::string number = "0";
    if (auto it = pr.find("number"); it != pr.end()) {
        if (it->is_number_unsigned())
            number = std::to_string(it->get<std::uint64_t>());
        else if (it->is_number_integer())
            number = std::to_string(it->get<std::int64_t>());
    }
    const std::string shortName = repository.substr(repository.rfind('/') + 1);

    Gate g;
    g.id = "pr:" + repository + "#" + number + "@" + stringMember(pr, "headRefOid").value_or("");
    g.kind = Gate::Kind::check;
    g.title = "Checks failed: " + shortName + "#" + number;
    g.detail = stringMember(pr, "title").value_or("") + " \u00B7 " + kept;
    g.link = stringMember(pr, "url");
    g.since = latest.value_or(now);
    g.hint = hint;
    return g;
}

} // namespace

const std::optional<std::string>& GateWatcher::gh() {
    if (!m_gh) {
        const std::string home = disk::homeDir();
        const std::string candidates[] = {"/opt/homebrew/bin/gh", "/usr/local/bin/gh", home + "/.local/gh/bin/gh",
                                          home + "/.local/bin/gh", "/usr/bin/gh"};
        m_gh.emplace();
        for (const auto& path : candidates) {
            if (isExecutableFile(path)) {
                *m_gh = path;
                break;
            }
        }
    }
    return *m_gh;
}

std::optional<std::string> GateWatcher::repo(const std::string& directory) {
    if (auto it = m_repoCache.find(directory); it != m_repoCache.end()) return it->second;

    std::optional<std::string> answer;
    if (disk::exists(directory)) {
        ToolResult r = runTool("/usr/bin/git", {"-C", directory, "remote", "get-url", "origin"}, 5);
        auto at = r.status == 0 ? r.out.find(gitHubHost) : std::string::npos;
        if (at != std::string::npos) {
            std::string path = trimSlashes(text::trim(std::string_view(r.out).substr(at + std::string_view(gitHubHost).size())));
            if (path.size() >= 4 && path.ends_with(".git")) path.resize(path.size() - 4);
            std::size_t pieces = 0;
            for (std::size_t start = 0; start <= path.size();) {
                std::size_t end = std::min(path.find('/', start), path.size());
                if (end > start) ++pieces;
                start = end + 1;
            }
            if (pieces == 2) answer = path;
        }
    }
    m_repoCache[directory] = answer;
    return answer;
}

std::vector<Gate> GateWatcher::failedChecks(const LogScanner& scanner, Instant now) {
    std::vector<Gate> gates;
    const auto& ghPath = gh();
    if (!ghPath) {
        m_gitHubNote = "GitHub checks are off: the gh command line tool was not found.";
        return gates;
    }

    std::set<std::string> found;
    for (const SessionAgg* s : scanner.sessions()) {
        if (s->cwd.empty() || !(s->last && *s->last > now - recentWindow)) continue;
        if (auto r = repo(s->cwd)) found.insert(*r);
    }
    std::vector<std::string> repositories(found.begin(), found.end());
    if (repositories.size() > maxRepositories) repositories.resize(maxRepositories);

    if (!m_ghLogin) {
        ToolResult r = runTool(*ghPath, {"api", "user", "--jq", ".login"}, 10);
        if (r.status == 0) m_ghLogin = std::string(text::trim(r.out));
    }
    std::optional<std::string> hint;
    if (m_ghLogin)
        hint = "Open needs your browser signed in to GitHub as " + *m_ghLogin +
               ". A 404 page means it is signed in as a different account.";

    const std::string state = envOr("QUILLON_PR_STATE", "open");
    const std::string limit = envOr("QUILLON_PR_LIMIT", "60");
    std::vector<std::string> unreadable;
    for (const auto& repository : repositories) {
        ToolResult r = runTool(*ghPath,
                               {"pr", "list", "-R", repository, "--state", state, "--limit", limit, "--json",
                                "number,title,url,headRefOid,statusCheckRollup"},
                               25);
        json prs = r.status == 0 ? json::parse(r.out, nullptr, false) : json();
        bool readable = prs.is_array() && std::all_of(prs.begin(), prs.end(), [](const json& p) { return p.is_object(); });
        if (!readable) {
            unreadable.push_back(repository);
            continue;
        }
        for (const json& pr : prs)
            if (auto g = prGate(pr, repository, hint, now)) gates.push_back(std::move(*g));
    }

    if (unreadable.empty()) {
        m_gitHubNote.reset();
    } else {
        std::string joined;
        for (const auto& r : unreadable) joined += (joined.empty() ? "" : ", ") + r;
        m_gitHubNote = "Not watching checks for " + joined + ": the signed-in GitHub account cannot read it.";
    }
    return gates;
}

} // namespace quillon
