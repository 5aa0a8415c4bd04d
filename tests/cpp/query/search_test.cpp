#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ml/ml.hpp"
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

// The search as the cascade's strict callers run it, with a fresh shared
// state.
struct Searched {
    std::vector<ScoredHit> hits;
    bool abort = false;
};

Searched search(const Index& x, std::string_view text, size_t k = 10, bool no_fuzzy = false, uint64_t budget = 1000,
                std::vector<uint32_t> extra = {}) {
    SeenVariants seen;
    Searched s;
    s.hits = query_feats_prepared_internal(x, text, k, nullptr, no_fuzzy, SearchShared{extra, budget, seen}, s.abort,
                                           std::nullopt);
    return s;
}

std::vector<ScoredHit> hits(const Index& x, std::string_view text, size_t k = 10) { return search(x, text, k).hits; }

// What the tests compare of a hit.
struct Seen {
    std::string street, commune;
    std::optional<std::string> housenumber;
    std::string_view precision;
    float score;
    float confidence;
    Flags flags;
    bool operator==(const Seen&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Seen& s) {
    os << "{" << s.street << " / " << s.commune << " #" << s.housenumber.value_or("-") << " " << s.precision
       << " score " << s.score << " conf " << s.confidence << " [";
    for (auto f : s.flags) os << f << " ";
    return os << "]}";
}
Seen seen(const ScoredHit& h) {
    return {h.hit.street, h.hit.commune, h.hit.housenumber, h.hit.precision, h.hit.score, h.hit.confidence, h.hit.flags};
}
std::vector<Seen> seen(const std::vector<ScoredHit>& hs) {
    std::vector<Seen> out;
    for (const ScoredHit& h : hs) out.push_back(seen(h));
    return out;
}

constexpr std::optional<std::string> kNone = std::nullopt;

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
// Tokens and postcode tokens

TEST(QueryTokens, RepeatedWordsGoBeforeTheCut) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "rue ";
    text += "victor  hugo paris";
    EXPECT_EQ(query_tokens(text), (std::vector<std::string_view>{"rue", "victor", "hugo", "paris"}));

    // Up to 32 tokens nothing is dropped, repeats included.
    EXPECT_EQ(query_tokens("a a b").size(), 3u);
    std::string many;
    for (int i = 0; i < 40; ++i) many += "w" + std::to_string(i) + " ";
    const auto t = query_tokens(many);
    ASSERT_EQ(t.size(), 32u);
    EXPECT_EQ(t.back(), "w31");
}

TEST(PostcodeTokens, Forms) {
    struct Case {
        std::vector<std::string_view> tokens;
        std::vector<bool> marks;
        std::optional<uint32_t> value;
    } cases[] = {
        {{"rue", "x", "75011", "paris"}, {0, 0, 1, 0}, 75011},
        {{"1234", "ab", "amsterdam"}, {1, 1, 0}, 1234},      // 1234 AB
        {{"1234", "AB"}, {1, 1}, 1234},
        {{"1234ab", "amsterdam"}, {1, 0}, 1234},
        {{"119002", "moskva"}, {1, 0}, 119002},
        {{"01067", "dresden"}, {1, 0}, 1067},
        {{"rue", "x", "1234"}, {0, 0, 0}, std::nullopt},       // four digits alone: a house number
        {{"1234", "rue"}, {0, 0}, std::nullopt},
        {{"1234", "a"}, {0, 0}, std::nullopt},
        {{"12", "ab"}, {0, 0}, std::nullopt},
        {{"1234567"}, {0}, std::nullopt},
        {{"12345a"}, {0}, std::nullopt},
        {{"ab1234"}, {0}, std::nullopt},
        {{"75011", "x", "69002"}, {1, 0, 1}, 69002},           // the later one wins
        {{"1234", "ab", "75011"}, {1, 1, 1}, 75011},
    };
    for (const Case& c : cases) {
        const PostcodeTokens p = find_postcode_tokens(c.tokens);
        EXPECT_EQ(p.marks, c.marks) << c.tokens[0];
        EXPECT_EQ(p.given, c.value.has_value()) << c.tokens[0];
        EXPECT_EQ(p.value, c.value.value_or(0)) << c.tokens[0];
    }
}

