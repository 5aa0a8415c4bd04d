// FST maps. Input layout:
//   byte 0     flags: bits 0-1 lower bound kind, bits 2-3 upper bound kind
//              (0 unbounded, 1 included, 2 excluded, 3 unbounded), bit 4
//              edit distance 2 instead of 1, bits 5-6 map format version
//              (build mode), bit 7 build mode
//   byte 1     query length q (taken modulo 33)
//   q bytes    the query: a key to look up, the bounds, the fuzzy query
//   the rest   raw mode: the map bytes, read as they are
//              build mode: keys as (length byte mod 24, bytes, value byte),
//              written with the project's builder and read back
//
// Raw mode asks only that nothing crashes and that what a stream yields
// lies within its bounds and is accepted by its automaton, which holds
// whatever the node data. Build mode checks the reader against the key set
// itself: lookups, plain, bounded and fuzzy streams.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build/fst/builder.hpp"
#include "fuzz_util.hpp"
#include "index/fst/map.hpp"
#include "levenshtein/levenshtein.hpp"

namespace {

using namespace tarnwik;
using fst::Bound;

constexpr size_t kRawStreamItems = 256;
constexpr size_t kMaxBuildKeys = 300;

Bound make_bound(unsigned kind, std::string_view bytes) {
    switch (kind & 3) {
        case 1: return Bound::included(bytes);
        case 2: return Bound::excluded(bytes);
        default: return Bound::unbounded();
    }
}

bool above_lower(std::string_view k, const Bound& b) {
    switch (b.kind) {
        case Bound::Kind::Unbounded: return true;
        case Bound::Kind::Included: return k >= b.bytes;
        case Bound::Kind::Excluded: return k > b.bytes;
    }
    return false;
}

bool below_upper(std::string_view k, const Bound& b) {
    switch (b.kind) {
        case Bound::Kind::Unbounded: return true;
        case Bound::Kind::Included: return k <= b.bytes;
        case Bound::Kind::Excluded: return k < b.bytes;
    }
    return false;
}

// Whether some prefix of the key (the empty one included) is within the
// automaton's distance: what StartsWith accepts.
bool prefix_matches(const levenshtein::Levenshtein& lev, std::string_view key) {
    for (size_t n = 0; n <= key.size(); ++n)
        if (lev.matches(key.substr(0, n))) return true;
    return false;
}

std::string hex(std::string_view s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) out += {digits[c >> 4], digits[c & 15], ' '};
    return out;
}

struct Setup {
    uint8_t flags = 0;
    std::string query;
    Bound lower, upper;
    uint32_t distance = 1;
    std::optional<levenshtein::Levenshtein> lev;
};

void raw_mode(const Setup& s, std::string_view bytes) {
    auto opened = fst::Map::open(ByteView(bytes));
    if (!opened) {
        TW_FUZZ_CHECK(opened.error().message.starts_with("Error opening FST"), "unexpected open error: " + opened.error().message);
        return;
    }
    const fst::Map& map = *opened;
    (void)map.get(s.query);
    for (size_t n = 0; n < s.query.size() && n < 3; ++n) (void)map.get(std::string_view(s.query).substr(0, n));

    auto all = map.range();
    std::vector<std::string> seen;
    for (size_t n = 0; n < kRawStreamItems && all.next(); ++n)
        if (seen.size() < 8) seen.emplace_back(all.key());
    for (const std::string& k : seen) (void)map.get(k);

    auto bounded = map.range(s.lower, s.upper);
    for (size_t n = 0; n < kRawStreamItems && bounded.next(); ++n)
        TW_FUZZ_CHECK(below_upper(bounded.key(), s.upper), "stream yielded a key past its upper bound: " + hex(bounded.key()));

    if (!s.lev) return;
    auto fuzzy = map.stream(fst::StartsWith(*s.lev), s.lower, s.upper);
    for (size_t n = 0; n < kRawStreamItems && fuzzy.next(); ++n) {
        TW_FUZZ_CHECK(below_upper(fuzzy.key(), s.upper), "fuzzy stream yielded a key past its upper bound");
        TW_FUZZ_CHECK(prefix_matches(*s.lev, fuzzy.key()), "starts-with stream yielded a key without a matching prefix: " + hex(fuzzy.key()));
    }
    auto whole = map.stream(*s.lev);
    for (size_t n = 0; n < kRawStreamItems && whole.next(); ++n)
        TW_FUZZ_CHECK(s.lev->matches(whole.key()), "automaton stream yielded a key it does not accept: " + hex(whole.key()));
}

