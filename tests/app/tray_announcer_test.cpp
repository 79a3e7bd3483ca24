// Announcements against a fake notification server on a private session bus and a real HTTP
// server on 127.0.0.1.
#include <gtest/gtest.h>

#include <QDBusConnection>

#include "app/announcer.h"
#include "tray_support.h"

namespace quillon::app {
namespace {

using testing::FakeNotifier;
using testing::HttpSink;
using testing::waitUntil;

Gate gate(const std::string& id, const std::string& title = "Stopped on a failure: Fix tests") {
    Gate g;
    g.id = id;
    g.kind = Gate::Kind::session;
    g.title = title;
    g.detail = "web-app \u00B7 idle 31 min \u00B7 pre-push hook failed: 3 tests failed";
    return g;
}

Nudge nudge(const std::string& id) {
    return Nudge{id, "Waiting on you: Bash", "for 12 min"};
}

// The title a push carried (the generic JSON form: 127.0.0.1 is no ntfy, Slack or Discord host).
std::string titleOf(const HttpSink::Request& r) {
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
    // marks the end, so anything sent before it has arrived once it has.
    void settle(bool viaPush) {
        Announcer last;
        last.notify({gate("sentinel", "sentinel")}, {}, config(true, viaPush ? sink.url() : ""));
        ASSERT_TRUE(waitUntil([&] {
            const auto calls = notifier.calls();
            if (calls.empty() || calls.back()["summary"] != "sentinel") return false;
            if (!viaPush) return true;
            for (const auto& r : sink.requests())
                if (titleOf(r) == "sentinel") return true;
            return false;
        }));
        // HTTP requests may overlap: give one that started before the sentinel its answer.
        waitUntil([] { return false; }, 200);
    }

    std::vector<nlohmann::json> callsBefore(const std::string& sentinel = "sentinel") const {
        auto calls = notifier.calls();
        std::erase_if(calls, [&](const nlohmann::json& c) { return c["summary"] == sentinel; });
        return calls;
    }

    std::vector<HttpSink::Request> pushesBefore() const {
        auto requests = sink.requests();
        std::erase_if(requests, [](const HttpSink::Request& r) { return titleOf(r) == "sentinel"; });
        return requests;
    }

    FakeNotifier notifier;
    HttpSink sink;
};

TEST_F(AnnouncerTest, aGateOpenAcrossRefreshesIsAnnouncedOnce) {
    Announcer a;
    const Config c = config(true, sink.url());
    for (int refresh = 0; refresh < 4; ++refresh)
        a.notify({gate("session:abc:1700000000")}, {}, c);
    settle(true);

    const auto calls = callsBefore();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["signature"], "susssasa{sv}i");
    EXPECT_EQ(calls[0]["appName"], "Quillon");
    EXPECT_EQ(calls[0]["replacesId"], 0);
    EXPECT_EQ(calls[0]["summary"], "Stopped on a failure: Fix tests");
    EXPECT_EQ(calls[0]["body"], "web-app \u00B7 idle 31 min \u00B7 pre-push hook failed: 3 tests failed");
    EXPECT_EQ(calls[0]["hints"]["sound-name"], "message-new-instant");
    EXPECT_EQ(calls[0]["timeout"], -1);

    const auto pushes = pushesBefore();
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0].method, "POST");
    EXPECT_EQ(titleOf(pushes[0]), "Stopped on a failure: Fix tests");
}

TEST_F(AnnouncerTest, aGateAndANudgeWithTheSameIdAnnounceOnceAsTheGate) {
    Announcer a;
    a.notify({gate("wait:s1:1700000000", "the gate")}, {nudge("wait:s1:1700000000"), nudge("wait:s2:1")},
             config(true, ""));
    settle(false);
    const auto calls = callsBefore();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["summary"], "the gate");
    EXPECT_EQ(calls[1]["summary"], "Waiting on you: Bash");
    EXPECT_EQ(a.notified(), (std::set<std::string>{"wait:s1:1700000000", "wait:s2:1"}));
}

TEST_F(AnnouncerTest, notificationsOffWithAPushAddressSendsOnlyThePush) {
    Announcer a;
    a.notify({gate("alert:build")}, {nudge("limit:x")}, config(false, sink.url()));
    settle(true);
    EXPECT_TRUE(callsBefore().empty());
    EXPECT_EQ(pushesBefore().size(), 2u);
}