// ---------------------------------------------------------------------------
// A small French sheet: the same street in Paris and in Lyon, ~390 km apart.

build::SheetSpec french_spec() {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}, {"layer", "addresses"}};
    s.communes = {
        commune("75056", "Paris", 100, 48.85, 2.35),  // 0
        commune("69123", "Lyon", 50, 45.76, 4.83),    // 1
        commune("93066", "Saint Denis", 20, 48.93, 2.36),  // 2
    };
    std::vector<build::HouseSpec> paris_houses, lyon_houses;
    for (uint32_t n = 2; n <= 12; n += 2) paris_houses.push_back(house(n, 48.86 + n * 1e-5, 2.37));
    for (uint32_t n = 1; n <= 15; n += 2) lyon_houses.push_back(house(n, 45.76 + n * 1e-5, 4.84));
    s.streets = {
        street("Rue Victor Hugo", 0, "75011", paris_houses),           // 0
        street("Rue Victor Hugo", 1, "69002", lyon_houses),            // 1
        street("Rue de Lille", 0, "75007", {house(3, 48.858, 2.33)}),  // 2
        street("Rue de Lyon", 0, "75012", {house(3, 48.848, 2.37)}),   // 3
        street("Cour", 1, "69001", {house(1, 45.77, 4.83)}),           // 4
        street("Rue Abcdefgh", 1, "69003", {house(1, 45.75, 4.85)}),   // 5
        street("Rue du General Leclerc", 0, "75014", {house(8, 48.83, 2.33)}),  // 6
        street("Abc Defghij", 1, "69004", {house(1, 45.76, 4.83)}),     // 7
        street("Klm Nopqrstu", 1, "69004", {house(1, 45.76, 4.83)}),    // 8
        street("Abcde Saint", 1, "69005", {house(1, 45.76, 4.83)}),     // 9
        street("Abcde", 2, "93200", {house(1, 48.93, 2.36)}),           // 10
    };
    return s;
}

class FrenchSearch : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sheet_ = new SearchSheet(french_spec()); }
    static void TearDownTestSuite() {
        delete sheet_;
        sheet_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(sheet_->ok()); }
    const Index& x() const { return **sheet_; }

    static SearchSheet* sheet_;
};
SearchSheet* FrenchSearch::sheet_ = nullptr;

TEST_F(FrenchSearch, ExactHouseWithCommune) {
    const auto hs = hits(x(), "12 rue victor hugo paris");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(seen(hs[0]), (Seen{"Rue Victor Hugo", "Paris", "12", "house", 9.0f, 0.94f,
                                 {"street_exact", "commune_exact", "house_rep"}}));
    EXPECT_EQ(hs[0].hit.postcode, "75011");
    EXPECT_EQ(hs[0].features, (Features{1, 0, 1, 0, 0, 0, 0, 1, 1, 1}));
    EXPECT_NEAR(hs[0].hit.lat, 48.86 + 12e-5, 1e-7);
    EXPECT_EQ(hs[0].street_id, 0u);
}

TEST_F(FrenchSearch, ExactStreetInTwoCommunes) {
    // Equal on everything but the distance to the sheet's reference point
    // (Paris): Paris first, and the two are too far apart to be sure.
    const auto hs = hits(x(), "rue victor hugo");
    EXPECT_EQ(seen(hs), (std::vector<Seen>{
                            {"Rue Victor Hugo", "Paris", kNone, "street", 3.0f, 0.11f, {"street_exact", "ambiguous_far"}},
                            {"Rue Victor Hugo", "Lyon", kNone, "street", 3.0f, 0.11f, {"street_exact"}},
                        }));
}

