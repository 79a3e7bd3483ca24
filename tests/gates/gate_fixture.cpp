#include "gate_fixture.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

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

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

GateTest::GateTest() : scanner(Config{}, home.path() + "/no-claude", home.path() + "/no-codex") {}

SessionAgg& GateTest::recentSession(const std::string& key, const std::string& cwd, double agoSeconds) {
    SessionAgg& s = scanner.session(key);
    s.cwd = cwd;
    s.last = testNow - agoSeconds;
    return s;
}

std::string GateTest::makeRepo(const std::string& name, const std::string& originUrl) {
    std::string dir = home.path() + "/src/" + name;
    disk::makeDirs(dir);
    std::string cmd = "git init -q " + shellQuoted(dir) + " && git -C " + shellQuoted(dir) + " remote add origin " +
                      shellQuoted(originUrl);
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

bool GateTest::earlierGhPresent(bool includeLast) const {
    for (const char* p : {"/opt/homebrew/bin/gh", "/usr/local/bin/gh"})
        if (::access(p, F_OK) == 0) return true;
    return includeLast && ::access("/usr/bin/gh", F_OK) == 0;
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
