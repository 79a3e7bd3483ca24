#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillon::testing {

// Runs the event loop until pred holds or the time is up; returns pred's last value.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 10'000);

// Whether a session bus was given to this test (ctest runs these tests under dbus-run-session).
bool haveSessionBus();

// The fake freedesktop notification server (tray_helper notifier) as a child process on the
// session bus; every Notify call it receives is one JSON object.
class FakeNotifier {
  public:
    FakeNotifier();
    ~FakeNotifier();
    FakeNotifier(const FakeNotifier&) = delete;
    FakeNotifier& operator=(const FakeNotifier&) = delete;

    bool started() const { return m_pid > 0; }
    std::vector<nlohmann::json> calls() const;

  private:
    std::string m_log;
    int m_pid = -1;
};

// A real HTTP server on 127.0.0.1 that answers every request with 200 and keeps what it got.
class HttpSink {
  public:
    struct Request {
        std::string method, target, body;
        std::map<std::string, std::string> headers; // names lower-cased
    };

    HttpSink();
    ~HttpSink();
    HttpSink(const HttpSink&) = delete;
    HttpSink& operator=(const HttpSink&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/topic"; }
    std::vector<Request> requests() const;

  private:
    void serve();
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
    std::thread m_thread;
};

// The hostile texts every path that shows outside text is tried with.
struct HostileText {
    const char* name;
    std::string text;
};
std::vector<HostileText> hostileTexts();

} // namespace quillon::testing
