#include "scanner/key_set.h"

#include <cstring>

namespace quillon {
namespace {

inline std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// 0 marks an empty slot, so no stored hash is ever 0.
inline std::uint64_t nonZero(std::uint64_t h) {
    return h ? h : 0x9e3779b97f4a7c15ULL;
}

} // namespace

std::uint64_t KeySet::hash(Space space, std::string_view key) {
    std::uint64_t h = 0x243f6a8885a308d3ULL ^ (static_cast<std::uint64_t>(space) << 56) ^ key.size();
    const char* p = key.data();
    std::size_t n = key.size();
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = mix(h ^ w) + 0x9e3779b97f4a7c15ULL;
        p += 8;
        n -= 8;
    }
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    return nonZero(mix(h ^ w ^ (static_cast<std::uint64_t>(n) << 59)));
}

bool KeySet::contains(std::uint64_t h) const {
    if (!m_capacity) return false;
    h = nonZero(h);
    for (std::size_t i = h & (m_capacity - 1);; i = (i + 1) & (m_capacity - 1)) {
        if (m_slots[i] == h) return true;
        if (m_slots[i] == 0) return false;
    }
}

bool KeySet::insert(std::uint64_t h) {
    h = nonZero(h);
    // Keep the load under 3/4 so that probe runs stay short.
    if ((m_size + 1) * 4 > m_capacity * 3) grow();
    for (std::size_t i = h & (m_capacity - 1);; i = (i + 1) & (m_capacity - 1)) {
        if (m_slots[i] == h) return false;
        if (m_slots[i] == 0) {
            m_slots[i] = h;
            ++m_size;
            return true;
        }
    }
}

void KeySet::grow() {
    std::size_t cap = m_capacity ? m_capacity * 2 : 1024;
    auto slots = std::make_unique<std::uint64_t[]>(cap); // zeroed
    for (std::size_t k = 0; k < m_capacity; ++k) {
        std::uint64_t h = m_slots[k];
        if (!h) continue;
        std::size_t i = h & (cap - 1);
        while (slots[i])
            i = (i + 1) & (cap - 1);
        slots[i] = h;
    }
    m_slots = std::move(slots);
    m_capacity = cap;
}

} // namespace quillon
