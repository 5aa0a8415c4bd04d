#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "query/finish.hpp"
#include "query/search_sheet.hpp"

namespace tarnwik {
namespace {

using namespace query;
using testing::commune;
using testing::SearchSheet;
using testing::street;
using S = MatchFlags::Slot;
using Flags = std::vector<FixedText>;

// A hit as the search builds it: flags, features and confidence follow the
// slots.
ScoredHit hit(std::string street_name, std::string commune_name, double lat, double lon, float score,
              std::initializer_list<S> on, FixedText precision = "house") {
    MatchFlags f;
    for (S s : on) f.set(s);
    ScoredHit h;
    h.hit.lat = lat;
    h.hit.lon = lon;
    h.hit.precision = precision;
    h.hit.score = score;
    h.hit.confidence = confidence_score(precision, f);
    h.hit.street = std::move(street_name);
    h.hit.commune = std::move(commune_name);
    if (precision != "street") h.hit.housenumber = "5";
    h.hit.flags = match_flags(f);
    for (size_t i = 0; i < 9; ++i) h.features[i] = f.slot[i] ? 1.0f : 0.0f;
    h.features[9] = f[S::house_requested] ? 1.0f : 0.0f;
    h.best_token_similarity = 100;
    h.commune_prominence = 1;
    return h;
}

std::vector<std::string> communes_of(const std::vector<ScoredHit>& hs) {
    std::vector<std::string> out;
    for (const ScoredHit& h : hs) out.push_back(h.hit.commune);
    return out;
}

FinishQuery ask(std::string_view text, size_t k = 10) {
    FinishQuery q;
    q.text = text;
    q.k = k;
    return q;
}

// ---------------------------------------------------------------------------
// Reference point

TEST(ReferencePoint, ProminentPlaceNamedAtTheEnd) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    s.communes = {
        commune("1", "Capitale", 9000, 48.0, 2.0),       // the sheet's default reference point
        commune("2", "Grandville", 5000, 45.0, 5.0),
        commune("3", "Saint Etienne", 8000, 45.4, 4.4),
        commune("4", "Etienne", 3000, 46.0, 6.0),
        commune("5", "Petitbourg", 1999, 47.0, 7.0),
        commune("6", "Twin", 3000, 44.0, 1.0),
        commune("7", "Big Twin", 3000, 43.0, 1.0),
    };
    s.streets = {street("Rue X", 0)};
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    struct Case {
        const char* text;
        double lat, lon;
        bool names_place;
    } cases[] = {
        {"5 rue x grandville", 45.0, 5.0, true},
        {"5 rue x saint etienne", 45.4, 4.4, true},  // the more prominent two-word tail
        {"5 rue x etienne", 46.0, 6.0, true},
        {"5 rue x big twin", 44.0, 1.0, true},       // equal prominence: the last word
        {"5 rue x petitbourg", 48.0, 2.0, false},    // below 2000
        {"5 rue x", 48.0, 2.0, false},
        {"", 48.0, 2.0, false},
    };
    for (const Case& c : cases) {
        const ReferencePoint r = reference_point(*x, c.text);
        ASSERT_TRUE(r.point) << c.text;
        EXPECT_NEAR(r.point->lat, c.lat, 1e-9) << c.text;
        EXPECT_NEAR(r.point->lon, c.lon, 1e-9) << c.text;
        EXPECT_EQ(r.names_place, c.names_place) << c.text;
    }
}

TEST(ReferencePoint, NoneWithoutProminenceOrPlace) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    s.communes = {commune("1", "Bourg", 0, 45.0, 5.0)};
    s.streets = {street("Rue X", 0)};
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    EXPECT_FALSE(reference_point(*x, "rue x bourg").point);
    // Without a reference point hits are ordered without distances: the
    // more prominent commune goes first among equals.
    std::vector<ScoredHit> hs = {hit("Rue X", "Near", 45.0, 5.0, 3, {S::street_exact}, "street"),
                                 hit("Rue X", "Far", 45.01, 5.0, 3, {S::street_exact}, "street")};
    hs[1].commune_prominence = 5;
    EXPECT_EQ(communes_of(finish_hits(*x, hs, ask("rue x"))), (std::vector<std::string>{"Far", "Near"}));
}

// ---------------------------------------------------------------------------
// Ambiguous far and the cut

