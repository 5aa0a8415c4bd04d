// CRC-32C (Castagnoli), the checksum closing a version-3 FST map.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnwik::build::fst::raw {

namespace detail {
// Slicing-by-8 tables: table[k][b] is the CRC of byte b followed by k zero bytes.
inline constexpr auto kCrc32cTables = [] {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
        t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b)
        for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}();
}  // namespace detail

inline uint32_t crc32c(std::string_view data) {
    const auto& t = detail::kCrc32cTables;
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    size_t n = data.size();
    uint32_t c = 0xFFFFFFFFu;
    // Eight bytes per step keeps multi-megabyte maps well under a millisecond
    // per megabyte.
    while (n >= 8) {
        const uint32_t lo = c ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                 uint32_t{p[3]} << 24);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    return c ^ 0xFFFFFFFFu;
}

}  // namespace tarnwik::build::fst::raw
