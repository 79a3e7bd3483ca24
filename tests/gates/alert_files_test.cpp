#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "gate_fixture.h"
#include "settings/disk.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;

class AlertFiles : public GateTest {
  protected:
    AlertFiles() {
        disk::makeDirs(Config::dismissedDir());
        alerts = Config::alertsDir();
    }

    std::string alerts;

    std::string alert(const std::string& name, const std::string& content, Instant mtime = testNow - 100) {
        std::string path = alerts + "/" + name;
        writeFileAt(path, content, mtime);
        return path;
    }

    std::map<std::string, Gate> byTitle(const GateWatcher& w) const {
        std::map<std::string, Gate> out;
        for (const auto& g : w.alertFiles(testNow)) out[g.title] = g;
        return out;
    }

    std::vector<std::string> listing(const std::string& dir) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::set<std::string> ackFileIds() const {
        auto doc = nlohmann::json::parse(home.read(".quillon/acked.json"));
        return doc.get<std::set<std::string>>();
    }
};

TEST_F(AlertFiles, buildsAGatePerFile) {
    std::string path = alert("deploy.txt", "\n\nDeploy finished on prod\nsecond line\n", 1'749'990'000.75);
    GateWatcher w{Config{}};
    auto gates = w.alertFiles(testNow);
    ASSERT_EQ(gates.size(), 1u);
    const Gate& g = gates[0];
    EXPECT_EQ(g.id, "alert:deploy.txt:1749990000");
    EXPECT_EQ(g.kind, Gate::Kind::alert);
    EXPECT_EQ(g.title, "deploy");
    EXPECT_EQ(g.detail, "Deploy finished on prod");
    EXPECT_EQ(g.link, path);
    EXPECT_DOUBLE_EQ(g.since, 1'749'990'000.75);
    EXPECT_EQ(g.hint, std::nullopt);
}

TEST_F(AlertFiles, titleDropsOnlyTheLastExtension) {
    alert("backup.tar.gz", "x");
    alert("no-extension", "x");
    alert("trailing.", "x");
    GateWatcher w{Config{}};
    auto gates = byTitle(w);
    EXPECT_EQ(gates.count("backup.tar"), 1u);
    EXPECT_EQ(gates.count("no-extension"), 1u);
    EXPECT_EQ(gates.count("trailing."), 1u);
    EXPECT_EQ(gates.size(), 3u);
}

TEST_F(AlertFiles, hiddenFilesAndFoldersAreSkipped) {
    alert(".DS_Store", "x");
    disk::makeDirs(alerts + "/sub");
    alert("sub/inner.txt", "x");
    alert("dismissed/1-old.txt", "x");
    GateWatcher w{Config{}};
    EXPECT_TRUE(w.alertFiles(testNow).empty());
}

TEST_F(AlertFiles, contentWithoutAFirstLineSaysRaisedByAScript) {
    alert("empty-lines.txt", "\n\n\n");
    alert("empty.txt", "");
    alert("latin1.txt", "caf\xe9 ready\n");
    GateWatcher w{Config{}};
    auto gates = byTitle(w);
    EXPECT_EQ(gates["empty-lines"].detail, "raised by a script");
    EXPECT_EQ(gates["empty"].detail, "raised by a script");
    EXPECT_EQ(gates["latin1"].detail, "raised by a script");
}

TEST_F(AlertFiles, unreadableFileStillRaisesAGate) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
    std::string path = alert("secret.txt", "hidden content");
    ::chmod(path.c_str(), 0);
    GateWatcher w{Config{}};
    auto gates = w.alertFiles(testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].detail, "raised by a script");
}

TEST_F(AlertFiles, firstLineIsCutTo200Characters) {
    std::string line;
    for (int i = 0; i < 300; ++i) line += "\u00E9";
    alert("long.txt", line + "\nrest");
    GateWatcher w{Config{}};
    auto gates = w.alertFiles(testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].detail, line.substr(0, 400));
}

TEST_F(AlertFiles, missingFolderGivesNoGates) {
    fs::remove_all(alerts);
    GateWatcher w{Config{}};
    EXPECT_TRUE(w.alertFiles(testNow).empty());
}

TEST_F(AlertFiles, namedPipeIsSkippedWithoutWaiting) {
    std::string fifo = alerts + "/pipe.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    alert("real.txt", "done");
    GateWatcher w{Config{}};
    auto pending = std::async(std::launch::async, [&] { return w.alertFiles(testNow); });
    if (pending.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Release a reader stuck on the pipe so the test can end.
        int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        pending.wait();
        FAIL() << "listing the alerts waited on a named pipe";
    }
    auto gates = pending.get();
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].title, "real");
}

