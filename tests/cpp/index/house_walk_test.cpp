// HouseWalk against a byte-by-byte reference decoder, over blocks of random
// records: varints of every length from one to ten bytes (padded ones too),
// malformed varints, number and coordinate overflows, positions out of
// range, postcode slots inside and outside the dictionary, and records cut
// by the block end. Long blocks are mostly decoded by the unchecked fast
// path, their last records and short blocks by the checked one; both must
// give exactly the records (and the failure) of the reference.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index/container.hpp"
#include "index/index.hpp"
#include "sheet_fixture.hpp"

namespace tarnwik {
namespace {

using testing::TempSheet;
using testing::write_or_die;

struct Decoded {
    std::vector<HouseRecord> records;
    bool failed = false;
};

// The record layout read one byte at a time, every step checked.
Decoded reference_walk(const std::string& block, uint32_t count, int32_t ref_lat, int32_t ref_lon, bool dict) {
    Decoded out;
    size_t pos = 0;
    auto varint = [&](uint64_t& v) {
        v = 0;
        for (int i = 0; i < 10; ++i) {
            if (pos >= block.size()) return false;
            const uint8_t b = static_cast<uint8_t>(block[pos++]);
            if (i == 9) {
                if (b > 1) return false;
                v |= uint64_t{b} << 63;
                return true;
            }
            v |= uint64_t{b & 0x7Fu} << (7 * i);
            if ((b & 0x80) == 0) return true;
        }
        return false;
    };
    std::vector<uint32_t> entries;
    if (dict) {
        uint64_t n;
        if (!varint(n) || n == 0 || n > count || pos + n * 4 > block.size()) return out;  // no block
        for (uint64_t k = 0; k < n; ++k, pos += 4) {
            uint32_t e;
            std::memcpy(&e, block.data() + pos, 4);
            entries.push_back(e);
        }
    }
    uint64_t prev = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t number, suffix, dlat, dlon, slot = 0;
        if (!varint(number) || !varint(suffix) || !varint(dlat) || !varint(dlon) || (dict && !varint(slot)) ||
            suffix > UINT32_MAX || slot > UINT32_MAX || number > UINT32_MAX - prev) {
            out.failed = true;
            return out;
        }
        const __int128 lat = __int128{ref_lat} + zigzag_decode(dlat);
        const __int128 lon = __int128{ref_lon} + zigzag_decode(dlon);
        if (lat < -900000000 || lat > 900000000 || lon < -1800000000 || lon > 1800000000) {
            out.failed = true;
            return out;
        }
        prev += number;
        HouseRecord h;
        h.number = static_cast<uint32_t>(prev);
        h.suffix_id = static_cast<uint32_t>(suffix);
        h.lat_e7 = static_cast<int32_t>(lat);
        h.lon_e7 = static_cast<int32_t>(lon);
        h.postcode_off = slot >= 1 && slot - 1 < entries.size() ? entries[slot - 1] : 0;
        out.records.push_back(h);
    }
    return out;
}

// The ways a trial damages one record (or none).
enum class Damage {
    none,
    eleven_bytes,      // a varint that does not end within 10 bytes
    bad_tenth_byte,    // a tenth byte above 1
    number_overflow,   // the running number passes 2^32 - 1
    suffix_too_big,    // 2^32
    slot_too_big,      // 2^32 (with a dictionary)
    lat_out_of_range,  // one unit past the pole
    lon_out_of_range,  // one unit past the antimeridian
    delta_overflow,    // a delta that overflows i64 when added
    count
};

// Random records of one block, written as the varints the block holds:
// mostly the shortest forms, sometimes padded up to 10 bytes, values on the
// edges of their ranges included, and at most one damaged record.
class BlockWriter {
public:
    BlockWriter(uint32_t seed, int32_t ref_lat, int32_t ref_lon) : rng_(seed), ref_lat_(ref_lat), ref_lon_(ref_lon) {}

    uint32_t pick(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }
    std::string& bytes() { return out_; }

    // `v` in `len` bytes (at least its shortest form, at most 10).
    void put(uint64_t v, int len) {
        for (int i = 0; i < len - 1; ++i) {
            out_.push_back(static_cast<char>(0x80 | (v & 0x7F)));
            v >>= 7;
        }
        out_.push_back(static_cast<char>(v));
    }
    void field(uint64_t v) {
        int len = 1;
        for (uint64_t x = v; x >= 0x80 && len < 10; x >>= 7) ++len;
        if (pick(10) == 0) len += static_cast<int>(pick(static_cast<uint32_t>(11 - len)));
        put(v, len);
    }

