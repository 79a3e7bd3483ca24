#pragma once

// The JSON side of the line handlers: pulls the fields a path needs out of one line. Kept
// apart from the handlers so it can be built once per instruction set (simdjson On-Demand
// picks its kernel when it is compiled) and chosen when the program starts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/usage.h"

namespace quillon {

// Strings are views into the parser's buffers: valid until the next line is parsed.
struct ClaudeLine {
    enum class Content { absent, string, blocks, other };
    std::optional<std::string_view> type, sessionId, cwd, uuid, customTitle;
    std::optional<Instant> when;
    bool sidechain = false;
    bool message = false; // message is an object
    std::optional<std::string_view> id, model;
    bool usage = false; // message.usage is an object
    Usage u;
    std::int64_t oneHour = 0;
    Content content = Content::absent;
    std::string_view text;  // content as a string
    std::size_t blocks = 0; // content as an array of objects: how many
    bool toolUse = false, textBlock = false, toolResult = false, failed = false;
    std::optional<std::string_view> toolName;       // of the last tool_use block
    std::string error;                              // of the last failed tool_result block
    std::vector<std::string_view>* texts = nullptr; // "text" strings of the blocks, still escaped
};

struct CodexLine {
    std::optional<std::string_view> type;
    std::optional<Instant> when;
    bool hasOrdinal = false;
    std::string_view ordinal;
    bool payload = false;
    std::optional<std::string_view> sessionId, id, model, cwd, ptype, role, responseId;
    bool usage = false;
    std::int64_t in = 0, cached = 0, written = 0, out = 0;
    bool limits = false;
    std::optional<LimitReading> primary, secondary;
    // payload.info of a token_count event: the running totals and the last turn's usage.
    bool total = false, lastTurn = false;
    std::int64_t totalIn = 0, totalCached = 0, totalOut = 0;
    std::int64_t lastIn = 0, lastCached = 0, lastOut = 0;
    bool blocks = false;                            // content is an array of objects
    std::vector<std::string_view>* texts = nullptr; // their "text" strings, still escaped
};

// Bytes after a line that must be readable for the parser.
inline constexpr std::size_t kParsePadding = 64;

class LineParser {
  public:
    virtual ~LineParser() = default;
    // False when the line is not one JSON object (then nothing in the record may be used).
    // At least kParsePadding bytes must be readable at p + n; capacity counts them.
    virtual bool claude(const char* p, std::size_t n, std::size_t capacity, ClaudeLine& line) = 0;
    virtual bool codex(const char* p, std::size_t n, std::size_t capacity, CodexLine& line) = 0;
    // The text of a JSON string token (quotes included), as texts holds them.
    virtual bool unescape(std::string_view token, std::string& out) = 0;
    // Gives back memory a very long line made the parser take.
    virtual void trim() = 0;
    virtual const char* kernel() const = 0;
};

// The fastest parser this processor runs.
std::unique_ptr<LineParser> makeLineParser();

} // namespace quillon
