// Starting the tray application where it cannot run: one sentence and status 1, never an abort.
#include <gtest/gtest.h>

#include "test_home.h"

namespace quillon::testing {
namespace {

TEST_F(HomeTest, withoutADisplayThatAnswersTheApplicationSaysSoAndExits) {
    const std::string unset = "\x01unset";
    // No display at all for the plain application, then one that does not answer for --settings.
    for (const auto& [args, display] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, unset}, {{"--settings"}, ":4242"}}) {
        const RunResult r = runQuillon(args, "",
                                       {{"HOME", home.path()},
                                        {"DISPLAY", display},
                                        {"WAYLAND_DISPLAY", unset},
                                        {"QT_QPA_PLATFORM", unset},
                                        {"XAUTHORITY", home.path() + "/none"}},
                                       30);
        EXPECT_EQ(r.status, 1) << display << ": " << r.err;
        EXPECT_EQ(r.out, "") << display;
        EXPECT_EQ(r.err,
                  "Quillon's tray application needs a graphical desktop session, and none was found.\n")
            << display;
    }
    EXPECT_FALSE(home.exists(".quillon/welcomed")) << "nothing of the application ran";
}

} // namespace
} // namespace quillon::testing
