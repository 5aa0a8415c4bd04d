#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ml/ml.hpp"

namespace tarnwik::ml {
namespace {

// A model section built by hand: bias[l], weights[l][b].
struct Model {
    uint32_t buckets = 1;
    std::vector<float> bias;
    std::vector<std::vector<float>> weights;  // [label][bucket]

    Model(uint32_t b, size_t labels) : buckets(b), bias(labels, 0.0f), weights(labels, std::vector<float>(b, 0.0f)) {}

    std::string bytes() const {
        std::string s = "TWML";
        put_u32(s, buckets);
        s.push_back(static_cast<char>(bias.size()));
        for (float f : bias) put_f32(s, f);
        for (const auto& row : weights)
            for (float f : row) put_f32(s, f);
        return s;
    }
    static void put_u32(std::string& s, uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }
    static void put_f32(std::string& s, float f) { put_u32(s, std::bit_cast<uint32_t>(f)); }
};

// Owns the section bytes for as long as the parser borrows them.
struct Loaded {
    std::string bytes;
    std::optional<Parser> parser;
    explicit Loaded(std::string b) : bytes(std::move(b)), parser(Parser::from_section(ByteView(bytes))) {}
    const Parser& operator*() const { return *parser; }
    const Parser* operator->() const { return &*parser; }
};

std::vector<uint8_t> label(const Parser& p, std::vector<std::string_view> tokens) {
    return p.label(std::span<const std::string_view>(tokens));
}

// ---------------------------------------------------------------------------
// Feature hashing

TEST(FeatureHash, IsBlake2bWithFourByteDigestReadLittleEndian) {
    // BLAKE2b-32 of "" is the bytes 12 71 cf 25; the bucket number reads them
    // little-endian. The others are reference digests of the same function.
    const std::map<std::string, uint32_t> digests = {
        {"", 0x25cf7112u},
        {"abc", 0x48629063u},
        {"w=paris", 0xca5ad12fu},
        {"dig=1", 0x7cf61f3cu},
        {"w=москва", 0xd5d1d24fu},
    };
    for (const auto& [text, digest] : digests) EXPECT_EQ(feature_hash(text), digest) << text;
}

TEST(FeatureHash, BucketIsDigestModuloBucketCount) {
    // 65536 buckets keep the low two bytes: 0x7112 for "" (a big-endian read
    // would give 0xcf25).
    Loaded wide(Model(65536, 1).bytes());
    ASSERT_TRUE(wide.parser);
    EXPECT_EQ(wide->h(""), 0x7112u);
    EXPECT_EQ(wide->h("w=paris"), 0xd12fu);

    Loaded odd(Model(1009, 1).bytes());
    ASSERT_TRUE(odd.parser);
    for (std::string_view f : {"", "abc", "w=paris", "dig=1", "w=москва"})
        EXPECT_EQ(odd->h(f), feature_hash(f) % 1009) << f;

    Loaded one(Model(1, 1).bytes());
    ASSERT_TRUE(one.parser);
    EXPECT_EQ(one->h("anything"), 0u);
}

// ---------------------------------------------------------------------------
// Feature strings

using Features = std::array<std::string, kFeatureCount>;

Features features(std::vector<std::string_view> tokens, size_t i) { return token_features(tokens, i); }

TEST(TokenFeatures, PostcodeAndCityPair) {
    EXPECT_EQ(features({"75011", "paris"}, 0),
              (Features{"w=75011", "p=^", "n=paris", "sfx=011", "pfx=750", "dig=1", "len=5", "pos=a", "d5=1",
                        "d4n2=0", "pdig=0"}));
    EXPECT_EQ(features({"75011", "paris"}, 1),
              (Features{"w=paris", "p=75011", "n=$", "sfx=ris", "pfx=par", "dig=0", "len=5", "pos=z", "d5=0",
                        "d4n2=0", "pdig=1"}));
}

TEST(TokenFeatures, SingleTokenAndMiddlePosition) {
    EXPECT_EQ(features({"12"}, 0), (Features{"w=12", "p=^", "n=$", "sfx=12", "pfx=12", "dig=1", "len=2", "pos=a",
                                             "d5=0", "d4n2=0", "pdig=0"}));
    EXPECT_EQ(features({"via", "12b", "roma"}, 1),
              (Features{"w=12b", "p=via", "n=roma", "sfx=12b", "pfx=12b", "dig=m", "len=3", "pos=m", "d5=0",
                        "d4n2=0", "pdig=0"}));
    EXPECT_EQ(features({"7", "123456", "x"}, 1),
              (Features{"w=123456", "p=7", "n=x", "sfx=456", "pfx=123", "dig=1", "len=6", "pos=m", "d5=0",
                        "d4n2=0", "pdig=1"}));
}

TEST(TokenFeatures, CharactersAreScalarValuesNotBytes) {
    // Seven and more letters cap at len=7; affixes are three letters of two
    // bytes each.
    Features f = features({"октябрьская"}, 0);
    EXPECT_EQ(f[3], "sfx=кая");
    EXPECT_EQ(f[4], "pfx=окт");
    EXPECT_EQ(f[6], "len=7");
    EXPECT_EQ(features({"улица"}, 0)[6], "len=5");
    // Two letters of a non-Latin script, and a four-byte character.
    Features g = features({"ж𝔸"}, 0);
    EXPECT_EQ(g[3], "sfx=ж𝔸");
    EXPECT_EQ(g[6], "len=2");
    EXPECT_EQ(features({"ab"}, 0)[6], "len=2");
    EXPECT_EQ(features({""}, 0)[6], "len=0");
    EXPECT_EQ(features({"straße7"}, 0)[6], "len=7");
    EXPECT_EQ(features({"straße"}, 0)[6], "len=6");
}

TEST(TokenFeatures, DigitClasses) {
    struct Case {
        std::string_view token, dig, d5;
    };
    for (const Case& c : std::vector<Case>{{"12345", "1", "1"},
                                            {"1234", "1", "0"},
                                            {"123456", "1", "0"},
                                            {"1234a", "m", "0"},
                                            {"a1", "m", "0"},
                                            {"abc", "0", "0"},
                                            {"", "0", "0"},
                                            {"١٢٣٤٥", "0", "0"}}) {  // Arabic-Indic digits are not ASCII digits
        Features f = features({c.token}, 0);
        EXPECT_EQ(f[5], "dig=" + std::string(c.dig)) << c.token;
        EXPECT_EQ(f[8], "d5=" + std::string(c.d5)) << c.token;
    }
}

TEST(TokenFeatures, FourDigitsBeforeTwoLetters) {
    struct Case {
        std::vector<std::string_view> tokens;
        size_t i;
        bool d4n2;
    };
    const std::vector<Case> cases = {
        {{"1234", "ab"}, 0, true},
        {{"1234", "AB"}, 0, true},
        {{"1234", "жд"}, 0, true},          // letters of any script
        {{"rue", "1234", "ab"}, 1, true},
        {{"ab", "1234"}, 0, false},         // reversed
        {{"ab", "1234"}, 1, false},         // last token: next is "$"
        {{"1234"}, 0, false},
        {{"1234", "x", "ab"}, 0, false},    // letters not directly next
        {{"1234", "abc"}, 0, false},
        {{"1234", "a"}, 0, false},
        {{"1234", "a1"}, 0, false},
        {{"1234", "a-"}, 0, false},
        {{"12345", "ab"}, 0, false},
        {{"123", "ab"}, 0, false},
        {{"123a", "ab"}, 0, false},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (auto t : c.tokens) joined += std::string(t) + " ";
        EXPECT_EQ(features(c.tokens, c.i)[9], c.d4n2 ? "d4n2=1" : "d4n2=0") << joined << "@" << c.i;
    }
}

TEST(TokenFeatures, PreviousTokenDigits) {
    EXPECT_EQ(features({"12", "rue"}, 1)[10], "pdig=1");
    EXPECT_EQ(features({"12b", "rue"}, 1)[10], "pdig=0");
    EXPECT_EQ(features({"", "rue"}, 1)[10], "pdig=0");  // empty prev is not "only digits"
    EXPECT_EQ(features({"12", "rue"}, 0)[10], "pdig=0");
    EXPECT_EQ(features({"", "rue"}, 1)[1], "p=");
}

TEST(TokenFeatures, StrayBytesCountAsOneCharacterEach) {
    // Not reachable from normalised text, but must neither crash nor merge
    // bytes into their neighbours.
    const std::string bad = "ab\xC3" "c\xFF";
    Features f = features({bad}, 0);
    EXPECT_EQ(f[6], "len=5");
    EXPECT_EQ(f[3], "sfx=\xC3" "c\xFF");
    EXPECT_EQ(f[4], "pfx=ab\xC3");
    EXPECT_EQ(features({"1234", "a\x80"}, 0)[9], "d4n2=0");
}

// ---------------------------------------------------------------------------
// Section validation

TEST(FromSection, AcceptsWellFormedModels) {
    Model m(3, 2);
    m.bias = {0.5f, -1.0f};
    m.weights = {{1, 2, 3}, {4, 5, 6}};
    Loaded p(m.bytes());
    ASSERT_TRUE(p.parser);
    EXPECT_EQ(p->buckets(), 3u);
    EXPECT_EQ(p->labels(), 2);
    EXPECT_EQ(p->bias(0), 0.5f);
    EXPECT_EQ(p->bias(1), -1.0f);
    // Label-major: label 1, bucket 2 is float 1·3 + 2.
    EXPECT_EQ(p->weight(0, 0), 1.0f);
    EXPECT_EQ(p->weight(0, 2), 3.0f);
    EXPECT_EQ(p->weight(1, 0), 4.0f);
    EXPECT_EQ(p->weight(1, 2), 6.0f);

    Loaded big(Model(1, 255).bytes());
    ASSERT_TRUE(big.parser);
    EXPECT_EQ(big->labels(), 255);
}

TEST(FromSection, WeightsAreReadInPlaceBiasIsCopied) {
    Model m(2, 1);
    m.weights = {{1, 2}};
    Loaded p(m.bytes());
    ASSERT_TRUE(p.parser);
    ASSERT_EQ(p->weight(0, 1), 2.0f);
    // Changing the bytes under the parser shows through for weights only.
    const float seven = 7.0f, nine = 9.0f;
    std::memcpy(&p.bytes[9 + 4 + 4], &seven, 4);  // label 0, bucket 1
    std::memcpy(&p.bytes[9], &nine, 4);           // bias of label 0
    EXPECT_EQ(p->weight(0, 1), 7.0f);
    EXPECT_EQ(p->bias(0), 0.0f);
}

TEST(FromSection, RefusesMalformedSections) {
    Model good(4, 3);
    const std::string ok = good.bytes();
    ASSERT_TRUE(Parser::from_section(ByteView(ok)));

    auto nan_at = [&](size_t off) {
        std::string s = ok;
        const float nan = std::numeric_limits<float>::quiet_NaN();
        std::memcpy(&s[off], &nan, 4);
        return s;
    };
    auto inf_at = [&](size_t off, bool negative) {
        std::string s = ok;
        const float inf = negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
        std::memcpy(&s[off], &inf, 4);
        return s;
    };
    const size_t weights_at = 9 + 4 * 3;
    std::string header_only = ok.substr(0, 9);
    std::string zero_b = ok;
    std::memset(&zero_b[4], 0, 4);
    std::string zero_l = ok;
    zero_l[8] = 0;
    std::string wrong_magic = ok;
    wrong_magic[3] = 'm';
    std::string more_buckets = ok;
    more_buckets[4] = 5;
    std::string huge_b = ok;
    std::memset(&huge_b[4], 0xFF, 4);

    const std::map<std::string, std::string> bad = {
        {"empty", ""},
        {"eight bytes", ok.substr(0, 8)},
        {"header without biases", header_only},
        {"biases cut short", ok.substr(0, 9 + 4 * 2 + 3)},
        {"one byte short", ok.substr(0, ok.size() - 1)},
        {"one byte long", ok + '\0'},
        {"one float long", ok + std::string(4, '\0')},
        {"B = 0", zero_b},
        {"L = 0", zero_l},
        {"wrong magic", wrong_magic},
        {"B larger than the weights", more_buckets},
        {"B = 2^32 - 1", huge_b},
        {"NaN bias", nan_at(9)},
        {"infinite last bias", inf_at(9 + 4 * 2, false)},
        {"NaN first weight", nan_at(weights_at)},
        {"NaN last weight", nan_at(ok.size() - 4)},
        {"-inf weight", inf_at(weights_at + 4 * 5, true)},
    };
    for (const auto& [what, bytes] : bad) EXPECT_FALSE(Parser::from_section(ByteView(bytes))) << what;
}

// ---------------------------------------------------------------------------
// Labelling

TEST(Label, EmptyAndSingleLabel) {
    Model m(8, 1);
    m.bias = {-5};
    m.weights[0].assign(8, -100.0f);
    Loaded p(m.bytes());
    ASSERT_TRUE(p.parser);
    EXPECT_TRUE(label(*p, {}).empty());
    EXPECT_EQ(label(*p, {"12", "rue", "de", "la", "paix"}), (std::vector<uint8_t>{0, 0, 0, 0, 0}));
}

TEST(Label, DecidedByFeaturesOfEachToken) {
    // A model a person can evaluate: every weight is zero except at the
    // buckets of a handful of feature strings.
    //   label 0 street word:   bias 0.5
    //   label 1 trailing word: +0.75 for w=paris
    //   label 2 house number:  +1 for dig=1, +0.25 for pos=a, -3 for d5=1
    //   label 3 suffix part:   +3.5 for len=1, -1.5 for pdig=1
    //   label 4 ignored:       +1 for d5=1
    constexpr uint32_t B = 1u << 16;
    Model m(B, 5);
    m.bias = {0.5f, 0, 0, 0, 0};
    const std::map<std::string, std::vector<std::pair<uint8_t, float>>> table = {
        {"dig=1", {{2, 1.0f}}},  {"pos=a", {{2, 0.25f}}}, {"d5=1", {{2, -3.0f}, {4, 1.0f}}},
        {"len=1", {{3, 3.5f}}},  {"pdig=1", {{3, -1.5f}}}, {"w=paris", {{1, 0.75f}}},
    };
    Loaded probe(Model(B, 1).bytes());
    ASSERT_TRUE(probe.parser);
    std::set<uint32_t> weighted;
    for (const auto& [feature, entries] : table) {
        weighted.insert(probe->h(feature));
        for (auto [l, w] : entries) m.weights[l][probe->h(feature)] += w;
    }
    ASSERT_EQ(weighted.size(), table.size()) << "two weighted features share a bucket";
    Loaded p(m.bytes());
    ASSERT_TRUE(p.parser);

    // The hand evaluation holds only if no other feature of the tokens lands
    // on a weighted bucket.
    auto check = [&](std::vector<std::string_view> tokens, std::vector<uint8_t> want) {
        for (size_t i = 0; i < tokens.size(); ++i)
            for (const std::string& f : token_features(tokens, i))
                if (!table.contains(f)) {
                    ASSERT_FALSE(weighted.contains(p->h(f))) << f << " collides";
                }
        EXPECT_EQ(label(*p, tokens), want);
    };
    // 12: label 2 at 1.25 beats 0.5.  b: pdig=1 and len=1 give label 3 2.0.
    // rue, du, moulin: nothing but label 0's bias.  75011: label 4 at 1,
    // label 2 at -2.  paris: label 1 at 0.75 (its pdig=1 only lowers label 3).
    check({"12", "b", "rue", "du", "moulin", "75011", "paris"}, {2, 3, 0, 0, 0, 4, 1});
    // Away from the front the number has no pos=a but still 1 > 0.5. A lone
    // letter is a suffix part after a number (2.0) and without one (3.5).
    check({"rue", "12", "x"}, {0, 2, 3});
    check({"x", "rue"}, {3, 0});
    check({"paris"}, {1});
    check({"75011"}, {4});

    // The std::string overload gives the same.
    const std::vector<std::string_view> views = {"12", "b", "rue", "75011", "paris"};
    std::vector<std::string> owned(views.begin(), views.end());
    EXPECT_EQ(p->label(std::span<const std::string>(owned)), label(*p, views));
}

TEST(Label, TiesGoToTheLowestLabel) {
    Model m(4, 5);
    m.bias = {0.0f, 2.0f, 1.0f, 2.0f, -1.0f};
    Loaded p(m.bytes());
    ASSERT_TRUE(p.parser);
    EXPECT_EQ(label(*p, {"via", "roma"}), (std::vector<uint8_t>{1, 1}));

    Model flat(4, 3);  // every score 0
    Loaded q(flat.bytes());
    ASSERT_TRUE(q.parser);
    EXPECT_EQ(label(*q, {"x"}), (std::vector<uint8_t>{0}));
}

TEST(Label, ScoresAreSingleBiasFirstSums) {
    // One bucket, so all eleven features hit weight w. Label 0: bias 2^24,
    // w = 1. In single precision, bias first, each +1 rounds back to 2^24;
    // summing the weights first, or in double precision, gives 2^24 + 11 and
    // beats label 1's 2^24 + 2.
    Model m(1, 2);
    m.bias = {16777216.0f, 16777218.0f};
    m.weights = {{1.0f}, {0.0f}};
    Loaded p(m.bytes());
    ASSERT_TRUE(p.parser);
    EXPECT_EQ(label(*p, {"1", "rue"}), (std::vector<uint8_t>{1, 1}));
}

TEST(Label, OnlyScoresAboveTheLowestFloatCount) {
    // Finite weights can still sum to -infinity; such a label never wins, and
    // neither does one scoring exactly the lowest finite float, the starting
    // best score. With one bucket every feature hits weight 0.
    constexpr float big = 3.0e38f;
    constexpr float lowest = std::numeric_limits<float>::lowest();
    const float above_lowest = std::nextafter(lowest, 0.0f);
    struct Case {
        std::vector<float> bias;
        std::vector<float> weight;
        uint8_t want;
    };
    const std::vector<Case> cases = {
        {{-big, -big, -big}, {-big, -big, -big}, 0},  // all -inf: label 0
        {{-big, lowest}, {-big, 0}, 0},               // lowest is not above the start
        {{-big, lowest, above_lowest}, {-big, 0, 0}, 2},
        {{-big, big}, {-big, -big}, 0},               // label 1: big - big - big ... = -inf
        {{big, big}, {big, big}, 0},                  // both +inf: the first keeps it
    };
    for (size_t c = 0; c < cases.size(); ++c) {
        Model m(1, cases[c].bias.size());
        m.bias = cases[c].bias;
        for (size_t l = 0; l < m.weights.size(); ++l) m.weights[l] = {cases[c].weight[l]};
        Loaded p(m.bytes());
        ASSERT_TRUE(p.parser) << c;
        EXPECT_EQ(label(*p, {"a", "1"}), (std::vector<uint8_t>{cases[c].want, cases[c].want})) << "case " << c;
    }
}

}  // namespace
}  // namespace tarnwik::ml
