#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

extern char** environ;

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

unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

std::vector<std::string> tempFilesIn(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.path().filename().string().rfind(".quillon-tmp-", 0) == 0) out.push_back(e.path().string());
    return out;
}

// Sets one environment variable for the life of a scope (in-process calls read it).
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// Runs a command line through /bin/sh -c exactly as Claude Code does.
RunResult runShell(const std::string& command, const std::string& input, const std::string& dir) {
    RunResult r;
    const std::string in = dir + "/shell-in", out = dir + "/shell-out", err = dir + "/shell-err";
    disk::writeAtomic(in, input);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string sh = "/bin/sh", c = "-c", cmd = command;
    char* argv[] = {sh.data(), c.data(), cmd.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/bin/sh", &fa, nullptr, argv, environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = disk::readFile(out).value_or("");
    r.err = disk::readFile(err).value_or("");
    return r;
}

class StatusLineTest : public HomeTest {
  protected:
    void SetUp() override { ::umask(022); }

    std::string settings() const { return home.path() + "/claude/settings.json"; }
    std::string limits() const { return home.path() + "/.quillon/claude-limits.json"; }
    std::string prev() const { return home.path() + "/.quillon/statusline-prev.json"; }
    std::string backup() const { return home.path() + "/claude/settings.json.before-quillon"; }
    std::map<std::string, std::string> env() const {
        return {{"HOME", home.path()},
                {"QUILLON_CLAUDE_SETTINGS", settings()},
                {StatusLine::handOverMark, "\x01unset"}};
    }
    std::string read(const std::string& path) const { return disk::readFile(path).value_or("<missing>"); }

    RunResult helper(const std::string& input) const {
        RunResult r = runQuillon({"--statusline"}, input, env());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        return r;
    }
    RunResult connection(const char* option) const {
        RunResult r = runQuillon({option}, "", env());
        EXPECT_EQ(r.status, 0);
        return r;
    }
    void savePrevious(const std::string& text) const { home.write(".quillon/statusline-prev.json", text); }
};

// --- the helper's line ---------------------------------------------------------------

TEST(StatusLineOwnLine, followsTheInputFigures) {
    EXPECT_EQ(StatusLine::ownLine(exampleInput), exampleLine);
    EXPECT_EQ(StatusLine::ownLine(""), "[Claude] 0K in context (0%)");
    EXPECT_EQ(StatusLine::ownLine("not json"), "[Claude] 0K in context (0%)");
    EXPECT_EQ(StatusLine::ownLine("[1, 2]"), "[Claude] 0K in context (0%)");
    EXPECT_EQ(StatusLine::ownLine(R"({"context_window": {"used_percentage": 50}})"),
              "[Claude] 100K in context (50%)");
    EXPECT_EQ(StatusLine::ownLine(R"({"context_window": 7, "model": "Opus"})"),
              "[Claude] 0K in context (0%)");
    EXPECT_EQ(
        StatusLine::ownLine(R"({"model": {"display_name": 4}, "context_window": {"used_percentage": "9"}})"),
        "[Claude] 0K in context (0%)");
    // Windows of the wrong shape leave their part out, each on its own.
    EXPECT_EQ(
        StatusLine::ownLine(R"({"rate_limits": {"five_hour": 12, "seven_day": {"used_percentage": 3.9}}})"),
        "[Claude] 0K in context (0%) | week 3%");
    EXPECT_EQ(
        StatusLine::ownLine(R"({"rate_limits": {"five_hour": {"used_percentage": 130}, "seven_day": null}})"),
        "[Claude] 0K in context (0%) | 5h 130%");
    EXPECT_EQ(StatusLine::ownLine(R"({"rate_limits": [{"five_hour": {"used_percentage": 1}}]})"),
              "[Claude] 0K in context (0%)");
    // The real Claude Code input of the fixtures: no rate_limits, no used_percentage.
    auto real = disk::readFile(fixture("ccusage/statusline-test.json"));
    ASSERT_TRUE(real);
    EXPECT_EQ(StatusLine::ownLine(*real), "[Sonnet 4] 0K in context (0%)");
}

TEST(StatusLineOwnLine, truncatesTowardZeroAndMarksFiguresThatDoNotFit) {
    EXPECT_EQ(
        StatusLine::ownLine(R"({"context_window": {"used_percentage": -5.7, "context_window_size": 1000}})"),
        "[Claude] 0K in context (-5%)");
    EXPECT_EQ(
        StatusLine::ownLine(R"({"context_window": {"used_percentage": 99.99, "context_window_size": 1e6}})"),
        "[Claude] 999K in context (99%)");
    // Beyond the 64-bit range, before and after the arithmetic; never a wrapped number.
    EXPECT_EQ(StatusLine::ownLine(R"({"context_window": {"used_percentage": 1e19}})"),
              "[Claude] ?K in context (?%)");
    EXPECT_EQ(StatusLine::ownLine(R"({"context_window": {"used_percentage": 9.2233720368547e18}})"),
              "[Claude] ?K in context (9223372036854700032%)");
    EXPECT_EQ(
        StatusLine::ownLine(R"({"context_window": {"used_percentage": 50, "context_window_size": 1e308}})"),
        "[Claude] ?K in context (50%)");
    EXPECT_EQ(
        StatusLine::ownLine(
            R"({"context_window": {"used_percentage": -1e300}, "rate_limits": {"five_hour": {"used_percentage": 1e300}, "seven_day": {"used_percentage": -9.3e18}}})"),
        "[Claude] ?K in context (?%) | 5h ?% | week ?%");
    EXPECT_EQ(StatusLine::ownLine(R"({"context_window": {"used_percentage": 18446744073709551615}})"),
              "[Claude] ?K in context (?%)");
}

TEST(StatusLineQuoting, isOneShellWordForAnyText) {
    EXPECT_EQ(StatusLine::shellQuote("/usr/bin/quillon"), "'/usr/bin/quillon'");
    EXPECT_EQ(StatusLine::shellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(StatusLine::shellQuote(""), "''");
    EXPECT_TRUE(StatusLine::ourCommand().ends_with("' --statusline"));
    EXPECT_EQ(StatusLine::ourCommand().front(), '\'');
}

TEST(StatusLineQuoting, recognisesQuillonsCommandWithoutRegardToCase) {
    EXPECT_TRUE(StatusLine::isOurs("'/usr/bin/quillon' --statusline"));
    EXPECT_TRUE(StatusLine::isOurs("\"/Applications/Quillon.app/Contents/MacOS/Quillon\" --statusline"));
    EXPECT_TRUE(StatusLine::isOurs("/opt/QUILLON/bin/run --STATUSLINE"));
    EXPECT_FALSE(StatusLine::isOurs("/usr/bin/quillon --report"));
    EXPECT_FALSE(StatusLine::isOurs("~/bin/my-status --statusline"));
}

// --- the helper, end to end ----------------------------------------------------------

TEST_F(StatusLineTest, writesTheFileTheLimitsReaderReads) {
    EXPECT_EQ(StatusLine::limitsFile(), Limits::claudeFile());
    EXPECT_EQ(StatusLine::limitsFile(), limits());
    helper(exampleInput);
    auto reading = Limits::claude();
    ASSERT_TRUE(reading);
    ASSERT_TRUE(reading->five);
    EXPECT_EQ(reading->five->usedPercent, 12.5);
    EXPECT_EQ(reading->five->resetsAt, 1765000000);
    ASSERT_TRUE(reading->week);
    EXPECT_EQ(reading->week->usedPercent, 40);
}

TEST_F(StatusLineTest, printsTheLineAndRecordsBothWindowsVerbatim) {
    RunResult r = helper(exampleInput);
    EXPECT_EQ(r.out, exampleLine + "\n");

    json file = json::parse(read(limits()));
    ASSERT_TRUE(file.is_object());
    EXPECT_EQ(file.size(), 3u);
    EXPECT_TRUE(file["at"].is_number_float());
    EXPECT_GT(file["at"].get<double>(), 1.7e9);
    EXPECT_EQ(file["five_hour"], json::parse(exampleInput)["rate_limits"]["five_hour"]);
    EXPECT_EQ(file["seven_day"], json::parse(exampleInput)["rate_limits"]["seven_day"]);
    EXPECT_EQ(read(limits()).find('\n'), std::string::npos); // compact
    EXPECT_EQ(modeOf(limits()), 0600u);
    EXPECT_EQ(modeOf(home.path() + "/.quillon"), 0700u);
    EXPECT_TRUE(tempFilesIn(home.path() + "/.quillon").empty());
}

TEST_F(StatusLineTest, inputWithoutAWindowLeavesTheLastGoodFile) {
    helper(exampleInput);
    const std::string good = read(limits());

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "[Claude] 0K in context (0%)"},
        {"not json at all", "[Claude] 0K in context (0%)"},
        {"[1, 2, 3]", "[Claude] 0K in context (0%)"},
        {R"({"model": {"display_name": "Opus"}, "rate_limits": null})", "[Opus] 0K in context (0%)"},
        {R"({"model": {"display_name": "Opus"}})", "[Opus] 0K in context (0%)"},
        {R"({"rate_limits": {}})", "[Claude] 0K in context (0%)"},
        {R"({"rate_limits": {"other": {"used_percentage": 5}}})", "[Claude] 0K in context (0%)"},
        {R"({"rate_limits": [1]})", "[Claude] 0K in context (0%)"},
        {R"({"rate_limits": "five_hour"})", "[Claude] 0K in context (0%)"},
        {R"({"rate_limits": {"five_hour": {"used_percentage": 5}})",
         "[Claude] 0K in context (0%)"}, // cut short
    };
    for (const auto& [input, line] : cases) {
        SCOPED_TRACE(input);
        EXPECT_EQ(helper(input).out, line + "\n");
        EXPECT_EQ(read(limits()), good);
    }
}

