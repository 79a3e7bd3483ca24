#include "scanner/probes.h"

#include <cstring>

#include "scanner/text.h"
#include "scanner/timestamp.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUILLON_X86 1
#endif

namespace quillon::Probe {
namespace {

constexpr std::string_view kTypePrefix = "\"type\":\"";

struct Tail {
    std::string_view rest;
    Bit bit;
};
// What may follow "type":" for a match.
constexpr Tail kTypeTails[] = {
    {"assistant\"", assistant},    {"user\"", user},
    {"custom-title\"", title},     {"token_usage_record\"", codexUsage},
    {"session_meta\"", codexMeta}, {"turn_context\"", codexTurn},
};

inline bool at(const char* p, std::size_t n, std::size_t i, std::string_view probe) {
    return n - i >= probe.size() && std::memcmp(p + i, probe.data(), probe.size()) == 0;
}

// p[i] is a double quote whose next two bytes begin some probe; sees which one, if any.
inline void verify(const char* p, std::size_t n, std::size_t i, Hits& h) {
    switch (p[i + 1]) {
    case 't':
        switch (p[i + 2]) {
        case 'y':
            if (at(p, n, i, kTypePrefix)) {
                std::size_t j = i + kTypePrefix.size();
                for (const Tail& t : kTypeTails)
                    if (at(p, n, j, t.rest)) {
                        h.bits |= t.bit;
                        break;
                    }
            }
            return;
        case 'i':
            if (!(h.bits & timestamp) && at(p, n, i, "\"timestamp\":\"")) {
                h.bits |= timestamp;
                h.timestampEnd = i + 13;
            }
            return;
        case 'o':
            if (at(p, n, i, "\"tool_result\""))
                h.bits |= toolResult;
            else if (at(p, n, i, "\"token_count\""))
                h.bits |= codexCount;
            return;
        case 'a':
            if (at(p, n, i, "\"task_started\""))
                h.bits |= codexStart;
            else if (at(p, n, i, "\"task_complete\""))
                h.bits |= codexDone;
            return;
        }
        return;
    case 'i':
        if (p[i + 2] == 's' && at(p, n, i, "\"is_error\":true")) h.bits |= isError;
        return;
    case 'r':
        if (p[i + 2] == 'o' && at(p, n, i, "\"role\":\"user\""))
            h.bits |= codexUser;
        else if (p[i + 2] == 'a' && at(p, n, i, "\"rate_limits\""))
            h.bits |= codexLimits;
        return;
    }
}

inline void verifyMask(const char* p, std::size_t n, std::size_t base, std::uint32_t mask, Hits& h) {
    while (mask) {
        unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
        mask &= mask - 1;
        verify(p, n, base + bit, h);
    }
}

Hits scanScalar(const char* p, std::size_t n) {
    Hits h;
    for (const char* q = p;
         (q = static_cast<const char*>(std::memchr(q, '"', static_cast<std::size_t>(p + n - q)))); ++q) {
        verify(p, n, static_cast<std::size_t>(q - p), h);
        if (q + 1 >= p + n) break;
    }
    return h;
}

#ifdef QUILLON_X86
Hits scanSse2(const char* p, std::size_t n) {
    Hits h;
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i ct = _mm_set1_epi8('t'), ci = _mm_set1_epi8('i'), cr = _mm_set1_epi8('r');
    const __m128i cy = _mm_set1_epi8('y'), co = _mm_set1_epi8('o'), ca = _mm_set1_epi8('a'),
                  cs = _mm_set1_epi8('s');
    for (std::size_t i = 0; i < n; i += 16) {
        __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i q = _mm_cmpeq_epi8(v0, quote);
        if (_mm_movemask_epi8(q) == 0) continue;
        __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 2));
        __m128i o2 = _mm_cmpeq_epi8(v2, co), a2 = _mm_cmpeq_epi8(v2, ca);
        __m128i t2 =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v2, cy), _mm_cmpeq_epi8(v2, ci)), _mm_or_si128(o2, a2));
        __m128i c = _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(v1, ct), t2),
                                 _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(v1, ci), _mm_cmpeq_epi8(v2, cs)),
                                              _mm_and_si128(_mm_cmpeq_epi8(v1, cr), _mm_or_si128(o2, a2))));
        auto mask = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_and_si128(q, c)));
        if (n - i < 16) mask &= (1u << (n - i)) - 1;
        verifyMask(p, n, i, mask, h);
    }
    return h;
}