long peakRssKb() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

TEST_F(AlertFiles, hugeFileIsReadOnlyAsFarAsItsFirstLine) {
    std::string path = alert("disk-full.log", "\n\nDisk is full\n");
    // 2 GiB, sparse: costs no disk, but reading it whole would take 2 GiB of memory.
    ASSERT_EQ(::truncate(path.c_str(), 2LL << 30), 0);
    long before = peakRssKb();
    GateWatcher w{Config{}};
    auto gates = w.alertFiles(testNow);
    long grownKb = peakRssKb() - before;
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].detail, "Disk is full");
    EXPECT_LT(grownKb, 64 * 1024) << "peak memory grew by " << grownKb << " KiB";
}

TEST_F(AlertFiles, readLimitFallingInsideACharacterKeepsTheLine) {
    // "first line\n" is 11 bytes, then two-byte characters: one of them straddles the read limit.
    std::string content = "first line\n";
    while (content.size() < GateWatcher::alertReadBytes + 100) content += "\u00E9";
    ASSERT_EQ((GateWatcher::alertReadBytes - 11) % 2, 1u);
    alert("straddle.txt", content);
    GateWatcher w{Config{}};
    auto gates = w.alertFiles(testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].detail, "first line");
}

TEST_F(AlertFiles, outsideTextIsKeptAsWritten) {
    const std::string content = "\x1b]0;pwned\x07<img src=x onerror=alert(1)> \u202Egnp.exe\r\nnext";
    alert("<a href=x>x<\\a>.txt", content);
    alert("bad\xff\xfename.txt", "x");
    GateWatcher w{Config{}};
    auto gates = byTitle(w);
    ASSERT_EQ(gates.size(), 2u);
    EXPECT_EQ(gates["<a href=x>x<\\a>"].detail, "\x1b]0;pwned\x07<img src=x onerror=alert(1)> \u202Egnp.exe\r");
    // A file name that is not UTF-8 is shown (and remembered) with U+FFFD; the link stays the real path.
    const Gate& bad = gates["bad\uFFFD\uFFFDname"];
    EXPECT_EQ(bad.id.rfind("alert:bad\uFFFD\uFFFDname.txt:", 0), 0u) << bad.id;
    EXPECT_EQ(bad.link, alerts + "/bad\xff\xfename.txt");
}

TEST_F(AlertFiles, dismissingAnAlertMovesItsFileAndRemembersIt) {
    std::string path = alert("deploy.txt", "Deploy finished", 1'749'990'000);
    GateWatcher w{Config{}};
    auto gates = w.current(scanner, false, testNow);
    ASSERT_EQ(gates.size(), 1u);

    w.dismiss(gates[0], testNow + 5.9);
    EXPECT_FALSE(disk::exists(path));
    EXPECT_EQ(home.read(".quillon/alerts/dismissed/1750000005-deploy.txt"), "Deploy finished");
    EXPECT_EQ(ackFileIds(), std::set<std::string>{"alert:deploy.txt:1749990000"});
    EXPECT_TRUE(w.current(scanner, false, testNow + 10).empty());

    // The same file written again has a new modification time: a new alert.
    alert("deploy.txt", "Deploy finished again", 1'749'999'000);
    gates = w.current(scanner, false, testNow + 20);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].id, "alert:deploy.txt:1749999000");

    // The old id stays hidden also for a new watcher, which reads the acknowledgement file.
    alert("deploy.txt", "Deploy finished", 1'749'990'000);
    GateWatcher fresh{Config{}};
    EXPECT_TRUE(fresh.current(scanner, false, testNow + 30).empty());
}

TEST_F(AlertFiles, dismissalNeverReplacesAFileInTheDismissedFolder) {
    std::string path = alert("deploy.txt", "new");
    alert("dismissed/1750000000-deploy.txt", "kept");
    GateWatcher w{Config{}};
    auto gates = w.current(scanner, false, testNow);
    ASSERT_EQ(gates.size(), 1u);
    w.dismiss(gates[0], testNow);
    EXPECT_EQ(home.read(".quillon/alerts/dismissed/1750000000-deploy.txt"), "kept");
    EXPECT_TRUE(disk::exists(path));
    // Still acknowledged: hidden although the file stayed.
    EXPECT_TRUE(w.current(scanner, false, testNow).empty());
}

TEST_F(AlertFiles, dismissingOtherKindsTouchesNoFile) {
    alert("keep.txt", "x");
    SessionAgg& s = recentSession("stuck", "/w", 3600);
    s.lastToolError = ToolError{testNow - 3600, "pre-commit hook failed"};
    GateWatcher w{Config{}};
    auto gates = w.current(scanner, false, testNow);
    ASSERT_EQ(gates.size(), 2u);
    const Gate session = gates[0].kind == Gate::Kind::session ? gates[0] : gates[1];

    Gate check{"pr:acme/api#7@abc", Gate::Kind::check, "Checks failed: api#7", "d", alerts + "/keep.txt", testNow, {}};
    w.dismiss(check, testNow);
    // A session gate that pointed at a file would not move it either.
    Gate withLink = session;
    withLink.link = alerts + "/keep.txt";
    w.dismiss(withLink, testNow);

    EXPECT_EQ(listing(alerts), (std::vector<std::string>{"dismissed", "keep.txt"}));
    EXPECT_TRUE(listing(Config::dismissedDir()).empty());
    EXPECT_EQ(ackFileIds(), (std::set<std::string>{"pr:acme/api#7@abc", session.id}));
    // The session is still stopped, but its gate stays hidden.
    gates = w.current(scanner, false, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].kind, Gate::Kind::alert);
}

