#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "build/csv_import.hpp"
#include "build/osm_import.hpp"

namespace tarnwik::build {
namespace {

namespace fs = std::filesystem;

// A fresh directory per test, removed afterwards.
class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() /
                ("tw_osm_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
                 std::to_string(::getpid()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string write(const std::string& name, const std::string& bytes) const {
        fs::path p = path_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }

private:
    fs::path path_;
};

const HouseSpec* find_house(const SheetSpec& spec, std::string_view street, uint32_t number,
                            const StreetSpec** in = nullptr) {
    for (const StreetSpec& s : spec.streets) {
        if (s.name != street) continue;
        for (const HouseSpec& h : s.houses)
            if (h.number == number) {
                if (in) *in = &s;
                return &h;
            }
    }
    return nullptr;
}

TEST(OsmImport, FileNames) {
    for (auto [name, osm] : std::vector<std::pair<const char*, bool>>{
             {"de/lauf.osm.pbf", true}, {"X.PBF", true}, {"map.osm", true}, {"MAP.OSM", true},
             {"a.csv", false}, {"osm.csv", false}, {"a.osm.bz2", false}, {"pbf", false}, {"a.osm.csv", false}}) {
        EXPECT_EQ(is_osm_file(name), osm) << name;
    }
}

// A hand-made file: node ids descend (the reader must not rely on id
// order) and some are negative, as in files saved by editors.
const char* kTinyOsm = R"(<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6" generator="hand">
  <node id="900" lat="49.5125645" lon="11.2822893">
    <tag k="addr:housenumber" v="24"/>
    <tag k="addr:street" v="Marktplatz"/>
    <tag k="addr:postcode" v="91207"/>
    <tag k="addr:city" v="Lauf a.d.Pegnitz"/>
    <tag k="amenity" v="pharmacy"/>
  </node>
  <node id="800" lat="49.5130000" lon="11.2900000">
    <tag k="addr:housenumber" v="3a"/>
    <tag k="addr:place" v="Simonshofen"/>
    <tag k="addr:postcode" v="91207"/>
    <tag k="addr:city" v="Lauf a.d.Pegnitz"/>
  </node>
  <node id="700" lat="49.5140000" lon="11.2800000">
    <tag k="addr:street" v="Marktplatz"/>
    <tag k="addr:city" v="Lauf a.d.Pegnitz"/>
    <tag k="shop" v="bakery"/>
  </node>
  <node id="600" lat="49.5150000" lon="11.2700000">
    <tag k="addr:housenumber" v="7"/>
    <tag k="addr:street" v="Bachgasse"/>
    <tag k="addr:suburb" v="Heuchling"/>
  </node>
  <node id="500" lat="49.5200000" lon="11.3000000"><tag k="name" v="no address"/></node>
  <node id="14" lat="49.5000400" lon="11.3000000"/>
  <node id="13" lat="49.5000400" lon="11.3000200"/>
  <node id="12" lat="49.5000200" lon="11.3000200"/>
  <node id="11" lat="49.5000200" lon="11.3000600"/>
  <node id="10" lat="49.5000000" lon="11.3000600"/>
  <node id="-1" lat="49.5000000" lon="11.3000000"/>
  <node id="-2" lat="49.6000000" lon="11.4000000"/>
  <node id="-3" lat="49.6000000" lon="11.4000200"/>
  <node id="-4" lat="49.6000200" lon="11.4000200"/>
  <node id="-5" lat="49.6000200" lon="11.4000000"/>
  <way id="100">
    <nd ref="-1"/><nd ref="10"/><nd ref="11"/><nd ref="12"/><nd ref="13"/><nd ref="14"/><nd ref="-1"/>
    <tag k="building" v="house"/>
    <tag k="addr:housenumber" v="5"/>
    <tag k="addr:street" v="Bahnhofstraße"/>
    <tag k="addr:postcode" v="91207"/>
    <tag k="addr:city" v="Lauf a.d.Pegnitz"/>
  </way>
  <way id="101">
    <nd ref="-2"/><nd ref="-3"/><nd ref="77777"/><nd ref="-5"/><nd ref="-2"/>
    <tag k="building" v="yes"/>
    <tag k="addr:housenumber" v="9"/>
    <tag k="addr:street" v="Bahnhofstraße"/>
    <tag k="addr:city" v="Lauf a.d.Pegnitz"/>
  </way>
  <way id="102">
    <nd ref="88881"/><nd ref="88882"/><nd ref="88883"/><nd ref="88881"/>
    <tag k="building" v="yes"/>
    <tag k="addr:housenumber" v="11"/>
    <tag k="addr:street" v="Bahnhofstraße"/>
  </way>
  <way id="103">
    <nd ref="-2"/><nd ref="-3"/><nd ref="-4"/>
    <tag k="addr:housenumber" v="13"/>
    <tag k="addr:street" v="Bahnhofstraße"/>
  </way>
  <way id="104">
    <nd ref="-2"/><nd ref="-3"/><nd ref="-4"/><nd ref="-5"/><nd ref="-2"/>
    <tag k="building" v="garage"/>
  </way>
  <relation id="5">
    <member type="way" ref="104" role="outer"/>
    <tag k="type" v="multipolygon"/>
    <tag k="building" v="yes"/>
    <tag k="addr:housenumber" v="15"/>
    <tag k="addr:street" v="Bahnhofstraße"/>
  </relation>
</osm>
)";

TEST(OsmImport, TinyFile) {
    TempDir dir;
    std::string path = dir.write("tiny.osm", kTinyOsm);
    std::ostringstream log;
    ImportOptions o;
    o.log = &log;
    AddressImporter imp(o);
    auto stats = add_osm_file(imp, path);
    ASSERT_TRUE(stats) << stats.error().message;
    SheetSpec spec = imp.finish();

    EXPECT_EQ(stats->nodes, 4u);  // 900, 800, 700, 600
    EXPECT_EQ(stats->ways, 3u);   // 100, 101, 102
    EXPECT_EQ(stats->ways_missing_nodes, 2u);
    EXPECT_EQ(stats->open_ways, 1u);
    EXPECT_EQ(stats->relations, 1u);
    const ImportStats& s = imp.stats();
    EXPECT_EQ(s.rows_read, 7u);
    EXPECT_EQ(s.by_reason[static_cast<size_t>(SkipReason::empty_number)], 1u);
    EXPECT_EQ(s.by_reason[static_cast<size_t>(SkipReason::bad_coordinates)], 1u);
    EXPECT_EQ(s.houses, 5u);
    EXPECT_EQ(s.houses, s.rows_read - s.rows_skipped() - s.duplicates());
    EXPECT_NE(log.str().find(path + ":n700: skipped (empty number)"), std::string::npos) << log.str();
    EXPECT_NE(log.str().find(path + ":w102: skipped (bad coordinates)"), std::string::npos) << log.str();

    // A node: its own location, exactly, and its tags.
    const StreetSpec* street = nullptr;
    const HouseSpec* h = find_house(spec, "Marktplatz", 24, &street);
    ASSERT_TRUE(h);
    EXPECT_DOUBLE_EQ(h->lat, 49.5125645);
    EXPECT_DOUBLE_EQ(h->lon, 11.2822893);
    EXPECT_EQ(h->postcode, "91207");
    EXPECT_EQ(h->suffix, "");
    EXPECT_EQ(spec.communes[street->commune].name, "Lauf a.d.Pegnitz");

    // addr:place stands in for the street.
    h = find_house(spec, "Simonshofen", 3, &street);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->suffix, "a");
    EXPECT_EQ(spec.communes[street->commune].name, "Lauf a.d.Pegnitz");