using Pairs = std::vector<std::pair<std::string, uint64_t>>;

template <class S>
Pairs collect(S& stream) {
    Pairs out;
    while (stream.next()) out.emplace_back(std::string(stream.key()), stream.value());
    TW_FUZZ_CHECK(!stream.corrupt(), "stream over a built map reports corruption");
    return out;
}

void build_mode(const Setup& s, std::string_view rest) {
    std::map<std::string, uint64_t> ref;  // std::string orders bytes as unsigned
    size_t at = 0;
    while (at < rest.size() && ref.size() < kMaxBuildKeys) {
        const size_t len = static_cast<uint8_t>(rest[at++]) % 24;
        if (at + len > rest.size()) break;
        std::string key(rest.substr(at, len));
        at += len;
        const uint8_t v = at < rest.size() ? static_cast<uint8_t>(rest[at++]) : 0;
        // Spread values over every output width the format packs.
        ref[std::move(key)] = uint64_t{v} << ((v & 7) * 8);
    }
    const int version = 1 + ((s.flags >> 5) & 3) % 3;
    const std::string bytes =
        build::fst::build_map(std::vector<std::pair<std::string, uint64_t>>(ref.begin(), ref.end()), version);
    auto opened = fst::Map::open(ByteView(bytes));
    TW_FUZZ_CHECK(opened, "a built map does not open: " + opened.error().message);
    const fst::Map& map = *opened;
    TW_FUZZ_CHECK(map.key_count() == ref.size(), "key count differs from the keys written");

    for (const auto& [k, v] : ref) TW_FUZZ_CHECK(map.get(k) == v, "lookup of a written key fails: " + hex(k));
    auto q = ref.find(s.query);
    TW_FUZZ_CHECK(map.get(s.query) == (q == ref.end() ? std::nullopt : std::optional<uint64_t>(q->second)),
                  "lookup of the query disagrees with the key set");

    auto all = map.range();
    const Pairs everything(ref.begin(), ref.end());
    TW_FUZZ_CHECK(collect(all) == everything, "a full stream differs from the key set");

    auto expect_stream = [&](auto&& stream, auto&& accepts, const char* what) {
        Pairs want;
        for (const auto& [k, v] : ref)
            if (above_lower(k, s.lower) && below_upper(k, s.upper) && accepts(k)) want.emplace_back(k, v);
        const auto got = collect(stream);
        TW_FUZZ_CHECK(got == want, std::string(what) + " stream differs from the key set (" + std::to_string(got.size()) +
                                       " keys, expected " + std::to_string(want.size()) + ")");
    };
    auto bounded = map.range(s.lower, s.upper);
    expect_stream(bounded, [](const std::string&) { return true; }, "bounded");
    if (!s.lev) return;
    auto fuzzy = map.stream(fst::StartsWith(*s.lev), s.lower, s.upper);
    expect_stream(fuzzy, [&](const std::string& k) { return prefix_matches(*s.lev, k); }, "starts-with");
    auto whole = map.stream(*s.lev, s.lower, s.upper);
    expect_stream(whole, [&](const std::string& k) { return s.lev->matches(k); }, "automaton");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    Setup s;
    s.flags = data[0];
    const size_t qlen = std::min<size_t>(data[1] % 33, size - 2);
    s.query = std::string(in.substr(2, qlen));
    const std::string_view rest = in.substr(2 + qlen);

    s.lower = make_bound(s.flags, s.query);
    // The upper bound is the query followed by 0xFF: with an included lower
    // bound this is the prefix scan the search runs.
    s.upper = make_bound(s.flags >> 2, s.query + '\xFF');
    s.distance = (s.flags & 0x10) ? 2 : 1;
    // Automata of long queries are costly to build and add nothing here.
    s.lev = levenshtein::from_cache(std::string_view(s.query).substr(0, 8), s.distance);

    if (s.flags & 0x80)
        build_mode(s, rest);
    else
        raw_mode(s, rest);
    return 0;
}
