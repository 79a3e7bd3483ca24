#pragma once

#include <QProcess>
#include <QTemporaryFile>

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

    bool started() const { return m_started; }
    std::vector<nlohmann::json> calls() const;

  private:
    QTemporaryFile m_log;
    QProcess m_process;
    bool m_started = false;
};

} // namespace quillon::testing
