#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "build/models.hpp"
#include "index/container.hpp"
#include "index/index.hpp"
#include "index/sheet_fixture.hpp"
#include "query/rank.hpp"

namespace tarnwik {
namespace {

using query::compare_hits;
using query::HitOrderQuery;
using query::order_candidates;
using query::order_hits;
using query::ScoredHit;
using testing::open_error;
using testing::TempSheet;
using testing::write_or_die;
using S = MatchFlags::Slot;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const std::string kRankMessage = "{}: SEC_RANK is present but malformed — corrupt/tampered sheet";

struct Opened {
    std::unique_ptr<TempSheet> file;
    std::shared_ptr<const Index> idx;
    const Index& operator*() const { return *idx; }
};

Opened open_spec(const build::SheetSpec& s) {
    Opened o{std::make_unique<TempSheet>(write_or_die(s)), nullptr};
    auto idx = Index::open(o.file->path());
    EXPECT_TRUE(idx) << (idx ? "" : idx.error().message);
    if (idx) o.idx = *idx;
    return o;
}

// ---------------------------------------------------------------------------
// The rank model section

std::string rank_bytes(float bias, std::array<float, 10> weights) {
    std::string s = "TWRK";
    s.push_back(10);
    auto put = [&](float f) {
        const uint32_t v = std::bit_cast<uint32_t>(f);
        s.append(reinterpret_cast<const char*>(&v), 4);
    };
    put(bias);
    for (float w : weights) put(w);
    return s;
}

TEST(RankSection, AModelIsReadWhenPresent) {
    build::SheetSpec s = testing::small_spec();
    s.rank = rank_bytes(-1.5f, {0.5f, -0.25f, 3, 4, 5, 6, 7, 8, 9, 1e-3f});
    ASSERT_EQ(s.rank.size(), 49u);
    Opened o = open_spec(s);
    ASSERT_TRUE(o.idx);
    const RankModel* m = o.idx->rank_model();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->bias, -1.5f);
    EXPECT_EQ(m->weights, (std::array<float, 10>{0.5f, -0.25f, 3, 4, 5, 6, 7, 8, 9, 1e-3f}));

    // The builder's encoding is the same layout.
    auto built = build::encode_rank_section({-1.5f, {0.5f, -0.25f, 3, 4, 5, 6, 7, 8, 9, 1e-3f}});
    ASSERT_TRUE(built);
    EXPECT_EQ(*built, s.rank);
}

TEST(RankSection, EmptyOrAbsentMeansNoModel) {
    build::SheetSpec absent = testing::small_spec();
    Opened a = open_spec(absent);
    ASSERT_TRUE(a.idx);
    EXPECT_EQ(a.idx->rank_model(), nullptr);

    build::SheetSpec empty = testing::small_spec();
    empty.section_overrides[section::rank] = "";
    Opened e = open_spec(empty);
    ASSERT_TRUE(e.idx);
    EXPECT_TRUE(e.idx->sections()[section::rank].present);
    EXPECT_EQ(e.idx->rank_model(), nullptr);
}

TEST(RankSection, MalformedSectionsFailTheOpen) {
    const std::string good = rank_bytes(0.5f, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    auto with_float = [&](size_t off, float f) {
        std::string s = good;
        const uint32_t v = std::bit_cast<uint32_t>(f);
        std::memcpy(&s[off], &v, 4);
        return s;
    };
    struct Case {
        const char* what;
        std::string bytes;
    };
    std::string wrong_magic = good;
    wrong_magic[3] = 'X';
    std::string count9 = good;
    count9[4] = 9;
    const std::vector<Case> cases = {
        {"48 bytes", good.substr(0, 48)},
        {"50 bytes", good + '\0'},
        {"magic only", "TWRK"},
        {"wrong magic", wrong_magic},
        {"count 9", count9},
        {"NaN bias", with_float(5, kNaN)},
        {"infinite bias", with_float(5, -kInf)},
        {"infinite first weight", with_float(9, kInf)},
        {"NaN last weight", with_float(45, kNaN)},
    };
    for (const Case& c : cases) {
        build::SheetSpec s = testing::small_spec();
        s.rank = c.bytes;
        EXPECT_EQ(open_error(s), kRankMessage) << c.what;
    }
}

// ---------------------------------------------------------------------------
// Candidate ordering

MatchFlags flags_of(std::initializer_list<S> slots) {
    MatchFlags f;
    for (S s : slots) f.set(s);
    return f;
}

TEST(CandidateOrder, QualityThenCommuneProminenceThenStreetId) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}, {"layer", "addresses"}};
    s.communes.push_back({"C0", "Petit", 5, 45.0, 5.0, {}});
    s.communes.push_back({"C1", "Grand", 50, 45.1, 5.0, {}});
    s.communes.push_back({"C2", "Autre", 50, 45.2, 5.0, {}});
    for (uint32_t commune : {0u, 1u, 2u, 1u, 0u})
        s.streets.push_back({"Rue " + std::to_string(s.streets.size()), commune, std::nullopt, std::nullopt, "",
                             {{1, "", 45.0 + 0.1 * commune, 5.0, ""}}});
    Opened o = open_spec(s);
    ASSERT_TRUE(o.idx);

    const MatchFlags six = flags_of({S::street_exact, S::commune_exact});
    const MatchFlags six_ml = flags_of({S::street_exact, S::commune_exact, S::ml});
    std::vector<query::Candidate> c = {
        {4, six},
        {0, flags_of({S::street_exact})},
        {3, six_ml},
        {999, six},  // past the table: prominence 0
        {1, six},
        {2, flags_of({S::street_fuzzy})},
    };
    order_candidates(*o, c);
    std::vector<uint32_t> ids;
    for (const auto& [id, f] : c) ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{1, 3, 4, 999, 0, 2}));
    EXPECT_EQ(c[1].second, six_ml);  // the flags travel with their street
    EXPECT_EQ(c[4].second, flags_of({S::street_exact}));

    EXPECT_EQ(query::street_commune_prominence(*o, 2), 50u);
    EXPECT_EQ(query::street_commune_prominence(*o, 4), 5u);
    EXPECT_EQ(query::street_commune_prominence(*o, 5), 0u);
}

