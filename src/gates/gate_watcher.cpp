#include "gates/gate_watcher.h"

#include <algorithm>
#include <random>

#include <nlohmann/json.hpp>

#include "settings/disk.h"

namespace quillon {
namespace {

constexpr double gitHubPollInterval = 170;
// Ours, so small; the bound only keeps a stray huge file out of memory.
constexpr std::size_t ackFileMaxBytes = 16u << 20;

std::set<std::string> loadAcked() {
    std::set<std::string> ids;
    auto text = disk::readFile(Config::ackFile(), ackFileMaxBytes);
    if (!text) return ids;
    auto doc = nlohmann::json::parse(*text, nullptr, false);
    if (!doc.is_array()) return ids;
    for (const auto& v : doc) {
        if (!v.is_string()) return {};
        ids.insert(v.get<std::string>());
    }
    return ids;
}

} // namespace

GateWatcher::GateWatcher(Config cfg) : config(std::move(cfg)), m_acked(loadAcked()) {}

std::vector<Gate> GateWatcher::current(const LogScanner& scanner, bool pollGitHub, Instant now) {
    std::vector<Gate> gates = alertFiles(now);
    std::vector<Gate> sessions = stalledSessions(scanner, now);
    gates.insert(gates.end(), sessions.begin(), sessions.end());

    if (config.watchGitHub) {
        if (pollGitHub && now - m_lastGitHubPoll > gitHubPollInterval) {
            m_lastGitHubPoll = now;
            m_checkGates = failedChecks(scanner, now);
        }
        gates.insert(gates.end(), m_checkGates.begin(), m_checkGates.end());
    }

    std::erase_if(gates, [&](const Gate& g) { return m_acked.count(g.id) != 0; });
    std::stable_sort(gates.begin(), gates.end(), [](const Gate& a, const Gate& b) { return a.since > b.since; });
    return gates;
}

void GateWatcher::dismiss(const Gate& gate, Instant now) {
    if (gate.kind == Gate::Kind::alert && gate.link) moveToDismissed(*gate.link, now);

    m_acked.insert(gate.id);
    if (m_acked.size() > 2000) {
        std::vector<std::string> ids(m_acked.begin(), m_acked.end());
        std::shuffle(ids.begin(), ids.end(), std::mt19937_64(std::random_device{}()));
        ids.resize(1000);
        m_acked = std::set<std::string>(ids.begin(), ids.end());
    }

    nlohmann::json list = nlohmann::json::array();
    for (const auto& id : m_acked) list.push_back(id);
    disk::makeDirs(Config::dir());
    disk::writeInPlace(Config::ackFile(),
                       list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace quillon
