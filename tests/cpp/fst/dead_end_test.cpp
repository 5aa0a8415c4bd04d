// Maps whose paths end in nodes that end no key. A well-formed map has such
// a node (not final, no transitions) only as the root of an empty map; below
// the root it can only come from damaged data, and a DAG of them must end a
// walk at once: otherwise every one of its exponentially many paths is
// walked without meeting the final node that bounds a walk by the footer's
// key count.
#include <gtest/gtest.h>

#include <memory>

#include "fst/fst_test_util.hpp"
#include "fst/hostile_maps.hpp"
#include "levenshtein/levenshtein.hpp"

namespace {

using namespace fsttest;
using tarnwik::ByteView;
using tarnwik::fst::Bound;
using tarnwik::fst::Map;
using tarnwik::fst::StartsWith;

// Owns exactly the map's bytes, so the sanitizer build catches stray reads.
struct Exact {
    explicit Exact(const std::string& s) : bytes(new uint8_t[s.size()]), size(s.size()) {
        std::memcpy(bytes.get(), s.data(), s.size());
    }
    Map open() const {
        auto m = Map::open(ByteView(bytes.get(), size));
        if (!m) throw std::runtime_error(m.error().message);
        return *m;
    }
    std::unique_ptr<uint8_t[]> bytes;
    size_t size;
};

TEST(MapDeadEnds, DagOfDeadEndsEndsStreamsAsCorrupt) {
    // 2^20 paths: walked one by one, the streams below would take seconds
    // and end without reporting anything wrong.
    const Exact bytes(dead_end_dag(20));
    const Map map = bytes.open();

    auto all = map.range();
    Collected c = collect(all);
    EXPECT_TRUE(c.items.empty());
    EXPECT_TRUE(c.corrupt);

    auto bounded = map.range(Bound::included("ab"), Bound::excluded("b"));
    c = collect(bounded);
    EXPECT_TRUE(c.items.empty());
    EXPECT_TRUE(c.corrupt);

    // Fuzzy scans: once the query "ab" has matched, StartsWith accepts
    // every continuation, so it too would walk every path below.
    auto lev = tarnwik::levenshtein::Levenshtein::create("ab", 1);
    ASSERT_TRUE(lev);
    auto fuzzy = map.stream(StartsWith(*lev));
    c = collect(fuzzy);
    EXPECT_TRUE(c.items.empty());
    EXPECT_TRUE(c.corrupt);

    // Lookups read one path and simply find nothing.
    EXPECT_EQ(map.get("ab"), std::nullopt);
    EXPECT_EQ(map.get(std::string(20, 'a')), std::nullopt);
}

TEST(MapDeadEnds, EmptyMapRootIsNoDeadEnd) {
    for (int version : {1, 2, 3}) {
        const std::string bytes = build({}, version);
        const Map map = open_map(bytes);
        auto all = map.range();
        const Collected c = collect(all);
        EXPECT_TRUE(c.items.empty()) << version;
        EXPECT_FALSE(c.corrupt) << version;
    }
}

}  // namespace
