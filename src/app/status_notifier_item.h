#pragma once

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

#include "app/tray_icon.h"

namespace quillon::app {

// One picture as tray hosts read it over D-Bus: ARGB32, not premultiplied, each pixel a 32-bit
// big-endian word (bytes A, R, G, B).
struct SniPixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using SniPixmaps = QList<SniPixmap>;

struct SniToolTip {
    QString iconName;
    SniPixmaps icon;
    QString title;
    QString text;
};

SniPixmap sniPixmap(const QImage& image);
QImage sniImage(const SniPixmap& pixmap); // the reverse, for whoever reads an item

// A call to the bus itself (RequestName, NameHasOwner, ...).
QDBusMessage busDaemonCall(const QString& method);

QDBusArgument& operator<<(QDBusArgument& out, const SniPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& in, SniPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& out, const SniToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& in, SniToolTip& tip);

// The tray item exported on the session bus as org.kde.StatusNotifierItem, so hosts that honour
// its label (GNOME's AppIndicator support, among others) show the title as text beside the icon.
// Every bus call it makes is asynchronous: a slow or hung host never stalls the application.
class StatusNotifierItem : public QObject {
    Q_OBJECT

  public:
    static constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* objectPath = "/StatusNotifierItem";

    explicit StatusNotifierItem(QDBusConnection bus, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // False when the object path could not be taken (another item in this process has it).
    bool exported() const { return m_exported; }
    // The bus name the item registered under; empty until the bus granted it.
    const QString& service() const { return m_service; }

    // Publishes the look; the first one also registers the item with the watcher.
    void setLook(const TrayLook& look);
    // Tells the watcher about the item again (a restarted watcher forgets every item).
    void registerWithWatcher();

    // What the host reads.
    QString label() const { return QString::fromStdString(m_look.title); }
    QString status() const;
    const SniPixmaps& pixmaps() const { return m_pixmaps; }
    SniPixmaps attentionPixmaps() const;
    SniToolTip toolTip() const;

  signals:
    // The host's Activate: what a left click on the icon is.
    void activated();
    // The adaptor's D-Bus signals follow these.
    void labelChanged(const QString& label, const QString& guide);
    void iconChanged();
    void statusChanged(const QString& status);

  private:
    void requestName();
    void sendRegistration();

    QDBusConnection m_bus;
    QString m_wanted;  // org.kde.StatusNotifierItem-<pid>-1
    QString m_service; // what the bus granted (the unique name if the wanted one is taken)
    TrayLook m_look;
    SniPixmaps m_pixmaps;
    bool m_exported = false;
    bool m_hasLook = false;
    bool m_naming = false;
};

} // namespace quillon::app

Q_DECLARE_METATYPE(quillon::app::SniPixmap)
Q_DECLARE_METATYPE(quillon::app::SniToolTip)
