#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "index/container.hpp"
#include "index/index.hpp"
#include "sheet_fixture.hpp"

namespace tarnwik {
namespace {

using testing::patch_u32;
using testing::TempSheet;
using testing::write_or_die;

constexpr double kLat = 50.0, kLon = 8.0;

// A house at kLat + dlat, kLon.
build::HouseSpec house(uint32_t number, double dlat, std::string suffix = "", std::string postcode = "") {
    return build::HouseSpec{number, std::move(suffix), kLat + dlat, kLon, std::move(postcode)};
}

build::SheetSpec spec_of(std::vector<std::vector<build::HouseSpec>> streets, uint8_t version = 7) {
    build::SheetSpec s;
    s.version = version;
    s.communes.push_back({"1", "Testburg", 1, kLat, kLon, {}});
    for (size_t i = 0; i < streets.size(); ++i) {
        build::StreetSpec st{"Street " + std::to_string(i), 0, kLat, kLon, "", std::move(streets[i])};
        s.streets.push_back(std::move(st));
    }
    // Every suffix a test asks for exists, whatever the streets hold:
    // "a" = 1, "b" = 2.
    s.streets.push_back({"Suffixes", 0, kLat, kLon, "", {house(1, 0, "a"), house(1, 0, "b")}});
    return s;
}

struct Opened {
    std::unique_ptr<TempSheet> file;
    std::shared_ptr<const Index> idx;
};

Opened open_bytes(const std::string& bytes) {
    Opened o{std::make_unique<TempSheet>(bytes), nullptr};
    auto idx = Index::open(o.file->path());
    EXPECT_TRUE(idx) << (idx ? "" : idx.error().message);
    if (idx) o.idx = *idx;
    return o;
}

Opened open_spec(const build::SheetSpec& spec) { return open_bytes(write_or_die(spec)); }

std::optional<FoundHouse> find(const Index& x, uint32_t street, uint32_t number, uint32_t suffix = 0,
                               std::optional<uint32_t> postcode = std::nullopt) {
    return x.find_house(street, x.street(street), number, suffix, postcode.has_value(), postcode.value_or(0));
}

const char* kind_name(HouseMatchKind k) {
    switch (k) {
        case HouseMatchKind::nearest: return "nearest";
        case HouseMatchKind::same_number: return "same_number";
        case HouseMatchKind::exact: return "exact";
        case HouseMatchKind::interpolated: return "interpolated";
    }
    return "?";
}

// ---------------------------------------------------------------------------
// find_house: exact, same number, interpolation, nearest

struct PlacementCase {
    const char* what;
    std::vector<build::HouseSpec> houses;
    uint32_t number, suffix;
    HouseMatchKind kind;
    uint32_t want_number, want_suffix;
    double want_dlat;  // expected latitude - kLat
};

TEST(FindHouse, PlacesTheRequestedHouse) {
    using K = HouseMatchKind;
    const std::vector<PlacementCase> cases = {
        {"exact", {house(2, 0.0001), house(4, 0.0002), house(6, 0.0003)}, 4, 0, K::exact, 4, 0, 0.0002},
        {"walk stops at 6, no odd house: halfway between 4 and 6",
         {house(2, 0.0001), house(4, 0.0002), house(6, 0.0004)}, 5, 0, K::interpolated, 5, 0, 0.0003},
        {"continues past 6 to 7, interpolates 3..7",
         {house(1, 0.0000), house(3, 0.0002), house(4, 0.0003), house(6, 0.0005), house(7, 0.0010)}, 5, 0,
         K::interpolated, 5, 0, 0.0006},
        {"odd house between even ones is passed: 2..8 at t = 1/3",
         {house(2, 0.0000), house(5, 0.0001), house(8, 0.0006)}, 4, 0, K::interpolated, 4, 0, 0.0002},
        {"no lower house of the parity: last lower and first higher",
         {house(3, 0.0000), house(5, 0.0003), house(8, 0.0006)}, 6, 0, K::interpolated, 6, 0, 0.0004},
        {"block ends without a higher house of the parity: 2..7 at t = 2/5",
         {house(2, 0.0000), house(7, 0.0005), house(9, 0.0009)}, 4, 0, K::interpolated, 4, 0, 0.0002},
        {"a gap of 12 numbers still interpolates", {house(2, 0.0000), house(14, 0.0012)}, 8, 0, K::interpolated, 8,
         0, 0.0006},
        {"a gap of 13 numbers does not: the nearer number, 2 (6 against 7)",
         {house(2, 0.0000), house(15, 0.0013)}, 8, 0, K::nearest, 2, 0, 0.0000},
        {"a gap of 16 returns the nearer number", {house(2, 0.0000), house(4, 0.0001), house(20, 0.0005)}, 10, 0,
         K::nearest, 4, 0, 0.0001},
        {"houses 1 km apart, tie goes to the lower", {house(8, 0.0), house(12, 0.009)}, 10, 0, K::nearest, 8, 0,
         0.0},
        {"houses 1 km apart, the nearer number wins", {house(8, 0.0), house(11, 0.009)}, 10, 0, K::nearest, 11, 0,
         0.009},
        {"exact suffix", {house(12, 0.0001), house(12, 0.0002, "a")}, 12, 1, K::exact, 12, 1, 0.0002},
        {"other suffix of the same number", {house(12, 0.0001), house(12, 0.0002, "a")}, 12, 2, K::same_number, 12,
         0, 0.0001},
        {"same number beats interpolation", {house(10, 0.0001), house(12, 0.0002, "a"), house(14, 0.0003)}, 12, 0,
         K::same_number, 12, 1, 0.0002},
        {"below every house", {house(10, 0.0001), house(12, 0.0002)}, 3, 0, K::nearest, 10, 0, 0.0001},
        {"above every house", {house(10, 0.0001), house(12, 0.0002)}, 30, 0, K::nearest, 12, 0, 0.0002},
        {"a single house of another number", {house(7, 0.0001)}, 8, 0, K::nearest, 7, 0, 0.0001},
    };
    for (const PlacementCase& c : cases) {
        SCOPED_TRACE(c.what);
        Opened o = open_spec(spec_of({c.houses}));
        ASSERT_TRUE(o.idx);
        auto f = find(*o.idx, 0, c.number, c.suffix);
        ASSERT_TRUE(f);
        EXPECT_STREQ(kind_name(f->kind), kind_name(c.kind));
        EXPECT_EQ(f->number, c.want_number);
        EXPECT_EQ(f->suffix_id, c.want_suffix);
        EXPECT_NEAR(f->pos.lat, kLat + c.want_dlat, 1e-9);
        EXPECT_NEAR(f->pos.lon, kLon, 1e-9);
    }
}

TEST(FindHouse, InterpolationNeedsNeighboursCloserThan300Metres) {
    // 0.0027 degrees of latitude is about 300.2 m; 0.0026 about 289 m.
    Opened far = open_spec(spec_of({{house(4, 0.0), house(6, 0.0027)}}));
    Opened near = open_spec(spec_of({{house(4, 0.0), house(6, 0.0026)}}));
    auto f = find(*far.idx, 0, 5);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, HouseMatchKind::nearest);
    EXPECT_EQ(f->number, 4u);  // tie of 1 and 1
    auto g = find(*near.idx, 0, 5);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->kind, HouseMatchKind::interpolated);
    EXPECT_NEAR(g->pos.lat, kLat + 0.0013, 1e-9);
}

