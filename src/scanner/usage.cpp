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
    for (auto it = hours.lower_bound(hourNumber(since)); it != hours.end(); ++it) sum += it->second;
    return sum;
}

std::int64_t hourNumber(Instant t) { return static_cast<std::int64_t>(t / 3600.0); }

} // namespace quillon
