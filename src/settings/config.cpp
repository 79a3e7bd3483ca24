#include "settings/config.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <vector>

#include "scanner/usage.h"
#include "settings/disk.h"

namespace quillon {

using nlohmann::json;

std::map<std::string, PriceRow> Config::defaultPrices() {
    return {
        {"opus", {15.0, 18.75, 1.5, 75.0}},
        {"sonnet", {3.0, 3.75, 0.3, 15.0}},
        {"haiku", {1.0, 1.25, 0.1, 5.0}},
        {"gpt", {1.25, 1.25, 0.125, 10.0}},
        {"default", {15.0, 18.75, 1.5, 75.0}},
        // Newer families; the longest matching key wins, so Opus 4 and 4.1 keep "opus".
        {"opus-4-5", {5.0, 6.25, 0.5, 25.0}},
        {"opus-4-6", {5.0, 6.25, 0.5, 25.0}},
        {"opus-4-7", {5.0, 6.25, 0.5, 25.0}},
        {"opus-4-8", {5.0, 6.25, 0.5, 25.0}},
        {"opus-5", {5.0, 6.25, 0.5, 25.0}},
        {"opus-5-5", {4.0, 5.0, 0.2, 20.0}},
        {"sonnet-5", {2.0, 2.5, 0.2, 10.0}},
        {"sonnet-5-5", {2.0, 2.5, 0.1, 10.0}},
        {"fable", {10.0, 12.5, 1.0, 50.0}},
        {"fable-5-1", {10.0, 12.5, 0.25, 50.0}},
        {"gpt-5.5", {5.0, 6.25, 0.5, 30.0}},
    };
}


std::string Config::dir() { return disk::homeDir() + "/.quillon"; }
std::string Config::file() { return dir() + "/config.json"; }
std::string Config::alertsDir() { return dir() + "/alerts"; }
std::string Config::dismissedDir() { return alertsDir() + "/dismissed"; }
std::string Config::ackFile() { return dir() + "/acked.json"; }
std::string Config::welcomedFile() { return dir() + "/welcomed"; }

namespace {

// Takes an integer only when the JSON number converts to it without loss (80 or 80.0, not 1.5).
void takeInt(const json& o, const char* key, std::int64_t& field) {
    auto it = o.find(key);
    if (it == o.end()) return;
    if (it->is_number_integer()) {
        if (it->is_number_unsigned() && it->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) return;
        field = it->get<std::int64_t>();
    } else if (it->is_number_float()) {
        double d = it->get<double>();
        if (d >= -9.2e18 && d <= 9.2e18 && static_cast<double>(static_cast<std::int64_t>(d)) == d)
            field = static_cast<std::int64_t>(d);
    }
}

void takeBool(const json& o, const char* key, bool& field) {
    auto it = o.find(key);
    if (it != o.end() && it->is_boolean()) field = it->get<bool>();
}

void takeString(const json& o, const char* key, std::string& field) {
    auto it = o.find(key);
    if (it != o.end() && it->is_string()) field = it->get<std::string>();
}

} // namespace

Config Config::fromJson(std::string_view text) {
    Config c;
    json o = json::parse(text, nullptr, false);
    if (o.is_discarded() || !o.is_object()) return c;
    takeInt(o, "dailyBudget", c.dailyBudget);
    takeInt(o, "historyCeiling", c.historyCeiling);
    takeInt(o, "floorWarning", c.floorWarning);
    takeBool(o, "redBorder", c.redBorder);
    takeBool(o, "watchGitHub", c.watchGitHub);
    takeBool(o, "watchClaude", c.watchClaude);
    takeBool(o, "watchCodex", c.watchCodex);
    takeBool(o, "notifications", c.notifications);
    takeBool(o, "menuBarDollars", c.menuBarDollars);
    takeBool(o, "menuBarLimit", c.menuBarLimit);
    takeInt(o, "limitWarnPercent", c.limitWarnPercent);
    takeBool(o, "notifyWaiting", c.notifyWaiting);
    takeInt(o, "waitMinutes", c.waitMinutes);
    takeString(o, "pushURL", c.pushURL);
    takeInt(o, "stallMinutes", c.stallMinutes);

    auto p = o.find("prices");
    if (p != o.end() && p->is_object()) {
        bool allNumbers = true;
        for (const auto& [key, row] : p->items()) {
            if (!row.is_array() ||
                !std::all_of(row.begin(), row.end(), [](const json& v) { return v.is_number(); })) {
                allNumbers = false;
                break;
            }
        }
        if (allNumbers) {
            for (const auto& [key, row] : p->items()) {
                if (row.size() != 4) continue;
                c.prices[key] = {row[0].get<double>(), row[1].get<double>(), row[2].get<double>(),
                                 row[3].get<double>()};
            }
        }
    }
    return c;
}

Config Config::load() {
    disk::makeDirs(dismissedDir());
    auto text = disk::readFile(file());
    if (!text) return Config();
    return fromJson(*text);
}

std::string Config::toJson() const {
    json o = json::object();
    o["dailyBudget"] = dailyBudget;
    o["historyCeiling"] = historyCeiling;
    o["floorWarning"] = floorWarning;
    o["redBorder"] = redBorder;
    o["watchGitHub"] = watchGitHub;
    o["watchClaude"] = watchClaude;
    o["watchCodex"] = watchCodex;
    o["notifications"] = notifications;
    o["menuBarDollars"] = menuBarDollars;
    o["menuBarLimit"] = menuBarLimit;
    o["limitWarnPercent"] = limitWarnPercent;
    o["notifyWaiting"] = notifyWaiting;
    o["waitMinutes"] = waitMinutes;
    o["pushURL"] = pushURL;
    o["stallMinutes"] = stallMinutes;
    json rows = json::object();
    for (const auto& [key, row] : prices) rows[key] = json::array({row[0], row[1], row[2], row[3]});
    o["prices"] = std::move(rows);
    // Invalid UTF-8 in a text field is replaced rather than failing the whole save.
    return o.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

void Config::save() const {
    // The file may hold a webhook address that is a secret: new files are owner-only.
    disk::writeInPlace(file(), toJson(), 0600);
}

PriceRow Config::priceRow(std::string_view model) const {
    std::string name;
    name.reserve(model.size());
    for (char ch : model) name.push_back(ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch);

    const PriceRow* best = nullptr;
    std::size_t bestLen = 0;
    // std::map visits keys in text order, so among keys of equal length the first in
    // text order wins; a longer key always beats a shorter one.
    for (const auto& [key, row] : prices) {
        if (key == "default" || (best && key.size() <= bestLen)) continue;
        if (key.empty() || name.find(key) == std::string::npos) continue;
        if (!best || key.size() > bestLen) {
            best = &row;
            bestLen = key.size();
        }
    }
    if (best) return *best;
    if (auto it = prices.find("default"); it != prices.end()) return it->second;
    return {0, 0, 0, 0};
}

double Config::usd(std::string_view model, const Usage& u, std::int64_t cacheW1h) const {
    PriceRow r = priceRow(model);
    std::int64_t oneHour = std::clamp<std::int64_t>(cacheW1h, 0, std::max<std::int64_t>(u.cacheW, 0));
    std::int64_t fiveMinute = u.cacheW - oneHour;
    double sum = static_cast<double>(u.input) * r[0];
    sum += static_cast<double>(fiveMinute) * r[1];
    if (oneHour > 0) sum += static_cast<double>(oneHour) * (2.0 * r[0]);
    sum += static_cast<double>(u.cacheR) * r[2];
    sum += static_cast<double>(u.output) * r[3];
    return sum / 1'000'000.0;
}

} // namespace quillon