// 64 bytes a step: quotes first (most blocks of a long text have none), then the byte after
// each quote, which must be the first letter of some probe (t, i or r). With kCut, line feeds
// come from the same loads: a block's candidates before its first line feed belong to the line
// that feed ends, the rest to the lines after it; the complete lines go to out, and tail gets
// the probes of what follows the last line feed (without kCut, the whole text: one line).
template <bool kCut>
__attribute__((target("avx2"))) std::size_t probeAvx2(const char* p, std::size_t n, std::vector<Line>* out,
                                                      Hits& tail) {
    const __m256i quote = _mm256_set1_epi8('"'), lf = _mm256_set1_epi8('\n');
    const __m256i ct = _mm256_set1_epi8('t'), ci = _mm256_set1_epi8('i'), cr = _mm256_set1_epi8('r');
#define QUILLON_MASK(v, c) static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, c)))
#define QUILLON_NEXT(v)                                                                                      \
    static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(                                         \
        _mm256_or_si256(_mm256_cmpeq_epi8(v, ct), _mm256_cmpeq_epi8(v, ci)), _mm256_cmpeq_epi8(v, cr))))
    std::size_t lineStart = 0;
    Hits h;
    // A probe holds no line feed, so one that matches from inside a line also ends inside it:
    // bounding the comparison by the end of the text is enough.
    auto candidates = [&](std::uint64_t mask, std::size_t base) {
        for (; mask; mask &= mask - 1)
            verify(p + lineStart, n - lineStart,
                   base + static_cast<unsigned>(__builtin_ctzll(mask)) - lineStart, h);
    };
    for (std::size_t i = 0; i < n; i += 64) {
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
        std::uint64_t q = QUILLON_MASK(v0, quote) | static_cast<std::uint64_t>(QUILLON_MASK(v1, quote)) << 32;
        std::uint64_t nl = 0;
        if constexpr (kCut)
            nl = QUILLON_MASK(v0, lf) | static_cast<std::uint64_t>(QUILLON_MASK(v1, lf)) << 32;
        if (!(q | nl)) continue;
        if (q) {
            const __m256i n0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
            const __m256i n1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 33));
            q &= QUILLON_NEXT(n0) | static_cast<std::uint64_t>(QUILLON_NEXT(n1)) << 32;
        }
        if (n - i < 64) {
            const std::uint64_t inside = (std::uint64_t(1) << (n - i)) - 1;
            q &= inside;
            nl &= inside;
        }
        for (; nl; nl &= nl - 1) {
            const unsigned b = static_cast<unsigned>(__builtin_ctzll(nl));
            const std::uint64_t before = (std::uint64_t(1) << b) - 1;
            candidates(q & before, i);
            q &= ~before;
            const std::size_t end = i + b;
            out->push_back({lineStart, end - lineStart, h});
            h = {};
            lineStart = end + 1;
        }
        candidates(q, i);
    }
#undef QUILLON_NEXT
#undef QUILLON_MASK
    tail = h;
    return lineStart;
}

__attribute__((target("avx2"))) Hits scanAvx2(const char* p, std::size_t n) {
    Hits h;
    probeAvx2<false>(p, n, nullptr, h);
    return h;
}

__attribute__((target("avx2"))) std::size_t cutAvx2(const char* p, std::size_t n, std::vector<Line>& out) {
    Hits tail;
    return probeAvx2<true>(p, n, &out, tail);
}

