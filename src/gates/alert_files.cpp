#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gates/gate_watcher.h"
#include "gates/whole_seconds.h"
#include "scanner/text.h"
#include "settings/disk.h"

namespace quillon {
namespace {

// File names are bytes on Linux; shown and remembered as text, every byte that is not part of
// well-formed UTF-8 becomes U+FFFD.
std::string nameText(std::string_view name) {
    if (text::validUtf8(name)) return std::string(name);
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        std::size_t len = 1;
        auto b = static_cast<unsigned char>(name[i]);
        if (b >= 0x80) {
            std::size_t want = (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
            if (want && i + want <= name.size() && text::validUtf8(name.substr(i, want))) {
                len = want;
            } else {
                out += "\xEF\xBF\xBD";
                ++i;
                continue;
            }
        }
        out.append(name.substr(i, len));
        i += len;
    }
    return out;
}

// Drops a UTF-8 sequence cut short at the end of a partial read.
void dropCutSequence(std::string& s) {
    for (std::size_t back = 1; back <= 4 && back <= s.size(); ++back) {
        auto b = static_cast<unsigned char>(s[s.size() - back]);
        if ((b & 0xC0) == 0x80) continue;
        std::size_t want = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
        if (want > back) s.resize(s.size() - back);
        return;
    }
}

// The first bytes of a regular file, or nothing when it is not one or cannot be read.
// O_NONBLOCK: should a named pipe be swapped in after the listing, opening it must not wait.
std::optional<std::string> readHead(int dirFd, const char* name, std::size_t limit) {
    int fd = openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    std::string bytes(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        ssize_t n = read(fd, bytes.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    bytes.resize(got);
    if (st.st_size > static_cast<off_t>(got)) dropCutSequence(bytes);
    return bytes;
}

std::optional<std::string> firstLine(const std::string& content) {
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        if (end > start) return content.substr(start, end - start);
        start = end + 1;
    }
    return std::nullopt;
}

std::string withoutLastExtension(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return name;
    return name.substr(0, dot);
}

} // namespace

// `now` would stand in for an unreadable modification time, but an entry is listed only once
// stat has succeeded, which always yields one.
std::vector<Gate> GateWatcher::alertFiles(Instant /*now*/) const {
    std::vector<Gate> gates;
    const std::string dir = Config::alertsDir();
    DIR* listing = opendir(dir.c_str());
    if (!listing) return gates;
    const int dirFd = dirfd(listing);
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.front() == '.') continue;
        struct stat st {};
        if (fstatat(dirFd, name.c_str(), &st, 0) != 0) continue;
        // Folders, named pipes, sockets and devices are not alerts; reading a pipe or a
        // device could wait for ever or never end.
        if (!S_ISREG(st.st_mode)) continue;
        const Instant mtime = static_cast<Instant>(st.st_mtim.tv_sec) + static_cast<Instant>(st.st_mtim.tv_nsec) / 1e9;

        std::optional<std::string> line;
        if (auto head = readHead(dirFd, name.c_str(), alertReadBytes); head && text::validUtf8(*head))
            line = firstLine(*head);

        Gate g;
        g.id = "alert:" + nameText(name) + ":" + wholeSeconds(mtime);
        g.kind = Gate::Kind::alert;
        g.title = nameText(withoutLastExtension(name));
        g.detail = line ? text::prefixChars(*line, 200) : "raised by a script";
        g.link = dir + "/" + name;
        g.since = mtime;
        gates.push_back(std::move(g));
    }
    closedir(listing);
    return gates;
}

void GateWatcher::moveToDismissed(const std::string& path, Instant now) {
    // Only files of the alerts folder itself are ever moved.
    if (disk::parentOf(path) != Config::alertsDir()) return;
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.empty() || name == "." || name == "..") return;
    const std::string dismissed = Config::dismissedDir();
    disk::makeDirs(dismissed);
    const std::string target = dismissed + "/" + wholeSeconds(now) + "-" + name;
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return;
    // File systems without RENAME_NOREPLACE: link refuses a taken name just the same.
    if (errno == EINVAL && link(path.c_str(), target.c_str()) == 0) unlink(path.c_str());
}

} // namespace quillon