TEST_F(StatusLineTest, recordsWhateverWindowsArePresent) {
    helper(R"({"rate_limits": {"seven_day": {"used_percentage": 40, "resets_at": 1765400000}}})");
    json file = json::parse(read(limits()));
    EXPECT_EQ(file.size(), 2u);
    EXPECT_TRUE(file.contains("at"));
    EXPECT_EQ(file["seven_day"]["used_percentage"], 40);

    // A window lacking its percentage is still copied whole; the line leaves it out.
    RunResult r = helper(R"({"rate_limits": {"five_hour": {"resets_at": 1765000000, "note": "x/y"}}})");
    EXPECT_EQ(r.out, "[Claude] 0K in context (0%)\n");
    file = json::parse(read(limits()));
    EXPECT_EQ(file["five_hour"], json::parse(R"({"resets_at": 1765000000, "note": "x/y"})"));
    EXPECT_FALSE(file.contains("seven_day"));

    // Over 100 % is a real reading (the limit is reached): recorded and shown.
    r = helper(R"({"rate_limits": {"five_hour": {"used_percentage": 104.2, "resets_at": 1765000000}}})");
    EXPECT_EQ(r.out, "[Claude] 0K in context (0%) | 5h 104%\n");
    EXPECT_EQ(json::parse(read(limits()))["five_hour"]["used_percentage"], 104.2);

    // Windows of every wrong type are copied as sent.
    r = helper(R"({"rate_limits": {"five_hour": null, "seven_day": [1, {"a": "b"}]}})");
    EXPECT_EQ(r.out, "[Claude] 0K in context (0%)\n");
    file = json::parse(read(limits()));
    EXPECT_TRUE(file["five_hour"].is_null());
    EXPECT_EQ(file["seven_day"], json::parse(R"([1, {"a": "b"}])"));
}

