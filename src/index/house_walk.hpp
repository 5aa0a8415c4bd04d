// Decoding of one street's house block, inline because reverse geocoding
// runs it over thousands of records per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The same varint where the caller has made sure that 10 bytes can be read:
// no bounds checks, and the one- to three-byte values of house records
// (numbers, suffixes, coordinate deltas within a few kilometres) unrolled.
[[gnu::always_inline]] inline bool house_varint_unchecked(const uint8_t*& p, uint64_t& out) {
    uint64_t b = p[0];
    if (b < 0x80) {
        out = b;
        p += 1;
        return true;
    }
    uint64_t value = b & 0x7F;
    b = p[1];
    if (b < 0x80) {
        out = value | b << 7;
        p += 2;
        return true;
    }
    value |= (b & 0x7F) << 7;
    b = p[2];
    if (b < 0x80) {
        out = value | b << 14;
        p += 3;
        return true;
    }
    value |= (b & 0x7F) << 14;
    for (size_t i = 3; i < 9; ++i) {
        b = p[i];
        value |= (b & 0x7F) << (7 * i);
        if (b < 0x80) {
            out = value;
            p += i + 1;
            return true;
        }
    }
    if (p[9] > 1) return false;
    out = value | uint64_t{p[9]} << 63;
    p += 10;
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
        const bool ok = dict_.empty() ? decode<false>(block_.data(), block_.size(), pos_, prev_number_, frame(), out)
                                      : decode<true>(block_.data(), block_.size(), pos_, prev_number_, frame(), out);
        if (!ok) return fail();
        --remaining_;
        return true;
    }
    // Calls f(const HouseRecord&) for each remaining record, in block order,
    // until the end of the block or a decoding failure; the same records as
    // a loop over next(), with the decoding state kept in registers.
    template <class F>
    [[gnu::always_inline]] void for_each(F&& f) {
        // Most streets have no dictionary: their records are read by a loop
        // without the postcode slot.
        if (dict_.empty())
            each<false>(f);
        else
            each<true>(f);
    }
    bool failed() const { return failed_; }
    // The dictionary entries (u32 string pool offsets), empty without one.
    ByteView dictionary() const { return dict_; }

    static constexpr int64_t kMaxLatE7 = 900000000;
    static constexpr int64_t kMaxLonE7 = 1800000000;

private:
    friend class Index;

    template <bool Dict, class F>
    [[gnu::always_inline]] void each(F& f) {
        if (failed_) return;
        const uint8_t* p = block_.data();
        const size_t len = block_.size();
        const Frame fr = frame();
        size_t pos = pos_;
        uint32_t prev = prev_number_;
        uint32_t left = remaining_;
        HouseRecord h;
        for (; left != 0; --left) {
            if (!decode<Dict>(p, len, pos, prev, fr, h)) {
                failed_ = true;
                break;
            }
            f(static_cast<const HouseRecord&>(h));
        }
        pos_ = pos;
        prev_number_ = prev;
        remaining_ = left;
    }

    // What a record is decoded against, copied out of the walk so that the
    // caller's stores cannot be taken to change it.
    struct Frame {
        const uint8_t* dict;
        uint64_t dict_entries;
        int32_t ref_lat, ref_lon;
    };
    Frame frame() const { return {dict_.data(), dict_.size() / 4, ref_lat_, ref_lon_}; }

    // The longest record: five varints of at most 10 bytes.
    static constexpr size_t kMaxRecordBytes = 50;

    // One record at `pos`; false on a decoding failure. The number is the
    // previous one plus the delta (the first record's delta is its number).
    template <bool Dict>
    [[gnu::always_inline]] static bool decode(const uint8_t* p, size_t len, size_t& pos, uint32_t& prev,
                                              const Frame& fr, HouseRecord& out) {
        uint64_t number, suffix, dlat, dlon, slot = 0;
        if (len - pos >= kMaxRecordBytes) {
            const uint8_t* q = p + pos;
            if (!detail::house_varint_unchecked(q, number) || !detail::house_varint_unchecked(q, suffix) ||
                !detail::house_varint_unchecked(q, dlat) || !detail::house_varint_unchecked(q, dlon) ||
                (Dict && !detail::house_varint_unchecked(q, slot)))
                return false;
            pos = static_cast<size_t>(q - p);
        } else if (!detail::house_varint(p, len, pos, number) || !detail::house_varint(p, len, pos, suffix) ||
                   !detail::house_varint(p, len, pos, dlat) || !detail::house_varint(p, len, pos, dlon) ||
                   (Dict && !detail::house_varint(p, len, pos, slot))) {
            return false;
        }
        if (suffix > UINT32_MAX || slot > UINT32_MAX || number > UINT32_MAX - prev) return false;
        // Wrapping sums: a sum past the i64 range wraps to a value far
        // outside the coordinate range, so the range test also catches the
        // overflow.
        const uint64_t lat = static_cast<uint64_t>(int64_t{fr.ref_lat}) + static_cast<uint64_t>(zigzag_decode(dlat));
        const uint64_t lon = static_cast<uint64_t>(int64_t{fr.ref_lon}) + static_cast<uint64_t>(zigzag_decode(dlon));
        constexpr uint64_t kLatSpan = 2 * kMaxLatE7, kLonSpan = 2 * kMaxLonE7;
        if (lat + kMaxLatE7 > kLatSpan || lon + kMaxLonE7 > kLonSpan) return false;
        uint32_t postcode_off = 0;
        if (Dict && slot - 1 < fr.dict_entries)  // slot 0 (no postcode) wraps past every entry
            std::memcpy(&postcode_off, fr.dict + (slot - 1) * 4, 4);
        prev = static_cast<uint32_t>(prev + number);
        out.number = prev;
        out.suffix_id = static_cast<uint32_t>(suffix);
        out.lat_e7 = static_cast<int32_t>(lat);
        out.lon_e7 = static_cast<int32_t>(lon);
        out.postcode_off = postcode_off;
        return true;
    }

    bool fail() {
        failed_ = true;
        return false;
    }

    ByteView block_;
    ByteView dict_;
    size_t pos_ = 0;
    uint32_t remaining_ = 0;
    uint32_t prev_number_ = 0;
    bool failed_ = false;
    int32_t ref_lat_ = 0, ref_lon_ = 0;
};

}  // namespace tarnwik