class FinishOnFrenchSheet : public ::testing::Test {
protected:
    void SetUp() override {
        build::SheetSpec s;
        s.meta = {{"country", "fr"}};
        s.communes = {commune("1", "Centre", 6000, 45.0, 5.0), commune("2", "Grandville", 5000, 45.3, 5.0)};
        s.streets = {street("Rue X", 0)};
        sheet_.emplace(s);
        ASSERT_TRUE(sheet_->ok());
    }
    const Index& x() const { return **sheet_; }

    std::optional<SearchSheet> sheet_;
};

TEST_F(FinishOnFrenchSheet, AmbiguousFar) {
    struct Case {
        float second_score;
        double second_lat;
        bool ambiguous;
    } cases[] = {
        {9.0f, 46.8, true},    // equal scores, 200 km apart
        {8.5f, 46.8, true},
        {8.0f, 46.8, false},   // a score gap of 1.0
        {9.0f, 45.4, false},   // 44 km apart
    };
    for (const Case& c : cases) {
        std::vector<ScoredHit> hs = {
            hit("Rue X", "A", 45.0, 5.0, 9.0f, {S::street_exact, S::commune_exact, S::house_rep}),
            hit("Rue X", "B", c.second_lat, 5.0, c.second_score, {S::street_exact, S::commune_exact, S::house_rep}),
        };
        const auto out = finish_hits(x(), hs, ask("5 rue x"));
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].hit.commune, "A");
        EXPECT_EQ(out[0].hit.confidence, c.ambiguous ? 0.2f : 0.94f) << c.second_score << " " << c.second_lat;
        EXPECT_EQ(out[0].hit.flags, c.ambiguous ? (Flags{"street_exact", "commune_exact", "house_rep", "ambiguous_far"})
                                                : (Flags{"street_exact", "commune_exact", "house_rep"}));
        EXPECT_EQ(out[1].hit.flags, (Flags{"street_exact", "commune_exact", "house_rep"}));
        EXPECT_EQ(out[1].hit.confidence, 0.94f);
    }
    // A confidence already below the cap stays; the flag is still added.
    std::vector<ScoredHit> low = {hit("Rue X", "A", 45.0, 5.0, 2.0f, {S::street_fuzzy}, "street"),
                                  hit("Rue X", "B", 46.8, 5.0, 2.0f, {S::street_fuzzy}, "street")};
    const auto out = finish_hits(x(), low, ask("rue x"));
    EXPECT_EQ(out[0].hit.confidence, 0.03f);
    EXPECT_EQ(out[0].hit.flags, (Flags{"street_fuzzy", "ambiguous_far"}));
}

TEST_F(FinishOnFrenchSheet, OrdersThenCutsToK) {
    std::vector<ScoredHit> hs = {
        hit("Rue X", "Low", 45.0, 5.0, 3.0f, {S::street_exact}, "street"),
        hit("Rue X", "High", 45.0, 5.0, 9.0f, {S::street_exact, S::commune_exact, S::house_rep}),
        hit("Rue X", "Mid", 45.0, 5.0, 6.0f, {S::street_exact, S::commune_exact}, "street"),
    };
    EXPECT_EQ(communes_of(finish_hits(x(), hs, ask("rue x"))), (std::vector<std::string>{"High", "Mid", "Low"}));
    EXPECT_EQ(communes_of(finish_hits(x(), hs, ask("rue x", 1))), (std::vector<std::string>{"High"}));
    EXPECT_TRUE(finish_hits(x(), {}, ask("rue x")).empty());
}

// ---------------------------------------------------------------------------
// Home area: the sheet's reference point is its most prominent commune,
// Centre (45.0, 5.0).

