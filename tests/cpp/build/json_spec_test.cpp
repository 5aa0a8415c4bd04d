#include <gtest/gtest.h>

#include <string>

#include "build/json_spec.hpp"

namespace tarnwik::build {
namespace {

TEST(JsonSpec, EveryFieldIsTakenAsWritten) {
    auto spec = parse_json_spec(R"({
      "version": 6, "fst_version": 1,
      "meta": [["country", "de"], ["layer", "addresses"], ["country", "fr"]],
      "communes": [
        {"name": "Springfield", "code": "SPR", "prominence": 4294967295, "lat": 52.5, "lon": -13.25,
         "aliases": ["Old Town", "Neustadt"]},
        {"name": "Shelbyville", "lat": null, "lon": null}
      ],
      "streets": [
        {"name": "Main Street", "commune": 1, "lat": 1.5, "lon": 2.5, "postcode": "10115",
         "houses": [{"number": 12, "suffix": " bis", "lat": 52.1, "lon": 13.2, "postcode": "10117"},
                    {"number": 0, "lat": -1, "lon": 0}]},
        {"name": "Side Road", "commune": 0, "houses": [{"number": 4294967295, "lat": 0.5, "lon": 0.25}]}
      ],
      "rules": [{"kind": 255, "key": "str", "value": "strasse"}, {"kind": 0, "key": "x"}],
      "parser": "54 57 4d 4C00ff",
      "rank": "",
      "section_overrides": {"6": "00FF", "200": ""},
      "omit_sections": [16, 17]
    })");
    ASSERT_TRUE(spec) << spec.error().message;
    const SheetSpec& s = *spec;
    EXPECT_EQ(s.version, 6);
    EXPECT_EQ(s.fst_version, 1);
    EXPECT_EQ(s.meta, (std::vector<std::pair<std::string, std::string>>{
                          {"country", "de"}, {"layer", "addresses"}, {"country", "fr"}}));
    ASSERT_EQ(s.communes.size(), 2u);
    EXPECT_EQ(s.communes[0].name, "Springfield");
    EXPECT_EQ(s.communes[0].code, "SPR");
    EXPECT_EQ(s.communes[0].prominence, 4294967295u);
    EXPECT_EQ(s.communes[0].lat, 52.5);
    EXPECT_EQ(s.communes[0].lon, -13.25);
    EXPECT_EQ(s.communes[0].aliases, (std::vector<std::string>{"Old Town", "Neustadt"}));
    EXPECT_EQ(s.communes[1].code, "");
    EXPECT_EQ(s.communes[1].prominence, 0u);
    EXPECT_FALSE(s.communes[1].lat);
    EXPECT_FALSE(s.communes[1].lon);

    ASSERT_EQ(s.streets.size(), 2u);
    const StreetSpec& m = s.streets[0];
    EXPECT_EQ(m.name, "Main Street");
    EXPECT_EQ(m.commune, 1u);
    EXPECT_EQ(m.lat, 1.5);
    EXPECT_EQ(m.lon, 2.5);
    EXPECT_EQ(m.postcode, "10115");
    ASSERT_EQ(m.houses.size(), 2u);
    EXPECT_EQ(m.houses[0].number, 12u);
    EXPECT_EQ(m.houses[0].suffix, " bis");
    EXPECT_EQ(m.houses[0].lat, 52.1);
    EXPECT_EQ(m.houses[0].lon, 13.2);
    EXPECT_EQ(m.houses[0].postcode, "10117");
    EXPECT_EQ(m.houses[1].suffix, "");
    EXPECT_EQ(m.houses[1].postcode, "");
    EXPECT_FALSE(s.streets[1].lat);
    EXPECT_EQ(s.streets[1].houses[0].number, 4294967295u);

