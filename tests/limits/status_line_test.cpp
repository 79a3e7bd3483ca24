#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "limits/limits.h"
#include "limits/status_line.h"
#include "settings/disk.h"
#include "test_home.h"

using namespace quillon;
using namespace quillon::testing;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string exampleInput = R"({
  "model": {"id": "claude-opus-4-1", "display_name": "Opus"},
  "context_window": {"used_percentage": 22.7, "context_window_size": 200000},
  "rate_limits": {
    "five_hour": {"used_percentage": 12.5, "resets_at": 1765000000, "extra": [1, "a"]},
    "seven_day": {"used_percentage": 40, "resets_at": 1765400000}
  }
})";
const std::string exampleLine = "[Opus] 45K in context (22%) | 5h 12% | week 40%";
const std::string plainLine = "[Claude] 0K in context (0%)";
// What the built executable installs as its own command.
const std::string ours = StatusLine::shellQuote(QUILLON_BIN) + " --statusline";

unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

bool hasTempFiles(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.path().filename().string().rfind(".quillon-tmp-", 0) == 0) return true;
    return false;
}

// Runs a command line through /bin/sh -c exactly as Claude Code does.
RunResult runShell(const std::string& command, const std::string& input, const std::string& dir) {
    disk::writeAtomic(dir + "/shell-in", input);
    const std::string line = "/bin/sh -c " + StatusLine::shellQuote(command) + " <'" + dir + "/shell-in' >'" +
                             dir + "/shell-out' 2>'" + dir + "/shell-err'";
    const int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, disk::readFile(dir + "/shell-out").value_or(""),
            disk::readFile(dir + "/shell-err").value_or("")};
}

