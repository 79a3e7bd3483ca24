#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "cli/modes.h"
#include "limits/status_line.h"
#include "settings/clock.h"

namespace quillon::cli {

namespace {

std::string readAll(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

// Claude Code shows whatever this prints and nothing else: no word ever goes to standard
// error and the status is 0 on every path, whatever goes wrong.
int runStatusLine() {
    // A reader that has gone away must not turn into a death by signal.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const std::string input = readAll(0);
        if (auto line = StatusLine::run(input, currentInstant())) writeAll(1, *line);
    } catch (...) {
    }
    return 0;
}

int runConnect(bool connect) {
    std::optional<std::string> message;
    try {
        message = connect ? StatusLine::connect() : StatusLine::disconnect();
    } catch (const std::exception& e) {
        message = std::string("Could not change the status line: ") + e.what();
    }
    std::printf("%s\n", message ? message->c_str() : connect ? "connected" : "disconnected");
    return 0;
}

} // namespace quillon::cli
