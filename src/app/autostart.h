#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Start at login through the XDG autostart entry: $XDG_CONFIG_HOME/autostart/quillon.desktop
// (default ~/.config/autostart). On means the file is there and runs this executable; off
// means it is gone.
namespace quillon::app::Autostart {

// Where the entry lives. XDG_CONFIG_HOME counts only when it is an absolute path.
std::string file();

// The running executable (/proc/self/exe): the path the entry must start.
std::string exePath();

// path as the first word of an Exec key: always double-quoted, with the Exec rules' own escapes
// (\" \` \$ \\), "%" doubled, then the string escapes of the key file (\\ \n \t \r).
std::string execQuote(std::string_view path);

// The words of an Exec value, undoing both escape layers; nothing when it is malformed
// (an unterminated quote, a reserved character outside quotes).
std::optional<std::vector<std::string>> execWords(std::string_view value);

// The whole desktop entry for an executable.
std::string entry(const std::string& exe);

// Whether a desktop entry's text starts exe: its [Desktop Entry] group is not Hidden=true nor
// X-GNOME-Autostart-enabled=false, and its Exec's first word is exe.
bool runs(std::string_view text, const std::string& exe);

// Whether the entry on disk starts this executable.
bool enabled();

// Writes (on) or removes (off) the entry. Returns nothing on success, else the system's reason.
std::optional<std::string> setEnabled(bool on);

} // namespace quillon::app::Autostart
