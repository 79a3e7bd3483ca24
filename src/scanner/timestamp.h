#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "settings/clock.h"

namespace quillon {

// Strict ISO 8601 internet date-time: yyyy-MM-ddTHH:mm:ss, optional fraction, then "Z" or
// ±hh:mm. fractional selects the form that requires a fraction; without it a fraction is
// refused. Anything else (date only, blanks, out-of-range fields) gives nothing.
std::optional<Instant> parseIso8601(std::string_view s, bool fractional);

// Either form: the fractional one first, then the plain one.
std::optional<Instant> parseTimestamp(std::string_view s);

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day);

// The local calendar date of an instant in the current time zone ($TZ), "yyyy-MM-dd".
std::string dayKey(Instant t);

} // namespace quillon
