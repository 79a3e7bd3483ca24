#include "tray_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

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
    if (!m_log.open()) return;
    m_process.start(QString::fromUtf8(QUILLON_TRAY_HELPER), {QStringLiteral("notifier"), m_log.fileName()});
    // The service name is taken once "ready" is printed.
    QByteArray out;
    while (!m_started && m_process.waitForReadyRead(10'000))
        m_started = (out += m_process.readAllStandardOutput()).contains("ready");
}

FakeNotifier::~FakeNotifier() {
    m_process.terminate();
    m_process.waitForFinished(5'000);
}

std::vector<nlohmann::json> FakeNotifier::calls() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(m_log.fileName().toStdString());
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(nlohmann::json::parse(line));
    return out;
}

} // namespace quillon::testing
