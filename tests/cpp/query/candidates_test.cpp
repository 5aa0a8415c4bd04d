#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "query/candidates.hpp"
#include "query/search_sheet.hpp"

namespace tarnwik {
namespace {

using namespace query;
using testing::commune;
using testing::house;
using testing::SearchSheet;
using testing::slots;
using testing::street;
using S = MatchFlags::Slot;
using Texts = std::vector<std::string>;

std::vector<std::string> words_of(std::string_view text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// One search's shared state, as the prepared search keeps it.
struct SearchState {
    uint64_t budget = 1000;
    SeenVariants seen;
    PostcodeMemo memo;
};

struct Ask {
    std::optional<uint32_t> postcode;
    std::optional<uint32_t> number;
    bool from_labeller = false;
    bool no_fuzzy = false;
    std::vector<uint32_t> extra_numbers;
};

Ask ask(std::optional<uint32_t> postcode, std::optional<uint32_t> number = std::nullopt, bool no_fuzzy = false) {
    Ask a;
    a.postcode = postcode;
    a.number = number;
    a.no_fuzzy = no_fuzzy;
    return a;
}

Candidates collect(const Index& x, std::string_view text, const Ask& a, SearchState& st) {
    const auto words = words_of(text);
    return collect_candidates(x, words, a.postcode.has_value(), a.postcode.value_or(0), a.number.has_value(),
                              a.number.value_or(0), 0, a.from_labeller, a.no_fuzzy, a.extra_numbers, st.budget,
                              st.seen, st.memo);
}

Candidates collect(const Index& x, std::string_view text, const Ask& a = {}) {
    SearchState st;
    return collect(x, text, a, st);
}

// ---------------------------------------------------------------------------
// Spellings of a street text

TEST(StreetTextVariants, SpellingsInOrder) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    s.communes = {commune("1", "Paris")};
    s.streets = {street("Rue X", 0)};
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    struct Case {
        const char* street;
        Texts variants;
    } cases[] = {
        {"r victor hugo", {"r victor hugo", "rue victor hugo"}},
        {"st jean st", {"st jean st", "saint jean st", "st jean saint"}},
        {"victor hugo bd", {"victor hugo bd", "victor hugo boulevard"}},
        {"r", {"r"}},  // one word: no abbreviation step
        {"place du dix huit juin", {"place du dix huit juin", "place du 18 juin"}},
        {"un un", {"un un", "1 un"}},  // occurrences share no space
        {"dix sept dix", {"dix sept dix", "17 10"}},
        {"rue du vingt cinq aout", {"rue du vingt cinq aout", "rue du 25 aout"}},
        {"rue premier mai", {"rue premier mai", "rue 1er mai"}},
        {"rue dixie", {"rue dixie"}},
        {"bulevar kralja aleksandra", {"bulevar kralja aleksandra"}},
        {"bulevar kralj aleksandar", {"bulevar kralj aleksandar", "bulevar kralja aleksandar"}},
        {"ulica karadjordjeva", {"ulica karadjordjeva", "ulica karadjordja"}},
        {"knez mihailova", {"knez mihailova", "kneza mihaila"}},
        {"ulica nova", {"ulica nova"}},  // under five characters
        {"karadjordjeva", {"karadjordjeva"}},
        {"ленина улица", {"ленина улица", "улица ленина"}},
        {"улица ленина", {"улица ленина", "ленина улица"}},
        {"ул ленина", {"ул ленина", "улица ленина", "ленина улица"}},
        {"ленина", {"ленина"}},
        // Only the first two spellings are rotated; Cyrillic turns the
        // Serbian step off.
        {"r quatre улица", {"r quatre улица", "rue quatre улица", "r 4 улица", "улица r quatre", "улица rue quatre"}},
    };
    for (const Case& c : cases) EXPECT_EQ(street_text_variants(*x, c.street), c.variants) << c.street;
}

// ---------------------------------------------------------------------------
// Exact lookups with and without commune words

build::SheetSpec french_sheet() {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}, {"layer", "addresses"}};
    s.communes = {
        commune("75056", "Paris", 100, 48.85, 2.35),      // 0
        commune("69123", "Lyon", 50, 45.76, 4.83),        // 1
        commune("13055", "Marseille", 60, 43.30, 5.37),   // 2
        commune("77", "Москва", 100, 55.75, 37.62),       // 3
    };
    s.streets = {
        street("Rue Victor Hugo", 0, "75011"),     // 0
        street("Rue Victor Hugo", 1, "69001"),     // 1
        street("Rue Victor Hugo", 2),              // 2: no postcode
        street("Place du 18 Juin", 0),             // 3
        street("Avenue Jean Moulin", 1),           // 4
        street("Route D 12", 2),                   // 5
        street("Улица Ленина", 3),                 // 6
    };
    return s;
}