TEST(FindHouse, InterpolatedPostcodeOnlyWhenBothNeighboursShareIt) {
    // Two postcodes on one street give it a dictionary.
    Opened o = open_spec(spec_of({{house(2, 0.0, "", "10115"), house(4, 0.0001, "", "10115"),
                                   house(6, 0.0002, "", "10117")}}));
    const Index& x = *o.idx;
    ASSERT_EQ(x.street(0).postcode_ref, StreetRecord::kDictionaryMarker);
    auto same = find(x, 0, 3);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->kind, HouseMatchKind::interpolated);
    EXPECT_EQ(x.name(same->postcode_off), "10115");
    auto mixed = find(x, 0, 5);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->kind, HouseMatchKind::interpolated);
    EXPECT_EQ(mixed->postcode_off, 0u);
}

TEST(FindHouse, PostcodeChoosesAmongExactHouses) {
    // Two records of house 5, in two postcodes (block order as listed).
    Opened o = open_spec(spec_of({{house(5, 0.0001, "", "10115"), house(5, 0.0002, "", "10117"),
                                   house(7, 0.0003, "", "10117")}}));
    const Index& x = *o.idx;
    struct Case {
        std::optional<uint32_t> postcode;
        double dlat;
        const char* postcode_text;
    };
    for (const Case& c : {Case{std::nullopt, 0.0001, "10115"}, Case{10117, 0.0002, "10117"},
                          Case{10115, 0.0001, "10115"}, Case{10119, 0.0001, "10115"}}) {
        SCOPED_TRACE(c.postcode.value_or(0));
        auto f = find(x, 0, 5, 0, c.postcode);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->kind, HouseMatchKind::exact);
        EXPECT_NEAR(f->pos.lat, kLat + c.dlat, 1e-9);
        EXPECT_EQ(x.postcode_for_house(x.street(0), f->postcode_off), c.postcode_text);
    }
}

