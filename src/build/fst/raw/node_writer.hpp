// Encoding one frozen node into map bytes (the reader's counterpart is
// index/fst/raw/node.hpp, whose constants this shares).
//
// Bytes are appended in ascending position order, which is the reverse of
// the order the reader meets them: a node is read downwards from its state
// byte, so the state byte is written last and its position is the node's
// address. Children are always written before their parents, so every
// target lies below the node that points to it and is stored as a distance
// from the node's lowest byte (the position where writing starts).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "index/fst/raw/node.hpp"

namespace tarnwik::build::fst::raw {

namespace rd = tarnwik::fst::raw;

struct FrozenTransition {
    uint8_t input = 0;
    uint64_t output = 0;
    uint64_t target = 0;  // address of an already written node, or 0
};

// A node whose transitions all point at written nodes; transitions are in
// ascending input order. Non-final nodes keep final_output 0.
struct FrozenNode {
    bool final = false;
    uint64_t final_output = 0;
    std::vector<FrozenTransition> trans;
};

inline constexpr auto kCommonIndex = [] {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; ++b) t[b] = rd::common_index(static_cast<uint8_t>(b));
    return t;
}();

// Bytes needed to store v (0 for 0).
inline uint8_t packed_size(uint64_t v) {
    uint8_t n = 0;
    while (v != 0) {
        ++n;
        v >>= 8;
    }
    return n;
}

inline void put_packed(std::string& out, uint64_t v, uint8_t size) {
    for (uint8_t k = 0; k < size; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

inline void put_byte(std::string& out, uint8_t b) { out.push_back(static_cast<char>(b)); }

// Appends `node` to `out` and returns its address. The caller has already
// mapped the final node without transitions and output to address 0.
inline uint64_t write_node(std::string& out, const FrozenNode& node, int version) {
    const uint64_t lowest = out.size();
    auto delta = [lowest](uint64_t target) {
        return target == rd::kEmptyAddress ? 0 : lowest - target;
    };
    const size_t n = node.trans.size();

    if (n == 1 && !node.final) {
        const FrozenTransition& t = node.trans[0];
        const uint8_t common = kCommonIndex[t.input];
        if (t.output == 0 && t.target != rd::kEmptyAddress && lowest > 0 && t.target == lowest - 1) {
            // The target is the node written just before this one: the reader
            // finds it one below our lowest byte, so no target is stored. This
            // is what every chain of unshared key suffix bytes turns into.
            if (common == 0) put_byte(out, t.input);
            put_byte(out, rd::kStateOneNext | common);
            return out.size() - 1;
        }
        const uint64_t d = delta(t.target);
        const uint8_t tsize = packed_size(d);
        const uint8_t osize = packed_size(t.output);
        put_packed(out, t.output, osize);
        put_packed(out, d, tsize);
        put_byte(out, static_cast<uint8_t>(tsize << 4 | osize));
        if (common == 0) put_byte(out, t.input);
        put_byte(out, rd::kStateOne | common);
        return out.size() - 1;
    }

    // Any number of transitions. All deltas share one width and all outputs
    // (final output included) another, chosen for the largest value.
    uint8_t tsize = 0, osize = node.final ? packed_size(node.final_output) : 0;
    for (const FrozenTransition& t : node.trans) {
        tsize = std::max(tsize, packed_size(delta(t.target)));
        osize = std::max(osize, packed_size(t.output));
    }
    if (node.final && osize > 0) put_packed(out, node.final_output, osize);
    // Per-transition arrays run downwards from transition 0, so the last
    // transition's entry is written first.
    if (osize > 0)
        for (size_t i = n; i-- > 0;) put_packed(out, node.trans[i].output, osize);
    for (size_t i = n; i-- > 0;) put_packed(out, delta(node.trans[i].target), tsize);
    for (size_t i = n; i-- > 0;) put_byte(out, node.trans[i].input);
    if (version >= 2 && n > rd::kIndexThreshold) {
        // Byte b's entry is its transition number; 255 marks "no transition",
        // which is >= n for every node that can lack a byte (n <= 255).
        std::array<uint8_t, 256> index;
        index.fill(255);
        for (size_t i = 0; i < n; ++i) index[node.trans[i].input] = static_cast<uint8_t>(i);
        out.append(reinterpret_cast<const char*>(index.data()), index.size());
    }
    put_byte(out, static_cast<uint8_t>(tsize << 4 | osize));
    uint8_t state = node.final ? rd::kStateAnyFinal : 0;
    if (n >= 1 && n <= rd::kLowSixBits) {
        state |= static_cast<uint8_t>(n);
    } else {
        // 0 or 64..256 transitions: a count byte, where 256 is written as 1
        // (a single transition always fits the state byte).
        put_byte(out, n == 256 ? 1 : static_cast<uint8_t>(n));
    }
    put_byte(out, state);
    return out.size() - 1;
}

}  // namespace tarnwik::build::fst::raw