    ASSERT_EQ(s.rules.size(), 2u);
    EXPECT_EQ(s.rules[0].kind, 255);
    EXPECT_EQ(s.rules[0].key, "str");
    EXPECT_EQ(s.rules[0].value, "strasse");
    EXPECT_EQ(s.rules[1].value, "");
    EXPECT_EQ(s.parser, std::string("TWML\0\xff", 6));
    EXPECT_EQ(s.rank, "");
    EXPECT_EQ(s.section_overrides, (std::map<int, std::string>{{6, std::string("\0\xff", 2)}, {200, ""}}));
    EXPECT_EQ(s.omit_sections, (std::set<int>{16, 17}));
}

TEST(JsonSpec, DefaultsOfAnEmptyDescription) {
    auto spec = parse_json_spec("{}");
    ASSERT_TRUE(spec);
    EXPECT_EQ(spec->version, 7);
    EXPECT_EQ(spec->fst_version, 3);
    EXPECT_TRUE(spec->meta.empty());
    EXPECT_TRUE(spec->communes.empty());
    EXPECT_TRUE(spec->section_overrides.empty());
}

TEST(JsonSpec, ErrorsNameTheJsonPath) {
    const std::pair<const char*, const char*> cases[] = {
        {"[]", "$: expected an object"},
        {R"({"verison": 7})", "$: unknown member \"verison\""},
        {R"({"version": 256})", "$.version: expected an integer in 0..255"},
        {R"({"version": -1})", "$.version: expected an integer in 0..255"},
        {R"({"version": 7.5})", "$.version: expected an integer"},
        {R"({"meta": [["a"]]})", "$.meta[0]: expected a [key, value] pair"},
        {R"({"meta": [["a", 1]]})", "$.meta[0][1]: expected a string"},
        {R"({"communes": [{"code": "x"}]})", "$.communes[0]: missing member \"name\""},
        {R"({"communes": [{"name": "a", "lat": 1}]})", "$.communes[0]: \"lat\" and \"lon\" must be given together"},
        {R"({"communes": [{"name": "a", "prominence": 4294967296}]})",
         "$.communes[0].prominence: expected an integer in 0..4294967295"},
        {R"({"communes": [{"name": "a", "aliases": ["b", 3]}]})", "$.communes[0].aliases[1]: expected a string"},
        {R"({"streets": [{"name": "s", "commune": 0, "houses": [{"number": 1, "lat": 1, "lon": "x"}]}]})",
         "$.streets[0].houses[0].lon: expected a number"},
        {R"({"streets": [{"name": "s", "commune": 0, "houses": [{"number": 1, "lat": 1}]}]})",
         "$.streets[0].houses[0]: missing member \"lon\""},
        {R"({"streets": [{"name": "s", "commune": 0, "houses": [{"number": 1, "lat": 1, "lon": 1, "unit": 2}]}]})",
         "$.streets[0].houses[0]: unknown member \"unit\""},
        {R"({"streets": [{"name": "s", "houses": []}]})", "$.streets[0]: missing member \"commune\""},
        {R"({"rules": [{"kind": 300, "key": "k"}]})", "$.rules[0].kind: expected an integer in 0..255"},
        {R"({"parser": "abc"})", "$.parser: odd number of hex digits"},
        {R"({"rank": "zz"})", "$.rank: not a hex digit at character 0"},
        {R"({"rank": "a b"})", "$.rank: hex byte split by white space at character 1"},
        {R"({"section_overrides": {"x": "00"}})", "$.section_overrides.x: section id must be a number in 0..255"},
        {R"({"section_overrides": {"256": "00"}})", "$.section_overrides.256: section id must be a number in 0..255"},
        {R"({"omit_sections": ["1"]})", "$.omit_sections[0]: expected an integer"},
    };
    for (auto [json, message] : cases) {
        SCOPED_TRACE(json);
        auto spec = parse_json_spec(json);
        ASSERT_FALSE(spec);
        EXPECT_EQ(spec.error().message, message);
    }
    auto broken = parse_json_spec(R"({"version": )");
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().message.rfind("invalid JSON: ", 0), 0u) << broken.error().message;
}

}  // namespace
}  // namespace tarnwik::build