TEST(CollectCandidates, ExactPhaseTable) {
    SearchSheet x(french_sheet());
    ASSERT_TRUE(x.ok());
    struct Case {
        const char* words;
        std::optional<uint32_t> postcode;
        bool labeller;
        CandidateMap want;
    } cases[] = {
        // Without commune words every commune's street is streamed.
        {"rue victor hugo", {}, false, {{0, slots({S::street_exact})}, {1, slots({S::street_exact})}, {2, slots({S::street_exact})}}},
        {"r victor hugo", {}, false, {{0, slots({S::street_exact})}, {1, slots({S::street_exact})}, {2, slots({S::street_exact})}}},
        // Postcode filter by thousands; a street without postcode passes.
        {"rue victor hugo", 75012, false, {{0, slots({S::street_exact, S::pc_dept})}, {2, slots({S::street_exact})}}},
        {"rue victor hugo", 75011, false,
         {{0, slots({S::street_exact, S::pc_exact, S::pc_dept})}, {2, slots({S::street_exact})}}},
        {"rue victor hugo", 69001, false,
         {{1, slots({S::street_exact, S::pc_exact, S::pc_dept})}, {2, slots({S::street_exact})}}},
        // With commune words no filter: the Paris street in 69001 stays, without postcode flags.
        {"rue victor hugo paris", 69001, false, {{0, slots({S::street_exact, S::commune_exact})}}},
        {"rue victor hugo paris", 75012, false, {{0, slots({S::street_exact, S::commune_exact, S::pc_dept})}}},
        {"rue victor hugo paris", 75011, false,
         {{0, slots({S::street_exact, S::commune_exact, S::pc_exact, S::pc_dept})}}},
        {"rue victor hugo paris", {}, false, {{0, slots({S::street_exact, S::commune_exact})}}},
        // The commune only by prefix.
        {"rue victor hugo pari", {}, false, {{0, slots({S::street_exact, S::commune_prefix})}}},
        {"rue victor hugo lyon", {}, true, {{1, slots({S::street_exact, S::commune_exact, S::ml})}}},
        {"r victor hugo", {}, true,
         {{0, slots({S::street_exact, S::ml})}, {1, slots({S::street_exact, S::ml})}, {2, slots({S::street_exact, S::ml})}}},
        {"place du dix huit juin", {}, false, {{3, slots({S::street_exact})}}},
        // Added street types, swapped last words and unglued numbers: with a commune only.
        {"victor hugo lyon", {}, false, {{1, slots({S::street_exact, S::commune_exact})}}},
        {"victor hugo", {}, false, {}},
        {"avenue moulin jean lyon", {}, false, {{4, slots({S::street_exact, S::commune_exact})}}},
        {"avenue moulin jean", {}, false, {}},
        {"route d12 marseille", {}, false, {{5, slots({S::street_exact, S::commune_exact})}}},
        {"route d12", {}, false, {}},
        {"ленина улица", {}, false, {{6, slots({S::street_exact})}}},
        {"ленина москва", {}, false, {{6, slots({S::street_exact, S::commune_exact})}}},
        {"ленина", {}, false, {}},
        {"rue victor hugo nowhere", {}, false, {}},
    };
    for (const Case& c : cases) {
        Ask a;
        a.postcode = c.postcode;
        a.from_labeller = c.labeller;
        const Candidates got = collect(*x, c.words, a);
        EXPECT_EQ(got.streets, c.want) << c.words << " pc " << c.postcode.value_or(0);
        EXPECT_FALSE(got.abort) << c.words;
    }
}

TEST(CollectCandidates, AtMostNineTrailingWordsAreReadAsTheCommune) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    s.communes = {commune("10", "Alpha Bravo Charlie Delta Echo Foxtrot Golf Hotel India Juliet"),
                  commune("9", "Bravo Charlie Delta Echo Foxtrot Golf Hotel India Juliet")};
    s.streets = {street("Rue X", 0), street("Rue X Alpha", 1)};
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    const CandidateMap want = {{1, slots({S::street_exact, S::commune_exact})}};
    EXPECT_EQ(collect(*x, "rue x alpha bravo charlie delta echo foxtrot golf hotel india juliet").streets, want);
    EXPECT_EQ(collect(*x, "rue x bravo charlie delta echo foxtrot golf hotel india juliet").streets, CandidateMap{});
    // Nine words name the first commune by prefix; eight the second.
    EXPECT_EQ(collect(*x, "rue x alpha bravo charlie delta echo foxtrot golf hotel india").streets,
              (CandidateMap{{0, slots({S::street_exact, S::commune_prefix})},
                            {1, slots({S::street_exact, S::commune_prefix})}}));
}

