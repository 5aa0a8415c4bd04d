// Shared helpers for the FST tests: key-set generators, a reference model,
// small test automata and a walker over a map's nodes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "build/fst/builder.hpp"
#include "index/fst/map.hpp"
#include "index/fst/raw/node.hpp"

namespace fsttest {

using Ref = std::map<std::string, uint64_t>;  // std::string orders bytes as unsigned
using Pairs = std::vector<std::pair<std::string, uint64_t>>;

inline Pairs pairs_of(const Ref& ref) { return Pairs(ref.begin(), ref.end()); }

inline std::string build(const Ref& ref, int version) {
    return tarnwik::build::fst::build_map(pairs_of(ref), version);
}

inline tarnwik::fst::Map open_map(const std::string& bytes) {
    auto m = tarnwik::fst::Map::open(tarnwik::ByteView(std::string_view(bytes)));
    if (!m) throw std::runtime_error("map did not open: " + m.error().message);
    return *m;
}

// Everything a stream yields; `corrupt` tells how it ended.
struct Collected {
    Pairs items;
    bool corrupt = false;
};

template <class S>
Collected collect(S&& s, size_t limit = SIZE_MAX) {
    Collected c;
    while (c.items.size() < limit && s.next()) c.items.emplace_back(std::string(s.key()), s.value());
    c.corrupt = s.corrupt();
    return c;
}

using tarnwik::fst::Bound;

inline bool above_lower(const std::string& k, const Bound& b) {
    switch (b.kind) {
        case Bound::Kind::Unbounded: return true;
        case Bound::Kind::Included: return k >= b.bytes;
        case Bound::Kind::Excluded: return k > b.bytes;
    }
    return false;
}
inline bool below_upper(const std::string& k, const Bound& b) {
    switch (b.kind) {
        case Bound::Kind::Unbounded: return true;
        case Bound::Kind::Included: return k <= b.bytes;
        case Bound::Kind::Excluded: return k < b.bytes;
    }
    return false;
}

template <class Pred>
Pairs brute(const Ref& ref, const Bound& lo, const Bound& hi, Pred accept) {
    Pairs out;
    for (const auto& [k, v] : ref)
        if (above_lower(k, lo) && below_upper(k, hi) && accept(k)) out.emplace_back(k, v);
    return out;
}

// Matches exactly the strings of a set; can_match while some member extends
// the input read so far. A plain test automaton with real dead states.
class SetAutomaton {
public:
    using State = std::string;
    explicit SetAutomaton(std::set<std::string> members) : m_(std::move(members)) {}