TEST_F(FrenchSearch, PostcodeSelectsTheStreet) {
    const auto hs = hits(x(), "7 rue victor hugo 69002");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(seen(hs[0]),
              (Seen{"Rue Victor Hugo", "Lyon", "7", "house", 8.0f, 0.65f, {"street_exact", "house_rep", "pc_exact"}}));
    EXPECT_EQ(hs[0].features, (Features{1, 0, 0, 0, 1, 1, 0, 1, 1, 1}));
}

TEST_F(FrenchSearch, PostcodeFilterDropsExactStreetsOfAnotherArea) {
    // The commune words find Lyon's street without any postcode test; the
    // query postcode then rules it out.
    EXPECT_TRUE(hits(x(), "rue victor hugo lyon 75011").empty());
    EXPECT_EQ(hits(x(), "rue victor hugo lyon 69011").size(), 1u);
}

TEST_F(FrenchSearch, SingleEditInsideTheNamedCommune) {
    const auto hs = hits(x(), "12 rue victr hugo paris");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(seen(hs[0]), (Seen{"Rue Victor Hugo", "Paris", "12", "house", 8.0f, 0.81f,
                                 {"street_fuzzy", "commune_exact", "house_rep"}}));
    EXPECT_EQ(hs[0].features, (Features{0, 1, 1, 0, 0, 0, 0, 1, 1, 1}));
}

TEST_F(FrenchSearch, SingleEditWithoutCommune) {
    // A swap of two letters, every commune at once.
    EXPECT_EQ(seen(hits(x(), "rue vcitor hugo")),
              (std::vector<Seen>{
                  {"Rue Victor Hugo", "Paris", kNone, "street", 2.0f, 0.03f, {"street_fuzzy", "ambiguous_far"}},
                  {"Rue Victor Hugo", "Lyon", kNone, "street", 2.0f, 0.03f, {"street_fuzzy"}},
              }));
    // With a postcode only the streets of its area.
    const auto hs = hits(x(), "rue vcitor hugo 69002");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(seen(hs[0]), (Seen{"Rue Victor Hugo", "Lyon", kNone, "street", 4.0f, 0.04f, {"street_fuzzy", "pc_exact"}}));
    EXPECT_EQ(hs[0].features, (Features{0, 1, 0, 0, 1, 1, 0, 0, 0, 0}));
    // A deleted letter.
    ASSERT_EQ(hits(x(), "coure").size(), 1u);
    EXPECT_EQ(hits(x(), "coure")[0].hit.street, "Cour");
}

