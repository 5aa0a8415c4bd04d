#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "index/container.hpp"
#include "query/communes.hpp"
#include "query/search_sheet.hpp"

namespace tarnwik {
namespace {

using namespace query;
using testing::commune;
using testing::SearchSheet;
using testing::street;
using Ids = std::vector<uint32_t>;

// One street per commune so every sheet is writable; the streets play no
// part here.
build::SheetSpec sheet(std::string country, std::vector<build::CommuneSpec> communes) {
    build::SheetSpec s;
    s.meta = {{"country", std::move(country)}, {"layer", "addresses"}};
    s.communes = std::move(communes);
    for (uint32_t i = 0; i < s.communes.size(); ++i) s.streets.push_back(street("Rue " + std::to_string(i), i));
    return s;
}

// Kilometres north of a point, in degrees of latitude.
double km_north(double km) { return km / (12742.0 * M_PI / 360.0); }

// ---------------------------------------------------------------------------
// Names

TEST(CommunesByName, AliasesArticlesLostApostropheAndQuarterWords) {
    SearchSheet x(sheet("fr", {
                                  commune("0", "'s-Gravenhage"),     // 0
                                  commune("1", "Le Havre"),          // 1
                                  commune("2", "L'Haÿ-les-Roses"),   // 2
                                  commune("3", "La Plaine"),         // 3
                                  commune("4", "Les Plaine"),        // 4
                                  commune("5", "5 Ташкент"),         // 5
                                  commune("6", "СПб"),               // 6
                                  commune("7", "Санкт-Петербург"),   // 7
                                  commune("8", "Ville"),             // 8
                                  commune("9", "La Ville"),          // 9
                              }));
    ASSERT_TRUE(x.ok());
    struct Case {
        const char* name;
        Ids ids;
    } cases[] = {
        {"s gravenhage", {0}},
        {"den haag", {0}},  // commune alias, looked up under the official name
        {"havre", {1}},  // after an article
        {"le havre", {1}},
        {"ville", {8}},  // the name as it stands comes first
        {"hay les roses", {2}},   // "l " + name
        {"lhay les roses", {2}},  // l directly before a letter: an apostrophe lost
        {"plaine", {3}},          // la before les
        {"5 квартал ташкент", {5}},
        {"квартал 5 ташкент", {5}},
        {"спб", {6}},  // city aliases are not commune aliases
        {"санкт петербург", {7}},
        {"ташкент", {}},
        {"квартал", {}},
        {"l", {}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(communes_by_name(*x, c.name), c.ids) << c.name;
}

TEST(CommunesByName, LostApostropheNeedsALetterAfterTheL) {
    SearchSheet x(sheet("fr", {commune("0", "L 1 Ville"), commune("1", "L Ørby")}));
    ASSERT_TRUE(x.ok());
    EXPECT_EQ(communes_by_name(*x, "l1 ville"), Ids{});
    EXPECT_EQ(communes_by_name(*x, "l 1 ville"), Ids{0});
    EXPECT_EQ(communes_by_name(*x, "lørby"), Ids{1});  // a non-ASCII letter counts
}

TEST(CommunesByName, QuarterWordsComeFromTheSheetRules) {
    build::SheetSpec s = sheet("uz", {commune("0", "Chilonzor"), commune("1", "Kvartal")});
    s.rules.push_back({rules::kQuarterWords, "sektor", ""});
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    EXPECT_EQ(communes_by_name(*x, "sektor chilonzor"), Ids{0});
    EXPECT_EQ(communes_by_name(*x, "kvartal chilonzor"), Ids{0});  // a default quarter word
    EXPECT_EQ(communes_by_name(*x, "kvartal"), Ids{1});            // found as it stands
    EXPECT_EQ(communes_by_name(*x, "sektor kvartal"), Ids{});      // nothing left to look up
}

TEST(CommunesByName, ItalianBareStreetTypeIsNeverACommune) {
    const std::vector<build::CommuneSpec> communes = {commune("0", "Via"), commune("1", "Via Roma"),
                                                      commune("2", "Borgo"), commune("3", "Piazzale"),
                                                      commune("4", "Corso")};
    SearchSheet it(sheet("it", communes));
    ASSERT_TRUE(it.ok());
    EXPECT_EQ(communes_by_name(*it, "via"), Ids{});
    EXPECT_EQ(communes_by_name(*it, " via "), Ids{});
    EXPECT_EQ(communes_by_name(*it, "borgo"), Ids{});
    EXPECT_EQ(communes_by_name(*it, "piazzale"), Ids{});
    EXPECT_EQ(communes_by_name(*it, "corso"), Ids{});
    EXPECT_EQ(communes_by_name(*it, "via roma"), Ids{1});
    EXPECT_EQ(communes_by_prefix(*it, "via"), Ids{});
    EXPECT_EQ(communes_by_prefix(*it, "via r"), Ids{1});
    EXPECT_TRUE(it_street_type_only(*it, "via"));
    EXPECT_FALSE(it_street_type_only(*it, "via roma"));

    SearchSheet fr(sheet("fr", communes));
    ASSERT_TRUE(fr.ok());
    EXPECT_FALSE(it_street_type_only(*fr, "via"));
    EXPECT_EQ(communes_by_name(*fr, "via"), Ids{0});
    EXPECT_EQ(communes_by_name(*fr, "borgo"), Ids{2});
}

TEST(CommunesByName, RunsOutsideThePostingsOrPastTheCommuneTableAreAbsent) {
    // Postings: alpha -> [0], beta -> [1]; cut after alpha's run, beta's
    // run reaches past the end.
    build::SheetSpec s = sheet("fr", {commune("0", "Alpha"), commune("1", "Beta")});
    s.section_overrides[section::commune_postings] = std::string("\0\0\0\0", 4);
    {
        SearchSheet x(s);
        ASSERT_TRUE(x.ok());
        EXPECT_EQ(communes_by_name_raw(*x, "alpha"), Ids{0});
        EXPECT_EQ(communes_by_name_raw(*x, "beta"), Ids{});
        EXPECT_EQ(communes_by_prefix_raw(*x, ""), Ids{0});
        EXPECT_FALSE(resolve_place(*x, "beta"));
    }
    // An id past the commune table is dropped.
    s.section_overrides[section::commune_postings] = std::string("\x63\0\0\0\x01\0\0\0", 8);
    {
        SearchSheet x(s);
        ASSERT_TRUE(x.ok());
        EXPECT_EQ(communes_by_name_raw(*x, "alpha"), Ids{});
        EXPECT_EQ(communes_by_name_raw(*x, "beta"), Ids{1});
        EXPECT_FALSE(resolve_place(*x, "alpha"));
    }
}

// ---------------------------------------------------------------------------
// Prefixes

TEST(CommunesByPrefix, NeedsThreeLettersOrDigitsAndStopsAtForty) {
    std::vector<build::CommuneSpec> communes;
    for (int i = 0; i < 39; ++i) communes.push_back(commune("s" + std::to_string(i), "San A" + std::to_string(100 + i)));
    for (int i = 0; i < 3; ++i) communes.push_back(commune("z" + std::to_string(i), "San Zeno"));  // ids 39..41
    communes.push_back(commune("h", "Le Havre"));                                                 // 42
    communes.push_back(commune("c", "Санкт-Петербург"));                                          // 43
    SearchSheet x(sheet("fr", communes));
    ASSERT_TRUE(x.ok());

    Ids first40;
    for (uint32_t i = 0; i < 40; ++i) first40.push_back(i);  // key order, then the first of San Zeno's run
    EXPECT_EQ(communes_by_prefix(*x, "san"), first40);
    EXPECT_EQ(communes_by_prefix_raw(*x, "san"), first40);
    EXPECT_EQ(communes_by_prefix(*x, "san z"), (Ids{39, 40, 41}));
    EXPECT_EQ(communes_by_prefix(*x, "sa"), Ids{});
    EXPECT_EQ(communes_by_prefix(*x, "s a"), Ids{});
    EXPECT_EQ(communes_by_prefix(*x, "sa "), Ids{});
    EXPECT_EQ(communes_by_prefix(*x, ""), Ids{});
    EXPECT_EQ(communes_by_prefix(*x, "hav"), Ids{42});  // after an article
    EXPECT_EQ(communes_by_prefix(*x, "сан"), Ids{43});  // letters of any script count
    EXPECT_EQ(communes_by_prefix(*x, "xyz"), Ids{});
    EXPECT_EQ(communes_by_prefix_raw(*x, "sa").size(), 40u);  // the raw form has no length rule
}

// ---------------------------------------------------------------------------
// Places

TEST(ResolvePlace, NamesakesWithinFortyKilometresMergeByProminence) {
    const double lat = 39.80, lon = -89.65;
    SearchSheet x(sheet("us", {
                                  commune("a", "Springfield", 30, lat, lon),
                                  commune("b", "Springfield", 10, lat + km_north(30), lon),
                                  commune("c", "Springfield", 5, lat + km_north(300), lon),
                                  // Filed under the name but displayed otherwise: not the same place.
                                  commune("d", "Springfield Township", 1, lat + km_north(5), lon, {"Springfield"}),
                                  commune("e", "Springfield", 0, std::nullopt, std::nullopt),
                              }));
    ASSERT_TRUE(x.ok());
    auto p = resolve_place(*x, "springfield");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->name, "Springfield");
    EXPECT_NEAR(p->lat, lat + km_north(30) / 4, 1e-6);
    EXPECT_NEAR(p->lon, lon, 1e-6);
    EXPECT_EQ(p->prominence, 40u);
    EXPECT_TRUE(p->exact);
}

TEST(ResolvePlace, EqualProminenceTakesTheLaterCommuneAndZeroWeighsOne) {
    SearchSheet x(sheet("us", {
                                  commune("a", "Salem", 0, 44.0, -123.0),
                                  commune("b", "Salem", 0, 44.0 + km_north(100), -123.0),
                                  commune("c", "Salem", 0, 44.0 + km_north(110), -123.0),
                              }));
    ASSERT_TRUE(x.ok());
    auto p = resolve_place(*x, "salem");
    ASSERT_TRUE(p);
    // c is the best; b lies 10 km from it, a 110 km.
    EXPECT_NEAR(p->lat, 44.0 + km_north(105), 1e-6);
    EXPECT_EQ(p->prominence, 2u);
}

TEST(ResolvePlace, PrefixGroupOfMultiWordNames) {
    SearchSheet x(sheet("fr", {
                                  commune("p1", "Paris 1er Arrondissement", 10, 48.86, 2.34),
                                  commune("p2", "Paris 2e Arrondissement", 30, 48.87, 2.35),
                                  commune("p20", "Paris 20e Arrondissement", 90, std::nullopt, std::nullopt),
                                  commune("pp", "Paris-Plage", 1, 50.52, 1.59),  // far from the best
                                  commune("ps", "Parisot", 500, 44.26, 1.86),    // no space after paris
                                  commune("l", "Lyon", 100, std::nullopt, std::nullopt),
                                  commune("l1", "Lyon 1er Arrondissement", 3, 45.77, 4.83),
                              }));
    ASSERT_TRUE(x.ok());
    auto p = resolve_place(*x, "paris");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->name, "paris");
    EXPECT_FALSE(p->exact);
    EXPECT_EQ(p->prominence, 40u);
    EXPECT_NEAR(p->lat, (10 * 48.86 + 30 * 48.87) / 40, 1e-9);
    EXPECT_NEAR(p->lon, (10 * 2.34 + 30 * 2.35) / 40, 1e-9);

    // The named commune has no position: the multi-word names stand in.
    auto lyon = resolve_place(*x, "lyon");
    ASSERT_TRUE(lyon);
    EXPECT_EQ(lyon->name, "lyon");
    EXPECT_FALSE(lyon->exact);
    EXPECT_EQ(lyon->prominence, 3u);

    EXPECT_FALSE(resolve_place(*x, ""));
    EXPECT_FALSE(resolve_place(*x, "marseille"));
    EXPECT_FALSE(resolve_place(*x, "paris 20e arrondissement"));  // found, but nowhere
}

TEST(ResolvePlace, TransliteratedRetriesAndThePlaceAtZeroZero) {
    SearchSheet x(sheet("rs", {
                                  commune("m", "Москва", 100, 55.75, 37.62),
                                  commune("b", "Beograd", 50, 44.82, 20.46),
                                  commune("n1", "Nulla", 1, 0.1, 0.0),
                                  commune("n2", "Nulla", 1, -0.1, 0.0),
                              }));
    ASSERT_TRUE(x.ok());
    EXPECT_FALSE(resolve_place(*x, "moskva"));
    auto m = resolve_place_translit(*x, "moskva");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->name, "Москва");
    EXPECT_TRUE(m->exact);
    EXPECT_NEAR(m->lat, 55.75, 1e-9);