TEST(FindHouse, PostcodeOfAStreetWithoutDictionaryIsItsNumericPostcode) {
    build::SheetSpec s = spec_of({{house(5, 0.0001), house(5, 0.0002, "a")}});
    s.streets[0].postcode = "01067";
    Opened o = open_spec(s);
    const Index& x = *o.idx;
    EXPECT_EQ(x.street(0).postcode_num, 1067u);
    auto f = find(x, 0, 5, 0, 1067);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, HouseMatchKind::exact);
    // The wrong postcode still places the only exact house.
    auto g = find(x, 0, 5, 1, 1068);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->kind, HouseMatchKind::exact);
    EXPECT_NEAR(g->pos.lat, kLat + 0.0002, 1e-9);
    EXPECT_EQ(x.postcode_for_house(x.street(0), g->postcode_off), "01067");
}

TEST(FindHouse, NoBlockNoHouse) {
    Opened o = open_spec(spec_of({{house(5, 0.0)}}));
    const Index& x = *o.idx;
    EXPECT_FALSE(x.find_house(99, x.street(0), 5, 0, false, 0));  // id past the table
    StreetRecord r = x.street(0);
    r.house_count = 0;
    EXPECT_FALSE(x.find_house(0, r, 5, 0, false, 0));
    r = x.street(0);
    r.houses_off = x.street(1).houses_off;  // empty block
    EXPECT_FALSE(x.find_house(0, r, 5, 0, false, 0));
}

// ---------------------------------------------------------------------------
// Damaged blocks

struct SheetBytes {
    std::string file;
    SectionSlot houses, streets;
};

SheetBytes bytes_of(const build::SheetSpec& spec) {
    SheetBytes b{write_or_die(spec), {}, {}};
    auto t = parse_sections(ByteView(b.file));
    EXPECT_TRUE(t);
    b.houses = (*t)[section::houses];
    b.streets = (*t)[section::streets_meta];
    return b;
}

