#include "limits/status_line.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "settings/config.h"
#include "settings/disk.h"

extern char** environ;

namespace quillon::StatusLine {
namespace {

using json = nlohmann::json;

// Whether the text's arrays and objects nest no deeper than maxDepth; strings are skipped.
bool shallowEnough(std::string_view text) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// The parsed text, or a discarded value when it is not JSON or nests too deep.
json parse(std::string_view text) {
    if (!shallowEnough(text)) return json(json::value_t::discarded);
    return json::parse(text.begin(), text.end(), nullptr, false);
}

const json* member(const json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

double number(const json& object, const char* key, double fallback) {
    const json* v = member(object, key);
    return v && v->is_number() ? v->get<double>() : fallback;
}

// x truncated toward zero; "?" when that is not a finite signed 64-bit integer.
std::string whole(double x) {
    if (!std::isfinite(x)) return "?";
    double t = std::trunc(x);
    if (t < -0x1p63 || t >= 0x1p63) return "?";
    return std::to_string(static_cast<std::int64_t>(t));
}

std::string compact(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void recordLimits(const json& input, Instant now) {
    const json* rates = member(input, "rate_limits");
    if (!rates || !rates->is_object()) return;
    const json* five = member(*rates, "five_hour");
    const json* week = member(*rates, "seven_day");
    if (!five && !week) return;
    json out = json::object();
    out["at"] = now;
    if (five) out["five_hour"] = *five;
    if (week) out["seven_day"] = *week;
    disk::makeDirs(Config::dir());
    // Replaced on every refresh, so a copy lost in a crash costs nothing: no fsync.
    disk::writeAtomic(limitsFile(), compact(out), 0600, false);
}

// The saved former command, when there is one the helper may run.
std::optional<std::string> previousCommand() {
    if (std::getenv(handOverMark)) return std::nullopt;
    auto text = disk::readFile(prevFile(), 1 << 20);
    if (!text) return std::nullopt;
    json prev = parse(*text);
    const json* command = member(prev, "command");
    if (!command || !command->is_string()) return std::nullopt;
    std::string c = command->get<std::string>();
    // Our own command would start this helper again, and so on without end.
    if (c.empty() || isOurs(c)) return std::nullopt;
    return c;
}

// Runs the command through /bin/sh with input on its standard input and waits for it.
// False when it could not be started.
bool handOver(const std::string& command, std::string_view input) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;

    std::vector<std::string> envStrings;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, handOverMark, std::strlen(handOverMark)) != 0 ||
            (*e)[std::strlen(handOverMark)] != '=')
            envStrings.emplace_back(*e);
    envStrings.push_back(std::string(handOverMark) + "=1");
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string sh = "/bin/sh", dashC = "-c", cmd = command;
    char* argv[] = {sh.data(), dashC.data(), cmd.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    // The helper ignores SIGPIPE while it writes; the command gets the usual default.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[0]);
    if (rc != 0) {
        ::close(fds[1]);
        return false;
    }

    // A command that does not read its input must not kill the helper.
    ::signal(SIGPIPE, SIG_IGN);
    std::size_t done = 0;
    while (done < input.size()) {
        ssize_t n = ::write(fds[1], input.data() + done, input.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

// What reading Claude Code's settings file gave: an object, or the sentence to stop with.
struct Settings {
    json value = json::object();
    std::optional<std::string> bytes; // present when the file was read
    std::optional<std::string> error;
};

Settings readSettings(const std::string& path) {
    Settings s;
    s.bytes = disk::readFile(path);
    if (!s.bytes) {
        struct stat st {};
        // Only a missing file counts as empty: rewriting one we merely failed to read
        // would throw the user's settings away.
        if (::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return s;
        s.error = "Could not read " + path + ", so nothing was changed.";
        return s;
    }
    s.value = parse(*s.bytes);
    if (!s.value.is_object()) s.error = "Could not read " + path + ", so nothing was changed.";
    return s;
}

std::string errorText(int err) {
    return std::strerror(err);
}

// mkdir -p with the first real error kept (0 on success).
int makeDirs(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    std::string parent = disk::parentOf(path);
    if (parent != path && parent != "/" && parent != ".")
        if (int err = makeDirs(parent)) return err;
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return 0;
    return errno;
}

// A file or folder marked read-only is left alone even when privileges would allow the
// write: the atomic replacement needs only the folder, so it would bypass the mark.
int readOnly(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    if ((st.st_mode & 0222) == 0) return EACCES;
    if (::access(path.c_str(), W_OK) != 0) return errno;
    return 0;
}

// Where the bytes go: through a symbolic link to the file it names, so a link kept by the
// user's dotfiles stays a link.
std::string writeTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string out = real;
            std::free(real);
            return out;
        }
    }
    return path;
}

std::optional<std::string> write(const json& settings) {
    const std::string path = settingsURL();
    std::string text;
    try {
        text = settings.dump(2) + "\n";
    } catch (const json::exception&) {
        return "Could not prepare the settings file, so nothing was changed.";
    }
    // An empty name is a path like any other, naming no file; nothing may land in the working folder.
    if (path.empty()) return "Could not write : " + errorText(ENOENT);
    const std::string target = writeTarget(path);
    const std::string folder = disk::parentOf(target);
    int err = makeDirs(folder);
    if (!err) err = readOnly(folder);
    if (!err) err = readOnly(target);
    if (err) return "Could not write " + path + ": " + errorText(err);
    if (auto failed = disk::writeAtomic(target, text, 0600))
        return "Could not write " + path + ": " + *failed;
    return std::nullopt;
}

// A one-time byte copy, readable by the user only; a copy that fails half-way is removed,
// so a later connection can take a whole one.
void backUp(const std::string& bytes) {
    const std::string path = backupFile();
    if (readOnly(disk::parentOf(path))) return;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return;
    bool ok = ::fchmod(fd, 0600) == 0;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) ::unlink(path.c_str());
}

std::string exePath() {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) break;
        if (static_cast<std::size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<std::size_t>(n));
        buf.resize(buf.size() * 2);
    }
    // Without /proc: the path the program was started by.
    if (auto* fn = reinterpret_cast<const char*>(::getauxval(AT_EXECFN)); fn && *fn) {
        std::string p = fn;
        if (p[0] == '/') return p;
        if (char* cwd = ::getcwd(nullptr, 0)) {
            std::string out = std::string(cwd) + "/" + p;
            std::free(cwd);
            return out;
        }
        return p;
    }
    return "quillon";
}

} // namespace

