#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "app/bar_chart.h"
#include "app/demo_data.h"
#include "popover_support.h"
#include "settings/config.h"
#include "settings/format.h"

namespace quillon::testing {
namespace {

using app::Model;
using app::PopoverView;

class PopoverTest : public PanelTest {
  protected:
    // A label inside a row: its text and its colour.
    static QString textOf(QWidget* row, const char* name) { return shown(row->findChild<QLabel*>(name)); }
    static QColor colourOf(QWidget* row, const char* name) {
        return row->findChild<QLabel*>(name)->palette().color(QPalette::WindowText);
    }
};

TEST_F(PopoverTest, oneGateHasNoDismissAllAndFiveShowFourCardsAndDismissAllDismissesFive) {
    model.setGates({makeGate("alert:one")});
    fit(view);
    EXPECT_EQ(shown(onlyLabel("gatesHeading")), "1 failed, waiting on you");
    EXPECT_EQ(visible<QWidget>(&view, "gateCard").size(), 1u);
    EXPECT_TRUE(visible<QPushButton>(&view, "dismissAllButton").empty());
    // Without a link there is nothing to copy or open.
    EXPECT_TRUE(visible<QPushButton>(&view, "openButton").empty());
    EXPECT_TRUE(visible<QPushButton>(&view, "copyLinkButton").empty());

    std::vector<std::string> dismissed;
    model.onDismiss = [&](const Gate& g) {
        dismissed.push_back(g.id);
        // The application publishes a shorter list at once; the loop must still reach every gate.
        std::vector<Gate> rest = model.gates();
        std::erase_if(rest, [&](const Gate& x) { return x.id == g.id; });
        model.setGates(rest);
    };
    std::vector<Gate> gates;
    for (int i = 1; i <= 5; ++i)
        gates.push_back(makeGate("g" + std::to_string(i)));
    model.setGates(gates);
    fit(view);

    EXPECT_EQ(shown(onlyLabel("gatesHeading")), "5 failed, waiting on you");
    auto cards = visible<QWidget>(&view, "gateCard");
    ASSERT_EQ(cards.size(), 4u);
    EXPECT_EQ(cards[0]->property("gateId").toString(), "g1");
    EXPECT_EQ(cards[3]->property("gateId").toString(), "g4");

    click(onlyButton("dismissAllButton"));
    EXPECT_EQ(dismissed, (std::vector<std::string>{"g1", "g2", "g3", "g4", "g5"}));
    QCoreApplication::processEvents();
    EXPECT_FALSE(section("gatesSection")->isVisibleTo(&view));
}

TEST_F(PopoverTest, dismissingOneCardPassesThatGateEvenWhenTheListIsReplacedAtOnce) {
    std::vector<std::string> dismissed;
    model.onDismiss = [&](const Gate& g) {
        dismissed.push_back(g.id);
        model.setGates({makeGate("left")}); // rebuilds the cards under the clicked button
    };
    model.setGates({makeGate("a"), makeGate("b")});
    fit(view);
    auto dismiss = visible<QPushButton>(&view, "dismissButton");
    ASSERT_EQ(dismiss.size(), 2u);
    click(dismiss[1]);
    QCoreApplication::processEvents();
    EXPECT_EQ(dismissed, std::vector<std::string>{"b"});
    EXPECT_EQ(visible<QWidget>(&view, "gateCard").size(), 1u);
}

TEST_F(PopoverTest, openRevealsAnExistingFileAndOpensOnlyAWebAddress) {
    record(view, recorded);
    const std::string file = home.write("logs/build.log", "failed\n");
    model.setGates({makeGate("file", file), makeGate("web", "https://github.com/o/r/pull/7")});
    fit(view);

    auto open = visible<QPushButton>(&view, "openButton");
    ASSERT_EQ(open.size(), 2u);
    click(open[0]);
    click(open[1]);
    ASSERT_EQ(recorded.revealed.size(), 1u);
    EXPECT_EQ(recorded.revealed[0], QString::fromStdString(file));
    ASSERT_EQ(recorded.opened.size(), 1u);
    EXPECT_EQ(recorded.opened[0], QUrl("https://github.com/o/r/pull/7"));

    click(visible<QPushButton>(&view, "copyLinkButton")[1]);
    EXPECT_EQ(recorded.copied, std::vector<QString>{"https://github.com/o/r/pull/7"});

    // Links that are neither web addresses nor existing files: Open does nothing.
    recorded = {};
    const std::vector<std::string> links = {"javascript:alert(1)",
                                            "file:///no/such/file",
                                            "/no/such/file",
                                            "relative/path.txt",
                                            "ftp://example.com/x",
                                            "httpx://example.com",
                                            "http://exa mple.com",
                                            "https://",
                                            "smb://server/share",
                                            "",
                                            "http://example.com\n/evil"};
    std::vector<Gate> gates;
    for (std::size_t i = 0; i < links.size(); ++i)
        gates.push_back(makeGate("g" + std::to_string(i), links[i]));
    for (std::size_t i = 0; i < gates.size(); i += 4) {
        model.setGates(std::vector<Gate>(gates.begin() + i, gates.begin() + std::min(i + 4, gates.size())));
        fit(view);
        for (QPushButton* b : visible<QPushButton>(&view, "openButton"))
            click(b);
    }
    EXPECT_TRUE(recorded.opened.empty());
    EXPECT_TRUE(recorded.revealed.empty());

    // The scheme test ignores case, and an existing folder given as a file address is revealed.
    EXPECT_EQ(app::linkTarget("HTTPS://Example.com/a").action, app::LinkTarget::Action::open);
    EXPECT_EQ(app::linkTarget("file://" + home.path()).action, app::LinkTarget::Action::reveal);
}

TEST_F(PopoverTest, limitsWithoutReadingsOfferTheConnectionAndShowItsError) {
    bool asked = false;
    model.onConnectClaude = [&](bool connect) { asked = connect; };
    model.setConnectError(std::string("Old error"));
    fit(view);

    QWidget* limits = section("limitsSection");
    ASSERT_TRUE(limits->isVisibleTo(&view));
    EXPECT_EQ(shown(onlyLabel("limitsHeading")), "Plan limits");
    EXPECT_EQ(shown(onlyLabel("notConnectedLabel")), "Claude Code limits are not connected.");
    EXPECT_EQ(visible<QWidget>(&view, "limitsDivider").size(), 1u);
    EXPECT_TRUE(visible<QWidget>(&view, "limitRow").empty());
    EXPECT_TRUE(visible<QLabel>(&view, "connectExplanation").empty());
    EXPECT_EQ(onlyButton("connectButton")->text(), "Connect");

    click(onlyButton("connectButton"));
    EXPECT_TRUE(model.showConnect());
    EXPECT_FALSE(model.connectError().has_value());
    fit(view);
    EXPECT_EQ(onlyButton("connectButton")->text(), "Cancel");
    EXPECT_TRUE(shown(onlyLabel("connectExplanation")).startsWith("Claude Code only gives its plan limits"));
    click(onlyButton("connectNowButton"));
    EXPECT_TRUE(asked);

    model.setConnectError(std::string("Claude Code's settings file is not valid JSON."));
    fit(view);
    QLabel* error = onlyLabel("connectErrorLabel");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->palette().color(QPalette::WindowText), app::tonesFor(view.palette()).red);
    click(onlyButton("connectButton")); // Cancel
    EXPECT_FALSE(model.showConnect());
    EXPECT_FALSE(model.connectError().has_value());

