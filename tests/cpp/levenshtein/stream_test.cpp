// Streaming FST maps through the automaton, directly and through the
// starts-with adapter: exactly the keys within the distance (or with a prefix
// within it), in map order, with their values.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "index/fst/map.hpp"
#include "lev_test_util.hpp"
#include "levenshtein/levenshtein.hpp"

namespace {

using tarnwik::fst::Bound;
using tarnwik::fst::StartsWith;
using tarnwik::levenshtein::Levenshtein;

Levenshtein build(std::string_view q, uint32_t d) {
    auto r = Levenshtein::create(q, d);
    if (!r) throw std::runtime_error("automaton not built");
    return *r;
}

TEST(LevenshteinStream, StreetCommuneKeysThroughStartsWith) {
    const std::set<std::string> keys = {
        "rue victor hugo\x1F" "75056", "rue victor hugi\x1F" "69123", "rue victor hugues\x1F" "13055",
        "rue vixtor hxgo\x1F" "75056", "rue victor\x1F" "75056",      "avenue victor hugo\x1F" "75056",
        "ue victor hugo\x1F" "31555",  "rue victor hugo\x1F",         "rue victorhugo\x1F" "33063",
    };
    const auto built = levtest::build_map(levtest::pairs_of(keys));
    const auto got = levtest::collect(built.map.stream(StartsWith(build("rue victor hugo", 1))));
    std::set<std::string> names;
    for (const auto& [k, v] : got) names.insert(k);
    const std::set<std::string> want = {
        "rue victor hugo\x1F" "75056", "rue victor hugi\x1F" "69123",
        "rue victor hugues\x1F" "13055",  // its beginning "rue victor hugu" is one edit away
        "ue victor hugo\x1F" "31555",     "rue victor hugo\x1F", "rue victorhugo\x1F" "33063",
    };
    EXPECT_EQ(names, want);
    // Without the adapter the separator and commune count as edits: only the
    // key with an empty commune is still one edit away.
    const auto whole = levtest::collect(built.map.stream(build("rue victor hugo", 1)));
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].first, "rue victor hugo\x1F");
}

// Random key sets per script and distance. Each stream must yield exactly
// the expected keys, ascending, with the values the map holds for them.
TEST(LevenshteinStream, RandomKeySetsMatchTheDistanceTable) {
    std::mt19937_64 rng(21);
    for (const auto& script : levtest::scripts()) {
        for (uint32_t d = 0; d <= 2; ++d) {
            size_t plain_hits = 0, prefix_only_hits = 0;
            for (int trial = 0; trial < 25; ++trial) {
                const std::string q = levtest::random_text(rng, script, 7);
                std::set<std::string> keys;
                for (int i = 0; i < 150; ++i) keys.insert(levtest::random_text(rng, script, 9));
                for (int i = 0; i < 150; ++i) {
                    std::string k = levtest::mutate(rng, script, q, rng() % (d + 3));
                    if (i % 3 == 0) k += levtest::random_text(rng, script, 4);  // continues past a near match
                    if (i % 5 == 0) k += "\x1F" + std::to_string(rng() % 100);
                    keys.insert(k);
                }
                const auto pairs = levtest::pairs_of(keys);
                const auto built = levtest::build_map(pairs);

                levtest::Pairs want, want_prefix;
                for (const auto& p : pairs) {
                    if (levtest::distance(q, p.first) <= d) want.push_back(p);
                    if (levtest::has_prefix_within(q, p.first, d)) want_prefix.push_back(p);
                }
                SCOPED_TRACE(testing::Message() << script.name << " q=\"" << q << "\" d=" << d);
                const Levenshtein lev = build(q, d);
                EXPECT_EQ(levtest::collect(built.map.stream(lev)), want);
                EXPECT_EQ(levtest::collect(built.map.stream(StartsWith(lev))), want_prefix);
                plain_hits += want.size();
                prefix_only_hits += want_prefix.size() - want.size();
            }
            EXPECT_GT(plain_hits, d == 0 ? 20u : 100u) << script.name << " d=" << d;
            EXPECT_GT(prefix_only_hits, 100u) << script.name << " d=" << d;
        }
    }
}

// The automaton combined with a key range: the range's keys that it accepts.
TEST(LevenshteinStream, WithinBounds) {
    std::set<std::string> keys;
    for (const char* k : {"bahnhofstr", "bahnhofstrasse", "bahnhofweg", "bahnofstr", "banhofstr", "hauptstr",
                          "bahnhofst", "bahnhofstr.", "xbahnhofstr"})
        keys.insert(k);
    const auto built = levtest::build_map(levtest::pairs_of(keys));
    const Levenshtein lev = build("bahnhofstr", 1);
    std::vector<std::string> got;
    for (const auto& [k, v] : levtest::collect(built.map.stream(lev, Bound::included("bahnhofst"), Bound::excluded("bahnof"))))
        got.push_back(k);
    EXPECT_EQ(got, (std::vector<std::string>{"bahnhofst", "bahnhofstr", "bahnhofstr."}));
}

}  // namespace
