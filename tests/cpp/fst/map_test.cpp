// Lookups and streams over built maps agree with a std::map, for every key
// shape and all three format versions.
#include <gtest/gtest.h>

#include "fst/fst_test_util.hpp"

namespace {

using namespace fsttest;
using tarnwik::fst::AlwaysMatch;
using tarnwik::fst::Bound;
using tarnwik::fst::Map;
using tarnwik::fst::StartsWith;

struct Case {
    Scenario scenario;
    int version;
};

std::vector<Case> cases() {
    std::vector<Case> out;
    for (const Scenario& s : scenarios())
        for (int v = 1; v <= 3; ++v) out.push_back({s, v});
    return out;
}

class MapAgrees : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        ref_ = GetParam().scenario.keys;
        bytes_ = build(ref_, GetParam().version);
        map_ = open_map(bytes_);
        rng_.seed(ref_.size() * 31 + GetParam().version);
    }

    // Probe strings: every key, every key's prefixes and one-byte extensions,
    // and random strings over the keys' own bytes.
    std::vector<std::string> probes() {
        std::set<std::string> p{"", std::string("\x00", 1), "\xFF", "zzzz"};
        std::string alphabet;
        for (const auto& [k, v] : ref_) {
            alphabet += k;
            p.insert(k);
            for (size_t n = 0; n < k.size() && p.size() < 6000; n += 1 + k.size() / 4) p.insert(k.substr(0, n));
            p.insert(k + '\x00');
            p.insert(k + '\xFF');
            if (!k.empty()) {
                std::string bumped = k;
                bumped.back() = static_cast<char>(static_cast<uint8_t>(bumped.back()) + 1);
                p.insert(bumped);
            }
            if (p.size() > 6000) break;
        }
        if (alphabet.empty()) alphabet = "ab";
        for (int i = 0; i < 300; ++i) p.insert(random_string(rng_, alphabet, 0, 8));
        return {p.begin(), p.end()};
    }

    // A few bound texts: absent and present keys, prefixes, extremes.
    std::vector<std::string> bound_texts() {
        std::vector<std::string> t{"", std::string("\x00", 1), "\xFF\xFF"};
        std::vector<std::string> all = probes();
        std::uniform_int_distribution<size_t> pick(0, all.size() - 1);
        for (int i = 0; i < 5; ++i) t.push_back(all[pick(rng_)]);
        if (!ref_.empty()) {
            t.push_back(ref_.begin()->first);
            t.push_back(ref_.rbegin()->first);
        }
        return t;
    }

    std::vector<Bound> bounds() {
        std::vector<Bound> b{Bound::unbounded()};
        for (const std::string& s : bound_texts()) {
            b.push_back(Bound::included(s));
            b.push_back(Bound::excluded(s));
        }
        return b;
    }

    Ref ref_;
    std::string bytes_;
    Map map_;
    std::mt19937_64 rng_;
};

TEST_P(MapAgrees, FooterAndGet) {
    EXPECT_EQ(map_.key_count(), ref_.size());
    EXPECT_EQ(map_.version(), static_cast<uint64_t>(GetParam().version));
    for (const std::string& p : probes()) {
        auto it = ref_.find(p);
        const std::optional<uint64_t> want =
            it == ref_.end() ? std::nullopt : std::optional<uint64_t>(it->second);
        ASSERT_EQ(map_.get(p), want) << "key of " << p.size() << " bytes";
    }
}

TEST_P(MapAgrees, RangeWithEveryBoundCombination) {
    const std::vector<Bound> bs = bounds();
    for (const Bound& lo : bs)
        for (const Bound& hi : bs) {
            Collected got = collect(map_.range(lo, hi));
            ASSERT_FALSE(got.corrupt);
            ASSERT_EQ(got.items, brute(ref_, lo, hi, [](const std::string&) { return true; }))
                << "lower kind " << int(lo.kind) << " '" << lo.bytes << "', upper kind " << int(hi.kind)
                << " '" << hi.bytes << "'";
        }
}

TEST_P(MapAgrees, PrefixRangeYieldsExactlyThePrefixedKeys) {
    for (const std::string& p : bound_texts()) {
        Collected got = collect(map_.range(Bound::included(p), Bound::excluded(p + '\xFF')));
        Pairs want;
        for (const auto& [k, v] : ref_)
            if (k.starts_with(p) && !(k.size() > p.size() && k[p.size()] == '\xFF')) want.emplace_back(k, v);
        ASSERT_EQ(got.items, want) << "prefix of " << p.size() << " bytes";
    }
}

