#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Turning an alert into one HTTP POST to the user's webhook: an ntfy topic, a Slack or Discord
// webhook, or any address that accepts JSON. Pure functions without a toolkit; the module's
// push_sender.h sends what these build.
namespace quillon::Push {

// A web address taken apart as far as a push needs it.
struct Address {
    std::string scheme; // as written ("http", "HTTP", "ftp", ...)
    std::string host;   // as written, without user info, port or IPv6 brackets; empty when there is none
    std::string text;   // the whole address
    friend bool operator==(const Address&, const Address&) = default;
};

// A strict reading of an absolute address ("scheme:" then, optionally, "//authority" and the rest):
// only the characters an address may hold (no blanks, controls or non-ASCII bytes), well-formed
// percent escapes, one user-info part at most, a numeric port up to 65535.
std::optional<Address> parseAddress(std::string_view text);

enum class Kind { ntfy, slack, discord, json };

// By plain, case-sensitive substrings of the host, tested in this order: "ntfy", Slack's domain,
// Discord's domain; anything else takes JSON.
Kind kindOf(std::string_view host);

struct Request {
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers; // in the order they are set
    std::string body;
    int timeoutSeconds = 15;
    friend bool operator==(const Request&, const Request&) = default;
};

// The POST for an alert. Never fails; a body that cannot be encoded is left empty.
Request request(const Address& url, std::string_view title, std::string_view body);

// The address as the user typed it, checked before any network activity: trimmed of white space
// and line breaks, then "No address set." or "That is not a web address." when it cannot be sent.
struct Target {
    std::optional<Address> address;
    std::string error; // set exactly when address is empty
};
Target target(std::string_view typed);

// The outcome of an HTTP answer: nothing for 200 to 299, else the sentence for the user.
std::optional<std::string> statusError(int status);

// What --push-test sends.
inline constexpr const char* testTitle = "Quillon test";
inline constexpr const char* testBody = "If you can read this, phone alerts work.";

} // namespace quillon::Push
