#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace quillon {

struct Usage;

// A price row: dollars per million tokens for input, cache write (5-minute), cache read, output.
using PriceRow = std::array<double, 4>;

// The one settings record. A value: copies are handed to every part that reads it.
struct Config {
    std::int64_t dailyBudget = 750'000'000;
    std::int64_t historyCeiling = 150'000;
    std::int64_t floorWarning = 60'000;
    bool redBorder = true;
    bool watchGitHub = true;
    bool watchClaude = true;
    bool watchCodex = true;
    bool notifications = true;
    bool menuBarDollars = false;
    bool menuBarLimit = true;
    std::int64_t limitWarnPercent = 80;
    bool notifyWaiting = true;
    std::int64_t waitMinutes = 10;
    std::string pushURL;
    std::int64_t stallMinutes = 10;
    std::map<std::string, PriceRow> prices = defaultPrices();

    friend bool operator==(const Config&, const Config&) = default;

    static std::map<std::string, PriceRow> defaultPrices();

    // Reads ~/.quillon/config.json; never fails (defaults for anything missing or malformed).
    // Creates ~/.quillon/alerts/dismissed on the way.
    static Config load();
    // Writes all keys, sorted and indented, in place. Failures are ignored.
    void save() const;

    // The JSON text save() writes, and the parser load() uses; exposed for tests.
    std::string toJson() const;
    static Config fromJson(std::string_view text);

    // List-price dollars of a usage record. cacheW1h is the part of usage.cacheW written
    // with the one-hour cache lifetime, billed at twice the input price.
    double usd(std::string_view model, const Usage& usage, std::int64_t cacheW1h = 0) const;

    // The row used for a model name: the longest key found in the lower-cased name (ties in
    // text order), else "default", else zeros.
    PriceRow priceRow(std::string_view model) const;

    // ~/.quillon and the files in it (HOME is read on every call).
    static std::string dir();
    static std::string file();
    static std::string alertsDir();
    static std::string dismissedDir();
    static std::string ackFile();
    static std::string welcomedFile();
};

} // namespace quillon