TEST(FindHouse, ADamagedRecordLosesTheLookupEvenAfterAMatch) {
    // Street 0: houses 2, 4, 6; street 1 follows in the section. Setting the
    // continuation bit on the last byte of street 0's block makes its last
    // varint run into the block end.
    SheetBytes b = bytes_of(spec_of({{house(2, 0.0), house(4, 0.0001), house(6, 0.0002)}, {house(3, 0.0)}}));
    uint64_t next_off;
    std::memcpy(&next_off, &b.file[b.streets.offset + 36 + 20], 8);
    b.file[b.houses.offset + next_off - 1] |= static_cast<char>(0x80);
    Opened o = open_bytes(b.file);
    const Index& x = *o.idx;
    EXPECT_FALSE(find(x, 0, 5));  // houses 4 and 6 were seen, the walk did not finish
    EXPECT_FALSE(find(x, 0, 7));
    auto exact = find(x, 0, 2);  // returned before the damage is reached
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->kind, HouseMatchKind::exact);
    auto other = find(x, 1, 3);  // the next street is untouched
    ASSERT_TRUE(other);
    EXPECT_EQ(other->kind, HouseMatchKind::exact);
}

TEST(FindHouse, OutOfRangeCoordinatesEndTheWalk) {
    // The street's reference point just below the pole: house 4, 0.0002
    // degrees north of it, lies past 90 degrees.
    build::SheetSpec s = spec_of({{house(2, 0.0), house(4, 0.0003)}});
    s.streets[0].lat = kLat + 0.0001;
    SheetBytes b = bytes_of(s);
    const int32_t lat = 900000000 - 1000;  // 0.0001 degrees below the pole
    std::memcpy(&b.file[b.streets.offset + 0], &lat, 4);
    Opened o = open_bytes(b.file);
    const Index& x = *o.idx;
    EXPECT_FALSE(find(x, 0, 3));
    auto first = find(x, 0, 2);
    ASSERT_TRUE(first);
    EXPECT_NEAR(first->pos.lat, 89.9998, 1e-9);
}

TEST(HouseWalk, DecodesEveryRecordAndStopsAtDamage) {
    SheetBytes b = bytes_of(spec_of({{house(2, 0.0001, "", "10115"), house(2, -0.0001, "a", "10117"),
                                      house(40, 0.0002)}}));
    Opened o = open_bytes(b.file);
    const Index& x = *o.idx;
    HouseWalk w = x.walk_houses(0, x.street(0));
    std::vector<HouseRecord> got;
    for (HouseRecord h; w.next(h);) got.push_back(h);
    EXPECT_FALSE(w.failed());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].number, 2u);
    EXPECT_EQ(got[1].number, 2u);
    EXPECT_EQ(got[1].suffix_id, 1u);
    EXPECT_EQ(got[2].number, 40u);
    EXPECT_EQ(got[0].lat_e7, 500001000);
    EXPECT_EQ(got[1].lat_e7, 499999000);
    EXPECT_EQ(x.name(got[0].postcode_off), "10115");
    EXPECT_EQ(x.name(got[1].postcode_off), "10117");
    EXPECT_EQ(got[2].postcode_off, 0u);  // slot 0: no postcode

    // A house count larger than the block holds: the walk fails after the
    // records that are there.
    StreetRecord r = x.street(0);
    r.house_count = 4;
    HouseWalk w2 = x.walk_houses(0, r);
    size_t n = 0;
    for (HouseRecord h; w2.next(h);) ++n;
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(w2.failed());
}