TEST_F(FinishOnFrenchSheet, HomeAreaPreference) {
    struct Case {
        const char* name;
        const char* text;
        std::string near_street;
        double far_lat;   // the better-scored hit
        double near_lat;  // the exact namesake
        std::initializer_list<S> near_slots;
        const char* want_top;
    } cases[] = {
        {"moved", "rue x", "Rue X", 45.58, 45.2, {S::street_exact}, "Near"},
        {"same words, other order", "rue x", "X Rue", 45.58, 45.2, {S::street_exact}, "Near"},
        {"top within 60 km", "rue x", "Rue X", 45.53, 45.2, {S::street_exact}, "Far"},
        {"namesake 40 km away", "rue x", "Rue X", 45.58, 45.36, {S::street_exact}, "Far"},
        {"namesake only fuzzy", "rue x", "Rue X", 45.58, 45.2, {S::street_fuzzy}, "Far"},
        {"other street", "rue x", "Rue Y", 45.58, 45.2, {S::street_exact}, "Far"},
        // Grandville (5000) is a place: it is the reference point, and the
        // query's own place is never overridden.
        {"query names a place", "rue x grandville", "Rue X", 45.9, 45.2, {S::street_exact}, "Far"},
    };
    for (const Case& c : cases) {
        std::vector<ScoredHit> hs = {hit("Rue X", "Far", c.far_lat, 5.0, 6.0f, {S::street_exact}, "street"),
                                     hit(c.near_street, "Near", c.near_lat, 5.0, 5.0f, c.near_slots, "street")};
        const auto out = finish_hits(x(), hs, ask(c.text));
        ASSERT_EQ(out.size(), 2u) << c.name;
        EXPECT_EQ(out[0].hit.commune, c.want_top) << c.name;
        // Moving adds no flag.
        for (const ScoredHit& h : out) {
            const ScoredHit& in = h.hit.commune == "Far" ? hs[0] : hs[1];
            EXPECT_EQ(h.hit.flags, in.hit.flags) << c.name;
        }
    }
}

// ---------------------------------------------------------------------------
// German rules. Essen is the reference point.

class FinishOnGermanSheet : public ::testing::Test {
protected:
    void SetUp() override {
        build::SheetSpec s;
        s.meta = {{"country", "de"}, {"layer", "addresses"}};
        s.communes = {commune("1", "Essen", 100, 51.45, 7.01)};
        s.streets = {street("Hauptstrasse", 0, "45127")};
        sheet_.emplace(s);
        ASSERT_TRUE(sheet_->ok());
    }
    const Index& x() const { return **sheet_; }

    std::optional<SearchSheet> sheet_;
};

TEST_F(FinishOnGermanSheet, HomeAreaKeepsAnExactPostcode) {
    auto hs = [](std::initializer_list<S> top, FixedText near_precision) {
        return std::vector<ScoredHit>{hit("Hauptstrasse", "Far", 52.2, 7.01, 9.0f, top),
                                      hit("Hauptstrasse", "Near", 51.5, 7.01, 5.0f, {S::street_exact}, near_precision)};
    };
    FinishQuery q = ask("hauptstrasse 5 12345");
    q.postcode_given = true;
    q.postcode_value = 12345;
    EXPECT_EQ(finish_hits(x(), hs({S::street_exact, S::pc_exact}, "house"), q)[0].hit.commune, "Far");
    EXPECT_EQ(finish_hits(x(), hs({S::street_exact}, "house"), q)[0].hit.commune, "Near");
    // A requested house found far away is not given up for a neighbour near
    // home.
    EXPECT_EQ(finish_hits(x(), hs({S::street_exact, S::house_rep}, "near"), q)[0].hit.commune, "Far");
    EXPECT_EQ(finish_hits(x(), hs({S::street_exact, S::house_rep}, "house"), q)[0].hit.commune, "Near");
}

