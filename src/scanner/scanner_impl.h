#pragma once

// The scanner's private working state, shared by the reader and the line handlers.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/key_set.h"
#include "scanner/line_parse.h"
#include "scanner/log_scanner.h"
#include "scanner/probes.h"

namespace quillon {

inline constexpr std::size_t kChunk = 1 << 20;
// Bytes kept readable after every line: simdjson and the probe pass look past the end.
inline constexpr std::size_t kPad = kParsePadding > Probe::kPadding ? kParsePadding : Probe::kPadding;

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

    void ensureBuffer(std::size_t size) {
        if (bufSize == size && buf) return;
        buf = std::make_unique_for_overwrite<char[]>(size + kPad);
        bufSize = size;
    }
};

} // namespace quillon