    // One record; `damage` applies to it.
    void record(uint32_t dict_entries, Damage damage) {
        uint64_t number = pick(8) == 0 ? pick(100) : pick(3);
        if (pick(50) == 0) number = UINT32_MAX - prev_;  // reaches 2^32 - 1 exactly
        if (prev_ == UINT32_MAX) number = 0;
        uint64_t suffix = pick(30) == 0 ? UINT32_MAX : pick(4);
        int64_t lat = ref_lat_ + static_cast<int64_t>(pick(1u << 18)) - (1 << 17);
        int64_t lon = ref_lon_ + static_cast<int64_t>(pick(1u << 23)) - (1 << 22);
        if (pick(20) == 0) lat = pick(2) ? 900000000 : -900000000;  // the bounds themselves
        if (pick(20) == 0) lon = pick(2) ? 1800000000 : -1800000000;
        lat = std::clamp<int64_t>(lat, -900000000, 900000000);
        lon = std::clamp<int64_t>(lon, -1800000000, 1800000000);
        uint64_t dlat = zigzag_encode(lat - ref_lat_), dlon = zigzag_encode(lon - ref_lon_);
        uint64_t slot = pick(20) == 0 ? UINT32_MAX : pick(dict_entries + 2);
        std::string tail;  // a malformed varint, in place of one field
        int at = static_cast<int>(pick(dict_entries ? 5 : 4));
        switch (damage) {
            case Damage::none: break;
            case Damage::eleven_bytes: tail = std::string(10, static_cast<char>(0x80)) + '\0'; break;
            case Damage::bad_tenth_byte: {
                // A small value in nine bytes, so that only the tenth is wrong.
                tail.push_back(static_cast<char>(0x80 | pick(4)));
                tail.append(8, static_cast<char>(0x80));
                const uint32_t last = pick(3);
                tail.push_back(static_cast<char>(last == 0 ? 2 : last == 1 ? 0x81 : 2 + pick(0x7E)));
                break;
            }
            case Damage::number_overflow: number = uint64_t{UINT32_MAX} - prev_ + 1 + pick(3); break;
            case Damage::suffix_too_big: suffix = uint64_t{UINT32_MAX} + 1; break;
            case Damage::slot_too_big: slot = uint64_t{UINT32_MAX} + 1 + pick(2); break;
            case Damage::lat_out_of_range: dlat = zigzag_encode((pick(2) ? 900000001 : -900000001) - int64_t{ref_lat_}); break;
            case Damage::lon_out_of_range: dlon = zigzag_encode((pick(2) ? 1800000001 : -1800000001) - int64_t{ref_lon_}); break;
            case Damage::delta_overflow: (pick(2) ? dlat : dlon) = zigzag_encode(pick(2) ? INT64_MAX : INT64_MIN); break;
            case Damage::count: break;
        }
        const uint64_t fields[5] = {number, suffix, dlat, dlon, slot};
        for (int i = 0; i < (dict_entries ? 5 : 4); ++i) {
            if (!tail.empty() && i == at) out_ += tail;
            else field(fields[i]);
        }
        if (damage == Damage::none) prev_ += number;
    }

private:
    std::mt19937_64 rng_;
    int32_t ref_lat_, ref_lon_;
    uint64_t prev_ = 0;
    std::string out_;
};

struct Sheet {
    std::string file;
    uint64_t block_at = 0, block_len = 0;  // the only street's block
};

// One street of `houses` houses; its block is overwritten by each trial.
Sheet sheet_with_block(int houses) {
    build::SheetSpec s;
    s.communes.push_back({"1", "Testburg", 1, 50.0, 8.0, {}});
    build::StreetSpec st{"Street", 0, 50.0, 8.0, "", {}};
    for (int i = 0; i < houses; ++i)
        st.houses.push_back({static_cast<uint32_t>(i + 1), "", 50.0 + i * 0.01, 8.0 - i * 0.01, ""});
    s.streets.push_back(std::move(st));
    Sheet out{write_or_die(s)};
    auto t = parse_sections(ByteView(out.file));
    EXPECT_TRUE(t);
    const SectionSlot houses_section = (*t)[section::houses];
    out.block_at = houses_section.offset;
    out.block_len = houses_section.length;
    return out;
}

void expect_same(const Decoded& want, const std::vector<HouseRecord>& got, bool failed, const char* how) {
    ASSERT_EQ(got.size(), want.records.size()) << how;
    EXPECT_EQ(failed, want.failed) << how;
    for (size_t i = 0; i < got.size(); ++i) {
        const HouseRecord& a = got[i];
        const HouseRecord& b = want.records[i];
        ASSERT_TRUE(a.number == b.number && a.suffix_id == b.suffix_id && a.lat_e7 == b.lat_e7 &&
                    a.lon_e7 == b.lon_e7 && a.postcode_off == b.postcode_off)
            << how << ", record " << i << ": " << a.number << "/" << a.suffix_id << " " << a.lat_e7 << ","
            << a.lon_e7 << " pc " << a.postcode_off << " against " << b.number << "/" << b.suffix_id << " "
            << b.lat_e7 << "," << b.lon_e7 << " pc " << b.postcode_off;
    }
}

TEST(HouseWalkDecoding, AgreesWithAByteByByteReader) {
    for (int houses : {1, 6, 60}) {
        SCOPED_TRACE(houses);
        const Sheet base = sheet_with_block(houses);
        for (uint32_t trial = 0; trial < 400; ++trial) {
            SCOPED_TRACE(trial);
            std::mt19937 rng(trial * 7919u + static_cast<uint32_t>(houses));
            const int32_t ref_lat = rng() % 2 ? 500000000 : (rng() % 2 ? 899990000 : -899990000);
            const int32_t ref_lon = rng() % 2 ? 80000000 : (rng() % 2 ? 1799990000 : -1799990000);
            BlockWriter w(rng(), ref_lat, ref_lon);
            const bool dict = trial % 2 == 1;
            uint32_t entries = 0;
            if (dict) {
                entries = 1 + w.pick(4);
                w.field(entries);
                for (uint32_t k = 0; k < entries; ++k) {
                    const uint32_t e = 1000 + k;
                    w.bytes().append(reinterpret_cast<const char*>(&e), 4);
                }
            }
            // The damage, if any, on a random record: near the start, in the
            // middle or among the last ones, which the checked path reads.
            const auto damage = static_cast<Damage>(trial / 2 % static_cast<uint32_t>(Damage::count));
            const uint32_t damaged_at = w.pick(static_cast<uint32_t>(base.block_len / 6));
            uint32_t whole = 0;  // records that end inside the block
            for (uint32_t i = 0; w.bytes().size() < base.block_len; ++i) {
                w.record(entries, i == damaged_at ? damage : Damage::none);
                if (w.bytes().size() <= base.block_len) whole = i + 1;
            }
            std::string block = w.bytes().substr(0, base.block_len);
            // Mostly every whole record; sometimes one more, cut by the block
            // end, or fewer.
            const uint32_t roll = w.pick(4);
            const uint32_t count = std::max<uint32_t>(1, roll == 0 ? whole + 1 : roll == 1 ? w.pick(whole + 1) : whole);

            std::string file = base.file;
            file.replace(base.block_at, base.block_len, block);
            TempSheet t(file);
            auto idx = Index::open(t.path());
            ASSERT_TRUE(idx) << idx.error().message;
            StreetRecord r = (*idx)->street(0);
            r.house_count = count;
            r.lat_e7 = ref_lat;
            r.lon_e7 = ref_lon;
            if (dict) r.postcode_ref = StreetRecord::kDictionaryMarker;
            const Decoded want = reference_walk(block, count, ref_lat, ref_lon, dict);

            HouseWalk by_next = (*idx)->walk_houses(0, r);
            std::vector<HouseRecord> got;
            for (HouseRecord h; by_next.next(h);) got.push_back(h);
            expect_same(want, got, by_next.failed(), "next()");

            HouseWalk by_each = (*idx)->walk_houses(0, r);
            got.clear();
            by_each.for_each([&](const HouseRecord& h) { got.push_back(h); });
            expect_same(want, got, by_each.failed(), "for_each()");

            // for_each() goes on from where next() stopped.
            HouseWalk mixed = (*idx)->walk_houses(0, r);
            got.clear();
            for (HouseRecord h; got.size() < 2 && mixed.next(h);) got.push_back(h);
            mixed.for_each([&](const HouseRecord& h) { got.push_back(h); });
            expect_same(want, got, mixed.failed(), "next() then for_each()");
        }
    }
}

}  // namespace
}  // namespace tarnwik
