#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>

#include "app/push.h"
#include "hostile_texts.h"

namespace quillon {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;
const std::string userAgent = "Quillon/" QUILLON_VERSION;

Push::Request build(const std::string& address, const std::string& title, const std::string& body) {
    auto parsed = Push::parseAddress(address);
    EXPECT_TRUE(parsed) << address;
    return Push::request(parsed.value_or(Push::Address{}), title, body);
}

std::string header(const Push::Request& r, const std::string& name) {
    for (const auto& [k, v] : r.headers)
        if (k == name) return v;
    return "<absent>";
}

// A header value that cannot end its line or smuggle control sequences: well-formed UTF-8 without
// C0 or C1 controls or DEL.
bool safeHeaderValue(const std::string& v) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        auto b = static_cast<unsigned char>(v[i]);
        if (b < 0x20 || b == 0x7F) return false;
        if (b == 0xC2 && i + 1 < v.size() && static_cast<unsigned char>(v[i + 1]) <= 0x9F) return false;
    }
    return nlohmann::json::accept(nlohmann::json(v).dump());
}

TEST(PushAddress, takesApartWellFormedAddressesAndRefusesWhatIsNoAddress) {
    const std::array<const char*, 3> wellFormed[] = {
        {"https://user:pw@hooks.slack.com:8443/services/T0/B0/x?y=1#z", "https", "hooks.slack.com"},
        {"http://[::1]:8080/topic", "http", "::1"},
        {"mailto:someone@example.com", "mailto", ""},
        {"HTTP://Ntfy.SH/a%20b", "HTTP", "Ntfy.SH"}};
    for (const auto& [text, scheme, host] : wellFormed) {
        const auto a = Push::parseAddress(text);
        ASSERT_TRUE(a) << text;
        EXPECT_EQ(a->text, text);
        EXPECT_EQ(a->scheme, scheme) << text;
        EXPECT_EQ(a->host, host) << text;
    }
    const char* const notAddresses[] = {"",
                                        "example.com/x",
                                        "://x",
                                        "1http://x",
                                        "ht tp://x",
                                        "http://exa mple.com/",
                                        "http://example.com/a b",
                                        "http://example.com/\x01",
                                        "http://example.com/\x7f",
                                        "http://ex\xc3\xa4mple.com/",
                                        "http://example.com/%zz",
                                        "http://example.com/%4",
                                        "http://a@b@example.com/",
                                        "http://example.com:65536/",
                                        "http://example.com:80a/",
                                        "http://[::1/x",
                                        "http://[example]/",
                                        "http://ex]ample.com/",
                                        "http://example.com/[x]",
                                        "http://example.com/#a#b",
                                        "http://example.com/<script>",
                                        "http://example.com/\"q\"",
                                        "http://example.com\r\nX-Injected: 1"};
    for (const char* bad : notAddresses)
        EXPECT_FALSE(Push::parseAddress(bad)) << bad;
}

TEST(PushTarget, trimsThenChecksTheTypedAddress) {
    EXPECT_EQ(Push::target("  https://ntfy.sh/topic \n").address->text, "https://ntfy.sh/topic");
    EXPECT_EQ(Push::target("\t\r\nhttp://example.com/x\r\n").address->text, "http://example.com/x");
    // A no-break space pasted from a web page is white space too.
    EXPECT_EQ(Push::target("\xc2\xa0https://ntfy.sh/t\xe2\x80\x83").address->text, "https://ntfy.sh/t");

    for (const char* blank : {"", "   ", "\n", " \t\r\n ", "\xc2\xa0"}) {
        auto t = Push::target(blank);
        EXPECT_FALSE(t.address);
        EXPECT_EQ(t.error, "No address set.") << blank;
    }
    for (const char* bad : {"ftp://example.com/x", "HTTP://example.com/x", "Https://example.com/x",
                            "example.com", "ntfy.sh/topic", "http://", "http:///path", "http:example.com",
                            "file:///etc/passwd", "javascript:alert(1)", "https://exa mple.com"}) {
        auto t = Push::target(bad);
        EXPECT_FALSE(t.address) << bad;
        EXPECT_EQ(t.error, "That is not a web address.") << bad;
    }
    EXPECT_TRUE(Push::target("http://127.0.0.1:9/x").error.empty());
}

