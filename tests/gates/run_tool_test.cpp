#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <pthread.h>

#include "gates/run_tool.h"

namespace quillon {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

ToolResult sh(const std::string& script, double timeout = 10) {
    return runTool("/bin/sh", {"-c", script, "sh", "a b", "c"}, timeout);
}

TEST(RunTool, passesArgumentsAndEnvironmentAndReturnsStatusAndUtf8StandardOutputOnly) {
    ::setenv("QUILLON_RUN_TOOL_PROBE", "probe value", 1);
    ToolResult r = sh("printf '%s|%s|%s' \"$1\" \"$2\" \"$QUILLON_RUN_TOOL_PROBE\"; echo err >&2; exit 3");
    ::unsetenv("QUILLON_RUN_TOOL_PROBE");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "a b|c|probe value");

    // More than a pipe holds.
    r = sh("head -c 1000000 /dev/zero | tr '\\000' a", 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(1000000, 'a'));
    // Output that is not UTF-8 comes back empty; control characters and markup are valid
    // UTF-8 and come back byte for byte.
    EXPECT_EQ(sh("printf 'ok\\377'").out, "");
    EXPECT_EQ(sh("printf '\\033]0;title\\007<img src=x>\\342\\200\\256'").out, "\x1b]0;title\x07<img src=x>\u202E");
}

TEST(RunTool, toolThatCannotStartFailsAtOnce) {
    auto start = Clock::now();
    // A missing file, and a bare name (never looked up on a search path).
    for (const char* path : {"/nonexistent/quillon-tool", "sh"}) {
        ToolResult r = runTool(path, {"-c", "echo no"}, 5);
        EXPECT_EQ(r.status, -1) << path;
        EXPECT_EQ(r.out, "") << path;
    }
    EXPECT_LT(secondsSince(start), 1.0);
}

TEST(RunTool, timeLimitHoldsAndKeepsWhatTheToolWrote) {
    struct Case {
        const char* script;
        const char* out;
    } cases[] = {
        // The sleep is the shell's child: ending only the shell would leave it holding the pipe.
        {"echo partial; sleep 10; echo late", "partial\n"},
        // The tool ends at once; its background child keeps standard output open.
        {"sleep 8 & echo started", "started\n"},
        // The tool closes its output and carries on.
        {"echo early; exec >&-; sleep 8", "early\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        auto start = Clock::now();
        ToolResult r = sh(c.script, 0.3);
        double took = secondsSince(start);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_GE(took, 0.3);
        EXPECT_LT(took, 2.0);
    }
}

TEST(RunTool, toolIgnoringSigtermIsKilledAfterTheGrace) {
    auto start = Clock::now();
    // Ignored signals stay ignored across exec, so every sleep ignores SIGTERM too. The loop
    // ends by itself after about 8 s, so a runner without the forced kill fails rather than hangs.
    ToolResult r =
        sh("trap '' TERM; echo stubborn; i=0; while [ $i -lt 160 ]; do sleep 0.05; i=$((i+1)); done", 0.3);
    double took = secondsSince(start);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "stubborn\n");
    EXPECT_GE(took, 2.0);
    EXPECT_LT(took, 4.0);
}

TEST(RunTool, callerThatBlocksSigtermDoesNotPassTheBlockOn) {
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &old), 0);
    auto start = Clock::now();
    ToolResult r = runTool("/bin/sleep", {"8"}, 0.3);
    double took = secondsSince(start);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(r.status, 128 + SIGTERM);
    // Ended by the polite signal, not by the forced kill 2 s later.
    EXPECT_LT(took, 1.5);
}

} // namespace
} // namespace quillon
