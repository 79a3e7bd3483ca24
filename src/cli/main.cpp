#include <cstdio>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "cli/modes.h"

int main(int argc, char** argv) {
    using namespace quillon::cli;
    std::vector<std::string> args(argv, argv + argc);
    const Command command = parseCommand(args);

    switch (command.mode) {
    case Mode::help:
        std::fputs(usageText(), stdout);
        return 0;
    case Mode::version:
        std::printf("quillon %s\n", QUILLON_VERSION);
        return 0;
    case Mode::statusline:
        // Runs on every status-line refresh: no locale, no settings, nothing else first.
        return runStatusLine();
    case Mode::connectStatusline:
    case Mode::disconnectStatusline:
        return runConnect(command.mode == Mode::connectStatusline);
    case Mode::report:
        return runReport(argc, argv);
    case Mode::pushTest:
    case Mode::icon:
    case Mode::render:
    case Mode::app:
        return runDesktop(argc, argv);
    }
    return 0;
}
