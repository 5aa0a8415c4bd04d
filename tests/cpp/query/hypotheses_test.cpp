#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/index.hpp"
#include "index/sheet_fixture.hpp"
#include "ml/ml.hpp"
#include "query/hypotheses.hpp"

namespace tarnwik {
namespace {

using query::build_hyp;
using query::build_hypotheses;
using query::Hyp;
using query::parse_u32_decimal;
using testing::TempSheet;
using testing::write_or_die;
using S = MatchFlags::Slot;

// ---------------------------------------------------------------------------
// Sheets: the suffix map comes from the houses' suffixes; the labeller is
// optional.

const std::vector<std::string> kSuffixes = {"bis", "ter", "a", "b", "b2", "ab2", "abc", "abcd", "д"};

build::SheetSpec spec(const std::vector<std::string>& suffixes) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}, {"layer", "addresses"}};
    s.communes.push_back({"C0", "Valmora", 1, 45.0, 5.0, {}});
    build::StreetSpec st{"Rue des Lilas", 0, std::nullopt, std::nullopt, "", {}};
    st.houses.push_back({1, "", 45.0, 5.0, ""});
    for (const std::string& sfx : suffixes) st.houses.push_back({2, sfx, 45.0, 5.0, ""});
    s.streets.push_back(st);
    return s;
}

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

// A query split into tokens, with postcode marks by position.
struct Query {
    std::vector<std::string> storage;
    std::vector<std::string_view> tokens;
    std::vector<bool> postcode;

    Query(std::string_view text, std::set<size_t> marks = {}) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(' ', start);
            if (end == std::string_view::npos) end = text.size();
            if (end > start) storage.emplace_back(text.substr(start, end - start));
            start = end + 1;
        }
        for (const std::string& s : storage) tokens.push_back(s);
        for (size_t i = 0; i < tokens.size(); ++i) postcode.push_back(marks.contains(i));
    }
};