// ---------------------------------------------------------------------------
// Hit ordering

struct H {
    std::string tag;
    float score = 5;
    int32_t sim = 50;
    std::string postcode;
    uint32_t house_distance = 0;
    double km = 0;
    uint32_t prominence = 0;
};

struct Ordered {
    std::vector<std::string> tags;
    std::vector<double> km;
};

Ordered order(const std::vector<H>& in, HitOrderQuery q = {}) {
    std::vector<ScoredHit> hits;
    std::vector<double> km;
    for (const H& h : in) {
        ScoredHit s;
        s.hit.street = h.tag;
        s.hit.score = h.score;
        s.hit.postcode = h.postcode;
        s.best_token_similarity = h.sim;
        s.house_distance = h.house_distance;
        s.commune_prominence = h.prominence;
        hits.push_back(std::move(s));
        km.push_back(h.km);
    }
    order_hits(hits, km, q);
    Ordered out;
    for (const ScoredHit& s : hits) out.tags.push_back(s.hit.street);
    out.km = km;
    return out;
}

using Tags = std::vector<std::string>;

TEST(HitOrder, CriteriaInTurn) {
    struct Case {
        const char* what;
        std::vector<H> hits;
        HitOrderQuery q;
        Tags want;
    };
    const uint32_t kNotFound = query::kHouseNotFound;
    const std::vector<Case> cases = {
        {"higher score first", {{"a", 1.0f}, {"b", 3.0f}, {"c", 2.0f}}, {}, {"b", "c", "a"}},
        {"score beats everything after it",
         {{"a", 1.0f, 100, "", 0, 0, 9}, {"b", 2.0f, 0, "", kNotFound, 500, 0}}, {}, {"b", "a"}},
        {"a NaN score falls through to similarity", {{"a", kNaN, 40}, {"b", 9.0f, 60}}, {}, {"b", "a"}},
        {"a NaN score can come first on similarity", {{"a", 9.0f, 40}, {"b", kNaN, 60}}, {}, {"b", "a"}},
        {"higher similarity first", {{"a", 5, 70}, {"b", 5, 90}}, {}, {"b", "a"}},
        {"postcode nearer to the query's",
         {{"a", 5, 50, "75011", 0}, {"b", 5, 50, "75018", 5}}, {true, 75019}, {"b", "a"}},
        {"without a query postcode the house distance decides",
         {{"a", 5, 50, "75011", 0}, {"b", 5, 50, "75018", 5}}, {false, 75019}, {"a", "b"}},
        {"equal postcode distances fall through",
         {{"a", 5, 50, "75021", 3}, {"b", 5, 50, "75017", 1}}, {true, 75019}, {"b", "a"}},
        {"a postcode with letters does not take part",
         {{"a", 5, 50, "75011", 0}, {"b", 5, 50, "75018a", 5}}, {true, 75019}, {"a", "b"}},
        {"nor does a zero postcode",
         {{"a", 5, 50, "75011", 0}, {"b", 5, 50, "00000", 5}}, {true, 0}, {"a", "b"}},
        {"nor an empty one", {{"a", 5, 50, "", 0}, {"b", 5, 50, "75019", 5}}, {true, 75019}, {"a", "b"}},
        {"a plus sign is allowed",
         {{"a", 5, 50, "75011", 0}, {"b", 5, 50, "+75018", 5}}, {true, 75019}, {"b", "a"}},
        {"differences are unsigned distances",
         {{"a", 5, 50, "10", 0}, {"b", 5, 50, "4000000000", 5}}, {true, 4000000001u}, {"b", "a"}},
        {"smaller house distance; a house not found last",
         {{"a", 5, 50, "", kNotFound}, {"b", 5, 50, "", 7}, {"c", 5, 50, "", 0}}, {}, {"c", "b", "a"}},
        {"nearer to the reference point", {{"a", 5, 50, "", 0, 80.0}, {"b", 5, 50, "", 0, 3.5}}, {}, {"b", "a"}},
        {"more prominent commune",
         {{"a", 5, 50, "", 0, 1.0, 10}, {"b", 5, 50, "", 0, 1.0, 200}}, {}, {"b", "a"}},
        {"full ties keep their order", {{"a"}, {"b"}, {"c"}}, {}, {"a", "b", "c"}},
    };
    for (const Case& c : cases) EXPECT_EQ(order(c.hits, c.q).tags, c.want) << c.what;
}

