#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "query/driver.hpp"
#include "query/search.hpp"
#include "query/search_sheet.hpp"

namespace tarnwik {
namespace {

using namespace query;
using testing::commune;
using testing::house;
using testing::SearchSheet;
using testing::street;
using Flags = std::vector<FixedText>;
using Hits = std::vector<HitWithFeatures>;

constexpr std::optional<std::string> kNone = std::nullopt;

// What the tests compare of a hit.
struct Seen {
    std::string street, commune;
    std::optional<std::string> housenumber;
    std::string_view precision;
    float confidence;
    Flags flags;
    bool operator==(const Seen&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Seen& s) {
    os << "{" << s.street << " / " << s.commune << " #" << s.housenumber.value_or("-") << " " << s.precision
       << " conf " << s.confidence << " [";
    for (auto f : s.flags) os << f << " ";
    return os << "]}";
}
std::vector<Seen> seen(const Hits& hs) {
    std::vector<Seen> out;
    for (const auto& [h, f] : hs) out.push_back({h.street, h.commune, h.housenumber, h.precision, h.confidence, h.flags});
    return out;
}
// The first hit only; a placeholder when there is none.
Seen top(const Hits& hs) { return hs.empty() ? Seen{"(no hits)", "", kNone, "", 0, {}} : seen(hs)[0]; }

bool has_flag(const Hit& h, std::string_view flag) { return std::ranges::find(h.flags, flag) != h.flags.end(); }

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// ---------------------------------------------------------------------------
// Key rewrites

TEST(FrArrondissementWords, Rewrites) {
    struct Case {
        const char* key;
        std::optional<std::string> out;
    } cases[] = {
        // A leading city and its ordinal go to the end as the commune name.
        {"paris 15 rue de rivoli", "rue de rivoli paris 15e arrondissement"},
        {"paris 15e rue de rivoli", "rue de rivoli paris 15e arrondissement"},
        {"paris 15eme rue de rivoli", "rue de rivoli paris 15e arrondissement"},
        {"paris xv rue de rivoli", "rue de rivoli paris 15e arrondissement"},
        {"paris 1 rue x", "rue x paris 1er arrondissement"},
        {"paris i rue x", "rue x paris 1er arrondissement"},
        {"lyon 1er rue x", "rue x lyon 1er arrondissement"},
        {"paris 15e arrondissement rue x", "rue x paris 15e arrondissement"},
        // Three words are too few for the leading form.
        {"paris 15 rue", "paris 15e rue"},
        // The city written after "arrondissement" moves before the ordinal.
        {"15e arrondissement paris rue x", "paris 15e arrondissement rue x"},
        {"15e arrondissement de paris rue x", "paris 15e arrondissement rue x"},
        {"15 arrondissement paris", "paris 15e arrondissement"},
        {"rue x 3eme arrondissement marseille", "rue x marseille 3e arrondissement"},
        {"rue x 3e arrondissements de lyon", "rue x lyon 3e arrondissements"},
        // Ordinal readings: two-digit cores keep their zero, roman numerals up to xx.
        {"lyon 2eme", "lyon 2e"},
        {"paris 01", "paris 01e"},
        {"paris xx", "paris 20e"},
        {"paris xxi", std::nullopt},
        {"paris 123", std::nullopt},
        {"paris 5e", std::nullopt},
        {"paris 1er", std::nullopt},
        {"paris e", std::nullopt},
        {"paris de", std::nullopt},
        // A number after the city is read as an ordinal wherever it stands.
        {"rue de lyon 12", "rue de lyon 12e"},
        // Nothing without one of the three city names in the key.
        {"rue x 15 arrondissement", std::nullopt},
        {"rue x paris 15e arrondissement", std::nullopt},
        {"12 rue victor hugo", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(fr_arrondissement_words(c.key), c.out) << c.key;
}

TEST(FrArrondissementWords, CitiesComeFromTheRules) {
    Rules r = rules::defaults();
    r.arrondissement_cities.erase("lyon");
    const rules::ScopedCurrent scope(r);
    EXPECT_EQ(fr_arrondissement_words("lyon 2eme"), std::nullopt);
    EXPECT_EQ(fr_arrondissement_words("paris 2eme"), "paris 2e");
}

TEST(DropLongNumberRuns, RunsOfMoreThanThreeShortNumbers) {
    struct Case {
        const char* key;
        std::optional<std::string> out;
    } cases[] = {
        {"rue x 5 paris 01 23 45 67", "rue x 5 paris"},
        {"tel 0612 3456 78 9 rue x 5", "tel rue x 5"},
        {"a 1 2 3 4 b 5 6 7 8 9", "a b"},
        {"1 2 3 4", ""},
        {"rue x 1 2 3", std::nullopt},            // three is not a run
        {"rue x 1 2 12345 3 4", std::nullopt},    // five digits break it
        {"rue x 1 2 3a 4 5", std::nullopt},
        {"rue x", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(drop_long_number_runs(c.key), c.out) << c.key;
}

TEST(StripLeadingPc, Cases) {
    struct Case {
        const char* text;
        const char* out;
    } cases[] = {
        {"1234 AB Main Street", "Main Street"},
        {"1234 AB  Main Street", "Main Street"},
        {"75001 Paris", "Paris"},
        {"75001   Paris", "Paris"},
        {"123456 Москва", "Москва"},
        {"1234 ABC Street", "ABC Street"},  // three letters are a word, not a postcode
        {"1234 AB, Amsterdam", "AB, Amsterdam"},
        {"123 Main Street", "123 Main Street"},
        {"1234567 Main", "1234567 Main"},
        {"1234 AB", "1234 AB"},  // nothing would remain
        {"75001", "75001"},
        {"75001 ", "75001 "},
        {"Main Street 1234", "Main Street 1234"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(strip_leading_pc(c.text), c.out) << c.text;
}

// ---------------------------------------------------------------------------
// A sheet without country: Latin, Cyrillic and Serbian streets.

build::SheetSpec mixed_spec() {
    build::SheetSpec s;
    s.meta = {{"layer", "addresses"}};
    s.communes = {
        commune("1", "Springfield", 100, 45.0, 5.0),       // 0
        commune("2", "Shelbyville", 50, 45.3, 5.3),        // 1: ~41 km from Springfield
        commune("3", "Ogdenville", 10, 45.6, 5.6),         // 2: ~82 km from Springfield
        commune("4", "Москва", 30, 55.75, 37.6),           // 3
        commune("5", "Beograd", 30, 44.8, 20.4),           // 4
        commune("6", "North Haverbrook", 30, 45.1, 5.1),   // 5
    };
    s.streets = {
        street("Evergreen Terrace", 0, "12345", {house(740, 45.0, 5.0), house(742, 45.001, 5.0)}),
        street("Main Street", 1, "22222", {house(1, 45.3, 5.3), house(3, 45.3, 5.3)}),
        street("Тверская", 3, "125009", {house(7, 55.75, 37.6)}),
        street("Shchukina", 3, "", {house(4, 55.8, 37.5)}),
        street("Knez Mihailova", 4, "", {house(5, 44.8, 20.4)}),
        street("Đorđa Đurđevića", 4, "", {house(5, 44.8, 20.4)}),
        street("Жукова", 4, "", {house(3, 44.8, 20.4)}),
        street("Rue Mouffetard", 0, "", {house(1, 45.0, 5.0)}),
        street("Mouffetard Lane", 1, "", {house(1, 45.3, 5.3)}),
    };
    return s;
}

class MixedDriver : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sheet_ = new SearchSheet(mixed_spec()); }
    static void TearDownTestSuite() {
        delete sheet_;
        sheet_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(sheet_->ok()); }
    const Index& x() const { return **sheet_; }
    Hits query(std::string_view q, const DriverHints& hints = {}) const { return query_feats_d(x(), q, 10, false, hints); }

    static SearchSheet* sheet_;
};
SearchSheet* MixedDriver::sheet_ = nullptr;

TEST_F(MixedDriver, LocalityOnly) {
    const Hits hs = query("Springfield");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(seen(hs)[0], (Seen{"", "Springfield", kNone, "city", 0.05f, {"place_exact"}}));
    EXPECT_DOUBLE_EQ(hs[0].first.lat, 45.0);
    EXPECT_DOUBLE_EQ(hs[0].first.lon, 5.0);
    EXPECT_EQ(hs[0].second, Features{});
    // A house number is not a locality.
    EXPECT_TRUE(query("springfield 742").empty());
    // A street with its commune is searched as a street.
    EXPECT_EQ(top(query("evergreen terrace springfield")),
              (Seen{"Evergreen Terrace", "Springfield", kNone, "street", 0.57f, {"street_exact", "commune_exact"}}));
}

TEST_F(MixedDriver, LongNumberRunsAreRemoved) {
    const Seen exact{"Evergreen Terrace", "Springfield", "742", "house", 0.94f,
                     {"street_exact", "commune_exact", "house_rep"}};
    EXPECT_EQ(top(query("evergreen terrace 742 springfield")), exact);
    EXPECT_EQ(top(query("evergreen terrace 742 springfield 06 12 34 56")), exact);
    // The search alone reads the numbers as part of the locality.
    EXPECT_NE(top(search_prepared(x(), "evergreen terrace 742 springfield 06 12 34 56", 10)), exact);
}

TEST_F(MixedDriver, UngluedHouseWord) {
    // "д7": the house word glued to its number only goes once unglued.
    ASSERT_TRUE(search_prepared(x(), "тверская д7", 10).empty());
    EXPECT_EQ(top(query("тверская д7")), (Seen{"Тверская", "Москва", "7", "house", 0.6f, {"street_exact", "house_rep"}}));
}

TEST_F(MixedDriver, OtherScript) {
    struct Case {
        const char* query;
        const char* street;
    } cases[] = {
        {"кнез михаилова 5", "Knez Mihailova"},  // Cyrillic to Latin
        {"щукина 4", "Shchukina"},               // Cyrillic to English-style Latin
        {"tverskaya 7", "Тверская"},             // Latin to Cyrillic
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(search_prepared(x(), c.query, 10).empty()) << c.query;
        const Hits hs = query(c.query);
        ASSERT_FALSE(hs.empty()) << c.query;
        EXPECT_EQ(hs[0].first.street, c.street);
        EXPECT_EQ(hs[0].first.precision, "house") << c.query;
    }
}

TEST_F(MixedDriver, SerbianLatinWithoutDiacritics) {
    // dj for đ: four letters off, beyond the search's own spelling tolerance.
    ASSERT_TRUE(search_prepared(x(), "djordja djurdjevica 5", 10).empty());
    EXPECT_EQ(top(query("djordja djurdjevica 5")),
              (Seen{"Đorđa Đurđevića", "Beograd", "5", "house", 0.6f, {"street_exact", "house_rep"}}));
    // j for ž, found in Cyrillic.
    ASSERT_TRUE(search_prepared(x(), "jukova 3", 10).empty());
    EXPECT_EQ(top(query("jukova 3")), (Seen{"Жукова", "Beograd", "3", "house", 0.6f, {"street_exact", "house_rep"}}));
}

TEST_F(MixedDriver, LeadingAffixes) {
    // Dropped as affixes: the answer is not marked as a word drop.
    ASSERT_TRUE(search_prepared(x(), "residential complex evergreen terrace 742", 10).empty());
    EXPECT_EQ(top(query("residential complex evergreen terrace 742")),
              (Seen{"Evergreen Terrace", "Springfield", "742", "house", 0.6f, {"street_exact", "house_rep"}}));
    // At most three go; the fourth is then an ordinary leading word, as the
    // retry on the rest drops no affix again.
    EXPECT_EQ(top(query("жк жк жк жк тверская 7")),
              (Seen{"Тверская", "Москва", "7", "house", 0.6f, {"street_exact", "house_rep", "dropped_prefix"}}));
    EXPECT_EQ(top(query("жк жк жк тверская 7")),
              (Seen{"Тверская", "Москва", "7", "house", 0.6f, {"street_exact", "house_rep"}}));
    // With the no-drop switch the affixes stay and go as leading words.
    EXPECT_EQ(top(query_feats_d(x(), "жк тверская 7", 10, true)),
              (Seen{"Тверская", "Москва", "7", "house", 0.6f, {"street_exact", "house_rep", "dropped_prefix"}}));
}

// Without the word-subset phase the search core cannot skip a leading word
// itself, so these answers come from the driver's word drops.
class MixedDriverNoSubset : public MixedDriver {
protected:
    ScopedEnv no_subset_{"TARNWIK_NO_SUBSET", "1"};
};

TEST_F(MixedDriverNoSubset, LeadingWordsDropped) {
    ASSERT_TRUE(search_prepared(x(), "attn zzyzx тверская 7 москва", 10).empty());
    // A house found after two leading words went: 0.94 capped at 0.6.
    EXPECT_EQ(top(query("attn zzyzx тверская 7 москва")),
              (Seen{"Тверская", "Москва", "7", "house", 0.6f,
                    {"street_exact", "commune_exact", "house_rep", "dropped_prefix"}}));
    // The dropped word names a commune: the answer stands as found.
    EXPECT_EQ(top(query("shelbyville тверская 7 москва")),
              (Seen{"Тверская", "Москва", "7", "house", 0.94f, {"street_exact", "commune_exact", "house_rep"}}));
    // A street level answer counts when the rest starts with a street type.
    EXPECT_EQ(top(query("attn zzyzx rue mouffetard")),
              (Seen{"Rue Mouffetard", "Springfield", kNone, "street", 0.11f, {"street_exact", "dropped_prefix"}}));
    EXPECT_TRUE(search_prepared(x(), "mouffetard lane", 10).size() == 1);
    EXPECT_TRUE(query("attn zzyzx mouffetard lane").empty());
}

TEST_F(MixedDriverNoSubset, LeadingWordsDeferredFallback) {
    // Commune and postcode agree but neither a house nor a street type
    // confirms the reading: kept as the fallback, tagged for the caller.
    const Hits hs = query("хзхз тверская москва 125009");
    EXPECT_EQ(top(hs), (Seen{"Тверская", "Москва", kNone, "street", 0.6f,
                             {"street_exact", "commune_exact", "pc_exact", "dropped_prefix", "__deferred_locality_drop"}}));
}

TEST_F(MixedDriverNoSubset, LeadingWordsWithLocalityAndPostcodeHints) {
    const char* q = "attn zzyzx тверская 7 москва";
    struct Case {
        std::string locality;
        uint32_t postcode;
        bool found;
    } cases[] = {
        {"москва", 125009, true},       // the hit's postcode
        {"москва", 99999, true},        // the hit's commune
        {"springfield", 12345, false},  // neither
    };
    for (const Case& c : cases) {
        const Hits hs = query(q, DriverHints{c.locality, c.postcode, std::nullopt, std::nullopt});
        EXPECT_EQ(!hs.empty() && hs[0].first.street == "Тверская", c.found) << c.locality << " " << c.postcode;
    }
    // One hint alone filters nothing.
    EXPECT_EQ(top(query(q, DriverHints{"springfield", std::nullopt, std::nullopt, std::nullopt})).street, "Тверская");
}

TEST_F(MixedDriver, TrailingWordsDropped) {
    ASSERT_TRUE(search_prepared(x(), "тверская 7 москва хзхз", 10).empty());
    EXPECT_EQ(top(query("тверская 7 москва хзхз")),
              (Seen{"Тверская", "Москва", "7", "house", 0.6f,
                    {"street_exact", "commune_exact", "house_rep", "dropped_suffix", "__deferred_locality_drop"}}));
    // Two words at most, and never a number.
    EXPECT_EQ(top(query("тверская 7 хзхз йцук")).flags.back(), "__deferred_locality_drop");
    EXPECT_TRUE(query("тверская 7 хзхз йцук фыва").empty());
    EXPECT_TRUE(query("тверская 7 хзхз 12").empty());
}

TEST_F(MixedDriver, TrailingLocalityFields) {
    struct Case {
        const char* query;
        std::optional<std::string> commune;
    } cases[] = {
        {"zzyzx qwv, springfield", "Springfield"},
        {"zzyzx qwv; Springfield (USA)", "Springfield"},
        {"zzyzx qwv | 1234 AB Springfield", "Springfield"},  // a field with a leading postcode
        // The least prominent place near the most prominent one.
        {"zzyzx qwv, shelbyville, springfield", "Shelbyville"},
        {"zzyzx qwv, springfield, shelbyville", "Shelbyville"},
        {"zzyzx qwv, ogdenville, springfield", "Springfield"},  // 82 km away
        // A name resolved only as a prefix counts only when nothing is exact.
        {"zzyzx qwv, north", "north"},
        {"zzyzx qwv, north, ogdenville", "Ogdenville"},
        // Five fields from the end at most.
        {"zzyzx qwv, springfield, a, b, c, d", "Springfield"},
        {"zzyzx qwv, springfield, a, b, c, d, e", kNone},
        // A field of more than four words is not a locality.
        {"zzyzx qwv, springfield a b c d", kNone},
        // A number of one to three digits may be a house number.
        {"zzyzx 12, springfield", kNone},
    };
    for (const Case& c : cases) {
        const Hits hs = query(c.query);
        if (!c.commune) {
            EXPECT_TRUE(hs.empty()) << c.query << " " << top(hs);
            continue;
        }
        ASSERT_EQ(hs.size(), 1u) << c.query;
        EXPECT_EQ(hs[0].first.precision, "city") << c.query;
        EXPECT_EQ(hs[0].first.commune, *c.commune) << c.query;
    }
}

TEST_F(MixedDriver, TextsWithoutWords) {
    for (const char* q : {"", "   ", ",;|()", "1 2 3 4", "0612 3456 78 90", "жк", "жк жк жк", "· ·"})
        EXPECT_TRUE(query(q).empty()) << q;
}

// ---------------------------------------------------------------------------
// City written first

build::SheetSpec city_first_spec() {
    build::SheetSpec s;
    s.meta = {{"layer", "addresses"}};
    s.communes = {
        commune("1", "Springfield Heights", 20, 46.0, 6.0),  // 0
        commune("2", "Ogdenville", 10, 45.6, 5.6),           // 1
    };
    s.streets = {
        street("Evergreen Terrace", 0, "", {house(740, 46.0, 6.0), house(742, 46.001, 6.0)}),
        // The whole query as a street name elsewhere: the plain search
        // answers with this street only.
        street("Springfield Heights Evergreen Terrace 742", 1, "", {house(1, 45.6, 5.6)}),
    };
    return s;
}

TEST(CityFirstDriver, HouseInTheCityWrittenFirst) {
    SearchSheet x(city_first_spec());
    ASSERT_TRUE(x.ok());
    const char* q = "springfield heights evergreen terrace 742";
    ASSERT_EQ(top(search_prepared(*x, q, 10)).precision, "street");
    const Seen house742{"Evergreen Terrace", "Springfield Heights", "742", "house", 0.6f, {"street_exact", "house_rep"}};
    EXPECT_EQ(top(query_feats_d(*x, q, 10)), house742);
    const auto retried = city_first_house_retry(*x, q, 10);
    ASSERT_TRUE(retried);
    EXPECT_EQ(top(*retried), house742);

    // The house must lie in the commune written first.
    EXPECT_FALSE(city_first_house_retry(*x, "ogdenville evergreen terrace 742", 10));
    // A commune and nothing that places a house.
    EXPECT_FALSE(city_first_house_retry(*x, "springfield heights evergreen terrace", 10));
    EXPECT_FALSE(city_first_house_retry(*x, "evergreen terrace 742", 10));
    // At least two words after the city.
    EXPECT_FALSE(city_first_house_retry(*x, "ogdenville evergreen", 10));
}

// ---------------------------------------------------------------------------
// Italian sheet: namesake communes and geographic qualifiers.

build::SheetSpec italian_spec(std::string country = "it") {
    build::SheetSpec s;
    s.meta = {{"country", std::move(country)}, {"layer", "addresses"}};
    s.communes = {
        commune("1", "San Marco", 10, 45.55, 9.3),     // 0: near Milano
        commune("2", "San Marco", 10, 40.9, 14.3),     // 1: near Napoli
        commune("3", "Milano", 1000, 45.46, 9.19),     // 2
        commune("4", "Napoli", 1000, 40.85, 14.27),    // 3
        commune("5", "Castel Nuovo", 10, 44.0, 10.0),  // 4: 120 km apart,
        commune("6", "Castel Nuovo", 10, 44.0, 11.5),  // 5
        commune("7", "Mezzo", 50, 44.0, 10.75),        // 6: halfway between them
        commune("8", "Lontano", 50, 38.0, 16.0),       // 7: far from all
    };
    s.streets = {
        street("Via Roma", 0, "20100", {house(1, 45.55, 9.3)}),
        street("Via Roma", 1, "80100", {house(1, 40.9, 14.3)}),
        street("Via Roma", 4, "55100", {house(1, 44.0, 10.0)}),
        street("Via Roma", 5, "55200", {house(1, 44.0, 11.5)}),
        street("Via Verdi", 2, "20121", {house(3, 45.46, 9.19)}),
    };
    return s;
}

TEST(ItalianDriver, GeographicQualifier) {
    SearchSheet x(italian_spec());
    ASSERT_TRUE(x.ok());
    // The San Marco near Milano.
    const Hits hs = query_feats_d(*x, "via roma 1 san marco milano", 10);
    EXPECT_EQ(seen(hs), (std::vector<Seen>{{"Via Roma", "San Marco", "1", "house", 0.6f,
                                            {"street_exact", "house_rep", "geo_qualifier"}}}));
    ASSERT_FALSE(hs.empty());
    EXPECT_NEAR(hs[0].first.lat, 45.55, 1e-6);
    // ... and the one near Napoli.
    const Hits south = query_feats_d(*x, "via roma 1 san marco napoli", 10);
    ASSERT_EQ(south.size(), 1u);
    EXPECT_NEAR(south[0].first.lat, 40.9, 1e-6);
    EXPECT_TRUE(has_flag(south[0].first, "geo_qualifier"));
    // The list is cut to k.
    EXPECT_EQ(query_feats_d(*x, "via roma 1 san marco milano", 1).size(), 1u);

    // Two namesakes at about the same distance from the town: no answer
    // from the qualifier, the plain answer stands.
    for (const char* q : {"via roma 1 castel nuovo mezzo", "via roma 1 san marco lontano"}) {
        const Hits plain = query_feats_d(*x, q, 10);
        ASSERT_FALSE(plain.empty()) << q;
        for (const auto& [h, f] : plain) EXPECT_FALSE(has_flag(h, "geo_qualifier")) << q;
    }
    // The no-drop switch turns it off.
    for (const auto& [h, f] : query_feats_d(*x, "via roma 1 san marco milano", 10, true))
        EXPECT_FALSE(has_flag(h, "geo_qualifier"));
}

TEST(ItalianDriver, QualifierOnlyOnItalianSheets) {
    SearchSheet x(italian_spec("fr"));
    ASSERT_TRUE(x.ok());
    const Hits hs = query_feats_d(*x, "via roma 1 san marco milano", 10);
    ASSERT_FALSE(hs.empty());
    for (const auto& [h, f] : hs) EXPECT_FALSE(has_flag(h, "geo_qualifier"));
}

TEST(ItalianDriver, CommuneWrittenFirst) {
    SearchSheet it(italian_spec());
    SearchSheet other(italian_spec("fr"));
    ASSERT_TRUE(it.ok() && other.ok());
    struct Case {
        const char* query;
        std::optional<std::string> it_commune;  // the Italian answer's commune
    } cases[] = {
        {"milano zzyzx napoli", "Napoli"},
        {"milano zzyzx 80100 napoli", "Napoli"},  // a postcode is allowed
        {"milano zzyzx 1234 napoli", kNone},       // another number is not
        {"milano zzyzx qwv", kNone},
    };
    for (const Case& c : cases) {
        const Hits hs = query_feats_d(*it, c.query, 10);
        if (c.it_commune) {
            ASSERT_EQ(hs.size(), 1u) << c.query;
            EXPECT_EQ(seen(hs)[0], (Seen{"", *c.it_commune, kNone, "city", 0.05f, {"place_exact"}})) << c.query;
        } else {
            EXPECT_TRUE(hs.empty()) << c.query << " " << top(hs);
        }
        // Elsewhere the words are not read that way.
        EXPECT_TRUE(query_feats_d(*other, c.query, 10).empty()) << c.query;
    }
}

// ---------------------------------------------------------------------------
// French arrondissements written with the city first.

TEST(FrenchDriver, ArrondissementWrittenFirst) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}, {"layer", "addresses"}};
    s.communes = {
        commune("75115", "Paris 15e Arrondissement", 100, 48.84, 2.29),
        commune("75106", "Paris 6e Arrondissement", 100, 48.85, 2.33),
    };
    s.streets = {
        street("Rue de Vaugirard", 0, "75015", {house(10, 48.84, 2.29), house(12, 48.84, 2.29)}),
        street("Rue de Vaugirard", 1, "75006", {house(10, 48.85, 2.33), house(12, 48.85, 2.33)}),
    };
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    for (const char* q : {"paris 15 rue de vaugirard 10", "paris xv rue de vaugirard 10",
                          "Paris 15ème, rue de Vaugirard 10"}) {
        EXPECT_EQ(top(query_feats_d(*x, q, 10)),
                  (Seen{"Rue de Vaugirard", "Paris 15e Arrondissement", "10", "house", 0.94f,
                        {"street_exact", "commune_exact", "house_rep"}}))
            << q;
    }
}

}  // namespace
}  // namespace tarnwik
