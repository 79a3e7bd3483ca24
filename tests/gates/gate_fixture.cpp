#include "gate_fixture.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "limits/status_line.h"
#include "settings/disk.h"

namespace quillon::testing {

namespace {

constexpr const char* fakeGh = R"(#!/bin/sh
printf '%s\n' "$*" >> "$HOME/gh-calls.log"
if [ "$1" = api ]; then
  [ -f "$HOME/gh/login" ] || exit 1
  cat "$HOME/gh/login"
  exit 0
fi
if [ "$1" = pr ]; then
  f="$HOME/gh/$(printf %s "$4" | tr / _).json"
  if [ ! -f "$f" ]; then
    echo "GraphQL: Could not resolve to a Repository" >&2
    exit 1
  fi
  cat "$f"
  exit 0
fi
exit 2
)";

} // namespace

GateTest::GateTest() : scanner(Config{}, home.path() + "/no-claude", home.path() + "/no-codex") {}

SessionAgg& GateTest::recentSession(const std::string& key, const std::string& cwd, double agoSeconds) {
    SessionAgg& s = scanner.session(key);
    s.cwd = cwd;
    s.last = testNow - agoSeconds;
    return s;
}

SessionAgg& GateTest::stoppedSession(const std::string& key, const std::string& text, double errorAgo,
                                     double activeAgo, const std::string& cwd) {
    SessionAgg& s = recentSession(key, cwd, activeAgo);
    s.lastToolError = ToolError{testNow - errorAgo, text};
    return s;
}

std::string GateTest::makeRepo(const std::string& name, const std::string& originUrl) {
    std::string dir = home.path() + "/src/" + name;
    disk::makeDirs(dir);
    std::string cmd = "git init -q " + StatusLine::shellQuote(dir) + " && git -C " + StatusLine::shellQuote(dir) +
                      " remote add origin " + StatusLine::shellQuote(originUrl);
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return dir;
}

void GateTest::installFakeGh() {
    std::string path = home.write(".local/bin/gh", fakeGh);
    ::chmod(path.c_str(), 0755);
}

void GateTest::setPulls(const std::string& repository, const std::string& json) {
    std::string file = repository;
    for (char& c : file)
        if (c == '/') c = '_';
    home.write("gh/" + file + ".json", json);
}

std::vector<std::string> GateTest::ghCalls() const { return lines(home.read("gh-calls.log")); }

std::vector<std::string> GateTest::pullListCalls() const {
    std::vector<std::string> out;
    for (const auto& l : ghCalls())
        if (l.rfind("pr list", 0) == 0) out.push_back(l);
    return out;
}

bool GateTest::earlierGhPresent(bool includeLast) {
    for (const char* p : {"/opt/homebrew/bin/gh", "/usr/local/bin/gh"})
        if (::access(p, F_OK) == 0) return true;
    return includeLast && ::access("/usr/bin/gh", F_OK) == 0;
}

std::vector<std::string> GateTest::ids(const std::vector<Gate>& gates) {
    std::vector<std::string> out;
    for (const auto& g : gates) out.push_back(g.id);
    return out;
}

void GhTest::SetUp() {
    if (earlierGhPresent())
        GTEST_SKIP() << "a gh in /opt/homebrew/bin or /usr/local/bin comes before the fake one in "
                        "~/.local/bin, so these tests cannot run on this machine";
    ::unsetenv("QUILLON_PR_STATE");
    ::unsetenv("QUILLON_PR_LIMIT");
    installFakeGh();
}

void writeFileAt(const std::string& path, const std::string& content, Instant mtime) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(mtime);
    times[0].tv_nsec = static_cast<long>((mtime - static_cast<double>(times[0].tv_sec)) * 1e9);
    times[1] = times[0];
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

} // namespace quillon::testing
