// The builder's contract: strictly increasing keys, refusals that leave it
// usable, and versions it can write.
#include <gtest/gtest.h>

#include <stdexcept>

#include "fst/fst_test_util.hpp"

namespace {

using namespace fsttest;
using tarnwik::build::fst::build_map;
using tarnwik::build::fst::MapBuilder;

TEST(MapBuilder, RefusesKeysOutOfOrderAndStaysUsable) {
    struct Row {
        const char* what;
        std::string accepted;  // inserted first
        std::string refused;
    };
    const std::vector<Row> rows = {
        {"equal", "abc", "abc"},
        {"smaller", "abd", "abc"},
        {"prefix of the previous key", "abc", "ab"},
        {"empty after a key", "a", ""},
        {"empty twice", "", ""},
        // 0x80 sorts above ASCII: a signed comparison would accept this.
        {"high byte then ascii", "\x80", "z"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        MapBuilder b(3);
        ASSERT_TRUE(b.insert(r.accepted, 1).has_value());
        auto bad = b.insert(r.refused, 2);
        ASSERT_FALSE(bad.has_value());
        EXPECT_FALSE(bad.error().message.empty());
        // The refusal changed nothing: a proper next key still goes in.
        const std::string next = r.accepted + "\xFF";
        ASSERT_TRUE(b.insert(next, 3).has_value());
        EXPECT_EQ(b.key_count(), 2u);
        const std::string bytes = b.finish();
        EXPECT_EQ(collect(open_map(bytes).range()).items, (Pairs{{r.accepted, 1}, {next, 3}}));
    }
}

TEST(MapBuilder, AcceptsUnsignedByteOrder) {
    MapBuilder b(1);
    for (const char* k : {"", "\x01", "z", "\x7F", "\x80", "\xFF", "\xFF\xFF"})
        ASSERT_TRUE(b.insert(k, 9).has_value()) << static_cast<int>(static_cast<uint8_t>(k[0]));
}

TEST(MapBuilder, NoInsertAfterFinish) {
    MapBuilder b(2);
    ASSERT_TRUE(b.insert("a", 1).has_value());
    const std::string bytes = b.finish();
    EXPECT_FALSE(b.insert("b", 2).has_value());
    EXPECT_EQ(open_map(bytes).get("a"), 1u);
}

TEST(MapBuilder, VersionsOutsideOneToThreeAreRefused) {
    EXPECT_THROW(MapBuilder(0), std::invalid_argument);
    EXPECT_THROW(MapBuilder(4), std::invalid_argument);
    EXPECT_NO_THROW(MapBuilder(1));
}

TEST(MapBuilder, BuildMapRefusesUnsortedInput) {
    EXPECT_THROW(build_map({{"b", 1}, {"a", 2}}), std::invalid_argument);
    EXPECT_THROW(build_map({{"a", 1}, {"a", 2}}), std::invalid_argument);
}

TEST(MapBuilder, TinyMapsReachTheMinimumSize) {
    // Versions 1 and 2 of a map with no keys or one short key would be
    // shorter than any reader accepts; they still open and read back.
    for (int version = 1; version <= 3; ++version) {
        for (const Ref& ref : {Ref{}, Ref{{"", 0}}, Ref{{"t", 0}}, Ref{{"tx", 0}}, Ref{{"a", 42}}}) {
            const std::string bytes = build(ref, version);
            EXPECT_GE(bytes.size(), 36u);
            EXPECT_EQ(collect(open_map(bytes).range()).items, pairs_of(ref)) << "v" << version;
        }
    }
}

}  // namespace
