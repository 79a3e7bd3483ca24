// Discovery and incremental reading on real files in a temporary home.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "scanner_support.h"

namespace quillon::testing {
namespace {
namespace fs = std::filesystem;

const Usage kU{1, 2, 3, 4};

std::string line(const std::string& id, const std::string& session = "s1",
                 const std::string& ts = "2026-01-05T10:00:00Z") {
    return assistant(session, id, ts, kU) + "\n";
}

class Scan : public ScannerTest {
  protected:
    bool scanClaude(int days = 32) { return scanner.scan(claudeRoot(), false, days); }
};

TEST_F(Scan, readsRegularLowerCaseJsonlFilesOnlyAndSkipsWhatCannotBeRead) {
    EXPECT_FALSE(scanner.scanBoth(8)) << "no roots yet";
    claude("p/notes.txt", line("m0"));
    EXPECT_FALSE(scanClaude());
    const std::string empty = claude("p/empty.jsonl", "");
    EXPECT_TRUE(scanClaude());
    EXPECT_EQ(scanner.filesRead(), 0);
    EXPECT_EQ(scanner.fileState(empty), nullptr) << "empty files are not opened";

    // Hidden files and folders count; the extension is case-sensitive and ".jsonl" alone is no log.
    claude("p/upper.JSONL", line("a"));
    claude("p/.hidden.jsonl", line("b"));
    claude(".secret/deep/x.jsonl", line("c"));
    claude("p/.jsonl", line("d"));
    // A link to a file is read as that file; links to folders are not followed, loops do not hang.
    const std::string outside = home.write("elsewhere/s2.jsonl", line("m2", "s2"));
    fs::create_directory_symlink(home.path() + "/elsewhere", claudeRoot() + "/linked");
    fs::create_directory_symlink(claudeRoot(), claudeRoot() + "/p/loop");
    fs::create_symlink("self.jsonl", claudeRoot() + "/p/self.jsonl");
    fs::create_symlink(outside, claudeRoot() + "/p/file-link.jsonl");
    // A folder and a pipe named like logs, an unlistable folder and an unreadable log.
    fs::create_directories(claudeRoot() + "/p/folder.jsonl");
    ASSERT_EQ(::mkfifo((claudeRoot() + "/p/pipe.jsonl").c_str(), 0600), 0);
    claude("locked/s3.jsonl", line("m3", "s3"));
    ::chmod(claude("p/s4.jsonl", line("m4", "s4")).c_str(), 0);
    ::chmod((claudeRoot() + "/locked").c_str(), 0);

    EXPECT_TRUE(scanClaude());
    EXPECT_EQ(s("s1")->turns, 2);
    EXPECT_EQ(s("s2")->turns, 1);
    const bool root = ::geteuid() == 0; // root reads what the modes forbid
    EXPECT_EQ(s("s3") != nullptr, root);
    EXPECT_EQ(s("s4") != nullptr, root);
    EXPECT_EQ(scanner.filesRead(), root ? 5 : 3);
    ::chmod((claudeRoot() + "/locked").c_str(), 0700);
}

TEST_F(Scan, appendsBetweenScansCountExactlyOnce) {
    // A log cut at many places and read up to the cut, then to its end, gives the totals of
    // one pass; the partial line at the cut waits for its end.
    std::string text;
    for (int i = 0; i < 6; ++i)
        text += line("m" + std::to_string(i), "s" + std::to_string(i % 2)) +
                userPrompt("s0", "2026-01-05T10:00:0" + std::to_string(i) + "Z",
                           "\"prompt " + std::to_string(i) + "\"") +
                "\n";
    LogScanner whole(Config{}, claudeRoot(), codexRoot());
    const std::string path = claude("p/s0.jsonl", text);
    whole.scan(claudeRoot(), false, 32);
    const Totals expected = totals(whole);
    ASSERT_EQ(expected.turns, 6);

    for (std::size_t cut = 1; cut < text.size(); cut += 97) {
        SCOPED_TRACE(cut);
        fs::remove(path);
        LogScanner parts(Config{}, claudeRoot(), codexRoot());
        claude("p/s0.jsonl", text.substr(0, cut));
        parts.scan(claudeRoot(), false, 32);
        const std::size_t lineEnd = text.rfind('\n', cut - 1);
        const FileState* f = parts.fileState(path);
        EXPECT_EQ(f ? f->offset : 0, lineEnd == std::string::npos ? 0 : lineEnd + 1);
        append(path, text.substr(cut));
        parts.scan(claudeRoot(), false, 32);
        EXPECT_EQ(totals(parts).usage, expected.usage);
        EXPECT_EQ(totals(parts).turns, expected.turns);
        EXPECT_DOUBLE_EQ(totals(parts).usd, expected.usd);
        EXPECT_EQ(parts.find("s0")->lastKindAt, whole.find("s0")->lastKindAt);
        EXPECT_EQ(parts.filesRead(), 1) << "a first read that ended inside the first line counts once";
        // Nothing new: nothing changes.
        const auto days = parts.find("s0")->days;
        const auto read = parts.filesRead();
        parts.scan(claudeRoot(), false, 32);
        parts.scan(claudeRoot(), false, 32);
        EXPECT_EQ(parts.find("s0")->days, days);
        EXPECT_EQ(parts.filesRead(), read);
    }
}

TEST_F(Scan, aShrunkenFileIsLeftAloneUntilItGrowsPastTheOffset) {
    const std::string path = claude("p/s1.jsonl", line("m1") + line("m2"));
    scanClaude();
    const std::uint64_t offset = scanner.fileState(path)->offset;
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << line("m3"); }
    scanClaude();
    EXPECT_EQ(totals(scanner).turns, 2);
    EXPECT_EQ(scanner.fileState(path)->offset, offset);
    // Grown past the old offset: read from there (the third line), not from the start.
    append(path, line("m4") + line("m5"));
    scanClaude();
    EXPECT_EQ(scanner.fileState(path)->offset, fs::file_size(path));
    EXPECT_EQ(totals(scanner).turns, 3);
    EXPECT_EQ(scanner.filesRead(), 1);
}

TEST_F(Scan, theDayWindowIncludesItsEdge) {
    const double now = 1'800'000'000;
    auto modified = [](const std::string& path, double t) {
        const timespec times[2] = {{static_cast<time_t>(t), 0}, {static_cast<time_t>(t), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    modified(claude("p/edge.jsonl", line("a", "edge")), now - 8 * 86400);
    modified(claude("p/old.jsonl", line("b", "old")), now - 8 * 86400 - 1);
    EXPECT_TRUE(scanner.scan(claudeRoot(), false, 8, now));
    EXPECT_NE(s("edge"), nullptr);
    EXPECT_EQ(s("old"), nullptr);
    // A wider window reads it, with all its old lines.
    scanner.scan(claudeRoot(), false, 32, now);
    EXPECT_NE(s("old"), nullptr);
}

TEST_F(Scan, linesLongerThanAChunkAreAssembled) {
    // An assistant line of 3 MiB (parsed) and a tool result of 50 MB (probed only) between
    // ordinary lines; CR LF endings throughout.
    std::string bigText(3 << 20, 'a');
    std::string bigAssistant =
        assistant("s1", "big", "2026-01-05T11:00:00Z", kU, R"([{"type":"text","text":")" + bigText + "\"}]");
    std::string huge = "{\"sessionId\":\"s1\",\"type\":\"user\",\"timestamp\":\"2026-01-05T12:00:00Z\","
                       "\"message\":{\"content\":[{\"type\":\"tool_result\",\"content\":\"" +
                       std::string(50'000'000, 'z') + "\"}]}}";
    std::string path = claude("p/s1.jsonl", line("m1").insert(line("m1").size() - 1, "\r") + bigAssistant +
                                                "\r\n" + huge + "\r\n" + line("m2"));
    scanClaude();
    const SessionAgg* a = s("s1");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->turns, 3);
    EXPECT_EQ(a->lastKind, "result");
    EXPECT_EQ(a->lastKindAt, at("2026-01-05T12:00:00Z"));
    EXPECT_EQ(scanner.fileState(path)->offset, fs::file_size(path));
}

TEST_F(Scan, readingAheadOnASecondThreadGivesTheSameResults) {
    // Lines of every size, some longer than a chunk, and files whose last line is unfinished.
    std::string text;
    for (int i = 0; i < 40; ++i) {
        const std::string pad(static_cast<std::size_t>(i * i * 997 % 3'000'000), 'p');
        text += assistant("s" + std::to_string(i % 3), "m" + std::to_string(i), "2026-01-05T10:00:00Z", kU,
                          R"([{"type":"tool_use","name":"T)" + std::to_string(i) + R"("}])",
                          "claude-opus-4-6", -1, "\"pad\":\"" + pad + "\",") +
                "\n";
        text += userPrompt("s" + std::to_string(i % 3), "2026-01-05T10:00:0" + std::to_string(i % 10) + "Z",
                           R"([{"type":"tool_result","is_error":true,"content":"e)" + std::to_string(i) +
                               "\"}]") +
                "\n";
    }
    claude("p/a.jsonl", text);
    claude("p/b.jsonl", text.substr(0, text.size() / 2));
    claude("q/c.jsonl", text.substr(text.size() / 3) + "{\"unfinished\":");
    codex("x.jsonl", codexUsage("2026-01-05T10:00:00Z", 5, 0, 0, 1) + "\n");
    // Small files, many to one read: every third ends in an unfinished line that must not run
    // into the next file's first line.
    std::vector<std::string> small;
    for (int i = 0; i < 30; ++i)
        small.push_back(claude("r/f" + std::to_string(i) + ".jsonl",
                               line("r" + std::to_string(i), "t" + std::to_string(i)) + (i % 3 ? "" : "{\"type\":")));

    LogScanner plain(Config{}, claudeRoot(), codexRoot()), ahead(Config{}, claudeRoot(), codexRoot());
    plain.setParallelThreshold(UINT64_MAX);
    ahead.setParallelThreshold(0);
    for (int pass = 0; pass < 2; ++pass) {
        plain.scanBoth(8);
        ahead.scanBoth(8);
        ASSERT_EQ(plain.sessions().size(), ahead.sessions().size());
        for (const SessionAgg* a : plain.sessions()) {
            const SessionAgg* b = ahead.find(a->id);
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(a->days, b->days);
            EXPECT_EQ(a->hours, b->hours);
            EXPECT_EQ(a->lastToolError, b->lastToolError);
            EXPECT_EQ(a->pendingTool, b->pendingTool);
            EXPECT_EQ(a->lastKindAt, b->lastKindAt);
        }
        for (const char* f : {"/p/a.jsonl", "/p/b.jsonl", "/q/c.jsonl"})
            EXPECT_EQ(plain.fileState(claudeRoot() + f)->offset, ahead.fileState(claudeRoot() + f)->offset);
        for (std::size_t i = 0; i < small.size(); ++i)
            EXPECT_EQ(ahead.fileState(small[i])->offset, fs::file_size(small[i]) - (i % 3 ? 0 : 8));
        // Copies of a.jsonl add no turns; the Codex file one, each small file one, the late line one more.
        EXPECT_EQ(totals(ahead).turns, 71 + pass);
        // Complete the unfinished line and go again.
        append(claudeRoot() + "/q/c.jsonl", "1}\n" + line("late", "s9"));
    }
    EXPECT_EQ(ahead.find("s9")->turns, 1);
}

TEST_F(Scan, changeNotificationsMissNothingAWalkWouldSee) {
    LogScanner watching(Config{}, claudeRoot(), codexRoot()), walking(Config{}, claudeRoot(), codexRoot());
    walking.setWatching(false);
    fs::create_directories(claudeRoot());
    fs::create_directories(codexRoot());
    std::mt19937 rng(11);
    std::vector<std::string> files;
    int id = 0;
    auto next = [&] { return "m" + std::to_string(id++); };
    for (int step = 0; step < 120; ++step) {
        const unsigned op = rng() % 10;
        const std::string session = "s" + std::to_string(rng() % 5);
        if (op < 4 && !files.empty()) {
            // Appends, sometimes ending in the middle of a line.
            std::string text = line(next(), session);
            if (rng() % 3 == 0) text += line(next(), session).substr(0, 30);
            append(files[rng() % files.size()], text);
        } else if (op < 6) {
            // A new log in an existing or a new folder, a subagent log, a Codex rollout.
            std::string rel = "p" + std::to_string(rng() % 4) + "/f" + std::to_string(step) + ".jsonl";
            if (rng() % 4 == 0) rel = "p0/" + session + "/subagents/a" + std::to_string(step) + ".jsonl";
            files.push_back(claude(rel, line(next(), session)));
            if (rng() % 3 == 0)
                files.push_back(codex("2026/01/" + std::to_string(step % 3) + "/r.jsonl",
                                      codexUsage("2026-01-05T10:00:00Z", 5, 0, 0, 1) + "\n"));
        } else if (op == 6 && !files.empty()) {
            const std::string& f = files[rng() % files.size()];
            { std::ofstream(f, std::ios::binary | std::ios::trunc) << line(next(), session); }
        } else if (op == 7 && !files.empty()) {
            std::size_t k = rng() % files.size();
            fs::remove(files[k]);
            files.erase(files.begin() + static_cast<std::ptrdiff_t>(k));
        } else if (op == 8 && !files.empty()) {
            // Renamed into place, as an atomic rewrite would.
            std::string tmp = home.path() + "/tmp.jsonl";
            { std::ofstream(tmp, std::ios::binary) << line(next(), session) << line(next(), session); }
            fs::rename(tmp, files[rng() % files.size()]);
        }
        ASSERT_EQ(watching.scanBoth(32), walking.scanBoth(32)) << step;
        ASSERT_EQ(watching.filesRead(), walking.filesRead()) << step;
        ASSERT_EQ(watching.sessions().size(), walking.sessions().size()) << step;
        for (const SessionAgg* a : walking.sessions()) {
            const SessionAgg* b = watching.find(a->id);
            ASSERT_NE(b, nullptr) << step;
            ASSERT_EQ(a->days, b->days) << step << " " << a->id;
        }
    }
}

TEST_F(Scan, newFoldersAndLinkedLogsAreReadWithTheChangesOfTheSamePass) {
    const std::string a = claude("p/a.jsonl", line("m1", "s1"));
    scanClaude();
    // One pass sees an append, a new folder with a log, and a new folder with a linked log
    // (which makes the notifications unusable for that root: it is walked whole instead).
    append(a, line("m2", "s1"));
    claude("q/sub/b.jsonl", line("m3", "s2"));
    scanClaude();
    EXPECT_EQ(s("s1")->turns, 2);
    EXPECT_EQ(s("s2")->turns, 1);
    append(a, line("m4", "s1"));
    const std::string target = home.write("elsewhere/c.jsonl", line("m5", "s3"));
    fs::create_directories(claudeRoot() + "/r");
    fs::create_symlink(target, claudeRoot() + "/r/c.jsonl");
    scanClaude();
    EXPECT_EQ(s("s1")->turns, 3);
    EXPECT_EQ(s("s3")->turns, 1);
    EXPECT_EQ(scanner.filesRead(), 3);
    // The linked log changes outside the watched folders, and is still followed.
    append(target, line("m6", "s3"));
    scanClaude();
    EXPECT_EQ(s("s3")->turns, 2);
}

TEST_F(Scan, whatNoEventReportsIsFoundWithinFiveMinutes) {
    // A log written through a hard link outside the root changes without an event in the
    // watched folder: the sweep of the folders finds it.
    std::string outside = home.write("elsewhere/h.jsonl", line("m1", "s2"));
    claude("p/a.jsonl", line("m0", "s1"));
    const Instant t0 = currentInstant();
    EXPECT_TRUE(scanner.scan(claudeRoot(), false, 8, t0));
    fs::create_hard_link(outside, claudeRoot() + "/p/h.jsonl");
    scanner.scan(claudeRoot(), false, 8, t0 + 1);
    EXPECT_EQ(s("s2")->turns, 1);
    append(outside, line("m2", "s2"));
    scanner.scan(claudeRoot(), false, 8, t0 + 2);
    EXPECT_EQ(s("s2")->turns, 1); // no event, and no folder due yet
    scanner.scan(claudeRoot(), false, 8, t0 + 2 + 300);
    EXPECT_EQ(s("s2")->turns, 2);
    EXPECT_EQ(s("s1")->turns, 1);
}

} // namespace
} // namespace quillon::testing