TEST(PushKind, testsTheHostInOrder) {
    using enum Push::Kind;
    const std::pair<const char*, Push::Kind> hosts[] = {{"ntfy.sh", ntfy},
                                                        {"alerts.myntfyserver.example.org", ntfy},
                                                        {"hooks.slack.com", slack},
                                                        {"slack.com", slack},
                                                        {"discord.com", discord},
                                                        {"ptb.discord.com", discord},
                                                        {"ntfy.slack.com", ntfy},
                                                        {"slack.com.discord.com", slack},
                                                        {"example.com", json},
                                                        {"", json},
                                                        // Plain, case-sensitive substrings of the host only.
                                                        {"NTFY.SH", json},
                                                        {"slack.co", json},
                                                        {"discordapp.com", json}};
    for (const auto& [host, kind] : hosts)
        EXPECT_EQ(Push::kindOf(host), kind) << host;

    // The path, the query and the user info never decide the kind.
    EXPECT_EQ(header(build("https://example.com/ntfy?x=slack.com", "t", "b"), "Content-Type"),
              "application/json");
    EXPECT_EQ(build("https://slack.com@example.com/", "t", "b").body,
              R"({"title":"t","text":"b","source":"Quillon"})");
    EXPECT_EQ(header(build("https://u@ntfy.example.net:8080/t", "t", "b"), "X-Tags"), "Quillon");
}

TEST(PushRequest, buildsEachKind) {
    auto ntfy = build("https://ntfy.sh/my-topic", "Build failed", "main: 3 checks failed");
    EXPECT_EQ(ntfy.method, "POST");
    EXPECT_EQ(ntfy.url, "https://ntfy.sh/my-topic");
    EXPECT_EQ(ntfy.timeoutSeconds, 15);
    EXPECT_EQ(ntfy.headers,
              (Headers{{"Title", "Build failed"}, {"X-Tags", "Quillon"}, {"User-Agent", userAgent}}));
    EXPECT_EQ(ntfy.body, "main: 3 checks failed");

    auto slack = build("https://hooks.slack.com/services/T0/B0/xyz", "Build failed", "main");
    EXPECT_EQ(slack.url, "https://hooks.slack.com/services/T0/B0/xyz");
    EXPECT_EQ(slack.headers, (Headers{{"Content-Type", "application/json"}, {"User-Agent", userAgent}}));
    EXPECT_EQ(slack.body, R"({"text":"Build failed\nmain"})");

    auto discord = build("https://discord.com/api/webhooks/1/abc", "Build failed", "main");
    EXPECT_EQ(discord.headers, (Headers{{"Content-Type", "application/json"}, {"User-Agent", userAgent}}));
    EXPECT_EQ(discord.body, R"({"content":"Build failed\nmain","allowed_mentions":{"parse":[]}})");

    auto json = build("http://127.0.0.1:8080/hook", "Build failed", "main");
    EXPECT_EQ(json.headers, (Headers{{"Content-Type", "application/json"}, {"User-Agent", userAgent}}));
    EXPECT_EQ(json.body, R"({"title":"Build failed","text":"main","source":"Quillon"})");
}

TEST(PushRequest, escapesQuotesAndLineBreaksInJsonAndSendsThemRawToNtfy) {
    const std::string title = "Say \"hi\"\\now";
    const std::string body = "line one\nline \"two\"\r\n\ttabbed";

    EXPECT_EQ(
        build("https://example.com/h", title, body).body,
        R"({"title":"Say \"hi\"\\now","text":"line one\nline \"two\"\r\n\ttabbed","source":"Quillon"})");
    EXPECT_EQ(build("https://hooks.slack.com/s", title, body).body,
              R"({"text":"Say \"hi\"\\now\nline one\nline \"two\"\r\n\ttabbed"})");
    EXPECT_EQ(
        nlohmann::json::parse(build("https://discord.com/api/webhooks/1/a", title, body).body)["content"],
        title + "\n" + body);

    auto ntfy = build("https://ntfy.sh/t", title, body);
    EXPECT_EQ(ntfy.body, body);
    EXPECT_EQ(header(ntfy, "Title"), title);
}