    auto b = resolve_place_translit(*x, "београд");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->name, "Beograd");

    // Two namesakes either side of the equator average to exactly (0, 0).
    auto nulla = resolve_place(*x, "nulla");
    ASSERT_TRUE(nulla);
    EXPECT_EQ(nulla->lat, 0.0);
    EXPECT_EQ(nulla->lon, 0.0);
    EXPECT_FALSE(resolve_place_translit(*x, "nulla"));
    EXPECT_FALSE(resolve_place_translit(*x, "zagreb"));
}

// ---------------------------------------------------------------------------
// City aliases and locality hits

TEST(ExpandCityAliases, ReplacesWholeTailAndInnerWordsWhenTheCityIsInTheSheet) {
    SearchSheet x(sheet("ru", {commune("1", "Санкт-Петербург")}));
    ASSERT_TRUE(x.ok());
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"спб", "санкт петербург"},
        {"ленина 5 спб", "ленина 5 санкт петербург"},
        {"ленина спб 5", "ленина санкт петербург 5"},
        {"ленина спб спб 5", "ленина санкт петербург спб 5"},  // occurrences share no space
        {"спб ленина 5", "спб ленина 5"},                      // at the start: not an alias position
        {"спбх", "спбх"},
        {"питер", "санкт петербург"},
        {"st petersburg", "санкт петербург"},
        {"мск", "мск"},  // москва is no key of this sheet
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(expand_city_aliases(*x, c.in), c.out) << c.in;

    SearchSheet other(sheet("ru", {commune("1", "Москва")}));
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(expand_city_aliases(*other, "ленина 5 спб"), "ленина 5 спб");
    EXPECT_EQ(expand_city_aliases(*other, "tverskaya moscow"), "tverskaya москва");
}