TEST_F(FrenchSearch, AutomatonFindsWhatSingleEditsMiss) {
    struct Case {
        const char* query;
        std::vector<std::string> streets;  // street / commune of the hits, in order
    } cases[] = {
        // A substitution without commune: no single-edit spelling is tried
        // for it, the automaton (distance 2 from twelve characters) finds it.
        {"rue victxr hugo", {"Rue Victor Hugo/Paris", "Rue Victor Hugo/Lyon"}},
        // A key that starts with the query.
        {"rue victor hug", {"Rue Victor Hugo/Paris", "Rue Victor Hugo/Lyon"}},
        // Two edits in twelve characters.
        {"rue dx lillx", {"Rue de Lille/Paris"}},
        {"rue abcdefxx", {"Rue Abcdefgh/Lyon"}},
        {"xlm nopqrstx", {"Klm Nopqrstu/Lyon"}},
        // Two edits in eleven characters: the automaton allows only one.
        {"xbc defghix", {}},
        // An unresolved trailing word leaves a shorter street part to guess
        // at: "rue dx" is one edit from the start of three streets (nearest
        // to the reference point first).
        {"rue dx lyox", {"Rue de Lyon/Paris", "Rue de Lille/Paris", "Rue du General Leclerc/Paris"}},
        // The whole text is within two edits of "rue abcdefgh", but no word
        // of it within one edit of a query word.
        {"rueab cdefgh", {}},
        // Four characters are too short to guess at.
        {"cpur", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        for (const ScoredHit& h : hits(x(), c.query)) {
            got.push_back(h.hit.street + "/" + h.hit.commune);
            EXPECT_EQ(h.hit.flags[0], "street_fuzzy") << c.query;
        }
        EXPECT_EQ(got, c.streets) << c.query;
    }
}

TEST_F(FrenchSearch, FirstLocalitySplitThatFindsEndsTheHypothesis) {
    // "abcdx saint" + "denis" (no commune) finds Lyon's "abcde saint" one
    // edit away; that ends the splits, so "abcdx" inside Saint Denis, which
    // would match better, is never tried.
    const auto hs = hits(x(), "abcdx saint denis");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(seen(hs[0]), (Seen{"Abcde Saint", "Lyon", kNone, "street", 2.0f, 0.03f, {"street_fuzzy"}}));
    // Named alone, the commune is resolved and its street found.
    const auto in_commune = hits(x(), "abcdx saint denis 93200");
    ASSERT_EQ(in_commune.size(), 1u);
    EXPECT_EQ(in_commune[0].hit.commune, "Saint Denis");
}

TEST_F(FrenchSearch, WordSubsetInsideTheNamedCommune) {
    // Neither the exact keys nor any edit of the words in this order reach
    // "rue du general leclerc"; its words' sound-alike postings do.
    const auto hs = hits(x(), "leclerc general paris");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(seen(hs[0]), (Seen{"Rue du General Leclerc", "Paris", kNone, "street", 5.0f, 0.27f,
                                 {"street_fuzzy", "commune_exact"}}));
    // A single word narrows a commune down to one street.
    EXPECT_EQ(hits(x(), "leclerc paris").size(), 1u);
    // Sound-alike, not exact: "leclirc" files under the phonetic key of
    // "leclerc".
    EXPECT_EQ(hits(x(), "leclirc general paris").size(), 1u);
    // Without a commune there is no subset search.
    EXPECT_TRUE(hits(x(), "leclerc general").empty());

    const ScopedEnv off("TARNWIK_NO_SUBSET", "");
    EXPECT_TRUE(hits(x(), "leclerc general paris").empty());
}

TEST_F(FrenchSearch, NoFuzzySwitchKeepsOnlyExactMatches) {
    EXPECT_TRUE(search(x(), "12 rue victr hugo paris", 10, true).hits.empty());
    EXPECT_TRUE(search(x(), "leclerc general paris", 10, true).hits.empty());
    // Outside the German strict mode commune words find nothing here.
    EXPECT_TRUE(search(x(), "12 rue victor hugo paris", 10, true).hits.empty());
    const Searched s = search(x(), "12 rue victor hugo", 10, true);
    EXPECT_FALSE(s.abort);
    ASSERT_EQ(s.hits.size(), 2u);
    EXPECT_EQ(s.hits[0].hit.housenumber, "12");
    EXPECT_EQ(s.hits[0].hit.flags[0], "street_exact");
}

TEST_F(FrenchSearch, RepeatedWordsDoNotPushTheStreetOut) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "rue ";
    text += "victor hugo paris";
    const auto hs = hits(x(), text);
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(seen(hs[0]), (Seen{"Rue Victor Hugo", "Paris", kNone, "street", 6.0f, 0.57f,
                                 {"street_exact", "commune_exact"}}));
}

TEST_F(FrenchSearch, HitsAreCutToK) {
    EXPECT_EQ(hits(x(), "rue victor hugo", 1).size(), 1u);
    EXPECT_EQ(hits(x(), "rue victor hugo", 1)[0].hit.commune, "Paris");
    EXPECT_TRUE(hits(x(), "").empty());
    EXPECT_TRUE(hits(x(), "zzzz qqqq").empty());
}

