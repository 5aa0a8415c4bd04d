#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "build/csv_import.hpp"

namespace tarnwik::build {
namespace {

// Records from other sources go the way of CSV rows.

// One row per line: LON,LAT,NUMBER,STREET,CITY,DISTRICT,REGION,POSTCODE. The
// rows cover every check a record passes through and every way of choosing
// a commune.
const std::vector<std::vector<std::string>> kRows = {
    {"11.28", "49.51", "24", "Marktplatz", "Lauf", "", "Bayern", "91207"},
    {"11.2801", "49.5101", "26a", "Marktplatz", "Lauf", "Altstadt", "Bayern", "91207"},
    {"11.2801", "49.5101", "26a", "Marktplatz", "Lauf", "", "", "91207"},  // duplicate of 26a
    {"11.29", "49.52", "3", "Hauptstraße", "", "Heuchling", "", "91207"},  // commune from DISTRICT
    {"11.30", "49.53", "4", "Dorfweg", "", "", "", ""},  // unnamed commune
    {"11.31", "49.54", "5", "Dorfweg", "", "", "", "91208"},  // another unnamed one
    {"x", "49.5", "1", "Weg", "Lauf", "", "", ""},
    {"11.2", "95", "1", "Weg", "Lauf", "", "", ""},
    {"", "", "1", "Weg", "Lauf", "", "", ""},
    {"11.2", "49.5", "1", "  ", "Lauf", "", "", ""},
    {"11.2", "49.5", " ", "Weg", "Lauf", "", "", ""},
    {"11.2", "49.5", "a", "Weg", "Lauf", "", "", ""},
    {"11.2", "49.5", "99999999999", "Weg", "Lauf", "", "", ""},
    {"11.2", "49.5", "1", "Weg\xff", "Lauf", "", "", ""},
    {"11.2", "49.5", "1", std::string(256, 'w'), "Lauf", "", "", ""},
};

std::string as_csv(const std::vector<std::vector<std::string>>& rows) {
    std::string out = "LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID\n";
    for (const auto& r : rows)
        out += r[0] + "," + r[1] + "," + r[2] + "," + r[3] + ",," + r[4] + "," + r[5] + "," + r[6] + "," + r[7] +
               ",\n";
    return out;
}

AddressRecord as_record(const std::vector<std::string>& r) {
    return AddressRecord{r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]};
}

void expect_same_spec(const SheetSpec& a, const SheetSpec& b) {
    ASSERT_EQ(a.communes.size(), b.communes.size());
    for (size_t i = 0; i < a.communes.size(); ++i) {
        EXPECT_EQ(a.communes[i].name, b.communes[i].name) << i;
        EXPECT_EQ(a.communes[i].prominence, b.communes[i].prominence) << i;
        EXPECT_EQ(a.communes[i].lat, b.communes[i].lat) << i;
        EXPECT_EQ(a.communes[i].lon, b.communes[i].lon) << i;
        EXPECT_EQ(a.communes[i].aliases, b.communes[i].aliases) << i;
    }
    ASSERT_EQ(a.streets.size(), b.streets.size());
    for (size_t i = 0; i < a.streets.size(); ++i) {
        const StreetSpec &s = a.streets[i], &t = b.streets[i];
        EXPECT_EQ(s.name, t.name);
        EXPECT_EQ(s.commune, t.commune) << s.name;
        EXPECT_EQ(s.postcode, t.postcode) << s.name;
        ASSERT_EQ(s.houses.size(), t.houses.size()) << s.name;
        for (size_t k = 0; k < s.houses.size(); ++k) {
            EXPECT_EQ(s.houses[k].number, t.houses[k].number);
            EXPECT_EQ(s.houses[k].suffix, t.houses[k].suffix);
            EXPECT_EQ(s.houses[k].lat, t.houses[k].lat);
            EXPECT_EQ(s.houses[k].lon, t.houses[k].lon);
            EXPECT_EQ(s.houses[k].postcode, t.houses[k].postcode);
        }
    }
}

TEST(AddressRecords, GoTheWayOfCsvRows) {
    std::ostringstream csv_log, rec_log;
    ImportOptions o;
    o.reports_per_reason = 100;
    o.log = &csv_log;
    AddressImporter from_csv(o);
    std::istringstream in(as_csv(kRows));
    ASSERT_TRUE(from_csv.add_stream(in, "src"));

    o.log = &rec_log;
    AddressImporter from_records(o);
    auto source = from_records.begin_source("src");
    ASSERT_TRUE(source);
    std::vector<std::optional<SkipReason>> returned;
    for (size_t i = 0; i < kRows.size(); ++i)
        returned.push_back(from_records.add_record(
            *source, as_record(kRows[i]), RecordOrigin{RecordOrigin::Kind::line, static_cast<int64_t>(i + 2)}));

    SheetSpec a = from_csv.finish(), b = from_records.finish();
    expect_same_spec(a, b);
    EXPECT_EQ(from_csv.stats().by_reason, from_records.stats().by_reason);
    EXPECT_EQ(from_csv.stats().rows_read, from_records.stats().rows_read);
    EXPECT_EQ(from_records.stats().houses, 5u);
    // The same lines report the same faults in the same words.
    EXPECT_EQ(csv_log.str(), rec_log.str());

    // add_record returns what it counted.
    std::array<uint64_t, kSkipReasonCount> counted{};
    for (const auto& r : returned)
        if (r) ++counted[static_cast<size_t>(*r)];
    EXPECT_EQ(counted, from_records.stats().by_reason);
    EXPECT_EQ(returned[0], std::nullopt);
    EXPECT_EQ(returned[2], SkipReason::duplicate);
    EXPECT_EQ(returned[6], SkipReason::bad_coordinates);
    EXPECT_EQ(returned[14], SkipReason::field_too_long);
}

TEST(AddressRecords, OriginsInReportsAndDuplicatesAcrossSources) {
    std::ostringstream log;
    ImportOptions o;
    o.log = &log;
    AddressImporter imp(o);
    std::istringstream in(as_csv({{"11.28", "49.51", "24", "Marktplatz", "Lauf", "", "", "91207"}}));
    ASSERT_TRUE(imp.add_stream(in, "a.csv"));
    auto osm = imp.begin_source("b.osm.pbf");
    ASSERT_TRUE(osm);
    AddressRecord same{"11.28", "49.51", "24", "Marktplatz", "Lauf", "", "", "91207"};
    EXPECT_EQ(imp.add_record(*osm, same, {RecordOrigin::Kind::node, 7}), SkipReason::duplicate);
    AddressRecord no_number{"11.28", "49.51", "", "Marktplatz", "Lauf", "", "", ""};
    EXPECT_EQ(imp.add_record(*osm, no_number, {RecordOrigin::Kind::way, -12}), SkipReason::empty_number);
    AddressRecord other{"11.281", "49.511", "25", "Marktplatz", "Lauf", "", "", ""};
    EXPECT_EQ(imp.add_record(*osm, other, {RecordOrigin::Kind::way, 9}), std::nullopt);
    AddressRecord again{"11.281", "49.511", "25", "Marktplatz", "Lauf", "", "", ""};
    EXPECT_EQ(imp.add_record(*osm, again, {RecordOrigin::Kind::node, 3}), SkipReason::duplicate);
    imp.finish();
    EXPECT_NE(log.str().find("b.osm.pbf:n7: skipped (duplicate): same house as a.csv:2\n"), std::string::npos)
        << log.str();
    EXPECT_NE(log.str().find("b.osm.pbf:w-12: skipped (empty number): NUMBER \"\"\n"), std::string::npos);
    EXPECT_NE(log.str().find("b.osm.pbf:n3: skipped (duplicate): same house as b.osm.pbf:w9\n"), std::string::npos);
    EXPECT_EQ(imp.stats().rows_read, 5u);
    EXPECT_EQ(imp.stats().houses, 2u);
    EXPECT_FALSE(imp.begin_source("late"));
}

}  // namespace
}  // namespace tarnwik::build
