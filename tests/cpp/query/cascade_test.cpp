#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "query/cascade.hpp"
#include "query/dispatch.hpp"
#include "query/driver.hpp"
#include "query/hit_lists.hpp"
#include "query/search_sheet.hpp"
#include "query/street_data.hpp"
#include "util/text.hpp"

namespace tarnwik {
namespace {

using namespace query;
using testing::commune;
using testing::house;
using testing::made_hit;
using testing::SearchSheet;
using testing::street;
using testing::views;

TEST(Cascade, TextIsCutAtACharacterBoundary) {
    const std::string ascii(1500, 'a');
    EXPECT_EQ(bound_query_text(ascii).size(), 1024u);
    EXPECT_EQ(bound_query_text(ascii.substr(0, 1024)).size(), 1024u);
    EXPECT_EQ(bound_query_text("").size(), 0u);
    struct Case {
        size_t at;              // where the character starts
        std::string character;  // written there, ASCII around it
        size_t kept;
    };
    for (const Case& c : std::vector<Case>{{1023, "é", 1023},
                                           {1022, "é", 1024},
                                           {1022, "€", 1022},
                                           {1021, "€", 1024},
                                           {1021, "😀", 1021},
                                           {1023, "😀", 1023},
                                           {1020, "😀", 1024}}) {
        std::string text = std::string(c.at, 'a') + c.character;
        text += std::string(1500 - text.size(), 'b');
        const std::string_view cut = bound_query_text(text);
        EXPECT_EQ(cut.size(), c.kept) << c.at << " " << c.character;
        EXPECT_TRUE(text::valid_utf8(cut));
    }
}

TEST(Cascade, ReleasedHitsLoseTheInternalFlagAndNeverGainConfidence) {
    std::vector<HitWithFeatures> hits;
    for (auto [conf, flags] : std::vector<std::pair<float, std::vector<FixedText>>>{
             {0.9f, {"street_exact", "__deferred_locality_drop", "dropped_suffix"}},
             {0.95f, {"__deferred_locality_drop"}},
             {0.5f, {"__deferred_locality_drop", "commune_exact", "__deferred_locality_drop"}},
             {0.7f, {}}})
        hits.emplace_back(made_hit("house", conf, flags), Features{});
    const std::vector<Hit> out = released_hits(hits);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].confidence, 0.9f);
    EXPECT_EQ(out[1].confidence, 0.9f);
    EXPECT_EQ(out[2].confidence, 0.5f);
    EXPECT_EQ(out[3].confidence, 0.5f);
    EXPECT_EQ(out[0].flags, (std::vector<FixedText>{"street_exact", "dropped_suffix"}));
    EXPECT_TRUE(out[1].flags.empty());
    EXPECT_EQ(out[2].flags, (std::vector<FixedText>{"commune_exact"}));
}

TEST(Cascade, InternalFlagNeverLeavesTheSheetQuery) {
    build::SheetSpec s;
    s.meta = {{"country", "ru"}};
    s.communes = {commune("M1", "Москва", 1000, 55.75, 37.6)};
    s.streets = {street("Тверская", 0, "125009", {house(7, 55.76, 37.61), house(9, 55.7601, 37.61)})};
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    // Found only once the trailing word went: the driver tags the hits for
    // the layers above it.
    const char* text = "тверская 7 москва хзхз";
    const auto raw = query_feats_street_data(*x, text, 10);
    ASSERT_FALSE(raw.empty());
    ASSERT_NE(std::find(raw[0].first.flags.begin(), raw[0].first.flags.end(), "__deferred_locality_drop"),
              raw[0].first.flags.end());
    const auto hits = index_query(*x, text, 10);
    ASSERT_EQ(hits.size(), raw.size());
    for (size_t i = 0; i < hits.size(); ++i) {
        std::vector<FixedText> kept;
        for (FixedText f : raw[i].first.flags)
            if (f != "__deferred_locality_drop") kept.push_back(f);
        EXPECT_EQ(hits[i].flags, kept);
    }
    EXPECT_EQ(hits[0].flags.back(), "dropped_suffix");
}

