#include <cstdio>

#include "app/desktop_modes.h"

namespace quillon::app {

int runPushTest(const cli::Command&) {
    std::fputs("The webhook test is not built yet.\n", stderr);
    return 2;
}

} // namespace quillon::app
