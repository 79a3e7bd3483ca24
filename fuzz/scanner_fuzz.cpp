// Feeds arbitrary bytes to both line handlers, directly and through a real file read in two
// passes, and checks that the aggregates keep their invariants and that both ways agree.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "scanner/log_scanner.h"
#include "scanner/text.h"

namespace {

using quillon::Config;
using quillon::FileState;
using quillon::LogScanner;
using quillon::SessionAgg;

[[noreturn]] void fail(const char* what, const std::string& id) {
    std::fprintf(stderr, "invariant broken: %s (session %s)\n", what, id.c_str());
    std::abort();
}

bool small(std::int64_t v) {
    return v > -(std::int64_t(1) << 50) && v < (std::int64_t(1) << 50);
}

void checkInvariants(const LogScanner& s) {
    for (const SessionAgg* a : s.sessions()) {
        std::int64_t turns = 0, context = 0, hours = 0;
        bool exact = true;
        for (const auto& [key, d] : a->days) {
            turns += d.turns;
            if (d.sideTurns > d.turns || d.sideTurns < 0) fail("side turns exceed turns", a->id);
            exact = exact && small(d.usage.input) && small(d.usage.cacheW) && small(d.usage.cacheR);
            context += d.usage.context();
            if (key.size() != 10) fail("day key shape", a->id);
        }
        for (const auto& [h, c] : a->hours) {
            exact = exact && small(c);
            hours += c;
        }
        if (turns != a->turns) fail("days' turns differ from the session's", a->id);
        if (exact && context != hours) fail("hours differ from the days' context", a->id);
        if (a->floorContext) {
            if (a->peakContext < a->lastContext) fail("peak below last", a->id);
            if (a->peakContext < *a->floorContext) fail("peak below floor", a->id);
            if (!a->lastMainAt) fail("main turn without time", a->id);
        }
        if (a->turns > 0 && !a->last) fail("turns without a last time", a->id);
        if (a->firstPrompt && quillon::text::prefixChars(*a->firstPrompt, 70) != *a->firstPrompt)
            fail("prompt longer than 70 characters", a->id);
        if (a->lastToolError &&
            quillon::text::prefixChars(a->lastToolError->text, 300) != a->lastToolError->text)
            fail("error longer than 300 characters", a->id);
        if (a->pendingTool && a->lastKind != "tool") fail("pending tool without a tool call", a->id);
    }
}

bool sameSession(const SessionAgg& a, const SessionAgg& b) {
    return a.tool == b.tool && a.title == b.title && a.firstPrompt == b.firstPrompt && a.cwd == b.cwd &&
           a.days == b.days && a.hours == b.hours && a.turns == b.turns && a.floorContext == b.floorContext &&
           a.peakContext == b.peakContext && a.lastContext == b.lastContext && a.lastMainAt == b.lastMainAt &&
           a.last == b.last && a.lastToolError == b.lastToolError && a.lastKind == b.lastKind &&
           a.lastKindAt == b.lastKindAt && a.pendingTool == b.pendingTool;
}

void compare(const LogScanner& direct, const LogScanner& read) {
    if (direct.sessions().size() != read.sessions().size()) fail("file read differs: session count", "");
    for (const SessionAgg* a : direct.sessions()) {
        const SessionAgg* b = read.find(a->id);
        if (!b || !sameSession(*a, *b)) fail("file read differs from direct feeding", a->id);
    }
    if (direct.codexLimits() != read.codexLimits()) fail("file read differs: limits", "");
}

// Never destroyed: the exit handler that removes the folder still needs its name.
const std::string& dir() {
    static const std::string& d = *new std::string([] {
        std::string t = "/tmp/quillon-fuzz-XXXXXX";
        if (!::mkdtemp(t.data())) std::abort();
        ::mkdir((t + "/claude").c_str(), 0700);
        ::mkdir((t + "/codex").c_str(), 0700);
        std::atexit([] {
            ::unlink((dir() + "/claude/fuzz.jsonl").c_str());
            ::unlink((dir() + "/codex/fuzz.jsonl").c_str());
            ::rmdir((dir() + "/claude").c_str());
            ::rmdir((dir() + "/codex").c_str());
            ::rmdir(dir().c_str());
        });
        return t;
    }());
    return d;
}

void writeFile(const std::string& path, std::string_view bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0) std::abort();
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) std::abort();
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the role of the bytes and where the file is cut between scans.
    const std::uint8_t control = data[0];
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool isSub = control & 1;
    std::string_view complete = bytes.substr(0, bytes.rfind('\n') + 1);
    if (bytes.rfind('\n') == std::string_view::npos) complete = {};

    ::setenv("TZ", "UTC", 1);
    Config config;
    LogScanner direct(config, "/nonexistent", "/nonexistent");
    FileState claudeState, codexState;
    // Claude Code lines first, then Codex, as a scan of both roots does.
    for (bool codex : {false, true})
        for (std::string_view rest = complete; !rest.empty();) {
            std::size_t nl = rest.find('\n');
            std::string_view line = rest.substr(0, nl);
            if (codex)
                direct.handleCodex(line, "fuzz", codexState);
            else
                direct.handle(line, isSub ? "parent" : "fuzz", isSub, claudeState);
            rest.remove_prefix(nl + 1);
        }
    checkInvariants(direct);

    // The same bytes as log files, read in two passes with the cut anywhere.
    const std::string claudeDir = dir() + (isSub ? "/claude/parent/subagents" : "/claude");
    if (isSub) {
        ::mkdir((dir() + "/claude/parent").c_str(), 0700);
        ::mkdir(claudeDir.c_str(), 0700);
    }
    const std::string claudeFile = claudeDir + "/fuzz.jsonl", codexFile = dir() + "/codex/fuzz.jsonl";
    ::unlink(claudeFile.c_str());
    ::unlink(codexFile.c_str());
    const std::size_t cut =
        bytes.empty() ? 0 : (static_cast<std::size_t>(control) * 131) % (bytes.size() + 1);
    LogScanner read(config, dir() + "/claude", dir() + "/codex");
    writeFile(claudeFile, bytes.substr(0, cut));
    read.scan(read.root(), false, 1);
    writeFile(claudeFile, bytes.substr(cut));
    read.scan(read.root(), false, 1);
    writeFile(codexFile, bytes.substr(0, cut));
    read.scan(read.codexRoot(), true, 1);
    writeFile(codexFile, bytes.substr(cut));
    read.scan(read.codexRoot(), true, 1);
    ::unlink(claudeFile.c_str());
    ::unlink(codexFile.c_str());
    if (isSub) {
        ::rmdir(claudeDir.c_str());
        ::rmdir((dir() + "/claude/parent").c_str());
    }
    checkInvariants(read);
    compare(direct, read);
    return 0;
}
