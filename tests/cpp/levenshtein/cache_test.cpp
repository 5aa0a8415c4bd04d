// LEV_CACHE: hits, cached failures, emptying when full, and one cache per
// thread.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "levenshtein/levenshtein.hpp"

namespace {

using namespace tarnwik::levenshtein;

std::string too_long() {
    std::string q;
    for (int i = 0; i < 120; ++i) q += static_cast<char>('a' + i % 26);
    return q;
}

class LevCache : public ::testing::Test {
protected:
    void SetUp() override { clear_cache(); }
    void TearDown() override { clear_cache(); }
};

TEST_F(LevCache, SecondRequestIsAHit) {
    const CacheStats before = cache_stats();
    const auto a = from_cache("rue victor hugo", 1);
    ASSERT_TRUE(a.has_value());
    EXPECT_TRUE(a->matches("rue victor hugi"));
    const auto b = from_cache("rue victor hugo", 1);
    ASSERT_TRUE(b.has_value());
    const CacheStats after = cache_stats();
    EXPECT_EQ(after.builds, before.builds + 1);
    EXPECT_EQ(after.hits, before.hits + 1);
    EXPECT_EQ(after.entries, 1u);
    EXPECT_EQ(&a->dfa(), &b->dfa());  // the same automaton, not a copy

    // Query and bound together are the key.
    const auto c = from_cache("rue victor hugo", 2);
    ASSERT_TRUE(c.has_value());
    EXPECT_NE(&a->dfa(), &c->dfa());
    EXPECT_TRUE(c->matches("rue victor hxgi"));
    EXPECT_FALSE(a->matches("rue victor hxgi"));
    EXPECT_EQ(cache_stats().entries, 2u);
}

TEST_F(LevCache, FailureIsCachedToo) {
    const std::string q = too_long();
    const CacheStats before = cache_stats();
    EXPECT_FALSE(from_cache(q, 2).has_value());
    EXPECT_FALSE(from_cache(q, 2).has_value());
    const CacheStats after = cache_stats();
    EXPECT_EQ(after.builds, before.builds + 1);
    EXPECT_EQ(after.hits, before.hits + 1);
    EXPECT_EQ(after.entries, 1u);
    // The same text at distance 0 is a different request, and builds.
    EXPECT_TRUE(from_cache(q, 0).has_value());
}

TEST_F(LevCache, FullCacheIsEmptiedByTheNextMiss) {
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(from_cache("q" + std::to_string(i), 0).has_value());
    EXPECT_EQ(cache_stats().entries, 256u);
    // Hits leave a full cache alone.
    const uint64_t builds = cache_stats().builds;
    ASSERT_TRUE(from_cache("q7", 0).has_value());
    EXPECT_EQ(cache_stats().entries, 256u);
    EXPECT_EQ(cache_stats().builds, builds);
    // A miss empties it first, then holds just the new entry.
    const auto kept = from_cache("q0", 0);
    const auto fresh = from_cache("new", 1);
    ASSERT_TRUE(fresh.has_value());
    EXPECT_EQ(cache_stats().entries, 1u);
    EXPECT_EQ(cache_stats().builds, builds + 1);
    // Earlier entries are built again on request.
    ASSERT_TRUE(from_cache("q0", 0).has_value());
    EXPECT_EQ(cache_stats().builds, builds + 2);
    EXPECT_EQ(cache_stats().entries, 2u);
    // An automaton handed out before the emptying stays usable.
    ASSERT_TRUE(kept.has_value());
    EXPECT_TRUE(kept->matches("q0"));
    EXPECT_FALSE(kept->matches("q1"));
}

TEST_F(LevCache, ClearEmpties) {
    ASSERT_TRUE(from_cache("rue", 1).has_value());
    ASSERT_TRUE(from_cache("rue", 2).has_value());
    clear_cache();
    EXPECT_EQ(cache_stats().entries, 0u);
    const uint64_t builds = cache_stats().builds;
    ASSERT_TRUE(from_cache("rue", 1).has_value());
    EXPECT_EQ(cache_stats().builds, builds + 1);
}

TEST_F(LevCache, EachThreadHasItsOwn) {
    ASSERT_TRUE(from_cache("rue", 1).has_value());
    const CacheStats mine = cache_stats();
    CacheStats theirs_before, theirs_after;
    bool matched = false;
    std::thread t([&] {
        theirs_before = cache_stats();
        auto lev = from_cache("rue", 1);
        matched = lev && lev->matches("rua");
        theirs_after = cache_stats();
    });
    t.join();
    EXPECT_EQ(theirs_before.entries, 0u);
    EXPECT_EQ(theirs_after.builds, 1u);  // built there, not found
    EXPECT_EQ(theirs_after.hits, 0u);
    EXPECT_TRUE(matched);
    const CacheStats now = cache_stats();
    EXPECT_EQ(now.entries, mine.entries);
    EXPECT_EQ(now.builds, mine.builds);
    EXPECT_EQ(now.hits, mine.hits);
}

}  // namespace
