// Finding the log files and reading what they gained since the last pass.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scanner/scanner_impl.h"

namespace quillon {
namespace {

// Deeper trees are not logs; the limit keeps a pathological tree from exhausting descriptors.
constexpr int kMaxDepth = 48;

bool isLogName(std::string_view name) {
    // "x.jsonl": a name that is only the extension (".jsonl") has none.
    return name.size() > 6 && name.substr(name.size() - 6) == ".jsonl";
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

} // namespace

LogScanner::LogScanner(Config config, std::string root, std::string codexRoot)
    : m_impl(std::make_unique<Impl>()), m_config(std::move(config)), m_root(std::move(root)),
      m_codexRoot(std::move(codexRoot)) {}

LogScanner::~LogScanner() = default;

std::size_t LogScanner::duplicateKeys() const { return m_impl->keys.size(); }
std::size_t LogScanner::duplicateSetBytes() const { return m_impl->keys.bytes(); }

bool LogScanner::scan(const std::string& root, bool codex, int days) {
    return scan(root, codex, days, currentInstant());
}

bool LogScanner::scan(const std::string& root, bool codex, int days, Instant now) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string path = root;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    bool found = false;
    walk(fd, path, codex, now - static_cast<double>(days) * 86400.0, found, 0);
    return found;
}

// Takes ownership of dirFd. path is the directory's path and is restored before returning.
void LogScanner::walk(int dirFd, std::string& path, bool codex, double cutoff, bool& found, int depth) {
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    const std::size_t base = path.size();
    while (dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        unsigned char type = e->d_type;
        struct stat st;
        if (type == DT_UNKNOWN) {
            if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            if (depth >= kMaxDepth) continue;
            // O_NOFOLLOW: a folder swapped for a symlink after listing is not followed either.
            int sub = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) continue;
            path.append("/").append(name);
            walk(sub, path, codex, cutoff, found, depth + 1);
            path.resize(base);
            continue;
        }
        if (type != DT_REG && type != DT_LNK) continue;
        if (!isLogName(name)) continue;
        // A symlink to a log file counts as that file; one to a folder is not followed.
        if (::fstatat(dirFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        found = true;
        const double modified = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec * 1e-9;
        if (modified < cutoff) continue;
        path.append("/").append(name);
        auto it = m_files.find(path);
        const std::uint64_t offset = it == m_files.end() ? 0 : it->second.offset;
        const auto size = static_cast<std::uint64_t>(st.st_size);
        // Equal: nothing appended. Smaller: the file was rewritten; it is left alone.
        if (size > offset) {
            if (offset == 0) ++m_filesRead;
            if (it == m_files.end()) it = m_files.try_emplace(path).first;
            readFile(path, dirFd, name, codex, it->second);
        }
        path.resize(base);
    }
    ::closedir(dir);
}

void LogScanner::readFile(const std::string& path, int dirFd, const char* name, bool codex, FileState& state) {
    Fd file(::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.fd < 0) return;
    struct stat st;
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return;

    // A subagent log lies in <session>/subagents/ and belongs to that session.
    std::string_view p(path);
    std::string_view fileName = p.substr(p.rfind('/') + 1);
    std::string_view dirPart = p.substr(0, p.size() - fileName.size() - 1);
    std::string_view parent = dirPart.substr(dirPart.rfind('/') + 1);
    bool isSub = false;
    std::string_view fileSession = fileName.substr(0, fileName.size() - 6);
    if (parent == "subagents") {
        std::string_view above = dirPart.substr(0, dirPart.size() - parent.size());
        if (!above.empty()) above.remove_suffix(1);
        isSub = true;
        fileSession = above.substr(above.rfind('/') + 1);
    }

    Impl& I = *m_impl;
    I.ensureBuffer(kChunk);
    std::uint64_t pos = state.offset; // file offset of buf[0]
    std::size_t have = 0;              // bytes in the buffer not yet handled
    for (;;) {
        if (have == I.bufSize) {
            // One line longer than the buffer: double it for this line only.
            std::size_t bigger = I.bufSize * 2;
            auto grown = std::make_unique_for_overwrite<char[]>(bigger + kPad);
            std::memcpy(grown.get(), I.buf.get(), have);
            I.buf = std::move(grown);
            I.bufSize = bigger;
        }
        char* buf = I.buf.get();
        ssize_t got = ::pread(file.fd, buf + have, I.bufSize - have, static_cast<off_t>(pos + have));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const std::size_t len = have + static_cast<std::size_t>(got);
        const std::size_t capacity = I.bufSize + kPad;
        std::size_t start = 0;
        while (start < len) {
            const char* nl = static_cast<const char*>(std::memchr(buf + start, '\n', len - start));
            if (!nl) break;
            const std::size_t n = static_cast<std::size_t>(nl - (buf + start));
            if (codex) handleCodexLine(buf + start, n, capacity - start, fileSession, state);
            else handleClaudeLine(buf + start, n, capacity - start, fileSession, isSub, state);
            start += n + 1;
        }
        state.offset += start;
        pos += start;
        have = len - start;
        if (have && start) std::memmove(buf, buf + start, have);
    }
    if (I.bufSize > kChunk) I.ensureBuffer(kChunk);
}

} // namespace quillon
