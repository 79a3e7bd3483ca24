#pragma once

#include <cstdint>
#include <string>

#include "settings/clock.h"

namespace quillon {

// Token counts as people read them: 999, 150K, 12.3M, 750M, 1.2B.
std::string fmtTokens(std::int64_t n);

// Elapsed time: "just now", "12 min ago", "1.5 h ago", "3 d ago".
std::string fmtAgo(Instant date, Instant now);

// printf into a std::string (the C locale's decimal point is used throughout).
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace quillon
