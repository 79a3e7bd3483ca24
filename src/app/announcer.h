#pragma once

#include <QDBusConnection>
#include <QDBusMessage>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gates/gate.h"
#include "report/snapshot.h"
#include "settings/config.h"

namespace quillon::app {

// Announces each gate and nudge once per run: a freedesktop notification when notifications
// are on, a push when a push address is set. Main thread only.
class Announcer {
  public:
    // Notifications go over `bus`; the session bus unless a test gives another.
    explicit Announcer(QDBusConnection bus = QDBusConnection::sessionBus());

    // Gates first, in their order, then nudges; an id already seen is skipped. An item counts as
    // announced even when both switches are off or nothing could deliver it.
    void notify(const std::vector<Gate>& gates, const std::vector<Nudge>& nudges, const Config& config);

    const std::set<std::string>& notified() const { return m_notified; }

    // The Notify call for one item: signature susssasa{sv}i, summary and body escaped.
    static QDBusMessage notification(std::string_view title, std::string_view body);

    // Notification servers may render a markup subset in the body (and some in the summary):
    // outside text must not bring links or images of its own.
    static QString escapeMarkup(std::string_view text);

  private:
    QDBusConnection m_bus;
    std::set<std::string> m_notified;
};

} // namespace quillon::app