TEST_F(FrenchSearch, ContextReducesToHitsAndFeatures) {
    const auto hs = query_feats_prepared_context(x(), "12 rue victor hugo paris", 10, nullptr, std::nullopt);
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(hs[0].first.housenumber, "12");
    EXPECT_EQ(hs[0].second, (Features{1, 0, 1, 0, 0, 0, 0, 1, 1, 1}));
}

TEST_F(FrenchSearch, RawTextEntryKeysTheQuery) {
    const auto hs = search_prepared(x(), "12, Rue Victor-Hugo, PARIS", 5);
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(hs[0].first.housenumber, "12");
    EXPECT_EQ(hs[0].first.commune, "Paris");
}

// ---------------------------------------------------------------------------
// The Spanish prepared scope

TEST_F(FrenchSearch, SpanishScopeCachesRepeatedSearches) {
    EXPECT_EQ(es_prepared_cache(), nullptr);
    const auto plain = query_feats_prepared_context(x(), "rue victor hugo", 10, nullptr, std::nullopt);
    EXPECT_EQ(es_prepared_cache(), nullptr);  // nothing cached outside a scope
    {
        const EsPreparedScope scope;
        EXPECT_TRUE(scope.installed());
        EsPreparedCache* cache = es_prepared_cache();
        ASSERT_NE(cache, nullptr);
        const auto first = query_feats_prepared_context(x(), "rue victor hugo", 10, nullptr, std::nullopt);
        ASSERT_EQ(cache->size(), 1u);
        // The second search is answered by the cached list: overwrite the
        // entry and the overwritten list comes back.
        cache->begin()->second.front().first.street = "from the cache";
        const auto second = query_feats_prepared_context(x(), "rue victor hugo", 10, nullptr, std::nullopt);
        EXPECT_EQ(cache->size(), 1u);
        EXPECT_EQ(second.front().first.street, "from the cache");
        EXPECT_EQ(first.front().first.street, plain.front().first.street);
        EXPECT_EQ(first.size(), plain.size());

        // k and the street key are part of the key.
        query_feats_prepared_context(x(), "rue victor hugo", 11, nullptr, std::nullopt);
        query_feats_prepared_context(x(), "rue victor hugo", 10, nullptr, std::string_view("hugo rue victor"));
        EXPECT_EQ(cache->size(), 3u);
        // A retained locality is never cached.
        const RetainedLocality ctx{"lyon", "lyon", false};
        const auto with_ctx = query_feats_prepared_context(x(), "rue victor hugo", 10, &ctx, std::nullopt);
        EXPECT_EQ(cache->size(), 3u);
        EXPECT_EQ(with_ctx.front().first.street, "Rue Victor Hugo");
        {
            const EsPreparedScope inner;  // an inner scope shares the outer one's cache
            EXPECT_FALSE(inner.installed());
            EXPECT_EQ(es_prepared_cache(), cache);
        }
        EXPECT_EQ(es_prepared_cache(), cache);
    }
    EXPECT_EQ(es_prepared_cache(), nullptr);
    const EsPreparedScope again;  // a new top-level scope starts empty
    EXPECT_EQ(es_prepared_cache()->size(), 0u);
}

// ---------------------------------------------------------------------------
// The labeller's reading

// A labeller that gives each listed token its label through its "w=" feature
// alone; every other token gets label 0.
std::string labeller(const std::map<std::string, uint8_t>& labels, uint8_t label_count) {
    constexpr uint32_t kBuckets = 4099;
    std::vector<float> w(size_t{label_count} * kBuckets, 0.0f);
    for (const auto& [token, label] : labels)
        w[size_t{label} * kBuckets + ml::feature_hash("w=" + token) % kBuckets] += 10.0f;
    std::string s = "TWML";
    auto put_u32 = [&](uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); };
    put_u32(kBuckets);
    s.push_back(static_cast<char>(label_count));
    for (uint8_t l = 0; l < label_count; ++l) put_u32(0);
    for (float f : w) put_u32(std::bit_cast<uint32_t>(f));
    return s;
}

