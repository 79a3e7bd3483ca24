#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "gate_fixture.h"
#include "settings/disk.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;

class AlertFiles : public GateTest {
  protected:
    AlertFiles() { disk::makeDirs(Config::dismissedDir()); }

    const std::string alerts = Config::alertsDir();

    std::string alert(const std::string& name, const std::string& content, Instant mtime = testNow - 100) {
        writeFileAt(alerts + "/" + name, content, mtime);
        return alerts + "/" + name;
    }

    std::map<std::string, Gate> byTitle() const {
        std::map<std::string, Gate> out;
        for (const auto& g : GateWatcher{Config{}}.alertFiles(testNow)) out[g.title] = g;
        return out;
    }

    std::set<std::string> ackFileIds() const {
        return nlohmann::json::parse(home.read(".quillon/acked.json")).get<std::set<std::string>>();
    }
};

TEST_F(AlertFiles, titleAndFirstLineOfEachFile) {
    fs::remove_all(alerts);
    EXPECT_TRUE(watcher.alertFiles(testNow).empty()) << "no alerts folder";
    disk::makeDirs(Config::dismissedDir());

    std::string accented;
    for (int i = 0; i < 300; ++i) accented += "\u00E9";
    // "first line\n" is 11 bytes, then two-byte characters: one of them straddles the read limit.
    std::string straddle = "first line\n";
    while (straddle.size() < GateWatcher::alertReadBytes + 100) straddle += "\u00E9";
    ASSERT_EQ((GateWatcher::alertReadBytes - 11) % 2, 1u);
    const std::string hostile = "\x1b]0;pwned\x07<img src=x onerror=alert(1)> \u202Egnp.exe\r";

    const std::string deploy = alert("deploy.txt", "\n\nDeploy finished on prod\nsecond line\n", 1'749'990'000.75);
    alert("backup.tar.gz", "x");
    alert("no-extension", "x");
    alert("trailing.", "x");
    alert("empty-lines.txt", "\n\n\n");
    alert("empty.txt", "");
    alert("latin1.txt", "caf\xe9 ready\n");
    alert("long.txt", accented + "\nrest");
    alert("straddle.txt", straddle);
    alert("<a href=x>x<\\a>.txt", hostile + "\nnext");
    alert("bad\xff\xfename.txt", "x");
    // Hidden files, folders and what they hold are no alerts.
    alert(".DS_Store", "x");
    alert("dismissed/1-old.txt", "x");
    const bool root = ::geteuid() == 0;  // root reads files whatever their mode
    if (!root) ::chmod(alert("secret.txt", "hidden content").c_str(), 0);

    const auto gates = byTitle();
    EXPECT_EQ(gates.at("deploy"), (Gate{"alert:deploy.txt:1749990000", Gate::Kind::alert, "deploy",
                                        "Deploy finished on prod", deploy, 1'749'990'000.75, std::nullopt}));
    std::map<std::string, std::string> details;
    for (const auto& [title, g] : gates) details[title] = g.detail;
    std::map<std::string, std::string> expected = {
        {"deploy", "Deploy finished on prod"},
        {"backup.tar", "x"},
        {"no-extension", "x"},
        {"trailing.", "x"},
        {"empty-lines", "raised by a script"},
        {"empty", "raised by a script"},
        {"latin1", "raised by a script"},
        {"long", accented.substr(0, 400)},
        {"straddle", "first line"},
        {"<a href=x>x<\\a>", hostile},
        {"bad\uFFFD\uFFFDname", "x"},
    };
    if (!root) expected["secret"] = "raised by a script";
    EXPECT_EQ(details, expected);

    // A file name that is not UTF-8 is shown (and remembered) with U+FFFD; the link stays the real path.
    const Gate bad = gates.at("bad\uFFFD\uFFFDname");
    EXPECT_EQ(bad.id.rfind("alert:bad\uFFFD\uFFFDname.txt:", 0), 0u) << bad.id;
    EXPECT_EQ(bad.link, alerts + "/bad\xff\xfename.txt");
}

TEST_F(AlertFiles, namedPipeIsSkippedWithoutWaiting) {
    std::string fifo = alerts + "/pipe.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    alert("real.txt", "done");
    auto pending = std::async(std::launch::async, [&] { return watcher.alertFiles(testNow); });
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

TEST_F(AlertFiles, hugeFileIsReadOnlyAsFarAsItsFirstLine) {
    std::string path = alert("disk-full.log", "\n\nDisk is full\n");
    // 2 GiB, sparse: costs no disk, but reading it whole would take 2 GiB of memory.
    ASSERT_EQ(::truncate(path.c_str(), 2LL << 30), 0);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    auto gates = watcher.alertFiles(testNow);
    ::getrusage(RUSAGE_SELF, &after);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].detail, "Disk is full");
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "peak memory grew (KiB)";
}

TEST_F(AlertFiles, dismissingAnAlertMovesItsFileButNeverOverAnother) {
    const std::string path = alert("deploy.txt", "Deploy finished", 1'749'990'000);
    const std::string moved = ".quillon/alerts/dismissed/1750000005-deploy.txt";
    auto gates = watcher.current(scanner, false, testNow);
    ASSERT_EQ(gates.size(), 1u);
    watcher.dismiss(gates[0], testNow + 5.9);
    EXPECT_FALSE(disk::exists(path));
    EXPECT_EQ(home.read(moved), "Deploy finished");
    EXPECT_EQ(ackFileIds(), std::set<std::string>{"alert:deploy.txt:1749990000"});
    EXPECT_TRUE(watcher.current(scanner, false, testNow + 10).empty());

    // The same file written again has a new modification time: a new alert. Dismissed in the
    // same second, its dismissed name is taken: both files stay as they are, the alert hidden all the same.
    alert("deploy.txt", "Deploy finished again", 1'749'999'000);
    gates = watcher.current(scanner, false, testNow + 20);
    EXPECT_EQ(ids(gates), std::vector<std::string>{"alert:deploy.txt:1749999000"});
    watcher.dismiss(gates.at(0), testNow + 5.2);
    EXPECT_EQ(home.read(moved), "Deploy finished");
    EXPECT_EQ(home.read(".quillon/alerts/deploy.txt"), "Deploy finished again");
    EXPECT_TRUE(watcher.current(scanner, false, testNow + 30).empty());

    // The old id stays hidden also for a new watcher, which reads the acknowledgement file.
    alert("deploy.txt", "Deploy finished", 1'749'990'000);
    EXPECT_TRUE(GateWatcher{Config{}}.current(scanner, false, testNow + 30).empty());
}

TEST_F(AlertFiles, dismissingOtherKindsOrOutsideFilesMovesNothing) {
    const std::string keep = alert("keep.txt", "x");
    const std::string outside = home.write("notes/todo.txt", "mine");
    stoppedSession("stuck", "pre-commit hook failed", 3600, 3600);
    auto gates = watcher.current(scanner, false, testNow);
    ASSERT_EQ(gates.size(), 2u);
    Gate session = gates[0].kind == Gate::Kind::session ? gates[0] : gates[1];
    // A session or check gate that pointed at an alert file would not move it, nor would an
    // alert gate that points outside the alerts folder.
    session.link = keep;
    watcher.dismiss(session, testNow);
    watcher.dismiss(Gate{"pr:acme/api#7@abc", Gate::Kind::check, "t", "d", keep, testNow, {}}, testNow);
    watcher.dismiss(Gate{"alert:todo.txt:1", Gate::Kind::alert, "todo", "mine", outside, testNow, {}}, testNow);

    EXPECT_EQ(home.read(".quillon/alerts/keep.txt"), "x");
    EXPECT_EQ(home.read("notes/todo.txt"), "mine");
    EXPECT_TRUE(fs::is_empty(Config::dismissedDir()));
    EXPECT_EQ(ackFileIds(), (std::set<std::string>{"pr:acme/api#7@abc", "alert:todo.txt:1", session.id}));
    // The session is still stopped, but its gate stays hidden.
    gates = watcher.current(scanner, false, testNow);
    ASSERT_EQ(gates.size(), 1u);
    EXPECT_EQ(gates[0].kind, Gate::Kind::alert);
}

TEST_F(AlertFiles, acknowledgementsAreTrimmedTo1000After2000) {
    // 1999 earlier dismissals, as a previous run left them.
    nlohmann::json earlier = nlohmann::json::array();
    for (int i = 0; i < 1999; ++i) earlier.push_back("session:s" + std::to_string(i) + ":1");
    home.write(".quillon/acked.json", earlier.dump());
    GateWatcher w{Config{}};
    auto dismiss = [&](int i) {
        w.dismiss(Gate{"session:s" + std::to_string(i) + ":1", Gate::Kind::session, "t", "d", {}, 0, {}}, testNow);
    };

    dismiss(1999);
    EXPECT_EQ(ackFileIds().size(), 2000u);
    EXPECT_EQ(ackFileIds().count("session:s1999:1"), 1u);
    dismiss(2000);
    std::set<std::string> kept = ackFileIds();
    EXPECT_EQ(kept.size(), 1000u);
    EXPECT_EQ(home.read(".quillon/acked.json").find_first_of(" \n"), std::string::npos) << "written compactly";

    // The watcher, and a new one reading the file, hide exactly the kept set.
    for (int i = 0; i <= 2000; ++i) stoppedSession("s" + std::to_string(i), "build failed", testNow - 1, 3600);
    std::set<std::string> shown;
    for (const auto& id : ids(w.current(scanner, false, testNow))) shown.insert(id);
    EXPECT_EQ(shown.size(), 1001u);
    for (const auto& id : kept) EXPECT_EQ(shown.count(id), 0u);
    EXPECT_EQ(GateWatcher{Config{}}.current(scanner, false, testNow).size(), 1001u);
}

TEST_F(AlertFiles, malformedAcknowledgementFileIsAnEmptySet) {
    alert("deploy.txt", "x", 1'749'990'000);
    for (const char* content : {"not json", "{\"a\":1}", "[\"alert:deploy.txt:1749990000\", 3]"}) {
        home.write(".quillon/acked.json", content);
        EXPECT_EQ(GateWatcher{Config{}}.current(scanner, false, testNow).size(), 1u) << content;
    }
    home.write(".quillon/acked.json", "[\"alert:deploy.txt:1749990000\"]");
    EXPECT_TRUE(GateWatcher{Config{}}.current(scanner, false, testNow).empty());
}

} // namespace
} // namespace quillon::testing
