#include <cstdio>

#include "app/desktop_modes.h"

namespace quillon::app {

int runPictures(const cli::Command&, int, char**) {
    std::fputs("Drawing pictures is not built yet.\n", stderr);
    return 2;
}

} // namespace quillon::app
