#include "app/popover_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "app/bar_chart.h"
#include "app/model.h"
#include "settings/disk.h"
#include "settings/format.h"

namespace quillon::app {

struct PopoverView::NumberRow {
    const char* name;
    const char* label;
    std::int64_t Config::*field;
    std::int64_t scale;
    const char* suffix;
    std::int64_t step, low, high;
};

struct PopoverView::FlagRow {
    const char* name;
    const char* label;
    bool Config::*field;
};

struct PopoverView::GatesKey {
    std::vector<Gate> gates;
    Instant scannedAt;
    friend bool operator==(const GatesKey&, const GatesKey&) = default;
};

struct PopoverView::LimitsKey {
    std::vector<LimitView> limits;
    bool watchClaude, claudeConnected, showConnect;
    std::optional<std::string> connectError;
    friend bool operator==(const LimitsKey&, const LimitsKey&) = default;
};

struct PopoverView::TodayKey {
    bool ready, readFailed, monthReady, overBudget, showMonth;
    DayReport today;
    std::vector<DayReport> week, month;
    std::int64_t dailyBudget;
    friend bool operator==(const TodayKey&, const TodayKey&) = default;
};

struct PopoverView::SessionsKey {
    std::vector<SessionReport> sessions;
    Instant scannedAt;
    friend bool operator==(const SessionsKey&, const SessionsKey&) = default;
};

namespace {

using NumberRow = PopoverView::NumberRow;
using FlagRow = PopoverView::FlagRow;

// Longest run of characters without a break opportunity before a zero-width space goes in.
constexpr int kLongRun = 24;

bool isBidiControl(char16_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool isControl(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

QColor mix(const QColor& a, const QColor& b, double share) {
    return QColor::fromRgbF(static_cast<float>(a.redF() * share + b.redF() * (1 - share)),
                            static_cast<float>(a.greenF() * share + b.greenF() * (1 - share)),
                            static_cast<float>(a.blueF() * share + b.blueF() * (1 - share)));
}

QString hexOf(const QColor& c) {
    return c.name(QColor::HexRgb);
}

void paintText(QWidget* w, const QColor& colour) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::ButtonText, colour);
    p.setColor(QPalette::Text, colour);
    w->setPalette(p);
}

// Whole percent, safe for any double (NaN and infinities included).
long long wholePercent(double value) {
    if (!std::isfinite(value)) return 0;
    return static_cast<long long>(std::clamp(value, -1e12, 1e12));
}

// A card with a rounded, lightly tinted background.
class Card : public QFrame {
  public:
    Card(QColor fill, double radius, QWidget* parent = nullptr)
        : QFrame(parent), m_fill(fill), m_radius(radius) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(Qt::NoPen);
        p.setBrush(m_fill);
        p.drawRoundedRect(QRectF(rect()), m_radius, m_radius);
    }

  private:
    QColor m_fill;
    double m_radius;
};

// A thin progress bar with total 100: a rounded track and a tinted fill.
class LimitBar : public QWidget {
  public:
    LimitBar(double value, QColor tint, QColor track, QWidget* parent = nullptr)
        : QWidget(parent), m_value(std::isfinite(value) ? std::clamp(value, 0.0, 100.0) : 0), m_tint(tint),
          m_track(track) {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setFixedHeight(6);
        setProperty("value", m_value);
        setProperty("tint", m_tint);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(Qt::NoPen);
        const QRectF r(rect());
        const double radius = r.height() / 2;
        p.setBrush(m_track);
        p.drawRoundedRect(r, radius, radius);
        if (m_value > 0) {
            p.setBrush(m_tint);
            p.drawRoundedRect(
                QRectF(r.x(), r.y(), std::max(r.height(), r.width() * m_value / 100), r.height()), radius,
                radius);
        }
    }

  private:
    double m_value;
    QColor m_tint, m_track;
};

// Up and down arrows that step a number row.
QWidget* stepper(QWidget* parent, const char* name, std::function<void(int)> step) {
    auto* box = new QWidget(parent);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    for (int direction : {1, -1}) {
        auto* arrow = new QToolButton(box);
        arrow->setArrowType(direction > 0 ? Qt::UpArrow : Qt::DownArrow);
        arrow->setAutoRepeat(true);
        arrow->setFixedSize(16, 11);
        arrow->setFocusPolicy(Qt::NoFocus);
        arrow->setObjectName(QString::fromLatin1(name) +
                             (direction > 0 ? QStringLiteral("Up") : QStringLiteral("Down")));
        arrow->setAccessibleName(direction > 0 ? QStringLiteral("Increase") : QStringLiteral("Decrease"));
        QObject::connect(arrow, &QToolButton::clicked, box, [step, direction] { step(direction); });
        column->addWidget(arrow);
    }
    return box;
}

const NumberRow kWarningNumbers[] = {
    {"historyCeiling", "Say \"compact now\" when history passes", &Config::historyCeiling, 1000, "K", 25, 25,
     2000},
    {"floorWarning", "Flag a session that starts above", &Config::floorWarning, 1000, "K", 10, 10, 1000},
    {"dailyBudget", "Daily token budget", &Config::dailyBudget, 1'000'000, "M", 50, 10, 20000},
    {"stallMinutes", "Alert when stopped on a failure for", &Config::stallMinutes, 1, "min", 5, 1, 240},
    {"limitWarnPercent", "Warn me when a plan limit passes", &Config::limitWarnPercent, 1, "%", 5, 10, 100},
};
const NumberRow kWaitMinutes = {"waitMinutes", "...for this long", &Config::waitMinutes, 1, "min", 5, 1, 240};
const FlagRow kNotifyWaiting = {"notifyWaiting", "Tell me when a session has a tool call pending",
                                &Config::notifyWaiting};
const FlagRow kWatchFlags[] = {
    {"watchClaude", "Claude Code sessions", &Config::watchClaude},
    {"watchCodex", "Codex sessions", &Config::watchCodex},
    {"watchGitHub", "Pull request checks on GitHub", &Config::watchGitHub},
};
const FlagRow kFailFlags[] = {
    {"redBorder", "Red frame around the screen", &Config::redBorder},
    {"notifications", "Send a notification", &Config::notifications},
};
const FlagRow kMenuBarFlags[] = {
    {"menuBarLimit", "Show my most-used plan limit", &Config::menuBarLimit},
    {"menuBarDollars", "Otherwise show estimated dollars, not tokens", &Config::menuBarDollars},
};

void revealOverDBus(const QString& path, std::function<void(const QString&)> fallback) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString folder = QFileInfo(path).absolutePath();
    if (!bus.isConnected()) {
        fallback(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [watcher, folder, fallback](QDBusPendingCallWatcher*) {
                         if (watcher->isError()) fallback(folder);
                         watcher->deleteLater();
                     });
}

} // namespace