TEST(CollectCandidates, StreamWithoutCommuneStopsAfterThreeHundredAcceptedStreets) {
    build::SheetSpec s;
    s.meta = {{"country", "fr"}};
    for (int i = 0; i < 310; ++i) {
        char code[8];
        std::snprintf(code, sizeof code, "c%03d", i);
        s.communes.push_back(commune(code, std::string("Ville ") + code));
        // The first ten (in key order) lie in another postcode area.
        s.streets.push_back(street("Rue Haute", static_cast<uint32_t>(i), i < 10 ? "69001" : ""));
    }
    SearchSheet x(s);
    ASSERT_TRUE(x.ok());
    auto ids_from = [](uint32_t first, uint32_t count) {
        CandidateMap m;
        for (uint32_t i = first; i < first + count; ++i) m[i] = slots({S::street_exact});
        return m;
    };
    EXPECT_EQ(collect(*x, "rue haute").streets, ids_from(0, 300));
    EXPECT_EQ(collect(*x, "r haute").streets, ids_from(0, 300));
    // Streets the postcode filter skips are not counted.
    EXPECT_EQ(collect(*x, "rue haute", ask(75001)).streets, ids_from(10, 300));
    // With commune words there is no cap (and the named commune decides).
    EXPECT_EQ(collect(*x, "rue haute ville c305").streets,
              (CandidateMap{{305, slots({S::street_exact, S::commune_exact})}}));
}

// ---------------------------------------------------------------------------
// Strict house-postcode mode

build::SheetSpec german_sheet(std::string country = "de", uint8_t version = 7) {
    build::SheetSpec s;
    s.version = version;
    s.meta = {{"country", std::move(country)}, {"layer", "addresses"}};
    s.communes = {commune("01", "Aheim"), commune("02", "Beheim"), commune("03", "Cedorf")};
    s.streets = {
        street("Hauptweg", 0, "", {house(5, 52.5, 13.4, "10115"), house(7, 52.5, 13.4001, "10115")}),  // 0
        street("Hauptweg", 1, "", {house(5, 53.5, 10.0, "20095")}),                                    // 1
        street("Hauptweg", 2, "", {house(5, 52.6, 13.4, "10115")}),                                    // 2
    };
    return s;
}

const MatchFlags kStrict = slots({S::street_exact, S::pc_exact, S::pc_dept});
const MatchFlags kStrictCommune = slots({S::street_exact, S::commune_exact, S::pc_exact, S::pc_dept});

TEST(CollectCandidatesStrict, HouseMustExistInThePostcodeAndEveryStreetCostsBudget) {
    SearchSheet x(german_sheet());
    ASSERT_TRUE(x.ok());
    SearchState st;
    st.budget = 10;
    const Ask strict = ask(10115, 5, true);
    Candidates c = collect(*x, "hauptweg", strict, st);
    EXPECT_EQ(c.streets, (CandidateMap{{0, kStrict}, {2, kStrict}}));
    EXPECT_FALSE(c.abort);
    EXPECT_EQ(st.budget, 7u);
    EXPECT_EQ(st.seen, (SeenVariants{"hauptweg"}));

    // A street text searched once is not searched again in the same search,
    // whatever the house number.
    Ask seven = strict;
    seven.number = 7;
    c = collect(*x, "hauptweg", seven, st);
    EXPECT_EQ(c.streets, CandidateMap{});
    EXPECT_FALSE(c.abort);
    EXPECT_EQ(st.budget, 7u);

    // Every further number must exist too.
    SearchState fresh;
    Ask both = strict;
    both.extra_numbers = {7};
    EXPECT_EQ(collect(*x, "hauptweg", both, fresh).streets, (CandidateMap{{0, kStrict}}));
    both.extra_numbers = {7, 9};
    SearchState fresh2;
    EXPECT_EQ(collect(*x, "hauptweg", both, fresh2).streets, CandidateMap{});

    // Ordinary mode on the same sheet: the postcode filter by thousands only.
    SearchState plain;
    EXPECT_EQ(collect(*x, "hauptweg", ask(10115, 9), plain).streets,
              (CandidateMap{{0, kStrict}, {2, kStrict}}));
    EXPECT_EQ(plain.budget, 1000u);
    EXPECT_TRUE(plain.seen.empty());
}

