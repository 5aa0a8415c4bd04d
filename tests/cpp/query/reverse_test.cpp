#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>

#include "build/admin_writer.hpp"
#include "index/container.hpp"
#include "index/index.hpp"
#include "index/sheet_fixture.hpp"
#include "query/reverse.hpp"
#include "rules/rules.hpp"

namespace tarnwik {
namespace {

using query::format_coordinate;
using query::try_reverse;
using testing::TempSheet;
using testing::write_or_die;

// Cell centres of the 0.01-degree grid around (50.005, 8.005).
constexpr double kLat = 50.005, kLon = 8.005, kCell = 0.01;
constexpr double kMetresPerE7 = 111320.0 / 1e7;

build::HouseSpec house(uint32_t number, double lat, double lon, std::string suffix = "", std::string pc = "") {
    return build::HouseSpec{number, std::move(suffix), lat, lon, std::move(pc)};
}

build::StreetSpec street(std::string name, std::vector<build::HouseSpec> houses, uint32_t commune = 0) {
    return build::StreetSpec{std::move(name), commune, std::nullopt, std::nullopt, "", std::move(houses)};
}

build::SheetSpec sheet(std::vector<build::StreetSpec> streets) {
    build::SheetSpec s;
    s.meta = {{"country", "de"}};
    s.communes.push_back({"1", "Rheinau", 5, kLat, kLon, {}});
    s.communes.push_back({"2", "Feldheim", 3, kLat, kLon, {}});
    s.streets = std::move(streets);
    return s;
}

struct Opened {
    std::unique_ptr<TempSheet> file;
    std::shared_ptr<const Index> idx;
    const Index& operator*() const { return *idx; }
};

Opened open_bytes(const std::string& bytes) {
    Opened o{std::make_unique<TempSheet>(bytes), nullptr};
    auto idx = Index::open(o.file->path());
    EXPECT_TRUE(idx) << (idx ? "" : idx.error().message);
    if (idx) o.idx = *idx;
    return o;
}
Opened open_spec(const build::SheetSpec& s) { return open_bytes(write_or_die(s)); }

std::vector<Hit> reverse(const Index& x, double lat, double lon, uint64_t k = 100) {
    auto r = try_reverse(x, lat, lon, k);
    EXPECT_TRUE(r) << (r ? "" : r.error().message);
    return r ? *r : std::vector<Hit>{};
}

std::vector<std::string> streets_of(const std::vector<Hit>& hits) {
    std::vector<std::string> out;
    for (const Hit& h : hits)
        if (out.empty() || out.back() != h.street) out.push_back(h.street);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

using Names = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Coordinates

TEST(ReverseCoordinates, RefusedWithTheExactText) {
    Opened o = open_spec(sheet({street("A", {house(1, kLat, kLon)})}));
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Case {
        double lat, lon;
        const char* shown;
    };
    for (const Case& c : {
             Case{91, 0, "lat=91, lon=0"},
             Case{90.0000001, 8, "lat=90.0000001, lon=8"},
             Case{nextafter(90.0, 100.0), 8, "lat=90.00000000000001, lon=8"},
             Case{45, 180.5, "lat=45, lon=180.5"},
             Case{-90.5, -180.25, "lat=-90.5, lon=-180.25"},
             Case{nan, 0, "lat=NaN, lon=0"},
             Case{-nan, 0, "lat=NaN, lon=0"},
             Case{0, inf, "lat=0, lon=inf"},
             Case{-inf, 1.5, "lat=-inf, lon=1.5"},
             Case{0.1 + 0.2, 200, "lat=0.30000000000000004, lon=200"},
             Case{1e21, 0, "lat=1000000000000000000000, lon=0"},
             Case{-0.0, 1e-7 + 181, "lat=-0, lon=181.0000001"},
         }) {
        const std::string want = std::string("reverse: coordinates out of range or non-finite (") + c.shown +
                                 "); expected finite lat in [-90,90], lon in [-180,180]";
        for (uint64_t k : {uint64_t{0}, uint64_t{3}}) {
            auto r = try_reverse(*o, c.lat, c.lon, k);
            ASSERT_FALSE(r) << c.shown;
            EXPECT_EQ(r.error().message, want);
        }
    }
}

TEST(ReverseCoordinates, FormatIsShortestRoundTripWithoutExponent) {
    EXPECT_EQ(format_coordinate(45), "45");
    EXPECT_EQ(format_coordinate(1e-7), "0.0000001");
    EXPECT_EQ(format_coordinate(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(format_coordinate(-1.5e300).size(), 302u);
    EXPECT_EQ(format_coordinate(123456.789), "123456.789");
}

TEST(ReverseCoordinates, BoundsAreAccepted) {
    // Houses in the last row and column of the grid; (90, 180) computes row
    // 18000 and column 36000, which are clamped into the grid.
    Opened o = open_spec(sheet({street("Pole Road", {house(1, 89.995, 179.995)}),
                                street("Date Line", {house(2, -89.995, -179.995)})}));
    auto hits = reverse(*o, 90, 180, 3);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].street, "Pole Road");
    hits = reverse(*o, -90, -180, 3);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].street, "Date Line");
    EXPECT_TRUE(reverse(*o, 0, 0, 3).empty());
    EXPECT_TRUE(reverse(*o, 10, 20, 0).empty());  // valid, k = 0
}

// ---------------------------------------------------------------------------
// Candidate streets

TEST(ReverseStreets, TheRadiusGrowsUntilThreeStreets) {
    // Streets one cell apart to the north of the query point's cell.
    auto at_row = [](const char* name, int row) {
        return street(name, {house(1, kLat + row * kCell, kLon)});
    };
    struct Case {
        const char* what;
        std::vector<build::StreetSpec> streets;
        Names want;
    };
    const std::vector<Case> cases = {
        {"three within radius 1: radius 2 is not read",
         {at_row("R0", 0), at_row("R1", 1), at_row("R1b", -1), at_row("R2", 2)},
         {"R0", "R1", "R1b"}},
        {"two within radius 1, three within radius 2: exactly radius 2",
         {at_row("R0", 0), at_row("R1", 1), at_row("R2", 2), at_row("R3", 3)},
         {"R0", "R1", "R2"}},
        {"fewer than three within radius 2: radius 4, not beyond",
         {at_row("R0", 0), at_row("R3", 3), at_row("R4", -4), at_row("R5", 5)},
         {"R0", "R3", "R4"}},
        {"fewer than three even within radius 4: whatever radius 4 holds",
         {at_row("R4", 4), at_row("R5", 5)},
         {"R4"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Opened o = open_spec(sheet(c.streets));
        EXPECT_EQ(streets_of(reverse(*o, kLat, kLon)), c.want);
    }
}

TEST(ReverseStreets, AStreetInSeveralCellsCountsOnce) {
    // "Long" lies in the query cell and the next one east: two cells list
    // it, but it is one street, so radius 1 holds only two streets and
    // radius 2 is read.
    Opened o = open_spec(sheet({
        street("Long", {house(1, kLat, kLon), house(3, kLat, kLon + kCell)}),
        street("North", {house(1, kLat + kCell, kLon)}),
        street("Far", {house(1, kLat - 2 * kCell, kLon)}),
    }));
    auto hits = reverse(*o, kLat, kLon);
    EXPECT_EQ(streets_of(hits), (Names{"Far", "Long", "North"}));
    EXPECT_EQ(hits.size(), 4u);
}

TEST(ReverseStreets, EmptyGridOrNoDataNearby) {
    build::SheetSpec s = sheet({street("A", {house(1, kLat, kLon)})});
    Opened far = open_spec(s);
    EXPECT_TRUE(reverse(*far, kLat + 1, kLon).empty());
    s.section_overrides[section::reverse_grid] = std::string("\0\0\0\0", 4);
    Opened empty = open_spec(s);
    EXPECT_TRUE(reverse(*empty, kLat, kLon).empty());
    s.section_overrides[section::reverse_grid] = std::string("\x05\0\0\0", 4);  // 5 cells announced, none there
    Opened bad = open_spec(s);
    EXPECT_TRUE(reverse(*bad, kLat, kLon).empty());
}

// ---------------------------------------------------------------------------
// Hits

TEST(ReverseHits, PrecisionConfidenceAndDistance) {
    // Houses due north of the query point; distance = n * 1e-7 degrees *
    // 111320 m exactly up to rounding of the decimal degrees.
    const double q = 50.0;  // the query latitude, a whole number of 1e-7 degrees
    struct Case {
        int64_t n;               // house offset in 1e-7 degrees
        const char* precision;
        float confidence;        // expected single-precision confidence (approx.)
        double distance_m;
    };
    const std::vector<Case> cases = {
        {449, "house", 0.95f, 5.0},            // 4.998 m: 0.96 is clamped to 0.95
        {4490, "house", 0.87003f, 50.0},       // 49.98 m
        {4491, "house", 0.87001f, 50.0},       // 49.994 m
        {4492, "near", 0.86999f, 50.0},        // 50.0054 m, rounds to 50.0 but is over 50
        {22457, "near", 0.470017f, 250.0},        // 249.99 m
        {22459, "approximate", 0.469973f, 250.0},  // 250.01 m
        {53900, "approximate", 0.1f, 600.0},   // 600.0 m: the floor of 0.1 binds
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        Opened o = open_spec(sheet({street("A", {house(7, q + c.n * 1e-7, 8.0)})}));
        auto hits = reverse(*o, q, 8.0, 1);
        ASSERT_EQ(hits.size(), 1u);
        const Hit& h = hits[0];
        const double d = c.n * kMetresPerE7;
        EXPECT_EQ(h.precision, c.precision) << d;
        EXPECT_NEAR(h.confidence, c.confidence, 2e-5);
        ASSERT_TRUE(h.distance_m);
        EXPECT_NEAR(*h.distance_m, c.distance_m, 1e-9);
        EXPECT_NEAR(h.lat, q + c.n * 1e-7, 1e-12);
    }
}

TEST(ReverseHits, DistanceIsRoundedToOneDecimalAndUsesTheCosFactor) {
    // 1000 * 1e-7 degrees of longitude at latitude 60: 11.132 m * 0.5.
    Opened o = open_spec(sheet({street("A", {house(1, 60.0, 8.0001)})}));
    auto hits = reverse(*o, 60.0, 8.0, 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(*hits[0].distance_m, 5.6);  // 5.566 m
    // 0.0001 degrees of longitude at latitude 89.999: the cos factor is
    // floored at 0.01, so 0.11 m, not 0.0002 m.
    Opened pole = open_spec(sheet({street("B", {house(1, 89.999, 8.0001)})}));
    hits = reverse(*pole, 89.999, 8.0, 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(*hits[0].distance_m, 0.1);
}

TEST(ReverseHits, FieldsOfAHit) {
    build::SheetSpec s = sheet({
        street("Lindenweg", {house(4, kLat, kLon, "a", "10115"), house(6, kLat + 0.0001, kLon, "", "10117")}),
        street("Am Markt", {house(9, kLat + 0.0002, kLon)}, 1),
    });
    s.streets[1].postcode = "01067";
    Opened o = open_spec(s);
    auto hits = reverse(*o, kLat, kLon, 3);
    ASSERT_EQ(hits.size(), 3u);
    const Hit& a = hits[0];
    EXPECT_EQ(a.street, "Lindenweg");
    EXPECT_EQ(a.housenumber, "4a");
    EXPECT_EQ(a.commune, "Rheinau");
    EXPECT_EQ(a.postcode, "10115");  // the house's own postcode
    EXPECT_EQ(a.score, 0.0f);
    EXPECT_TRUE(a.flags.empty());
    EXPECT_FALSE(a.region);
    EXPECT_EQ(a.distance_m, 0.0);
    EXPECT_EQ(a.precision, "house");
    EXPECT_EQ(hits[1].postcode, "10117");
    EXPECT_EQ(hits[1].housenumber, "6");
    EXPECT_EQ(hits[2].street, "Am Markt");
    EXPECT_EQ(hits[2].commune, "Feldheim");
    EXPECT_EQ(hits[2].postcode, "01067");
    EXPECT_EQ(hits[2].distance_m, 22.3);  // 0.0002 degrees
}

TEST(ReverseHits, OrderTiesAndRepeats) {
    Opened o = open_spec(sheet({
        // Two records of house 3 (two entrances): one hit, at the nearer.
        street("B", {house(3, kLat + 0.0003, kLon), house(3, kLat + 0.0001, kLon), house(3, kLat + 0.0002, kLon, "a"),
                     house(5, kLat, kLon)}),
        // Same position as B 5: street id order breaks the tie; within a
        // block, block order (7 before 8).
        street("A", {house(8, kLat, kLon), house(7, kLat, kLon)}),
    }));
    auto hits = reverse(*o, kLat, kLon, 10);
    std::vector<std::string> got;
    for (const Hit& h : hits) got.push_back(h.street + " " + *h.housenumber);
    EXPECT_EQ(got, (Names{"B 5", "A 7", "A 8", "B 3", "B 3a"}));
    EXPECT_EQ(hits[3].distance_m, 11.1);
}

TEST(ReverseHits, KIsCutTo100) {
    std::vector<build::HouseSpec> many;
    for (uint32_t n = 1; n <= 150; ++n) many.push_back(house(n, kLat + n * 1e-6, kLon));
    Opened o = open_spec(sheet({street("Long Row", many)}));
    auto hits = reverse(*o, kLat, kLon, 1000);
    ASSERT_EQ(hits.size(), 100u);
    EXPECT_EQ(hits.front().housenumber, "1");
    EXPECT_EQ(hits.back().housenumber, "100");
    EXPECT_EQ(reverse(*o, kLat, kLon, UINT64_MAX).size(), 100u);
    EXPECT_EQ(reverse(*o, kLat, kLon, 7).size(), 7u);
}

TEST(ReverseHits, ADamagedBlockCostsOnlyItsOwnLaterHouses) {
    build::SheetSpec s = sheet({
        street("Broken", {house(1, kLat, kLon), house(2, kLat + 0.00001, kLon), house(3, kLat + 0.00002, kLon)}),
        street("Whole", {house(1, kLat + 0.00003, kLon)}),
    });
    std::string bytes = write_or_die(s);
    auto t = parse_sections(ByteView(bytes));
    ASSERT_TRUE(t);
    uint64_t next;
    std::memcpy(&next, &bytes[(*t)[section::streets_meta].offset + 36 + 20], 8);
    bytes[(*t)[section::houses].offset + next - 1] |= static_cast<char>(0x80);  // house 3's last varint
    Opened o = open_bytes(bytes);
    auto hits = reverse(*o, kLat, kLon, 10);
    std::vector<std::string> got;
    for (const Hit& h : hits) got.push_back(h.street + " " + *h.housenumber);
    EXPECT_EQ(got, (Names{"Broken 1", "Broken 2", "Whole 1"}));
}

TEST(ReverseHits, RegionsComeFromTheSidecar) {
    char tmpl[] = "/tmp/tarnwik-reverse-XXXXXX";
    ASSERT_TRUE(::mkdtemp(tmpl));
    const std::string dir = tmpl;
    const std::string path = dir + "/de.sheet";
    std::ofstream(path, std::ios::binary)
        << write_or_die(sheet({street("A", {house(1, kLat, kLon), house(2, kLat + 0.002, kLon)})}));
    auto written = build::write_admin_sidecar(
        path, {{"Unterbezirk", {{{kLat - 0.001, kLon - 0.001}, {kLat - 0.001, kLon + 0.001},
                                 {kLat + 0.001, kLon + 0.001}, {kLat + 0.001, kLon - 0.001}}}}});
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, dir + "/de_admin.bin");
    auto idx = Index::open(path);
    ASSERT_TRUE(idx);
    auto hits = reverse(**idx, kLat, kLon, 2);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].region, "Unterbezirk");
    EXPECT_FALSE(hits[1].region);  // the house lies outside, whatever the query point
    std::filesystem::remove_all(dir);
}

TEST(ReverseHits, CurrentRulesAreRestored) {
    Opened o = open_spec(sheet({street("A", {house(1, kLat, kLon)})}));
    Rules mine = rules::defaults();
    rules::ScopedCurrent scope(mine);
    reverse(*o, kLat, kLon, 3);
    EXPECT_EQ(&rules::current(), &mine);
}

}  // namespace
}  // namespace tarnwik