QString plainText(std::string_view text) {
    const QString in = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    QString out;
    out.reserve(in.size() + in.size() / kLongRun + 1);
    int run = 0;
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char16_t c = in[i].unicode();
        if (c == u'\r') {
            if (i + 1 < in.size() && in[i + 1] == u'\n') continue;
            out += u'\n';
            run = 0;
            continue;
        }
        if (c == u'\n' || c == u'\t' || c == u' ') {
            out += QChar(c);
            run = 0;
            continue;
        }
        if (isControl(c) || isBidiControl(c)) {
            out += QChar(0xFFFD);
        } else {
            out += QChar(c);
        }
        if (QChar::isSpace(c)) {
            run = 0;
            continue;
        }
        // Break long runs only between whole characters: never inside a surrogate pair or
        // before a combining mark.
        if (++run >= kLongRun && !QChar::isHighSurrogate(c) && i + 1 < in.size()) {
            const QChar next = in[i + 1];
            const auto category = next.category();
            if (!next.isLowSurrogate() && category != QChar::Mark_NonSpacing &&
                category != QChar::Mark_SpacingCombining && category != QChar::Mark_Enclosing) {
                out += QChar(0x200B);
                run = 0;
            }
        }
    }
    return out;
}

LinkTarget linkTarget(std::string_view link) {
    LinkTarget target;
    const QString text = QString::fromUtf8(link.data(), static_cast<qsizetype>(link.size())).trimmed();
    if (text.isEmpty()) return target;
    const QUrl url(text, QUrl::StrictMode);
    if (url.isValid()) {
        const QString scheme = url.scheme().toLower();
        if ((scheme == u"http" || scheme == u"https") && !url.host().isEmpty()) {
            target.action = LinkTarget::Action::open;
            target.url = url;
            return target;
        }
    }
    QString path;
    if (url.isValid() && url.isLocalFile())
        path = url.toLocalFile();
    else if (QDir::isAbsolutePath(text) && !text.startsWith(u':'))
        path = text;
    if (!path.isEmpty() && !path.contains(QChar(0)) && QFileInfo::exists(path)) {
        target.action = LinkTarget::Action::reveal;
        target.path = QFileInfo(path).absoluteFilePath();
    }
    return target;
}

QString clipboardText(std::string_view link) {
    const QString in = QString::fromUtf8(link.data(), static_cast<qsizetype>(link.size()));
    QString out;
    out.reserve(in.size());
    for (QChar c : in)
        if (!isControl(c.unicode()) && !isBidiControl(c.unicode())) out += c;
    return out.trimmed();
}

Tones tonesFor(const QPalette& palette) {
    Tones t;
    t.window = palette.color(QPalette::Window);
    t.primary = palette.color(QPalette::WindowText);
    t.dark = t.window.lightnessF() < 0.5;
    t.secondary = mix(t.primary, t.window, 0.6);
    t.accent = palette.color(QPalette::Highlight);
    // A greyish or invisible highlight makes a poor accent; fall back to a plain blue.
    if (!t.accent.isValid() || t.accent.hslSaturationF() < 0.2 ||
        std::abs(t.accent.lightnessF() - t.window.lightnessF()) < 0.15)
        t.accent = t.dark ? QColor(0x4D, 0xA3, 0xFF) : QColor(0x1F, 0x6F, 0xD1);
    t.red = t.dark ? QColor(0xFF, 0x6B, 0x6B) : QColor(0xC9, 0x30, 0x2C);
    t.orange = t.dark ? QColor(0xFF, 0xA9, 0x4D) : QColor(0xC2, 0x51, 0x00);
    t.green = t.dark ? QColor(0x6C, 0xD1, 0x7F) : QColor(0x2E, 0x7D, 0x32);
    t.grey = t.dark ? QColor(0x98, 0x98, 0x9D) : QColor(0x6E, 0x6E, 0x73);
    return t;
}

