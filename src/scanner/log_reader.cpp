// Finding the log files and reading what they gained since the last pass.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <system_error>
#include <thread>
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

// Chunks in flight between the reading thread and the handling one.
constexpr std::size_t kRing = 4;

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

void LogScanner::setParallelThreshold(std::uint64_t bytes) {
    m_impl->parallelFrom = bytes;
}
void LogScanner::setWatching(bool on) {
    m_impl->watching = on;
    if (!on) m_impl->watches.clear();
}

LogScanner::Watch::~Watch() {
    if (fd >= 0) ::close(fd);
}

void LogScanner::Watch::reset() {
    if (fd >= 0) ::close(fd);
    dirs.clear();
    paths.clear();
    order.clear();
    cursor = 0;
    owed = 0;
    fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    valid = fd >= 0 && local;
}

bool LogScanner::Watch::usable(double newCutoff, double now) const {
    // A wider window must look at files skipped as too old; a clock set back starts afresh.
    return fd >= 0 && valid && newCutoff >= cutoff && now >= sweptAt;
}

void LogScanner::Watch::add(int wd, const std::string& path) {
    auto [it, added] = dirs.insert_or_assign(wd, path);
    if (added) order.push_back(wd);
    paths.insert(path);
}

LogScanner::Watch* LogScanner::Impl::watchFor(const std::string& root, bool codex) {
    if (!watching) return nullptr;
    for (auto& w : watches)
        if (w->root == root && w->codex == codex) return w.get();
    if (watches.size() >= kMaxWatches) return nullptr;
    auto w = std::make_unique<Watch>();
    w->root = root;
    w->codex = codex;
    // Network and user-space file systems do not report changes made elsewhere.
    struct statfs fs;
    if (::statfs(root.c_str(), &fs) == 0) {
        switch (static_cast<unsigned long>(fs.f_type)) {
        case 0x6969:     // NFS
        case 0x517B:     // SMB
        case 0xFF534D42: // CIFS
        case 0xFE534D42: // SMB2
        case 0x65735546: // FUSE
        case 0x01021997: // 9P
            w->local = false;
            break;
        default:
            break;
        }
    }
    watches.push_back(std::move(w));
    return watches.back().get();
}

std::size_t LogScanner::duplicateKeys() const {
    return m_impl->keys.size();
}
std::size_t LogScanner::duplicateSetBytes() const {
    return m_impl->keys.bytes();
}

bool LogScanner::scan(const std::string& root, bool codex, int days) {
    return scan(root, codex, days, currentInstant());
}

bool LogScanner::scan(const std::string& root, bool codex, int days, Instant now) {
    Impl& I = *m_impl;
    const double cutoff = now - static_cast<double>(days) * 86400.0;
    I.jobs.clear();
    ++m_scans;
    Watch* w = I.watchFor(root, codex);
    bool found = false;
    if (w && w->usable(cutoff, now) && changedSince(*w, cutoff) && sweep(*w, cutoff, now)) {
        found = w->found;
    } else {
        // What the events queued is dropped: the walk finds it again.
        I.jobs.clear();
        ++m_scans;
        if (w) w->reset();
        I.watch = w;
        int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            std::string path = root;
            while (path.size() > 1 && path.back() == '/')
                path.pop_back();
            walk(fd, path, codex, cutoff, found, 0);
        } else if (w) {
            w->valid = false;
        }
        I.watch = nullptr;
        if (w) {
            w->cutoff = cutoff;
            w->sweptAt = now;
            w->found = found;
        }
        if (fd < 0) return false;
    }

    // Files are read in the order they were found, each from its stored offset to its end.
    std::uint64_t pending = 0;
    for (const Impl::Job& j : I.jobs) {
        pending += j.bytes;
        if (j.state->offset == 0 && !j.state->counted) {
            ++m_filesRead;
            j.state->counted = true;
        }
    }
    if (pending >= I.parallelFrom && I.jobs.size() > 0)
        readAhead(codex);
    else
        for (const Impl::Job& j : I.jobs)
            readFile(*j.path, codex, *j.state);
    I.jobs.clear();
    return found;
}