TEST_F(AnnouncerTest, anItemWithBothSwitchesOffStillCountsAsAnnounced) {
    Announcer a;
    a.notify({gate("alert:quiet")}, {}, config(false, ""));
    // Turning notifications on later does not announce it.
    a.notify({gate("alert:quiet")}, {}, config(true, sink.url()));
    settle(true);
    EXPECT_TRUE(callsBefore().empty());
    EXPECT_TRUE(pushesBefore().empty());
    EXPECT_TRUE(a.notified().count("alert:quiet"));
}

TEST_F(AnnouncerTest, blankAndNonWebPushAddressesSendNothing) {
    Announcer a;
    a.notify({gate("alert:1")}, {}, config(false, "   \n"));
    a.notify({gate("alert:2")}, {}, config(false, "ftp://127.0.0.1/x"));
    a.notify({gate("alert:3")}, {}, config(false, "HTTP://127.0.0.1/x"));
    settle(true);
    EXPECT_TRUE(pushesBefore().empty());
}

TEST_F(AnnouncerTest, hostileTitlesCannotBringMarkup) {
    Announcer a;
    std::vector<Gate> gates;
    for (const auto& h : testing::hostileTexts()) {
        Gate g = gate(std::string("alert:") + h.name, h.text);
        g.detail = h.text;
        gates.push_back(g);
    }
    a.notify(gates, {}, config(true, ""));
    settle(false);
    const auto calls = callsBefore();
    ASSERT_EQ(calls.size(), gates.size());
    for (const auto& c : calls) {
        for (const char* field : {"summary", "body"}) {
            const std::string text = c[field];
            EXPECT_EQ(text.find('<'), std::string::npos) << text;
            EXPECT_EQ(text.find('>'), std::string::npos) << text;
        }
    }
    const std::string img = calls[2]["summary"];
    EXPECT_EQ(img, "&lt;img src=\"http://evil.example/x.png\"&gt;") << "still readable, as text";
    EXPECT_EQ(calls[3]["body"], "&lt;a href=\"http://evil.example\"&gt;click&lt;/a&gt; &amp; more");
    EXPECT_EQ(calls[6]["summary"], "ok\uFFFD\uFFFDok") << "invalid UTF-8 arrives as replacement characters";
    EXPECT_EQ(calls[5]["summary"], "abc\u202Eevil\u202Cdef");
}

TEST(AnnouncerEscape, ampersandAndAngleBracketsOnly) {
    EXPECT_EQ(Announcer::escapeMarkup("a & b < c > d \"e\" 'f'"),
              QStringLiteral("a &amp; b &lt; c &gt; d \"e\" 'f'"));
    EXPECT_EQ(Announcer::escapeMarkup("&amp;"), QStringLiteral("&amp;amp;"))
        << "escaped text is escaped again";
    const QDBusMessage m = Announcer::notification("<b>t</b>", "x & y");
    // The types that make the signature susssasa{sv}i once marshalled (the fake server checks the wire).
    const QVariantList args = m.arguments();
    ASSERT_EQ(args.size(), 8);
    const int types[] = {QMetaType::QString,     QMetaType::UInt,    QMetaType::QString,
                         QMetaType::QString,     QMetaType::QString, QMetaType::QStringList,
                         QMetaType::QVariantMap, QMetaType::Int};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(args.at(i).metaType().id(), types[i]) << i;
    EXPECT_EQ(args.at(6).toMap().value(QStringLiteral("sound-name")), QStringLiteral("message-new-instant"));
    EXPECT_EQ(m.arguments().at(3).toString(), QStringLiteral("&lt;b&gt;t&lt;/b&gt;"));
    EXPECT_EQ(m.arguments().at(4).toString(), QStringLiteral("x &amp; y"));
}

TEST(AnnouncerNoBus, skipsNotificationsQuietlyAndStillPushes) {
    HttpSink sink;
    // A bus that is not there: the connection is simply not connected.
    Announcer a(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/quillon-bus"),
                                              QStringLiteral("quillon-no-bus")));
    a.notify({gate("alert:nobus")}, {nudge("wait:x:1")}, config(true, sink.url()));
    EXPECT_EQ(a.notified().size(), 2u);
    ASSERT_TRUE(waitUntil([&] { return sink.requests().size() == 2; }));
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
