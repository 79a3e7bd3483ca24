#include <string>
#include <vector>

#include "app/desktop_modes.h"
#include "cli/dispatch.h"

// The one symbol the executable looks up after dlopen; everything else stays hidden.
extern "C" __attribute__((visibility("default"))) int quillon_desktop_main(int argc, char** argv) {
    using quillon::cli::Mode;
    const quillon::cli::Command command =
        quillon::cli::parseCommand(std::vector<std::string>(argv, argv + argc));
    switch (command.mode) {
    case Mode::pushTest:
        return quillon::app::runPushTest(command);
    case Mode::icon:
    case Mode::render:
        return quillon::app::runPictures(command, argc, argv);
    case Mode::app:
        return quillon::app::runApplication(command, argc, argv);
    default:
        // The executable handles every other mode itself and never hands them over.
        return 1;
    }
}
