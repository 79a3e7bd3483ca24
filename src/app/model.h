#pragma once

#include <QObject>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gates/gate.h"
#include "report/snapshot.h"
#include "settings/clock.h"
#include "settings/config.h"

namespace quillon::app {

// The one observable object between the application's logic and its panel. Every assignment of an
// observed field emits `changed` once, after the new value is in place (whether or not it differs),
// so observers read the new state. Main thread only.
//
// The model reads nothing from the system: its creator sets config, showSettings,
// claudeConnected and startAtLogin after construction.
class Model : public QObject {
    Q_OBJECT

  public:
    explicit Model(Instant now = currentInstant(), QObject* parent = nullptr);

    const Snapshot& snap() const { return m_snap; }
    const std::vector<Gate>& gates() const { return m_gates; }
    const std::optional<std::string>& note() const { return m_note; }
    const Config& config() const { return m_config; }
    bool startAtLogin() const { return m_startAtLogin; }
    bool showSettings() const { return m_showSettings; }
    bool claudeConnected() const { return m_claudeConnected; }
    bool showConnect() const { return m_showConnect; }
    bool showMonth() const { return m_showMonth; }
    const std::optional<std::string>& connectError() const { return m_connectError; }
    const std::optional<std::string>& pushStatus() const { return m_pushStatus; }

    void setSnap(Snapshot value) { assign(m_snap, std::move(value)); }
    void setGates(std::vector<Gate> value) { assign(m_gates, std::move(value)); }
    void setNote(std::optional<std::string> value) { assign(m_note, std::move(value)); }
    void setConfig(Config value) { assign(m_config, std::move(value)); }
    void setStartAtLogin(bool value) { assign(m_startAtLogin, value); }
    void setShowSettings(bool value) { assign(m_showSettings, value); }
    void setClaudeConnected(bool value) { assign(m_claudeConnected, value); }
    void setShowConnect(bool value) { assign(m_showConnect, value); }
    void setShowMonth(bool value) { assign(m_showMonth, value); }
    void setConnectError(std::optional<std::string> value) { assign(m_connectError, std::move(value)); }
    void setPushStatus(std::optional<std::string> value) { assign(m_pushStatus, std::move(value)); }

    // Callbacks the application installs; replacing one announces nothing.
    std::function<void(const Gate&)> onDismiss = [](const Gate&) {};
    // A refresh that may ask GitHub.
    std::function<void()> onRefresh = [] {};
    // config was edited (the application saves it and hands it on).
    std::function<void()> onConfigChange = [] {};
    // true: connect Claude Code's status line; false: disconnect it.
    std::function<void(bool)> onConnectClaude = [](bool) {};
    // Registers (true) or removes (false) the log-in entry; returns whether it is enabled afterwards.
    std::function<bool(bool)> onStartAtLogin = [](bool) { return false; };

  signals:
    void changed();

  private:
    template <class T> void assign(T& field, T value) {
        field = std::move(value);
        emit changed();
    }

    Snapshot m_snap;
    std::vector<Gate> m_gates;
    std::optional<std::string> m_note;
    Config m_config;
    bool m_startAtLogin = false;
    bool m_showSettings = false;
    bool m_claudeConnected = false;
    bool m_showConnect = false;
    bool m_showMonth = false;
    std::optional<std::string> m_connectError;
    std::optional<std::string> m_pushStatus;
};

} // namespace quillon::app
