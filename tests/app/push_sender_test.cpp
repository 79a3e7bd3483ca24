#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "app/push_sender.h"
#include "webhook_server.h"

namespace quillon {
namespace {

using testing::WebhookServer;

struct Outcome {
    int calls = 0;
    bool beforeReturn = false; // reported before send returned
    std::optional<std::string> error;
};

// Runs one push to completion on this thread's event loop, then lets events run a little longer
// so that a second report would be seen.
template <typename Start> Outcome runPush(Start start) {
    Outcome o;
    bool returned = false;
    QEventLoop loop;
    start([&](std::optional<std::string> error) {
        ++o.calls;
        o.beforeReturn = !returned;
        o.error = std::move(error);
        loop.quit();
    });
    returned = true;
    if (o.calls == 0) {
        QTimer::singleShot(30'000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 100)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return o;
}

Outcome send(const std::string& to, const std::string& title = "T", const std::string& body = "B") {
    return runPush([&](Push::Done done) { Push::send(to, title, body, std::move(done)); });
}

TEST(PushSend, postsJsonWithItsUserAgentAndReportsSuccess) {
    WebhookServer server(200);
    auto o = send(server.url("/hook?k=1"), "Gate \"open\"", "line one\nline two");
    EXPECT_EQ(o.calls, 1);
    EXPECT_EQ(o.error, std::nullopt);
    ASSERT_EQ(server.requests().size(), 1u);
    const auto r = server.requests()[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/hook?k=1");
    EXPECT_EQ(r.headers.at("content-type"), "application/json");
    EXPECT_EQ(r.headers.at("user-agent"), "Quillon/" QUILLON_VERSION);
    EXPECT_EQ(r.body, R"({"title":"Gate \"open\"","text":"line one\nline two","source":"Quillon"})");
}

TEST(PushSend, trimsTheAddressCountsEvery2xxAsSuccessAndFollowsNoRedirect) {
    const std::pair<int, std::optional<std::string>> answers[] = {
        {204, std::nullopt},
        {404, "The address answered with error 404."},
        {301, "The address answered with error 301."}};
    for (const auto& [status, error] : answers) {
        WebhookServer server(status);
        auto o = send("  " + server.url("/trimmed") + " \r\n");
        EXPECT_EQ(o.calls, 1) << status;
        EXPECT_EQ(o.error, error) << status;
        // One request: a redirect is reported, not followed.
        ASSERT_EQ(server.requests().size(), 1u) << status;
        EXPECT_EQ(server.requests()[0].target, "/trimmed");
    }
}

TEST(PushSend, refusesBadAddressesAtOnceWithoutNetworkActivity) {
    WebhookServer server(200);
    const std::string hostPort = "127.0.0.1:" + std::to_string(server.port()) + "/x";
    const std::pair<std::string, std::string> cases[] = {
        {" \n\t", "No address set."},
        {"ftp://" + hostPort, "That is not a web address."},
        {"HTTP://" + hostPort, "That is not a web address."},
        {hostPort, "That is not a web address."},
    };
    for (const auto& [address, message] : cases) {
        auto o = send(address);
        EXPECT_EQ(o.calls, 1) << address;
        EXPECT_TRUE(o.beforeReturn) << address;
        EXPECT_EQ(o.error, message) << address;
    }
    EXPECT_EQ(server.connections(), 0);
}

TEST(PushSend, reportsTheSystemsDescriptionWhenNothingListens) {
    auto o = send("http://127.0.0.1:" + std::to_string(testing::unusedPort()) + "/x");
    EXPECT_EQ(o.calls, 1);
    EXPECT_FALSE(o.beforeReturn);
    EXPECT_EQ(o.error, "Connection refused");
}

TEST(PushSend, timesOutOnAServerThatNeverAnswers) {
    WebhookServer server(200, /*silent=*/true);
    ::setenv("QUILLON_PUSH_TIMEOUT_MS", "400", 1);
    QElapsedTimer clock;
    clock.start();
    auto o = send(server.url());
    const qint64 elapsed = clock.elapsed();
    ::unsetenv("QUILLON_PUSH_TIMEOUT_MS");
    EXPECT_EQ(o.calls, 1);
    EXPECT_EQ(o.error, "The request timed out.");
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 10'000);
}

TEST(PushSend, worksWithoutACompletionHandler) {
    WebhookServer server(200);
    Push::send(server.url(), "T", "B");
    Push::send("ftp://example.com/", "T", "B");
    QElapsedTimer clock;
    clock.start();
    while (server.requests().empty() && clock.elapsed() < 10'000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(server.requests().size(), 1u);
}

// The ntfy form on the wire: a host naming ntfy cannot be resolved here, so the request built for
// one is posted to the local server.
TEST(PushPost, sendsNtfysRawBodyAndOneSafeTitleHeader) {
    WebhookServer server(200);
    const Push::Address ntfy{"https", "ntfy.sh", server.url("/alerts")};
    const std::string body = "First line\nSecond \"quoted\" line";
    auto o = runPush([&](Push::Done done) {
        Push::post(Push::request(ntfy,
                                 "Deploy\r\nX-Injected: 1\r\n\x1b]52;c;cHduZWQ=\x07 done \xe2\x80\xae"
                                 "caf\xc3\xa9",
                                 body),
                   std::move(done));
    });
    EXPECT_EQ(o.error, std::nullopt);
    ASSERT_EQ(server.requests().size(), 1u);
    const auto r = server.requests()[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/alerts");
    EXPECT_EQ(r.body, body);
    EXPECT_EQ(r.count("title"), 1);
    EXPECT_EQ(r.headers.at("title"), "Deploy X-Injected: 1 ]52;c;cHduZWQ= done \xe2\x80\xae"
                                     "caf\xc3\xa9");
    EXPECT_EQ(r.count("x-injected"), 0);
    EXPECT_EQ(r.headers.at("x-tags"), "Quillon");
    EXPECT_EQ(r.count("content-type"), 0);
}

} // namespace
} // namespace quillon

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