TEST(HouseWalk, NumberOverflowEndsTheWalk) {
    // The first house sits on the street's point, so its record is the
    // number (5 varint bytes for numbers past 2^28), then three zero bytes;
    // the second record starts with the number delta, here 1.
    SheetBytes b = bytes_of(spec_of({{house(4000000000u, 0.0), house(4000000001u, 0.0001)}}));
    const size_t block = b.houses.offset;
    ASSERT_EQ(static_cast<uint8_t>(b.file[block + 8]), 1u);
    const uint32_t top = 0xFFFFFFFFu - 100;
    std::string first;
    for (uint64_t v = top;; v >>= 7) {
        if (v < 0x80) {
            first.push_back(static_cast<char>(v));
            break;
        }
        first.push_back(static_cast<char>((v & 0x7F) | 0x80));
    }
    ASSERT_EQ(first.size(), 5u);
    b.file.replace(block, 5, first);
    b.file[block + 8] = 0x7F;  // top + 127 > 2^32 - 1
    Opened o = open_bytes(b.file);
    const Index& x = *o.idx;
    HouseWalk w = x.walk_houses(0, x.street(0));
    HouseRecord h;
    ASSERT_TRUE(w.next(h));
    EXPECT_EQ(h.number, top);
    EXPECT_FALSE(w.next(h));
    EXPECT_TRUE(w.failed());
    EXPECT_FALSE(find(x, 0, 0xFFFFFFFFu));
    // A lookup that stops before the damage is unaffected.
    auto below = find(x, 0, 5);
    ASSERT_TRUE(below);
    EXPECT_EQ(below->number, top);
}

TEST(HouseWalk, VersionSixHasNoDictionaryEvenWithTheMarker) {
    build::SheetSpec s = spec_of({{house(5, 0.0001, "", "10115"), house(7, 0.0002, "", "10117")}}, 6);
    SheetBytes b = bytes_of(s);
    patch_u32(b.file, b.streets.offset + 32, StreetRecord::kDictionaryMarker);
    Opened o = open_bytes(b.file);
    const Index& x = *o.idx;
    const StreetRecord r = x.street(0);
    auto f = find(x, 0, 7);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, HouseMatchKind::exact);
    EXPECT_EQ(x.postcode_for_house(r, f->postcode_off), "");
    PostcodeMemo memo;
    EXPECT_FALSE(x.exact_house_postcode_candidate_cached(memo, 0, r, 7, 0, 10117));
}

// ---------------------------------------------------------------------------
// Postcodes

TEST(Postcodes, PostcodeForHouse) {
    Opened o = open_spec(spec_of({{house(5, 0.0, "", "10115"), house(7, 0.0001, "", "10117")}}));
    const Index& x = *o.idx;
    const StreetRecord dict_street = x.street(0);
    HouseWalk w = x.walk_houses(0, dict_street);
    HouseRecord h;
    ASSERT_TRUE(w.next(h));
    const uint32_t off_10115 = h.postcode_off;

    StreetRecord r{};
    r.postcode_ref = 0;
    r.postcode_num = 1067;
    EXPECT_EQ(x.postcode_for_house(r, off_10115), "01067");  // the house's own offset is ignored
    r.postcode_num = 1234567;
    EXPECT_EQ(x.postcode_for_house(r, 0), "1234567");
    r.postcode_num = 0;
    EXPECT_EQ(x.postcode_for_house(r, 0), "");
    r.postcode_ref = off_10115;
    r.postcode_num = 99;
    EXPECT_EQ(x.postcode_for_house(r, 0), "10115");  // the text wins over the number
    r.postcode_ref = 1u << 30;                       // unreadable: fall back to the number
    EXPECT_EQ(x.postcode_for_house(r, 0), "00099");
    r.postcode_ref = StreetRecord::kDictionaryMarker;
    EXPECT_EQ(x.postcode_for_house(r, off_10115), "10115");
    EXPECT_EQ(x.postcode_for_house(r, 0), "");
    EXPECT_EQ(x.postcode_for_house(r, 1u << 30), "");
}

TEST(Postcodes, NumericPrefix) {
    struct Case {
        const char* text;
        std::optional<uint32_t> want;
    };
    for (const Case& c : {Case{"75001 PARIS", 75001}, Case{"A123", std::nullopt}, Case{"99999999999", std::nullopt},
                          Case{"4294967295", 4294967295u}, Case{"4294967296", std::nullopt}, Case{"", std::nullopt},
                          Case{"01067", 1067}, Case{"0", 0}, Case{"12a", 12}, Case{"+123", std::nullopt}}) {
        EXPECT_EQ(postcode_numeric_prefix(c.text), c.want) << c.text;
    }
}

