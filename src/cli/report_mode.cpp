#include <cstdio>

#include "cli/modes.h"

namespace quillon::cli {

int runReport(const Command&) {
    std::fputs("quillon: the text report is not built yet.\n", stderr);
    return 2;
}

} // namespace quillon::cli