void LogScanner::consider(std::string& path, const struct stat& st, double cutoff) {
    const double modified = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec * 1e-9;
    if (modified < cutoff) return;
    auto it = m_files.find(path);
    const std::uint64_t offset = it == m_files.end() ? 0 : it->second.offset;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    // Equal: nothing appended. Smaller: the file was rewritten; it is left alone.
    if (size <= offset) return;
    if (it == m_files.end()) it = m_files.try_emplace(path).first;
    if (it->second.queuedIn == m_scans) return;
    it->second.queuedIn = m_scans;
    m_impl->jobs.push_back({&it->first, &it->second, size - offset});
}

// The files that changed since the last walk, from the watch's events, as jobs; a folder that
// appeared is walked on its own. False when the events do not tell enough (a folder went, a
// log was removed, the queue overflowed): then the root is walked again.
bool LogScanner::changedSince(Watch& w, double cutoff) {
    alignas(inotify_event) char buf[64 * 1024];
    auto& changed = m_impl->changed;
    auto& added = m_impl->addedDirs;
    changed.clear();
    added.clear();
    for (;;) {
        ssize_t n = ::read(w.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) return false;
        for (char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            p += sizeof(inotify_event) + e->len;
            if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_UNMOUNT | IN_DELETE_SELF | IN_MOVE_SELF))
                return false;
            if (e->mask & IN_ISDIR) {
                if (e->mask & (IN_ATTRIB | IN_DELETE | IN_MOVED_FROM)) return false;
                if (e->mask & (IN_CREATE | IN_MOVED_TO)) {
                    // A new project or subagent folder: only it needs a look.
                    auto dir = w.dirs.find(e->wd);
                    if (dir == w.dirs.end() || !e->len) return false;
                    std::string path = dir->second + "/" + e->name;
                    if (std::find(added.begin(), added.end(), path) == added.end()) added.push_back(std::move(path));
                }
                continue;
            }
            if (!e->len || !isLogName(e->name)) continue;
            if (e->mask & (IN_DELETE | IN_MOVED_FROM)) return false;
            auto dir = w.dirs.find(e->wd);
            if (dir == w.dirs.end()) return false;
            std::string path = dir->second + "/" + e->name;
            if (std::find(changed.begin(), changed.end(), path) == changed.end())
                changed.push_back(std::move(path));
        }
    }
    for (std::string& path : changed) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        w.found = true;
        consider(path, st, cutoff);
    }
    // A file is queued once a scan, so a file both changed and in a new folder is read once.
    for (std::string& path : added) {
        // A folder inside one created at the same time is walked with it.
        const bool inside = std::any_of(added.begin(), added.end(), [&](const std::string& other) {
            return path.size() > other.size() && path.starts_with(other) && path[other.size()] == '/';
        });
        if (inside) continue;
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue; // gone again
        if (!walkWatched(w, fd, path, cutoff, false)) return false;
    }
    return true;
}

// Walks a folder below a watched root, registering what it finds with the watch. False when the
// watch became unusable on the way (a linked log, no more watches to be had).
bool LogScanner::walkWatched(Watch& w, int fd, std::string& path, double cutoff, bool sweeping) {
    std::string_view root = w.root;
    while (root.size() > 1 && root.back() == '/')
        root.remove_suffix(1);
    const auto depth = static_cast<int>(std::count(path.begin(), path.end(), '/') -
                                        std::count(root.begin(), root.end(), '/'));
    bool found = false;
    m_impl->watch = &w;
    walk(fd, path, w.codex, cutoff, found, std::max(depth, 0), sweeping);
    m_impl->watch = nullptr;
    w.found = w.found || found;
    return w.valid;
}