using ScanFn = Hits (*)(const char*, std::size_t);
ScanFn pick() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? scanAvx2 : scanSse2;
}
#endif

// Line feeds by memchr, then the probes over each line.
template <Hits (*scanFn)(const char*, std::size_t)>
std::size_t cutEach(const char* p, std::size_t n, std::vector<Line>& out) {
    std::size_t start = 0;
    while (const char* nl = static_cast<const char*>(std::memchr(p + start, '\n', n - start))) {
        const std::size_t len = static_cast<std::size_t>(nl - (p + start));
        out.push_back({start, len, scanFn(p + start, len)});
        start += len + 1;
    }
    return start;
}

using CutFn = std::size_t (*)(const char*, std::size_t, std::vector<Line>&);
CutFn pickCut() {
#ifdef QUILLON_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? cutAvx2 : cutEach<scanSse2>;
#else
    return cutEach<scanScalar>;
#endif
}

} // namespace

Hits scan(std::string_view line) {
#ifdef QUILLON_X86
    static const ScanFn fn = pick();
    return fn(line.data(), line.size());
#else
    return scanScalar(line.data(), line.size());
#endif
}

std::vector<Hits> scanEveryKernel(std::string_view line) {
    std::vector<Hits> out{scanScalar(line.data(), line.size())};
#ifdef QUILLON_X86
    out.push_back(scanSse2(line.data(), line.size()));
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) out.push_back(scanAvx2(line.data(), line.size()));
#endif
    return out;
}

std::size_t cutLines(std::string_view text, std::vector<Line>& out) {
    static const CutFn fn = pickCut();
    return fn(text.data(), text.size(), out);
}

std::vector<std::vector<Line>> cutLinesEveryKernel(std::string_view text, std::vector<std::size_t>& used) {
    std::vector<std::vector<Line>> out(1);
    used = {cutEach<scanScalar>(text.data(), text.size(), out.back())};
#ifdef QUILLON_X86
    out.emplace_back();
    used.push_back(cutEach<scanSse2>(text.data(), text.size(), out.back()));
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        out.emplace_back();
        used.push_back(cutAvx2(text.data(), text.size(), out.back()));
    }
#endif
    return out;
}

Hits scanPlain(std::string_view line) {
    Hits h;
    auto has = [&](std::string_view probe) { return line.find(probe) != std::string_view::npos; };
    static constexpr std::pair<std::string_view, Bit> all[] = {
        {"\"type\":\"assistant\"", assistant},    {"\"type\":\"user\"", user},
        {"\"type\":\"custom-title\"", title},     {"\"tool_result\"", toolResult},
        {"\"is_error\":true", isError},           {"\"type\":\"token_usage_record\"", codexUsage},
        {"\"type\":\"session_meta\"", codexMeta}, {"\"type\":\"turn_context\"", codexTurn},
        {"\"role\":\"user\"", codexUser},         {"\"rate_limits\"", codexLimits},
        {"\"task_started\"", codexStart},         {"\"task_complete\"", codexDone},
        {"\"token_count\"", codexCount},
    };
    for (const auto& [probe, bit] : all)
        if (has(probe)) h.bits |= bit;
    if (auto at = line.find("\"timestamp\":\""); at != std::string_view::npos) {
        h.bits |= timestamp;
        h.timestampEnd = at + 13;
    }
    return h;
}

std::optional<Instant> quickTimestamp(std::string_view line, const Hits& hits) {
    if (!hits.has(timestamp)) return std::nullopt;
    std::string_view after = line.substr(hits.timestampEnd, 40);
    auto quote = after.find('"');
    if (quote == std::string_view::npos) return std::nullopt;
    std::string_view text = after.substr(0, quote);
    if (!text::validUtf8(text)) return std::nullopt;
    return parseTimestamp(text);
}

std::optional<Instant> quickTimestamp(std::string_view line) {
    return quickTimestamp(line, scanPlain(line));
}

} // namespace quillon::Probe
