// Starting the tray application where it cannot run: one sentence and status 1, never an abort.
#include <gtest/gtest.h>

#include "test_home.h"

namespace quillon::testing {
namespace {

constexpr const char* unset = "\x01unset";

void expectOneSentence(const RunResult& r) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err, "Quillon's tray application needs a graphical desktop session, and none was found.\n");
}

TEST_F(HomeTest, withoutAnyDisplayTheApplicationSaysSoAndExits) {
    expectOneSentence(runQuillon(
        {}, "",
        {{"HOME", home.path()}, {"DISPLAY", unset}, {"WAYLAND_DISPLAY", unset}, {"QT_QPA_PLATFORM", unset}},
        30));
    EXPECT_FALSE(home.exists(".quillon/welcomed")) << "nothing of the application ran";
}

TEST_F(HomeTest, aDisplayThatDoesNotAnswerIsNoCrash) {
    expectOneSentence(runQuillon({"--settings"}, "",
                                 {{"HOME", home.path()},
                                  {"DISPLAY", ":4242"},
                                  {"WAYLAND_DISPLAY", unset},
                                  {"QT_QPA_PLATFORM", unset},
                                  {"XAUTHORITY", home.path() + "/none"}},
                                 30));
}

} // namespace
} // namespace quillon::testing
