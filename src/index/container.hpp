// The outer container of a sheet: header, table of contents, `meta`, and the
// strict varint used by every varint-bearing section.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/bytes.hpp"
#include "util/result.hpp"

namespace tarnwik {

namespace section {
// Section ids of the table of contents.
enum : uint8_t {
    communes_fst = 1,
    communes_meta = 2,
    commune_postings = 3,
    streets_fst = 4,
    streets_meta = 5,
    houses = 6,
    names = 7,
    house_suffixes = 8,
    reverse_grid = 9,
    parser = 10,  // SEC_PARSER
    rank = 11,    // SEC_RANK
    words_fst = 12,
    word_postings = 13,
    commune_coords = 14,
    rules = 15,  // SEC_RULES
    unused16 = 16,
    meta = 17,
};
inline constexpr uint8_t kMaxId = 17;
}  // namespace section

inline constexpr char kMagic[4] = {'T', 'W', 'C', '0'};
inline constexpr uint8_t kMinVersion = 6;
inline constexpr uint8_t kMaxVersion = 7;
// The header plus room for the largest table of contents, whatever N is.
inline constexpr size_t kMinFileSize = 6 + 17 * 17;

struct SectionSlot {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool present = false;  // had a TOC entry (possibly of length 0)
};

struct SectionTable {
    uint8_t version = 0;
    std::array<SectionSlot, section::kMaxId + 1> slot{};  // index 0 unused

    const SectionSlot& operator[](uint8_t id) const { return slot[id]; }
};

// Header and TOC checks; messages carry no path.
Result<SectionTable> parse_sections(ByteView file);

// Ordered (key, value) pairs, or nothing when the section is malformed.
std::optional<std::vector<std::pair<std::string, std::string>>> decode_meta(ByteView bytes);

// One unsigned LEB128 value of at most 10 bytes at `pos`; advances `pos` on
// success (see the .cpp for where `pos` ends up on failure).
std::optional<uint64_t> strict_varint(ByteView bytes, size_t& pos);

inline uint64_t zigzag_encode(int64_t v) {
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t zigzag_decode(uint64_t v) {
    return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

}  // namespace tarnwik
