#include "tray_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <spawn.h>
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

} // namespace quillon::testing