// Alert texts come from pull-request titles, logs and scripts; none of them may act on the way.
const auto& hostile = testing::hostileTexts;

TEST(PushRequest, keepsTheNtfyTitleHeaderToOneSafeLine) {
    for (const auto& [name, title] : hostile) {
        auto r = build("https://ntfy.sh/t", title, "body");
        const std::string value = header(r, "Title");
        EXPECT_TRUE(safeHeaderValue(value)) << name << ": " << value;
        EXPECT_EQ(r.headers.size(), 3u) << name;
        EXPECT_EQ(r.body, "body") << name;
    }
    auto title = [](const std::string& t) { return header(build("https://ntfy.sh/t", t, ""), "Title"); };
    // Line breaks become blanks; the words stay readable, as text of the one header.
    EXPECT_EQ(title(hostile[0].text), "Deploy X-Injected: 1 GET /admin HTTP/1.1");
    EXPECT_EQ(title("one\ntwo\r\nthree\tfour"), "one two three four");
    // Escape sequences lose their ESC and BEL; what was printable still shows.
    EXPECT_EQ(title(hostile[2].text), "[31mred[0m [2J[H");
    EXPECT_EQ(title(hostile[3].text), "]52;c;ZWNobyBwd25lZA==copied");
    EXPECT_EQ(title(hostile[4].text), "a31mbc");
    EXPECT_EQ(title(hostile[5].text), hostile[5].text);
    EXPECT_EQ(title(hostile[6].text), hostile[6].text);
    EXPECT_EQ(title(hostile[7].text),
              "bad \xef\xbf\xbd\xef\xbf\xbd bytes \xef\xbf\xbd end \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(PushRequest, carriesHostileTextAsJsonStringsAndRawNtfyBodies) {
    for (const auto& [name, text] : hostile) {
        const bool valid = name != std::string("invalid UTF-8");
        for (const char* address : {"https://example.com/h", "https://discord.com/api/webhooks/1/a"}) {
            auto r = build(address, text, text);
            ASSERT_TRUE(nlohmann::json::accept(r.body)) << name << " " << address;
            for (unsigned char c : r.body)
                EXPECT_GE(c, 0x20) << name << ": raw control in JSON";
            auto doc = nlohmann::json::parse(r.body);
            const std::string shown = doc.contains("title") ? doc["title"].get<std::string>() + "\n" +
                                                                  doc["text"].get<std::string>()
                                                            : doc["content"].get<std::string>();
            // Line breaks and everything else survive the trip; only invalid bytes become U+FFFD.
            if (valid)
                EXPECT_EQ(shown, text + "\n" + text) << name;
            else
                EXPECT_NE(shown.find("\xef\xbf\xbd"), std::string::npos);
        }
        auto ntfy = build("https://ntfy.sh/t", "t", text);
        if (valid)
            EXPECT_EQ(ntfy.body, text) << name;
        else
            EXPECT_EQ(
                ntfy.body,
                "bad \xef\xbf\xbd\xef\xbf\xbd bytes \xef\xbf\xbd end \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    }
}

TEST(PushRequest, keepsChatMarkupAndMentionsFromActing) {
    // Slack reads <...> as links and mentions: they are escaped and show as typed.
    auto slack = build("https://hooks.slack.com/s", "<!channel> <https://evil.example|Fix now>", "a & b");
    EXPECT_EQ(nlohmann::json::parse(slack.body)["text"],
              "&lt;!channel&gt; &lt;https://evil.example|Fix now&gt;\na &amp; b");
    // Discord would ping everyone for "@everyone" unless mentions are switched off.
    auto discord = build("https://discord.com/api/webhooks/1/a", "@everyone look", "@here");
    auto doc = nlohmann::json::parse(discord.body);
    EXPECT_EQ(doc["content"], "@everyone look\n@here");
    EXPECT_EQ(doc["allowed_mentions"]["parse"], nlohmann::json::array());
}

TEST(PushStatus, acceptsOnly200To299) {
    for (int status : {200, 204, 299})
        EXPECT_EQ(Push::statusError(status), std::nullopt) << status;
    for (int status : {0, 199, 300, 404})
        EXPECT_EQ(Push::statusError(status),
                  "The address answered with error " + std::to_string(status) + ".");
}

} // namespace
} // namespace quillon