TEST(ExpandCityAliases, PairsApplyInOrderEachToThePreviousResult) {
    build::SheetSpec s = sheet("xx", {commune("1", "Gamma")});
    s.rules.push_back({rules::kCityAliases, "alpha", "beta"});
    s.rules.push_back({rules::kCityAliases, "beta", "gamma"});
    s.communes.push_back(commune("2", "Beta"));
    s.streets.push_back(street("Rue 1", 1));
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    EXPECT_EQ(expand_city_aliases(*x, "alpha"), "gamma");
    EXPECT_EQ(expand_city_aliases(*x, "x alpha y"), "x gamma y");
}

TEST(CityHit, OneLocalityHit) {
    SearchSheet x(sheet("fr", {commune("1", "Paris")}));
    ASSERT_TRUE(x.ok());
    for (bool exact : {true, false}) {
        const auto hits = city_hit(*x, "Paris", exact, 48.85, 2.35);
        ASSERT_EQ(hits.size(), 1u);
        const Hit& h = hits[0];
        EXPECT_EQ(h.lat, 48.85);
        EXPECT_EQ(h.lon, 2.35);
        EXPECT_EQ(h.precision, "city");
        EXPECT_EQ(h.score, 0.0f);
        EXPECT_EQ(h.confidence, 0.05f);
        EXPECT_EQ(h.street, "");
        EXPECT_FALSE(h.housenumber);
        EXPECT_EQ(h.commune, "Paris");
        EXPECT_EQ(h.postcode, "");
        EXPECT_EQ(h.flags, std::vector<FixedText>{exact ? "place_exact" : "place_prefix_group"});
        EXPECT_FALSE(h.region);
        EXPECT_FALSE(h.distance_m);
    }
}

}  // namespace
}  // namespace tarnwik
