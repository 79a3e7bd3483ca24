// Measures the scanner on a generated home (see corpus_gen): the first scan's throughput with
// its split into reading, probing and parsing, a rescan with nothing changed, a rescan after
// 1 MB was appended to one file, and the memory the aggregates and per-file state take.
//
//   bench_scanner <home folder> [runs=3]
//   bench_scanner <home folder> 1 first|rescan|walk   (only first scans, or only rescans, for a profiler)
//
// Times are CPU time of the measuring thread unless said otherwise: the machine is shared.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

#include "scanner/key_set.h"
#include "scanner/line_parse.h"
#include "scanner/log_scanner.h"
#include "scanner/probes.h"

namespace fs = std::filesystem;
// Thread CPU time: the machine is shared, so wall time mostly measures the neighbours.
struct Clock {
    using time_point = double;
    static double now() {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
    }
};

// Counts the allocations made through operator new, to show there is none per line.
static std::atomic<std::uint64_t> g_allocations{0};
void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

double seconds(double a, double b) {
    return b - a;
}

double clockNow(clockid_t id) {
    timespec ts;
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long residentKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

std::vector<std::string> logFiles(const fs::path& home) {
    std::vector<std::string> out;
    for (const char* root : {".claude/projects", ".codex/sessions"}) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(home / root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->is_regular_file() && it->path().extension() == ".jsonl") out.push_back(it->path());
    }
    return out;
}

// Reads every file in 1 MiB chunks; with probe set, also cuts lines and runs the probes.
std::size_t pass(const std::vector<std::string>& files, bool probe, std::size_t& lines) {
    constexpr std::size_t chunk = 1 << 20;
    std::unique_ptr<char[]> buf(new char[chunk * 64 + 64]);
    std::size_t bytes = 0, size = chunk * 64;
    std::uint32_t sink = 0;
    for (const auto& f : files) {
        int fd = ::open(f.c_str(), O_RDONLY);
        if (fd < 0) continue;
        std::size_t have = 0;
        off_t pos = 0;
        for (;;) {
            ssize_t got =
                ::pread(fd, buf.get() + have, std::min(chunk, size - have), pos + static_cast<off_t>(have));
            if (got <= 0) break;
            bytes += static_cast<std::size_t>(got);
            std::size_t len = have + static_cast<std::size_t>(got), start = 0;
            if (probe) {
                while (const char* nl =
                           static_cast<const char*>(std::memchr(buf.get() + start, '\n', len - start))) {
                    std::size_t n = static_cast<std::size_t>(nl - buf.get()) - start;
                    sink += quillon::Probe::scan(std::string_view(buf.get() + start, n)).bits;
                    ++lines;
                    start += n + 1;
                }
            } else {
                const char* nl = static_cast<const char*>(::memrchr(buf.get(), '\n', len));
                start = nl ? static_cast<std::size_t>(nl - buf.get()) + 1 : 0;
            }
            pos += static_cast<off_t>(start);
            have = len - start;
            std::memmove(buf.get(), buf.get() + start, have);
        }
        ::close(fd);
    }
    if (sink == 1) std::puts("");
    return bytes;
}