    // Connected, or not watching Claude Code, and with no readings: no section at all.
    model.setClaudeConnected(true);
    EXPECT_FALSE(limits->isVisibleTo(&view));
    model.setClaudeConnected(false);
    Config config;
    config.watchClaude = false;
    model.setConfig(config);
    EXPECT_FALSE(limits->isVisibleTo(&view));
}

TEST_F(PopoverTest, limitRowsShowFiguresAndTintByLevel) {
    app::applyDemo(model, currentInstant(), false, false);
    Snapshot snap = model.snap();
    snap.limits[1].level = 2;
    snap.limits[2].usedPercent = 140.7; // past the limit: the figure says so, the bar is full
    model.setSnap(snap);
    fit(view);

    auto rows = visible<QWidget>(&view, "limitRow");
    ASSERT_EQ(rows.size(), 3u);
    const app::Tones tones = app::tonesFor(view.palette());
    const auto tint = [](QWidget* row) {
        return row->findChild<QWidget*>("limitBar")->property("tint").value<QColor>();
    };
    EXPECT_EQ(textOf(rows[0], "limitName"), "Claude Code · 5-hour");
    EXPECT_EQ(textOf(rows[0], "limitFigure"), "72% · resets 4:10 PM");
    EXPECT_EQ(tint(rows[0]), tones.orange);
    EXPECT_EQ(colourOf(rows[0], "limitForecast"), tones.orange);
    EXPECT_EQ(textOf(rows[0], "limitTop"),
              "Refactor billing webhooks used about 64% of the tokens in this window.");
    EXPECT_EQ(tint(rows[1]), tones.red);
    EXPECT_EQ(rows[1]->findChild<QLabel*>("limitTop"), nullptr);
    EXPECT_EQ(textOf(rows[2], "limitFigure"), "140% · resets 5:10 PM");
    EXPECT_EQ(tint(rows[2]), tones.accent);
    EXPECT_DOUBLE_EQ(rows[2]->findChild<QWidget*>("limitBar")->property("value").toDouble(), 100.0);
    EXPECT_EQ(colourOf(rows[2], "limitForecast"), tones.secondary);
}

TEST_F(PopoverTest, todayShowsLoadingOrFailureAloneElseFiguresChartAndMonthTotals) {
    const app::Tones tones = app::tonesFor(view.palette());
    fit(view);
    EXPECT_EQ(shown(onlyLabel("todayStatus")), "Reading the last week of logs…");
    EXPECT_TRUE(visible<QWidget>(&view, "barChart").empty());
    Snapshot failed = model.snap();
    failed.readFailed = true;
    model.setSnap(failed);
    QLabel* status = onlyLabel("todayStatus");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(shown(status), "No Claude Code or Codex logs found on this computer.");
    EXPECT_EQ(status->palette().color(QPalette::WindowText), tones.orange);
    EXPECT_TRUE(visible<QLabel>(&view, "todayFigure").empty());

    app::applyDemo(model, currentInstant(), false, false);
    fit(view);

    QLabel* figure = onlyLabel("todayFigure");
    ASSERT_NE(figure, nullptr);
    EXPECT_TRUE(figure->text().contains(">486M<"));
    EXPECT_TRUE(figure->text().contains("~$1021 at list price"));
    EXPECT_EQ(figure->property("figureColour").value<QColor>(), tones.primary);
    EXPECT_EQ(shown(onlyLabel("turnsLine")), "1930 turns · 58% by subagents · budget 750M");

    auto* chart = view.findChild<app::BarChart*>("barChart");
    ASSERT_NE(chart, nullptr);
    ASSERT_EQ(chart->count(), 7);
    EXPECT_DOUBLE_EQ(chart->barRect(2).height(), 34.0); // 905M, the largest day
    EXPECT_NEAR(chart->barRect(5).height(), 34.0 * 274 / 905, 1e-9);
    EXPECT_EQ(chart->barColour(2), tones.orange); // above the 750M budget
    EXPECT_EQ(chart->barColour(0).rgb(), tones.accent.rgb());
    EXPECT_NEAR(chart->barColour(0).alphaF(), 0.7, 0.01);
    const QString tip = chart->toolTipText(2);
    EXPECT_TRUE(tip.contains(QString::fromStdString(model.snap().week[2].day)));
    EXPECT_TRUE(tip.contains("905M")) << tip.toStdString();
    EXPECT_TRUE(tip.contains("3620 turns"));
    EXPECT_TRUE(tip.contains(QString::fromStdString(format("$%.0f", 2.1 * 905))));
    EXPECT_EQ(chart->barAt(chart->barRect(2).center()), 2);
    EXPECT_TRUE(visible<QLabel>(&view, "monthTotals").empty());

    QPushButton* toggle = onlyButton("monthToggle");
    EXPECT_EQ(toggle->text(), "30 days");
    click(toggle);
    EXPECT_TRUE(model.showMonth());
    fit(view);
    EXPECT_EQ(onlyButton("monthToggle")->text(), "7 days");
    chart = view.findChild<app::BarChart*>("barChart");
    ASSERT_EQ(chart->count(), 30);
    int empty = 0;
    for (int i = 0; i < 30; ++i)
        empty += chart->barRect(i).height() == 2.0;
    EXPECT_EQ(empty, 5); // days without tokens still show a 2 px stub

    // The month's own share: the days whose key starts with today's year and month.
    std::int64_t all = 0, month = 0;
    double allUsd = 0, monthUsd = 0;
    for (const DayReport& d : model.snap().month) {
        all += d.tokens;
        allUsd += d.usd;
        if (d.day.substr(0, 7) == model.snap().today.day.substr(0, 7)) month += d.tokens, monthUsd += d.usd;
    }
    EXPECT_EQ(all, 12'575'000'000);
    EXPECT_EQ(
        shown(onlyLabel("monthTotals")),
        QString::fromStdString(format("Last 30 days: %s · ~$%.0f   This month: %s · ~$%.0f",
                                      fmtTokens(all).c_str(), allUsd, fmtTokens(month).c_str(), monthUsd)));

    Snapshot snap = model.snap();
    snap.monthReady = false;
    snap.overBudget = true;
    model.setSnap(snap);
    EXPECT_EQ(shown(onlyLabel("monthTotals")), "Reading the last 30 days…");
    EXPECT_EQ(onlyLabel("todayFigure")->property("figureColour").value<QColor>(), tones.orange);
}

TEST_F(PopoverTest, sessionsShowTheFirstThreeColouredByState) {
    Snapshot snap = Snapshot::empty(currentInstant());
    snap.ready = true;
    snap.sessions = {makeSession("stopped", 3), makeSession("waiting", 2), makeSession("working", 0),
                     makeSession("fourth", 1)};
    snap.sessions[2].project.clear();
    model.setSnap(snap);
    fit(view);

    EXPECT_EQ(shown(onlyLabel("sessionsHeading")), "Where today's tokens went");
    auto rows = visible<QWidget>(&view, "sessionRow");
    ASSERT_EQ(rows.size(), 3u);
    const app::Tones tones = app::tonesFor(view.palette());
    EXPECT_EQ(textOf(rows[0], "sessionName"), "stopped");
    EXPECT_EQ(textOf(rows[0], "sessionTokens"), "1.5M");
    EXPECT_EQ(textOf(rows[0], "sessionMeta"), "Claude Code · proj · 12 turns · now 80K per turn · 2 min ago");
    EXPECT_EQ(textOf(rows[2], "sessionMeta"), "Claude Code · 12 turns · now 80K per turn · 2 min ago");
    const struct {
        QColor state;
        QFont::Weight weight;
        QColor advice;
    } want[] = {{tones.red, QFont::DemiBold, tones.red},
                {tones.orange, QFont::DemiBold, tones.orange},
                {tones.green, QFont::Normal, tones.secondary}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(colourOf(rows[i], "sessionState"), want[i].state) << i;
        EXPECT_EQ(rows[i]->findChild<QLabel*>("sessionState")->font().weight(), want[i].weight) << i;
        EXPECT_EQ(colourOf(rows[i], "sessionAdvice"), want[i].advice) << i;
    }

    snap.sessions = {makeSession("idle", 1)};
    model.setSnap(snap);
    EXPECT_EQ(colourOf(visible<QWidget>(&view, "sessionRow")[0], "sessionState"), tones.grey);
}

TEST_F(PopoverTest, settingsHideTheReportSectionsAndShowThemAgain) {
    app::applyDemo(model, currentInstant(), false, true);
    fit(view);
    for (const char* name : {"gatesSection", "limitsSection", "todaySection", "sessionsSection", "footer"})
        EXPECT_TRUE(section(name)->isVisibleTo(&view)) << name;
    EXPECT_FALSE(view.findChild<QWidget*>("settingsBlock")->isVisibleTo(&view));
    const int reportHeight = view.heightForWidth(PopoverView::width);

    click(view.findChild<QToolButton*>("settingsToggle"));
    EXPECT_TRUE(model.showSettings());
    for (const char* name : {"limitsSection", "todaySection", "sessionsSection"})
        EXPECT_FALSE(section(name)->isVisibleTo(&view)) << name;
    EXPECT_TRUE(section("gatesSection")->isVisibleTo(&view));
    EXPECT_TRUE(view.findChild<QWidget*>("settingsBlock")->isVisibleTo(&view));
    EXPECT_NE(view.heightForWidth(PopoverView::width), reportHeight);

    click(view.findChild<QToolButton*>("settingsToggle"));
    EXPECT_FALSE(model.showSettings());
    for (const char* name : {"limitsSection", "todaySection", "sessionsSection"})
        EXPECT_TRUE(section(name)->isVisibleTo(&view)) << name;
    EXPECT_EQ(view.heightForWidth(PopoverView::width), reportHeight);
}

TEST_F(PopoverTest, footerButtonsReachTheirActions) {
    record(view, recorded);
    int refreshes = 0;
    model.onRefresh = [&] { ++refreshes; };
    fit(view);

    click(onlyButton("refreshButton"));
    EXPECT_EQ(refreshes, 1);
    click(onlyButton("alertsFolderButton"));
    EXPECT_EQ(recorded.folders, std::vector<QString>{QString::fromStdString(Config::alertsDir())});
    EXPECT_TRUE(home.exists(".quillon/alerts"));
    click(onlyButton("quitButton"));
    EXPECT_EQ(recorded.quits, 1);

    EXPECT_TRUE(visible<QLabel>(&view, "noteLabel").empty());
    model.setNote(std::string("GitHub could not be reached."));
    QLabel* note = onlyLabel("noteLabel");
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(shown(note), "GitHub could not be reached.");
    EXPECT_EQ(note->palette().color(QPalette::WindowText), app::tonesFor(view.palette()).orange);
}

TEST_F(PopoverTest, startAtLoginShowsWhatTheSystemReports) {
    std::vector<bool> asked;
    bool enabled = false;
    model.onStartAtLogin = [&](bool on) {
        asked.push_back(on);
        return enabled;
    };
    fit(view);
    auto* box = view.findChild<QCheckBox*>("startAtLoginCheck");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Start Quillon when I log in");

    click(box); // the system refuses: the box goes back to off
    EXPECT_EQ(asked, std::vector<bool>{true});
    EXPECT_FALSE(model.startAtLogin());
    EXPECT_FALSE(box->isChecked());

    enabled = true;
    click(box);
    EXPECT_TRUE(model.startAtLogin());
    EXPECT_TRUE(box->isChecked());

    enabled = false;
    click(box);
    EXPECT_EQ(asked, (std::vector<bool>{true, true, false}));
    EXPECT_FALSE(box->isChecked());
}

TEST_F(PopoverTest, heightFollowsContentAndLongTextsWrapInsteadOfWidening) {
    fit(view);
    const int empty = view.heightForWidth(PopoverView::width);
    Gate g = makeGate("long");
    g.title = std::string(300, 'x'); // no break opportunity at all
    g.detail = "word " + std::string(40, 'y') +
               " and then a great many ordinary words that need several lines to fit";
    model.setGates({g});
    fit(view);
    EXPECT_GT(view.heightForWidth(PopoverView::width), empty + 60);
    EXPECT_LE(view.minimumSizeHint().width(), PopoverView::width);
    for (QLabel* label : view.findChildren<QLabel*>()) {
        if (!label->isVisibleTo(&view)) continue;
        EXPECT_LE(label->geometry().right(), PopoverView::width) << label->objectName().toStdString();
        if (label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << label->objectName().toStdString() << " clipped";
        }
    }
}

} // namespace
} // namespace quillon::testing
