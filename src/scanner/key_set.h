#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace quillon {

// The keys of every usage record the scanner has counted, across all files, stored as 64-bit
// hashes in one open-addressing table: 8 bytes a slot instead of a string a key.
class KeySet {
  public:
    // Distinct name spaces, so that a Claude Code message id and a Codex response id with the
    // same text are different keys.
    enum class Space : std::uint8_t { claude = 1, codex = 2, codexOrdinal = 3 };

    static std::uint64_t hash(Space space, std::string_view key);

    // Adds the hash; false when it was there already.
    bool insert(std::uint64_t h);
    bool contains(std::uint64_t h) const;

    std::size_t size() const { return m_size; }
    std::size_t capacity() const { return m_capacity; }
    std::size_t bytes() const { return m_capacity * sizeof(std::uint64_t); }

  private:
    void grow();

    std::unique_ptr<std::uint64_t[]> m_slots;
    std::size_t m_capacity = 0; // a power of two, or 0
    std::size_t m_size = 0;
};

} // namespace quillon
