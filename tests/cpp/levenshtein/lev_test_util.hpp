// Helpers for the Levenshtein automaton tests: a reference edit distance,
// random texts over chosen character sets, and FST maps built from key sets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build/fst/builder.hpp"
#include "index/fst/map.hpp"
#include "util/text.hpp"

namespace levtest {

inline std::u32string scalars(std::string_view s) {
    std::u32string out;
    for (size_t i = 0; i < s.size();) out.push_back(tarnwik::text::next_scalar(s, i));
    return out;
}

inline std::string utf8(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) tarnwik::text::append_utf8(out, c);
    return out;
}

// Unit-cost insertions, deletions and substitutions of scalar values; full
// table, no cap.
inline size_t distance(const std::u32string& a, const std::u32string& b) {
    std::vector<std::vector<size_t>> t(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) t[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) t[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j)
            t[i][j] = std::min({t[i - 1][j] + 1, t[i][j - 1] + 1, t[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    return t[a.size()][b.size()];
}

inline size_t distance(std::string_view a, std::string_view b) { return distance(scalars(a), scalars(b)); }

// Whether some prefix of `key`, cut between characters, is within `d` of
// `query`.
inline bool has_prefix_within(std::string_view query, std::string_view key, size_t d) {
    const std::u32string q = scalars(query), k = scalars(key);
    for (size_t n = 0; n <= k.size(); ++n)
        if (distance(q, k.substr(0, n)) <= d) return true;
    return false;
}

// Character sets that exercise the byte level: letters sharing lead bytes
// (Cyrillic 0xD0 / 0xD1), three-byte letters sharing two bytes (U+4E2D and
// U+4E01 both start E4 B8), four-byte letters and the key separator 0x1F.
struct Script {
    const char* name;
    std::vector<std::string> chars;
};

inline std::vector<Script> scripts() {
    return {
        {"ascii", {"a", "b", "c", "e", "r", "u", " "}},
        {"cyrillic", {"а", "б", "ж", "з", "и", "й", "л", "н", "р", "я", "ё", " "}},
        {"mixed", {"a", "r", "\x1F", "é", "è", "ж", "з", "я", "中", "丁", "丈", "😀", "😁", "𐍈"}},
    };
}

inline std::string random_text(std::mt19937_64& rng, const Script& s, size_t max_len) {
    std::string out;
    const size_t n = rng() % (max_len + 1);
    for (size_t i = 0; i < n; ++i) out += s.chars[rng() % s.chars.size()];
    return out;
}

// `text` after up to `edits` random insertions, deletions or substitutions.
inline std::string mutate(std::mt19937_64& rng, const Script& s, std::string_view text, size_t edits) {
    std::u32string t = scalars(text);
    for (size_t e = 0; e < edits; ++e) {
        const char32_t c = scalars(s.chars[rng() % s.chars.size()])[0];
        const size_t kind = rng() % 3;
        if (kind == 0 || t.empty()) {
            t.insert(t.begin() + static_cast<long>(rng() % (t.size() + 1)), c);
        } else if (kind == 1) {
            t.erase(t.begin() + static_cast<long>(rng() % t.size()));
        } else {
            t[rng() % t.size()] = c;
        }
    }
    return utf8(t);
}

using Pairs = std::vector<std::pair<std::string, uint64_t>>;

// Sorted, unique, each key's value its rank.
inline Pairs pairs_of(const std::set<std::string>& keys) {
    Pairs out;
    for (const auto& k : keys) out.emplace_back(k, out.size());
    return out;
}

// The map reads its bytes in place; they live on the heap so that moving a
// BuiltMap keeps them where the map points.
struct BuiltMap {
    std::unique_ptr<std::string> bytes;
    tarnwik::fst::Map map;
};

inline BuiltMap build_map(const Pairs& pairs) {
    BuiltMap b;
    b.bytes = std::make_unique<std::string>(tarnwik::build::fst::build_map(pairs));
    auto m = tarnwik::fst::Map::open(tarnwik::ByteView(std::string_view(*b.bytes)));
    if (!m) throw std::runtime_error("map did not open: " + m.error().message);
    b.map = *m;
    return b;
}

template <class S>
Pairs collect(S&& stream) {
    Pairs out;
    while (stream.next()) out.emplace_back(std::string(stream.key()), stream.value());
    return out;
}

}  // namespace levtest