// Looks at the share of the watched folders that came due since the last rescan, so that each
// is looked at every kSweepEvery seconds, spread over the rescans rather than in one walk.
bool LogScanner::sweep(Watch& w, double cutoff, double now) {
    const double share = (now - w.sweptAt) / Watch::kSweepEvery;
    w.sweptAt = now;
    w.owed = std::min(w.owed + share * static_cast<double>(w.order.size()), static_cast<double>(w.order.size()));
    std::string path;
    for (; w.owed >= 1 && !w.order.empty(); w.owed -= 1) {
        auto dir = w.dirs.find(w.order[w.cursor++ % w.order.size()]);
        if (dir == w.dirs.end()) continue;
        path = dir->second;
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return false; // a folder went without an event: walk again
        if (!walkWatched(w, fd, path, cutoff, true)) return false;
    }
    return true;
}

// Takes ownership of dirFd. path is the directory's path and is restored before returning.
// The listing is read with getdents64 into a buffer kept per depth: a DIR stream would cost two
// more system calls and an allocation per folder, and a walk is mostly system calls.
// A sweep looks at one watched folder again: its logs, and any folder in it not watched yet.
void LogScanner::walk(int dirFd, std::string& path, bool codex, double cutoff, bool& found, int depth,
                      bool sweeping) {
    const Fd dir(dirFd);
    const std::size_t base = path.size();
    if (Watch* w = m_impl->watch; w && w->valid && !sweeping) {
        int wd = ::inotify_add_watch(w->fd, path.c_str(), Watch::kEvents);
        if (wd < 0)
            w->valid = false;
        else
            w->add(wd, path);
    }
    auto& buffers = m_impl->listings;
    if (buffers.size() <= static_cast<std::size_t>(depth)) buffers.resize(static_cast<std::size_t>(depth) + 1);
    auto& listing = buffers[static_cast<std::size_t>(depth)];
    if (!listing) listing = std::make_unique_for_overwrite<char[]>(Impl::kListing);
    char* const buf = listing.get();
    for (;;) {
        const ssize_t got = ::getdents64(dirFd, buf, Impl::kListing);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* e = reinterpret_cast<const struct dirent64*>(buf + at);
            at += e->d_reclen;
            const char* name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            unsigned char type = e->d_type;
            struct stat st;
            if (type == DT_UNKNOWN) {
                if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISLNK(st.st_mode) ? DT_LNK
                       : S_ISREG(st.st_mode) ? DT_REG
                                             : DT_UNKNOWN;
            }
            if (type == DT_DIR) {
                if (depth >= kMaxDepth) continue;
                path.append("/").append(name);
                if (sweeping && m_impl->watch->paths.contains(path)) {
                    path.resize(base);
                    continue; // swept in its own turn
                }
                // O_NOFOLLOW: a folder swapped for a symlink after listing is not followed either.
                int sub = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) walk(sub, path, codex, cutoff, found, depth + 1);
                path.resize(base);
                continue;
            }
            if (type != DT_REG && type != DT_LNK) continue;
            if (!isLogName(name)) continue;
            // Changes to a linked file's target raise no event here: such a root is always walked.
            if (type == DT_LNK && m_impl->watch) m_impl->watch->valid = false;
            // A symlink to a log file counts as that file; one to a folder is not followed.
            if (::fstatat(dirFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
            found = true;
            path.append("/").append(name);
            consider(path, st, cutoff);
            path.resize(base);
        }
    }
}

