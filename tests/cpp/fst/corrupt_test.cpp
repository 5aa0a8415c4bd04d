// Damaged maps: lookups answer "absent", streams end (flagging corruption),
// and nothing reads outside the slice. Slices are copied into buffers of
// exactly their size so that the sanitizer build catches any stray read.
#include <gtest/gtest.h>

#include <memory>

#include "fst/fst_test_util.hpp"

namespace {

using namespace fsttest;
using tarnwik::ByteView;
using tarnwik::fst::Bound;
using tarnwik::fst::Map;
using tarnwik::fst::StartsWith;

// Owns a heap copy of exactly the slice's bytes.
class Exact {
public:
    explicit Exact(std::string_view s) : n_(s.size()), p_(new uint8_t[s.size() ? s.size() : 1]) {
        std::memcpy(p_.get(), s.data(), s.size());
    }
    ByteView view() const { return {p_.get(), n_}; }

private:
    size_t n_;
    std::unique_ptr<uint8_t[]> p_;
};

std::string u64le(uint64_t v) {
    std::string s;
    for (int k = 0; k < 8; ++k) s.push_back(static_cast<char>(v >> (8 * k)));
    return s;
}

std::string assemble(uint64_t version, const std::string& nodes, uint64_t key_count, uint64_t root) {
    std::string s = u64le(version) + u64le(0) + nodes + u64le(key_count) + u64le(root);
    if (version >= 3) s += std::string(4, '\0');
    return s;
}

std::string bytes_of(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s.push_back(static_cast<char>(x));
    return s;
}

struct Damaged {
    const char* name;
    std::string map;
    std::vector<std::string> lookups;  // all must be absent
    size_t yields_before_corrupt;
};

std::vector<Damaged> damaged_maps() {
    std::vector<Damaged> out;
    out.push_back({"root past the end", assemble(2, "abcd", 3, 1000), {"", "a"}, 0});
    out.push_back({"root past the end by one", assemble(1, "abcd", 3, 36), {"", "a"}, 0});
    // 63 transitions would need far more bytes than lie below position 16.
    out.push_back({"node reaching below 0", assemble(1, bytes_of({0x3F, 0, 0, 0}), 2, 16), {"", "t"}, 0});
    // Root "a" -> a node whose sizes byte declares 9-byte deltas.
    out.push_back({"sizes nibble above 8", assemble(3, bytes_of({0x90, 0x81, 0xC5}), 1, 18), {"a", "at"}, 0});
    out.push_back({"output nibble above 8", assemble(3, bytes_of({0x09, 0x81, 0xC5}), 1, 18), {"a", "at"}, 0});
    // A one-transition node whose delta reaches below position 0.
    out.push_back({"delta below 0", assemble(3, bytes_of({0xC8, 0x10, 0x85}), 1, 18), {"a", ""}, 0});
    {
        // A final root with transitions 'a' (fine) and 'b', whose delta 250
        // leads below the slice start.
        std::string n = bytes_of({/*final output*/ 0x07, /*outputs*/ 0x00, 0x00, /*deltas*/ 0xFA, 0x00, /*inputs*/ 'b', 'a',
                                  /*sizes*/ 0x11, /*state*/ 0x42});
        out.push_back({"second transition corrupt", assemble(2, n, 3, 16 + n.size() - 1), {"b", "bb"}, 2});
    }
    {
        // A DAG of 30 levels, each node with transitions 'a' and 'b' both to
        // the node below: 2^30 keys, but the footer declares 4. The stream
        // stops instead of walking a billion paths.
        std::string n = bytes_of({'b', 'a', 0x00, 0x02});  // to address 0
        for (int level = 1; level < 30; ++level) n += bytes_of({0x01, 0x01, 'b', 'a', 0x10, 0x02});
        out.push_back({"exponential dag", assemble(1, n, 4, 16 + n.size() - 1), {"", "c"}, 4});
    }
    return out;
}

TEST(MapCorrupt, DamagedNodesReadAsAbsentAndEndStreams) {
    for (const Damaged& d : damaged_maps()) {
        SCOPED_TRACE(d.name);
        const Exact buf(d.map);
        auto m = Map::open(buf.view());
        ASSERT_TRUE(m.has_value()) << m.error().message;
        for (const std::string& k : d.lookups) EXPECT_EQ(m->get(k), std::nullopt) << k;

        Collected all = collect(m->range(), 1000);
        EXPECT_TRUE(all.corrupt);
        EXPECT_EQ(all.items.size(), d.yields_before_corrupt);

        Collected bounded = collect(m->range(Bound::excluded(""), Bound::included("zzz")), 1000);
        EXPECT_LE(bounded.items.size(), d.yields_before_corrupt);
        EXPECT_TRUE(bounded.corrupt);
    }
}

TEST(MapCorrupt, ExponentialDagStillAnswersLookups) {
    // Lookups follow one path and need no guard: any 30-byte a/b key is there.
    const Damaged d = damaged_maps().back();
    const Exact buf(d.map);
    const Map m = *Map::open(buf.view());
    EXPECT_EQ(m.get(std::string(30, 'a')), 0u);
    EXPECT_EQ(m.get(std::string(15, 'a') + std::string(15, 'b')), 0u);
    EXPECT_EQ(m.get(std::string(29, 'a')), std::nullopt);
    EXPECT_EQ(m.get(std::string(31, 'a')), std::nullopt);
}

// Runs every read operation on a map that may be damaged; returns whether
// the map opened.
bool exercise(ByteView slice, const Ref& ref, std::mt19937_64& rng) {
    auto opened = Map::open(slice);
    if (!opened) return false;
    const Map& m = *opened;
    std::vector<std::string> probes{"", "a", std::string("\x00", 1), "\xFF"};
    for (const auto& [k, v] : ref) {
        if (rng() % 4 == 0) probes.push_back(k);
        if (probes.size() > 40) break;
    }
    for (const std::string& p : probes) (void)m.get(p);

    // A stream never yields more keys than the footer declares, so each of
    // these ends by itself; the limit only keeps a failing run short.
    const size_t limit = 2'000'000;
    auto check = [&](Collected c) {
        EXPECT_LE(c.items.size(), m.key_count());
        EXPECT_LT(c.items.size(), limit);
    };
    check(collect(m.range(), limit));
    const std::string& p = probes[rng() % probes.size()];
    check(collect(m.range(Bound::included(p), Bound::excluded(p + '\xFF')), limit));
    check(collect(m.range(Bound::excluded(p), Bound::unbounded()), limit));
    SetAutomaton a({p, p + "a", "b"});
    check(collect(m.stream(a), limit));
    check(collect(m.stream(StartsWith<SetAutomaton>(a), Bound::included("a")), limit));
    return true;
}

TEST(MapCorrupt, RandomDamageNeverReadsOutOfBounds) {
    std::mt19937_64 rng(4242);
    size_t opened = 0, runs = 0;
    for (const Scenario& s : scenarios()) {
        if (s.keys.size() > 2000) continue;
        for (int version = 1; version <= 3; ++version) {
            const std::string good = build(s.keys, version);
            for (int round = 0; round < 60; ++round) {
                std::string bad = good;
                switch (round % 4) {
                    case 0:
                    case 1: {  // a few random bytes anywhere
                        const int flips = 1 + rng() % 6;
                        for (int f = 0; f < flips; ++f) bad[rng() % bad.size()] = static_cast<char>(rng());
                        break;
                    }
                    case 2: {  // the node area only, so the footer stays plausible
                        const size_t area = bad.size() - (version >= 3 ? 20 : 16) - 16;
                        if (area == 0) break;
                        const int flips = 1 + rng() % 4;
                        for (int f = 0; f < flips; ++f) bad[16 + rng() % area] = static_cast<char>(rng());
                        break;
                    }
                    case 3: {  // cut bytes from the front or the middle
                        const size_t cut = 1 + rng() % std::min<size_t>(bad.size() - 1, 64);
                        const size_t at = rng() % (bad.size() - cut);
                        bad.erase(at, cut);
                        break;
                    }
                }
                const Exact buf(bad);
                opened += exercise(buf.view(), s.keys, rng);
                ++runs;
            }
        }
    }
    // Most damage leaves the frame intact, so the node reads were exercised.
    EXPECT_GT(opened, runs / 2);
}

TEST(MapCorrupt, RandomNodeBytesNeverReadOutOfBounds) {
    // Valid frames around random node areas, with roots anywhere in them.
    std::mt19937_64 rng(777);
    for (int round = 0; round < 3000; ++round) {
        const uint64_t version = 1 + rng() % 3;
        std::string nodes(4 + rng() % 600, '\0');
        for (char& c : nodes) c = static_cast<char>(rng());
        const uint64_t root = 16 + rng() % nodes.size();
        const std::string s = assemble(version, nodes, rng() % 50, root);
        const Exact buf(s);
        ASSERT_TRUE(exercise(buf.view(), {}, rng));
    }
}

}  // namespace