TEST_F(AlertFiles, alertLinkOutsideTheAlertsFolderIsNotMoved) {
    std::string outside = home.write("notes/todo.txt", "mine");
    GateWatcher w{Config{}};
    w.dismiss(Gate{"alert:todo.txt:1", Gate::Kind::alert, "todo", "mine", outside, testNow, {}}, testNow);
    EXPECT_EQ(home.read("notes/todo.txt"), "mine");
    EXPECT_EQ(ackFileIds(), std::set<std::string>{"alert:todo.txt:1"});
}

TEST_F(AlertFiles, acknowledgementsAreTrimmedTo1000After2000) {
    // 1999 earlier dismissals, as a previous run left them.
    nlohmann::json earlier = nlohmann::json::array();
    for (int i = 0; i < 1999; ++i) earlier.push_back("session:s" + std::to_string(i) + ":1");
    home.write(".quillon/acked.json", earlier.dump());
    GateWatcher w{Config{}};

    w.dismiss(Gate{"session:s1999:1", Gate::Kind::session, "t", "d", {}, 0, {}}, testNow);
    std::set<std::string> ids = ackFileIds();
    EXPECT_EQ(ids.size(), 2000u);
    EXPECT_EQ(ids.count("session:s1999:1"), 1u);

    w.dismiss(Gate{"session:s2000:1", Gate::Kind::session, "t", "d", {}, 0, {}}, testNow);
    ids = ackFileIds();
    EXPECT_EQ(ids.size(), 1000u);
    for (const auto& id : ids) EXPECT_EQ(id.rfind("session:s", 0), 0u);
    // Written compactly.
    EXPECT_EQ(home.read(".quillon/acked.json").find_first_of(" \n"), std::string::npos);
    // The watcher filters by the trimmed set.
    GateWatcher reloaded{Config{}};
    for (int i = 0; i <= 2000; ++i) {
        std::string key = "s" + std::to_string(i);
        SessionAgg& s = recentSession(key, "/w", 3600);
        s.lastToolError = ToolError{1, "build failed"};
        s.last = testNow - 3600;
    }
    EXPECT_EQ(w.current(scanner, false, testNow).size(), 2001u - 1000u);
    EXPECT_EQ(reloaded.current(scanner, false, testNow).size(), 2001u - 1000u);
}

TEST_F(AlertFiles, malformedAcknowledgementFileIsAnEmptySet) {
    alert("deploy.txt", "x", 1'749'990'000);
    for (const char* content : {"not json", "{\"a\":1}", "[\"alert:deploy.txt:1749990000\", 3]"}) {
        home.write(".quillon/acked.json", content);
        GateWatcher w{Config{}};
        EXPECT_EQ(w.current(scanner, false, testNow).size(), 1u) << content;
    }
    home.write(".quillon/acked.json", "[\"alert:deploy.txt:1749990000\"]");
    GateWatcher w{Config{}};
    EXPECT_TRUE(w.current(scanner, false, testNow).empty());
}

} // namespace
} // namespace quillon::testing