// Claude Code's settings in a folder of the temporary home, named by QUILLON_CLAUDE_SETTINGS both
// for the executable and for in-process calls.
class StatusLineTest : public HomeTest {
  protected:
    void SetUp() override {
        ::umask(022);
        ::setenv("QUILLON_CLAUDE_SETTINGS", settings().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("QUILLON_CLAUDE_SETTINGS"); }

    std::string settings() const { return home.path() + "/claude/settings.json"; }
    std::string limits() const { return home.path() + "/.quillon/claude-limits.json"; }
    std::string prev() const { return home.path() + "/.quillon/statusline-prev.json"; }
    std::string backup() const { return home.path() + "/claude/settings.json.before-quillon"; }
    std::string read(const std::string& path) const { return disk::readFile(path).value_or("<missing>"); }
    json readJson(const std::string& path) const { return json::parse(read(path)); }

    RunResult helper(const std::string& input) const {
        RunResult r = runQuillon({"--statusline"}, input, {{StatusLine::handOverMark, "\x01unset"}});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        return r;
    }
    std::string connection(const char* option) const {
        RunResult r = runQuillon({option});
        EXPECT_EQ(r.status, 0);
        return r.out;
    }
    void savePrevious(const std::string& text) const { home.write(".quillon/statusline-prev.json", text); }
};

// --- the helper's line ---------------------------------------------------------------

TEST(StatusLineOwnLine, followsTheInputFiguresAndMarksThoseThatDoNotFit) {
    const std::pair<std::string, std::string> cases[] = {
        {exampleInput, exampleLine},
        {"", plainLine},
        {"not json", plainLine},
        {R"({"context_window": {"used_percentage": 50}})", "[Claude] 100K in context (50%)"},
        {R"({"context_window": 7, "model": "Opus"})", plainLine},
        {R"({"model": {"display_name": 4}, "context_window": {"used_percentage": "9"}})", plainLine},
        // Windows of the wrong shape leave their part out, each on its own.
        {R"({"rate_limits": {"five_hour": 12, "seven_day": {"used_percentage": 3.9}}})", plainLine + " | week 3%"},
        {R"({"rate_limits": {"five_hour": {"used_percentage": 130}, "seven_day": null}})", plainLine + " | 5h 130%"},
        {R"({"rate_limits": [{"five_hour": {"used_percentage": 1}}]})", plainLine},
        // Truncated toward zero; beyond the 64-bit range, before or after the arithmetic, "?".
        {R"({"context_window": {"used_percentage": -5.7, "context_window_size": 1000}})",
         "[Claude] 0K in context (-5%)"},
        {R"({"context_window": {"used_percentage": 99.99, "context_window_size": 1e6}})",
         "[Claude] 999K in context (99%)"},
        {R"({"context_window": {"used_percentage": 1e19}})", "[Claude] ?K in context (?%)"},
        {R"({"context_window": {"used_percentage": 9.2233720368547e18}})",
         "[Claude] ?K in context (9223372036854700032%)"},
        {R"({"context_window": {"used_percentage": 50, "context_window_size": 1e308}})",
         "[Claude] ?K in context (50%)"},
        {R"({"context_window": {"used_percentage": -1e300}, "rate_limits": {"five_hour": )"
         R"({"used_percentage": 1e300}, "seven_day": {"used_percentage": -9.3e18}}})",
         "[Claude] ?K in context (?%) | 5h ?% | week ?%"},
        {R"({"context_window": {"used_percentage": 18446744073709551615}})", "[Claude] ?K in context (?%)"},
    };
    for (const auto& [input, line] : cases) EXPECT_EQ(StatusLine::ownLine(input), line) << input;
    // The real Claude Code input of the fixtures: no rate_limits, no used_percentage.
    auto real = disk::readFile(fixture("ccusage/statusline-test.json"));
    ASSERT_TRUE(real);
    EXPECT_EQ(StatusLine::ownLine(*real), "[Sonnet 4] 0K in context (0%)");
}

TEST(StatusLineOwnCommand, isRecognisedWithoutRegardToCase) {
    EXPECT_TRUE(StatusLine::isOurs("'/usr/bin/quillon' --statusline"));
    EXPECT_TRUE(StatusLine::isOurs("\"/Applications/Quillon.app/Contents/MacOS/Quillon\" --statusline"));
    EXPECT_TRUE(StatusLine::isOurs("/opt/QUILLON/bin/run --STATUSLINE"));
    EXPECT_FALSE(StatusLine::isOurs("/usr/bin/quillon --report"));
    EXPECT_FALSE(StatusLine::isOurs("~/bin/my-status --statusline"));
}

// --- the helper, end to end ----------------------------------------------------------

TEST_F(StatusLineTest, printsTheLineAndRecordsBothWindowsForTheLimitsReader) {
    EXPECT_EQ(helper(exampleInput).out, exampleLine + "\n");
    EXPECT_GT(readJson(limits())["at"].get<double>(), 1.7e9);
    EXPECT_EQ(read(limits()).find('\n'), std::string::npos);  // compact
    EXPECT_EQ(modeOf(limits()), 0600u);
    EXPECT_EQ(modeOf(home.path() + "/.quillon"), 0700u);
    EXPECT_FALSE(hasTempFiles(home.path() + "/.quillon"));

    auto reading = Limits::claude();
    ASSERT_TRUE(reading && reading->five && reading->week);
    EXPECT_EQ(*reading->five, (LimitReading{12.5, 1765000000, 300}));
    EXPECT_EQ(reading->week->usedPercent, 40);
}

TEST_F(StatusLineTest, inputWithoutAWindowLeavesTheLastGoodFile) {
    helper(exampleInput);
    const std::string good = read(limits());
    for (const std::string input : {"", "not json at all", "[1, 2, 3]",
                                    R"({"model": {"display_name": "Opus"}, "rate_limits": null})",
                                    R"({"model": {"display_name": "Opus"}})", R"({"rate_limits": {}})",
                                    R"({"rate_limits": {"other": {"used_percentage": 5}}})",
                                    R"({"rate_limits": [1]})", R"({"rate_limits": "five_hour"})",
                                    R"({"rate_limits": {"five_hour": {"used_percentage": 5}})"}) {  // cut short
        EXPECT_EQ(helper(input).out, StatusLine::ownLine(input) + "\n") << input;
        EXPECT_EQ(read(limits()), good) << input;
    }
}

TEST_F(StatusLineTest, recordsWhateverWindowsArePresentAsSent) {
    // Both windows; only the weekly one; one without its percentage; one over 100 % (the limit
    // is reached); windows of the wrong types. Each is copied whole, whatever the line shows.
    for (const std::string input :
         {exampleInput.c_str(), R"({"rate_limits": {"seven_day": {"used_percentage": 40, "resets_at": 1765400000}}})",
          R"({"rate_limits": {"five_hour": {"resets_at": 1765000000, "note": "x/y"}}})",
          R"({"rate_limits": {"five_hour": {"used_percentage": 104.2, "resets_at": 1765000000}}})",
          R"({"rate_limits": {"five_hour": null, "seven_day": [1, {"a": "b"}]}, "other": 1})"}) {
        EXPECT_EQ(helper(input).out, StatusLine::ownLine(input) + "\n");
        json file = readJson(limits());
        EXPECT_TRUE(file["at"].is_number()) << input;
        file.erase("at");
        EXPECT_EQ(file, json::parse(input)["rate_limits"]) << input;
    }
}

TEST_F(StatusLineTest, survivesHugeAndDeeplyNestedInput) {
    std::string big = R"({"rate_limits": {"seven_day": {"used_percentage": 7}}, "filler": ")";
    big += std::string(10 * 1024 * 1024, 'x') + "\"}";
    EXPECT_EQ(helper(big).out, plainLine + " | week 7%\n");
    EXPECT_EQ(readJson(limits())["seven_day"]["used_percentage"], 7);

