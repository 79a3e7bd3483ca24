#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "settings/config.h"
#include "test_home.h"

using quillon::Config;
using quillon::testing::HomeTest;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

} // namespace

TEST_F(HomeTest, loadWithoutFolderGivesDefaultsAndCreatesFolders) {
    Config c = Config::load();
    EXPECT_EQ(c, Config());
    EXPECT_TRUE(home.exists(".quillon/alerts/dismissed"));
    // The folder may come to hold a secret webhook address: owner only.
    EXPECT_EQ(modeOf(home.path() + "/.quillon"), 0700u);
}

TEST_F(HomeTest, savedDefaultsHaveSixteenSortedKeysAndLoadBackEqual) {
    Config::load();
    Config().save();
    const std::string first = home.read(".quillon/config.json");
    auto doc = nlohmann::json::parse(first);
    std::vector<std::string> keys;
    for (auto& [k, v] : doc.items()) keys.push_back(k);
    const std::vector<std::string> expected{"dailyBudget",    "floorWarning",  "historyCeiling", "limitWarnPercent",
                                            "menuBarDollars", "menuBarLimit",  "notifications",  "notifyWaiting",
                                            "prices",         "pushURL",       "redBorder",      "stallMinutes",
                                            "waitMinutes",    "watchClaude",   "watchCodex",     "watchGitHub"};
    EXPECT_EQ(keys, expected);
    // Keys appear in the file text in that order too, one per line.
    std::size_t last = 0;
    for (const auto& k : expected) {
        auto at = first.find("\n  \"" + k + "\":");
        ASSERT_NE(at, std::string::npos) << k;
        EXPECT_GT(at, last);
        last = at;
    }
    EXPECT_EQ(doc["prices"]["opus"], nlohmann::json::parse("[15.0,18.75,1.5,75.0]"));
    EXPECT_EQ(doc["dailyBudget"], 750000000);
    EXPECT_EQ(doc["pushURL"], "");

    EXPECT_EQ(Config::load(), Config());
    Config::load().save();
    EXPECT_EQ(home.read(".quillon/config.json"), first);
    EXPECT_EQ(modeOf(home.path() + "/.quillon/config.json"), 0600u);
}

TEST_F(HomeTest, changedSettingsRoundTrip) {
    Config c;
    c.waitMinutes = 3;
    c.pushURL = "https://ntfy.sh/quillon-test";
    c.menuBarDollars = true;
    c.prices["mine"] = {1, 2, 3, 4};
    Config::load();
    c.save();
    EXPECT_EQ(Config::load(), c);
}

TEST(ConfigFile, takesOnlyKeysOfTheRightType) {
    Config only = Config::fromJson(R"({"waitMinutes": 3})");
    Config expected;
    expected.waitMinutes = 3;
    EXPECT_EQ(only, expected);

    Config wrong = Config::fromJson(R"({"redBorder": "yes", "dailyBudget": 1.5, "pushURL": 7, "stallMinutes": 20.0,
                                        "notifications": 0, "unknown": true})");
    Config expectedWrong;
    expectedWrong.stallMinutes = 20;  // 20.0 converts without loss
    EXPECT_EQ(wrong, expectedWrong);

    EXPECT_EQ(Config::fromJson("not json"), Config());
    EXPECT_EQ(Config::fromJson("[1,2]"), Config());
    EXPECT_EQ(Config::fromJson(R"({"dailyBudget": 99999999999999999999})"), Config());
}

TEST(ConfigFile, priceRowsAreAddedOrOverriddenNeverRemoved) {
    Config c = Config::fromJson(R"({"prices": {"opus": [1, 2, 3], "newco": [1, 2, 3, 4], "sonnet": [9, 9, 9, 9]}})");
    EXPECT_EQ(c.prices["opus"], (quillon::PriceRow{15.0, 18.75, 1.5, 75.0}));
    EXPECT_EQ(c.prices["newco"], (quillon::PriceRow{1, 2, 3, 4}));
    EXPECT_EQ(c.prices["sonnet"], (quillon::PriceRow{9, 9, 9, 9}));
    EXPECT_EQ(c.prices.size(), Config::defaultPrices().size() + 1);

    // A row holding a non-number keeps the whole default table.
    Config bad = Config::fromJson(R"({"prices": {"newco": [1, 2, 3, 4], "opus": [1, "2", 3, 4]}})");
    EXPECT_EQ(bad.prices, Config::defaultPrices());
    EXPECT_EQ(Config::fromJson(R"({"prices": [1, 2]})").prices, Config::defaultPrices());
}

TEST_F(HomeTest, malformedFileGivesDefaults) {
    Config::load();
    home.write(".quillon/config.json", "{\"waitMinutes\": ");
    EXPECT_EQ(Config::load(), Config());
}