TEST(LabelledSearch, LabellerReadingCarriesMl) {
    build::SheetSpec s = french_spec();
    s.parser = labeller({{"paris", 1}, {"des", 4}}, 6);  // "des" is noise to leave out
    SearchSheet sheet(s);
    ASSERT_TRUE(sheet.ok());
    const auto hs = hits(*sheet, "rue victor hugo des paris");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(seen(hs[0]), (Seen{"Rue Victor Hugo", "Paris", kNone, "street", 6.0f, 0.50f,
                                 {"street_exact", "commune_exact", "ml"}}));
    // Without the labeller no reading leaves "des" out, and only the fuzzy
    // phase finds the street.
    SearchSheet plain(french_spec());
    const auto fuzzy = hits(*plain, "rue victor hugo des paris");
    ASSERT_FALSE(fuzzy.empty());
    EXPECT_EQ(fuzzy[0].hit.flags[0], "street_fuzzy");
}

// ---------------------------------------------------------------------------
// Caps

// One "Rue Victor Hugo" in each of n communes, codes in key order.
build::SheetSpec many_communes(size_t n) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    for (size_t i = 0; i < n; ++i) {
        std::string code = std::to_string(i);
        code.insert(0, 4 - code.size(), '0');
        s.communes.push_back(commune(code, "Ville " + code, 10, 45.0 + i * 1e-3, 5.0));
        s.streets.push_back(street("Rue Victor Hugo", static_cast<uint32_t>(i), "",
                                   {house(1, 45.0 + i * 1e-3, 5.0)}));
    }
    return s;
}

TEST(SearchCaps, VariantStreamReadsFiftyKeys) {
    SearchSheet x(many_communes(60));
    ASSERT_TRUE(x.ok());
    const auto hs = hits(*x, "rue vcitor hugo", 100);
    ASSERT_EQ(hs.size(), 50u);
    // The first fifty in key order, that is by commune code.
    for (const ScoredHit& h : hs) EXPECT_LT(h.street_id, 50u);
}

TEST(SearchCaps, AutomatonInsertsFourHundred) {
    SearchSheet x(many_communes(450));
    ASSERT_TRUE(x.ok());
    EXPECT_EQ(hits(*x, "rue victxr hugo", 1000).size(), 400u);
    // 3 · max(k, 10) candidates become hits.
    EXPECT_EQ(hits(*x, "rue victxr hugo", 100).size(), 100u);
    EXPECT_EQ(hits(*x, "rue victor hugo", 120).size(), 120u);
}

TEST(SearchCaps, OnlyTheBestCandidatesBecomeHits) {
    // 31 streets of one name; only the least prominent commune has house 5.
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    for (uint32_t i = 0; i < 31; ++i) {
        s.communes.push_back(commune("c" + std::to_string(i), "Bourg " + std::to_string(i), 100 - i, 45.0, 5.0 + i * 0.01));
        s.streets.push_back(street("Rue X", i, "", {house(i == 30 ? 5 : 40, 45.0, 5.0 + i * 0.01)}));
    }
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    // Candidates are ranked by quality, then commune prominence; the 31st
    // never becomes a hit, so the best hit is a neighbouring house elsewhere.
    auto hs = hits(*x, "5 rue x", 10);
    ASSERT_FALSE(hs.empty());
    EXPECT_EQ(hs[0].hit.precision, "near");
    // With k = 11, 33 candidates are kept and the exact house wins.
    hs = hits(*x, "5 rue x", 11);
    ASSERT_FALSE(hs.empty());
    EXPECT_EQ(hs[0].hit.precision, "house");
    EXPECT_EQ(hs[0].hit.commune, "Bourg 30");
}

