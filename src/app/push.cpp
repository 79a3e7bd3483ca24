#include "app/push.h"

#include <nlohmann/json.hpp>

#include "scanner/text.h"

namespace quillon::Push {
namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The characters an address may hold unescaped: unreserved ones, delimiters, sub-delimiters and
// the percent sign of an escape.
bool addressChar(char c) {
    return isAlpha(c) || isDigit(c) ||
           std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Alert text comes from logs, pull requests and scripts: bytes that are no UTF-8 become U+FFFD,
// so the text still goes out (and reads) rather than the whole post being dropped.
std::string validText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        std::size_t len = text::decode(s, i, cp);
        append(out, cp);
        i += len;
    }
    return out;
}

// Trims white space and line breaks, Unicode's included (a no-break space pasted with an address).
std::string_view trimSpace(std::string_view s) {
    std::size_t start = 0;
    while (start < s.size()) {
        char32_t cp;
        std::size_t len = text::decode(s, start, cp);
        if (!text::isSpace(cp)) break;
        start += len;
    }
    std::size_t end = start;
    for (std::size_t i = start; i < s.size();) {
        char32_t cp;
        std::size_t len = text::decode(s, i, cp);
        i += len;
        if (!text::isSpace(cp)) end = i;
    }
    return s.substr(start, end - start);
}

// An HTTP header cannot hold a line break: one would end the header and let the rest of a title
// act as headers of its own. Line breaks and tabs become a blank; other C0 and C1 controls and
// DEL are dropped, so escape sequences lose their power but their printable rest still shows.
std::string headerValue(std::string_view text) {
    const std::string valid = validText(text);
    std::string out;
    out.reserve(valid.size());
    bool blank = false;
    for (std::size_t i = 0; i < valid.size();) {
        char32_t cp;
        std::size_t len = text::decode(valid, i, cp);
        i += len;
        if (cp == '\r' || cp == '\n' || cp == '\t' || cp == ' ') {
            blank = true;
            continue;
        }
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) continue;
        if (blank && !out.empty()) out.push_back(' ');
        blank = false;
        append(out, cp);
    }
    return out;
}

// Slack reads "<...>" as links and mentions (<!channel> notifies everyone) and wants &, < and >
// escaped; it shows the escaped text as typed.
std::string slackText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::string compact(const nlohmann::ordered_json& doc) {
    try {
        return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace

std::optional<Address> parseAddress(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!addressChar(text[i])) return std::nullopt;
        if (text[i] == '%' && (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])))
            return std::nullopt;
    }

    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isAlpha(text[0])) return std::nullopt;
    for (std::size_t i = 1; i < colon; ++i)
        if (!isAlpha(text[i]) && !isDigit(text[i]) && text[i] != '+' && text[i] != '-' && text[i] != '.')
            return std::nullopt;

    Address address;
    address.scheme = std::string(text.substr(0, colon));
    address.text = std::string(text);

    std::string_view rest = text.substr(colon + 1);
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const std::size_t authorityEnd = rest.find_first_of("/?#");
        std::string_view authority = rest.substr(0, authorityEnd);
        rest = authorityEnd == std::string_view::npos ? std::string_view{} : rest.substr(authorityEnd);

        if (const std::size_t at = authority.find('@'); at != std::string_view::npos) {
            const std::string_view userInfo = authority.substr(0, at);
            if (userInfo.find_first_of("[]") != std::string_view::npos) return std::nullopt;
            authority.remove_prefix(at + 1);
            if (authority.find('@') != std::string_view::npos) return std::nullopt;
        }

        std::string_view port;
        if (!authority.empty() && authority.front() == '[') {
            const std::size_t close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            const std::string_view literal = authority.substr(1, close - 1);
            if (literal.find(':') == std::string_view::npos) return std::nullopt;
            for (char c : literal)
                if (!isHex(c) && c != ':' && c != '.') return std::nullopt;
            address.host = std::string(literal);
            const std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                port = after.substr(1);
            }
        } else {
            const std::size_t portColon = authority.find(':');
            const std::string_view host = authority.substr(0, portColon);
            if (host.find_first_of("[]") != std::string_view::npos) return std::nullopt;
            address.host = std::string(host);
            if (portColon != std::string_view::npos) port = authority.substr(portColon + 1);
        }
        if (port.size() > 5) return std::nullopt;
        long number = 0;
        for (char c : port) {
            if (!isDigit(c)) return std::nullopt;
            number = number * 10 + (c - '0');
        }
        if (number > 65535) return std::nullopt;
    }

    // Brackets belong to an IPv6 host only; a fragment is the last part and holds no second '#'.
    if (rest.find_first_of("[]") != std::string_view::npos) return std::nullopt;
    if (const std::size_t hash = rest.find('#');
        hash != std::string_view::npos && rest.find('#', hash + 1) != std::string_view::npos)
        return std::nullopt;
    return address;
}

Kind kindOf(std::string_view host) {
    if (host.find("ntfy") != std::string_view::npos) return Kind::ntfy;
    if (host.find("slack.com") != std::string_view::npos) return Kind::slack;
    if (host.find("discord.com") != std::string_view::npos) return Kind::discord;
    return Kind::json;
}

Request request(const Address& url, std::string_view title, std::string_view body) {
    Request r;
    r.method = "POST";
    r.url = url.text;
    const std::string validTitle = validText(title);
    const std::string validBody = validText(body);

    switch (kindOf(url.host)) {
    case Kind::ntfy:
        r.headers.emplace_back("Title", headerValue(validTitle));
        r.headers.emplace_back("X-Tags", "Quillon");
        r.body = validBody;
        break;
    case Kind::slack:
        r.headers.emplace_back("Content-Type", "application/json");
        r.body = compact({{"text", slackText(validTitle + "\n" + validBody)}});
        break;
    case Kind::discord:
        r.headers.emplace_back("Content-Type", "application/json");
        // Without this, "@everyone" in a pull-request title would notify the whole server.
        r.body = compact({{"content", validTitle + "\n" + validBody},
                          {"allowed_mentions", {{"parse", nlohmann::ordered_json::array()}}}});
        break;
    case Kind::json:
        r.headers.emplace_back("Content-Type", "application/json");
        r.body = compact({{"title", validTitle}, {"text", validBody}, {"source", "Quillon"}});
        break;
    }
    r.headers.emplace_back("User-Agent", "Quillon/" QUILLON_VERSION);
    return r;
}

Target target(std::string_view typed) {
    Target t;
    const std::string_view trimmed = trimSpace(typed);
    if (trimmed.empty()) {
        t.error = "No address set.";
        return t;
    }
    auto address = parseAddress(trimmed);
    // The scheme is compared exactly; an http address without a host could never be sent.
    if (!address || (address->scheme != "https" && address->scheme != "http") || address->host.empty()) {
        t.error = "That is not a web address.";
        return t;
    }
    t.address = std::move(address);
    return t;
}

std::optional<std::string> statusError(int status) {
    if (status >= 200 && status <= 299) return std::nullopt;
    return "The address answered with error " + std::to_string(status) + ".";
}

} // namespace quillon::Push
