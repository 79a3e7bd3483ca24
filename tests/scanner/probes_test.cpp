// Probes, time stamps, day keys and the duplicate-key table.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>

#include "scanner/key_set.h"
#include "scanner/probes.h"
#include "scanner_support.h"

namespace quillon::testing {
namespace {

Probe::Hits fast(const std::string& line) {
    std::string padded = line + std::string(Probe::kPadding, '"');
    return Probe::scan(std::string_view(padded.data(), line.size()));
}

void expectSame(const std::string& line) {
    const Probe::Hits b = Probe::scanPlain(line);
    std::string padded = line + std::string(Probe::kPadding, '"');
    std::vector<Probe::Hits> all = Probe::scanEveryKernel(std::string_view(padded.data(), line.size()));
    all.push_back(fast(line));
    for (const Probe::Hits& a : all) {
        ASSERT_EQ(a.bits, b.bits) << line.substr(0, 200);
        if (b.has(Probe::timestamp)) {
            ASSERT_EQ(a.timestampEnd, b.timestampEnd);
        }
    }
}

TEST(Probes, fastPassAgreesWithPlainSearch) {
    const std::vector<std::string> probes = {
        "\"type\":\"assistant\"", "\"type\":\"user\"", "\"type\":\"custom-title\"", "\"tool_result\"",
        "\"is_error\":true", "\"timestamp\":\"", "\"type\":\"token_usage_record\"", "\"type\":\"session_meta\"",
        "\"type\":\"turn_context\"", "\"role\":\"user\"", "\"rate_limits\"", "\"task_started\"", "\"task_complete\""};
    std::mt19937 rng(7);
    const std::string alphabet = "\"tyirsoa:_-ue{}";
    for (int round = 0; round < 4000; ++round) {
        std::string line;
        std::size_t len = rng() % 300;
        while (line.size() < len) {
            if (rng() % 8 == 0) {
                const std::string& p = probes[rng() % probes.size()];
                // Whole probes, and probes cut short at the end of the line.
                line += rng() % 4 ? p : p.substr(0, rng() % p.size());
            } else {
                line += alphabet[rng() % alphabet.size()];
            }
        }
        expectSame(line);
    }
    // Every line of the fixtures.
    for (const char* f : {"spotter/tool_heavy.jsonl", "spotter/short.jsonl", "codemie/codex/turn-2.jsonl",
                          "codemie/claude/-tmp-private/4c2ddfdc-b619-4525-8d03-1950fb1b0257.jsonl"}) {
        std::ifstream in(fixture(f));
        std::string line;
        int n = 0;
        while (std::getline(in, line)) {
            expectSame(line);
            ++n;
        }
        EXPECT_GT(n, 0) << f;
    }
    // A blank after the colon is no match.
    EXPECT_FALSE(fast(R"({"type": "assistant"})").has(Probe::assistant));
    EXPECT_TRUE(fast(R"({"type":"assistant"})").has(Probe::assistant));
}

// Cutting a block into lines finds the same lines and probes as splitting it and probing each
// line on its own, whatever the line lengths against the 64-byte steps.
TEST(Probes, cuttingLinesAgreesWithOneLineAtATime) {
    std::mt19937 rng(11);
    const std::vector<std::string> parts = {"\"type\":\"assistant\"", "\"timestamp\":\"2025-01-01T00:00:00Z\"",
                                            "\"tool_result\"", "\"token_count\"", "\"is_error\":true",
                                            "\n", "\r\n", "\"", "t", "x", "\"ty"};
    std::string fixtures;
    for (const char* f : {"spotter/tool_heavy.jsonl", "codemie/codex/turn-2.jsonl"}) {
        std::ifstream in(fixture(f));
        fixtures += std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> blocks = {"", "\n", "\n\n\n", "no line feed at all \"type\":\"user\"", fixtures,
                                       fixtures.substr(0, fixtures.size() - 7)};
    for (int round = 0; round < 500; ++round) {
        std::string b;
        const std::size_t len = rng() % 400;
        while (b.size() < len)
            b += parts[rng() % parts.size()];
        blocks.push_back(b);
    }
    for (const std::string& b : blocks) {
        std::size_t expectUsed = 0;
        std::vector<std::pair<std::size_t, std::string>> expect;
        for (std::size_t nl; (nl = b.find('\n', expectUsed)) != std::string::npos; expectUsed = nl + 1)
            expect.emplace_back(expectUsed, b.substr(expectUsed, nl - expectUsed));
        const std::string padded = b + std::string(Probe::kPadding, '"');
        std::vector<std::size_t> used;
        const auto all = Probe::cutLinesEveryKernel(std::string_view(padded.data(), b.size()), used);
        ASSERT_GE(all.size(), 1u);
        for (std::size_t k = 0; k < all.size(); ++k) {
            ASSERT_EQ(used[k], expectUsed) << "kernel " << k;
            ASSERT_EQ(all[k].size(), expect.size()) << "kernel " << k;
            for (std::size_t i = 0; i < expect.size(); ++i) {
                const Probe::Line& l = all[k][i];
                ASSERT_EQ(l.start, expect[i].first);
                ASSERT_EQ(l.length, expect[i].second.size());
                const Probe::Hits want = Probe::scanPlain(expect[i].second);
                ASSERT_EQ(l.hits.bits, want.bits) << "kernel " << k << ": " << expect[i].second.substr(0, 120);
                if (want.has(Probe::timestamp)) {
                    ASSERT_EQ(l.hits.timestampEnd, want.timestampEnd);
                }
            }
        }
    }
}

TEST(Probes, quickTimestampTakesTheFirstStampWithin40Bytes) {
    auto q = [](const std::string& line) { return Probe::quickTimestamp(line); };
    EXPECT_EQ(q(R"({"timestamp":"2025-03-04T05:06:07.890Z","x":1})"), at("2025-03-04T05:06:07.890Z"));
    EXPECT_DOUBLE_EQ(*q(R"({"a":{"timestamp":"2025-03-04T05:06:07Z"},"timestamp":"2030-01-01T00:00:00Z"})"),
                     1741064767.0);
    EXPECT_FALSE(q(R"({"time":"2025-03-04T05:06:07Z"})"));
    EXPECT_FALSE(q(R"({"timestamp":"2025-03-04T05:06:07.12345678901234567890Z"})")); // not closed in 40 bytes
    EXPECT_FALSE(q("{\"timestamp\":\"2025-03-04T05:06:07\xffZ\"}"));
    EXPECT_FALSE(q(R"({"timestamp":"2025-03-04"})"));
}

TEST(Timestamps, strictIso8601InBothForms) {
    EXPECT_DOUBLE_EQ(*parseTimestamp("2025-03-04T05:06:07Z"), 1741064767.0);
    EXPECT_DOUBLE_EQ(*parseTimestamp("2025-03-04T05:06:07.5Z"), 1741064767.5);
    EXPECT_DOUBLE_EQ(*parseTimestamp("2025-03-04T06:06:07+01:00"), 1741064767.0);
    EXPECT_DOUBLE_EQ(*parseTimestamp("2025-03-04T04:36:07.250-00:30"), 1741064767.25);
    for (const char* bad : {"2025-03-04", "2025-03-04 05:06:07Z", "2025-02-29T00:00:00Z",
                            "2025-03-04T24:00:00Z", "2025-03-04T05:06:07", "2025-03-04T05:06:07.Z",
                            "2025-03-04T05:06:07Z ", " 2025-03-04T05:06:07Z", "2025-03-04T05:06:07+0100"})
        EXPECT_FALSE(parseTimestamp(bad)) << bad;
    EXPECT_TRUE(parseTimestamp("2024-02-29T00:00:00Z"));
}

TEST(DayKeys, followTheZoneAndTheCacheKeepsUp) {
    UtcZone utc;
    LogScanner s(Config{}, "/nonexistent", "/nonexistent");
    const Instant t = at("2025-03-04T23:30:00Z"), y = t - 86400 * 365;
    // Midnight exactly starts the next day; the second pass answers from the days met before.
    const std::pair<Instant, const char*> cases[] = {{t, "2025-03-04"},        {t + 1800, "2025-03-05"},
                                                     {t + 1799.5, "2025-03-04"}, {y, "2024-03-04"},
                                                     {y + 1799, "2024-03-04"},   {y + 1800, "2024-03-05"}};
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& [when, key] : cases)
            EXPECT_EQ(s.dayKeyOf(when), key) << pass << " " << when - t;
    ::setenv("TZ", "UTC-01:00", 1); // POSIX sign: one hour east of UTC
    ::tzset();
    LogScanner east(Config{}, "/nonexistent", "/nonexistent");
    EXPECT_EQ(east.dayKeyOf(t), "2025-03-05");
    EXPECT_EQ(dayKey(t), "2025-03-05");
    UtcZone back;
}

TEST(KeySet, remembersHashesAcrossGrowth) {
    KeySet keys;
    std::set<std::uint64_t> reference;
    for (int i = 0; i < 100000; ++i) {
        std::uint64_t h = KeySet::hash(KeySet::Space::claude, "msg_" + std::to_string(i % 60000));
        EXPECT_EQ(keys.insert(h), reference.insert(h).second);
    }
    EXPECT_EQ(keys.size(), 60000u);
    EXPECT_TRUE(keys.contains(KeySet::hash(KeySet::Space::claude, "msg_59999")));
    EXPECT_FALSE(keys.contains(KeySet::hash(KeySet::Space::codex, "msg_59999")));
    EXPECT_LE(keys.bytes(), 60000u * 8 * 3); // at most 24 bytes a key at the worst load
    EXPECT_NE(KeySet::hash(KeySet::Space::claude, ""), 0u);
}

} // namespace
} // namespace quillon::testing