TEST(SearchCaps, SubsetKeepsTwoHundredLowestIds) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    s.communes = {commune("75056", "Paris", 100, 48.85, 2.35)};
    for (int i = 0; i < 250; ++i) {
        std::string tag;  // a distinct letters-only word per street
        for (int v = i; tag.size() < 3; v /= 26) tag.push_back(static_cast<char>('a' + v % 26));
        s.streets.push_back(street("General Leclerc Z" + tag, 0, "", {house(1, 48.85, 2.35)}));
    }
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    const auto hs = hits(*x, "leclerc general paris", 1000);
    ASSERT_EQ(hs.size(), 200u);
    for (const ScoredHit& h : hs) EXPECT_LT(h.street_id, 200u);
}

TEST(SearchCaps, SingleWordMustNarrowTheCommune) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    s.communes = {commune("75056", "Paris", 100, 48.85, 2.35), commune("69123", "Lyon", 50, 45.76, 4.83)};
    // Leading words that are no French street type, so that neither the
    // exact phase (which adds those types) nor the automaton (which reads
    // keys from their start) finds the streets.
    const char* kinds[] = {"Straat", "Laan", "Weg", "Plein", "Gracht", "Dijk", "Kade", "Steeg", "Singel"};
    for (const char* kind : kinds) s.streets.push_back(street(std::string(kind) + " Leclerc", 0));
    s.streets.push_back(street("Hof Leclerc", 1));
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    // Nine streets of the word in Paris: too many to pick from.
    EXPECT_TRUE(hits(*x, "leclerc paris").empty());
    // One in Lyon.
    const auto hs = hits(*x, "leclerc lyon");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(hs[0].hit.commune, "Lyon");
}

// ---------------------------------------------------------------------------
// German strict mode

build::SheetSpec german_spec() {
    build::SheetSpec s;
    s.meta = {{"country", "de"}, {"layer", "addresses"}};
    s.communes = {commune("11000000", "Berlin", 100, 52.52, 13.40), commune("02000000", "Hamburg", 80, 53.55, 10.0)};
    // Most of the street lies in 20095, house 5 in 10115.
    s.streets = {
        street("Hauptstrasse", 1, "",
               {house(1, 53.55, 10.0, "20095"), house(3, 53.5501, 10.0, "20095"), house(5, 53.5502, 10.0, "10115")}),
        street("Hauptstrasse", 0, "10115", {house(7, 52.52, 13.40)}),
    };
    return s;
}

TEST(GermanStrictSearch, BudgetExhaustionAbandonsTheQuery) {
    SearchSheet x(german_spec());
    ASSERT_TRUE(x.ok());
    const Searched none = search(*x, "hauptstrasse 5 10115", 10, true, 0);
    EXPECT_TRUE(none.abort);
    EXPECT_TRUE(none.hits.empty());
}

TEST(GermanStrictSearch, HouseInThePostcodeKeepsItsStreet) {
    SearchSheet x(german_spec());
    ASSERT_TRUE(x.ok());
    // Hamburg's street is filed under 20095, but house 5 lies in 10115: the
    // strict search keeps it against the postcode filter.
    const Searched strict = search(*x, "hauptstrasse 5 10115", 10, true, 100);
    EXPECT_FALSE(strict.abort);
    ASSERT_EQ(strict.hits.size(), 1u);
    EXPECT_EQ(strict.hits[0].hit.commune, "Hamburg");
    EXPECT_EQ(strict.hits[0].hit.housenumber, "5");
    EXPECT_EQ(strict.hits[0].hit.postcode, "10115");
    // The ordinary search reads the street's postcode and keeps only Berlin's.
    const auto ordinary = hits(*x, "hauptstrasse 5 10115");
    ASSERT_FALSE(ordinary.empty());
    for (const ScoredHit& h : ordinary) EXPECT_EQ(h.hit.commune, "Berlin");
    // A house missing from the postcode: nothing in strict mode.
    EXPECT_TRUE(search(*x, "hauptstrasse 3 10115", 10, true, 100).hits.empty());
}

}  // namespace
}  // namespace tarnwik
