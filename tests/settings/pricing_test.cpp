#include <gtest/gtest.h>

#include "scanner/usage.h"
#include "settings/config.h"

using quillon::Config;
using quillon::PriceRow;
using quillon::Usage;

TEST(Pricing, mostSpecificKeyWinsForRealModelIds) {
    Config c;
    auto row = [&](const char* m) { return c.priceRow(m); };
    const PriceRow oldOpus{15.0, 18.75, 1.5, 75.0}, newOpus{5.0, 6.25, 0.5, 25.0};
    EXPECT_EQ(row("claude-opus-4-20250514"), oldOpus);
    EXPECT_EQ(row("claude-opus-4-1-20250805"), oldOpus);
    EXPECT_EQ(row("claude-opus-4-5-20251101"), newOpus);
    EXPECT_EQ(row("claude-opus-4-6"), newOpus);
    EXPECT_EQ(row("claude-opus-5"), newOpus);
    EXPECT_EQ(row("claude-opus-5-5"), (PriceRow{4.0, 5.0, 0.2, 20.0}));
    EXPECT_EQ(row("claude-sonnet-4-5-20250929"), (PriceRow{3.0, 3.75, 0.3, 15.0}));
    EXPECT_EQ(row("claude-sonnet-5-5"), (PriceRow{2.0, 2.5, 0.1, 10.0}));
    EXPECT_EQ(row("CLAUDE-SONNET-5"), (PriceRow{2.0, 2.5, 0.2, 10.0}));
    EXPECT_EQ(row("claude-fable-5-1"), (PriceRow{10.0, 12.5, 0.25, 50.0}));
    EXPECT_EQ(row("gpt-5.5-codex"), (PriceRow{5.0, 6.25, 0.5, 30.0}));
    EXPECT_EQ(row("gpt-5-codex"), (PriceRow{1.25, 1.25, 0.125, 10.0}));
    EXPECT_EQ(row("mystery-model"), oldOpus) << "the default row, equal to the old Opus row";
}

TEST(Pricing, userRowsOverrideAndCapitalKeysNeverMatch) {
    Config c;
    c.prices["opus-4-5"] = {1, 1, 1, 1};
    c.prices["Mine"] = {9, 9, 9, 9};
    EXPECT_EQ(c.priceRow("claude-opus-4-5-20251101"), (PriceRow{1, 1, 1, 1}));
    EXPECT_EQ(c.priceRow("mine-model"), c.prices["default"]);

    // Equal-length keys that both match: the first in text order wins, whatever the map holds.
    c.prices["aaaa"] = {1, 0, 0, 0};
    c.prices["bbbb"] = {2, 0, 0, 0};
    EXPECT_EQ(c.priceRow("x-bbbb-aaaa"), (PriceRow{1, 0, 0, 0}));

    Config none;
    none.prices.erase("default");
    EXPECT_DOUBLE_EQ(none.usd("unknown", Usage{1'000'000, 1'000'000, 1'000'000, 1'000'000}), 0.0);
}

TEST(Pricing, oneHourCacheWritesCostTwiceTheInputPrice) {
    Config c;
    // Opus 4.5: input 5, five-minute write 6.25. 600k one-hour writes of 1M total.
    Usage u{0, 1'000'000, 0, 0};
    EXPECT_DOUBLE_EQ(c.usd("claude-opus-4-5", u, 600'000), (600'000 * 10.0 + 400'000 * 6.25) / 1e6);
    // A one-hour count above the cache-write total is capped at that total.
    EXPECT_DOUBLE_EQ(c.usd("claude-opus-4-5", u, 5'000'000), 10.0);
    EXPECT_DOUBLE_EQ(c.usd("claude-opus-4-5", u, -3), 6.25);
}
