#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "build/admin_writer.hpp"
#include "index/admin.hpp"
#include "index/index.hpp"
#include "sheet_fixture.hpp"

namespace tarnwik {
namespace {

namespace fs = std::filesystem;
using build::AdminRegionSpec;

// A rectangle as one ring of (lat, lon) degrees.
std::vector<std::pair<double, double>> rect(double lat0, double lon0, double lat1, double lon1) {
    return {{lat0, lon0}, {lat0, lon1}, {lat1, lon1}, {lat1, lon0}};
}

std::string sidecar(const std::vector<AdminRegionSpec>& regions) {
    auto b = build::encode_admin_sidecar(regions);
    EXPECT_TRUE(b) << (b ? "" : b.error().message);
    return b ? *b : std::string();
}

std::vector<AdminRegion> parse(const std::string& bytes) {
    auto r = parse_admin_sidecar(ByteView(bytes));
    EXPECT_TRUE(r);
    return r ? *r : std::vector<AdminRegion>{};
}

const std::vector<AdminRegionSpec> kRegions = {
    // A square with a square hole.
    {"Ringland", {rect(1, 1, 2, 2), rect(1.4, 1.4, 1.6, 1.6)}},
    // Overlaps Ringland's east half; listed second.
    {"Eastmark", {rect(1, 1.5, 2, 3)}},
    // Around (0, 0), for NaN.
    {"Nullia", {rect(-0.5, -0.5, 0.5, 0.5)}},
};

TEST(AdminSidecar, PathIsTheSheetStemNextToIt) {
    EXPECT_EQ(admin_sidecar_path("/d/de.sheet"), "/d/de_admin.bin");
    EXPECT_EQ(admin_sidecar_path("de.sheet"), "de_admin.bin");
    EXPECT_EQ(admin_sidecar_path("/d/de"), "/d/de_admin.bin");
    EXPECT_EQ(admin_sidecar_path("/d/de.2024.sheet"), "/d/de.2024_admin.bin");
    EXPECT_EQ(admin_sidecar_path("/d/.sheet"), "/d/.sheet_admin.bin");
    EXPECT_EQ(admin_sidecar_path("./x/it.twc"), "./x/it_admin.bin");
    EXPECT_EQ(admin_sidecar_path("/d/\xff\xfe.sheet"), "/d/_admin.bin");  // stem not UTF-8
}

TEST(AdminSidecar, RoundTripsThroughTheWriter) {
    auto regions = parse(sidecar(kRegions));
    ASSERT_EQ(regions.size(), 3u);
    EXPECT_EQ(regions[0].name, "Ringland");
    ASSERT_EQ(regions[0].rings.size(), 2u);
    EXPECT_EQ(regions[0].rings[1][2], (std::pair<int32_t, int32_t>{16000000, 16000000}));
    EXPECT_EQ(regions[1].min_lat, 10000000);
    EXPECT_EQ(regions[1].min_lon, 15000000);
    EXPECT_EQ(regions[1].max_lat, 20000000);
    EXPECT_EQ(regions[1].max_lon, 30000000);
}

TEST(AdminSidecar, ShortOrForeignBytesAreNoSidecar) {
    const std::string good = sidecar(kRegions);
    EXPECT_FALSE(parse_admin_sidecar(ByteView(good.substr(0, 8))));  // header only
    EXPECT_FALSE(parse_admin_sidecar(ByteView(std::string("WOFA"))));
    std::string other = good;
    other[0] = 'X';
    EXPECT_FALSE(parse_admin_sidecar(ByteView(other)));
    // Nine bytes: a header and a cut record, so no regions, but a sidecar.
    auto nine = parse_admin_sidecar(ByteView(good.substr(0, 9)));
    ASSERT_TRUE(nine);
    EXPECT_TRUE(nine->empty());
}

TEST(AdminSidecar, ACutRecordListKeepsTheCompletedRegions) {
    std::vector<AdminRegionSpec> five;
    for (int i = 0; i < 5; ++i) five.push_back({"R" + std::to_string(i), {rect(i, 0, i + 0.5, 1)}});
    const std::string bytes = sidecar(five);
    const size_t record = (bytes.size() - 8) / 5;  // all records have the same size here
    ASSERT_EQ((bytes.size() - 8) % 5, 0u);
    struct Case {
        size_t keep;
        size_t regions;
    };
    for (const Case& c : {Case{8 + 2 * record + 10, 2},            // third cut in its header
                          Case{8 + 2 * record + 2 + 19 + 2 + 4, 2},  // third cut in its ring points
                          Case{8 + 2 * record + 2 + 19 + 1, 2},      // third cut in its point count
                          Case{8 + 3 * record, 3}, Case{bytes.size(), 5}}) {
        SCOPED_TRACE(c.keep);
        auto regions = parse(bytes.substr(0, c.keep));
        ASSERT_EQ(regions.size(), c.regions);
        EXPECT_EQ(regions.back().name, "R" + std::to_string(c.regions - 1));
    }
    // Fewer regions announced than stored: only those are read.
    std::string two = bytes;
    two[4] = 2;
    EXPECT_EQ(parse(two).size(), 2u);
}

TEST(AdminSidecar, InvalidNamesAreRepaired) {
    std::string bytes = sidecar({{"Ab", {rect(0, 0, 1, 1)}}});
    bytes[10] = '\xff';  // the "b"
    auto regions = parse(bytes);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].name, "A\xEF\xBF\xBD");
}

