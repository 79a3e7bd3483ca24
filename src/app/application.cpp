#include <cstdio>

#include "app/desktop_modes.h"

namespace quillon::app {

int runApplication(const cli::Command&, int, char**) {
    std::fputs("The tray application is not built yet.\n", stderr);
    return 2;
}

} // namespace quillon::app