    // Nesting this deep would exhaust the stack when copied or serialised: treated as not JSON.
    std::string deep =
        R"({"rate_limits": {"five_hour": )" + std::string(200000, '[') + std::string(200000, ']') + "}}";
    EXPECT_EQ(helper(deep).out, plainLine + "\n");
    EXPECT_EQ(readJson(limits())["seven_day"]["used_percentage"], 7);
    EXPECT_EQ(helper(std::string(5 * 1024 * 1024, '{')).out, plainLine + "\n");
}

TEST_F(StatusLineTest, handsTheSameInputToTheFormerCommandAfterRecordingTheLimits) {
    savePrevious(R"({"type": "command", "padding": 0,)"
                 R"( "command": "cat > \"$HOME/seen\"; cat \"$HOME/.quillon/claude-limits.json\""})");
    RunResult r = helper(exampleInput);
    EXPECT_EQ(home.read("seen"), exampleInput);
    json seen = json::parse(r.out);  // only the former command's output, and the limits already there
    EXPECT_EQ(seen["five_hour"]["used_percentage"], 12.5);
    EXPECT_EQ(seen["seven_day"]["used_percentage"], 40);

    // Ten megabytes reach it whole, too.
    std::string big = "{\"filler\": \"" + std::string(10 * 1024 * 1024, 'y') + "\"}";
    helper(big);
    EXPECT_EQ(home.read("seen"), big);
}

TEST_F(StatusLineTest, formerCommandsFailureIsNotTheHelpers) {
    // Fails, writes to standard error, ignores its input: still status 0 and no own line.
    savePrevious(R"({"command": "echo partial; echo oops >&2; exit 3"})");
    RunResult r = runQuillon({"--statusline"}, std::string(1 << 20, 'z'));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "partial\n");
    EXPECT_EQ(r.err, "oops\n");  // the user's command's own, passed through

    savePrevious(R"({"command": "true"})");
    EXPECT_EQ(helper(exampleInput).out, "");
    // The helper's own indifference to broken pipes is not passed on to the command.
    savePrevious(R"({"command": "yes | head -n 1"})");
    EXPECT_EQ(helper(exampleInput).out, "y\n");
    // A command that stops reading early sees its input cut short, and that is all.
    savePrevious(R"({"command": "head -c 1 >/dev/null; echo read one"})");
    EXPECT_EQ(helper(std::string(4 << 20, 'q')).out, "read one\n");
}

TEST_F(StatusLineTest, unusableOrOwnPreviousEntryMeansTheOwnLine) {
    // Quillon's own command, saved by an older build or by hand, would start the helper again without end.
    for (const std::string text :
         {R"({"command": ""})", R"([{"command": "echo no"}])", R"({"command": 5})", R"({"type": "command"})",
          "{broken", "", R"({"command": "'/usr/local/bin/quillon' --statusline"})",
          R"({"command": "\"/Applications/Quillon.app/Contents/MacOS/Quillon\" --statusline"})"}) {
        savePrevious(text);
        EXPECT_EQ(helper(exampleInput).out, exampleLine + "\n") << text;
    }
}

