#include "scanner/text.h"

#include <algorithm>
#include <cstdint>

namespace quillon::text {

std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
        cp = 0xFFFD;
        return 1;
    }
    if (len == 1) {
        cp = b;
        return 1;
    }
    char32_t v = b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            cp = 0xFFFD;
            return 1;
        }
        v = (v << 6) | (c & 0x3F);
    }
    static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < minimum[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
        cp = 0xFFFD;
        return 1;
    }
    cp = v;
    return len;
}

bool isSpace(char32_t c) {
    switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}


std::string normalise(std::string_view s) {
    return normalise(s, std::string::npos);
}

std::string normalise(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(std::min(s.size(), n == std::string::npos ? s.size() : 4 * n));
    bool pendingBlank = false;
    std::size_t count = 0;
    for (std::size_t i = 0; i < s.size() && count < n;) {
        char32_t cp;
        std::size_t len = decode(s, i, cp);
        if (isSpace(cp)) {
            pendingBlank = !out.empty();
        } else {
            if (pendingBlank) {
                out.push_back(' ');
                if (++count == n) break;
            }
            pendingBlank = false;
            out.append(s.substr(i, len));
            ++count;
        }
        i += len;
    }
    return out;
}

std::string prefixChars(std::string_view s, std::size_t n) {
    std::size_t i = 0;
    for (std::size_t count = 0; count < n && i < s.size(); ++count) {
        char32_t cp;
        i += decode(s, i, cp);
    }
    return std::string(s.substr(0, i));
}

bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        std::size_t len = decode(s, i, cp);
        if (cp == 0xFFFD && len == 1 && static_cast<unsigned char>(s[i]) >= 0x80) return false;
        i += len;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace quillon::text
