#include "app/autostart.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "settings/disk.h"

namespace quillon::app::Autostart {
namespace {

// The key file's escapes for string values; a leading blank would otherwise be trimmed away.
std::string stringEscape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case ' ':
            out += i == 0 ? "\\s" : " ";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string stringUnescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        switch (s[++i]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            // Not a string escape: the backslash belongs to the Exec quoting below.
            out += '\\';
            out += s[i];
        }
    }
    return out;
}

bool reservedOutsideQuotes(char c) {
    return std::strchr(" \t\n\"'\\><~|&;$*?#()`", c) != nullptr;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

} // namespace

std::string file() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const std::string base = xdg && xdg[0] == '/' ? std::string(xdg) : disk::homeDir() + "/.config";
    return base + "/autostart/quillon.desktop";
}

std::string exePath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string execQuote(std::string_view path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    // The key file's escapes come on top; the value starts with a quote, so no leading blank.
    return stringEscape(quoted);
}

std::optional<std::vector<std::string>> execWords(std::string_view value) {
    const std::string s = stringUnescape(value);
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < s.size()) {
        if (s[i] == ' ') {
            ++i;
            continue;
        }
        std::string word;
        if (s[i] == '"') {
            ++i;
            bool closed = false;
            while (i < s.size()) {
                const char c = s[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < s.size() && std::strchr("\"`$\\", s[i])) {
                    word += s[i++];
                    continue;
                }
                word += c;
            }
            if (!closed || (i < s.size() && s[i] != ' ')) return std::nullopt;
        } else {
            while (i < s.size() && s[i] != ' ') {
                if (reservedOutsideQuotes(s[i])) return std::nullopt;
                word += s[i++];
            }
        }
        // "%%" is a literal percent; other field codes are left as written.
        std::string plain;
        for (std::size_t k = 0; k < word.size(); ++k) {
            plain += word[k];
            if (word[k] == '%' && k + 1 < word.size() && word[k + 1] == '%') ++k;
        }
        words.push_back(std::move(plain));
    }
    return words;
}

std::string entry(const std::string& exe) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quillon\n"
           "Comment=Watch what Claude Code and Codex spend and what they wait for\n"
           "Exec=" +
           execQuote(exe) +
           "\n"
           "TryExec=" +
           stringEscape(exe) +
           "\n"
           "Icon=quillon\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool runs(std::string_view text, const std::string& exe) {
    bool inEntry = false;
    bool hidden = false;
    bool switchedOff = false;
    std::optional<std::string> exec;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry) continue;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = trim(line.substr(0, eq));
        const std::string_view value = trim(line.substr(eq + 1));
        if (key == "Hidden")
            hidden = value == "true";
        else if (key == "X-GNOME-Autostart-enabled")
            switchedOff = value == "false";
        else if (key == "Exec")
            exec = std::string(value);
    }
    if (hidden || switchedOff || !exec || exe.empty()) return false;
    const auto words = execWords(*exec);
    return words && !words->empty() && words->front() == exe;
}

bool enabled() {
    // A desktop entry is a few hundred bytes; anything huge is not ours.
    const auto text = disk::readFile(file(), 65536);
    return text && runs(*text, exePath());
}

std::optional<std::string> setEnabled(bool on) {
    const std::string path = file();
    if (!on) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) return std::string(std::strerror(errno));
        return std::nullopt;
    }
    const std::string exe = exePath();
    if (exe.empty()) return std::string("The path of this program is not known.");
    if (!disk::makeDirs(disk::parentOf(path), 0700)) return std::string(std::strerror(errno));
    return disk::writeAtomic(path, entry(exe), 0644);
}

} // namespace quillon::app::Autostart
