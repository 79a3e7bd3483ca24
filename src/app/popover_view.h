#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/push_sender.h"
#include "gates/gate.h"
#include "limits/limit_view.h"
#include "report/snapshot.h"
#include "settings/config.h"

class QBoxLayout;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace quillon::app {

class Model;

// Text that came from outside (logs, tools, pull requests, alert files) made fit for a plain-text
// label: invalid UTF-8 shows as U+FFFD, CR LF and CR become line breaks, other control characters
// and the bidirectional embedding, override and isolate characters (which could reorder what the
// user reads) show as U+FFFD, and a zero-width space goes into very long unbroken runs so that
// they wrap instead of widening the panel.
QString plainText(std::string_view text);

// What a gate's "Open" does with its link: only http and https addresses are opened, only
// absolute paths (or file: addresses) of existing files are revealed; anything else does nothing.
struct LinkTarget {
    enum class Action { none, open, reveal };
    Action action = Action::none;
    QUrl url;     // for open
    QString path; // for reveal
};
LinkTarget linkTarget(std::string_view link);

// A link as "Copy link" puts it on the clipboard: without control characters, so a pasted link
// cannot carry a line break into a terminal.
QString clipboardText(std::string_view link);

// The colours of the panel, from the running style's palette, with fixed tones for the colours a
// palette does not carry (red, orange, green), chosen for the light or dark theme.
struct Tones {
    bool dark = false;
    QColor window, primary, secondary, accent, red, orange, green, grey;
};
Tones tonesFor(const QPalette& palette);

// What the panel asks of the desktop. Replaceable, so tests can watch the actions without a
// browser, file manager or network.
struct DesktopActions {
    std::function<void(const QUrl&)> openUrl;
    std::function<void(const QString& path)> reveal;
    std::function<void(const QString& path)> openFolder;
    std::function<void(const QString& text)> copy;
    std::function<void()> quit;
    std::function<void(const std::string& to, const std::string& title, const std::string& body,
                       Push::Done done)>
        sendPush;

    // The real ones: default browser, the file manager over D-Bus (else the containing folder),
    // the clipboard, the application's quit and Push::send.
    static DesktopActions system();
};

// The popup panel: gates, plan limits, today, sessions and the footer with the settings, drawn from
// the model and redrawn on its every change. 400 px wide; its height follows its content
// (heightForWidth). The same widgets are drawn into pictures by --render.
class PopoverView : public QWidget {
    Q_OBJECT

  public:
    static constexpr int width = 400;
    // The rows of the settings block (defined where they are tabled).
    struct NumberRow;
    struct FlagRow;

    explicit PopoverView(Model& model, QWidget* parent = nullptr);
    ~PopoverView() override;

    Model& model() const { return m_model; }
    DesktopActions& actions() { return m_actions; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int w) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // A type size as the design gives it, on the scale of the platform's own font (whose
    // ordinary text counts as 13).
    QFont typeFace(double size, QFont::Weight weight = QFont::Normal) const;
    // The same size for a style sheet or rich text ("9.23pt" or "12px").
    QString cssSize(double size) const;

  protected:
    void changeEvent(QEvent* event) override;

  private:
    struct GatesKey;
    struct LimitsKey;
    struct TodayKey;
    struct SessionsKey;

    void sync();
    void rebuildAll();
    void buildGates();
    void buildLimits();
    void buildToday();
    void buildSessions();
    void buildFooter();
    void syncFooter();
    QWidget* buildSettings();
    void commitNumber(const NumberRow& row, std::int64_t shown);
    void openLink(const std::string& link);

    QLabel* label(const QString& text, double size, const QColor& colour,
                  QFont::Weight weight = QFont::Normal, const char* name = nullptr) const;
    QPushButton* button(const QString& text, double size, const char* name) const;
    // Replaces the content of a section host with a fresh, empty column.
    QVBoxLayout* freshColumn(QWidget* host, int spacing, QWidget** content);

    Model& m_model;
    DesktopActions m_actions;
    Tones m_tones;
    QFont m_baseFont;
    bool m_building = false;

    QWidget* m_gatesSection = nullptr;
    QWidget* m_limitsSection = nullptr;
    QWidget* m_todaySection = nullptr;
    QWidget* m_sessionsSection = nullptr;
    QWidget* m_footer = nullptr;
    QWidget* m_gatesContent = nullptr;
    QWidget* m_limitsContent = nullptr;
    QWidget* m_todayContent = nullptr;
    QWidget* m_sessionsContent = nullptr;
    QWidget* m_footerContent = nullptr;

    std::unique_ptr<GatesKey> m_gatesKey;
    std::unique_ptr<LimitsKey> m_limitsKey;
    std::unique_ptr<TodayKey> m_todayKey;
    std::unique_ptr<SessionsKey> m_sessionsKey;

    // Footer widgets, kept across changes so typing in a field never loses its focus.
    QLabel* m_note = nullptr;
    QCheckBox* m_startAtLogin = nullptr;
    QToolButton* m_settingsToggle = nullptr;
    QWidget* m_settingsBlock = nullptr;
    QLineEdit* m_pushURL = nullptr;
    QLabel* m_pushStatus = nullptr;
    QPushButton* m_disconnect = nullptr;
    std::vector<std::pair<const NumberRow*, QLineEdit*>> m_numberFields;
    std::vector<std::pair<const FlagRow*, QCheckBox*>> m_flagBoxes;
};

} // namespace quillon::app
