#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon::cli {

enum class Mode {
    help,
    version,
    report,
    statusline,
    connectStatusline,
    disconnectStatusline,
    pushTest,
    icon,
    render,
    app,
};

// What the command line asked for: one mode, its value and the modifiers present.
struct Command {
    Mode mode = Mode::app;
    std::string value;  // address for --push-test, output path for --icon and --render
    bool month = false;
    bool noGithub = false;
    bool json = false;
    bool tile = false;
    bool demo = false;
    bool demoRed = false;
    bool settings = false;
    bool openPopover = false;
    int iconSize = 256;  // the last argument when it is a whole number, else 256
    friend bool operator==(const Command&, const Command&) = default;
};

// args holds the program path first. Options match whole arguments, exactly, anywhere;
// unknown arguments are ignored; a value option as the very last argument does not apply.
Command parseCommand(const std::vector<std::string>& args);

// One line per option and modifier.
const char* usageText();

} // namespace quillon::cli