TEST_P(MapAgrees, AutomatonStreamsAgreeWithBruteForce) {
    // Members: some keys, some prefixes of keys, some strings not in the map.
    std::set<std::string> members;
    std::vector<std::string> all = probes();
    std::uniform_int_distribution<size_t> pick(0, all.size() - 1);
    for (int i = 0; i < 25; ++i) members.insert(all[pick(rng_)]);
    const SetAutomaton a(members);
    auto has_member_prefix = [&](const std::string& k) {
        for (size_t n = 0; n <= k.size(); ++n)
            if (a.contains(k.substr(0, n))) return true;
        return false;
    };

    std::vector<Bound> bs = bounds();
    bs.resize(std::min<size_t>(bs.size(), 9));
    for (const Bound& lo : bs)
        for (const Bound& hi : bs) {
            Collected exact = collect(map_.stream(a, lo, hi));
            ASSERT_FALSE(exact.corrupt);
            ASSERT_EQ(exact.items, brute(ref_, lo, hi, [&](const std::string& k) { return a.contains(k); }));

            Collected pre = collect(map_.stream(StartsWith<SetAutomaton>(a), lo, hi));
            ASSERT_FALSE(pre.corrupt);
            ASSERT_EQ(pre.items, brute(ref_, lo, hi, has_member_prefix));
        }
}

TEST_P(MapAgrees, StartsWithOverEmptyMatchAcceptsEveryKey) {
    // An inner automaton that matches at the start makes every key a match,
    // even one that the inner automaton could never step through.
    const SetAutomaton a({"", "never-a-key-prefix"});
    Collected got = collect(map_.stream(StartsWith<SetAutomaton>(a)));
    EXPECT_EQ(got.items, pairs_of(ref_));
    EXPECT_FALSE(got.corrupt);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, MapAgrees, ::testing::ValuesIn(cases()),
                         [](const auto& info) {
                             return info.param.scenario.name + "_v" + std::to_string(info.param.version);
                         });

TEST(MapStream, KeyBufferHoldsTheYieldedKey) {
    const Ref ref{{"alpha", 1}, {"alphabet", 2}, {"beta", 3}};
    const std::string bytes = build(ref, 3);
    const Map m = open_map(bytes);
    auto s = m.range();
    std::vector<std::string> keys;
    while (s.next()) keys.emplace_back(s.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"alpha", "alphabet", "beta"}));
    EXPECT_FALSE(s.next());  // stays at the end
}

TEST(MapStream, DeadStartStateYieldsNothing) {
    const std::string bytes = build({{"", 1}, {"a", 2}}, 3);
    const Map m = open_map(bytes);
    Collected got = collect(m.stream(SetAutomaton({})));
    EXPECT_TRUE(got.items.empty());
    EXPECT_FALSE(got.corrupt);
}

TEST(MapHandle, DefaultHandleHasNoKeys) {
    const Map m;
    EXPECT_EQ(m.key_count(), 0u);
    EXPECT_EQ(m.get(""), std::nullopt);
    EXPECT_EQ(m.get("a"), std::nullopt);
    Collected got = collect(m.range());
    EXPECT_TRUE(got.items.empty());
    EXPECT_FALSE(got.corrupt);
}

TEST(MapLargeSet, HundredThousandAddressLikeKeys) {
    // Street-commune shaped keys at a size where a slow registry or a
    // non-minimal build would show.
    std::mt19937_64 rng(7);
    const char* types[] = {"rue ", "avenue ", "chemin ", "place ", "impasse ", "boulevard "};
    Ref ref;
    while (ref.size() < 100000) {
        std::string k = std::string(types[rng() % 6]) + random_string(rng, "abcdefghilmnoprstu ", 3, 14) +
                        '\x1F' + std::to_string(10000 + rng() % 3000);
        ref[k] = ref.size();
    }
    const std::string bytes = build(ref, 3);
    const Map m = open_map(bytes);
    EXPECT_EQ(m.key_count(), ref.size());
    Collected all = collect(m.range());
    EXPECT_EQ(all.items, pairs_of(ref));
    for (int i = 0; i < 2000; ++i) {
        std::string p = std::string(types[rng() % 6]) + random_string(rng, "abcdefghilmnoprstu ", 3, 14);
        auto it = ref.lower_bound(p);
        if (it != ref.end() && rng() % 2) p = it->first;
        const auto want = ref.count(p) ? std::optional<uint64_t>(ref.at(p)) : std::nullopt;
        ASSERT_EQ(m.get(p), want);
    }
}

}  // namespace