TEST(Cascade, PoiLayerIsAskedOnlyForAWeakAnswer) {
    struct Case {
        std::vector<Hit> address;
        bool consulted;
    };
    const std::vector<Case> cases = {
        {{}, true},
        {{made_hit("city", 0.9f)}, true},
        {{made_hit("street", 0.29f)}, true},
        {{made_hit("street", 0.3f)}, false},
        {{made_hit("house", 0.59f, {"street_fuzzy"})}, true},
        {{made_hit("house", 0.6f, {"street_fuzzy"})}, false},
        // A house on an exactly matched street is never second-guessed.
        {{made_hit("house", 0.25f, {"street_exact"})}, false},
        {{made_hit("house", 0.25f, {"street_exact", "street_fuzzy"})}, false},
        {{made_hit("interp", 0.25f, {"street_exact"})}, true},
        {{made_hit("street", 0.9f), made_hit("city", 0.1f)}, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(poi_consulted(cases[i].address), cases[i].consulted) << i;

    EXPECT_TRUE(poi_wins({}, {made_hit("house", 0.1f)}));
    EXPECT_FALSE(poi_wins({}, {}));
    EXPECT_TRUE(poi_wins({made_hit("street", 0.25f)}, {made_hit("house", 0.3f)}));
    EXPECT_FALSE(poi_wins({made_hit("street", 0.3f)}, {made_hit("house", 0.3f)})) << "equal confidence keeps the address";
    EXPECT_FALSE(poi_wins({made_hit("street", 0.3f)}, {}));
}

build::SheetSpec address_spec() {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}, {"layer", "addresses"}};
    s.communes = {commune("V1", "Valmora", 400, 44.9, 8.6), commune("B1", "Borgo", 100, 44.95, 8.7)};
    s.streets = {street("Rue de la Gare", 0, "15030", {house(1, 44.9, 8.6), house(3, 44.9001, 8.6)}),
                 street("Rue du Moulin", 1, "15040", {house(2, 44.95, 8.7)})};
    return s;
}

// The POI layer holds its places as streets with a single house.
build::SheetSpec poi_spec() {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}, {"layer", "poi"}};
    s.communes = {commune("V1", "Valmora", 400, 44.9, 8.6)};
    s.streets = {street("Musee Civique", 0, "15030", {house(1, 44.9005, 8.6005)}),
                 street("Rue de la Gare", 0, "15030", {house(1, 44.91, 8.61), house(3, 44.9101, 8.61)})};
    return s;
}

TEST(Cascade, PoiAnswerReplacesAWeakAddressAnswer) {
    SearchSheet address(address_spec());
    SearchSheet poi(poi_spec());
    ASSERT_TRUE(address.ok() && poi.ok());

    // An exact street and house: the POI layer is not asked.
    const auto exact = index_query(*address, "Rue de la Gare 3, Valmora", 10);
    ASSERT_FALSE(exact.empty());
    ASSERT_EQ(exact.front().precision, "house");
    EXPECT_EQ(views(query_cascade(*address, &*poi, "Rue de la Gare 3, Valmora", 10)), views(exact));

    // The address sheet knows no museum; the POI layer does.
    const char* museum = "Musee Civique 1, Valmora";
    const auto weak = index_query(*address, museum, 10);
    ASSERT_TRUE(poi_consulted(weak));
    const auto places = index_query(*poi, museum, 10);
    ASSERT_FALSE(places.empty());
    const auto answer = query_cascade(*address, &*poi, museum, 10);
    ASSERT_EQ(answer.size(), places.size());
    for (size_t i = 0; i < answer.size(); ++i) {
        auto flags = places[i].flags;
        flags.push_back("poi_layer");
        EXPECT_EQ(answer[i].flags, flags);
        EXPECT_EQ(answer[i].street, places[i].street);
    }
    EXPECT_EQ(views(query_cascade(*address, nullptr, museum, 10)), views(weak));

    // The empty text never reaches the POI layer.
    EXPECT_TRUE(query_cascade(*address, &*poi, "", 10).empty());
}