TEST_F(FinishOnGermanSheet, CitylessProminence) {
    // Three equal houses of the street; the top is nearest to Essen, the
    // third in the most prominent commune.
    auto hs = [] {
        std::vector<ScoredHit> v = {
            hit("Hauptstrasse", "Essen", 51.45, 7.01, 9.0f, {S::street_exact, S::house_rep}),
            hit("Hauptstrasse", "Mülheim", 51.43, 6.88, 9.0f, {S::street_exact, S::house_rep}),
            hit("Hauptstrasse", "Dortmund", 51.51, 7.46, 9.0f, {S::street_exact, S::house_rep}),
        };
        v[0].commune_prominence = 10;
        v[1].commune_prominence = 20;
        v[2].commune_prominence = 50;
        return v;
    };
    FinishQuery q = ask("hauptstrasse 5");
    q.street_key = "hauptstrasse";
    auto out = finish_hits(x(), hs(), q);
    EXPECT_EQ(communes_of(out), (std::vector<std::string>{"Dortmund", "Essen", "Mülheim"}));
    EXPECT_EQ(out[0].hit.flags, (Flags{"street_exact", "house_rep", "de_cityless_prominence"}));
    EXPECT_EQ(out[1].hit.flags, (Flags{"street_exact", "house_rep"}));
    EXPECT_EQ(out[2].hit.flags, (Flags{"street_exact", "house_rep"}));
    EXPECT_EQ(communes_of(finish_hits(x(), hs(), [&] {
                  FinishQuery k1 = q;
                  k1.k = 1;
                  return k1;
              }())),
              (std::vector<std::string>{"Dortmund"}));

    // Not when the query has a postcode, the caller expects another street,
    // or the prominent hit differs in house distance.
    FinishQuery with_pc = q;
    with_pc.postcode_given = true;
    with_pc.postcode_value = 45127;
    EXPECT_EQ(finish_hits(x(), hs(), with_pc)[0].hit.commune, "Essen");
    FinishQuery other = q;
    other.street_key = "bahnhofstrasse";
    EXPECT_EQ(finish_hits(x(), hs(), other)[0].hit.commune, "Essen");
    EXPECT_EQ(finish_hits(x(), hs(), ask("hauptstrasse 5"))[0].hit.commune, "Essen");
    // Dortmund, less similar to the query, ranks last and is no equivalent.
    auto differing = hs();
    differing[2].best_token_similarity = 99;
    EXPECT_EQ(communes_of(finish_hits(x(), differing, q)), (std::vector<std::string>{"Mülheim", "Essen", "Dortmund"}));
}

TEST_F(FinishOnGermanSheet, RetainedLocality) {
    // Four identical houses; the second is in the commune the dropped
    // locality names.
    auto hs = [](std::string second_commune) {
        std::vector<ScoredHit> v = {
            hit("Hauptstrasse", "Essen", 51.45, 7.01, 9.0f, {S::street_exact, S::house_rep}),
            hit("Hauptstrasse", std::move(second_commune), 51.46, 7.01, 9.0f, {S::street_exact, S::house_rep}),
            hit("Hauptstrasse", "Werden", 51.47, 7.01, 9.0f, {S::street_exact, S::house_rep}),
            hit("Hauptstrasse", "Borbeck", 51.48, 7.01, 9.0f, {S::street_exact, S::house_rep}),
        };
        return v;
    };
    const RetainedLocality kettwig{"Kettwig", "kettwig", false};
    FinishQuery q = ask("hauptstrasse 5");
    q.retained = &kettwig;

    auto out = finish_hits(x(), hs("Stadt Kettwig"), q);
    EXPECT_EQ(communes_of(out), (std::vector<std::string>{"Stadt Kettwig", "Essen", "Werden", "Borbeck"}));
    EXPECT_EQ(out[0].hit.flags, (Flags{"street_exact", "house_rep", "de_retained_locality"}));
    EXPECT_EQ(out[1].hit.flags, (Flags{"street_exact", "house_rep"}));
    // "kettwig" also begins "Kettwig vor der Brücke" as whole words.
    EXPECT_EQ(finish_hits(x(), hs("Kettwig vor der Brücke"), q)[0].hit.commune, "Kettwig vor der Brücke");
    // No such commune, or the top already in it.
    EXPECT_EQ(finish_hits(x(), hs("Kettwigstadt"), q)[0].hit.commune, "Essen");
    const RetainedLocality essen{"essen", "essen", false};
    FinishQuery q_essen = q;
    q_essen.retained = &essen;
    EXPECT_EQ(finish_hits(x(), hs("Kettwig"), q_essen)[0].hit.commune, "Essen");
    // Two candidates: no choice.
    auto two = hs("Kettwig");
    two[3].hit.commune = "Kettwig";
    EXPECT_EQ(finish_hits(x(), two, q)[0].hit.commune, "Essen");
    // A candidate must equal the top in everything but its commune.
    auto other_postcode = hs("Kettwig");
    other_postcode[1].hit.postcode = "45219";
    EXPECT_EQ(finish_hits(x(), other_postcode, q)[0].hit.commune, "Essen");
    auto other_number = hs("Kettwig");
    other_number[1].hit.housenumber = "7";
    EXPECT_EQ(finish_hits(x(), other_number, q)[0].hit.commune, "Essen");
    // Only the five hits below the top are looked at: the top, n others
    // nearer to Essen, then Kettwig.
    auto below = [](int n) {
        std::vector<ScoredHit> v = {hit("Hauptstrasse", "Essen", 51.45, 7.01, 9.0f, {S::street_exact, S::house_rep})};
        for (int i = 1; i <= n; ++i)
            v.push_back(hit("Hauptstrasse", "Werden", 51.45 + i * 0.01, 7.01, 9.0f, {S::street_exact, S::house_rep}));
        v.push_back(hit("Hauptstrasse", "Kettwig", 51.6, 7.01, 9.0f, {S::street_exact, S::house_rep}));
        return v;
    };
    EXPECT_EQ(finish_hits(x(), below(4), q)[0].hit.commune, "Kettwig");
    EXPECT_EQ(finish_hits(x(), below(5), q)[0].hit.commune, "Essen");
    // Not without a retained locality, nor for an inexact street.
    EXPECT_EQ(finish_hits(x(), hs("Kettwig"), ask("hauptstrasse 5"))[0].hit.commune, "Essen");
    auto fuzzy = hs("Kettwig");
    for (ScoredHit& h : fuzzy) {
        h.features[S::street_exact] = 0;
        h.features[S::street_fuzzy] = 1;
    }
    EXPECT_EQ(finish_hits(x(), fuzzy, q)[0].hit.commune, "Essen");
}

