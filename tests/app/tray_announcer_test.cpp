// Announcements against a fake notification server on a private session bus and a real HTTP
// server on 127.0.0.1.
#include <gtest/gtest.h>

#include <QDBusConnection>

#include "app/announcer.h"
#include "hostile_texts.h"
#include "tray_support.h"
#include "webhook_server.h"

namespace quillon::app {
namespace {

using testing::FakeNotifier;
using testing::waitUntil;
using testing::WebhookServer;

Gate gate(
    const std::string& id, const std::string& title = "Stopped on a failure: Fix tests",
    const std::string& detail = "web-app \u00B7 idle 31 min \u00B7 pre-push hook failed: 3 tests failed") {
    Gate g;
    g.id = id;
    g.kind = Gate::Kind::session;
    g.title = title;
    g.detail = detail;
    return g;
}

Nudge nudge(const std::string& id) {
    return Nudge{id, "Waiting on you: Bash", "for 12 min"};
}

// The title a push carried (the generic JSON form: 127.0.0.1 is no ntfy, Slack or Discord host).
std::string titleOf(const WebhookServer::Received& r) {
    const auto doc = nlohmann::json::parse(r.body, nullptr, false);
    return doc.is_object() && doc.contains("title") && doc["title"].is_string()
               ? doc["title"].get<std::string>()
               : "";
}

Config config(bool notifications, std::string push) {
    Config c;
    c.notifications = notifications;
    c.pushURL = std::move(push);
    return c;
}

class AnnouncerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing::haveSessionBus()) GTEST_SKIP() << "no session bus: run under dbus-run-session";
        ASSERT_TRUE(notifier.started()) << "the fake notification server did not start";
    }

    // Every delivery path is asynchronous: a last, distinct item sent through a fresh announcer
    // marks the end, so anything sent before it has arrived once it has. Returns the notifications
    // and pushes that came before it.
    std::pair<std::vector<nlohmann::json>, std::vector<WebhookServer::Received>> settle() {
        Announcer last;
        last.notify({gate("sentinel", "sentinel")}, {}, config(true, sink.url()));
        const auto isSentinel = [](const WebhookServer::Received& r) { return titleOf(r) == "sentinel"; };
        EXPECT_TRUE(waitUntil([&] {
            const auto calls = notifier.calls();
            const auto pushes = sink.requests();
            return !calls.empty() && calls.back()["summary"] == "sentinel" &&
                   std::any_of(pushes.begin(), pushes.end(), isSentinel);
        }));
        // HTTP requests may overlap: give one that started before the sentinel its answer.
        waitUntil([] { return false; }, 200);
        auto calls = notifier.calls();
        std::erase_if(calls, [](const nlohmann::json& c) { return c["summary"] == "sentinel"; });
        auto pushes = sink.requests();
        std::erase_if(pushes, isSentinel);
        return {calls, pushes};
    }

    FakeNotifier notifier;
    WebhookServer sink;
};

TEST_F(AnnouncerTest, aGateOpenAcrossRefreshesIsAnnouncedOnce) {
    Announcer a;
    for (int refresh = 0; refresh < 4; ++refresh)
        a.notify({gate("session:abc:1700000000")}, {}, config(true, sink.url()));
    const auto [calls, pushes] = settle();

    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["signature"], "susssasa{sv}i");
    EXPECT_EQ(calls[0]["appName"], "Quillon");
    EXPECT_EQ(calls[0]["replacesId"], 0);
    EXPECT_EQ(calls[0]["summary"], "Stopped on a failure: Fix tests");
    EXPECT_EQ(calls[0]["body"], "web-app \u00B7 idle 31 min \u00B7 pre-push hook failed: 3 tests failed");
    EXPECT_EQ(calls[0]["hints"]["sound-name"], "message-new-instant");
    EXPECT_EQ(calls[0]["timeout"], -1);
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0].method, "POST");
    EXPECT_EQ(titleOf(pushes[0]), "Stopped on a failure: Fix tests");
}