TEST(CollectCandidatesStrict, RunningOutOfBudgetAborts) {
    SearchSheet x(german_sheet());
    ASSERT_TRUE(x.ok());
    const Ask strict = ask(10115, 5, true);
    {
        SearchState st;
        st.budget = 0;
        Candidates c = collect(*x, "hauptweg", strict, st);
        EXPECT_TRUE(c.abort);
        EXPECT_EQ(c.streets, CandidateMap{});
        EXPECT_EQ(st.budget, 0u);
    }
    {
        // Streets come in commune-code order: 0 is accepted, 1 examined and
        // refused, and there is nothing left for 2.
        SearchState st;
        st.budget = 2;
        Candidates c = collect(*x, "hauptweg", strict, st);
        EXPECT_TRUE(c.abort);
        EXPECT_EQ(c.streets, (CandidateMap{{0, kStrict}}));
    }
    {
        SearchState st;
        st.budget = 0;
        Candidates c = collect(*x, "hauptweg cedorf", strict, st);
        EXPECT_TRUE(c.abort);
        EXPECT_EQ(c.streets, CandidateMap{});
    }
}

TEST(CollectCandidatesStrict, WithCommuneWordsEveryHitCostsBudgetAndSetsPostcodeFlags) {
    SearchSheet x(german_sheet());
    ASSERT_TRUE(x.ok());
    const Ask strict = ask(10115, 5, true);
    SearchState st;
    st.budget = 10;
    EXPECT_EQ(collect(*x, "hauptweg cedorf", strict, st).streets, (CandidateMap{{2, kStrictCommune}}));
    EXPECT_EQ(st.budget, 9u);  // one key hit; the misses cost nothing

    Ask wrong_pc = strict;
    wrong_pc.postcode = 20095;
    SearchState st2;
    st2.budget = 10;
    EXPECT_EQ(collect(*x, "hauptweg cedorf", wrong_pc, st2).streets, CandidateMap{});
    EXPECT_EQ(st2.budget, 9u);

    // Without a house number: spent, then skipped.
    const Ask no_number = ask(10115, std::nullopt, true);
    SearchState st3;
    st3.budget = 10;
    EXPECT_EQ(collect(*x, "hauptweg cedorf", no_number, st3).streets, CandidateMap{});
    EXPECT_EQ(st3.budget, 9u);
    // ... while the commune-less stream is then in ordinary mode.
    EXPECT_EQ(collect(*x, "hauptweg", no_number, st3).streets, (CandidateMap{{0, kStrict}, {2, kStrict}}));
    EXPECT_EQ(st3.budget, 9u);
    EXPECT_TRUE(st3.seen.empty());

    // Ordinary lookups with the same words.
    EXPECT_EQ(collect(*x, "hauptweg cedorf", ask(10115, 5)).streets,
              (CandidateMap{{2, kStrictCommune}}));
    EXPECT_EQ(collect(*x, "hauptweg cedorf", ask(20095, 5)).streets,
              (CandidateMap{{2, slots({S::street_exact, S::commune_exact})}}));
}

TEST(CollectCandidatesStrict, OnlyOnGermanSheetsOfFormatSeven) {
    const Ask strict = ask(10115, 9, true);
    for (auto [country, version] : {std::pair<std::string, uint8_t>{"fr", 7}, {"de", 6}}) {
        SearchSheet x(german_sheet(country, version));
        ASSERT_TRUE(x.ok());
        SearchState st;
        st.budget = 0;
        // The commune-less stream is ordinary (house 9 exists nowhere) ...
        Candidates c = collect(*x, "hauptweg", strict, st);
        EXPECT_EQ(c.streets, (CandidateMap{{0, kStrict}, {2, kStrict}})) << country << int(version);
        EXPECT_FALSE(c.abort);
        EXPECT_TRUE(st.seen.empty());
        // ... and commune lookups find nothing at all, at no cost.
        c = collect(*x, "hauptweg cedorf", strict, st);
        EXPECT_EQ(c.streets, CandidateMap{}) << country << int(version);
        EXPECT_FALSE(c.abort);
    }
}

}  // namespace
}  // namespace tarnwik
