#include "settings/clock.h"

#include <time.h>

namespace quillon {

Instant currentInstant() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace quillon