TEST_F(StatusLineTest, survivesHugeAndDeeplyNestedInput) {
    std::string big = R"({"rate_limits": {"seven_day": {"used_percentage": 7}}, "filler": ")";
    big += std::string(10 * 1024 * 1024, 'x') + "\"}";
    EXPECT_EQ(helper(big).out, "[Claude] 0K in context (0%) | week 7%\n");
    EXPECT_EQ(json::parse(read(limits()))["seven_day"]["used_percentage"], 7);

    // Nesting this deep would exhaust the stack when copied or serialised: treated as not JSON.
    std::string deep =
        R"({"rate_limits": {"five_hour": )" + std::string(200000, '[') + std::string(200000, ']') + "}}";
    EXPECT_EQ(helper(deep).out, "[Claude] 0K in context (0%)\n");
    EXPECT_EQ(json::parse(read(limits()))["seven_day"]["used_percentage"], 7);
    std::string unclosed = std::string(5 * 1024 * 1024, '{');
    EXPECT_EQ(helper(unclosed).out, "[Claude] 0K in context (0%)\n");
}

TEST_F(StatusLineTest, handsTheSameInputToTheFormerCommand) {
    savePrevious(
        R"({"type": "command", "command": "cat > \"$HOME/seen\"; printf 'from the user\\n'", "padding": 0})");
    RunResult r = helper(exampleInput);
    EXPECT_EQ(r.out, "from the user\n");
    EXPECT_EQ(home.read("seen"), exampleInput);

    // Ten megabytes reach it whole, too.
    std::string big = "{\"filler\": \"" + std::string(10 * 1024 * 1024, 'y') + "\"}";
    r = helper(big);
    EXPECT_EQ(home.read("seen"), big);
}

