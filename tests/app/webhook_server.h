#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon::testing {

// A real HTTP/1.1 server on 127.0.0.1 for webhook tests, on its own thread. It keeps every request
// it reads (method, target, header lines as sent, body) and answers with the status it is set to:
// 301 points elsewhere on the same server, and `silent` holds the connection open without answering.
class WebhookServer {
  public:
    struct Received {
        std::string method, target, body;
        std::vector<std::string> headerLines;          // as sent, without CR LF
        std::map<std::string, std::string> headers;    // names lower-cased; the last of a name wins
        int count(const std::string& lowerName) const; // how many header lines carry this name
    };

    explicit WebhookServer(int status = 200, bool silent = false);
    ~WebhookServer();
    WebhookServer(const WebhookServer&) = delete;
    WebhookServer& operator=(const WebhookServer&) = delete;

    int port() const { return m_port; }
    std::string url(const std::string& path = "/x") const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::vector<Received> requests() const;
    int connections() const;

  private:
    void serve();
    void handle(int fd);

    int m_listen = -1;
    int m_port = 0;
    int m_status;
    bool m_silent;
    int m_wake[2] = {-1, -1};
    std::vector<int> m_held;
    int m_connections = 0;
    std::vector<Received> m_requests;
    mutable std::mutex m_mutex;
    std::thread m_thread;
};

// A port on 127.0.0.1 with nothing listening (bound, then released).
int unusedPort();

} // namespace quillon::testing
