// The byte format: open checks and messages, hand-assembled maps read
// without the builder, the node kinds the builder writes, checksums, and
// minimality of the built transducer.
#include <gtest/gtest.h>

#include "build/fst/raw/crc32c.hpp"
#include "fst/fst_test_util.hpp"

namespace {

using namespace fsttest;
using tarnwik::ByteView;
using tarnwik::fst::Bound;
using tarnwik::fst::Map;
namespace raw = tarnwik::fst::raw;

std::string u64le(uint64_t v) {
    std::string s;
    for (int k = 0; k < 8; ++k) s.push_back(static_cast<char>(v >> (8 * k)));
    return s;
}

// Header, the given node area, footer and (version 3) a checksum.
std::string assemble(uint64_t version, const std::string& nodes, uint64_t key_count, uint64_t root,
                     uint32_t checksum = 0) {
    std::string s = u64le(version) + u64le(0) + nodes + u64le(key_count) + u64le(root);
    if (version >= 3) s += u64le(checksum).substr(0, 4);
    return s;
}

std::string bytes_of(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s.push_back(static_cast<char>(x));
    return s;
}

tarnwik::Result<Map> open_bytes(const std::string& s) { return Map::open(ByteView(std::string_view(s))); }

const std::string kFormatTail =
    " bytes: An unknown error occurred. This usually means you're trying to read data that isn't "
    "actually an encoded FST.";

TEST(MapOpen, RefusesWithExactMessages) {
    struct Row {
        const char* what;
        std::string bytes;
        std::string message_start;
        bool whole_message;
    };
    const std::string good = build({{"a", 1}}, 3);
    const std::vector<Row> rows = {
        {"35 bytes", std::string(35, '\0'), "Error opening FST with size 35" + kFormatTail, true},
        {"empty slice", "", "Error opening FST with size 0" + kFormatTail, true},
        {"version 4", u64le(4) + good.substr(8), "Error opening FST: expected API version 3, got API version 4",
         false},
        {"version 0", u64le(0) + good.substr(8), "Error opening FST: expected API version 3, got API version 0",
         false},
        // Root 0 is only valid for a map exactly header and footer long.
        {"root 0 on a long v1 slice", assemble(1, "xyzwabcd", 0, 0), "Error opening FST with size 40" + kFormatTail,
         true},
        {"root 0 on a 36-byte v2 slice", assemble(2, "abcd", 0, 0),
         "Error opening FST with size 36" + kFormatTail, true},
        {"root 0 on a 37-byte v3 slice", assemble(3, "q", 1, 0), "Error opening FST with size 37" + kFormatTail,
         true},
    };
    for (const Row& r : rows) {
        auto m = open_bytes(r.bytes);
        ASSERT_FALSE(m.has_value()) << r.what;
        if (r.whole_message) {
            EXPECT_EQ(m.error().message, r.message_start) << r.what;
        } else {
            const std::string& msg = m.error().message;
            EXPECT_TRUE(msg.starts_with(r.message_start)) << r.what << ": " << msg;
            // Followed by one explanatory sentence.
            EXPECT_TRUE(msg.ends_with(".")) << msg;
            EXPECT_GT(msg.size(), r.message_start.size() + 20) << msg;
        }
    }
}

TEST(MapOpen, RootZeroIsTheBareVersion3Map) {
    // Exactly header and footer: the root is the empty final node, so the
    // map holds the empty key with value 0.
    const std::string s = assemble(3, "", 1, 0, 0xDEADBEEF);
    ASSERT_EQ(s.size(), 36u);
    auto m = open_bytes(s);
    ASSERT_TRUE(m.has_value()) << m.error().message;
    EXPECT_EQ(m->key_count(), 1u);
    EXPECT_EQ(m->checksum(), 0xDEADBEEFu);
    EXPECT_EQ(m->get(""), 0u);
    EXPECT_EQ(m->get("a"), std::nullopt);
    EXPECT_EQ(collect(m->range()).items, (Pairs{{"", 0}}));
}

TEST(MapOpen, ChecksumIsCarriedNeverVerified) {
    const Ref ref{{"abc", 1}, {"abd", 2}, {"b", 300}};
    for (int v = 1; v <= 3; ++v) {
        std::string s = build(ref, v);
        Map m = open_map(s);
        if (v < 3) {
            EXPECT_EQ(m.checksum(), std::nullopt);
            continue;
        }
        // The builder writes CRC-32C of everything before it.
        const uint32_t crc = tarnwik::build::fst::raw::crc32c(std::string_view(s).substr(0, s.size() - 4));
        EXPECT_EQ(m.checksum(), crc);
        for (size_t i = s.size() - 4; i < s.size(); ++i) s[i] = static_cast<char>(~s[i]);
        Map flipped = open_map(s);
        EXPECT_EQ(flipped.checksum(), ~crc);
        EXPECT_EQ(collect(flipped.range()).items, pairs_of(ref));
        EXPECT_EQ(flipped.get("b"), 300u);
    }
}

TEST(MapOpen, Crc32cKnownValue) {
    EXPECT_EQ(tarnwik::build::fst::raw::crc32c("123456789"), 0xE3069283u);
    EXPECT_EQ(tarnwik::build::fst::raw::crc32c(""), 0u);
    // Longer than one 8-byte block and not a multiple of it.
    EXPECT_EQ(tarnwik::build::fst::raw::crc32c("The quick brown fox jumps over the lazy dog"), 0x22620404u);
}

TEST(MapOpen, HeaderFieldsAreCarried) {
    tarnwik::build::fst::MapBuilder b(2, 0x1234567890ull);
    ASSERT_TRUE(b.insert("k", 5).has_value());
    const std::string s = b.finish();
    Map m = open_map(s);
    EXPECT_EQ(m.map_type(), 0x1234567890ull);
    EXPECT_EQ(m.version(), 2u);
    EXPECT_EQ(m.key_count(), 1u);
}

// Maps assembled byte by byte from the format, read without the builder.
struct HandMap {
    const char* name;
    uint64_t version;
    std::string nodes;  // from position 16 on
    uint64_t root;
    Pairs keys;         // everything the map holds, in order
    std::vector<std::string> absent;
};

std::vector<HandMap> hand_maps() {
    std::vector<HandMap> out;
    // Any-transitions root with two transitions straight to address 0
    // (delta size 0) and 2-byte outputs, transition 0 nearest the top.
    out.push_back({"any_two_to_empty", 2,
                   bytes_of({0x2C, 0x01, 0x02, 0x00, 'y', 'x', 0x02, 0x02}),
                   23,
                   {{"x", 2}, {"y", 300}},
                   {"", "z", "xy"}});
    // "te" -> 5: the root is a one-transition-to-next node on common 't'
    // (index 1); below it a one-transition node on common 'e' (index 2) with
    // output 5 and delta 0.
    out.push_back({"next_then_one", 1, bytes_of({0x05, 0x01, 0x82, 0xC1}), 19, {{"te", 5}}, {"t", "", "tee"}});
    // Explicit input bytes (index 0): "\xFF\x01" -> 7.
    out.push_back({"explicit_inputs", 1, bytes_of({0x07, 0x01, 0x01, 0x80, 0xFF, 0xC0}), 21,
                   {{std::string("\xFF\x01"), 7}}, {"\xFF"}});
    // One-transition root with an explicit target one byte below its lowest
    // byte (delta 1) and the final "ab" node reached with output 1.
    out.push_back({"one_with_delta", 3, bytes_of({0x01, 0x01, 0x80 | 26, 0x01, 0x10, 0x85}), 21,
                   {{"ab", 1}}, {"a", "b"}});
    // Final root with a final output (stored because the output size is 1)
    // and one transition; the count sits in the state byte.
    out.push_back({"final_root_with_output", 1, bytes_of({0x09, 0x04, 'c', 0x01, 0x41}), 20,
                   {{"", 9}, {"c", 4}}, {"cc"}});
    // Count byte 0: a non-final node without transitions (the empty map),
    // above one unused byte.
    out.push_back({"no_keys", 2, bytes_of({0x00, 0x00, 0x00, 0x00}), 19, {}, {"", "a"}});
    {
        // 256 transitions (count byte 1), output i on byte i, all to address 0.
        std::string n;
        for (int i = 255; i >= 0; --i) n.push_back(static_cast<char>(i));  // outputs
        for (int i = 255; i >= 0; --i) n.push_back(static_cast<char>(i));  // inputs
        n += bytes_of({0x01, 0x01, 0x00});
        Pairs keys;
        for (int i = 0; i < 256; ++i) keys.emplace_back(std::string(1, static_cast<char>(i)), i);
        out.push_back({"count_byte_256_v1", 1, n, 16 + n.size() - 1, keys, {"", "aa"}});

        // The same node in version 2 carries the 256-byte index between the
        // inputs and the sizes byte.
        std::string n2;
        for (int i = 255; i >= 0; --i) n2.push_back(static_cast<char>(i));
        for (int i = 255; i >= 0; --i) n2.push_back(static_cast<char>(i));
        for (int b = 0; b < 256; ++b) n2.push_back(static_cast<char>(b));
        n2 += bytes_of({0x01, 0x01, 0x00});
        out.push_back({"count_byte_256_v2_index", 2, n2, 16 + n2.size() - 1, keys, {"", "aa"}});
    }
    {
        // 40 transitions on even bytes 0..78, version 2: index entries for odd
        // bytes hold 0xFF (none); version 1 has no index at all.
        std::string outs, ins, idx(256, '\xFF');
        Pairs keys;
        for (int i = 39; i >= 0; --i) outs.push_back(static_cast<char>(100 + i));
        for (int i = 39; i >= 0; --i) ins.push_back(static_cast<char>(2 * i));
        for (int i = 0; i < 40; ++i) {
            idx[2 * i] = static_cast<char>(i);
            keys.emplace_back(std::string(1, static_cast<char>(2 * i)), 100 + i);
        }
        const std::string v2 = outs + ins + idx + bytes_of({0x01, 40});
        out.push_back({"forty_v2_index", 2, v2, 16 + v2.size() - 1, keys, {"\x01", "\x4F", "\x50"}});
        const std::string v1 = outs + ins + bytes_of({0x01, 40});
        out.push_back({"forty_v1_scan", 1, v1, 16 + v1.size() - 1, keys, {"\x01", "\x4F", "\x50"}});
    }
    return out;
}

TEST(MapFormat, HandAssembledMapsRead) {
    for (const HandMap& h : hand_maps()) {
        SCOPED_TRACE(h.name);
        const std::string s = assemble(h.version, h.nodes, h.keys.size(), h.root);
        auto m = open_bytes(s);
        ASSERT_TRUE(m.has_value()) << m.error().message;
        for (const auto& [k, v] : h.keys) EXPECT_EQ(m->get(k), v) << "key " << k.size() << " bytes";
        for (const std::string& k : h.absent) EXPECT_EQ(m->get(k), std::nullopt);
        Collected all = collect(m->range());
        EXPECT_FALSE(all.corrupt);
        EXPECT_EQ(all.items, h.keys);
    }
}

TEST(MapFormat, BuilderWritesEveryNodeKind) {
    // A census of the nodes in built maps: the compact kinds are all in use,
    // the byte index appears exactly where the version asks for it.
    Ref merged;
    for (const Scenario& s : scenarios())
        for (const auto& [k, v] : s.keys) merged.emplace(k, v);
    merged.erase("");
    merged[""] = 12345;  // final root with an output
    // Outputs sit as high as possible, so a lone transition carries one only
    // at the root.
    const std::vector<Ref> sets{merged, {{"zz", 42}}};
    for (int version = 1; version <= 3; ++version) {
        SCOPED_TRACE("version " + std::to_string(version));
        bool one_next = false, one_common = false, one_explicit = false, one_output = false, one_delta0 = false,
             any_low_count = false, any_count_byte = false, any_256 = false, any_final_output = false,
             any_wide = false, any_wide_indexed = false, empty_target = false;
        for (const Ref& ref : sets) {
            const std::string bytes = build(ref, version);
            const Map m = open_map(bytes);
            ASSERT_EQ(collect(m.range()).items, pairs_of(ref));
            for (const auto& [addr, n] : reachable_nodes(m)) {
                const uint8_t state = addr == 0 ? 0 : m.slice().data()[addr];
                switch (n.kind()) {
                    case raw::NodeKind::OneNext:
                        one_next = true;
                        break;
                    case raw::NodeKind::One:
                        ((state & 0x3F) ? one_common : one_explicit) = true;
                        one_output |= n.transition(0).output != 0;
                        one_delta0 |= n.transition(0).target == 0;
                        break;
                    case raw::NodeKind::Any:
                        ((state & 0x3F) ? any_low_count : any_count_byte) = true;
                        any_256 |= n.len() == 256;
                        any_final_output |= n.is_final() && n.final_output() != 0;
                        if (n.len() > 32) {
                            any_wide = true;
                            any_wide_indexed |= n.has_index();
                            EXPECT_EQ(n.has_index(), version >= 2);
                        }
                        break;
                    case raw::NodeKind::Empty:
                        empty_target = true;
                        break;
                }
            }
        }
        EXPECT_TRUE(one_next);
        EXPECT_TRUE(one_common);
        EXPECT_TRUE(one_explicit);
        EXPECT_TRUE(one_output);
        EXPECT_TRUE(one_delta0);
        EXPECT_TRUE(any_low_count);
        EXPECT_TRUE(any_count_byte);
        EXPECT_TRUE(any_256);
        EXPECT_TRUE(any_final_output);
        EXPECT_TRUE(any_wide);
        EXPECT_EQ(any_wide_indexed, version >= 2);
        EXPECT_TRUE(empty_target);
    }
}

TEST(MapFormat, WideNodeIndexCostsExactly256BytesPerNode) {
    // One node of 40 transitions: version 2 adds its index and nothing else.
    Ref ref;
    for (int i = 0; i < 40; ++i) ref[std::string("k") + static_cast<char>('A' + i)] = i;
    const std::string v1 = build(ref, 1), v2 = build(ref, 2);
    EXPECT_EQ(v2.size(), v1.size() + 256);
    EXPECT_EQ(open_map(v2).get("kZ"), 25u);
}

TEST(MapMinimality, SharedSuffixesAreStoredOnce) {
    // 26 keys with one common 6-byte tail and distinct values: a trie needs
    // 1 + 26 * 7 nodes; the minimal transducer needs the root, one chain of
    // six nodes and the empty final node, with the values on the root.
    Ref ref;
    for (char c = 'a'; c <= 'z'; ++c) ref[std::string(1, c) + "suffix"] = 1000 * (c - 'a');
    const std::string bytes = build(ref, 3);
    const Map m = open_map(bytes);
    EXPECT_EQ(reachable_nodes(m).size(), 8u);
    EXPECT_EQ(collect(m.range()).items, pairs_of(ref));
    // 26 trie chains would take at least 26 * 7 bytes of nodes alone.
    EXPECT_LT(bytes.size() - 36, 26u * 7);
}

TEST(MapMinimality, StateCountEqualsIndependentMinimisation) {
    std::vector<Scenario> all = scenarios();
    {
        // Many equal suffixes under different prefixes, some with equal and
        // some with different values, which output pushing must reconcile.
        std::mt19937_64 rng(99);
        Ref r;
        const char* tails[] = {"strasse", "weg", "gasse", "platz", "allee"};
        for (int i = 0; i < 3000; ++i)
            r[random_string(rng, "abcdefg", 1, 5) + tails[rng() % 5] + (rng() % 3 ? "" : "\x1F" "12")] = rng() % 4;
        all.push_back({"suffix_heavy", r});
    }
    for (const Scenario& s : all) {
        for (int version = 1; version <= 3; ++version) {
            const std::string bytes = build(s.keys, version);
            const Map m = open_map(bytes);
            EXPECT_EQ(reachable_nodes(m).size(), minimal_state_count(s.keys))
                << s.name << " v" << version;
        }
    }
}

}  // namespace
