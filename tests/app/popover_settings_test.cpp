#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "popover_support.h"
#include "settings/config.h"

namespace quillon::testing {
namespace {

class SettingsTest : public PanelTest {
  protected:
    void SetUp() override {
        model.onConfigChange = [this] { saved.push_back(model.config()); };
        model.setShowSettings(true);
        fit(view);
    }

    QLineEdit* field(const char* name) { return view.findChild<QLineEdit*>(QString(name) + "Field"); }
    void type(QLineEdit* f, const QString& text) {
        ASSERT_NE(f, nullptr);
        f->selectAll();
        QTest::keyClicks(f, text);
        QTest::keyClick(f, Qt::Key_Return);
    }
    void step(const char* name, const char* direction, int times = 1) {
        auto* arrow = view.findChild<QToolButton*>(QString(name) + direction);
        ASSERT_NE(arrow, nullptr) << name << direction;
        for (int i = 0; i < times; ++i)
            QTest::mouseClick(arrow, Qt::LeftButton, {}, arrow->rect().center());
    }

    std::vector<Config> saved;
};

TEST_F(SettingsTest, fieldsShowTheValueDividedByTheirScaleAndTypingClampsAndStoresTimesTheScale) {
    Config config;
    config.historyCeiling = 150'999; // integer division, as the rows show it
    config.waitMinutes = 7;
    model.setConfig(config);
    const std::pair<const char*, const char*> shownValues[] = {
        {"historyCeiling", "150"}, {"floorWarning", "60"},     {"dailyBudget", "750"},
        {"stallMinutes", "10"},    {"limitWarnPercent", "80"}, {"waitMinutes", "7"}};
    for (const auto& [name, text] : shownValues)
        EXPECT_EQ(field(name)->text(), text) << name;

    type(field("historyCeiling"), "3000");
    EXPECT_EQ(model.config().historyCeiling, 2'000'000);
    EXPECT_EQ(field("historyCeiling")->text(), "2000");
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(saved.back().historyCeiling, 2'000'000);

    type(field("dailyBudget"), "10");
    EXPECT_EQ(model.config().dailyBudget, 10'000'000);
    type(field("dailyBudget"), "5");
    EXPECT_EQ(model.config().dailyBudget, 10'000'000);
    EXPECT_EQ(field("dailyBudget")->text(), "10");
    type(field("floorWarning"), "0");
    EXPECT_EQ(model.config().floorWarning, 10'000);
    type(field("limitWarnPercent"), "101");
    EXPECT_EQ(model.config().limitWarnPercent, 100);
    type(field("stallMinutes"), "240");
    EXPECT_EQ(model.config().stallMinutes, 240);
    type(field("waitMinutes"), "999999999");
    EXPECT_EQ(model.config().waitMinutes, 240);

    // Letters never get in; an emptied field goes back to the stored value.
    type(field("waitMinutes"), "abc");
    EXPECT_EQ(field("waitMinutes")->text(), "240");
    EXPECT_EQ(model.config().waitMinutes, 240);
    const std::size_t before = saved.size();
    QLineEdit* wait = field("waitMinutes");
    wait->selectAll();
    QTest::keyClick(wait, Qt::Key_Backspace);
    QTest::keyClick(wait, Qt::Key_Return);
    EXPECT_EQ(model.config().waitMinutes, 240);
    EXPECT_EQ(wait->text(), "240");
    EXPECT_EQ(saved.size(), before);
}

TEST_F(SettingsTest, steppersMoveByTheirStepWithinTheRange) {
    step("dailyBudget", "Up");
    EXPECT_EQ(model.config().dailyBudget, 800'000'000);
    EXPECT_EQ(field("dailyBudget")->text(), "800");
    step("historyCeiling", "Down", 10);
    EXPECT_EQ(model.config().historyCeiling, 25'000); // 150 - 5 x 25 reaches the floor of 25
    step("limitWarnPercent", "Up", 5);
    EXPECT_EQ(model.config().limitWarnPercent, 100);
    step("stallMinutes", "Down", 3);
    EXPECT_EQ(model.config().stallMinutes, 1);
    EXPECT_EQ(saved.size(), 19u);
}

TEST_F(SettingsTest, flagRowsStoreTheirValue) {
    struct Row {
        const char* name;
        bool Config::*field;
    };
    for (Row row :
         {Row{"notifyWaiting", &Config::notifyWaiting}, Row{"watchClaude", &Config::watchClaude},
          Row{"watchCodex", &Config::watchCodex}, Row{"watchGitHub", &Config::watchGitHub},
          Row{"redBorder", &Config::redBorder}, Row{"notifications", &Config::notifications},
          Row{"menuBarLimit", &Config::menuBarLimit}, Row{"menuBarDollars", &Config::menuBarDollars}}) {
        auto* box = view.findChild<QCheckBox*>(QString(row.name) + "Check");
        ASSERT_NE(box, nullptr) << row.name;
        const bool was = model.config().*row.field;
        EXPECT_EQ(box->isChecked(), was) << row.name;
        click(box);
        EXPECT_EQ(model.config().*row.field, !was) << row.name;
        EXPECT_EQ(saved.back().*row.field, !was) << row.name;
    }
    EXPECT_EQ(view.findChild<QCheckBox*>("menuBarDollarsCheck")->text(),
              "Otherwise show estimated dollars, not tokens");
    // The first row's label carries its double quotes.
    bool found = false;
    for (QLabel* l : view.findChild<QWidget*>("historyCeilingRow")->findChildren<QLabel*>())
        found |= shown(l) == "Say \"compact now\" when history passes";
    EXPECT_TRUE(found);
}

TEST_F(SettingsTest, pushTestReportsTheOutcomeAndEditingClearsIt) {
    record(view, recorded);
    QLineEdit* url = view.findChild<QLineEdit*>("pushURLField");
    ASSERT_NE(url, nullptr);
    QTest::keyClicks(url, "https://ntfy.sh/abc");
    EXPECT_EQ(model.config().pushURL, "https://ntfy.sh/abc");
    EXPECT_EQ(saved.back().pushURL, "https://ntfy.sh/abc");

    auto* send = view.findChild<QPushButton*>("sendTestButton");
    QTest::mouseClick(send, Qt::LeftButton, {}, send->rect().center());
    auto* status = view.findChild<QLabel*>("pushStatusLabel");
    EXPECT_EQ(model.pushStatus(), std::optional<std::string>("Sending..."));
    EXPECT_TRUE(status->isVisibleTo(&view));
    EXPECT_EQ(shown(status), "Sending...");
    ASSERT_EQ(recorded.pushedTo, std::vector<std::string>{"https://ntfy.sh/abc"});

    recorded.pushDone(std::string("The server answered 403 Forbidden."));
    QCoreApplication::processEvents();
    EXPECT_EQ(shown(status), "The server answered 403 Forbidden.");

    QTest::keyClick(url, Qt::Key_Backspace);
    EXPECT_EQ(model.config().pushURL, "https://ntfy.sh/ab");
    EXPECT_FALSE(model.pushStatus().has_value());
    EXPECT_FALSE(status->isVisibleTo(&view));

    QTest::mouseClick(send, Qt::LeftButton, {}, send->rect().center());
    recorded.pushDone(std::nullopt);
    QCoreApplication::processEvents();
    EXPECT_EQ(shown(status), "Sent. Check your phone.");
}

TEST_F(SettingsTest, disconnectShowsOnlyWhenConnected) {
    bool asked = true;
    model.onConnectClaude = [&](bool connect) { asked = connect; };
    auto* disconnect = view.findChild<QPushButton*>("disconnectButton");
    ASSERT_NE(disconnect, nullptr);
    EXPECT_FALSE(disconnect->isVisibleTo(&view));
    model.setClaudeConnected(true);
    EXPECT_TRUE(disconnect->isVisibleTo(&view));
    EXPECT_EQ(disconnect->text(), "Disconnect Claude Code limits");
    QTest::mouseClick(disconnect, Qt::LeftButton, {}, disconnect->rect().center());
    EXPECT_FALSE(asked);
}

TEST_F(SettingsTest, aRefreshWhileTypingKeepsTheFieldAndItsFocus) {
    QLineEdit* f = field("dailyBudget");
    f->selectAll();
    QTest::keyClicks(f, "12");
    Snapshot snap = Snapshot::empty(currentInstant());
    snap.ready = true;
    model.setSnap(snap); // a refresh arrives mid-typing
    EXPECT_EQ(field("dailyBudget"), f);
    EXPECT_EQ(f->text(), "12");
    QTest::keyClick(f, Qt::Key_Return);
    EXPECT_EQ(model.config().dailyBudget, 12'000'000);
}

} // namespace
} // namespace quillon::testing
