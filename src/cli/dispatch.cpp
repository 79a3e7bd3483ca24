#include "cli/dispatch.h"

#include <algorithm>

namespace quillon::cli {
namespace {

bool has(const std::vector<std::string>& args, const char* option) {
    return std::find(args.begin(), args.end(), option) != args.end();
}

// The argument right after the first occurrence of the option, if there is one.
std::optional<std::string> valueOf(const std::vector<std::string>& args, const char* option) {
    auto it = std::find(args.begin(), args.end(), option);
    if (it == args.end() || it + 1 == args.end()) return std::nullopt;
    return *(it + 1);
}

std::optional<int> wholeNumber(const std::string& s) {
    if (s.empty() || s.size() > 6) return std::nullopt;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    // A picture of zero pixels or one too large to hold in memory is no picture.
    if (v < 1 || v > 16384) return std::nullopt;
    return v;
}

} // namespace

Command parseCommand(const std::vector<std::string>& args) {
    Command c;
    c.month = has(args, "--month");
    c.noGithub = has(args, "--no-github");
    c.json = has(args, "--json");
    c.tile = has(args, "--tile");
    c.demo = has(args, "--demo");
    c.demoRed = has(args, "--demo-red");
    c.settings = has(args, "--settings");
    c.openPopover = has(args, "--open-popover");
    if (!args.empty())
        if (auto size = wholeNumber(args.back())) c.iconSize = *size;

    if (has(args, "--help")) {
        c.mode = Mode::help;
    } else if (has(args, "--version")) {
        c.mode = Mode::version;
    } else if (has(args, "--report")) {
        c.mode = Mode::report;
    } else if (has(args, "--statusline")) {
        c.mode = Mode::statusline;
    } else if (has(args, "--connect-statusline")) {
        c.mode = Mode::connectStatusline;
    } else if (has(args, "--disconnect-statusline")) {
        c.mode = Mode::disconnectStatusline;
    } else if (auto push = valueOf(args, "--push-test")) {
        c.mode = Mode::pushTest;
        c.value = *push;
    } else if (auto icon = valueOf(args, "--icon")) {
        c.mode = Mode::icon;
        c.value = *icon;
    } else if (auto render = valueOf(args, "--render")) {
        c.mode = Mode::render;
        c.value = *render;
    } else {
        c.mode = Mode::app;
    }
    return c;
}

const char* usageText() {
    return "Usage: quillon [option] [modifiers]\n"
           "Watches what Claude Code and Codex spend and what they wait for.\n"
           "Without an option Quillon runs as a system-tray application.\n"
           "\n"
           "Options (the first one present decides):\n"
           "  --report                   print today, the week, limits, sessions and gates as text\n"
           "  --statusline               run as Claude Code's status-line command (reads JSON on stdin)\n"
           "  --connect-statusline       make Quillon Claude Code's status line (keeps yours showing)\n"
           "  --disconnect-statusline    put your former status line back\n"
           "  --push-test <address>      send a test alert to an ntfy, Slack, Discord or JSON address\n"
           "  --icon <path> [size]       draw the mark as a PNG of size x size pixels (default 256)\n"
           "  --render <path>            draw the popup panel as a PNG from the last 8 days of logs\n"
           "  --help                     print this text\n"
           "  --version                  print the version\n"
           "\n"
           "Modifiers:\n"
           "  --month                    --report: read 32 days and list the last 30; --render --demo: month view\n"
           "  --no-github                --report: do not ask GitHub for failed checks\n"
           "  --json                     --report: print one JSON document instead of text\n"
           "  --tile                     --icon: draw the rounded-square tile form\n"
           "  --demo                     --render: draw the built-in demo data\n"
           "  --demo-red                 --render --demo: add two open gates\n"
           "  --settings                 application, --render: open with the settings expanded\n"
           "  --open-popover             application: open the panel 6 seconds after start\n";
}

} // namespace quillon::cli
