#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "settings/clock.h"

// Fixed byte sequences looked for in a raw log line before anything is parsed. A line is
// parsed only when one of them says it matters, so the bulk of a log costs one byte pass.
namespace quillon::Probe {

enum Bit : std::uint32_t {
    assistant = 1u << 0,    // "type":"assistant"
    user = 1u << 1,         // "type":"user"
    title = 1u << 2,        // "type":"custom-title"
    toolResult = 1u << 3,   // "tool_result"
    isError = 1u << 4,      // "is_error":true
    timestamp = 1u << 5,    // "timestamp":"
    codexUsage = 1u << 6,   // "type":"token_usage_record"
    codexMeta = 1u << 7,    // "type":"session_meta"
    codexTurn = 1u << 8,    // "type":"turn_context"
    codexUser = 1u << 9,    // "role":"user"
    codexLimits = 1u << 10, // "rate_limits"
    codexStart = 1u << 11,  // "task_started"
    codexDone = 1u << 12,   // "task_complete"
    codexCount = 1u << 13,  // "token_count"
};

// Bytes readable past the end of a line handed to scan(): the vector loads may look
// (harmlessly) beyond the line, never beyond this.
inline constexpr std::size_t kPadding = 64;

struct Hits {
    std::uint32_t bits = 0;
    // Offset just past the first "timestamp":" of the line (valid when the bit is set).
    std::size_t timestampEnd = 0;
    bool has(std::uint32_t b) const { return (bits & b) != 0; }
};

// Every probe in one pass over the line. At least kPadding bytes after line.end() must
// be readable; they do not affect the result.
Hits scan(std::string_view line);

// The answer of every vector kernel this processor can run, and of the scalar one.
std::vector<Hits> scanEveryKernel(std::string_view line);

// One line of a block of text: where it starts, its length without the line feed, its probes
// (timestampEnd counted from the line's start).
struct Line {
    std::size_t start = 0;
    std::size_t length = 0;
    Hits hits;
};

// Cuts text at line feeds and runs every probe over each complete line, in one pass over the
// bytes. Appends the lines to out and returns the bytes they take (up to and including the
// last line feed); what follows is a partial line. At least kPadding bytes after the end of
// text must be readable.
std::size_t cutLines(std::string_view text, std::vector<Line>& out);

// The answer of every kernel of cutLines this processor can run.
std::vector<std::vector<Line>> cutLinesEveryKernel(std::string_view text, std::vector<std::size_t>& used);

// The same answer by plain substring searches; the reference the fast pass is tested against.
Hits scanPlain(std::string_view line);

// The line's time stamp without parsing it: the text between the first "timestamp":" and the
// next double quote within 40 bytes, read as ISO 8601 (with, then without fractional seconds).
std::optional<Instant> quickTimestamp(std::string_view line);
std::optional<Instant> quickTimestamp(std::string_view line, const Hits& hits);

} // namespace quillon::Probe