TEST_F(FinishOnGermanSheet, PostalTail) {
    // The top is the house in Essen's own postcode area; the second, the same
    // street written otherwise, has the typed postcode.
    auto hs = [] {
        std::vector<ScoredHit> v = {
            hit("Hauptstrasse", "Essen", 51.45, 7.01, 9.0f, {S::street_exact, S::house_rep}),
            hit("HAUPTSTRASSE", "Essen", 51.46, 7.01, 8.5f, {S::street_exact, S::house_rep, S::pc_exact, S::pc_dept}),
        };
        v[0].hit.postcode = "45127";
        v[1].hit.postcode = "45239";
        return v;
    };
    const RetainedLocality tail{"Essen", "essen", true};
    FinishQuery q = ask("hauptstrasse 5 45239");
    q.postcode_given = true;
    q.postcode_value = 45239;
    q.retained = &tail;

    auto out = finish_hits(x(), hs(), q);
    EXPECT_EQ(out[0].hit.postcode, "45239");
    EXPECT_EQ(out[0].hit.flags, (Flags{"street_exact", "house_rep", "pc_exact", "de_postal_tail"}));
    EXPECT_EQ(out[1].hit.flags, (Flags{"street_exact", "house_rep"}));

    // Not without postal-tail eligibility, for another postcode, other
    // features (beside the postcode ones) or another precision.
    const RetainedLocality no_tail{"Essen", "essen", false};
    FinishQuery q_no = q;
    q_no.retained = &no_tail;
    EXPECT_EQ(finish_hits(x(), hs(), q_no)[0].hit.postcode, "45127");
    auto other = hs();
    other[1].hit.postcode = "45238";
    EXPECT_EQ(finish_hits(x(), other, q)[0].hit.postcode, "45127");
    auto other_features = hs();
    other_features[1].features[S::commune_exact] = 1;
    EXPECT_EQ(finish_hits(x(), other_features, q)[0].hit.postcode, "45127");
    auto near = hs();
    near[1].hit.precision = "near";
    EXPECT_EQ(finish_hits(x(), near, q)[0].hit.postcode, "45127");
    // Nor when the retained locality already chose the top.
    auto retained = hs();
    retained[0].hit.flags.push_back("de_retained_locality");
    EXPECT_EQ(finish_hits(x(), retained, q)[0].hit.postcode, "45127");
}

TEST(FinishOnOtherSheets, GermanRulesNeedAGermanSheet) {
    build::SheetSpec s;
    s.meta = {{"country", "at"}};
    s.communes = {commune("1", "Essen", 100, 51.45, 7.01)};
    s.streets = {street("Hauptstrasse", 0)};
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    std::vector<ScoredHit> hs = {
        hit("Hauptstrasse", "Essen", 51.45, 7.01, 9.0f, {S::street_exact, S::house_rep}),
        hit("Hauptstrasse", "Mülheim", 51.43, 6.88, 9.0f, {S::street_exact, S::house_rep}),
    };
    hs[1].commune_prominence = 50;
    FinishQuery q = ask("hauptstrasse 5");
    q.street_key = "hauptstrasse";
    EXPECT_EQ(finish_hits(*x, hs, q)[0].hit.commune, "Essen");
}

}  // namespace
}  // namespace tarnwik
