#include "test_home.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace quillon::testing {
namespace fs = std::filesystem;

TempHome::TempHome() {
    std::string tmpl = (fs::temp_directory_path() / "quillon-home-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
    if (const char* h = std::getenv("HOME")) {
        m_hadHome = true;
        m_oldHome = h;
    }
    ::setenv("HOME", m_path.c_str(), 1);
}

TempHome::~TempHome() {
    if (m_hadHome)
        ::setenv("HOME", m_oldHome.c_str(), 1);
    else
        ::unsetenv("HOME");
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable so they can be removed.
    for (auto it = fs::recursive_directory_iterator(m_path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

std::string TempHome::write(const std::string& relative, const std::string& content) const {
    fs::path p = fs::path(m_path) / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
}

std::string TempHome::read(const std::string& relative) const {
    std::ifstream in(fs::path(m_path) / relative, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool TempHome::exists(const std::string& relative) const { return fs::exists(fs::path(m_path) / relative); }

std::string fixture(const std::string& relative) {
    return std::string(QUILLON_TEST_FIXTURES) + "/" + relative;
}

RunResult runQuillon(const std::vector<std::string>& args, const std::string& input,
                     const std::map<std::string, std::string>& env, double timeoutSeconds) {
    return runProgram(QUILLON_TEST_BIN, args, input, env, timeoutSeconds);
}

RunResult runProgram(const std::string& path, const std::vector<std::string>& args, const std::string& input,
                     const std::map<std::string, std::string>& env, double timeoutSeconds) {
    RunResult r;
    const char* bin = path.c_str();

    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) {
        if (v == "\x01unset")
            vars.erase(k);
        else
            vars[k] = v;
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStrings{bin};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    int inPipe[2], outPipe[2], errPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) || ::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC)) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, bin, &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0) {
        ::close(inPipe[1]);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return r;
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::size_t written = 0;
    bool inOpen = true;
    if (input.empty()) {
        ::close(inPipe[1]);
        inOpen = false;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3];
        int n = 0;
        if (outOpen) fds[n++] = {outPipe[0], POLLIN, 0};
        if (errOpen) fds[n++] = {errPipe[0], POLLIN, 0};
        if (inOpen) fds[n++] = {inPipe[1], POLLOUT, 0};
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        double elapsed = static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
        if (elapsed > timeoutSeconds) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, static_cast<nfds_t>(n), 200) < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLOUT | POLLERR))) continue;
            if (fds[i].fd == inPipe[1]) {
                ssize_t w = ::write(inPipe[1], input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                if (w < 0 || written == input.size()) {
                    ::close(inPipe[1]);
                    inOpen = false;
                }
                continue;
            }
            char buf[65536];
            ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                (fds[i].fd == outPipe[0] ? r.out : r.err).append(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
                if (fds[i].fd == outPipe[0]) outOpen = false;
                else errOpen = false;
            }
        }
    }
    if (inOpen) ::close(inPipe[1]);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        auto nl = text.find('\n', start);
        if (nl == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

} // namespace quillon::testing
