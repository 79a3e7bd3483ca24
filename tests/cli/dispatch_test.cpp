#include <gtest/gtest.h>

#include <tuple>

#include "cli/dispatch.h"
#include "test_home.h"

using namespace quillon::cli;

namespace {
Command parse(std::vector<std::string> rest) {
    rest.insert(rest.begin(), "/usr/bin/quillon");
    return parseCommand(rest);
}
} // namespace

TEST(Dispatch, theFirstRowOfTheOptionTableThatAppliesDecides) {
    const std::tuple<std::vector<std::string>, Mode, std::string> cases[] = {
        // --help and --version win anywhere, --help before --version.
        {{"--report", "--help"}, Mode::help, ""},
        {{"--statusline", "--version"}, Mode::version, ""},
        {{"--version", "--help"}, Mode::help, ""},
        {{"--statusline", "--report"}, Mode::report, ""},
        {{"--connect-statusline", "--statusline"}, Mode::statusline, ""},
        {{"--disconnect-statusline", "--connect-statusline"}, Mode::connectStatusline, ""},
        {{"--push-test", "x", "--disconnect-statusline"}, Mode::disconnectStatusline, ""},
        {{"--icon", "a.png", "--push-test", "http://h/"}, Mode::pushTest, "http://h/"},
        {{"--render", "r.png", "--icon", "a.png"}, Mode::icon, "a.png"},
        {{"--render", "r.png"}, Mode::render, "r.png"},
        // Unknown arguments are ignored; options match whole arguments, case-sensitively.
        {{}, Mode::app, ""},
        {{"--frobnicate", "-x", "--REPORT", "--report=1"}, Mode::app, ""},
        // Values come after the first occurrence, even one that looks like an option.
        {{"--push-test", "https://a/", "--push-test", "https://b/"}, Mode::pushTest, "https://a/"},
        {{"--render", "--demo"}, Mode::render, "--demo"},
        // A value option as the last argument falls through to the next row.
        {{"--render"}, Mode::app, ""},
        {{"--icon", "i.png", "--push-test"}, Mode::icon, "i.png"},
        {{"--render", "r.png", "--icon"}, Mode::render, "r.png"},
    };
    for (const auto& [args, mode, value] : cases) {
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_EQ(parse(args).mode, mode) << line;
        EXPECT_EQ(parse(args).value, value) << line;
    }
}

TEST(Dispatch, modifiersAndIconSize) {
    Command r = parse({"--report", "--month", "--no-github", "--json"});
    EXPECT_TRUE(r.month && r.noGithub && r.json);
    EXPECT_FALSE(r.tile || r.demo || r.demoRed || r.settings || r.openPopover);
    Command d = parse({"--render", "x.png", "--demo", "--demo-red", "--settings", "--open-popover", "--tile"});
    EXPECT_TRUE(d.demo && d.demoRed && d.settings && d.openPopover && d.tile);
    // The size is the last argument when it is a positive whole number.
    for (const auto& [last, size] : {std::pair{"1024", 1024}, {"0", 256}, {"12abc", 256}, {"--tile", 256}})
        EXPECT_EQ(parse({"--icon", "i.png", "1024", last}).iconSize, size) << last;
}

TEST(Dispatch, executablePrintsUsageAndVersion) {
    auto help = quillon::testing::runQuillon({"--report", "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--report", "--statusline", "--connect-statusline", "--disconnect-statusline",
                               "--push-test", "--icon", "--render", "--month", "--no-github", "--json", "--tile",
                               "--demo", "--demo-red", "--settings", "--open-popover", "--help", "--version"})
        EXPECT_NE(help.out.find(std::string("  ") + option + " "), std::string::npos) << option;

    auto version = quillon::testing::runQuillon({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("quillon ", 0), 0u);
}

TEST(Dispatch, statusLineStartsWithoutTheLogParserOrAnyToolkit) {
    quillon::testing::TempHome home;
    // Claude Code starts the helper on every refresh: it must not pay for the report's libraries.
    auto r = quillon::testing::runQuillon({"--statusline"}, "{}", {{"HOME", home.path()}, {"LD_DEBUG", "libs"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[Claude] 0K in context (0%)\n");
    EXPECT_NE(r.err.find("calling init"), std::string::npos) << "LD_DEBUG had no effect";
    EXPECT_EQ(r.err.find("libsimdjson"), std::string::npos);
    EXPECT_EQ(r.err.find("libQt"), std::string::npos);
    EXPECT_EQ(r.err.find("libquillon-report"), std::string::npos);
}
