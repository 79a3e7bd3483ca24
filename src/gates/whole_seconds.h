#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "settings/clock.h"

namespace quillon {

// An instant as whole seconds since 1970, truncated toward zero, in plain decimal: the form
// gate ids and dismissed file names carry. Values a double cannot hold as an integer are
// clamped rather than left to undefined conversion.
inline std::string wholeSeconds(Instant t) {
    if (std::isnan(t)) return "0";
    constexpr double bound = 9.0e18;
    double clamped = t > bound ? bound : t < -bound ? -bound : t;
    return std::to_string(static_cast<std::int64_t>(clamped));
}

} // namespace quillon
