#pragma once

// The scanner's private working state, shared by the reader and the line handlers.

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "scanner/key_set.h"
#include "scanner/line_parse.h"
#include "scanner/log_scanner.h"
#include "scanner/probes.h"

namespace quillon {

inline constexpr std::size_t kChunk = 1 << 20;
// Bytes kept readable after every line: simdjson and the probe pass look past the end.
inline constexpr std::size_t kPad = kParsePadding > Probe::kPadding ? kParsePadding : Probe::kPadding;

// Change notification for a root, so that a rescan with nothing changed need not look at
// every file. Events only narrow down which files to look at; the reading is the same.
struct LogScanner::Watch {
    static constexpr std::uint32_t kEvents =
        0x00000002 /* IN_MODIFY */ | 0x00000004 /* IN_ATTRIB */ | 0x00000008 /* IN_CLOSE_WRITE */ |
        0x00000100 /* IN_CREATE */ | 0x00000200 /* IN_DELETE */ | 0x00000040 /* IN_MOVED_FROM */ |
        0x00000080 /* IN_MOVED_TO */ | 0x00000400 /* IN_DELETE_SELF */ | 0x00000800 /* IN_MOVE_SELF */ |
        0x01000000 /* IN_ONLYDIR */ | 0x02000000 /* IN_DONT_FOLLOW */ | 0x04000000 /* IN_EXCL_UNLINK */;
    // Every folder is looked at again within this many seconds, a share on each rescan, to
    // catch what no event reports (a file system mounted inside the root, say).
    static constexpr double kSweepEvery = 300;
    std::string root;
    bool codex = false;
    bool local = true;
    int fd = -1;
    bool valid = false;
    std::unordered_map<int, std::string> dirs; // watch descriptor -> folder path
    std::unordered_set<std::string> paths;     // the folders watched
    std::vector<int> order;                    // watch descriptors in the order the sweep takes them
    std::size_t cursor = 0;                    // the next folder to sweep
    double owed = 0;                           // folders due but not swept yet
    double cutoff = 0, sweptAt = 0;
    bool found = false;

    Watch() = default;
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    ~Watch();
    void reset();
    bool usable(double cutoff, double now) const;
    void add(int wd, const std::string& path);
};

struct LogScanner::Impl {
    std::unique_ptr<LineParser> parser = makeLineParser();
    KeySet keys;

    // The read buffer: kChunk bytes (more only while a longer line is assembled) plus padding.
    std::unique_ptr<char[]> buf;
    std::size_t bufSize = 0;

    // A padded copy of a line handed in directly (tests, fuzzing).
    std::vector<char> scratch;
    // Reused per line: text blocks of a user message, the error text of a failed tool result.
    std::vector<std::string_view> texts;
    std::string key;
    std::string text;

    // Files a scan found grown, in the order found: read after the walk.
    struct Job {
        const std::string* path; // the key in LogScanner::m_files
        FileState* state;
        std::uint64_t bytes;
    };
    std::vector<Job> jobs;
    // Below this many bytes to read, a second thread costs more than it saves.
    std::uint64_t parallelFrom = 8 << 20;
    std::vector<char> carry;
    std::vector<Probe::Line> lines; // the complete lines of the chunk in hand

    // Local days met so far, by start: [start, end) is the day named key.
    struct DaySpan {
        Instant start, end;
        std::string key;
    };
    std::vector<DaySpan> daySpans;

    static constexpr std::size_t kMaxWatches = 4;
    std::vector<std::unique_ptr<Watch>> watches;
    Watch* watch = nullptr; // the one a walk in progress registers folders with
    bool watching = true;
    std::vector<std::string> changed;
    std::vector<std::string> addedDirs;
    // Folder listings in progress, one buffer per depth of the walk.
    static constexpr std::size_t kListing = 32 << 10;
    std::vector<std::unique_ptr<char[]>> listings;
    Watch* watchFor(const std::string& root, bool codex);

    void ensureBuffer(std::size_t size) {
        if (bufSize == size && buf) return;
        buf = std::make_unique_for_overwrite<char[]>(size + kPad);
        bufSize = size;
    }
};

} // namespace quillon