TEST_F(StatusLineTest, recordsTheLimitsBeforeTheFormerCommandRuns) {
    savePrevious(R"({"command": "cat \"$HOME/.quillon/claude-limits.json\""})");
    RunResult r = helper(exampleInput);
    json seen = json::parse(r.out);
    EXPECT_EQ(seen["five_hour"]["used_percentage"], 12.5);
    EXPECT_EQ(seen["seven_day"]["used_percentage"], 40);
}

TEST_F(StatusLineTest, formerCommandsFailureIsNotTheHelpers) {
    // Fails, writes to standard error, ignores its input: still status 0 and no own line.
    savePrevious(R"({"command": "echo partial; echo oops >&2; exit 3"})");
    RunResult r = runQuillon({"--statusline"}, std::string(1 << 20, 'z'), env());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "partial\n");
    EXPECT_EQ(r.err, "oops\n"); // the user's command's own, passed through

    savePrevious(R"({"command": "true"})");
    EXPECT_EQ(helper(exampleInput).out, "");

    // The helper's own indifference to broken pipes is not passed on to the command.
    savePrevious(R"({"command": "yes | head -n 1"})");
    r = runQuillon({"--statusline"}, exampleInput, env());
    EXPECT_EQ(r.out, "y\n");
    EXPECT_EQ(r.err, "");

    // A command that stops reading early sees its input cut short, and that is all.
    savePrevious(R"({"command": "head -c 1 >/dev/null; echo read one"})");
    EXPECT_EQ(helper(std::string(4 << 20, 'q')).out, "read one\n");
}

TEST_F(StatusLineTest, unusablePreviousEntryMeansTheOwnLine) {
    for (const std::string text : {R"({"command": ""})", R"([{"command": "echo no"}])", R"({"command": 5})",
                                   R"({"type": "command"})", "{broken", ""}) {
        SCOPED_TRACE(text);
        savePrevious(text);
        EXPECT_EQ(helper(exampleInput).out, exampleLine + "\n");
    }
}

TEST_F(StatusLineTest, neverHandsOverToQuillonsOwnCommand) {
    // Saved by an older build or by hand: running it would start the helper again, without end.
    for (const std::string command : {"'/usr/local/bin/quillon' --statusline",
                                      "\"/Applications/Quillon.app/Contents/MacOS/Quillon\" --statusline"}) {
        SCOPED_TRACE(command);
        savePrevious(json{{"command", command}}.dump());
        EXPECT_EQ(helper(exampleInput).out, exampleLine + "\n");
    }
}

TEST_F(StatusLineTest, aFormerCommandThatCallsTheHelperAgainDoesNotLoop) {
    // The user's script runs Quillon by a path the recognition cannot see; it must still end.
    home.write("status.sh", "n=${LEVEL:-0}\n"
                            "if [ \"$n\" -ge 3 ]; then echo runaway; exit 0; fi\n"
                            "echo \"level $n\"\n"
                            "LEVEL=$((n + 1)) exec \"$QB\" --statusline\n");
    savePrevious(R"({"command": "sh \"$HOME/status.sh\""})");
    auto vars = env();
    vars["QB"] = QUILLON_BIN;
    RunResult r = runQuillon({"--statusline"}, exampleInput, vars);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "level 0\n" + exampleLine + "\n");
}

