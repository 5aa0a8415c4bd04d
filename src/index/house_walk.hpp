// Decoding of one street's house block, inline because reverse geocoding
// runs it over thousands of records per call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/container.hpp"
#include "util/bytes.hpp"

namespace tarnwik {

// One decoded house record of a street's block.
struct HouseRecord {
    uint32_t number = 0;
    uint32_t suffix_id = 0;
    int32_t lat_e7 = 0;
    int32_t lon_e7 = 0;
    uint32_t postcode_off = 0;  // string pool offset of the house's own postcode, 0: none
};

// The extent of a street's houses, in 1e-7 degree; empty (min > max) for a
// street without a decodable house.
struct StreetBox {
    int32_t min_lat = 1, min_lon = 1, max_lat = 0, max_lon = 0;
    bool empty() const { return min_lat > max_lat; }
};

namespace detail {

// The container's strict varint (at most 10 bytes, the tenth supplying bit
// 63 only); one byte is by far the most common case in house records.
[[gnu::always_inline]] inline bool house_varint(const uint8_t* p, size_t len, size_t& pos, uint64_t& out) {
    if (pos < len && p[pos] < 0x80) {
        out = p[pos++];
        return true;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < 9; ++i) {
        if (pos + i >= len) return false;
        const uint8_t byte = p[pos + i];
        value |= uint64_t{byte & 0x7Fu} << (7 * i);
        if ((byte & 0x80) == 0) {
            pos += i + 1;
            out = value;
            return true;
        }
    }
    if (pos + 9 >= len) return false;
    const uint8_t last = p[pos + 9];
    if (last > 1) return false;
    pos += 10;
    out = value | (uint64_t{last} << 63);
    return true;
}

}  // namespace detail

// Forward reader over one street's house block (Index::walk_houses). Blocks
// come from the mapped file and are only structurally checked at open, so
// every record is decoded defensively: a bad varint, a number or coordinate
// overflow or an out-of-range position ends the walk and sets failed().
class HouseWalk {
public:
    HouseWalk() = default;  // an empty walk: no block
    // False at the end of the block or on a decoding failure.
    [[gnu::always_inline]] bool next(HouseRecord& out) {
        if (remaining_ == 0 || failed_) return false;
        const uint8_t* p = block_.data();
        const size_t len = block_.size();
        uint64_t number, suffix, dlat, dlon;
        if (!detail::house_varint(p, len, pos_, number) || !detail::house_varint(p, len, pos_, suffix) ||
            !detail::house_varint(p, len, pos_, dlat) || !detail::house_varint(p, len, pos_, dlon) ||
            suffix > UINT32_MAX)
            return fail();
        if (first_) {
            if (number > UINT32_MAX) return fail();
            first_ = false;
        } else {
            if (number > UINT32_MAX - prev_number_) return fail();
            number += prev_number_;
        }
        int64_t lat, lon;
        if (__builtin_add_overflow(int64_t{ref_lat_}, zigzag_decode(dlat), &lat) ||
            __builtin_add_overflow(int64_t{ref_lon_}, zigzag_decode(dlon), &lon) || lat < -kMaxLatE7 ||
            lat > kMaxLatE7 || lon < -kMaxLonE7 || lon > kMaxLonE7)
            return fail();
        uint32_t postcode_off = 0;
        if (!dict_.empty()) {
            uint64_t slot;
            if (!detail::house_varint(p, len, pos_, slot) || slot > UINT32_MAX) return fail();
            if (slot >= 1 && slot - 1 < dict_.size() / 4)
                if (auto off = dict_.try_u32((slot - 1) * 4)) postcode_off = *off;
        }
        prev_number_ = static_cast<uint32_t>(number);
        --remaining_;
        out.number = static_cast<uint32_t>(number);
        out.suffix_id = static_cast<uint32_t>(suffix);
        out.lat_e7 = static_cast<int32_t>(lat);
        out.lon_e7 = static_cast<int32_t>(lon);
        out.postcode_off = postcode_off;
        return true;
    }
    bool failed() const { return failed_; }
    // The dictionary entries (u32 string pool offsets), empty without one.
    ByteView dictionary() const { return dict_; }

    static constexpr int64_t kMaxLatE7 = 900000000;
    static constexpr int64_t kMaxLonE7 = 1800000000;

private:
    friend class Index;
    bool fail() {
        failed_ = true;
        return false;
    }

    ByteView block_;
    ByteView dict_;
    size_t pos_ = 0;
    uint32_t remaining_ = 0;
    uint32_t prev_number_ = 0;
    bool first_ = true;
    bool failed_ = false;
    int32_t ref_lat_ = 0, ref_lon_ = 0;
};

}  // namespace tarnwik
