#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "build/csv_import.hpp"

namespace tarnwik::build {
namespace {

std::vector<CsvRecord> read_all(const std::string& bytes) {
    std::istringstream in(bytes);
    CsvReader r(in);
    std::vector<CsvRecord> out;
    CsvRecord rec;
    while (r.next(rec)) out.push_back(rec);
    return out;
}

struct CsvCase {
    const char* what;
    std::string input;
    std::vector<std::vector<std::string>> fields;
    std::vector<uint64_t> lines;
    std::vector<bool> bad;  // empty: all good
};

TEST(CsvReader, RecordsFieldsAndLines) {
    const std::vector<CsvCase> cases = {
        {"LF", "a,b\nc,d\n", {{"a", "b"}, {"c", "d"}}, {1, 2}, {}},
        {"CRLF", "a,b\r\nc,d\r\n", {{"a", "b"}, {"c", "d"}}, {1, 2}, {}},
        {"lone CR", "a,b\rc,d", {{"a", "b"}, {"c", "d"}}, {1, 2}, {}},
        {"no final newline", "a,b\nc,d", {{"a", "b"}, {"c", "d"}}, {1, 2}, {}},
        {"BOM dropped", "\xEF\xBB\xBFLON,LAT\n1,2\n", {{"LON", "LAT"}, {"1", "2"}}, {1, 2}, {}},
        {"BOM only at the start", "a\n\xEF\xBB\xBF" "b\n", {{"a"}, {"\xEF\xBB\xBF" "b"}}, {1, 2}, {}},
        {"blank lines are not records but count as lines", "a\n\n\r\n\nb\n", {{"a"}, {"b"}}, {1, 5}, {}},
        {"empty fields", ",a,,\n", {{"", "a", "", ""}}, {1}, {}},
        {"quoted comma and doubled quote", "\"x, y\",\"say \"\"hi\"\"\"\n", {{"x, y", "say \"hi\""}}, {1}, {}},
        {"quoted newlines move the line count", "\"one\ntwo\r\nthree\",z\nnext\n",
         {{"one\ntwo\r\nthree", "z"}, {"next"}}, {1, 4}, {}},
        {"empty quoted field", "\"\",b\n", {{"", "b"}}, {1}, {}},
        {"quote inside an unquoted field is literal", "ab\"c,d\n", {{"ab\"c", "d"}}, {1}, {}},
        {"text after the closing quote", "\"ab\"c,d\nok\n", {{"abc", "d"}, {"ok"}}, {1, 2}, {true, false}},
        {"unterminated quote runs to the end", "a,\"open\nrest,of\nfile\n",
         {{"a", "open\nrest,of\nfile\n"}}, {1}, {true}},
        {"trailing comma gives an empty last field", "a,b,\n", {{"a", "b", ""}}, {1}, {}},
        {"empty input", "", {}, {}, {}},
    };
    for (const CsvCase& c : cases) {
        SCOPED_TRACE(c.what);
        auto recs = read_all(c.input);
        ASSERT_EQ(recs.size(), c.fields.size());
        for (size_t i = 0; i < recs.size(); ++i) {
            EXPECT_EQ(recs[i].fields, c.fields[i]) << "record " << i;
            EXPECT_EQ(recs[i].line, c.lines[i]) << "record " << i;
            EXPECT_EQ(recs[i].bad_quoting, c.bad.empty() ? false : bool(c.bad[i])) << "record " << i;
        }
    }
}

TEST(CsvReader, FieldsAcrossBufferRefills) {
    // Several MiB, so quoted and unquoted fields and CRLF pairs fall on
    // buffer boundaries somewhere.
    std::string input;
    const int n = 120000;
    for (int i = 0; i < n; ++i)
        input += std::to_string(i) + ",\"q," + std::to_string(i) + "\"\"x\",tail-" + std::string(i % 17, 'z') + "\r\n";
    auto recs = read_all(input);
    ASSERT_EQ(recs.size(), size_t(n));
    for (int i = 0; i < n; i += 997) {
        ASSERT_EQ(recs[i].fields.size(), 3u);
        EXPECT_EQ(recs[i].fields[0], std::to_string(i));
        EXPECT_EQ(recs[i].fields[1], "q," + std::to_string(i) + "\"x");
        EXPECT_EQ(recs[i].fields[2], "tail-" + std::string(i % 17, 'z'));
        EXPECT_EQ(recs[i].line, uint64_t(i + 1));
        EXPECT_FALSE(recs[i].bad_quoting);
    }
    EXPECT_EQ(recs.back().fields[0], std::to_string(n - 1));
}

TEST(HouseNumber, SplitsAsTheQuerySideLooksUp) {
    struct Case {
        const char* raw;
        uint32_t number;
        const char* suffix;
    };
    const Case ok[] = {
        {"24", 24, ""},         {"42A", 42, "a"},       {"103a", 103, "a"},   {"90/H", 90, "h"},
        {"10-12", 10, ""},      {"12-14a", 12, "a"},    {"  7  ", 7, ""},     {"007", 7, ""},
        {"12 bis", 12, "bis"}, {"1234abc", 1234, "abc"}, {"3É", 3, "e"},   {"0", 0, ""},
        {"4294967295", 4294967295u, ""},
    };
    for (const Case& c : ok) {
        SCOPED_TRACE(c.raw);
        auto h = split_house_number(c.raw);
        ASSERT_TRUE(h);
        EXPECT_EQ(h->number, c.number);
        EXPECT_EQ(h->suffix, c.suffix);
    }
    const std::pair<const char*, SkipReason> bad[] = {
        {"", SkipReason::empty_number},
        {"   ", SkipReason::empty_number},
        {"A12", SkipReason::number_without_digits},
        {"-5", SkipReason::number_without_digits},
        {"½", SkipReason::number_without_digits},
        {"4294967296", SkipReason::number_too_large},
        {"99999999999999999999999", SkipReason::number_too_large},
    };
    for (auto [raw, reason] : bad) {
        SCOPED_TRACE(raw);
        auto h = split_house_number(raw);
        ASSERT_FALSE(h);
        EXPECT_EQ(h.error(), reason);
    }
}

TEST(Coordinates, OnlyFiniteDecimals) {
    EXPECT_EQ(parse_coordinate("1.5"), 1.5);
    EXPECT_EQ(parse_coordinate(" -2.25 "), -2.25);
    EXPECT_EQ(parse_coordinate("+3"), 3.0);
    EXPECT_EQ(parse_coordinate("1e2"), 100.0);
    for (const char* s : {"", " ", "nan", "NaN", "inf", "-inf", "1.2.3", "abc", "12abc", "1,5", "+", "--1"})
        EXPECT_FALSE(parse_coordinate(s)) << s;
}

// ---------------------------------------------------------------------------
// Import

const char* kHeader = "LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID\n";

struct Imported {
    SheetSpec spec;
    ImportStats stats;
    std::string log;
};

Imported import(const std::vector<std::string>& files, const std::string& postcodes = "",
                ImportOptions opt = {}) {
    std::ostringstream log;
    opt.log = &log;
    AddressImporter imp(opt);
    if (!postcodes.empty()) {
        std::istringstream pc(postcodes);
        auto r = imp.load_postcodes(pc, "pc.csv");
        EXPECT_TRUE(r) << r.error().message;
    }
    for (size_t i = 0; i < files.size(); ++i) {
        std::istringstream in(files[i]);
        auto r = imp.add_stream(in, "f" + std::to_string(i) + ".csv");
        EXPECT_TRUE(r) << r.error().message;
    }
    Imported out{imp.finish(), {}, {}};
    out.stats = imp.stats();
    out.log = log.str();
    return out;
}

const CommuneSpec* commune_named(const SheetSpec& s, std::string_view name) {
    for (const CommuneSpec& c : s.communes)
        if (c.name == name) return &c;
    return nullptr;
}

const StreetSpec* street_named(const SheetSpec& s, std::string_view name, std::string_view commune) {
    for (const StreetSpec& st : s.streets)
        if (st.name == name && s.communes[st.commune].name == commune) return &st;
    return nullptr;
}

size_t house_total(const SheetSpec& s) {
    size_t n = 0;
    for (const StreetSpec& st : s.streets) n += st.houses.size();
    return n;
}

TEST(Import, BadRowsAreSkippedByReasonAndCountsAddUp) {
    std::string csv = std::string(kHeader) +
        "8.6,44.9,1,Via Roma,,Valmora,,Piemonte,15030,1\n"                 // 2 good
        "8.6,44.9,1,Via Roma,,Valmora,,Piemonte,15030,dup\n"               // 3 duplicate of 2
        "8.6,44.9,1A,Via Roma,,Valmora,,Piemonte,15030,4\n"                // 4 good (other suffix)
        "8.6,95,2,Via Roma,,Valmora,,Piemonte,15030,5\n"                   // 5 lat out of range
        "181,44.9,2,Via Roma,,Valmora,,Piemonte,15030,6\n"                 // 6 lon out of range
        "abc,44.9,2,Via Roma,,Valmora,,Piemonte,15030,7\n"                 // 7 unparsable
        "nan,44.9,2,Via Roma,,Valmora,,Piemonte,15030,8\n"                 // 8 non-finite
        "8.6,44.9,2,,,Valmora,,Piemonte,15030,9\n"                         // 9 empty street
        "8.6,44.9,2,  ,,Valmora,,Piemonte,15030,10\n"                      // 10 blank street
        "8.6,44.9,,Via Roma,,Valmora,,Piemonte,15030,11\n"                 // 11 empty number
        "8.6,44.9,sn,Via Roma,,Valmora,,Piemonte,15030,12\n"               // 12 no digits
        "8.6,44.9,99999999999,Via Roma,,Valmora,,Piemonte,15030,13\n"      // 13 too large
        "8.6,44.9,3,Via \xFF,,Valmora,,Piemonte,15030,14\n"                // 14 invalid UTF-8
        "8.6,44.9,3,Via Roma,,Valmora\n"                                   // 15 field count
        "8.6,44.9,3,\"Via \"Roma,,Valmora,,Piemonte,15030,16\n"            // 16 bad quoting
        "8.6,44.9,3,\"Via\nRoma\",,Valmora,,Piemonte,15030,17\n"           // 17-18 good (odd name)
        "8.6,44.9,4," + std::string(300, 'x') + ",,Valmora,,Piemonte,15030,19\n"  // 19 too long
        "8.6,44.9,4,Via Roma,,Valmora,,Piemonte,15030,\xFF\n";             // 20 good: ID unused
    auto r = import({csv});
    const ImportStats& s = r.stats;
    auto n = [&](SkipReason why) { return s.by_reason[static_cast<size_t>(why)]; };
    EXPECT_EQ(s.rows_read, 18u);
    EXPECT_EQ(n(SkipReason::duplicate), 1u);
    EXPECT_EQ(n(SkipReason::bad_coordinates), 4u);
    EXPECT_EQ(n(SkipReason::empty_street), 2u);
    EXPECT_EQ(n(SkipReason::empty_number), 1u);
    EXPECT_EQ(n(SkipReason::number_without_digits), 1u);
    EXPECT_EQ(n(SkipReason::number_too_large), 1u);
    EXPECT_EQ(n(SkipReason::invalid_utf8), 1u);
    EXPECT_EQ(n(SkipReason::field_count), 1u);
    EXPECT_EQ(n(SkipReason::bad_quoting), 1u);
    EXPECT_EQ(n(SkipReason::field_too_long), 1u);
    EXPECT_EQ(s.rows_skipped(), 13u);
    EXPECT_EQ(s.houses, 4u);
    EXPECT_EQ(house_total(r.spec), s.rows_read - s.rows_skipped() - s.duplicates());

    // Reports name the file and the line where the row starts.
    EXPECT_NE(r.log.find("f0.csv:3: skipped (duplicate): same house as f0.csv:2"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("f0.csv:5: skipped (bad coordinates)"), std::string::npos);
    EXPECT_NE(r.log.find("f0.csv:13: skipped (number too large): NUMBER \"99999999999\""), std::string::npos);
    EXPECT_NE(r.log.find("f0.csv:14: skipped (invalid UTF-8): in STREET"), std::string::npos);
    EXPECT_NE(r.log.find("f0.csv:16: skipped (bad quoting)"), std::string::npos);
    EXPECT_NE(r.log.find("f0.csv:19: skipped (field too long)"), std::string::npos);

    const std::string report = format_import_report(s);
    EXPECT_NE(report.find("rows read: 18\n"), std::string::npos) << report;
    EXPECT_NE(report.find("rows skipped: 13\n"), std::string::npos);
    EXPECT_NE(report.find("  bad coordinates: 4\n"), std::string::npos);
    EXPECT_NE(report.find("duplicates: 1\n"), std::string::npos);
    EXPECT_NE(report.find("houses: 4\n"), std::string::npos);
}

TEST(Import, ReportsPerReasonAreCapped) {
    std::string csv = kHeader;
    for (int i = 0; i < 20; ++i) csv += "8.6,99,1,Via Roma,,Valmora,,,,x\n";
    ImportOptions opt;
    opt.reports_per_reason = 3;
    auto r = import({csv}, "", opt);
    EXPECT_EQ(r.stats.by_reason[static_cast<size_t>(SkipReason::bad_coordinates)], 20u);
    size_t lines = 0;
    for (char c : r.log) lines += c == '\n';
    EXPECT_EQ(lines, 3u) << r.log;
}

TEST(Import, HeaderColumnsFoundByName) {
    // Other order, extra columns, CRLF, a BOM and lower-case names.
    std::string csv =
        "\xEF\xBB\xBF" "id,extra,street,number,lat,lon,unit,city,district,region,postcode\r\n"
        "a,zz,Hauptstra\xC3\x9F" "e,5b,50.1,8.7,,Dorf,,Hessen,63303\r\n";
    auto r = import({csv});
    ASSERT_EQ(r.spec.streets.size(), 1u);
    const StreetSpec& st = r.spec.streets[0];
    EXPECT_EQ(st.name, "Hauptstraße");
    ASSERT_EQ(st.houses.size(), 1u);
    EXPECT_EQ(st.houses[0].number, 5u);
    EXPECT_EQ(st.houses[0].suffix, "b");
    EXPECT_DOUBLE_EQ(st.houses[0].lat, 50.1);
    EXPECT_DOUBLE_EQ(st.houses[0].lon, 8.7);
    EXPECT_EQ(st.houses[0].postcode, "63303");
    EXPECT_EQ(r.spec.communes[st.commune].name, "Dorf");
}

TEST(Import, HeaderWithoutRequiredColumnsIsRefused) {
    for (const char* header : {"LON,LAT,NUMBER,STREET,CITY,DISTRICT,REGION,POSTCODE,ID\n",  // no UNIT
                               "lon;lat;number;street;unit;city;district;region;postcode;id\n", ""}) {
        SCOPED_TRACE(header);
        AddressImporter imp({});
        std::istringstream in(std::string(header) + "8.6,44.9,1,Via Roma,,Valmora,,,,1\n");
        auto res = imp.add_stream(in, "bad.csv");
        ASSERT_FALSE(res);
        EXPECT_EQ(res.error().message.rfind("bad.csv: ", 0), 0u) << res.error().message;
        EXPECT_EQ(imp.stats().rows_read, 0u);
    }
    AddressImporter imp({});
    std::istringstream in("LON,LAT,NUMBER,STREET,CITY,DISTRICT,REGION,POSTCODE\n");
    auto res = imp.add_stream(in, "x.csv");
    ASSERT_FALSE(res);
    EXPECT_NE(res.error().message.find("lacks columns UNIT, ID"), std::string::npos) << res.error().message;
}

TEST(Import, CommunesStreetsAndHousesAggregate) {
    std::string csv = std::string(kHeader) +
        "8.0,44.0,1,Via Roma,,Valmora,Centro,Piemonte,15030,1\n"
        "8.2,44.2,2,Via Roma,,Valmora,Borgo,Piemonte,15030,2\n"
        "8.4,44.4,3,Via Po,,Valmora,centro,Piemonte,15031,3\n"     // same district, other case
        "8.4,44.4,5,Via Po,,Valmora,VALMORA,Piemonte,15032,4\n"    // district = commune name
        "9.0,45.0,1,Via Roma,,Valmora,,Lombardia,20100,5\n"        // another Valmora
        "9.0,45.0,2,Via Roma,,Valmora,,Lombardia,,6\n";
    auto r = import({csv});
    const SheetSpec& s = r.spec;
    ASSERT_EQ(s.communes.size(), 2u);
    const CommuneSpec& a = s.communes[0];
    EXPECT_EQ(a.code, "0");
    EXPECT_EQ(a.name, "Valmora");
    EXPECT_EQ(a.prominence, 4u);
    ASSERT_TRUE(a.lat && a.lon);
    EXPECT_NEAR(*a.lat, 44.25, 1e-12);
    EXPECT_NEAR(*a.lon, 8.25, 1e-12);
    EXPECT_EQ(a.aliases, (std::vector<std::string>{"Centro", "Borgo"}));
    EXPECT_EQ(s.communes[1].code, "1");
    EXPECT_EQ(s.communes[1].prominence, 2u);

    ASSERT_EQ(s.streets.size(), 3u);
    EXPECT_EQ(s.streets[0].name, "Via Roma");
    EXPECT_EQ(s.streets[0].commune, 0u);
    EXPECT_EQ(s.streets[0].postcode, "15030");  // shared by all its houses
    EXPECT_FALSE(s.streets[0].lat);              // the writer's centroid
    EXPECT_EQ(s.streets[1].name, "Via Po");
    EXPECT_EQ(s.streets[1].postcode, "");        // mixed
    EXPECT_EQ(s.streets[1].houses[0].postcode, "15031");
    EXPECT_EQ(s.streets[1].houses[1].postcode, "15032");
    EXPECT_EQ(s.streets[2].commune, 1u);
    EXPECT_EQ(s.streets[2].postcode, "");        // one house without postcode

    EXPECT_EQ(s.meta, (std::vector<std::pair<std::string, std::string>>{{"layer", "addresses"}}));
}

TEST(Import, DuplicatesNeedSameStreetNumberSuffixAndStoredPosition) {
    std::string csv = std::string(kHeader) +
        "8.0,44.0,7,Via Roma,,Valmora,,,,1\n"
        "8.00000001,44.00000001,7,Via Roma,,Valmora,,,,2\n"   // same position at 1e-7
        "8.0000001,44.0,7,Via Roma,,Valmora,,,,3\n"           // 1e-7 apart: kept
        "8.0,44.0,7b,Via Roma,,Valmora,,,,4\n"                // other suffix
        "8.0,44.0,7 B,Via Roma,,Valmora,,,,5\n"               // reads as 7b too
        "8.0,44.0,7B,Via Roma,,Valmora,,,,6\n"                // same as 7b
        "8.0,44.0,7,Via Roma,,Altrove,,,,7\n"                 // other commune
        "8.0,44.0,7,Via Po,,Valmora,,,,8\n";                  // other street
    auto r = import({csv});
    EXPECT_EQ(r.stats.duplicates(), 3u);
    EXPECT_EQ(r.stats.houses, 5u);
    EXPECT_NE(r.log.find("f0.csv:6: skipped (duplicate): same house as f0.csv:5"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("f0.csv:7: skipped (duplicate): same house as f0.csv:5"), std::string::npos) << r.log;
}

TEST(Import, CommuneOfRowsWithoutCity) {
    const std::string postcodes =
        "POSTCODE,PLACE,STATE,PROVINCE,COMMUNITY,COMMUNITY_CODE,LAT,LON\n"
        "9490,Vaduz,,,,,47.14,9.52\n"
        "9490,Schaan,,,,,47.17,9.51\n";
    std::string csv = std::string(kHeader) +
        "9.52,47.14,9,St\xC3\xA4""dtle,,Vaduz,,Oberland,9490,0\n"
        "9.52,47.14,9,Kirchstrasse,,Vaduz,,Elsewhere,9490,0\n"   // another region: another Vaduz
        "9.515,47.168,1,Landstrasse,,,,,9490,1\n"   // nearest place of 9490: Schaan
        "9.521,47.139,2,Landstrasse,,,,,9490,2\n"   // Vaduz
        "9.6,47.2,3,Feldweg,,,Mauren,Unterland,9493,3\n"   // postcode unknown: DISTRICT
        "9.6,47.2,4,Feldweg,,,,Unterland,9493,4\n"         // REGION
        "9.5,47.1,5,Silum,,,,,,5\n"                         // nothing: unnamed, no postcode
        "9.5,47.1,6,Silum,,,,,9497,6\n"                     // unnamed, postcode 9497
        "9.5,47.1,7,Silum,,,,,9497,7\n";
    auto r = import({csv}, postcodes);
    const SheetSpec& s = r.spec;
    ASSERT_TRUE(street_named(s, "Landstrasse", "Schaan"));
    ASSERT_TRUE(street_named(s, "Landstrasse", "Vaduz"));
    // Without a REGION of its own, the row joins the first Vaduz.
    EXPECT_EQ(street_named(s, "Landstrasse", "Vaduz")->commune, street_named(s, "Städtle", "Vaduz")->commune);
    EXPECT_NE(street_named(s, "Kirchstrasse", "Vaduz")->commune, street_named(s, "Städtle", "Vaduz")->commune);
    EXPECT_TRUE(street_named(s, "Feldweg", "Mauren"));
    EXPECT_TRUE(street_named(s, "Feldweg", "Unterland"));
    size_t unnamed = 0, silum = 0;
    for (const CommuneSpec& c : s.communes) unnamed += c.name.empty();
    for (const StreetSpec& st : s.streets) silum += st.name == "Silum";
    EXPECT_EQ(unnamed, 2u);
    EXPECT_EQ(silum, 2u);
    // Schaan and Vaduz exist as address communes, so the table adds nothing.
    EXPECT_EQ(r.stats.communes_from_postcodes, 0u);
}

TEST(Import, PostcodePlacesBecomeCommunesWhenNoCommuneHasTheirName) {
    const std::string postcodes =
        "POSTCODE,PLACE,STATE,PROVINCE,COMMUNITY,COMMUNITY_CODE,LAT,LON\n"
        "15030,VALMORA,Piemonte,AL,,,44.0,8.0\n"        // an address commune (other case)
        "15031,Centro,Piemonte,AL,,,44.0,8.0\n"         // an alias of one
        "15040,Borgo Nuovo,Piemonte,AL,,,44.0,8.0\n"    // new; two postcodes, one place
        "15041,Borgo Nuovo,Piemonte,AL,,,44.2,8.2\n"
        "90100,Borgo Nuovo,Sicilia,PA,,,38.0,13.0\n"    // same name elsewhere: its own commune
        "15050,\"Bad Ort, Stadt\",Piemonte,AL,,,x,8.0\n"  // no usable position: ignored
        "15060,,Piemonte,AL,,,44.0,8.0\n";               // no place: ignored
    std::string csv = std::string(kHeader) + "8.0,44.0,1,Via Roma,,Valmora,Centro,Piemonte,15030,1\n";
    auto r = import({csv}, postcodes);
    const SheetSpec& s = r.spec;
    ASSERT_EQ(s.communes.size(), 3u);
    EXPECT_EQ(r.stats.communes_from_postcodes, 2u);
    EXPECT_EQ(r.stats.communes, 3u);
    const CommuneSpec& piemonte = s.communes[1];
    EXPECT_EQ(piemonte.name, "Borgo Nuovo");
    EXPECT_EQ(piemonte.code, "1");
    EXPECT_EQ(piemonte.prominence, 0u);
    EXPECT_NEAR(*piemonte.lat, 44.1, 1e-12);
    EXPECT_NEAR(*piemonte.lon, 8.1, 1e-12);
    EXPECT_EQ(s.communes[2].name, "Borgo Nuovo");
    EXPECT_NEAR(*s.communes[2].lat, 38.0, 1e-12);
    EXPECT_EQ(commune_named(s, "Bad Ort, Stadt"), nullptr);
    // The streets still point at the address commune.
    EXPECT_EQ(s.streets[0].commune, 0u);
}

TEST(Import, PostcodeTableHeaderIsChecked) {
    AddressImporter imp({});
    std::istringstream in("POSTCODE,PLACE,LAT,LON\n1,A,1,1\n");
    auto r = imp.load_postcodes(in, "pc.csv");
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find("pc.csv: header lacks columns STATE, PROVINCE, COMMUNITY, COMMUNITY_CODE"),
              std::string::npos)
        << r.error().message;
}

TEST(Import, SeveralFilesAndMeta) {
    std::string a = std::string(kHeader) + "8.0,44.0,1,Via Roma,,Valmora,,,,1\n";
    std::string b = "ID,CITY,STREET,NUMBER,LON,LAT,UNIT,DISTRICT,REGION,POSTCODE\n"
                    "x,Valmora,Via Roma,2,8.1,44.1,,,,\n"
                    "y,Valmora,Via Roma,1,8.0,44.0,,,,\n";  // duplicate across files
    ImportOptions opt;
    opt.country = "IT";
    opt.layer = "poi";
    opt.format_version = 6;
    opt.fst_version = 2;
    auto r = import({a, b}, "", opt);
    EXPECT_EQ(r.stats.rows_read, 3u);
    EXPECT_EQ(r.stats.duplicates(), 1u);
    ASSERT_EQ(r.spec.streets.size(), 1u);
    EXPECT_EQ(r.spec.streets[0].houses.size(), 2u);
    EXPECT_NE(r.log.find("f1.csv:3: skipped (duplicate): same house as f0.csv:2"), std::string::npos) << r.log;
    EXPECT_EQ(r.spec.meta,
              (std::vector<std::pair<std::string, std::string>>{{"country", "it"}, {"layer", "poi"}}));
    EXPECT_EQ(r.spec.version, 6);
    EXPECT_EQ(r.spec.fst_version, 2);
}

}  // namespace
}  // namespace tarnwik::build
