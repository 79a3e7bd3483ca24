#pragma once

#include <QIcon>
#include <QImage>
#include <QObject>
#include <QRect>
#include <QSystemTrayIcon>

#include <memory>
#include <string>
#include <vector>

#include "gates/gate.h"
#include "report/snapshot.h"
#include "settings/config.h"

namespace quillon::app {

// What the tray shows: one of five states, tested in this order, with its title.
struct TrayLook {
    enum class State { failing, loading, limit, dollars, tokens };
    State state = State::loading;
    std::string title;   // "2 failed", "…", "72%", "$1235", "150K"
    bool orange = false; // the title in orange: a limit at its warning level, or over budget
    friend bool operator==(const TrayLook&, const TrayLook&) = default;

    // The title as drawn into the icon: the count when failing, nothing while loading, else the
    // title shortened to stay readable at 22 px ("12.3M" becomes "12M").
    std::string figure() const;
};

TrayLook trayLook(const Snapshot& snap, const std::vector<Gate>& gates, const Config& config);

// One square picture of the look, size pixels wide: a red octagon with the count when failing,
// the mark while loading, else the figure in white (orange for a warning) on a black tile.
QImage trayPicture(const TrayLook& look, int size);

// The picture at the sizes tray hosts ask for (22 and 24 px, 44 and 48 on dense panels, ...).
QIcon trayIconSet(const TrayLook& look);
inline constexpr int trayIconSizes[] = {16, 22, 24, 32, 44, 48, 64};

class StatusNotifierItem;

// The tray item: the look as its icon, the title as its tool tip and, where the host shows the
// StatusNotifierItem label, as text beside the icon. When a StatusNotifierWatcher is on the
// session bus the item is exported there (Qt's own tray icon has no label); otherwise, and
// without a session bus, it is Qt's tray icon (XEmbed), with the title drawn into the picture.
class TrayIcon : public QObject {
    Q_OBJECT

  public:
    enum class Host { undecided, systemTray, statusNotifier };

    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    void show(const TrayLook& look);
    const TrayLook& look() const { return m_look; }
    // Where the tray placed the icon; empty when the host does not say (StatusNotifierItem).
    QRect geometry() const { return m_host == Host::systemTray ? m_icon.geometry() : QRect(); }
    const QSystemTrayIcon& item() const { return m_icon; }
    // Undecided only until the bus has said whether a watcher is there (one round trip).
    Host host() const { return m_host; }
    const StatusNotifierItem* statusNotifier() const { return m_sni.get(); }

  signals:
    // A plain (left) click on the icon.
    void clicked();

  private slots:
    void hostAppeared();

  private:
    void askForHost();
    void useSystemTray();
    void useStatusNotifier();
    void watcherAppeared();
    void present();

    QSystemTrayIcon m_icon;
    std::unique_ptr<StatusNotifierItem> m_sni;
    TrayLook m_look;
    Host m_host = Host::undecided;
    bool m_shown = false;
};

} // namespace quillon::app