std::string appendChunk(std::size_t bytes, int round) {
    std::string out;
    std::string text(9000, 'x');
    int i = 0;
    while (out.size() < bytes) {
        const std::string id = "msg_append_" + std::to_string(round) + "_" + std::to_string(i++);
        out += "{\"isSidechain\":false,\"cwd\":\"/"
               "p\",\"sessionId\":\"appended\",\"message\":{\"model\":\"claude-opus-4-6\",\"id\":\"" +
               id +
               "\",\"role\":\"assistant\",\"content\":[{\"type\":\"tool_use\",\"name\":\"Bash\",\"input\":{}}"
               "],\"usage\":{\"input_tokens\":3,\"cache_creation_input_tokens\":100,\"cache_read_input_"
               "tokens\":50000,\"output_tokens\":90}},\"type\":\"assistant\",\"timestamp\":\"2026-06-01T10:"
               "00:00.000Z\"}\n";
        out += "{\"isSidechain\":false,\"sessionId\":\"appended\",\"type\":\"user\",\"message\":{\"role\":"
               "\"user\",\"content\":[{\"type\":\"tool_result\",\"content\":\"" +
               text + "\"}]},\"timestamp\":\"2026-06-01T10:00:01.000Z\",\"toolUseResult\":{\"stdout\":\"" +
               text + "\"}}\n";
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_scanner <home folder> [runs=3]\n");
        return 2;
    }
    const fs::path home = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string claude = home / ".claude/projects", codex = home / ".codex/sessions";
    const auto files = logFiles(home);
    if (argc > 3 && std::string(argv[3]) == "first") {
        for (int i = 0; i < 5; ++i) {
            quillon::LogScanner s(quillon::Config{}, claude, codex);
            s.scanBoth(36500);
        }
        return 0;
    }
    if (argc > 3 && (std::string(argv[3]) == "rescan" || std::string(argv[3]) == "walk")) {
        // Only rescans (walking every folder with "walk"), for a profiler.
        quillon::LogScanner s(quillon::Config{}, claude, codex);
        s.setWatching(std::string(argv[3]) == "rescan");
        s.scanBoth(36500);
        auto a = Clock::now();
        for (int i = 0; i < 200; ++i)
            s.scanBoth(36500);
        std::printf("rescan: %.2f ms\n", (Clock::now() - a) / 200 * 1e3);
        return 0;
    }
    std::size_t lines = 0;
    const std::size_t total = pass(files, false, lines); // also warms the page cache
    std::printf("corpus: %zu files, %.1f MB, parser kernel %s\n", files.size(), total / 1e6,
                quillon::makeLineParser()->kernel());

    std::vector<double> readT, probeT, fullT, wallT, bothT;
    for (int r = 0; r < runs; ++r) {
        auto a = Clock::now();
        pass(files, false, lines);
        auto b = Clock::now();
        lines = 0;
        pass(files, true, lines);
        auto c = Clock::now();
        const double wall = clockNow(CLOCK_MONOTONIC), both = clockNow(CLOCK_PROCESS_CPUTIME_ID);
        quillon::LogScanner s(quillon::Config{}, claude, codex);
        s.scanBoth(36500);
        auto d = Clock::now();
        wallT.push_back(clockNow(CLOCK_MONOTONIC) - wall);
        bothT.push_back(clockNow(CLOCK_PROCESS_CPUTIME_ID) - both);
        readT.push_back(seconds(a, b));
        probeT.push_back(seconds(b, c));
        fullT.push_back(seconds(c, d));
    }
    const double full = median(fullT), read = median(readT), probe = median(probeT);
    std::printf("first scan (%zu lines): handling thread %.3f s CPU = %.2f GB/s; wall %.3f s = %.2f GB/s; "
                "both threads %.3f s CPU\n",
                lines, full, total / full / 1e9, median(wallT), total / median(wallT) / 1e9, median(bothT));
    std::printf(
        "  split, one thread each: reading %.3f s (%.1f GB/s), probing and cutting lines %.3f s (%.1f GB/s), "
        "the rest of the handling thread (listing, parsing, counting) %.3f s\n",
        read, total / read / 1e9, probe - read, total / (probe - read) / 1e9, full - (probe - read));
    // Memory of a scanner that holds the whole corpus.
    const std::uint64_t allocationsBefore = g_allocations.load();
    malloc_trim(0);
    const long rssBefore = residentKiB();
    const std::size_t heapBefore = mallinfo2().uordblks;
    quillon::LogScanner s(quillon::Config{}, claude, codex);
    s.scanBoth(36500);
    malloc_trim(0);
    const std::size_t heap = mallinfo2().uordblks - heapBefore;
    const long rss = residentKiB() - rssBefore;
    std::size_t sessions = s.sessions().size();
    const std::uint64_t allocations = g_allocations.load() - allocationsBefore;
    std::printf("allocations during the first scan: %llu for %zu lines, %zu sessions and %zu files\n",
                static_cast<unsigned long long>(allocations), lines, sessions, files.size());
    std::printf("memory: %.1f MB allocated, %.1f MB resident growth (%zu sessions, %zu files, %zu keys, key "
                "set %.1f MB)\n",
                heap / 1e6, rss / 1e3, sessions, files.size(), s.duplicateKeys(),
                s.duplicateSetBytes() / 1e6);

    std::vector<double> rescans;
    for (int i = 0; i < 30; ++i) {
        auto a = Clock::now();
        s.scanBoth(36500);
        rescans.push_back(seconds(a, Clock::now()));
    }
    std::printf("rescan, nothing changed, %zu files: %.3f ms (median of 30, back to back)\n", files.size(),
                median(rescans) * 1e3);
    {
        // As the application runs: a rescan every 45 s, each also looking at its share of the
        // folders again (every folder every 5 minutes). Simulated time, so 20 rescans span 15 min.
        quillon::LogScanner app(quillon::Config{}, claude, codex);
        const double t0 = static_cast<double>(std::time(nullptr));
        app.scan(claude, false, 36500, t0);
        app.scan(codex, true, 36500, t0);
        std::vector<double> ticks;
        for (int i = 1; i <= 20; ++i) {
            auto a = Clock::now();
            app.scan(claude, false, 36500, t0 + 45.0 * i);
            app.scan(codex, true, 36500, t0 + 45.0 * i);
            ticks.push_back(seconds(a, Clock::now()));
        }
        std::printf("  every 45 s as the application does it: %.2f ms median, %.2f ms at most (20 rescans)\n",
                    median(ticks) * 1e3, *std::max_element(ticks.begin(), ticks.end()) * 1e3);
    }
    {
        // The walk that replaces the notifications when they cannot tell (or are off).
        quillon::LogScanner walker(quillon::Config{}, claude, codex);
        walker.setWatching(false);
        walker.scanBoth(36500);
        std::vector<double> walks;
        for (int i = 0; i < 30; ++i) {
            auto a = Clock::now();
            walker.scanBoth(36500);
            walks.push_back(seconds(a, Clock::now()));
        }
        std::printf("  the same by walking every folder (without notifications): %.2f ms (median of 30)\n",
                    median(walks) * 1e3);
    }

    // 1 MB appended to one file, then a rescan; repeated on a copy so the corpus stays as made.
    const std::string target = claude + "/-bench-append/appended.jsonl";
    fs::create_directories(fs::path(target).parent_path());
    { std::ofstream(target, std::ios::binary) << appendChunk(1000, 0); }
    s.scanBoth(36500);
    std::vector<double> appends;
    std::uint64_t appendAllocations = 0, appendedLines = 0;
    for (int i = 1; i <= 10; ++i) {
        const std::string chunk = appendChunk(1'000'000, i);
        { std::ofstream(target, std::ios::binary | std::ios::app) << chunk; }
        appendedLines += static_cast<std::uint64_t>(std::count(chunk.begin(), chunk.end(), '\n'));
        const std::uint64_t before = g_allocations.load();
        auto a = Clock::now();
        s.scanBoth(36500);
        appends.push_back(seconds(a, Clock::now()));
        appendAllocations += g_allocations.load() - before;
    }
    fs::remove_all(fs::path(target).parent_path());
    std::printf(
        "rescan after 1 MB appended to one file: %.3f ms (median of 10); %llu allocations for %llu lines\n",
        median(appends) * 1e3, static_cast<unsigned long long>(appendAllocations),
        static_cast<unsigned long long>(appendedLines));

    quillon::KeySet keys;
    for (int i = 0; i < 1'000'000; ++i)
        keys.insert(quillon::KeySet::hash(quillon::KeySet::Space::claude, "msg_" + std::to_string(i)));
    std::printf("duplicate set: %.1f MB per million keys\n", keys.bytes() / 1e6);
    return 0;
}