TEST(Postcodes, ExactHouseCandidateTest) {
    Opened o = open_spec(spec_of({
        {house(5, 0.0, "", "10115"), house(7, 0.0001, "", "10117"), house(9, 0.0002, "", "10117")},
        {house(3, 0.0)},
    }));
    const Index& x = *o.idx;
    build::SheetSpec plain = spec_of({{house(3, 0.0)}});
    plain.streets[0].postcode = "01067";
    Opened p = open_spec(plain);

    PostcodeMemo memo;
    const StreetRecord r = x.street(0);
    EXPECT_TRUE(x.exact_house_postcode_candidate_cached(memo, 0, r, 7, 0, 10117));
    EXPECT_FALSE(x.exact_house_postcode_candidate_cached(memo, 0, r, 5, 0, 10117));  // house 5 is in 10115
    EXPECT_FALSE(x.exact_house_postcode_candidate_cached(memo, 0, r, 8, 0, 10117));  // interpolated, not exact
    EXPECT_FALSE(x.exact_house_postcode_candidate_cached(memo, 0, r, 7, 0, 10119));  // not in the dictionary
    EXPECT_FALSE(x.exact_house_postcode_candidate_cached(memo, 1, x.street(1), 3, 0, 0));  // no postcode at all
    EXPECT_EQ(memo.size(), 5u);
    EXPECT_EQ(memo.at(PostcodeMemoKey{0, 7, 0, 10117}), true);
    EXPECT_EQ(memo.at(PostcodeMemoKey{0, 5, 0, 10117}), false);

    // A stored answer is returned as it is.
    memo[PostcodeMemoKey{0, 5, 0, 10117}] = true;
    EXPECT_TRUE(x.exact_house_postcode_candidate_cached(memo, 0, r, 5, 0, 10117));

    PostcodeMemo m2;
    EXPECT_TRUE(x.exact_house_postcode_set_candidate_cached(m2, 0, r, 7, 0, std::vector<uint32_t>{9}, 10117));
    EXPECT_FALSE(x.exact_house_postcode_set_candidate_cached(m2, 0, r, 7, 0, std::vector<uint32_t>{5, 9}, 10117));
    // Stops at the first false: 9 after 5 is not asked.
    PostcodeMemo m3;
    EXPECT_FALSE(x.exact_house_postcode_set_candidate_cached(m3, 0, r, 7, 0, std::vector<uint32_t>{5, 9}, 10117));
    EXPECT_FALSE(m3.contains(PostcodeMemoKey{0, 9, 0, 10117}));

    // Without a dictionary: the street's numeric postcode, leading zero and all.
    PostcodeMemo m4;
    const Index& y = *p.idx;
    EXPECT_TRUE(y.exact_house_postcode_candidate_cached(m4, 0, y.street(0), 3, 0, 1067));
    EXPECT_FALSE(y.exact_house_postcode_candidate_cached(m4, 0, y.street(0), 3, 0, 1068));
    EXPECT_FALSE(y.exact_house_postcode_candidate_cached(m4, 0, y.street(0), 4, 0, 1067));  // nearest only
}

TEST(DistKm, Haversine) {
    EXPECT_EQ(Index::dist_km(50.1, 8.2, 50.1, 8.2), 0.0);
    EXPECT_NEAR(Index::dist_km(0, 0, 0, 1), 111.19, 0.005);
    EXPECT_NEAR(Index::dist_km(0, 0, 1, 0), 111.19, 0.005);
    EXPECT_NEAR(Index::dist_km(0, 0, 0, 180), 12742 * M_PI / 2, 1e-6);  // half the circumference
    EXPECT_DOUBLE_EQ(Index::dist_km(52.5, 13.4, 48.1, 11.6), Index::dist_km(48.1, 11.6, 52.5, 13.4));
}

}  // namespace
}  // namespace tarnwik
