#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "test_home.h"
#include "webhook_server.h"

namespace quillon {
namespace {

using testing::HomeTest;
using testing::runQuillon;
using testing::WebhookServer;

// No display of any kind: the push test must not need one.
std::map<std::string, std::string> headless(const std::string& home) {
    return {{"HOME", home},
            {"DISPLAY", "\x01unset"},
            {"WAYLAND_DISPLAY", "\x01unset"},
            {"QT_QPA_PLATFORM", "\x01unset"},
            {"QUILLON_DESKTOP_MODULE", "\x01unset"}};
}

class PushCommand : public HomeTest {};

TEST_F(PushCommand, printsSentAfterTheServerAccepted) {
    WebhookServer server(200);
    auto r = runQuillon({"--push-test", server.url("/x")}, "", headless(home.path()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "sent\n");
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(server.requests().size(), 1u);
    const auto got = server.requests()[0];
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.target, "/x");
    EXPECT_EQ(
        got.body,
        R"({"title":"Quillon test","text":"If you can read this, phone alerts work.","source":"Quillon"})");
}

TEST_F(PushCommand, printsTheErrorAndStillExitsZero) {
    {
        WebhookServer server(404);
        auto r = runQuillon({"--push-test", server.url("/x")}, "", headless(home.path()));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "The address answered with error 404.\n");
    }
    {
        WebhookServer server(200);
        auto r = runQuillon({"--push-test", "HTTP://127.0.0.1:" + std::to_string(server.port()) + "/x"}, "",
                            headless(home.path()));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "That is not a web address.\n");
        EXPECT_EQ(server.connections(), 0);
    }
    auto blank = runQuillon({"--push-test", " "}, "", headless(home.path()));
    EXPECT_EQ(blank.status, 0);
    EXPECT_EQ(blank.out, "No address set.\n");

    auto refused =
        runQuillon({"--push-test", "http://127.0.0.1:" + std::to_string(testing::unusedPort()) + "/x"}, "",
                   headless(home.path()));
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(refused.out, "Connection refused\n");
}

} // namespace
} // namespace quillon
