#pragma once

#include <functional>
#include <string>
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

} // namespace quillon::testing
