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

TEST_F(HomeTest, savedSettingsHaveSixteenSortedKeysAndLoadBackEqual) {
    // Without a folder: the defaults, and an owner-only folder, since it may come to hold a
    // secret webhook address.
    EXPECT_EQ(Config::load(), Config());
    EXPECT_TRUE(home.exists(".quillon/alerts/dismissed"));
    EXPECT_EQ(modeOf(home.path() + "/.quillon"), 0700u);

    Config().save();
    const std::string first = home.read(".quillon/config.json");
    const auto doc = nlohmann::json::parse(first);
    EXPECT_EQ(doc.size(), 16u);
    // One key per line, in sorted order; prices as arrays of four numbers.
    std::size_t last = 0;
    for (const char* key : {"dailyBudget", "floorWarning", "historyCeiling", "limitWarnPercent", "menuBarDollars",
                            "menuBarLimit", "notifications", "notifyWaiting", "prices", "pushURL", "redBorder",
                            "stallMinutes", "waitMinutes", "watchClaude", "watchCodex", "watchGitHub"}) {
        const auto at = first.find("\n  \"" + std::string(key) + "\":");
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, last) << key;
        last = at;
    }
    EXPECT_EQ(doc["prices"]["opus"], nlohmann::json::parse("[15.0,18.75,1.5,75.0]"));
    EXPECT_EQ(Config::load(), Config());
    Config::load().save();
    EXPECT_EQ(home.read(".quillon/config.json"), first);
    EXPECT_EQ(modeOf(home.path() + "/.quillon/config.json"), 0600u);

    // Changed settings round trip; a broken file gives the defaults.
    Config c;
    c.waitMinutes = 3;
    c.pushURL = "https://ntfy.sh/quillon-test";
    c.menuBarDollars = true;
    c.prices["mine"] = {1, 2, 3, 4};
    c.save();
    EXPECT_EQ(Config::load(), c);
    home.write(".quillon/config.json", "{\"waitMinutes\": ");
    EXPECT_EQ(Config::load(), Config());
}

TEST(ConfigFile, takesOnlyKeysOfTheRightType) {
    Config expected;
    expected.waitMinutes = 3;
    EXPECT_EQ(Config::fromJson(R"({"waitMinutes": 3})"), expected);

    expected = Config();
    expected.stallMinutes = 20; // 20.0 converts without loss
    EXPECT_EQ(Config::fromJson(R"({"redBorder": "yes", "dailyBudget": 1.5, "pushURL": 7, "stallMinutes": 20.0,
                                   "notifications": 0, "unknown": true})"),
              expected);

    for (const char* bad : {"not json", "[1,2]", R"({"dailyBudget": 99999999999999999999})"})
        EXPECT_EQ(Config::fromJson(bad), Config()) << bad;
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