TEST(Cascade, KIsCappedAndZeroAsksNothing) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    for (int i = 0; i < 130; ++i) {
        s.communes.push_back(commune("C" + std::to_string(i), "Commune " + std::to_string(i), 10 + i, 44 + i * 0.01, 8));
        s.streets.push_back(street("Rue de la Gare", static_cast<uint32_t>(i), "", {house(1, 44 + i * 0.01, 8)}));
    }
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    // Precondition: the sheet answers with more than the cap.
    ASSERT_GT(index_query(*x, "Rue de la Gare 1", 500).size(), kMaxHits);
    const auto capped = query_cascade(*x, nullptr, "Rue de la Gare 1", 500);
    EXPECT_EQ(capped.size(), kMaxHits);
    EXPECT_EQ(views(capped), views(query_cascade(*x, nullptr, "Rue de la Gare 1", 100)));
    EXPECT_EQ(query_cascade(*x, nullptr, "Rue de la Gare 1", 3).size(), 3u);
    EXPECT_TRUE(query_cascade(*x, nullptr, "Rue de la Gare 1", 0).empty());
    EXPECT_TRUE(index_query(*x, "Rue de la Gare 1", 0).empty());
    for (size_t i = 1; i < capped.size(); ++i) EXPECT_LE(capped[i].confidence, capped[i - 1].confidence);
}

TEST(Cascade, LongQueriesAreAnsweredFromTheirCutText) {
    SearchSheet x(address_spec());
    ASSERT_TRUE(x.ok());
    std::string text = "Rue de la Gare 3, Valmora";
    text += std::string(1023 - text.size(), ' ');
    const std::string prefix = text;
    text += "é";
    text += std::string(1500 - text.size(), 'z');
    const auto expected = query_cascade(*x, nullptr, prefix, 10);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(views(query_cascade(*x, nullptr, text, 10)), views(expected));
    EXPECT_EQ(views(index_query(*x, text, 10)), views(expected));
}

TEST(Cascade, IndexQueryIsTheStreetDataPathUnderTheSheetsRules) {
    build::SheetSpec s = address_spec();
    // The sheet's own abbreviation makes "rte" read as "route".
    s.streets.push_back(street("Route Neuve", 0, "15030", {house(8, 44.902, 8.602)}));
    s.rules = {{rules::kAbbreviations, "rte", "route"}};
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    for (const char* text : {"Rte Neuve 8, Valmora", "Rue de la Gare 3, Valmora", "Valmora", "zzz"}) {
        const auto expected = released_hits(query_feats_street_data(*x, text, 10));
        const std::vector<Hit> got = [&] {
            // index_query installs the sheet's rules itself.
            const rules::ScopedCurrent plain(rules::fallback());
            return index_query(*x, text, 10);
        }();
        EXPECT_EQ(views(got), views(expected)) << text;
    }
    const auto route = index_query(*x, "Rte Neuve 8, Valmora", 10);
    ASSERT_FALSE(route.empty());
    EXPECT_EQ(route.front().street, "Route Neuve");
}

using Meta = std::vector<std::pair<std::string, std::string>>;

TEST(Dispatch, CountryIsTheFirstTwoByteCountryEntry) {
    const auto country_of = [](Meta meta) {
        build::SheetSpec s = address_spec();
        s.meta = std::move(meta);
        SearchSheet x(s);
        EXPECT_TRUE(x.ok());
        return dispatch_country(*x).transform([](std::string_view c) { return std::string(c); });
    };
    EXPECT_EQ(country_of({{"country", "de"}}), "de");
    EXPECT_EQ(country_of({{"layer", "addresses"}, {"country", "it"}}), "it");
    EXPECT_EQ(country_of({{"country", "deu"}}), std::nullopt);
    EXPECT_EQ(country_of({{"country", "d"}}), std::nullopt);
    EXPECT_EQ(country_of({{"country", "deu"}, {"country", "de"}}), std::nullopt);
    EXPECT_EQ(country_of({}), std::nullopt);
}

TEST(Dispatch, OtherCountriesGoStraightToTheDriver) {
    for (const Meta& meta : {Meta{}, Meta{{"country", "deu"}}, Meta{{"country", "fr"}}, Meta{{"country", "pt"}},
                             Meta{{"country", "deu"}, {"country", "de"}}}) {
        build::SheetSpec s = address_spec();
        s.meta = meta;
        SearchSheet x(s);
        ASSERT_TRUE(x.ok());
        for (const char* text : {"Rue de la Gare 3, Valmora", "rue du moulin borgo", "Valmora", "", "75015 paris"})
            EXPECT_EQ(views(query_feats_country_variants(*x, text, 10)), views(query_feats_d(*x, text, 10))) << text;
    }
}

}  // namespace
}  // namespace tarnwik
