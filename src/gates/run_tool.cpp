#include "gates/run_tool.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "scanner/text.h"

extern char** environ;

namespace quillon {
namespace {

double monotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleepSeconds(double s) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>((s - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int statusOf(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return 1;
}

// True once the child has ended. WNOWAIT leaves it a zombie, so its id (which is also the id of
// its process group) cannot be reused while the group is still being signalled.
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) return true;
    }
    return info.si_pid == pid;
}

// Waits until the child ends or the monotonic clock reaches `until`; true when it ended.
bool waitEnded(pid_t pid, double until) {
    double pause = 0.001;
    while (!hasEnded(pid)) {
        double left = until - monotonicNow();
        if (left <= 0) return false;
        sleepSeconds(std::min(pause, left));
        pause = std::min(pause * 2, 0.02);
    }
    return true;
}

int reap(pid_t pid) {
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) return 1;
    }
    return statusOf(raw);
}

// Owns the spawn attributes and file actions for the length of one start.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

ToolResult runTool(const std::string& path, const std::vector<std::string>& args, double timeout) {
    ToolResult result;
    if (path.empty() || path.front() != '/') return result;

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return result;

    std::vector<std::string> argStrings;
    argStrings.reserve(args.size() + 1);
    argStrings.push_back(path);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Its own process group, so the time limit reaches whatever the tool starts in turn.
    // The signal mask and the dispositions of the signals we rely on are reset: a caller
    // thread that blocks SIGTERM, or a process that ignores SIGPIPE, must not pass that on.
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setpgroup(&setup.attr, 0);
    posix_spawnattr_setsigmask(&setup.attr, &empty);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const double start = monotonicNow();
    const double limit = std::isfinite(timeout) && timeout > 0 ? timeout : 0;
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return result;
    }
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);

    std::string bytes;
    bool timedOut = false;
    char buf[65536];
    for (;;) {
        double remaining = start + limit - monotonicNow();
        if (remaining <= 0) {
            timedOut = true;
            break;
        }
        pollfd pfd{out[0], POLLIN, 0};
        int ms = static_cast<int>(std::ceil(std::min(remaining, 3600.0) * 1000));
        int ready = poll(&pfd, 1, ms);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n > 0) {
            bytes.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
            break;
        }
    }
    close(out[0]);
    // A tool may close its output and carry on; the limit holds all the same.
    if (!timedOut && !waitEnded(pid, start + limit)) timedOut = true;

    if (timedOut) {
        constexpr double grace = 2.0;
        kill(-pid, SIGTERM);
        waitEnded(pid, monotonicNow() + grace);
        // Whatever is left of the group, the tool itself or anything it left behind, goes now.
        kill(-pid, SIGKILL);
    }
    result.status = reap(pid);
    if (timedOut && result.status == 0) result.status = 128 + SIGTERM;
    if (text::validUtf8(bytes)) result.out = std::move(bytes);
    return result;
}

} // namespace quillon