TEST_F(StatusLineTest, concurrentHelpersNeverLeaveAPartialFile) {
    // Two helpers (and a reader) at once: every read sees one whole file from one writer.
    const std::string a =
        home.write("a.json", R"({"rate_limits": {"five_hour": {"used_percentage": 11, "pad": ")" +
                                 std::string(200000, 'a') + "\"}}}");
    const std::string b = home.write("b.json", R"({"rate_limits": {"five_hour": {"used_percentage": 22}}})");
    home.write(
        "loop.sh",
        "i=0\nwhile [ $i -lt 60 ]; do \"$QB\" --statusline < \"$1\" > /dev/null; i=$((i + 1)); done\n");
    const std::string script = "sh \"$HOME/loop.sh\" " + StatusLine::shellQuote(a) +
                               " & sh \"$HOME/loop.sh\" " + StatusLine::shellQuote(b) + " & wait";
    ScopedEnv qb("QB", QUILLON_BIN);

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
        if (!file.is_object() || !file.contains("at") || !file.contains("five_hour")) {
            ++bad;
            continue;
        }
        seen.insert(file["five_hour"]["used_percentage"].get<int>());
    }
    writers.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(reads, 10);
    EXPECT_EQ(seen, (std::set<int>{11, 22}));
    EXPECT_TRUE(tempFilesIn(home.path() + "/.quillon").empty());
}

// --- the connection ------------------------------------------------------------------

TEST_F(StatusLineTest, connectWithoutASettingsFileCreatesOne) {
    EXPECT_EQ(connection("--connect-statusline").out, "connected\n");
    json s = json::parse(read(settings()));
    EXPECT_EQ(s, json::parse(R"({"statusLine": {"type": "command", "command": ")" +
                             StatusLine::shellQuote(QUILLON_BIN) + R"( --statusline"}})"));
    EXPECT_EQ(modeOf(settings()), 0600u);
    EXPECT_FALSE(fs::exists(backup()));
    EXPECT_FALSE(fs::exists(prev()));

    ScopedEnv where("QUILLON_CLAUDE_SETTINGS", settings());
    EXPECT_TRUE(StatusLine::connected());
}

TEST_F(StatusLineTest, connectKeepsTheUsersCommandAndDisconnectPutsItBack) {
    const std::string original = R"J({
  "env": {"ANTHROPIC_API_KEY": "sk-secret"},
  "model": "opus",
  "permissions": {"allow": ["Bash(git log:*)", "Read(/home/u/src/**)"]},
  "statusLine": {"type": "command", "command": "~/bin/status.sh", "padding": 2}
})J";
    home.write("claude/settings.json", original);
    ::chmod(settings().c_str(), 0640);
    ScopedEnv where("QUILLON_CLAUDE_SETTINGS", settings());
    EXPECT_FALSE(StatusLine::connected());

    EXPECT_EQ(connection("--connect-statusline").out, "connected\n");
    EXPECT_TRUE(StatusLine::connected());
    EXPECT_EQ(read(backup()), original);
    EXPECT_EQ(modeOf(backup()), 0600u);
    EXPECT_EQ(json::parse(read(prev())),
              json::parse(R"({"type": "command", "command": "~/bin/status.sh", "padding": 2})"));
    EXPECT_EQ(modeOf(prev()), 0600u);
    EXPECT_EQ(modeOf(settings()), 0640u);

    json s = json::parse(read(settings()));
    EXPECT_EQ(s["statusLine"]["padding"], 2);
    EXPECT_EQ(s["statusLine"]["type"], "command");
    EXPECT_EQ(s["statusLine"]["command"], StatusLine::shellQuote(QUILLON_BIN) + " --statusline");
    EXPECT_EQ(s["env"]["ANTHROPIC_API_KEY"], "sk-secret");
    EXPECT_EQ(s["permissions"], json::parse(original)["permissions"]);
    // Rewritten sorted and indented, with "/" left as it is.
    const std::string text = read(settings());
    EXPECT_LT(text.find("\"env\""), text.find("\"model\""));
    EXPECT_LT(text.find("\"model\""), text.find("\"permissions\""));
    EXPECT_NE(text.find("\n  \"env\": {\n    \"ANTHROPIC_API_KEY\""), std::string::npos);
    EXPECT_NE(text.find("Read(/home/u/src/**)"), std::string::npos);
    EXPECT_TRUE(tempFilesIn(home.path() + "/claude").empty());

    // Once more: Quillon's own entry is not mistaken for the user's, the backup stays the first.
    EXPECT_EQ(connection("--connect-statusline").out, "connected\n");
    EXPECT_EQ(json::parse(read(prev()))["command"], "~/bin/status.sh");
    EXPECT_EQ(read(backup()), original);

    EXPECT_EQ(connection("--disconnect-statusline").out, "disconnected\n");
    s = json::parse(read(settings()));
    EXPECT_EQ(s["statusLine"],
              json::parse(R"({"type": "command", "command": "~/bin/status.sh", "padding": 2})"));
    EXPECT_EQ(s["env"]["ANTHROPIC_API_KEY"], "sk-secret");
    EXPECT_FALSE(fs::exists(prev()));
    EXPECT_EQ(read(backup()), original);
    EXPECT_FALSE(StatusLine::connected());
    EXPECT_EQ(modeOf(settings()), 0640u);
}