    State start() const { return {}; }
    bool is_match(const State& s) const { return m_.count(s) != 0; }
    bool can_match(const State& s) const {
        auto it = m_.lower_bound(s);
        return it != m_.end() && std::string_view(*it).starts_with(s);
    }
    std::optional<State> accept(const State& s, uint8_t b) const {
        State n = s + static_cast<char>(b);
        if (!can_match(n)) return std::nullopt;
        return n;
    }
    bool contains(const std::string& s) const { return m_.count(s) != 0; }
    const std::set<std::string>& members() const { return m_; }

private:
    std::set<std::string> m_;
};

// Random key sets that exercise every node shape.
struct Scenario {
    std::string name;
    Ref keys;
};

inline std::string random_string(std::mt19937_64& rng, std::string_view alphabet, size_t min_len,
                                 size_t max_len) {
    std::uniform_int_distribution<size_t> len(min_len, max_len);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string s(len(rng), '\0');
    for (char& c : s) c = alphabet[pick(rng)];
    return s;
}

inline std::string all_bytes() {
    std::string s;
    for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
    return s;
}

enum class Values { Random64, Small, Zero, Index };

inline void assign_values(Ref& ref, Values kind, std::mt19937_64& rng) {
    uint64_t i = 0;
    for (auto& [k, v] : ref) {
        switch (kind) {
            case Values::Random64: v = rng(); break;
            case Values::Small: v = rng() % 300; break;
            case Values::Zero: v = 0; break;
            case Values::Index: v = i * 7; break;
        }
        ++i;
    }
}

inline std::vector<Scenario> scenarios() {
    std::vector<Scenario> out;
    std::mt19937_64 rng(20240611);
    auto add = [&](std::string name, Ref keys) { out.push_back({std::move(name), std::move(keys)}); };

    add("empty", {});
    add("single", {{"a", 42}});
    add("only_empty_key_zero", {{"", 0}});
    add("only_empty_key_value", {{"", 77}});
    add("empty_key_and_more", {{"", 5}, {"a", 3}, {"ab", 9}, {"b", 0}});
    add("prefix_chain", {{"a", 1}, {"ab", 2}, {"abc", 3}, {"abcd", 4}});
    add("max_value", {{"x", UINT64_MAX}, {"xy", UINT64_MAX - 1}, {"y", 0}});

    {
        Ref r;
        for (int i = 0; i < 600; ++i) r[random_string(rng, "abc", 0, 9)] = 0;
        assign_values(r, Values::Small, rng);
        add("small_alphabet", std::move(r));
    }
    {
        Ref r;
        const std::string bytes = all_bytes();
        for (int i = 0; i < 1500; ++i) r[random_string(rng, bytes, 0, 6)] = 0;
        r[std::string("\x00", 1)] = 0;
        r[std::string("\x00\x00\xFF", 3)] = 0;
        r["\xFF"] = 0;
        r["\xFF\xFF\xFF"] = 0;
        assign_values(r, Values::Random64, rng);
        add("all_bytes_random64", std::move(r));
    }
    {
        // Long shared prefixes and suffixes, as in street-commune keys.
        Ref r;
        const std::string pre = "the very long shared beginning of every key / ";
        for (int i = 0; i < 400; ++i) {
            std::string mid = random_string(rng, "abcdefghij", 1, 5);
            r[pre + mid + "strasse\x1F" + std::to_string(i % 17)] = 0;
            r[pre + mid + "weg"] = 0;
        }
        assign_values(r, Values::Index, rng);
        add("shared_prefix_suffix", std::move(r));
    }
    {
        // Nodes with every width: 1..63 in the state byte, 64+ in a count
        // byte, all 256 bytes (count byte 1), > 32 (byte index from v2 on).
        Ref r;
        const std::string bytes = all_bytes();
        for (char c : bytes) r[std::string("w") + c] = 0;                   // 256
        for (int i = 0; i < 40; ++i) r[std::string("x") + bytes[i * 6]] = 0;  // 40
        for (int i = 0; i < 33; ++i) r[std::string("y") + bytes[200 + i]] = 0;  // 33
        for (int i = 0; i < 32; ++i) r[std::string("z") + bytes[100 + i]] = 0;  // 32
        for (int i = 0; i < 63; ++i) r[std::string("v") + bytes[i * 4]] = 0;    // 63
        for (int i = 0; i < 64; ++i) r[std::string("u") + bytes[i * 4]] = 0;    // 64
        for (char c : bytes) r[std::string("t") + c + "tail"] = 0;            // 256 with shared tails
        assign_values(r, Values::Random64, rng);
        add("wide_nodes", std::move(r));
    }
    {
        Ref r;
        for (int i = 0; i < 800; ++i) r[random_string(rng, "te/oasrXYZ\x01\xFE", 1, 8)] = 0;
        assign_values(r, Values::Zero, rng);
        add("zero_values", std::move(r));
    }
    return out;
}

// Every node reachable from the root, keyed by address (0 included when a
// transition reaches it). Throws on a node that does not decode.
inline std::map<uint64_t, tarnwik::fst::raw::Node> reachable_nodes(const tarnwik::fst::Map& m) {
    namespace raw = tarnwik::fst::raw;
    std::map<uint64_t, raw::Node> seen;
    std::vector<uint64_t> todo{m.root()};
    while (!todo.empty()) {
        const uint64_t a = todo.back();
        todo.pop_back();
        if (seen.count(a)) continue;
        auto n = raw::Node::read(m.slice(), a, m.version());
        if (!n) throw std::runtime_error("node does not decode at " + std::to_string(a));
        seen.emplace(a, *n);
        for (uint32_t i = 0; i < n->len(); ++i) todo.push_back(n->transition(i).target);
    }
    return seen;
}

// The number of states of the minimal transducer for `ref`, computed
// independently of the builder: a trie with outputs in canonical form (each
// transition carries the smallest value below it minus the smallest value
// below its source; the root counts as 0), then states merged by signature
// bottom-up.
inline size_t minimal_state_count(const Ref& ref) {
    struct TNode {
        bool final = false;
        uint64_t value = 0;
        std::map<uint8_t, size_t> kids;
    };
    std::vector<TNode> t(1);
    for (const auto& [k, v] : ref) {
        size_t cur = 0;
        for (char c : k) {
            auto it = t[cur].kids.find(static_cast<uint8_t>(c));
            if (it == t[cur].kids.end()) {
                t.emplace_back();
                it = t[cur].kids.emplace(static_cast<uint8_t>(c), t.size() - 1).first;
            }
            cur = it->second;
        }
        t[cur].final = true;
        t[cur].value = v;
    }
    // Children have larger indices than parents: walk backwards.
    std::vector<uint64_t> minv(t.size(), UINT64_MAX);
    for (size_t i = t.size(); i-- > 0;) {
        if (t[i].final) minv[i] = std::min(minv[i], t[i].value);
        for (auto [c, k] : t[i].kids) minv[i] = std::min(minv[i], minv[k]);
    }
    using Sig = std::tuple<bool, uint64_t, std::vector<std::tuple<uint8_t, uint64_t, size_t>>>;
    std::map<Sig, size_t> classes;
    std::vector<size_t> cls(t.size());
    for (size_t i = t.size(); i-- > 0;) {
        const uint64_t base = i == 0 ? 0 : minv[i];
        Sig s{t[i].final, t[i].final ? t[i].value - base : 0, {}};
        for (auto [c, k] : t[i].kids) std::get<2>(s).emplace_back(c, minv[k] - base, cls[k]);
        cls[i] = classes.emplace(std::move(s), classes.size()).first->second;
    }
    return classes.size();
}

}  // namespace fsttest
