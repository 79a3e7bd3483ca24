#pragma once

#include "cli/dispatch.h"

// One function per command-line mode; main() picks one and returns its exit status.
namespace quillon::cli {

// The report lives in a module of its own, so that the status line, which Claude Code starts
// on every refresh, loads neither the log parser nor the C++ runtime's shared library.
int runReport(int argc, char** argv);
int runStatusLine();
int runConnect(bool connect);
// Loads the desktop module and hands it the whole command line (application, --push-test,
// --icon, --render). Prints one sentence and returns 1 when the module cannot be loaded.
int runDesktop(int argc, char** argv);

} // namespace quillon::cli
