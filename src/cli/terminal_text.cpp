#include "cli/terminal_text.h"

#include "scanner/text.h"

namespace quillon::cli {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool acts(char32_t c) {
    if (c == '\t') return false;
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) return true;
    // Bidirectional controls reorder what follows them on the line.
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F ||
           c == 0x061C;
}

} // namespace

std::string terminalSafe(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const std::size_t len = text::decode(s, i, cp);
        // A stray byte decodes to U+FFFD with length 1; a real U+FFFD takes three bytes.
        if (acts(cp) || (cp == 0xFFFD && len == 1)) {
            out.append(kReplacement);
            i += len;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

} // namespace quillon::cli