// A reading in comparable form, the suffix as its text.
struct Reading {
    std::vector<uint32_t> street;
    bool number_ok = false;
    uint32_t number = 0;
    std::string suffix;
    bool labeller = false;
    bool operator==(const Reading&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Reading& r) {
    os << "{[";
    for (size_t i = 0; i < r.street.size(); ++i) os << (i ? "," : "") << r.street[i];
    os << "] ";
    if (r.number_ok) os << "n=" << r.number;
    else os << "no number" << (r.number ? "(n!=0)" : "");
    if (!r.suffix.empty()) os << " sfx=" << r.suffix;
    if (r.labeller) os << " ml";
    return os << "}";
}

Reading reading(const Index& x, const Hyp& h) {
    std::string sfx;
    if (h.suffix_id != 0) sfx = h.suffix_id < x.suffixes().size() ? x.suffixes()[h.suffix_id] : "<bad id>";
    return {h.street_tokens, h.number_ok, h.number, sfx, h.from_labeller};
}

std::vector<Reading> readings(const Index& x, const Query& q) {
    std::vector<Reading> out;
    for (const Hyp& h : build_hypotheses(x, q.tokens, q.postcode)) out.push_back(reading(x, h));
    return out;
}

Reading num(std::vector<uint32_t> street, uint32_t n, std::string sfx = "", bool labeller = false) {
    return {std::move(street), true, n, std::move(sfx), labeller};
}
Reading plain(std::vector<uint32_t> street) { return {std::move(street), false, 0, "", false}; }

// ---------------------------------------------------------------------------
// Number parsing

TEST(ParseU32Decimal, OptionalPlusThenDigitsOnly) {
    const std::vector<std::pair<std::string_view, std::optional<uint32_t>>> cases = {
        {"12", 12u},          {"+12", 12u},         {"00012", 12u},          {"0", 0u},
        {"4294967295", 4294967295u},                {"4294967296", std::nullopt},
        {"99999999999999999999", std::nullopt},     {"", std::nullopt},      {"+", std::nullopt},
        {"-", std::nullopt},  {"-1", std::nullopt}, {"++1", std::nullopt},   {"12a", std::nullopt},
        {" 12", std::nullopt}, {"1 2", std::nullopt}, {"١٢", std::nullopt},  // Arabic-Indic digits
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(parse_u32_decimal(text), want) << "\"" << text << "\"";
}

// ---------------------------------------------------------------------------
// build_hyp

class Hypotheses : public ::testing::Test {
protected:
    void SetUp() override {
        sheet_ = open_spec(spec(kSuffixes));
        ASSERT_TRUE(sheet_.idx);
        ASSERT_EQ(sheet_.idx->parser(), nullptr);
    }
    const Index& x() const { return *sheet_; }
    Opened sheet_;
};

TEST_F(Hypotheses, BuildHypReadsTheNumberAndGluesKnownSuffixes) {
    struct Case {
        const char* query;
        std::set<size_t> marks;
        size_t pos;
        bool glue;
        Reading want;
    };
    const std::vector<Case> cases = {
        {"12 bis rue x", {}, 0, true, num({2, 3}, 12, "bis")},
        {"12 bis rue x", {}, 0, false, num({1, 2, 3}, 12)},
        {"12 ter", {}, 0, true, num({}, 12, "ter")},
        // "b" is known, "b2" too: the longer one is taken with both tokens.
        {"12 b 2 rue", {}, 0, true, num({3}, 12, "b2")},
        // At most three tokens: "abc" is reached, "abcd" is not.
        {"5 a b c d rue", {}, 0, true, num({4, 5}, 5, "abc")},
        // A failed longer lookup keeps the earlier match and its tokens.
        {"5 a x rue", {}, 0, true, num({2, 3}, 5, "a")},
        // A postcode token ends the suffix and is never a street token.
        {"12 a 75011 b", {2}, 0, true, num({3}, 12, "a")},
        // Longer than four characters, or not a letter or digit.
        {"12 abcde rue", {}, 0, true, num({1, 2}, 12)},
        {"12 1/2 rue", {}, 0, true, num({1, 2}, 12)},
        // A single letter of any script.
        {"12 д улица", {}, 0, true, num({2}, 12, "д")},
        // Unknown suffix texts consume nothing.
        {"12 12 rue", {}, 0, true, num({1, 2}, 12)},
        {"rue x 12", {}, 2, true, num({0, 1}, 12)},
        {"+7 rue", {}, 0, false, num({1}, 7)},
        {"rue 12", {}, 0, true, plain({1})},
        {"4294967296 rue", {}, 0, false, plain({1})},
        {"75011 12 rue", {0}, 1, true, num({2}, 12)},
    };
    for (const Case& c : cases) {
        Query q(c.query, c.marks);
        EXPECT_EQ(reading(x(), build_hyp(x(), q.tokens, q.postcode, c.pos, c.glue)), c.want)
            << c.query << " at " << c.pos << (c.glue ? " glued" : "");
    }
}

TEST(BuildHyp, WithoutSuffixesNothingIsGlued) {
    Opened o = open_spec(spec({}));
    ASSERT_TRUE(o.idx);
    ASSERT_TRUE(o.idx->suffix_ids().empty());
    Query q("12 bis rue");
    const Hyp h = build_hyp(*o, q.tokens, q.postcode, 0, true);
    EXPECT_EQ(h.street_tokens, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(h.suffix_id, 0u);
    EXPECT_TRUE(h.number_ok);
    EXPECT_EQ(h.number, 12u);
    EXPECT_FALSE(h.from_labeller);
}

// ---------------------------------------------------------------------------
// The hypothesis list

TEST_F(Hypotheses, ListOrderForTypicalQueries) {
    struct Case {
        const char* query;
        std::set<size_t> marks;
        std::vector<Reading> want;
    };
    const std::vector<Case> cases = {
        {"12 bis rue x",
         {},
         {num({2, 3}, 12, "bis"), num({1, 2, 3}, 12), num({3, 2}, 12, "bis"), num({2, 3, 1}, 12),
          plain({0, 1, 2, 3})}},
        // Glued and unglued readings are the same: only one is kept.
        {"1 rue", {}, {num({1}, 1), plain({0, 1})}},
        // A number before a Russian ordinal ending is part of the name.
        {"1 я улица", {}, {plain({0, 1, 2})}},
        {"5 го", {}, {plain({0, 1})}},
        {"улица 8 ой", {}, {plain({0, 1, 2})}},
        // A run of numbers gives one candidate; the rest stay street words.
        {"10 12 14 rue x", {}, {num({1, 2, 3, 4}, 10), num({2, 3, 4, 1}, 10), plain({0, 1, 2, 3, 4})}},
        // Postcode tokens are never numbers nor street words.
        {"75011 12 rue x", {0}, {num({2, 3}, 12), num({3, 2}, 12), plain({1, 2, 3})}},
        {"1234 ab 5 rue", {0, 1}, {num({3}, 5), plain({2, 3})}},
        // Glued number with a known suffix token after it.
        {"12a b2 rue", {}, {num({2}, 12, "ab2"), plain({0, 1, 2})}},
        // The suffix token is taken even when the joined suffix is unknown.
        {"12x b2 rue", {}, {num({2}, 12), plain({0, 1, 2})}},
        // Only the first glued token; a token of digits only is not one.
        {"rue 12a 14b", {}, {num({0, 2}, 12, "a"), num({2, 0}, 12, "a"), plain({0, 1, 2})}},
        {"rue 12345a", {}, {plain({0, 1})}},
        {"rue 12abcde", {}, {plain({0, 1})}},
        // Nothing at all.
        {"", {}, {plain({})}},
    };
    for (const Case& c : cases) EXPECT_EQ(readings(x(), Query(c.query, c.marks)), c.want) << c.query;
}

TEST_F(Hypotheses, AtMostFourNumberCandidates) {
    Query q("1 rue 2 rue 3 rue 4 rue 5 rue");
    const std::vector<Reading> got = readings(x(), q);
    ASSERT_EQ(got.size(), 9u);  // four readings, their rotations, the plain one
    for (uint32_t i = 0; i < 4; ++i) {
        std::vector<uint32_t> street;
        for (uint32_t p = 0; p < 10; ++p)
            if (p != 2 * i) street.push_back(p);
        EXPECT_EQ(got[i], num(street, i + 1));
        std::rotate(street.begin(), street.begin() + 1, street.end());
        EXPECT_EQ(got[4 + i], num(street, i + 1));
    }
    EXPECT_EQ(got[8], plain({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(Hypotheses, FourteenReadingsThenThePlainOne) {
    // Four candidates glued and unglued (8), the glued 5a (9), then nine
    // rotations of which five fit under the cap of 14.
    Query q("1 a 2 a 3 a 4 a 5a rue");
    const std::vector<Hyp> got = build_hypotheses(x(), q.tokens, q.postcode);
    ASSERT_EQ(got.size(), 15u);
    const uint32_t a = x().suffix_ids().at("a");
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(got[2 * i].number, i + 1);
        EXPECT_EQ(got[2 * i].suffix_id, a);
        EXPECT_EQ(got[2 * i + 1].number, i + 1);
        EXPECT_EQ(got[2 * i + 1].suffix_id, 0u);
        EXPECT_EQ(got[2 * i].street_tokens.size() + 1, got[2 * i + 1].street_tokens.size());
    }
    EXPECT_EQ(reading(x(), got[8]), num({0, 1, 2, 3, 4, 5, 6, 7, 9}, 5, "a"));
    for (size_t i = 0; i < 5; ++i) {
        std::vector<uint32_t> rotated = got[i].street_tokens;
        std::rotate(rotated.begin(), rotated.begin() + 1, rotated.end());
        EXPECT_EQ(got[9 + i].street_tokens, rotated) << i;
        EXPECT_EQ(got[9 + i].number, got[i].number);
        EXPECT_EQ(got[9 + i].suffix_id, got[i].suffix_id);
    }
    EXPECT_EQ(reading(x(), got[14]), plain({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(Hypotheses, StreetTextJoinsTheStreetTokensInListOrder) {
    Query q("rue x 12 lyon");
    Hyp h;
    h.street_tokens = {3, 0, 1};
    EXPECT_EQ(query::street_text(h, q.tokens), "lyon rue x");
    h.street_tokens = {};
    EXPECT_EQ(query::street_text(h, q.tokens), "");
}

// ---------------------------------------------------------------------------
// The labeller's reading

// A labeller that gives each listed token its label through its "w=" feature
// alone; every other token scores 0 everywhere and gets label 0.
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

class LabellerReading : public ::testing::Test {
protected:
    void SetUp() override {
        build::SheetSpec s = spec(kSuffixes);
        s.parser = labeller(kLabels, 6);
        sheet_ = open_spec(s);
        ASSERT_TRUE(sheet_.idx);
        ASSERT_NE(sheet_.idx->parser(), nullptr);
    }
    const Index& x() const { return *sheet_; }

    // Checks that the model labels the query as the test means it to.
    void expect_labels(const Query& q) const {
        std::vector<uint8_t> want;
        for (std::string_view t : q.tokens) {
            auto it = kLabels.find(std::string(t));
            want.push_back(it == kLabels.end() ? 0 : it->second);
        }
        ASSERT_EQ(x().parser()->label(std::span<const std::string_view>(q.tokens)), want);
    }

    // 1 trailing word, 2 house number, 3 suffix part, 4 ignored, 5 no role.
    const std::map<std::string, uint8_t> kLabels = {
        {"paris", 1}, {"12b", 2}, {"7", 2}, {"n12", 2}, {"99999999999", 2}, {"5", 2}, {"75011", 2},
        {"2", 3},     {"q", 3},   {"des", 4}, {"x", 5},
    };
    Opened sheet_;
};

TEST_F(LabellerReading, RolesOfTheLabels) {
    // rue(0) des(4) lilas(0) 12b(2) 2(3) paris(1) 7(2) x(5)
    Query q("rue des lilas 12b 2 paris 7 x");
    expect_labels(q);
    const Reading labelled = num({0, 2, 6, 7, 5}, 12, "b2", true);
    const std::vector<Reading> want = {
        num({0, 1, 2, 3, 5, 6, 7}, 2),     // the number candidate 2
        num({0, 1, 2, 3, 4, 5, 7}, 7),     // the number candidate 7 ("x" is no known suffix)
        num({0, 1, 2, 4, 5, 6, 7}, 12, "b"),  // glued 12b
        labelled,
        num({1, 2, 3, 5, 6, 7, 0}, 2),
        num({1, 2, 3, 4, 5, 7, 0}, 7),
        num({1, 2, 4, 5, 6, 7, 0}, 12, "b"),
        num({2, 6, 7, 5, 0}, 12, "b2", true),
        plain({0, 1, 2, 3, 4, 5, 6, 7}),
    };
    EXPECT_EQ(readings(x(), q), want);
}

TEST_F(LabellerReading, NumberAndSuffixEdgeCases) {
    struct Case {
        const char* query;
        std::set<size_t> marks;
        Reading want;  // the labeller's reading
    };
    const std::vector<Case> cases = {
        // A number token without leading digits is a street word.
        {"n12 rue", {}, {{0, 1}, false, 0, "", true}},
        // An overflowing number does not count as found: the next one is taken.
        {"rue 99999999999 5", {}, num({0}, 5, "", true)},
        // Suffix parts that are not a known suffix give none.
        {"rue 7 q", {}, num({0}, 7, "", true)},
        // A postcode token is skipped whatever its label.
        {"75011 rue lilas", {0}, {{1, 2}, false, 0, "", true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        Query q(c.query, c.marks);
        expect_labels(q);
        std::vector<Reading> got;
        for (const Reading& r : readings(x(), q))
            if (r.labeller) got.push_back(r);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.front(), c.want);
    }
}

TEST_F(LabellerReading, NoStreetWordNoReading) {
    Query q("12b paris");
    expect_labels(q);
    EXPECT_EQ(readings(x(), q), (std::vector<Reading>{num({1}, 12, "b"), plain({0, 1})}));
}

// ---------------------------------------------------------------------------
// Choosing between the candidate sets of the hypotheses

TEST(HypothesisChoice, StrictlyBetterReplacesAndEightStops) {
    struct Case {
        std::vector<std::optional<int>> qualities;  // one per hypothesis, nullopt: no candidates
        std::optional<size_t> chosen;               // index of the chosen set
        size_t tried;                               // sets looked at before stopping
    };
    const std::vector<Case> cases = {
        {{5, 5, 7}, 2, 3},
        {{7, 7, 6}, 0, 3},
        {{std::nullopt, 4, std::nullopt}, 1, 3},
        {{std::nullopt, std::nullopt}, std::nullopt, 2},
        {{6, 8, 10}, 1, 2},
        {{9, 10}, 0, 1},
        {{10, 10}, 0, 1},
        {{7, 7, 7, 9}, 3, 4},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        query::HypothesisChoice choice;
        std::optional<size_t> chosen;
        size_t tried = 0;
        for (size_t h = 0; h < c.qualities.size() && !choice.done(); ++h, ++tried)
            if (choice.offer(c.qualities[h])) chosen = h;
        EXPECT_EQ(chosen, c.chosen) << "case " << i;
        EXPECT_EQ(tried, c.tried) << "case " << i;
    }
}

TEST(HypothesisChoice, QualityOfACandidateSetIsItsBestCandidate) {
    std::unordered_map<uint32_t, MatchFlags> set;
    EXPECT_EQ(query::candidate_set_quality(set), std::nullopt);
    MatchFlags fuzzy;
    fuzzy.set(S::street_fuzzy);
    MatchFlags exact;
    exact.set(S::street_exact);
    exact.set(S::commune_prefix);
    set[3] = fuzzy;
    EXPECT_EQ(query::candidate_set_quality(set), 2);
    set[9] = exact;
    EXPECT_EQ(query::candidate_set_quality(set), 5);
}

}  // namespace
}  // namespace tarnwik
