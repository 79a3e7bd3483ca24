#include <gtest/gtest.h>

#include "cli/terminal_text.h"

using quillon::cli::terminalSafe;

TEST(TerminalSafe, replacesWhatCouldActAndKeepsTheRest) {
    const std::string fffd = "\xEF\xBF\xBD";
    // CSI (cursor movement, colours), OSC title and OSC 52 clipboard writes lose their introducer.
    EXPECT_EQ(terminalSafe("\x1b[2J\x1b[1;1Hfixed"), fffd + "[2J" + fffd + "[1;1Hfixed");
    EXPECT_EQ(terminalSafe("\x1b]0;owned\x07"), fffd + "]0;owned" + fffd);
    EXPECT_EQ(terminalSafe("\x1b]52;c;Y3VybA==\x1b\\"), fffd + "]52;c;Y3VybA==" + fffd + "\\");
    // C1 controls (U+009B is a one-character CSI), DEL, CR and LF inside a field.
    EXPECT_EQ(terminalSafe("a\xC2\x9B" "31mb\x7F" "c\r\nd"), "a" + fffd + "31mb" + fffd + "c" + fffd + fffd + "d");
    // Bidirectional overrides and isolates cannot reorder the rest of the line.
    EXPECT_EQ(terminalSafe("abc\xE2\x80\xAE" "fed\xE2\x81\xA6x"), "abc" + fffd + "fed" + fffd + "x");
    // Malformed UTF-8 shows as the replacement character, one per bad byte.
    EXPECT_EQ(terminalSafe("ok\xFF\xC3"), "ok" + fffd + fffd);
    // Ordinary text, tabs, markup and non-Latin letters pass untouched.
    EXPECT_EQ(terminalSafe("tab\there <img src=x> · Grüße 日本"), "tab\there <img src=x> · Grüße 日本");
}
