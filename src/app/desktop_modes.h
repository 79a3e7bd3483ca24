#pragma once

#include "cli/dispatch.h"

// The modes the desktop module carries out, one function each; quillon_desktop_main picks one.
// Each makes its own application object and returns the process's exit status.
namespace quillon::app {

// --push-test <address>: sends a test alert and prints "sent" or the error text. Needs no display.
int runPushTest(const cli::Command& command);
// --icon <path> [size] and --render <path>: draw a picture to a PNG file.
int runPictures(const cli::Command& command, int argc, char** argv);
// No mode option: the system-tray application.
int runApplication(const cli::Command& command, int argc, char** argv);

} // namespace quillon::app