namespace {

// The session a file's lines belong to, from its path: a subagent log lies in
// <session>/subagents/ and belongs to that session.
std::string_view fileSessionOf(std::string_view p, bool& isSub) {
    std::string_view fileName = p.substr(p.rfind('/') + 1);
    std::string_view dirPart = p.substr(0, p.size() - fileName.size() - 1);
    std::string_view parent = dirPart.substr(dirPart.rfind('/') + 1);
    isSub = false;
    if (parent != "subagents") return fileName.substr(0, fileName.size() - 6);
    std::string_view above = dirPart.substr(0, dirPart.size() - parent.size());
    if (!above.empty()) above.remove_suffix(1);
    isSub = true;
    return above.substr(above.rfind('/') + 1);
}

int openLog(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

void LogScanner::handleLine(const char* p, std::size_t n, std::size_t capacity, const Probe::Hits& hits,
                            bool codex, std::string_view fileSession, bool isSub, FileState& state) {
    if (codex)
        handleCodexLine(p, n, capacity, hits, fileSession, state);
    else
        handleClaudeLine(p, n, capacity, hits, fileSession, isSub, state);
}

// Handles the complete lines of text (bytes readable up to text + capacity) and returns the
// bytes they took; the rest is a partial line.
std::size_t LogScanner::handleLines(const char* text, std::size_t len, std::size_t capacity, bool codex,
                                    std::string_view fileSession, bool isSub, FileState& state) {
    auto& lines = m_impl->lines;
    lines.clear();
    const std::size_t used = Probe::cutLines(std::string_view(text, len), lines);
    for (const Probe::Line& l : lines)
        handleLine(text + l.start, l.length, capacity - l.start, l.hits, codex, fileSession, isSub, state);
    state.offset += used;
    if (lines.capacity() > 1 << 16) std::vector<Probe::Line>().swap(lines);
    return used;
}

void LogScanner::readFile(const std::string& path, bool codex, FileState& state) {
    Fd file(openLog(path));
    if (file.fd < 0) return;
    bool isSub;
    const std::string_view fileSession = fileSessionOf(path, isSub);

    Impl& I = *m_impl;
    I.ensureBuffer(kChunk);
    std::uint64_t pos = state.offset; // file offset of buf[0]
    std::size_t have = 0;             // bytes in the buffer not yet handled
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
        const std::size_t want = I.bufSize - have;
        ssize_t got = ::pread(file.fd, buf + have, want, static_cast<off_t>(pos + have));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const std::size_t len = have + static_cast<std::size_t>(got);
        const std::size_t used = handleLines(buf, len, I.bufSize + kPad, codex, fileSession, isSub, state);
        pos += used;
        have = len - used;
        if (have && used) std::memmove(buf, buf + used, have);
        // A short read is the end of the file as it stands: no second call to hear it.
        if (static_cast<std::size_t>(got) < want) break;
    }
    if (I.bufSize > kChunk) I.ensureBuffer(kChunk);
}

// The same as readFile over every job, with a second thread reading while this one handles
// lines. The reader packs the files into 1 MiB slots (most logs are far smaller), so the two
// threads meet once a slot, not once a file. Lines are handled in the same order, so the
// results are the same.
void LogScanner::readAhead(bool codex) {
    Impl& I = *m_impl;
    // A stretch of one file's bytes in a slot.
    struct Segment {
        std::size_t job, at, len;
    };
    struct Slot {
        std::unique_ptr<char[]> data;
        std::vector<Segment> segments;
    };
    constexpr std::size_t kDone = kRing;     // in `ready`: no more slots
    constexpr std::size_t kLeast = 64 << 10; // a slot with less room left is handed over
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::size_t> ready;
    std::vector<std::size_t> free;
    // Who sleeps, so that the other calls the kernel only when someone is to be woken.
    bool readerWaits = false, handlerWaits = false;
    std::atomic<bool> hungry{false};
    std::vector<Slot> ring(kRing);
    for (std::size_t i = 0; i < kRing; ++i) {
        ring[i].data = std::make_unique_for_overwrite<char[]>(kChunk + kPad);
        free.push_back(i);
    }
    const auto& jobs = I.jobs;

    auto handOver = [&](std::size_t slot) {
        std::lock_guard lock(mutex);
        ready.push_back(slot);
        if (handlerWaits) changed.notify_all();
    };
    auto takeFree = [&] {
        std::unique_lock lock(mutex);
        if (free.empty()) {
            // Sleep until half the ring is free again, not once a slot.
            readerWaits = true;
            changed.wait(lock, [&] { return free.size() >= kRing / 2; });
            readerWaits = false;
        }
        const std::size_t slot = free.back();
        free.pop_back();
        ring[slot].segments.clear();
        return slot;
    };
    auto readAll = [&] {
        std::size_t slot = takeFree(), used = 0;
        for (std::size_t j = 0; j < jobs.size(); ++j) {
            Fd file(openLog(*jobs[j].path));
            std::uint64_t pos = jobs[j].state->offset;
            while (file.fd >= 0) {
                if (kChunk - used < kLeast) {
                    handOver(slot);
                    slot = takeFree();
                    used = 0;
                }
                const std::size_t want = kChunk - used;
                ssize_t got;
                do
                    got = ::pread(file.fd, ring[slot].data.get() + used, want, static_cast<off_t>(pos));
                while (got < 0 && errno == EINTR);
                if (got <= 0) break;
                ring[slot].segments.push_back({j, used, static_cast<std::size_t>(got)});
                used += static_cast<std::size_t>(got);
                pos += static_cast<std::uint64_t>(got);
                if (static_cast<std::size_t>(got) < want) break; // the end of the file as it stands
            }
            // The handler has nothing to do: give it what there is rather than fill the slot.
            if (used && hungry.load(std::memory_order_relaxed)) {
                handOver(slot);
                slot = takeFree();
                used = 0;
            }
        }
        std::lock_guard lock(mutex);
        if (used)
            ready.push_back(slot);
        else
            free.push_back(slot);
        ready.push_back(kDone);
        if (handlerWaits) changed.notify_all();
    };
    std::thread reader;
    try {
        reader = std::thread(readAll);
    } catch (const std::system_error&) {
        // No thread to be had: read the plain way.
        for (const Impl::Job& j : jobs)
            readFile(*j.path, codex, *j.state);
        return;
    }

    // The part of a line that began in an earlier segment of the same file.
    std::vector<char>& carry = I.carry;
    std::size_t carried = 0, current = jobs.size();
    FileState* state = nullptr;
    std::string_view fileSession;
    bool isSub = false;
    for (;;) {
        std::size_t slot;
        {
            std::unique_lock lock(mutex);
            if (ready.empty()) {
                handlerWaits = true;
                hungry.store(true, std::memory_order_relaxed);
                changed.wait(lock, [&] { return !ready.empty(); });
                hungry.store(false, std::memory_order_relaxed);
                handlerWaits = false;
            }
            slot = ready.front();
            ready.pop_front();
        }
        if (slot == kDone) break;
        const char* data = ring[slot].data.get();
        for (const Segment& seg : ring[slot].segments) {
            if (seg.job != current) {
                // A new file: a partial line left at the end of the last one waits for the next pass.
                current = seg.job;
                carried = 0;
                state = jobs[current].state;
                fileSession = fileSessionOf(*jobs[current].path, isSub);
            }
            const char* buf = data + seg.at;
            const std::size_t capacity = kChunk + kPad - seg.at;
            std::size_t start = 0;
            if (carried) {
                const char* nl = static_cast<const char*>(std::memchr(buf, '\n', seg.len));
                const std::size_t head = nl ? static_cast<std::size_t>(nl - buf) : seg.len;
                if (carry.size() < carried + head + kPad) carry.resize(carried + head + kPad);
                std::memcpy(carry.data() + carried, buf, head);
                carried += head;
                if (nl) {
                    const std::string_view line(carry.data(), carried);
                    handleLine(carry.data(), carried, carry.size(), Probe::scan(line), codex, fileSession, isSub,
                               *state);
                    state->offset += carried + 1;
                    carried = 0;
                    start = head + 1;
                } else {
                    start = seg.len;
                }
            }
            if (start < seg.len)
                start += handleLines(buf + start, seg.len - start, capacity - start, codex, fileSession, isSub,
                                     *state);
            if (start < seg.len) {
                const std::size_t rest = seg.len - start;
                if (carry.size() < carried + rest + kPad) carry.resize(carried + rest + kPad);
                std::memcpy(carry.data() + carried, buf + start, rest);
                carried += rest;
            }
        }
        std::lock_guard lock(mutex);
        free.push_back(slot);
        if (readerWaits && free.size() >= kRing / 2) changed.notify_all();
    }
    if (carry.size() > kChunk + kPad) std::vector<char>().swap(carry);
    reader.join();
}

} // namespace quillon
