#pragma once

#include <ostream>

#include "cli/dispatch.h"

namespace quillon::cli {

// The --report mode with its output stream passed in: loads the settings, scans both log
// roots (8 days, or 32 with --month), prints the text report (or one JSON document with
// --json) and returns the exit status: 0, or 3 when no logs were found.
int writeReport(const Command& command, std::ostream& out);

} // namespace quillon::cli