TEST_F(AnnouncerTest, aGateAndANudgeWithTheSameIdAnnounceOnceAsTheGate) {
    Announcer a;
    a.notify({gate("wait:s1:1700000000", "the gate")}, {nudge("wait:s1:1700000000"), nudge("wait:s2:1")},
             config(true, ""));
    const auto calls = settle().first;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["summary"], "the gate");
    EXPECT_EQ(calls[1]["summary"], "Waiting on you: Bash");
    EXPECT_EQ(a.notified(), (std::set<std::string>{"wait:s1:1700000000", "wait:s2:1"}));
}

TEST_F(AnnouncerTest, eachSwitchAloneDecidesAndAnItemWithBothOffStillCountsAsAnnounced) {
    Announcer a;
    // Notifications off, a push address set: only the pushes.
    a.notify({gate("alert:build")}, {nudge("limit:x")}, config(false, sink.url()));
    // Both off: nothing goes out, and switching them on later does not announce it.
    a.notify({gate("alert:quiet")}, {}, config(false, ""));
    a.notify({gate("alert:quiet")}, {}, config(true, sink.url()));
    const auto [calls, pushes] = settle();
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(pushes.size(), 2u);
    EXPECT_TRUE(a.notified().count("alert:quiet"));
}

TEST_F(AnnouncerTest, hostileTitlesCannotBringMarkup) {
    Announcer a;
    std::vector<Gate> gates;
    for (const auto& h : testing::hostileTexts)
        gates.push_back(gate(std::string("alert:") + h.name, h.text, h.text));
    a.notify(gates, {}, config(true, ""));
    const auto calls = settle().first;
    ASSERT_EQ(calls.size(), gates.size());
    for (const auto& c : calls)
        for (const char* field : {"summary", "body"}) {
            const std::string text = c[field];
            EXPECT_EQ(text.find_first_of("<>"), std::string::npos) << text;
        }
    // Still readable, as text; invalid UTF-8 arrives as replacement characters.
    EXPECT_EQ(calls[5]["body"], "&lt;img src=https://evil.example/x.png&gt; &lt;a "
                                "href=\"https://evil.example\"&gt;fix&lt;/a&gt; &amp; more");
    EXPECT_EQ(calls[6]["summary"], testing::hostileTexts[6].text);
    EXPECT_EQ(calls[7]["summary"].get<std::string>().rfind("bad \uFFFD\uFFFD bytes \uFFFD end \uFFFD", 0),
              0u);
}

TEST(AnnouncerNoBus, skipsNotificationsQuietlyAndStillPushes) {
    WebhookServer sink;
    // A bus that is not there: the connection is simply not connected.
    Announcer a(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/quillon-bus"),
                                              QStringLiteral("quillon-no-bus")));
    a.notify({gate("alert:nobus")}, {nudge("wait:x:1")}, config(true, sink.url()));
    EXPECT_EQ(a.notified().size(), 2u);
    EXPECT_TRUE(waitUntil([&] { return sink.requests().size() == 2; }));
}

TEST(AnnouncerNoServer, aBusWithoutANotificationServerIsNoErrorAndTheItemStaysAnnounced) {
    if (!testing::haveSessionBus()) GTEST_SKIP() << "no session bus: run under dbus-run-session";
    Announcer a;
    a.notify({gate("alert:nobody")}, {}, config(true, ""));
    EXPECT_TRUE(a.notified().count("alert:nobody"));
    // A server that starts later gets new items only, through the same announcer.
    FakeNotifier late;
    ASSERT_TRUE(late.started());
    a.notify({gate("alert:nobody"), gate("alert:later", "later")}, {}, config(true, ""));
    ASSERT_TRUE(waitUntil([&] { return !late.calls().empty(); }));
    waitUntil([] { return false; }, 200);
    const auto calls = late.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["summary"], "later");
}

} // namespace
} // namespace quillon::app