TEST(RegionAt, HolesOrderEdgesAndSpecialValues) {
    const auto regions = parse(sidecar(kRegions));
    struct Case {
        double lat, lon;
        std::optional<std::string_view> want;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Case& c : {
             Case{1.2, 1.2, "Ringland"},
             Case{1.5, 1.45, std::nullopt},  // in the hole, west of Eastmark
             Case{1.5, 1.55, "Eastmark"},    // in the hole, but inside Eastmark
             Case{1.2, 1.8, "Ringland"},     // both: the first listed
             Case{1.2, 2.5, "Eastmark"},
             Case{5, 5, std::nullopt},
             // A point on a west edge is inside, on an east edge outside
             // (x < t + lon crosses only strictly west of the edge).
             Case{1.2, 1.0, "Ringland"},
             Case{1.2, 3.0, std::nullopt},
             // South edges count, north edges do not (y < lat is strict).
             Case{1.0, 2.5, "Eastmark"},
             Case{2.0, 2.5, std::nullopt},
             Case{nan, nan, "Nullia"},
             Case{0.2, nan, "Nullia"},
             // Out-of-range degrees saturate and find nothing.
             Case{1e300, 1e300, std::nullopt},
         }) {
        EXPECT_EQ(region_at(regions, c.lat, c.lon), c.want) << c.lat << ", " << c.lon;
    }
    EXPECT_EQ(region_at({}, 1.2, 1.2), std::nullopt);
}

TEST(RegionAt, RingsOfFewerThanThreePointsNeverMatch) {
    std::vector<AdminRegion> regions(1);
    regions[0].name = "Line";
    regions[0].rings = {{{0, 0}, {20000000, 20000000}}};
    regions[0].max_lat = regions[0].max_lon = 20000000;
    EXPECT_EQ(region_at(regions, 1, 1), std::nullopt);
    EXPECT_EQ(region_at(regions, 1, 0.5), std::nullopt);
}

TEST(RegionAt, TruncatesTowardsZero) {
    // A square from (0, 0) to (1e-7, 1e-7) degrees: lat 0.99e-7 reads as 0.
    std::vector<AdminRegion> regions(1);
    regions[0].name = "Tiny";
    regions[0].rings = {{{-1, -1}, {-1, 1}, {1, 1}, {1, -1}}};
    regions[0].min_lat = regions[0].min_lon = -1;
    regions[0].max_lat = regions[0].max_lon = 1;
    EXPECT_EQ(region_at(regions, 0.99e-7, -0.99e-7), "Tiny");
    EXPECT_EQ(region_at(regions, 1.5e-7, 0), std::nullopt);  // y = 1: outside (north edge)
}