std::string limitsFile() {
    return Config::dir() + "/claude-limits.json";
}
std::string prevFile() {
    return Config::dir() + "/statusline-prev.json";
}

std::string settingsURL() {
    if (const char* v = std::getenv("QUILLON_CLAUDE_SETTINGS")) return v;
    return disk::homeDir() + "/.claude/settings.json";
}

std::string backupFile() {
    return disk::parentOf(settingsURL()) + "/settings.json.before-quillon";
}

std::string shellQuote(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::string ourCommand() {
    return shellQuote(exePath()) + " --statusline";
}

bool isOurs(std::string_view command) {
    std::string lower(command);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower.find("--statusline") != std::string::npos && lower.find("quillon") != std::string::npos;
}

namespace {

std::string lineFor(const json& in) {
    const json* context = member(in, "context_window");
    const json* model = member(in, "model");
    static const json empty = json::object();
    if (!context) context = &empty;
    if (!model) model = &empty;

    double pct = number(*context, "used_percentage", 0);
    double size = number(*context, "context_window_size", 200000);
    const json* name = member(*model, "display_name");

    std::string line =
        "[" + (name && name->is_string() ? name->get<std::string>() : std::string("Claude")) + "] ";
    line += whole(size * pct / 100 / 1000) + "K in context (" + whole(pct) + "%)";
    if (const json* rates = member(in, "rate_limits"); rates && rates->is_object()) {
        if (const json* five = member(*rates, "five_hour"); five && five->is_object())
            if (const json* v = member(*five, "used_percentage"); v && v->is_number())
                line += " | 5h " + whole(v->get<double>()) + "%";
        if (const json* week = member(*rates, "seven_day"); week && week->is_object())
            if (const json* v = member(*week, "used_percentage"); v && v->is_number())
                line += " | week " + whole(v->get<double>()) + "%";
    }
    return line;
}

} // namespace

std::string ownLine(std::string_view input) {
    return lineFor(parse(input));
}

std::optional<std::string> run(std::string_view input, Instant now) {
    const json in = parse(input);
    recordLimits(in, now);
    if (auto command = previousCommand(); command && handOver(*command, input)) return std::nullopt;
    return lineFor(in) + "\n";
}

std::optional<std::string> connect() {
    Settings settings = readSettings(settingsURL());
    if (settings.error) return settings.error;
    disk::makeDirs(Config::dir());
    if (settings.bytes && !disk::exists(backupFile())) backUp(*settings.bytes);

    json ours = {{"type", "command"}, {"command", ourCommand()}};
    if (const json* current = member(settings.value, "statusLine"); current && current->is_object()) {
        const json* command = member(*current, "command");
        if (command && command->is_string() && !isOurs(command->get<std::string>()))
            disk::writeAtomic(prevFile(), compact(*current), 0600);
        if (const json* padding = member(*current, "padding")) ours["padding"] = *padding;
    }
    settings.value["statusLine"] = ours;
    return write(settings.value);
}

std::optional<std::string> disconnect() {
    Settings settings = readSettings(settingsURL());
    if (settings.error) return settings.error;
    json prev = json(json::value_t::discarded);
    if (auto text = disk::readFile(prevFile())) prev = parse(*text);
    if (prev.is_object())
        settings.value["statusLine"] = prev;
    else
        settings.value.erase("statusLine");
    auto failed = write(settings.value);
    // Kept when the write failed: it is then the only copy of the user's former entry.
    if (!failed) ::unlink(prevFile().c_str());
    return failed;
}

bool connected() {
    Settings settings = readSettings(settingsURL());
    if (settings.error) return false;
    const json* current = member(settings.value, "statusLine");
    const json* command = current ? member(*current, "command") : nullptr;
    return command && command->is_string() && isOurs(command->get<std::string>());
}

} // namespace quillon::StatusLine