DesktopActions DesktopActions::system() {
    DesktopActions a;
    a.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    a.openFolder = [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
    a.reveal = [open = a.openFolder](const QString& path) { revealOverDBus(path, open); };
    a.copy = [](const QString& text) {
        if (QClipboard* clipboard = QGuiApplication::clipboard()) {
            clipboard->clear();
            clipboard->setText(text);
        }
    };
    a.quit = [] { QCoreApplication::quit(); };
    a.sendPush = [](const std::string& to, const std::string& title, const std::string& body,
                    Push::Done done) { Push::send(to, title, body, std::move(done)); };
    return a;
}

PopoverView::PopoverView(Model& model, QWidget* parent)
    : QWidget(parent), m_model(model), m_actions(DesktopActions::system()) {
    setObjectName(QStringLiteral("popoverView"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);

    auto* body = new QVBoxLayout(this);
    body->setContentsMargins(14, 12, 14, 12);
    body->setSpacing(14);
    const auto host = [&](const char* name) {
        auto* w = new QWidget(this);
        w->setObjectName(QString::fromLatin1(name));
        auto* column = new QVBoxLayout(w);
        column->setContentsMargins(0, 0, 0, 0);
        body->addWidget(w);
        return w;
    };
    m_gatesSection = host("gatesSection");
    m_limitsSection = host("limitsSection");
    m_todaySection = host("todaySection");
    m_sessionsSection = host("sessionsSection");
    m_footer = host("footer");
    body->addStretch(1);

    connect(&m_model, &Model::changed, this, &PopoverView::sync);
    rebuildAll();
}

PopoverView::~PopoverView() = default;

int PopoverView::heightForWidth(int w) const {
    const int h = layout()->totalHeightForWidth(w);
    return h >= 0 ? h : layout()->totalSizeHint().height();
}

QSize PopoverView::sizeHint() const {
    return {width, heightForWidth(width)};
}

QSize PopoverView::minimumSizeHint() const {
    return {width, 0};
}

QFont PopoverView::typeFace(double size, QFont::Weight weight) const {
    QFont f = m_baseFont;
    if (m_baseFont.pointSizeF() > 0)
        f.setPointSizeF(size * m_baseFont.pointSizeF() / 13.0);
    else if (m_baseFont.pixelSize() > 0)
        f.setPixelSize(std::max(1, static_cast<int>(std::lround(size * m_baseFont.pixelSize() / 13.0))));
    f.setWeight(weight);
    return f;
}

QString PopoverView::cssSize(double size) const {
    const QFont f = typeFace(size);
    if (f.pointSizeF() > 0) return QString::number(f.pointSizeF(), 'f', 2) + QStringLiteral("pt");
    return QString::number(f.pixelSize()) + QStringLiteral("px");
}

void PopoverView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (!m_footer) return;
    switch (event->type()) {
    case QEvent::PaletteChange:
    case QEvent::FontChange:
    case QEvent::StyleChange:
    case QEvent::ApplicationPaletteChange:
    case QEvent::ApplicationFontChange:
        if (!m_building) rebuildAll();
        break;
    default:
        break;
    }
}

QLabel* PopoverView::label(const QString& text, double size, const QColor& colour, QFont::Weight weight,
                           const char* name) const {
    auto* l = new QLabel;
    // Never let Qt guess rich text: much of what is shown was written by someone else.
    l->setTextFormat(Qt::PlainText);
    l->setTextInteractionFlags(Qt::NoTextInteraction);
    l->setWordWrap(true);
    l->setFont(typeFace(size, weight));
    paintText(l, colour);
    l->setText(text);
    if (name) l->setObjectName(QString::fromLatin1(name));
    return l;
}

QPushButton* PopoverView::button(const QString& text, double size, const char* name) const {
    auto* b = new QPushButton(text);
    b->setFont(typeFace(size));
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

QVBoxLayout* PopoverView::freshColumn(QWidget* host, int spacing, QWidget** content) {
    if (*content) {
        // The old widgets may be in the middle of delivering the click that led here.
        QWidget* old = *content;
        host->layout()->removeWidget(old);
        old->hide();
        old->setParent(nullptr);
        old->deleteLater();
    }
    auto* fresh = new QWidget(host);
    auto* column = new QVBoxLayout(fresh);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(spacing);
    host->layout()->addWidget(fresh);
    *content = fresh;
    return column;
}

void PopoverView::rebuildAll() {
    m_building = true;
    m_baseFont = font();
    m_tones = tonesFor(palette());
    m_gatesKey.reset();
    m_limitsKey.reset();
    m_todayKey.reset();
    m_sessionsKey.reset();
    buildFooter();
    m_building = false;
    sync();
}

void PopoverView::sync() {
    const Model& m = m_model;
    const Snapshot& snap = m.snap();
    const Config& config = m.config();

    GatesKey gates{m.gates(), snap.scannedAt};
    if (!m_gatesKey || !(*m_gatesKey == gates)) {
        m_gatesKey = std::make_unique<GatesKey>(std::move(gates));
        buildGates();
    }
    LimitsKey limits{snap.limits, config.watchClaude, m.claudeConnected(), m.showConnect(), m.connectError()};
    if (!m_limitsKey || !(*m_limitsKey == limits)) {
        m_limitsKey = std::make_unique<LimitsKey>(std::move(limits));
        buildLimits();
    }
    TodayKey today{snap.ready, snap.readFailed, snap.monthReady, snap.overBudget,   m.showMonth(),
                   snap.today, snap.week,       snap.month,      config.dailyBudget};
    if (!m_todayKey || !(*m_todayKey == today)) {
        m_todayKey = std::make_unique<TodayKey>(std::move(today));
        buildToday();
    }
    SessionsKey sessions{snap.sessions, snap.scannedAt};
    if (!m_sessionsKey || !(*m_sessionsKey == sessions)) {
        m_sessionsKey = std::make_unique<SessionsKey>(std::move(sessions));
        buildSessions();
    }
    syncFooter();
    // New content is shown now, with everything in it, rather than on the next turn of the event
    // loop: the fitting height is right as soon as the model's change has been handled.
    for (QWidget* content :
         {m_gatesContent, m_limitsContent, m_todayContent, m_sessionsContent, m_footerContent})
        if (content && content->isHidden()) content->show();

    const bool settings = m.showSettings();
    const bool limitsShown = !snap.limits.empty() || (config.watchClaude && !m.claudeConnected());
    m_gatesSection->setVisible(!m.gates().empty());
    m_limitsSection->setVisible(!settings && limitsShown);
    m_todaySection->setVisible(!settings);
    m_sessionsSection->setVisible(!settings);
    m_footer->setVisible(true);
    updateGeometry();
}

void PopoverView::buildGates() {
    QVBoxLayout* column = freshColumn(m_gatesSection, 6, &m_gatesContent);
    const std::vector<Gate>& gates = m_model.gates();
    if (gates.empty()) return;
    const Instant now = currentInstant();

    column->addWidget(label(QString::number(gates.size()) + QStringLiteral(" failed, waiting on you"), 13,
                            m_tones.red, QFont::DemiBold, "gatesHeading"));

    QColor fill = m_tones.red;
    fill.setAlphaF(0.12f);
    const std::size_t shown = std::min<std::size_t>(gates.size(), 4);
    for (std::size_t i = 0; i < shown; ++i) {
        const Gate& gate = gates[i];
        auto* card = new Card(fill, 6);
        card->setObjectName(QStringLiteral("gateCard"));
        card->setProperty("gateId", QString::fromStdString(gate.id));
        auto* inside = new QVBoxLayout(card);
        inside->setContentsMargins(8, 8, 8, 8);
        inside->setSpacing(2);
        inside->addWidget(label(plainText(gate.title), 12, m_tones.primary, QFont::DemiBold, "gateTitle"));
        if (!gate.detail.empty())
            inside->addWidget(
                label(plainText(gate.detail), 11, m_tones.secondary, QFont::Normal, "gateDetail"));
        QString meta = QString::fromStdString(fmtAgo(gate.since, now));
        if (gate.hint) meta += QStringLiteral(" · ") + plainText(*gate.hint);
        inside->addWidget(label(meta, 10, m_tones.secondary, QFont::Normal, "gateMeta"));

        auto* buttons = new QHBoxLayout;
        buttons->setContentsMargins(0, 4, 0, 0);
        buttons->setSpacing(6);
        buttons->addStretch(1);
        if (gate.link) {
            const std::string link = *gate.link;
            QPushButton* copy = button(QStringLiteral("Copy link"), 11, "copyLinkButton");
            connect(copy, &QPushButton::clicked, this, [this, link] {
                if (m_actions.copy) m_actions.copy(clipboardText(link));
            });
            QPushButton* open = button(QStringLiteral("Open"), 11, "openButton");
            connect(open, &QPushButton::clicked, this, [this, link] { openLink(link); });
            buttons->addWidget(copy);
            buttons->addWidget(open);
        }
        QPushButton* dismiss = button(QStringLiteral("Dismiss"), 11, "dismissButton");
        connect(dismiss, &QPushButton::clicked, this, [this, gate] { m_model.onDismiss(gate); });
        buttons->addWidget(dismiss);
        inside->addLayout(buttons);
        column->addWidget(card);
    }
    if (gates.size() >= 2) {
        auto* row = new QHBoxLayout;
        row->setContentsMargins(0, 0, 0, 0);
        QPushButton* all = button(QStringLiteral("Dismiss all"), 11, "dismissAllButton");
        connect(all, &QPushButton::clicked, this, [this] {
            // A copy: each dismissal may publish a new gate list while this loop runs.
            const std::vector<Gate> pending = m_model.gates();
            for (const Gate& gate : pending)
                m_model.onDismiss(gate);
        });
        row->addStretch(1);
        row->addWidget(all);
        column->addLayout(row);
    }
}

void PopoverView::openLink(const std::string& link) {
    const LinkTarget target = linkTarget(link);
    switch (target.action) {
    case LinkTarget::Action::open:
        if (m_actions.openUrl) m_actions.openUrl(target.url);
        break;
    case LinkTarget::Action::reveal:
        if (m_actions.reveal) m_actions.reveal(target.path);
        break;
    case LinkTarget::Action::none:
        break;
    }
}

void PopoverView::buildLimits() {
    QVBoxLayout* column = freshColumn(m_limitsSection, 7, &m_limitsContent);
    const Model& m = m_model;
    column->addWidget(
        label(QStringLiteral("Plan limits"), 12, m_tones.primary, QFont::DemiBold, "limitsHeading"));

    QColor track = m_tones.secondary;
    track.setAlphaF(0.25f);
    for (const LimitView& v : m.snap().limits) {
        auto* row = new QWidget;
        row->setObjectName(QStringLiteral("limitRow"));
        auto* lines = new QVBoxLayout(row);
        lines->setContentsMargins(0, 0, 0, 0);
        lines->setSpacing(4);

        auto* top = new QHBoxLayout;
        top->setSpacing(8);
        QLabel* name = label(plainText(v.tool) + QStringLiteral(" · ") + plainText(v.label), 12,
                             m_tones.primary, QFont::Medium, "limitName");
        QLabel* figure = label(QString::number(wholePercent(v.usedPercent)) + QStringLiteral("% · ") +
                                   plainText(v.resetText),
                               11, m_tones.secondary, QFont::Normal, "limitFigure");
        figure->setWordWrap(false);
        figure->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        top->addWidget(name, 1);
        top->addWidget(figure, 0, Qt::AlignRight | Qt::AlignVCenter);
        lines->addLayout(top);

        const QColor tint = v.level == 2 ? m_tones.red : v.level == 1 ? m_tones.orange : m_tones.accent;
        auto* bar = new LimitBar(v.usedPercent, tint, track);
        bar->setObjectName(QStringLiteral("limitBar"));
        lines->addWidget(bar);
        if (!v.forecast.empty())
            lines->addWidget(label(plainText(v.forecast), 11,
                                   v.level > 0 ? m_tones.orange : m_tones.secondary, QFont::Normal,
                                   "limitForecast"));
        if (v.top)
            lines->addWidget(label(plainText(*v.top), 10, m_tones.secondary, QFont::Normal, "limitTop"));
        column->addWidget(row);
    }

    if (m.config().watchClaude && !m.claudeConnected()) {
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        row->addWidget(label(QStringLiteral("Claude Code limits are not connected."), 11, m_tones.secondary,
                             QFont::Normal, "notConnectedLabel"),
                       1);
        QPushButton* toggle = button(m.showConnect() ? QStringLiteral("Cancel") : QStringLiteral("Connect"),
                                     11, "connectButton");
        connect(toggle, &QPushButton::clicked, this, [this] {
            m_model.setShowConnect(!m_model.showConnect());
            m_model.setConnectError(std::nullopt);
        });
        row->addWidget(toggle, 0, Qt::AlignVCenter);
        column->addLayout(row);
    }
    if (m.showConnect()) {
        column->addWidget(
            label(QStringLiteral("Claude Code only gives its plan limits to a status line. Connecting "
                                 "sets Quillon as the status line in ~/.claude/settings.json. If you "
                                 "already have a status line, it keeps showing. A backup of the file is "
                                 "saved first, and you can disconnect in Settings."),
                  10, m_tones.secondary, QFont::Normal, "connectExplanation"));
        auto* row = new QHBoxLayout;
        QPushButton* now = button(QStringLiteral("Connect now"), 11, "connectNowButton");
        connect(now, &QPushButton::clicked, this, [this] { m_model.onConnectClaude(true); });
        row->addWidget(now);
        row->addStretch(1);
        column->addLayout(row);
        if (m.connectError())
            column->addWidget(
                label(plainText(*m.connectError()), 10, m_tones.red, QFont::Normal, "connectErrorLabel"));
    }

    auto* divider = new QFrame;
    divider->setObjectName(QStringLiteral("limitsDivider"));
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    QColor line = m_tones.secondary;
    line.setAlphaF(0.35f);
    paintText(divider, line);
    column->addSpacing(2);
    column->addWidget(divider);
}

void PopoverView::buildToday() {
    QVBoxLayout* column = freshColumn(m_todaySection, 6, &m_todayContent);
    const Model& m = m_model;
    const Snapshot& snap = m.snap();
    const Config& config = m.config();

    if (snap.readFailed) {
        column->addWidget(label(QStringLiteral("No Claude Code or Codex logs found on this computer."), 12,
                                m_tones.orange, QFont::Normal, "todayStatus"));
        return;
    }
    if (!snap.ready) {
        column->addWidget(label(QStringLiteral("Reading the last week of logs…"), 12, m_tones.secondary,
                                QFont::Normal, "todayStatus"));
        return;
    }

    // Our own figures only, so rich text is safe here; it puts three sizes on one baseline.
    const auto span = [this](const QString& text, double size, const QColor& colour, int weight) {
        return QStringLiteral("<span style=\"font-size:%1; font-weight:%2; color:%3;\">%4</span>")
            .arg(cssSize(size))
            .arg(weight)
            .arg(hexOf(colour), text.toHtmlEscaped());
    };
    const QColor figureColour = snap.overBudget ? m_tones.orange : m_tones.primary;
    QString figure = span(QString::fromStdString(fmtTokens(snap.today.tokens)), 26, figureColour, 600) +
                     QStringLiteral("&nbsp;") +
                     span(QStringLiteral("tokens today"), 13, m_tones.secondary, 400) +
                     QStringLiteral("&nbsp;&nbsp; ") +
                     span(QString::fromStdString(format("~$%.0f at list price", snap.today.usd)), 11,
                          m_tones.secondary, 400);
    auto* figureLabel = new QLabel;
    figureLabel->setObjectName(QStringLiteral("todayFigure"));
    figureLabel->setTextFormat(Qt::RichText);
    figureLabel->setTextInteractionFlags(Qt::NoTextInteraction);
    figureLabel->setWordWrap(true);
    figureLabel->setFont(typeFace(13));
    figureLabel->setProperty("figureColour", figureColour);
    figureLabel->setText(figure);
    column->addWidget(figureLabel);

    const double share = snap.today.turns > 0 ? 100.0 * static_cast<double>(snap.today.sideTurns) /
                                                    static_cast<double>(snap.today.turns)
                                              : 0.0;
    column->addWidget(label(QString::fromStdString(format("%lld turns · %.0f%% by subagents · budget %s",
                                                          static_cast<long long>(snap.today.turns), share,
                                                          fmtTokens(config.dailyBudget).c_str())),
                            11, m_tones.secondary, QFont::Normal, "turnsLine"));

    const std::vector<DayReport>& days = m.showMonth() ? snap.month : snap.week;
    auto* chart = new BarChart(days, config.dailyBudget, {m_tones.orange, m_tones.accent, m_tones.secondary},
                               typeFace(9));
    chart->setObjectName(QStringLiteral("barChart"));
    column->addSpacing(4);
    column->addWidget(chart);

    if (m.showMonth()) {
        if (snap.monthReady) {
            std::int64_t allTokens = 0, monthTokens = 0;
            double allUsd = 0, monthUsd = 0;
            const std::string thisMonth = snap.today.day.substr(0, 7);
            for (const DayReport& d : snap.month) {
                allTokens += d.tokens;
                allUsd += d.usd;
                if (thisMonth.size() == 7 && d.day.compare(0, 7, thisMonth) == 0) {
                    monthTokens += d.tokens;
                    monthUsd += d.usd;
                }
            }
            column->addWidget(
                label(QString::fromStdString(format("Last 30 days: %s · ~$%.0f   This month: %s · ~$%.0f",
                                                    fmtTokens(allTokens).c_str(), allUsd,
                                                    fmtTokens(monthTokens).c_str(), monthUsd)),
                      10, m_tones.secondary, QFont::Normal, "monthTotals"));
        } else {
            column->addWidget(label(QStringLiteral("Reading the last 30 days…"), 10, m_tones.secondary,
                                    QFont::Normal, "monthTotals"));
        }
    }

    auto* toggle = new QPushButton(m.showMonth() ? QStringLiteral("7 days") : QStringLiteral("30 days"));
    toggle->setObjectName(QStringLiteral("monthToggle"));
    toggle->setFlat(true);
    toggle->setAutoDefault(false);
    toggle->setCursor(Qt::PointingHandCursor);
    toggle->setStyleSheet(
        QStringLiteral("QPushButton { border: none; padding: 0; color: %1; text-align: left;"
                       " font-size: %2; }"
                       "QPushButton:hover { text-decoration: underline; }")
            .arg(hexOf(m_tones.accent), cssSize(10)));
    connect(toggle, &QPushButton::clicked, this, [this] { m_model.setShowMonth(!m_model.showMonth()); });
    column->addWidget(toggle, 0, Qt::AlignLeft);
}

void PopoverView::buildSessions() {
    QVBoxLayout* column = freshColumn(m_sessionsSection, 6, &m_sessionsContent);
    column->addWidget(label(QStringLiteral("Where today's tokens went"), 12, m_tones.primary, QFont::DemiBold,
                            "sessionsHeading"));
    const Instant now = currentInstant();
    const std::vector<SessionReport>& sessions = m_model.snap().sessions;
    const std::size_t shown = std::min<std::size_t>(sessions.size(), 3);
    for (std::size_t i = 0; i < shown; ++i) {
        const SessionReport& s = sessions[i];
        auto* row = new QWidget;
        row->setObjectName(QStringLiteral("sessionRow"));
        auto* lines = new QVBoxLayout(row);
        lines->setContentsMargins(0, i == 0 ? 0 : 4, 0, 0);
        lines->setSpacing(2);

        auto* top = new QHBoxLayout;
        top->setSpacing(8);
        top->addWidget(label(plainText(s.name), 12, m_tones.primary, QFont::Medium, "sessionName"), 1);
        QLabel* tokens = label(QString::fromStdString(fmtTokens(s.tokensToday)), 12, m_tones.primary,
                               QFont::DemiBold, "sessionTokens");
        tokens->setWordWrap(false);
        tokens->setAlignment(Qt::AlignRight | Qt::AlignTop);
        top->addWidget(tokens, 0, Qt::AlignRight | Qt::AlignTop);
        lines->addLayout(top);

        QString meta = plainText(s.tool) + QStringLiteral(" · ");
        if (!s.project.empty()) meta += plainText(s.project) + QStringLiteral(" · ");
        meta += QString::fromStdString(format("%lld turns · now %s per turn · ",
                                              static_cast<long long>(s.turnsToday),
                                              fmtTokens(s.contextNow).c_str()) +
                                       fmtAgo(s.last, now));
        lines->addWidget(label(meta, 10, m_tones.secondary, QFont::Normal, "sessionMeta"));

        const QColor stateColour = s.stateLevel == 3   ? m_tones.red
                                   : s.stateLevel == 2 ? m_tones.orange
                                   : s.stateLevel == 0 ? m_tones.green
                                                       : m_tones.grey;
        lines->addWidget(label(plainText(s.state), 11, stateColour,
                               s.stateLevel >= 2 ? QFont::DemiBold : QFont::Normal, "sessionState"));
        const QColor adviceColour = s.stateLevel == 3   ? m_tones.red
                                    : s.stateLevel == 2 ? m_tones.orange
                                                        : m_tones.secondary;
        for (const std::string& advice : s.advice)
            lines->addWidget(label(plainText(advice), 11, adviceColour, QFont::Normal, "sessionAdvice"));
        column->addWidget(row);
    }
}

void PopoverView::buildFooter() {
    m_numberFields.clear();
    m_flagBoxes.clear();
    QVBoxLayout* column = freshColumn(m_footer, 6, &m_footerContent);

    m_note = label(QString(), 10, m_tones.orange, QFont::Normal, "noteLabel");
    column->addWidget(m_note);

    m_startAtLogin = new QCheckBox(QStringLiteral("Start Quillon when I log in"));
    m_startAtLogin->setObjectName(QStringLiteral("startAtLoginCheck"));
    m_startAtLogin->setFont(typeFace(11));
    connect(m_startAtLogin, &QCheckBox::clicked, this, [this](bool on) {
        const bool enabled = m_model.onStartAtLogin(on);
        m_model.setStartAtLogin(enabled);
        // The model may not have changed; the box must show the real state either way.
        QSignalBlocker block(m_startAtLogin);
        m_startAtLogin->setChecked(m_model.startAtLogin());
    });
    column->addWidget(m_startAtLogin);

    m_settingsToggle = new QToolButton;
    m_settingsToggle->setObjectName(QStringLiteral("settingsToggle"));
    m_settingsToggle->setText(QStringLiteral("Settings"));
    m_settingsToggle->setCheckable(true);
    m_settingsToggle->setAutoRaise(true);
    m_settingsToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_settingsToggle->setFont(typeFace(11));
    m_settingsToggle->setIconSize(QSize(10, 10));
    // A disclosure, not a push button: no sunken look while open.
    m_settingsToggle->setStyleSheet(
        QStringLiteral("QToolButton { border: none; padding: 2px 0; font-size: %1; }").arg(cssSize(11)));
    connect(m_settingsToggle, &QToolButton::clicked, this, [this](bool on) { m_model.setShowSettings(on); });
    column->addWidget(m_settingsToggle, 0, Qt::AlignLeft);

    m_settingsBlock = buildSettings();
    column->addWidget(m_settingsBlock);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    QPushButton* refresh = button(QStringLiteral("Refresh"), 11, "refreshButton");
    connect(refresh, &QPushButton::clicked, this, [this] { m_model.onRefresh(); });
    QPushButton* alerts = button(QStringLiteral("Alerts folder"), 11, "alertsFolderButton");
    connect(alerts, &QPushButton::clicked, this, [this] {
        const std::string dir = Config::alertsDir();
        disk::makeDirs(dir);
        if (m_actions.openFolder) m_actions.openFolder(QString::fromStdString(dir));
    });
    QPushButton* quit = button(QStringLiteral("Quit"), 11, "quitButton");
    connect(quit, &QPushButton::clicked, this, [this] {
        if (m_actions.quit) m_actions.quit();
    });
    buttons->addWidget(refresh);
    buttons->addStretch(1);
    buttons->addWidget(alerts);
    buttons->addWidget(quit);
    column->addSpacing(2);
    column->addLayout(buttons);
}

QWidget* PopoverView::buildSettings() {
    auto* block = new QWidget;
    block->setObjectName(QStringLiteral("settingsBlock"));
    auto* column = new QVBoxLayout(block);
    column->setContentsMargins(4, 0, 0, 4);
    column->setSpacing(4);

    const auto heading = [&](const char* text) {
        QLabel* l = label(QString::fromUtf8(text), 11, m_tones.primary, QFont::DemiBold, "settingsHeading");
        l->setContentsMargins(0, 4, 0, 0);
        column->addWidget(l);
    };
    const auto number = [&](const NumberRow& row) {
        auto* line = new QWidget;
        line->setObjectName(QString::fromLatin1(row.name) + QStringLiteral("Row"));
        auto* h = new QHBoxLayout(line);
        h->setContentsMargins(0, 0, 0, 0);
        h->setSpacing(6);
        h->addWidget(label(QString::fromUtf8(row.label), 11, m_tones.primary), 1);
        auto* field = new QLineEdit;
        field->setObjectName(QString::fromLatin1(row.name) + QStringLiteral("Field"));
        field->setFont(typeFace(11));
        field->setFixedWidth(58);
        field->setAlignment(Qt::AlignRight);
        field->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), field));
        field->setAccessibleName(QString::fromUtf8(row.label));
        connect(field, &QLineEdit::editingFinished, this, [this, &row, field] {
            bool ok = false;
            const qlonglong typed = field->text().toLongLong(&ok);
            if (ok) {
                commitNumber(row, typed);
            } else {
                QSignalBlocker quiet(field);
                field->setText(QString::number(m_model.config().*row.field / row.scale));
            }
        });
        h->addWidget(field);
        QLabel* suffix = label(QString::fromLatin1(row.suffix), 11, m_tones.secondary);
        suffix->setWordWrap(false);
        suffix->setFixedWidth(24);
        suffix->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        h->addWidget(suffix);
        h->addWidget(stepper(line, row.name, [this, &row](int direction) {
            commitNumber(row, m_model.config().*row.field / row.scale + direction * row.step);
        }));
        column->addWidget(line);
        m_numberFields.emplace_back(&row, field);
    };
    const auto flag = [&](const FlagRow& row) {
        auto* box = new QCheckBox(QString::fromUtf8(row.label));
        box->setObjectName(QString::fromLatin1(row.name) + QStringLiteral("Check"));
        box->setFont(typeFace(11));
        connect(box, &QCheckBox::clicked, this, [this, &row](bool on) {
            Config config = m_model.config();
            config.*row.field = on;
            m_model.setConfig(std::move(config));
            m_model.onConfigChange();
        });
        column->addWidget(box);
        m_flagBoxes.emplace_back(&row, box);
    };

    heading("Warnings");
    for (const NumberRow& row : kWarningNumbers)
        number(row);
    flag(kNotifyWaiting);
    number(kWaitMinutes);
    heading("What to watch");
    for (const FlagRow& row : kWatchFlags)
        flag(row);
    heading("When something fails");
    for (const FlagRow& row : kFailFlags)
        flag(row);
    heading("Menu bar");
    for (const FlagRow& row : kMenuBarFlags)
        flag(row);

    heading("Phone alerts");
    column->addWidget(
        label(QStringLiteral("Paste an ntfy topic address, a Slack webhook, or any address that accepts a "
                             "JSON post. Failures, limit warnings and waiting sessions are sent there."),
              10, m_tones.secondary));
    auto* pushRow = new QHBoxLayout;
    pushRow->setSpacing(6);
    m_pushURL = new QLineEdit;
    m_pushURL->setObjectName(QStringLiteral("pushURLField"));
    m_pushURL->setFont(typeFace(11));
    m_pushURL->setPlaceholderText(QStringLiteral("https://ntfy.sh/my-quillon-alerts"));
    m_pushURL->setClearButtonEnabled(true);
    connect(m_pushURL, &QLineEdit::textEdited, this, [this](const QString& text) {
        Config config = m_model.config();
        config.pushURL = text.toStdString();
        m_model.setConfig(std::move(config));
        m_model.setPushStatus(std::nullopt);
        m_model.onConfigChange();
    });
    pushRow->addWidget(m_pushURL, 1);
    QPushButton* sendTest = button(QStringLiteral("Send test"), 11, "sendTestButton");
    connect(sendTest, &QPushButton::clicked, this, [this] {
        m_model.setPushStatus(std::string("Sending..."));
        if (!m_actions.sendPush) return;
        QPointer<Model> model(&m_model);
        m_actions.sendPush(m_model.config().pushURL, Push::testTitle, Push::testBody,
                           [model](std::optional<std::string> error) {
                               if (!model) return;
                               const std::string status =
                                   error ? *error : std::string("Sent. Check your phone.");
                               QMetaObject::invokeMethod(
                                   model.data(),
                                   [model, status] {
                                       if (model) model->setPushStatus(status);
                                   },
                                   Qt::QueuedConnection);
                           });
    });
    pushRow->addWidget(sendTest);
    column->addLayout(pushRow);
    m_pushStatus = label(QString(), 10, m_tones.secondary, QFont::Normal, "pushStatusLabel");
    column->addWidget(m_pushStatus);

    m_disconnect = button(QStringLiteral("Disconnect Claude Code limits"), 11, "disconnectButton");
    connect(m_disconnect, &QPushButton::clicked, this, [this] { m_model.onConnectClaude(false); });
    column->addSpacing(4);
    column->addWidget(m_disconnect, 0, Qt::AlignLeft);
    return block;
}