// ---------------------------------------------------------------------------
// Reading the sidecar at open

class SidecarDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarnwik-admin-XXXXXX";
        ASSERT_TRUE(::mkdtemp(tmpl));
        dir_ = tmpl;
        sheet_ = dir_ + "/de.sheet";
        std::ofstream(sheet_, std::ios::binary) << testing::write_or_die(testing::small_spec());
    }
    void TearDown() override { fs::remove_all(dir_); }

    void put(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
    }
    // Opens the sheet; returns its regions and what went to standard error.
    std::pair<std::vector<std::string>, std::string> open() {
        ::testing::internal::CaptureStderr();
        auto idx = Index::open(sheet_);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(idx) << (idx ? "" : idx.error().message);
        std::vector<std::string> names;
        if (idx)
            for (const AdminRegion& r : (*idx)->admin_regions()) names.push_back(r.name);
        return {names, err};
    }
    std::string quoted_sheet() const { return text::debug_quote(sheet_); }

    std::string dir_, sheet_;
};

using Names = std::vector<std::string>;

TEST_F(SidecarDir, AValidSidecarIsUsedSilently) {
    put("de_admin.bin", sidecar(kRegions));
    auto [names, err] = open();
    EXPECT_EQ(names, (Names{"Ringland", "Eastmark", "Nullia"}));
    EXPECT_EQ(err, "");
    auto idx = Index::open(sheet_);
    EXPECT_EQ((*idx)->admin_at(1.2, 1.2), "Ringland");
    EXPECT_EQ((*idx)->admin_at(1.5, 1.45), std::nullopt);
}

TEST_F(SidecarDir, NoSidecarAtAllIsSilent) {
    put("fr_admin.bin", sidecar(kRegions));       // another country's
    put("de-old_admin.bin", "not a sidecar");       // right prefix, no magic
    put("de.sheet_admin.bin.bak", sidecar(kRegions));  // wrong ending
    auto [names, err] = open();
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(err, "");
}

TEST_F(SidecarDir, AMisnamedSidecarIsReportedAndNotUsed) {
    put("DE-2024_admin.bin", sidecar(kRegions));
    auto [names, err] = open();
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(err, "warning: " + quoted_sheet() + " expected admin sidecar " + dir_ +
                       "/de_admin.bin but it is missing; found " + dir_ +
                       "/DE-2024_admin.bin next to it — regions disabled. Rename the sidecar to match "
                       "the sheet (release rename?).\n");
}

TEST_F(SidecarDir, AForeignSidecarIsReportedAndNotUsed) {
    for (const std::string& bytes : {sidecar(kRegions).substr(0, 8), std::string("GEOJSON{...}"), std::string()}) {
        put("de_admin.bin", bytes);
        put("de-2024_admin.bin", sidecar(kRegions));  // not looked for: the expected file exists
        auto [names, err] = open();
        EXPECT_TRUE(names.empty());
        EXPECT_EQ(err, "warning: " + dir_ + "/de_admin.bin next to " + quoted_sheet() +
                           " is not a WOFA admin sidecar — regions disabled\n");
    }
}

TEST_F(SidecarDir, ADamagedSidecarCostsOnlyRegions) {
    const std::string bytes = sidecar(kRegions);
    put("de_admin.bin", bytes.substr(0, bytes.size() - 3));  // last region cut
    auto [names, err] = open();
    EXPECT_EQ(names, (Names{"Ringland", "Eastmark"}));
    EXPECT_EQ(err, "");
    auto idx = Index::open(sheet_);
    ASSERT_TRUE(idx);
    EXPECT_EQ((*idx)->street_count(), 2u);
}

}  // namespace
}  // namespace tarnwik