    // Without addr:city the commune is chosen as for a CSV row without CITY:
    // here by its DISTRICT, addr:suburb.
    h = find_house(spec, "Bachgasse", 7, &street);
    ASSERT_TRUE(h);
    EXPECT_EQ(spec.communes[street->commune].name, "Heuchling");

    // An L-shaped building: its area centroid, which the mean of its six
    // corners (11.3000267, 49.5000200) is not. In units of 1e-5 degree from
    // the corner -1: a 6x2 strip below a 2x2 square, areas 12 and 4,
    // centroids (3, 1) and (1, 3): together (2.5, 1.5).
    h = find_house(spec, "Bahnhofstraße", 5);
    ASSERT_TRUE(h);
    EXPECT_NEAR(h->lon, 11.3000250, 1e-9);
    EXPECT_NEAR(h->lat, 49.5000150, 1e-9);

    // A way whose file lacks one node: the mean of the nodes that are there.
    h = find_house(spec, "Bahnhofstraße", 9);
    ASSERT_TRUE(h);
    EXPECT_NEAR(h->lon, (11.4 + 11.40002 + 11.4) / 3, 1e-9);
    EXPECT_NEAR(h->lat, (49.6 + 49.6 + 49.60002) / 3, 1e-9);

    // Neither the open way nor the relation became a house.
    EXPECT_FALSE(find_house(spec, "Bahnhofstraße", 13));
    EXPECT_FALSE(find_house(spec, "Bahnhofstraße", 15));
}

TEST(OsmImport, MixesWithCsvInOneAggregation) {
    TempDir dir;
    std::string osm = dir.write("tiny.osm", kTinyOsm);
    // The node 900 again (a duplicate), and a house beside it.
    std::string csv = dir.write("a.csv",
                                "LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID\n"
                                "11.2822893,49.5125645,24,Marktplatz,,Lauf a.d.Pegnitz,,,91207,\n"
                                "11.2823,49.5126,25,Marktplatz,,Lauf a.d.Pegnitz,,,91207,\n");
    AddressImporter imp{ImportOptions{}};
    ASSERT_TRUE(imp.add_file(csv));
    ASSERT_TRUE(add_osm_file(imp, osm));
    SheetSpec spec = imp.finish();
    EXPECT_EQ(imp.stats().duplicates(), 1u);
    EXPECT_EQ(imp.stats().houses, 6u);
    const StreetSpec *a = nullptr, *b = nullptr;
    ASSERT_TRUE(find_house(spec, "Marktplatz", 25, &a));
    ASSERT_TRUE(find_house(spec, "Bahnhofstraße", 5, &b));
    // One street Marktplatz in one commune, whichever file named it first.
    size_t marktplatz = 0;
    for (const StreetSpec& s : spec.streets) marktplatz += s.name == "Marktplatz";
    EXPECT_EQ(marktplatz, 1u);
    EXPECT_EQ(a->houses.size(), 2u);
    EXPECT_EQ(spec.communes[a->commune].name, "Lauf a.d.Pegnitz");
    EXPECT_EQ(a->commune, b->commune);
}

TEST(OsmImport, UnreadableFilesFail) {
    TempDir dir;
    std::string missing = dir.write("x", "") + ".osm.pbf";
    std::string garbage = dir.write("garbage.osm.pbf", std::string(4096, '\x42'));
    std::string broken_xml = dir.write("broken.osm", "<osm><node id=\"1\" lat=\"1\" lon=\"2\"><tag k=");
    for (const std::string& path : {missing, garbage, broken_xml}) {
        AddressImporter imp{ImportOptions{}};
        auto r = add_osm_file(imp, path);
        ASSERT_FALSE(r) << path;
        EXPECT_TRUE(r.error().message.starts_with(path + ": ")) << r.error().message;
    }
    AddressImporter imp{ImportOptions{}};
    auto r = add_osm_file(imp, dir.write("a.csv", "LON\n"));
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find("not an OpenStreetMap file"), std::string::npos);
}

TEST(OsmImport, ReportLine) {
    OsmImportStats s;
    s.nodes = 4783;
    s.ways = 648;
    EXPECT_EQ(format_osm_report("f.osm.pbf", s), "f.osm.pbf: 4783 address nodes, 648 address ways\n");
    s.ways_missing_nodes = 9;
    s.relations = 1;
    EXPECT_EQ(format_osm_report("f.osm.pbf", s),
              "f.osm.pbf: 4783 address nodes, 648 address ways (9 with nodes missing from the file); with an "
              "address but not read: open ways 0, relations 1\n");
}

}  // namespace
}  // namespace tarnwik::build
