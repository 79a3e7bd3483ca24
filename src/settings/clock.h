#pragma once

namespace quillon {

// An instant: seconds since 1970-01-01 00:00 UTC, with fraction. Every function that
// needs the time takes it as an argument; only the entry points read the clock.
using Instant = double;

Instant currentInstant();

} // namespace quillon
