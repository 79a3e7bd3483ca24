#include "tray_support.h"

#include <QApplication>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace quillon::testing {
namespace {

// Every tray test runs with one QApplication on the offscreen platform.
class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "tray_test";
        static char* argv[] = {name, nullptr};
        m_app = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override {
        delete m_app;
        m_app = nullptr;
    }

  private:
    QApplication* m_app = nullptr;
};

[[maybe_unused]] ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs) return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

bool haveSessionBus() {
    const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    return a && *a;
}

FakeNotifier::FakeNotifier() {
    char tmpl[] = "/tmp/quillon-notify-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    if (fd < 0) return;
    ::close(fd);
    m_log = tmpl;

    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string helper = QUILLON_TRAY_HELPER;
    char* argv[] = {const_cast<char*>(helper.c_str()), const_cast<char*>("notifier"), m_log.data(), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return;
    }
    m_pid = pid;
    // Wait for "ready": the service name is taken once it is printed.
    std::string got;
    pollfd p{out[0], POLLIN, 0};
    while (got.find("ready") == std::string::npos && ::poll(&p, 1, 10'000) > 0) {
        char buf[64];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (got.find("ready") == std::string::npos) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

FakeNotifier::~FakeNotifier() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (!m_log.empty()) ::unlink(m_log.c_str());
}

std::vector<nlohmann::json> FakeNotifier::calls() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(m_log);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(nlohmann::json::parse(line));
    return out;
}

HttpSink::HttpSink() {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_listen, 16) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    socklen_t len = sizeof addr;
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { serve(); });
}

HttpSink::~HttpSink() {
    m_stop = true;
    m_thread.join();
    ::close(m_listen);
}

std::vector<HttpSink::Request> HttpSink::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void HttpSink::serve() {
    while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int c = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::string data;
        std::size_t headEnd = std::string::npos;
        std::size_t want = std::string::npos;
        char buf[4096];
        while (want == std::string::npos || data.size() < want) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, 5000) <= 0) break;
            const ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) break;
            data.append(buf, static_cast<std::size_t>(n));
            if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
                std::size_t length = 0;
                const std::string head = lower(data.substr(0, headEnd));
                if (auto at = head.find("\r\ncontent-length:"); at != std::string::npos)
                    length = std::strtoul(head.c_str() + at + 17, nullptr, 10);
                want = headEnd + 4 + length;
            }
        }
        Request r;
        if (headEnd != std::string::npos) {
            const std::string head = data.substr(0, headEnd);
            std::size_t lineEnd = head.find("\r\n");
            const std::string first = head.substr(0, lineEnd);
            r.method = first.substr(0, first.find(' '));
            const auto t0 = first.find(' ') + 1;
            r.target = first.substr(t0, first.find(' ', t0) - t0);
            while (lineEnd != std::string::npos && lineEnd < head.size()) {
                const std::size_t next = head.find("\r\n", lineEnd + 2);
                const std::string line = head.substr(
                    lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
                if (auto colon = line.find(':'); colon != std::string::npos) {
                    std::string value = line.substr(colon + 1);
                    while (!value.empty() && value.front() == ' ')
                        value.erase(0, 1);
                    r.headers[lower(line.substr(0, colon))] = value;
                }
                lineEnd = next;
            }
            r.body = data.substr(headEnd + 4);
        }
        const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        [[maybe_unused]] ssize_t w = ::write(c, answer, sizeof answer - 1);
        ::close(c);
        std::lock_guard lock(m_mutex);
        m_requests.push_back(std::move(r));
    }
}

std::vector<HostileText> hostileTexts() {
    return {
        {"ansi", "\x1b[2J\x1b[31mred\x1b[0m"},
        {"osc52", "\x1b]52;c;ZWNobyBoaQ==\x07copy"},
        {"img", "<img src=\"http://evil.example/x.png\">"},
        {"link", "<a href=\"http://evil.example\">click</a> & more"},
        {"crlf", "title\r\nX-Injected: yes"},
        {"bidi", "abc\u202Eevil\u202Cdef"},
        {"badutf8", std::string("ok\xff\xfe"
                                "ok")},
    };
}

} // namespace quillon::testing
