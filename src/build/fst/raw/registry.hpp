// The registry of frozen nodes: finds a node already written with the same
// finality, final output and transitions, so that equal suffixes are stored
// once.
//
// The registry is exact: every written node stays findable until the map is
// finished, and the incremental construction over sorted keys then yields the
// minimal transducer. (A bounded cache would cap memory but lets equal
// subtrees slip through once evicted, growing the map by the duplicated
// suffixes. The exact table holds one 8-byte slot per node at a load between
// 0.35 and 0.7, so 12 to 23 bytes per node: two million street-like keys
// make about 1.8 million nodes, a 32 MB table next to a 23 MB map.)
//
// To stay that small a slot holds only the node's address and a fingerprint
// of its hash; the node itself is compared by decoding its written bytes
// with the reader, which also makes the reader's view of every shared node
// the one that decides equality.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "build/fst/raw/node_writer.hpp"
#include "index/fst/raw/node.hpp"
#include "util/bytes.hpp"

namespace tarnwik::build::fst::raw {

namespace detail {
inline uint64_t mix(uint64_t h, uint64_t v) {
    h ^= v;
    h *= 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 29);
}
inline uint64_t finish_hash(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}
}  // namespace detail

inline uint64_t node_hash(const FrozenNode& n) {
    uint64_t h = detail::mix(n.final ? 1 : 2, n.final_output);
    h = detail::mix(h, n.trans.size());
    for (const FrozenTransition& t : n.trans) {
        h = detail::mix(h, t.input);
        h = detail::mix(h, t.output);
        h = detail::mix(h, t.target);
    }
    return detail::finish_hash(h);
}

inline uint64_t node_hash(const rd::Node& n) {
    uint64_t h = detail::mix(n.is_final() ? 1 : 2, n.final_output());
    h = detail::mix(h, n.len());
    for (uint32_t i = 0; i < n.len(); ++i) {
        const rd::Transition t = n.transition(i);
        h = detail::mix(h, t.input);
        h = detail::mix(h, t.output);
        h = detail::mix(h, t.target);
    }
    return detail::finish_hash(h);
}

inline bool same_node(const FrozenNode& a, const rd::Node& b) {
    if (a.final != b.is_final() || a.final_output != b.final_output() || a.trans.size() != b.len())
        return false;
    for (uint32_t i = 0; i < b.len(); ++i) {
        const rd::Transition t = b.transition(i);
        const FrozenTransition& u = a.trans[i];
        if (u.input != t.input || u.output != t.output || u.target != t.target) return false;
    }
    return true;
}

class Registry {
public:
    // Addresses must stay below 2^40 (a terabyte of map), leaving the top
    // 24 bits of a slot for the fingerprint.
    static constexpr int kAddrBits = 40;
    static constexpr uint64_t kAddrMask = (uint64_t{1} << kAddrBits) - 1;

    explicit Registry(int version) : version_(version), slots_(1024, 0) {}

    // The address of a written node equal to `node`, if any. `bytes` is
    // everything written so far.
    std::optional<uint64_t> find(const FrozenNode& node, uint64_t hash, std::string_view bytes) const {
        const uint64_t mask = slots_.size() - 1;
        const uint64_t fp = fingerprint(hash);
        for (uint64_t i = hash & mask;; i = (i + 1) & mask) {
            const uint64_t s = slots_[i];
            if (s == 0) return std::nullopt;
            if ((s >> kAddrBits) != fp) continue;
            const uint64_t addr = s & kAddrMask;
            auto written = rd::Node::read(ByteView(bytes), addr, version_);
            if (written && same_node(node, *written)) return addr;
        }
    }

    void insert(uint64_t hash, uint64_t addr, std::string_view bytes) {
        if (addr > kAddrMask) throw std::length_error("FST map larger than the node registry can address");
        if ((count_ + 1) * 10 > slots_.size() * 7) grow(bytes);
        place(hash, addr);
        ++count_;
    }

    size_t size() const { return count_; }

private:
    static uint64_t fingerprint(uint64_t hash) { return hash >> kAddrBits; }

    void place(uint64_t hash, uint64_t addr) {
        const uint64_t mask = slots_.size() - 1;
        uint64_t i = hash & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = fingerprint(hash) << kAddrBits | addr;
    }

    // Slots keep no full hash, so growing re-reads each node to rehash it:
    // amortised one decode per node.
    void grow(std::string_view bytes) {
        std::vector<uint64_t> old(slots_.size() * 2, 0);
        old.swap(slots_);
        for (uint64_t s : old) {
            if (s == 0) continue;
            const uint64_t addr = s & kAddrMask;
            auto node = rd::Node::read(ByteView(bytes), addr, version_);
            place(node_hash(*node), addr);  // written by us, always decodable
        }
    }

    int version_;
    std::vector<uint64_t> slots_;  // 0 = empty (no node lives at address 0)
    size_t count_ = 0;
};

}  // namespace tarnwik::build::fst::raw
