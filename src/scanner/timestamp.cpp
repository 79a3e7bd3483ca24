#include "scanner/timestamp.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace quillon {
namespace {

bool digits(std::string_view s, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int v = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        char c = s[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

bool leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

} // namespace

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::optional<Instant> parseIso8601(std::string_view s, bool fractional) {
    int year, month, day, hour, minute, second;
    if (s.size() < 20) return std::nullopt;
    if (!digits(s, 0, 4, year) || s[4] != '-' || !digits(s, 5, 2, month) || s[7] != '-' ||
        !digits(s, 8, 2, day) || (s[10] != 'T' && s[10] != 't') || !digits(s, 11, 2, hour) || s[13] != ':' ||
        !digits(s, 14, 2, minute) || s[16] != ':' || !digits(s, 17, 2, second))
        return std::nullopt;
    static constexpr int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return std::nullopt;
    if (day > monthDays[month - 1] + (month == 2 && leap(year) ? 1 : 0)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;

    std::size_t i = 19;
    double fraction = 0;
    if (i < s.size() && s[i] == '.') {
        if (!fractional) return std::nullopt;
        ++i;
        std::size_t start = i;
        double scale = 0.1;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            fraction += (s[i] - '0') * scale;
            scale /= 10;
            ++i;
        }
        if (i == start) return std::nullopt;
    } else if (fractional) {
        return std::nullopt;
    }

    if (i >= s.size()) return std::nullopt;
    int offset = 0;
    if (s[i] == 'Z' || s[i] == 'z') {
        ++i;
    } else if (s[i] == '+' || s[i] == '-') {
        int oh, om;
        if (!digits(s, i + 1, 2, oh) || i + 3 >= s.size() || s[i + 3] != ':' || !digits(s, i + 4, 2, om))
            return std::nullopt;
        if (oh > 23 || om > 59) return std::nullopt;
        offset = (oh * 60 + om) * 60 * (s[i] == '-' ? -1 : 1);
        i += 6;
    } else {
        return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;

    std::int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    std::int64_t secs = days * 86400 + hour * 3600 + minute * 60 + second - offset;
    return static_cast<double>(secs) + fraction;
}

std::optional<Instant> parseTimestamp(std::string_view s) {
    if (auto t = parseIso8601(s, true)) return t;
    return parseIso8601(s, false);
}

std::string dayKey(Instant t) {
    if (!std::isfinite(t) || std::fabs(t) > 1e15) return "1970-01-01";
    auto secs = static_cast<time_t>(std::floor(t));
    tm local{};
    localtime_r(&secs, &local);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return buf;
}

} // namespace quillon
