#include "app/announcer.h"

#include <QStringList>
#include <QVariantMap>

#include "app/push_sender.h"

namespace quillon::app {

Announcer::Announcer(QDBusConnection bus) : m_bus(std::move(bus)) {}

QString Announcer::escapeMarkup(std::string_view text) {
    // fromUtf8 turns invalid sequences into U+FFFD, so the server always gets valid UTF-8.
    const QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    QString out;
    out.reserve(s.size());
    for (QChar c : s) {
        if (c == u'&')
            out += QStringLiteral("&amp;");
        else if (c == u'<')
            out += QStringLiteral("&lt;");
        else if (c == u'>')
            out += QStringLiteral("&gt;");
        else
            out += c;
    }
    return out;
}

QDBusMessage Announcer::notification(std::string_view title, std::string_view body) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quillon"));
    call << QStringLiteral("Quillon") // app_name
         << static_cast<uint>(0)      // replaces_id: a new notification
         << QStringLiteral("quillon") // app_icon
         << escapeMarkup(title)       // summary
         << escapeMarkup(body)        // body
         << QStringList()             // actions
         << hints                     // hints
         << static_cast<int>(-1);     // expire_timeout: the server's default
    return call;
}

void Announcer::notify(const std::vector<Gate>& gates, const std::vector<Nudge>& nudges,
                       const Config& config) {
    struct Item {
        const std::string& id;
        const std::string& title;
        const std::string& body;
    };
    std::vector<Item> items;
    items.reserve(gates.size() + nudges.size());
    for (const Gate& g : gates)
        items.push_back({g.id, g.title, g.detail});
    for (const Nudge& n : nudges)
        items.push_back({n.id, n.title, n.detail});

    for (const Item& item : items) {
        if (!m_notified.insert(item.id).second) continue;
        // Fire and forget: send() never waits, and an error answer (no server) is dropped.
        if (config.notifications && m_bus.isConnected()) m_bus.send(notification(item.title, item.body));
        if (!config.pushURL.empty()) Push::send(config.pushURL, item.title, item.body);
    }
}

} // namespace quillon::app