TEST_F(StatusLineTest, connectOverALowerCaseQuillonCommandSavesNothing) {
    // How the executable is installed on Linux; it must count as Quillon's own.
    home.write("claude/settings.json",
               R"({"statusLine": {"type": "command", "command": "'/usr/local/bin/quillon' --statusline"}})");
    EXPECT_EQ(connection("--connect-statusline").out, "connected\n");
    EXPECT_FALSE(fs::exists(prev()));

    home.write(".quillon/statusline-prev.json", R"({"command": "~/bin/mine.sh"})");
    home.write("claude/settings.json",
               R"({"statusLine": {"type": "command", "command": "/opt/quillon/quillon --statusline"}})");
    EXPECT_EQ(connection("--connect-statusline").out, "connected\n");
    EXPECT_EQ(json::parse(read(prev()))["command"], "~/bin/mine.sh");
}

TEST_F(StatusLineTest, connectWithoutAUsableCommandKeepsTheSavedOne) {
    home.write(".quillon/statusline-prev.json", R"({"command": "~/bin/mine.sh"})");
    home.write("claude/settings.json", R"({"statusLine": {"type": "command", "padding": [1]}})");
    EXPECT_EQ(connection("--connect-statusline").out, "connected\n");
    EXPECT_EQ(json::parse(read(prev()))["command"], "~/bin/mine.sh");
    EXPECT_EQ(json::parse(read(settings()))["statusLine"]["padding"], json::parse("[1]"));
}

TEST_F(StatusLineTest, disconnectWithoutASavedEntryRemovesTheStatusLine) {
    home.write("claude/settings.json", R"({"a/b": 1, "statusLine": {"type": "command", "command": "x"}})");
    for (const std::string saved : {"", "[1]", "{nope"}) {
        SCOPED_TRACE(saved);
        if (!saved.empty()) home.write(".quillon/statusline-prev.json", saved);
        EXPECT_EQ(connection("--disconnect-statusline").out, "disconnected\n");
        EXPECT_EQ(json::parse(read(settings())), json::parse(R"({"a/b": 1})"));
        EXPECT_NE(read(settings()).find("\"a/b\""), std::string::npos);
        EXPECT_FALSE(fs::exists(prev()));
    }
}

TEST_F(StatusLineTest, unreadableSettingsChangeNothing) {
    home.write(".quillon/statusline-prev.json", R"({"command": "~/bin/mine.sh"})");
    const std::string saved = read(prev());
    for (const std::string text : {"[1, 2]", "{\"statusLine\": ", "", "\"just a string\""}) {
        SCOPED_TRACE(text);
        home.write("claude/settings.json", text);
        for (const char* option : {"--connect-statusline", "--disconnect-statusline"}) {
            EXPECT_EQ(connection(option).out, "Could not read " + settings() + ", so nothing was changed.\n");
            EXPECT_EQ(read(settings()), text);
            EXPECT_FALSE(fs::exists(backup()));
            EXPECT_EQ(read(prev()), saved);
        }
    }
    // A settings path that exists but cannot be read is not an empty file to overwrite.
    fs::remove(settings());
    fs::create_directories(settings());
    EXPECT_EQ(connection("--connect-statusline").out,
              "Could not read " + settings() + ", so nothing was changed.\n");
    EXPECT_TRUE(fs::is_directory(settings()));
}