TEST_F(StatusLineTest, aFormerCommandThatCallsTheHelperAgainDoesNotLoop) {
    // The user's script runs Quillon by a path the recognition cannot see; it must still end.
    home.write("status.sh", "n=${LEVEL:-0}\n"
                            "if [ \"$n\" -ge 3 ]; then echo runaway; exit 0; fi\n"
                            "echo \"level $n\"\n"
                            "LEVEL=$((n + 1)) exec \"$QB\" --statusline\n");
    savePrevious(R"({"command": "sh \"$HOME/status.sh\""})");
    RunResult r =
        runQuillon({"--statusline"}, exampleInput, {{StatusLine::handOverMark, "\x01unset"}, {"QB", QUILLON_BIN}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "level 0\n" + exampleLine + "\n");
}

TEST_F(StatusLineTest, concurrentHelpersNeverLeaveAPartialFile) {
    // Two helpers (and a reader) at once: every read sees one whole file from one writer.
    const std::string a = home.write("a.json", R"({"rate_limits": {"five_hour": {"used_percentage": 11, "pad": ")" +
                                                   std::string(200000, 'a') + "\"}}}");
    const std::string b = home.write("b.json", R"({"rate_limits": {"five_hour": {"used_percentage": 22}}})");
    home.write("loop.sh", "i=0\nwhile [ $i -lt 60 ]; do '" QUILLON_BIN "' --statusline < \"$1\" > /dev/null; "
                          "i=$((i + 1)); done\n");
    const std::string script = "sh \"$HOME/loop.sh\" " + StatusLine::shellQuote(a) + " & sh \"$HOME/loop.sh\" " +
                               StatusLine::shellQuote(b) + " & wait";

    std::atomic<bool> done{false};
    std::thread writers([&] {
        runShell(script, "", home.path());
        done = true;
    });
    int reads = 0, bad = 0;
    std::set<int> seen;
    while (!done) {
        auto text = disk::readFile(limits());
        if (!text) continue;
        ++reads;
        json file = json::parse(*text, nullptr, false);
        if (file.is_object() && file.contains("at") && file.contains("five_hour"))
            seen.insert(file["five_hour"]["used_percentage"].get<int>());
        else
            ++bad;
    }
    writers.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(reads, 10);
    EXPECT_EQ(seen, (std::set<int>{11, 22}));
    EXPECT_FALSE(hasTempFiles(home.path() + "/.quillon"));
}

// --- the connection ------------------------------------------------------------------

TEST_F(StatusLineTest, connectKeepsTheUsersCommandAndDisconnectPutsItBack) {
    const std::string original = R"J({
  "env": {"ANTHROPIC_API_KEY": "sk-secret"},
  "model": "opus",
  "permissions": {"allow": ["Bash(git log:*)", "Read(/home/u/src/**)"]},
  "statusLine": {"type": "command", "command": "~/bin/status.sh", "padding": 2}
})J";
    const json users = json::parse(original)["statusLine"];
    home.write("claude/settings.json", original);
    ::chmod(settings().c_str(), 0640);
    EXPECT_FALSE(StatusLine::connected());

    // Twice: the second time Quillon's own entry is not mistaken for the user's.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(connection("--connect-statusline"), "connected\n");
        EXPECT_TRUE(StatusLine::connected());
        EXPECT_EQ(read(backup()), original);
        EXPECT_EQ(readJson(prev()), users);
    }
    EXPECT_EQ(modeOf(backup()), 0600u);
    EXPECT_EQ(modeOf(prev()), 0600u);
    EXPECT_EQ(modeOf(settings()), 0640u);
    json expected = json::parse(original);
    expected["statusLine"] = {{"type", "command"}, {"command", ours}, {"padding", 2}};
    EXPECT_EQ(readJson(settings()), expected);
    // Rewritten indented for reading.
    EXPECT_NE(read(settings()).find("\n  \"env\": {\n    \"ANTHROPIC_API_KEY\""), std::string::npos);
    EXPECT_FALSE(hasTempFiles(home.path() + "/claude"));

    EXPECT_EQ(connection("--disconnect-statusline"), "disconnected\n");
    EXPECT_EQ(readJson(settings()), json::parse(original));
    EXPECT_FALSE(fs::exists(prev()));
    EXPECT_EQ(read(backup()), original);
    EXPECT_FALSE(StatusLine::connected());
    EXPECT_EQ(modeOf(settings()), 0640u);
}