TEST(HitOrder, CompareIsSymmetricAndZeroOnTies) {
    ScoredHit a, b;
    a.hit.score = b.hit.score = 2.0f;
    EXPECT_EQ(compare_hits(a, 0, b, 0, {}), 0);
    a.hit.score = kNaN;
    EXPECT_EQ(compare_hits(a, 0, b, 0, {}), 0);
    EXPECT_LT(compare_hits(a, 1.0, b, 2.0, {}), 0);
    EXPECT_GT(compare_hits(b, 2.0, a, 1.0, {}), 0);
    a.hit.score = -0.0f;
    b.hit.score = 0.0f;
    b.commune_prominence = 1;
    EXPECT_GT(compare_hits(a, 0, b, 0, {}), 0);  // -0 and 0 tie on score
}

TEST(HitOrder, DistancesTravelWithTheirHits) {
    Ordered o = order({{"a", 1.0f, 50, "", 0, 11.0}, {"b", 3.0f, 50, "", 0, 33.0}, {"c", 2.0f, 50, "", 0, 22.0}});
    EXPECT_EQ(o.tags, (Tags{"b", "c", "a"}));
    EXPECT_EQ(o.km, (std::vector<double>{33.0, 22.0, 11.0}));
}

TEST(HitOrder, LongListsAreStableToo) {
    // 45 hits in three score groups of 15, each group's input order kept.
    std::vector<H> hits;
    Tags want[3];
    for (int i = 0; i < 45; ++i) {
        const int group = (i * 7) % 3;
        H h{"h" + std::to_string(i), static_cast<float>(group)};
        hits.push_back(h);
        want[2 - group].push_back(h.tag);
    }
    Tags expected;
    for (const Tags& t : want) expected.insert(expected.end(), t.begin(), t.end());
    EXPECT_EQ(order(hits).tags, expected);
}

TEST(HitOrder, NaNScoresInALongListGiveAPermutation) {
    std::vector<H> hits;
    for (int i = 0; i < 40; ++i) hits.push_back({"h" + std::to_string(i), i % 5 == 0 ? kNaN : float(i % 7)});
    Tags got = order(hits).tags;
    Tags in;
    for (const H& h : hits) in.push_back(h.tag);
    std::sort(got.begin(), got.end());
    std::sort(in.begin(), in.end());
    EXPECT_EQ(got, in);
}

// ---------------------------------------------------------------------------
// The sort itself

TEST(StableSort, AgreesWithTheStandardStableSortOnEverySize) {
    std::mt19937 rng(7);
    for (size_t n = 0; n <= 70; ++n) {
        for (int round = 0; round < 5; ++round) {
            std::vector<std::pair<int, size_t>> v;
            for (size_t i = 0; i < n; ++i) v.push_back({static_cast<int>(rng() % 6), i});
            auto want = v;
            auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
            std::stable_sort(want.begin(), want.end(), by_key);
            query::stable_sort_by(v, by_key);
            ASSERT_EQ(v, want) << "n=" << n;
        }
    }
}

}  // namespace
}  // namespace tarnwik
