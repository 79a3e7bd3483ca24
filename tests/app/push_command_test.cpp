#include <gtest/gtest.h>

#include "test_home.h"
#include "webhook_server.h"

namespace quillon {
namespace {

using testing::HomeTest;
using testing::WebhookServer;

// quillon --push-test prints "sent" or the error and exits 0, without any display.
TEST_F(HomeTest, pushTestPrintsSentOrTheErrorAndExitsZero) {
    for (const auto& [status, printed] :
         {std::pair{200, "sent\n"}, {404, "The address answered with error 404.\n"}}) {
        WebhookServer server(status);
        const auto r = testing::runQuillon({"--push-test", server.url("/x")}, "",
                                           {{"HOME", home.path()},
                                            {"DISPLAY", "\x01unset"},
                                            {"WAYLAND_DISPLAY", "\x01unset"},
                                            {"QT_QPA_PLATFORM", "\x01unset"},
                                            {"QUILLON_DESKTOP_MODULE", "\x01unset"}});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, printed);
        EXPECT_EQ(r.err, "");
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests()[0].method, "POST");
        EXPECT_EQ(
            server.requests()[0].body,
            R"({"title":"Quillon test","text":"If you can read this, phone alerts work.","source":"Quillon"})");
    }
}

} // namespace
} // namespace quillon
