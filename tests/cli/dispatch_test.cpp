#include <gtest/gtest.h>

#include "cli/dispatch.h"
#include "test_home.h"

using namespace quillon::cli;

namespace {
Command parse(std::vector<std::string> rest) {
    rest.insert(rest.begin(), "/usr/bin/quillon");
    return parseCommand(rest);
}
} // namespace

TEST(Dispatch, helpAndVersionWinAnywhere) {
    EXPECT_EQ(parse({"--report", "--help"}).mode, Mode::help);
    EXPECT_EQ(parse({"--statusline", "--version"}).mode, Mode::version);
    EXPECT_EQ(parse({"--version", "--help"}).mode, Mode::help);
}

TEST(Dispatch, firstRowOfTheTableThatAppliesDecides) {
    EXPECT_EQ(parse({"--statusline", "--report"}).mode, Mode::report);
    EXPECT_EQ(parse({"--connect-statusline", "--statusline"}).mode, Mode::statusline);
    EXPECT_EQ(parse({"--disconnect-statusline", "--connect-statusline"}).mode, Mode::connectStatusline);
    EXPECT_EQ(parse({"--push-test", "x", "--disconnect-statusline"}).mode, Mode::disconnectStatusline);
    EXPECT_EQ(parse({"--icon", "a.png", "--push-test", "http://h/"}).mode, Mode::pushTest);
    EXPECT_EQ(parse({"--render", "r.png", "--icon", "a.png"}).mode, Mode::icon);
    EXPECT_EQ(parse({"--render", "r.png"}).mode, Mode::render);
    EXPECT_EQ(parse({}).mode, Mode::app);
    EXPECT_EQ(parse({"--frobnicate", "-x"}).mode, Mode::app);
    EXPECT_EQ(parse({"--REPORT"}).mode, Mode::app);  // case-sensitive
    EXPECT_EQ(parse({"--report=1"}).mode, Mode::app);
}

TEST(Dispatch, valuesComeAfterTheFirstOccurrence) {
    Command c = parse({"--push-test", "https://a/", "--push-test", "https://b/"});
    EXPECT_EQ(c.value, "https://a/");
    // The value may itself look like an option.
    EXPECT_EQ(parse({"--render", "--demo"}).value, "--demo");
}

TEST(Dispatch, valueOptionAsLastArgumentFallsThrough) {
    EXPECT_EQ(parse({"--render"}).mode, Mode::app);
    EXPECT_EQ(parse({"--icon", "i.png", "--push-test"}).mode, Mode::icon);
    Command c = parse({"--render", "r.png", "--icon"});
    EXPECT_EQ(c.mode, Mode::render);
    EXPECT_EQ(c.value, "r.png");
}

TEST(Dispatch, modifiersAndIconSize) {
    Command r = parse({"--report", "--month", "--no-github", "--json"});
    EXPECT_TRUE(r.month && r.noGithub && r.json);
    EXPECT_FALSE(r.tile || r.demo || r.demoRed || r.settings || r.openPopover);

    Command d = parse({"--render", "x.png", "--demo", "--demo-red", "--settings", "--open-popover", "--tile"});
    EXPECT_TRUE(d.demo && d.demoRed && d.settings && d.openPopover && d.tile);

    EXPECT_EQ(parse({"--icon", "i.png"}).iconSize, 256);
    EXPECT_EQ(parse({"--icon", "i.png", "1024", "--tile"}).iconSize, 256);
    EXPECT_EQ(parse({"--icon", "i.png", "--tile", "1024"}).iconSize, 1024);
    EXPECT_EQ(parse({"--icon", "i.png", "0"}).iconSize, 256);
    EXPECT_EQ(parse({"--icon", "i.png", "12abc"}).iconSize, 256);
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