TEST_F(StatusLineTest, settingsPathComesFromTheEnvironmentEvenWhenEmpty) {
    const std::string elsewhere = home.path() + "/not/yet/there/claude.json";
    auto vars = env();
    vars["QUILLON_CLAUDE_SETTINGS"] = elsewhere;
    EXPECT_EQ(runQuillon({"--connect-statusline"}, "", vars).out, "connected\n");
    EXPECT_TRUE(json::parse(read(elsewhere))["statusLine"].is_object());
    // The backup keeps its fixed name beside whatever file it copies.
    EXPECT_EQ(runQuillon({"--connect-statusline"}, "", vars).out, "connected\n");
    EXPECT_TRUE(fs::exists(home.path() + "/not/yet/there/settings.json.before-quillon"));

    home.write(".claude/settings.json", "{\"x\": 1}");
    vars["QUILLON_CLAUDE_SETTINGS"] = "";
    RunResult r = runQuillon({"--connect-statusline"}, "", vars);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Could not write : ", 0), 0u) << r.out;
    EXPECT_EQ(home.read(".claude/settings.json"), "{\"x\": 1}");

    vars["QUILLON_CLAUDE_SETTINGS"] = "\x01unset";
    EXPECT_EQ(runQuillon({"--connect-statusline"}, "", vars).out, "connected\n");
    EXPECT_TRUE(json::parse(home.read(".claude/settings.json"))["statusLine"].is_object());
}

TEST_F(StatusLineTest, readOnlySettingsAreLeftWhole) {
    const std::string original = R"({"statusLine": {"type": "command", "command": "~/bin/mine.sh"}, "z": 1})";
    home.write("claude/settings.json", original);
    ::chmod(settings().c_str(), 0444);
    RunResult r = connection("--connect-statusline");
    EXPECT_EQ(r.out, "Could not write " + settings() + ": Permission denied\n");
    EXPECT_EQ(read(settings()), original);
    EXPECT_EQ(modeOf(settings()), 0444u);
    EXPECT_TRUE(tempFilesIn(home.path() + "/claude").empty());
    ScopedEnv where("QUILLON_CLAUDE_SETTINGS", settings());
    EXPECT_FALSE(StatusLine::connected());

    // Connected, then the file turns read-only: the saved entry must outlive a failed disconnect.
    ::chmod(settings().c_str(), 0644);
    EXPECT_EQ(connection("--connect-statusline").out, "connected\n");
    const std::string connectedText = read(settings());
    ::chmod(settings().c_str(), 0444);
    EXPECT_EQ(connection("--disconnect-statusline").out,
              "Could not write " + settings() + ": Permission denied\n");
    EXPECT_EQ(read(settings()), connectedText);
    EXPECT_EQ(json::parse(read(prev()))["command"], "~/bin/mine.sh");

    // A read-only folder: the same sentence, and nothing new in it.
    home.write("claude/settings.json", original);
    ::chmod(settings().c_str(), 0644);
    fs::remove(backup());
    ::chmod((home.path() + "/claude").c_str(), 0555);
    for (const char* option : {"--connect-statusline", "--disconnect-statusline"}) {
        EXPECT_EQ(connection(option).out, "Could not write " + settings() + ": Permission denied\n");
        EXPECT_EQ(read(settings()), original);
        EXPECT_TRUE(tempFilesIn(home.path() + "/claude").empty());
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
    EXPECT_EQ(connection("--connect-statusline").out, "connected\n");
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
    EXPECT_EQ(connection("--connect-statusline").out, "connected\n");
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
    const std::string connect = StatusLine::shellQuote(bin) + " --connect-statusline";
    ScopedEnv where("QUILLON_CLAUDE_SETTINGS", settings());
    RunResult r = runShell(connect, "", home.path());
    ASSERT_EQ(r.out, "connected\n") << r.err;
    const std::string command = json::parse(read(settings()))["statusLine"]["command"];
    EXPECT_EQ(command, StatusLine::shellQuote(bin) + " --statusline");
    EXPECT_TRUE(StatusLine::connected());

    // Claude Code runs it through /bin/sh: the copy must run and print, nothing else.
    fs::remove(limits());
    r = runShell(command, exampleInput, home.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, exampleLine + "\n");
    EXPECT_TRUE(fs::exists(limits()));
}

} // namespace
