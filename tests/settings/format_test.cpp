#include <gtest/gtest.h>

#include "settings/format.h"

using quillon::fmtAgo;
using quillon::fmtTokens;

TEST(FmtTokens, switchesUnitsAtBoundaries) {
    EXPECT_EQ(fmtTokens(999), "999");
    EXPECT_EQ(fmtTokens(1'000), "1K");
    EXPECT_EQ(fmtTokens(150'000), "150K");
    EXPECT_EQ(fmtTokens(999'999), "1000K");
    EXPECT_EQ(fmtTokens(1'000'000), "1.0M");
    EXPECT_EQ(fmtTokens(12'345'678), "12.3M");
    EXPECT_EQ(fmtTokens(99'999'999), "100.0M");
    EXPECT_EQ(fmtTokens(100'000'000), "100M");
    EXPECT_EQ(fmtTokens(750'000'000), "750M");
    EXPECT_EQ(fmtTokens(1'000'000'000), "1.0B");
    EXPECT_EQ(fmtTokens(1'234'000'000), "1.2B");
    EXPECT_EQ(fmtTokens(-5'000), "-5000");
    EXPECT_EQ(fmtTokens(0), "0");
}

TEST(FmtAgo, wordsElapsedTimeAtBoundaries) {
    const double now = 1'800'000'000;
    EXPECT_EQ(fmtAgo(now - 89, now), "just now");
    EXPECT_EQ(fmtAgo(now - 89.9, now), "just now");
    EXPECT_EQ(fmtAgo(now - 90, now), "1 min ago");
    EXPECT_EQ(fmtAgo(now - 5'399, now), "89 min ago");
    EXPECT_EQ(fmtAgo(now - 5'400, now), "1.5 h ago");
    EXPECT_EQ(fmtAgo(now - 172'799, now), "48.0 h ago");
    EXPECT_EQ(fmtAgo(now - 172'800, now), "2 d ago");
    EXPECT_EQ(fmtAgo(now + 500, now), "just now");
}
