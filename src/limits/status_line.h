#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings/clock.h"

namespace quillon {

// Claude Code's status-line bridge: the helper Claude Code runs with --statusline, and the
// connection that installs it in (and removes it from) Claude Code's settings file.
namespace StatusLine {

// Set in the environment of a former command the helper hands over to; a helper that finds
// it set prints its own line instead of handing over again, so no chain can loop.
inline constexpr const char* handOverMark = "QUILLON_STATUSLINE_HANDOVER";
// Input nested deeper than this is not what Claude Code sends; it is treated as not JSON,
// which keeps every later step (copying, serialising) clear of deep recursion.
inline constexpr int maxDepth = 256;

// One helper run over the raw bytes Claude Code sent: records the limits in
// claude-limits.json when a window is present, then hands the same bytes to the user's
// former command. Returns the line to print (with its line feed), or nothing when the
// former command ran and printed for itself.
std::optional<std::string> run(std::string_view input, Instant now);

// The helper's own line, without a line feed, for a parsed input.
std::string ownLine(std::string_view input);

// ~/.quillon/claude-limits.json (the same place Limits::claudeFile names).
std::string limitsFile();
// ~/.quillon/statusline-prev.json: the user's former "statusLine" object.
std::string prevFile();
// $QUILLON_CLAUDE_SETTINGS when set (even empty), else ~/.claude/settings.json.
std::string settingsURL();
// "settings.json.before-quillon" beside the settings file.
std::string backupFile();

// This executable's path quoted for /bin/sh, then " --statusline".
std::string ourCommand();
// text as one /bin/sh word that stands for exactly that text.
std::string shellQuote(std::string_view text);
// Whether a status-line command is Quillon's own: it holds "--statusline" and "quillon",
// both without regard to case (the executable is installed as lower-case quillon).
bool isOurs(std::string_view command);

// The connection. Each returns nothing on success, else the sentence to show.
std::optional<std::string> connect();
std::optional<std::string> disconnect();
// Whether Claude Code's status line is currently Quillon's own.
bool connected();

} // namespace StatusLine
} // namespace quillon
