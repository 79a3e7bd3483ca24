#include "webhook_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace quillon::testing {
namespace {

std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Reads what is available within the deadline; false once the peer closed or time ran out.
bool readSome(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[8192];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
    return true;
}

int bindLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("bind failed");
    port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

int WebhookServer::Received::count(const std::string& lowerName) const {
    return static_cast<int>(
        std::count_if(headerLines.begin(), headerLines.end(), [&](const std::string& line) {
            auto colon = line.find(':');
            return colon != std::string::npos && lowered(line.substr(0, colon)) == lowerName;
        }));
}

WebhookServer::WebhookServer(int status, bool silent) : m_status(status), m_silent(silent) {
    m_listen = bindLoopback(m_port);
    if (::listen(m_listen, 16) != 0 || ::pipe(m_wake) != 0) throw std::runtime_error("listen failed");
    m_thread = std::thread([this] { serve(); });
}

WebhookServer::~WebhookServer() {
    char stop = 1;
    (void)!::write(m_wake[1], &stop, 1);
    m_thread.join();
    for (int fd : m_held)
        ::close(fd);
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

std::vector<WebhookServer::Received> WebhookServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

int WebhookServer::connections() const {
    std::lock_guard lock(m_mutex);
    return m_connections;
}

void WebhookServer::serve() {
    for (;;) {
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            std::lock_guard lock(m_mutex);
            ++m_connections;
        }
        handle(fd);
    }
}

void WebhookServer::handle(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string data;
    std::size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos)
        if (!readSome(fd, data, deadline)) {
            ::close(fd);
            return;
        }

    Received r;
    std::size_t lineStart = 0;
    bool first = true;
    while (lineStart < headEnd) {
        std::size_t lineEnd = data.find("\r\n", lineStart);
        std::string line = data.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (first) {
            first = false;
            auto sp1 = line.find(' ');
            auto sp2 = line.find(' ', sp1 + 1);
            r.method = line.substr(0, sp1);
            r.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
            continue;
        }
        r.headerLines.push_back(line);
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ')
            ++v;
        r.headers[lowered(line.substr(0, colon))] = line.substr(v);
    }
    std::size_t length = 0;
    if (auto it = r.headers.find("content-length"); it != r.headers.end()) length = std::stoul(it->second);
    while (data.size() < headEnd + 4 + length)
        if (!readSome(fd, data, deadline)) break;
    r.body = data.substr(headEnd + 4, length);

    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(std::move(r));
    }

    if (m_silent) {
        m_held.push_back(fd); // answered never; closed when the server stops
        return;
    }
    // The reason phrase is free text; clients go by the number.
    std::string answer = "HTTP/1.1 " + std::to_string(m_status) + " Answer\r\n";
    if (m_status == 301) answer += "Location: /moved\r\n";
    if (m_status != 204) answer += "Content-Length: 0\r\n";
    answer += "Connection: close\r\n\r\n";
    (void)!::write(fd, answer.data(), answer.size());
    ::close(fd);
}

int unusedPort() {
    int port = 0;
    int fd = bindLoopback(port);
    ::close(fd);
    return port;
}

} // namespace quillon::testing
