#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "build/admin_writer.hpp"
#include "build/models.hpp"
#include "index/container.hpp"
#include "index/index.hpp"
#include "index/sheet_fixture.hpp"
#include "query/hits.hpp"
#include "util/text.hpp"

namespace tarnwik {
namespace {

using query::best_token_similarity;
using query::confidence_score;
using query::make_hit;
using query::match_flags;
using query::match_quality;
using query::ScoredHit;
using testing::TempSheet;
using testing::write_or_die;
using S = MatchFlags::Slot;
using Names = std::vector<FixedText>;

MatchFlags flags_of(std::initializer_list<S> slots) {
    MatchFlags f;
    for (S s : slots) f.set(s);
    return f;
}

std::vector<std::u32string> words(std::initializer_list<std::string_view> ws) {
    std::vector<std::u32string> out;
    for (std::string_view w : ws) {
        std::u32string u;
        for (size_t i = 0; i < w.size();) u.push_back(text::next_scalar(w, i));
        out.push_back(std::move(u));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Confidence, flag names, quality

TEST(Confidence, CalibratedValues) {
    struct Case {
        const char* what;
        FixedText precision;
        MatchFlags flags;
        float want;
    };
    const std::vector<Case> cases = {
        {"street level, street and commune exact", "street", flags_of({S::street_exact, S::commune_exact}), 0.57f},
        {"house, street and commune exact", "house", flags_of({S::street_exact, S::commune_exact}), 0.81f},
        {"house, plus postcode", "house", flags_of({S::street_exact, S::commune_exact, S::pc_exact}), 0.90f},
        {"house, plus house_rep", "house", flags_of({S::street_exact, S::commune_exact, S::house_rep}), 0.94f},
        {"house_rep and postcode", "house",
         flags_of({S::street_exact, S::commune_exact, S::house_rep, S::pc_exact}), 0.97f},
        {"pc_dept counts against even beside pc_exact", "house",
         flags_of({S::street_exact, S::commune_exact, S::pc_exact, S::pc_dept}), 0.85f},
        {"commune exact and prefix both count", "street", flags_of({S::commune_exact, S::commune_prefix}), 0.65f},
        {"near", "near", flags_of({S::street_exact, S::commune_exact}), 0.52f},
        {"interp", "interp", flags_of({S::street_exact, S::commune_exact}), 0.66f},
        {"the negative terms", "house", flags_of({S::street_fuzzy, S::commune_prefix, S::pc_dept, S::ml}), 0.15f},
        {"city hit, no flags", "city", MatchFlags{}, 0.04f},
        {"unknown precision", "approximate", MatchFlags{}, 0.04f},
    };
    for (const Case& c : cases) EXPECT_EQ(confidence_score(c.precision, c.flags), c.want) << c.what;
}

TEST(Confidence, NumberMatchHouseRequestedAndGermanTypeAddNothing) {
    const MatchFlags base = flags_of({S::street_exact, S::commune_exact});
    MatchFlags more = base;
    more.set(S::number_match);
    more.set(S::house_requested);
    more.set(S::de_street_type);
    for (FixedText p : {"house", "street", "near"}) EXPECT_EQ(confidence_score(p, more), confidence_score(p, base));
}

TEST(MatchFlagNames, OrderAndExclusivity) {
    struct Case {
        MatchFlags flags;
        Names want;
    };
    MatchFlags all;
    all.slot.fill(true);
    const std::vector<Case> cases = {
        {MatchFlags{}, {}},
        {all, {"street_exact", "street_fuzzy", "commune_exact", "house_rep", "pc_exact", "ml", "de_street_type"}},
        {flags_of({S::commune_prefix}), {"commune_prefix"}},
        {flags_of({S::commune_exact, S::commune_prefix}), {"commune_exact"}},
        {flags_of({S::pc_dept}), {"pc_dept"}},
        {flags_of({S::pc_exact, S::pc_dept}), {"pc_exact"}},
        {flags_of({S::de_street_type, S::ml, S::pc_dept, S::house_rep, S::commune_prefix, S::street_fuzzy}),
         {"street_fuzzy", "commune_prefix", "house_rep", "pc_dept", "ml", "de_street_type"}},
        {flags_of({S::number_match, S::house_requested}), {}},
    };
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(match_flags(cases[i].flags), cases[i].want) << "case " << i;
}

TEST(MatchQuality, SumsStreetCommunePostcodeAndHouse) {
    struct Case {
        MatchFlags flags;
        int want;
    };
    MatchFlags all;
    all.slot.fill(true);
    const std::vector<Case> cases = {
        {MatchFlags{}, 0},
        {flags_of({S::street_exact}), 3},
        {flags_of({S::street_fuzzy}), 2},
        {flags_of({S::street_exact, S::street_fuzzy}), 3},
        {flags_of({S::commune_exact}), 3},
        {flags_of({S::commune_prefix}), 2},
        {flags_of({S::pc_exact}), 2},
        {flags_of({S::pc_dept}), 0},
        {flags_of({S::number_match}), 1},
        {flags_of({S::house_rep}), 2},
        {flags_of({S::number_match, S::house_rep}), 2},
        {flags_of({S::ml, S::house_requested, S::de_street_type}), 0},
        {flags_of({S::street_exact, S::commune_exact}), 6},
        {all, 10},
    };
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(match_quality(cases[i].flags), cases[i].want) << "case " << i;
}

// ---------------------------------------------------------------------------
// Token similarity

TEST(TokenSimilarity, BestPairOverNormalisedStreetWords) {
    EXPECT_EQ(best_token_similarity("Rue des Lilas", words({"lilas"})), 100);
    EXPECT_EQ(best_token_similarity("Rue des Lilas", words({"lila"})), 80);  // 1 edit in 5
    EXPECT_EQ(best_token_similarity("Rue des Lilas", words({"xyzzy", "lilaz"})), 80);
    EXPECT_EQ(best_token_similarity("Rue des Lilas", words({"qqqqqqqqqq"})), 0);
    // Lengths are counted in characters: 1 edit in 6 Cyrillic letters.
    EXPECT_EQ(best_token_similarity("улица Ленина", words({"ленин"})), 84);
    // The street name is normalised before comparison.
    EXPECT_EQ(best_token_similarity("RUE  DES-LILAS", words({"lilas"})), 100);
    EXPECT_EQ(best_token_similarity("Rue des Lilas", {}), 0);
    EXPECT_EQ(best_token_similarity("", words({"lilas"})), 0);
    EXPECT_EQ(best_token_similarity("Rue des Lilas", words({""})), 0);  // lev 3 over max(3, 0)
}

// ---------------------------------------------------------------------------
// make_hit on a small sheet

constexpr double kLat = 45.0, kLon = 5.0;

build::HouseSpec house(uint32_t number, double dlat, std::string suffix = "", std::string pc = "") {
    return build::HouseSpec{number, std::move(suffix), kLat + dlat, kLon, std::move(pc)};
}

// Street 0, Rue des Lilas (postcode 75011): 2, 4, 4bis, 6 a few metres
// apart, 30 about a kilometre away. Street 1, Avenue Foch: houses in two
// postcodes, so (from version 7) a postcode dictionary. Street 2 holds the
// only "ter" of the suffix table.
build::SheetSpec spec(uint8_t version = 7) {
    build::SheetSpec s;
    s.version = version;
    s.meta = {{"country", "fr"}, {"layer", "addresses"}};
    s.communes.push_back({"C0", "Valmora", 40, kLat, kLon, {}});
    s.communes.push_back({"C1", "Borgo", 10, kLat + 0.1, kLon, {}});
    s.streets.push_back({"Rue des Lilas", 0, kLat, kLon, "75011",
                         {house(2, 0.00002), house(4, 0.00004), house(4, 0.00005, "bis"), house(6, 0.00006),
                          house(30, 0.01)}});
    s.streets.push_back({"Avenue Foch", 1, kLat + 0.1, kLon, "",
                         {house(1, 0.1, "", "13001"), house(3, 0.10002, "", "13002")}});
    s.streets.push_back({"улица Ленина", 1, kLat + 0.2, kLon, "", {house(7, 0.2, "ter")}});
    return s;
}

struct Opened {
    std::unique_ptr<TempSheet> file;
    std::shared_ptr<const Index> idx;
    const Index& operator*() const { return *idx; }
};

Opened open_bytes(const std::string& bytes) {
    Opened o{std::make_unique<TempSheet>(bytes), nullptr};
    auto idx = Index::open(o.file->path());
    EXPECT_TRUE(idx) << (idx ? "" : idx.error().message);
    if (idx) o.idx = *idx;
    return o;
}

struct HitCall {
    uint32_t street = 0;
    MatchFlags flags = flags_of({S::street_exact, S::commune_exact});
    bool house = false;
    uint32_t number = 0;
    uint32_t suffix = 0;
    bool pc_given = false;
    uint32_t pc = 0;
    std::vector<std::u32string> query = words({"lilas"});
};

ScoredHit hit_for(const Index& x, HitCall c, MatchFlags* flags_out = nullptr) {
    ScoredHit h = make_hit(x, c.street, c.flags, c.house, c.number, c.suffix, c.pc_given, c.pc, c.query);
    if (flags_out) *flags_out = c.flags;
    return h;
}

Features features_of(std::initializer_list<size_t> on) {
    Features f{};
    for (size_t i : on) f[i] = 1.0f;
    return f;
}

class MakeHit : public ::testing::Test {
protected:
    void SetUp() override {
        sheet_ = open_bytes(write_or_die(spec()));
        ASSERT_TRUE(sheet_.idx);
        bis_ = sheet_.idx->suffix_ids().at("bis");
        ter_ = sheet_.idx->suffix_ids().at("ter");
    }
    const Index& x() const { return *sheet_; }

    Opened sheet_;
    uint32_t bis_ = 0, ter_ = 0;
};

TEST_F(MakeHit, StreetLevelHitWhenNoHouseIsAsked) {
    MatchFlags f;
    ScoredHit s = hit_for(x(), {}, &f);
    const Hit& h = s.hit;
    EXPECT_EQ(h.precision, "street");
    EXPECT_DOUBLE_EQ(h.lat, kLat);
    EXPECT_DOUBLE_EQ(h.lon, kLon);
    EXPECT_EQ(h.score, 6.0f);  // match_quality without a rank model
    EXPECT_EQ(h.confidence, 0.57f);
    EXPECT_EQ(h.street, "Rue des Lilas");
    EXPECT_FALSE(h.housenumber);
    EXPECT_EQ(h.commune, "Valmora");
    EXPECT_EQ(h.postcode, "75011");
    EXPECT_EQ(h.flags, (Names{"street_exact", "commune_exact"}));
    EXPECT_FALSE(h.region);
    EXPECT_FALSE(h.distance_m);
    EXPECT_EQ(s.features, features_of({0, 2}));
    EXPECT_EQ(s.best_token_similarity, 100);
    EXPECT_EQ(s.house_distance, 0u);
    EXPECT_EQ(s.commune_prominence, 40u);
    EXPECT_EQ(s.street_id, 0u);
    EXPECT_FALSE(f[S::house_requested]);
}

TEST_F(MakeHit, HousePlacementDecidesPrecisionFlagsAndScore) {
    struct Case {
        const char* what;
        uint32_t number, suffix;
        FixedText precision;
        const char* housenumber;
        uint32_t house_distance;
        float score;
        float confidence;
        Names flags;
        Features features;
        double dlat;
    };
    const std::vector<Case> cases = {
        {"number and suffix: house_rep, quality 8 plus 1", 4, bis_, "house", "4bis", 0, 9.0f, 0.94f,
         {"street_exact", "commune_exact", "house_rep"}, features_of({0, 2, 7, 8, 9}), 0.00005},
        {"number without suffix: the plain 4", 4, 0, "house", "4", 0, 9.0f, 0.94f,
         {"street_exact", "commune_exact", "house_rep"}, features_of({0, 2, 7, 8, 9}), 0.00004},
        {"same number, another suffix: no house_rep, quality 7 plus 1", 4, ter_, "house", "4", 0, 8.0f, 0.81f,
         {"street_exact", "commune_exact"}, features_of({0, 2, 7, 9}), 0.00004},
        {"between 4bis and 6", 5, 0, "interp", "5", 0, 6.0f, 0.66f, {"street_exact", "commune_exact"},
         features_of({0, 2, 9}), 0.000055},
        {"interpolated keeps the requested suffix", 5, ter_, "interp", "5ter", 0, 6.0f, 0.66f,
         {"street_exact", "commune_exact"}, features_of({0, 2, 9}), 0.000055},
        {"nearest other house: 30 (10 away) beats 6 (14 away)", 20, 0, "near", "30", 10, 6.0f, 0.52f,
         {"street_exact", "commune_exact"}, features_of({0, 2, 9}), 0.01},
        {"below every house", 1, 0, "near", "2", 1, 6.0f, 0.52f, {"street_exact", "commune_exact"},
         features_of({0, 2, 9}), 0.00002},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MatchFlags f;
        HitCall call;
        call.house = true;
        call.number = c.number;
        call.suffix = c.suffix;
        ScoredHit s = hit_for(x(), call, &f);
        EXPECT_EQ(s.hit.precision, c.precision);
        ASSERT_TRUE(s.hit.housenumber);
        EXPECT_EQ(*s.hit.housenumber, c.housenumber);
        EXPECT_EQ(s.house_distance, c.house_distance);
        EXPECT_EQ(s.hit.score, c.score);
        EXPECT_EQ(s.hit.confidence, c.confidence);
        EXPECT_EQ(s.hit.flags, c.flags);
        EXPECT_EQ(s.features, c.features);
        EXPECT_NEAR(s.hit.lat, kLat + c.dlat, 1e-9);
        EXPECT_NEAR(s.hit.lon, kLon, 1e-9);
        EXPECT_EQ(s.hit.postcode, "75011");
        // The caller's flags carry what the hit found.
        EXPECT_TRUE(f[S::house_requested]);
        EXPECT_EQ(f[S::number_match], c.features[7] == 1.0f);
        EXPECT_EQ(f[S::house_rep], c.features[8] == 1.0f);
    }
}

TEST_F(MakeHit, AHouseThatCannotBePlacedRanksLast) {
    // Street 0's block loses its last record, so every lookup on it fails.
    std::string bytes = write_or_die(spec());
    auto t = parse_sections(ByteView(bytes));
    ASSERT_TRUE(t);
    uint64_t next;
    std::memcpy(&next, &bytes[(*t)[section::streets_meta].offset + 36 + 20], 8);
    bytes[(*t)[section::houses].offset + next - 1] |= static_cast<char>(0x80);
    Opened damaged = open_bytes(bytes);
    ASSERT_TRUE(damaged.idx);

    HitCall call;
    call.house = true;
    call.number = 20;  // the walk has to read house 30
    MatchFlags f;
    ScoredHit s = hit_for(*damaged, call, &f);
    EXPECT_EQ(s.hit.precision, "street");
    EXPECT_FALSE(s.hit.housenumber);
    EXPECT_EQ(s.house_distance, 0xFFFFFFFFu);
    EXPECT_DOUBLE_EQ(s.hit.lat, kLat);
    EXPECT_EQ(s.hit.score, 6.0f);
    EXPECT_EQ(s.hit.confidence, 0.57f);
    EXPECT_EQ(s.hit.postcode, "75011");
    EXPECT_EQ(s.features, features_of({0, 2, 9}));
    EXPECT_TRUE(f[S::house_requested]);
    EXPECT_FALSE(f[S::number_match]);
}

TEST_F(MakeHit, AStreetIdPastTheTableReadsAsAZeroRecord) {
    HitCall call;
    call.street = 999;
    call.house = true;
    call.number = 4;
    ScoredHit s = hit_for(x(), call);
    EXPECT_EQ(s.hit.precision, "street");
    EXPECT_FALSE(s.hit.housenumber);
    EXPECT_EQ(s.hit.lat, 0.0);
    EXPECT_EQ(s.hit.lon, 0.0);
    EXPECT_EQ(s.house_distance, 0xFFFFFFFFu);
    EXPECT_EQ(s.street_id, 999u);
    // Commune id 0 of the zero record.
    EXPECT_EQ(s.hit.commune, "Valmora");
    EXPECT_EQ(s.commune_prominence, 40u);
}

TEST_F(MakeHit, CyrillicStreetAndOtherCommune) {
    HitCall call;
    call.street = 2;
    call.flags = flags_of({S::street_fuzzy, S::commune_prefix, S::ml});
    call.query = words({"ленин", "7"});
    call.house = true;
    call.number = 7;
    call.suffix = ter_;
    ScoredHit s = hit_for(x(), call);
    EXPECT_EQ(s.hit.street, "улица Ленина");
    EXPECT_EQ(s.hit.commune, "Borgo");
    EXPECT_EQ(*s.hit.housenumber, "7ter");
    EXPECT_EQ(s.hit.flags, (Names{"street_fuzzy", "commune_prefix", "house_rep", "ml"}));
    EXPECT_EQ(s.hit.score, 2.0f + 2.0f + 2.0f + 1.0f);
    EXPECT_EQ(s.hit.postcode, "");
    EXPECT_EQ(s.best_token_similarity, 84);
    EXPECT_EQ(s.commune_prominence, 10u);
    EXPECT_EQ(s.street_id, 2u);
}

TEST_F(MakeHit, PostcodeFlagsComeFromTheHouseOnADictionaryStreet) {
    struct Case {
        const char* what;
        uint32_t street;
        bool house;
        uint32_t number;
        bool pc_given;
        uint32_t pc;
        MatchFlags in;
        bool pc_exact, pc_dept;
        const char* postcode;
    };
    const MatchFlags none = flags_of({S::street_exact});
    const MatchFlags both = flags_of({S::street_exact, S::pc_exact, S::pc_dept});
    const std::vector<Case> cases = {
        {"house in the query postcode", 1, true, 3, true, 13002, none, true, true, "13002"},
        {"house in a neighbour postcode", 1, true, 1, true, 13002, both, false, true, "13001"},
        {"house in another thousand", 1, true, 1, true, 14001, both, false, false, "13001"},
        {"query postcode 0 clears both", 1, true, 3, true, 0, both, false, false, "13002"},
        {"no query postcode: untouched", 1, true, 3, false, 0, both, true, true, "13002"},
        {"no house asked: untouched", 1, false, 0, true, 99999, both, true, true, ""},
        {"a nearest house counts as found", 1, true, 9, true, 13002, none, true, true, "13002"},
        {"street with its own postcode: untouched", 0, true, 4, true, 99999, both, true, true, "75011"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HitCall call;
        call.street = c.street;
        call.flags = c.in;
        call.house = c.house;
        call.number = c.number;
        call.pc_given = c.pc_given;
        call.pc = c.pc;
        MatchFlags f;
        ScoredHit s = hit_for(x(), call, &f);
        EXPECT_EQ(f[S::pc_exact], c.pc_exact);
        EXPECT_EQ(f[S::pc_dept], c.pc_dept);
        EXPECT_EQ(s.features[4], c.pc_exact ? 1.0f : 0.0f);
        EXPECT_EQ(s.features[5], c.pc_dept ? 1.0f : 0.0f);
        EXPECT_EQ(s.hit.postcode, c.postcode);
        const bool named_dept = std::find(s.hit.flags.begin(), s.hit.flags.end(), "pc_dept") != s.hit.flags.end();
        const bool named_exact = std::find(s.hit.flags.begin(), s.hit.flags.end(), "pc_exact") != s.hit.flags.end();
        EXPECT_EQ(named_exact, c.pc_exact);
        EXPECT_EQ(named_dept, c.pc_dept && !c.pc_exact);
    }
}

TEST(MakeHitVersion6, PostcodeFlagsAreNotRecomputed) {
    // Without the dictionary format the street keeps one postcode: 13001,
    // the first of the two equally common ones.
    Opened o = open_bytes(write_or_die(spec(6)));
    ASSERT_TRUE(o.idx);
    HitCall call;
    call.street = 1;
    call.flags = flags_of({S::street_exact, S::pc_exact});
    call.house = true;
    call.number = 3;
    call.pc_given = true;
    call.pc = 14000;
    MatchFlags f;
    ScoredHit s = hit_for(*o, call, &f);
    EXPECT_TRUE(f[S::pc_exact]);
    EXPECT_EQ(s.hit.postcode, "13001");
}

Opened with_rank(float bias, std::array<float, 10> weights) {
    build::SheetSpec s = spec();
    auto rank = build::encode_rank_section({bias, weights});
    EXPECT_TRUE(rank);
    s.rank = *rank;
    return open_bytes(write_or_die(s));
}

TEST(MakeHitRankModel, ScoreIsBiasPlusWeightedFeaturesPlusNumberMatch) {
    // Weight i is 2^i, so the score spells out which features were set.
    Opened o = with_rank(0.25f, {1, 2, 4, 8, 16, 32, 64, 128, 256, 512});
    ASSERT_TRUE(o.idx);
    ASSERT_TRUE(o.idx->rank_model());
    HitCall call;
    call.house = true;
    call.number = 4;
    call.suffix = o.idx->suffix_ids().at("bis");
    ScoredHit exact = hit_for(*o, call);
    EXPECT_EQ(exact.hit.score, 0.25f + (1 + 4 + 128 + 256 + 512) + 1.0f);
    EXPECT_EQ(exact.hit.confidence, 0.94f);

    call.number = 20;  // nearest: no number match, no extra 1.0
    EXPECT_EQ(hit_for(*o, call).hit.score, 0.25f + (1 + 4 + 512));

    call.house = false;
    call.flags = flags_of({S::street_fuzzy, S::commune_prefix, S::ml, S::de_street_type});
    EXPECT_EQ(hit_for(*o, call).hit.score, 0.25f + (2 + 8 + 64));
}

TEST(MakeHitRankModel, NegativeScoreCapsConfidenceAt04) {
    Opened o = with_rank(-1000.0f, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    ASSERT_TRUE(o.idx);
    HitCall call;
    call.flags = flags_of({S::street_exact, S::commune_exact, S::pc_exact});
    call.house = true;
    call.number = 4;
    call.suffix = o.idx->suffix_ids().at("bis");
    ScoredHit exact = hit_for(*o, call);
    EXPECT_EQ(exact.hit.score, -1000.0f + 6.0f + 1.0f);
    EXPECT_EQ(exact.hit.confidence, 0.4f);  // 0.97 uncapped

    // A confidence already below the cap stays as it is.
    call.flags = MatchFlags{};
    call.number = 20;
    ScoredHit near = hit_for(*o, call);
    EXPECT_EQ(near.hit.precision, "near");
    EXPECT_EQ(near.hit.confidence, 0.04f);

    // A zero score is not negative.
    Opened zero = with_rank(-2.0f, {1, 0, 1, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(zero.idx);
    HitCall street_level;
    ScoredHit z = hit_for(*zero, street_level);
    EXPECT_EQ(z.hit.score, 0.0f);
    EXPECT_EQ(z.hit.confidence, 0.57f);
}

TEST(MakeHitNames, UnreadableNamesGiveEmptyTexts) {
    std::string bytes = write_or_die(spec());
    auto t = parse_sections(ByteView(bytes));
    ASSERT_TRUE(t);
    const uint64_t communes = (*t)[section::communes_meta].offset;
    const uint64_t names = (*t)[section::names].offset;
    uint32_t street_name;
    std::memcpy(&street_name, &bytes[(*t)[section::streets_meta].offset + 16], 4);
    // Commune 0's name offset far outside the pool; street 0's name no
    // longer UTF-8.
    testing::patch_u32(bytes, communes + 8, 0x7FFFFFF0u);
    bytes[names + street_name + 1] = static_cast<char>(0xFF);
    Opened o = open_bytes(bytes);
    ASSERT_TRUE(o.idx);

    HitCall call;
    call.house = true;
    call.number = 4;
    ScoredHit s = hit_for(*o, call);
    EXPECT_EQ(s.hit.street, "");
    EXPECT_EQ(s.hit.commune, "");
    EXPECT_EQ(s.best_token_similarity, 0);
    EXPECT_EQ(s.hit.precision, "house");
    EXPECT_EQ(*s.hit.housenumber, "4");
    EXPECT_EQ(s.commune_prominence, 40u);
}

TEST(MakeHitRegion, RegionOfTheHitPosition) {
    // A directory of its own: a sidecar in /tmp would be found (and warned
    // about) by other sheets opened there.
    char tmpl[] = "/tmp/tarnwik-hits-XXXXXX";
    ASSERT_TRUE(::mkdtemp(tmpl));
    const std::string dir = tmpl;
    const std::string path = dir + "/fr.sheet";
    std::ofstream(path, std::ios::binary) << write_or_die(spec());
    // A box around the first houses of Rue des Lilas; house 30 and the
    // other streets lie outside.
    auto sidecar = build::write_admin_sidecar(
        path, {{"Quartier", {{{kLat - 0.001, kLon - 0.001}, {kLat - 0.001, kLon + 0.001},
                               {kLat + 0.001, kLon + 0.001}, {kLat + 0.001, kLon - 0.001}}}}});
    ASSERT_TRUE(sidecar);
    {
        auto idx = Index::open(path);
        ASSERT_TRUE(idx);
        HitCall call;
        call.house = true;
        call.number = 4;
        EXPECT_EQ(hit_for(**idx, call).hit.region, "Quartier");
        call.number = 30;
        EXPECT_FALSE(hit_for(**idx, call).hit.region);
        call.house = false;  // the street's own point
        EXPECT_EQ(hit_for(**idx, call).hit.region, "Quartier");
        call.street = 1;
        EXPECT_FALSE(hit_for(**idx, call).hit.region);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarnwik
