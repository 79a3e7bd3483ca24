#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text helpers for strings that came out of logs and tools (UTF-8).
namespace quillon::text {

// Decodes the code point at s[i] (i < s.size()) and returns its length in bytes; a byte that
// starts no well-formed sequence gives 0xFFFD with length 1.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp);

// Unicode white space: blanks, tabs, line breaks, no-break and ideographic spaces, line and
// paragraph separators.
bool isSpace(char32_t c);

// Splits at every run of Unicode white space (blanks, tabs, line breaks, no-break
// and ideographic spaces, line and paragraph separators), drops empty pieces and
// joins them with single blanks.
std::string normalise(std::string_view s);
// The first n characters of normalise(s), without normalising the rest.
std::string normalise(std::string_view s, std::size_t n);

// The first n characters (code points), never cutting inside a UTF-8 sequence.
std::string prefixChars(std::string_view s, std::size_t n);

// Whether the bytes are well-formed UTF-8.
bool validUtf8(std::string_view s);

// Trims blanks, tabs, CR and LF at both ends.
std::string_view trim(std::string_view s);

std::string lower(std::string_view s);

} // namespace quillon::text