void PopoverView::commitNumber(const NumberRow& row, std::int64_t shown) {
    const std::int64_t clamped = std::clamp(shown, row.low, row.high);
    Config config = m_model.config();
    config.*row.field = clamped * row.scale;
    m_model.setConfig(std::move(config));
    m_model.onConfigChange();
    // The model may hold the same value as before (no visible change): show the clamped figure.
    for (auto& [r, field] : m_numberFields)
        if (r == &row) {
            QSignalBlocker block(field);
            field->setText(QString::number(m_model.config().*row.field / row.scale));
        }
}

void PopoverView::syncFooter() {
    const Model& m = m_model;
    const Config& config = m.config();

    m_note->setVisible(m.note().has_value());
    m_note->setText(m.note() ? plainText(*m.note()) : QString());

    {
        QSignalBlocker block(m_startAtLogin);
        m_startAtLogin->setChecked(m.startAtLogin());
    }
    {
        QSignalBlocker block(m_settingsToggle);
        m_settingsToggle->setChecked(m.showSettings());
        m_settingsToggle->setArrowType(m.showSettings() ? Qt::DownArrow : Qt::RightArrow);
    }
    m_settingsBlock->setVisible(m.showSettings());

    for (auto& [row, field] : m_numberFields) {
        // Leave a field alone while the user is typing in it (edited, not yet committed).
        if (field->isModified()) continue;
        const QString shown = QString::number(config.*row->field / row->scale);
        if (field->text() != shown) {
            QSignalBlocker block(field);
            field->setText(shown);
        }
    }
    for (auto& [row, box] : m_flagBoxes) {
        QSignalBlocker block(box);
        box->setChecked(config.*row->field);
    }
    const QString url = QString::fromStdString(config.pushURL);
    if (m_pushURL->text() != url) {
        QSignalBlocker block(m_pushURL);
        m_pushURL->setText(url);
    }
    m_pushStatus->setVisible(m.pushStatus().has_value());
    m_pushStatus->setText(m.pushStatus() ? plainText(*m.pushStatus()) : QString());
    m_disconnect->setVisible(m.claudeConnected());
}

} // namespace quillon::app
