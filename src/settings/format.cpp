#include "settings/format.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace quillon {

std::string format(const char* fmt, ...) {
    char small[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string fmtTokens(std::int64_t n) {
    double d = static_cast<double>(n);
    if (n >= 1'000'000'000) return format("%.1fB", d / 1e9);
    if (n >= 100'000'000) return format("%.0fM", d / 1e6);
    if (n >= 1'000'000) return format("%.1fM", d / 1e6);
    if (n >= 1'000) return format("%.0fK", d / 1000.0);
    return std::to_string(n);
}

std::string fmtAgo(Instant date, Instant now) {
    double diff = now - date;
    // Non-finite or absurd spans are treated as "just now" or clamped rather than overflowing.
    if (!std::isfinite(diff) || diff < 90) return "just now";
    if (diff > 9.0e15) diff = 9.0e15;
    auto s = static_cast<std::int64_t>(diff);
    if (s <= 5'399) return std::to_string(s / 60) + " min ago";
    if (s < 172'800) return format("%.1f h ago", static_cast<double>(s) / 3600.0);
    return std::to_string(s / 86'400) + " d ago";
}

} // namespace quillon
