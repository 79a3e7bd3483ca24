#include <benchmark/benchmark.h>

#include "scanner/usage.h"
#include "settings/config.h"
#include "settings/format.h"

// usd() runs once per counted turn; it must stay cheap with the larger price table.
static void BM_UsdPerTurn(benchmark::State& state) {
    quillon::Config c;
    quillon::Usage u{1200, 35'000, 180'000, 900};
    const char* models[] = {"claude-opus-4-5-20251101", "claude-sonnet-4-5-20250929", "gpt-5-codex", "unknown"};
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(c.usd(models[i++ & 3], u, 20'000));
}
BENCHMARK(BM_UsdPerTurn);

static void BM_FmtTokens(benchmark::State& state) {
    std::int64_t n = 123'456'789;
    for (auto _ : state) benchmark::DoNotOptimize(quillon::fmtTokens(n++));
}
BENCHMARK(BM_FmtTokens);
