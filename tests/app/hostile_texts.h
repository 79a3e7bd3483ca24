#pragma once

#include <string>
#include <vector>

namespace quillon::testing {

// Text that someone else wrote (a pull-request title, a tool's error, an alert file's name): the
// one sample set that every path showing outside text is tried with.
struct Hostile {
    const char* name;
    std::string text;
};

inline const std::vector<Hostile> hostileTexts = {
    {"header injection", "Deploy\r\nX-Injected: 1\r\n\r\nGET /admin HTTP/1.1"},
    {"lone line feed", "Deploy\nX-Injected: 1"},
    {"ANSI colour and cursor", "\x1b[31mred\x1b[0m \x1b[2J\x1b[H"},
    {"OSC 52 clipboard", "\x1b]52;c;ZWNobyBwd25lZA==\x07"
                         "copied"},
    {"C1 CSI and DEL", "a\xc2\x9b"
                       "31mb\x7f"
                       "c"},
    {"markup", "<img src=https://evil.example/x.png> <a href=\"https://evil.example\">fix</a> & more"},
    {"bidi override", "invoice \xe2\x80\xae"
                      "exe.pdf\xe2\x80\xac done"},
    {"invalid UTF-8", "bad \xff\xfe bytes \xc3 end \xed\xa0\x80"},
};

} // namespace quillon::testing