TEST_F(StatusLineTest, connectOverOwnOrCommandlessEntryKeepsTheSavedOne) {
    savePrevious(R"({"command": "~/bin/mine.sh"})");
    // The first is how the executable is installed on Linux: lower case, and it must count as Quillon's own.
    for (const std::string entry : {R"({"type": "command", "command": "'/usr/local/bin/quillon' --statusline"})",
                                    R"({"type": "command", "command": "/opt/quillon/quillon --statusline"})",
                                    R"({"type": "command", "padding": [1]})"}) {
        home.write("claude/settings.json", R"({"statusLine": )" + entry + "}");
        EXPECT_EQ(connection("--connect-statusline"), "connected\n") << entry;
        EXPECT_EQ(read(prev()), R"({"command": "~/bin/mine.sh"})") << entry;
    }
    EXPECT_EQ(readJson(settings())["statusLine"]["padding"], json::parse("[1]"));
}

TEST_F(StatusLineTest, disconnectWithoutASavedEntryRemovesTheStatusLine) {
    home.write("claude/settings.json", R"({"a/b": 1, "statusLine": {"type": "command", "command": "x"}})");
    for (const std::string saved : {"", "[1]", "{nope"}) {
        if (!saved.empty()) savePrevious(saved);
        EXPECT_EQ(connection("--disconnect-statusline"), "disconnected\n") << saved;
        EXPECT_EQ(read(settings()), "{\n  \"a/b\": 1\n}\n") << saved;
        EXPECT_FALSE(fs::exists(prev())) << saved;
    }
}

TEST_F(StatusLineTest, unreadableSettingsChangeNothing) {
    savePrevious(R"({"command": "~/bin/mine.sh"})");
    const std::string saved = read(prev());
    const std::string message = "Could not read " + settings() + ", so nothing was changed.\n";
    for (const std::string text : {"[1, 2]", "{\"statusLine\": ", "", "\"just a string\""}) {
        home.write("claude/settings.json", text);
        for (const char* option : {"--connect-statusline", "--disconnect-statusline"}) {
            EXPECT_EQ(connection(option), message) << text;
            EXPECT_EQ(read(settings()), text);
            EXPECT_FALSE(fs::exists(backup()));
            EXPECT_EQ(read(prev()), saved);
        }
    }
    // A settings path that exists but cannot be read is not an empty file to overwrite.
    fs::remove(settings());
    fs::create_directories(settings());
    EXPECT_EQ(connection("--connect-statusline"), message);
    EXPECT_TRUE(fs::is_directory(settings()));
}

TEST_F(StatusLineTest, connectCreatesTheSettingsFileWhereTheEnvironmentSaysEvenWhenEmpty) {
    // In a folder that does not exist yet, holding only the status line; nothing to back up or save.
    const std::string dir = home.path() + "/not/yet/there";
    ::setenv("QUILLON_CLAUDE_SETTINGS", (dir + "/claude.json").c_str(), 1);
    EXPECT_EQ(connection("--connect-statusline"), "connected\n");
    EXPECT_EQ(readJson(dir + "/claude.json"), (json{{"statusLine", {{"type", "command"}, {"command", ours}}}}));
    EXPECT_EQ(modeOf(dir + "/claude.json"), 0600u);
    EXPECT_FALSE(fs::exists(dir + "/settings.json.before-quillon"));
    EXPECT_FALSE(fs::exists(prev()));
    EXPECT_TRUE(StatusLine::connected());
    // The backup keeps its fixed name beside whatever file it copies.
    EXPECT_EQ(connection("--connect-statusline"), "connected\n");
    EXPECT_TRUE(fs::exists(dir + "/settings.json.before-quillon"));

    // An empty value names no file: nothing may land in the working folder or the default file.
    home.write(".claude/settings.json", "{\"x\": 1}");
    ::setenv("QUILLON_CLAUDE_SETTINGS", "", 1);
    EXPECT_EQ(connection("--connect-statusline").rfind("Could not write : ", 0), 0u);
    EXPECT_EQ(home.read(".claude/settings.json"), "{\"x\": 1}");

    ::unsetenv("QUILLON_CLAUDE_SETTINGS");
    EXPECT_EQ(connection("--connect-statusline"), "connected\n");
    EXPECT_TRUE(json::parse(home.read(".claude/settings.json"))["statusLine"].is_object());
}

