#include "scanner/usage.h"

#include "scanner/text.h"

namespace quillon {

std::string SessionAgg::name() const {
    if (title && !title->empty()) return *title;
    if (firstPrompt && !firstPrompt->empty()) return *firstPrompt;
    return text::prefixChars(id, 8);
}

std::int64_t SessionAgg::tokens(Instant since) const {
    std::int64_t sum = 0;
    for (auto it = hours.lower_bound(hourNumber(since)); it != hours.end(); ++it)
        sum = satAdd(sum, it->second);
    return sum;
}

std::int64_t hourNumber(Instant t) {
    double h = t / 3600.0;
    // Out-of-range instants would make the conversion undefined; pin them to the ends.
    if (!(h > -9.0e18)) return h != h ? 0 : INT64_MIN;
    if (h > 9.0e18) return INT64_MAX;
    return static_cast<std::int64_t>(h);
}

} // namespace quillon
