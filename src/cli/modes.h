#pragma once

#include "cli/dispatch.h"

// One function per command-line mode; main() picks one and returns its exit status.
namespace quillon::cli {

int runReport(const Command& command);
int runStatusLine();
int runConnect(bool connect);
// Loads the desktop module and hands it the whole command line (application, --push-test,
// --icon, --render). Prints one sentence and returns 1 when the module cannot be loaded.
int runDesktop(int argc, char** argv);

} // namespace quillon::cli