TEST_F(StatusLineTest, readOnlySettingsAreLeftWhole) {
    const std::string original = R"({"statusLine": {"type": "command", "command": "~/bin/mine.sh"}, "z": 1})";
    const std::string denied = "Could not write " + settings() + ": Permission denied\n";
    home.write("claude/settings.json", original);
    ::chmod(settings().c_str(), 0444);
    EXPECT_EQ(connection("--connect-statusline"), denied);
    EXPECT_EQ(read(settings()), original);
    EXPECT_EQ(modeOf(settings()), 0444u);
    EXPECT_FALSE(hasTempFiles(home.path() + "/claude"));
    EXPECT_FALSE(StatusLine::connected());

    // Connected, then the file turns read-only: the saved entry must outlive a failed disconnect.
    ::chmod(settings().c_str(), 0644);
    EXPECT_EQ(connection("--connect-statusline"), "connected\n");
    const std::string connectedText = read(settings());
    ::chmod(settings().c_str(), 0444);
    EXPECT_EQ(connection("--disconnect-statusline"), denied);
    EXPECT_EQ(read(settings()), connectedText);
    EXPECT_EQ(readJson(prev())["command"], "~/bin/mine.sh");

    // A read-only folder: the same sentence, and nothing new in it.
    home.write("claude/settings.json", original);
    ::chmod(settings().c_str(), 0644);
    fs::remove(backup());
    ::chmod((home.path() + "/claude").c_str(), 0555);
    for (const char* option : {"--connect-statusline", "--disconnect-statusline"}) {
        EXPECT_EQ(connection(option), denied);
        EXPECT_EQ(read(settings()), original);
        EXPECT_FALSE(hasTempFiles(home.path() + "/claude"));
        EXPECT_FALSE(fs::exists(backup()));
        EXPECT_TRUE(fs::exists(prev()));
    }
    ::chmod((home.path() + "/claude").c_str(), 0755);
}

TEST_F(StatusLineTest, rewriteKeepsTheSettingsFilesOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can hand a file to another user";
    home.write("claude/settings.json", R"({"env": {"API_KEY": "k"}})");
    ASSERT_EQ(::chown(settings().c_str(), 65534, 65534), 0);
    ::chmod(settings().c_str(), 0600);
    EXPECT_EQ(connection("--connect-statusline"), "connected\n");
    struct stat st {};
    ASSERT_EQ(::stat(settings().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(StatusLineTest, aLinkedSettingsFileStaysALink) {
    home.write("dotfiles/claude.json", R"({"model": "opus"})");
    fs::create_directories(home.path() + "/claude");
    fs::create_symlink(home.path() + "/dotfiles/claude.json", settings());
    EXPECT_EQ(connection("--connect-statusline"), "connected\n");
    EXPECT_TRUE(fs::is_symlink(settings()));
    EXPECT_TRUE(json::parse(home.read("dotfiles/claude.json"))["statusLine"].is_object());
    EXPECT_EQ(read(backup()), R"({"model": "opus"})");
}

TEST_F(StatusLineTest, ourCommandRunsExactlyAnAwkwardlyNamedExecutable) {
    // Every character that is special inside double quotes, and a single quote too.
    const std::string dir = home.path() + "/odd \"dq\" $HOME `echo bq` back\\slash 'sq'/quillon";
    fs::create_directories(dir);
    const std::string bin = dir + "/quillon";
    fs::copy_file(QUILLON_BIN, bin);
    ::chmod(bin.c_str(), 0755);

    // Connect through the copy; its command names the copy, quoted for /bin/sh.
    RunResult r = runShell(StatusLine::shellQuote(bin) + " --connect-statusline", "", home.path());
    ASSERT_EQ(r.out, "connected\n") << r.err;
    const std::string command = readJson(settings())["statusLine"]["command"];
    EXPECT_EQ(command, StatusLine::shellQuote(bin) + " --statusline");
    EXPECT_TRUE(StatusLine::connected());

    // Claude Code runs it through /bin/sh: the copy must run and print, nothing else.
    r = runShell(command, exampleInput, home.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, exampleLine + "\n");
    EXPECT_TRUE(fs::exists(limits()));
}

} // namespace
