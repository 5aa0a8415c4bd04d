// One node of an FST map, decoded in place from the map's bytes.
//
// This is the byte format only; the friendly API (lookup, streaming,
// automata) lives in index/fst/map.hpp. The builder in build/fst shares the
// constants below so that writer and reader cannot drift apart.
//
// A node's address is the position of its last byte (the state byte); its
// other fields lie immediately below it, so a node is read downwards from its
// address. Address 0 is never a real node: it stands for the final node
// without transitions and with final output 0, and no bytes are read for it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "util/bytes.hpp"

namespace tarnwik::fst::raw {

// The address of the final node without transitions (nothing is stored).
inline constexpr uint64_t kEmptyAddress = 0;

// The 63 frequent input bytes a state byte can name in its low six bits
// (index i names entry i - 1; index 0 means "input stored explicitly").
inline constexpr char kCommonInputs[] =
    "te/oasripcnw.hlm-du012g=:bf3y5&_4v9678k%?xCDASFIBEjPTzRNM+LOqHG";
static_assert(sizeof(kCommonInputs) == 64);

// The byte named by common-input index 1..63.
constexpr uint8_t common_input(uint8_t index) {
    return static_cast<uint8_t>(kCommonInputs[index - 1]);
}

// The common-input index of `byte`, or 0 when it has none.
constexpr uint8_t common_index(uint8_t byte) {
    for (uint8_t i = 1; i <= 63; ++i)
        if (common_input(i) == byte) return i;
    return 0;
}

// State byte: the top two bits select the kind.
inline constexpr uint8_t kStateOneNext = 0b1100'0000;  // one transition to the node just below
inline constexpr uint8_t kStateOne = 0b1000'0000;      // one transition, explicit target and output
inline constexpr uint8_t kStateAnyFinal = 0b0100'0000; // any-transitions kind, final flag set
inline constexpr uint8_t kLowSixBits = 0b0011'1111;

// Any-transitions nodes with more than this many transitions carry the
// 256-byte input index from format version 2 on.
inline constexpr uint32_t kIndexThreshold = 32;

// Outer layout of a map.
inline constexpr uint64_t kHeaderSize = 16;  // format version, map type
inline constexpr uint64_t kFooterSize = 16;  // key count, root address
inline constexpr uint64_t kChecksumSize = 4; // version 3 only
inline constexpr uint64_t kMinMapSize = 36;
inline constexpr uint64_t kMaxVersion = 3;

enum class NodeKind : uint8_t { Empty, OneNext, One, Any };

struct Transition {
    uint8_t input = 0;
    uint64_t output = 0;
    uint64_t target = 0;
};

// A target address that cannot be decoded: a delta reaching below position 0.
// It is larger than any slice, so reading a node there fails like any other
// out-of-range read.
inline constexpr uint64_t kBadAddress = UINT64_MAX;

class Node {
public:
    // The node whose state byte is at `addr` (or the empty final node for
    // address 0). Nothing when any byte of the node would lie outside the
    // slice or a field holds an impossible value: the node is corrupt.
    static std::optional<Node> read(ByteView slice, uint64_t addr, uint64_t version);

    NodeKind kind() const { return kind_; }
    uint64_t addr() const { return addr_; }
    // Position of the node's lowest byte (equal to addr for address 0).
    uint64_t lowest() const { return lowest_; }
    uint64_t byte_size() const { return kind_ == NodeKind::Empty ? 0 : addr_ - lowest_ + 1; }
    bool is_final() const { return final_; }
    uint64_t final_output() const { return final_output_; }
    uint32_t len() const { return ntrans_; }
    // Packed sizes of deltas and outputs (any-transitions and one-with-target kinds).
    uint8_t trans_size() const { return tsize_; }
    uint8_t out_size() const { return osize_; }
    bool has_index() const { return has_index_; }

    // Callers pass i < len(). Transitions are numbered in ascending input order.
    uint8_t input(uint32_t i) const;
    Transition transition(uint32_t i) const;
    // The transition on byte b, if any.
    std::optional<uint32_t> find(uint8_t b) const;
    // The first transition whose input is >= b (len() when there is none).
    uint32_t lower_bound(uint8_t b) const;

private:
    uint64_t target_of(uint64_t delta) const {
        // Deltas count down from the node's lowest byte, so every target lies
        // strictly below the node: walks can never revisit a node.
        if (delta == 0) return kEmptyAddress;
        return delta > lowest_ ? kBadAddress : lowest_ - delta;
    }
    uint64_t packed(uint64_t pos, uint8_t size) const;

    const uint8_t* base_ = nullptr;  // the slice's first byte; positions are absolute
    uint64_t addr_ = kEmptyAddress;
    uint64_t lowest_ = kEmptyAddress;
    uint64_t final_output_ = 0;
    // One-transition kinds: the single transition.
    uint64_t one_target_ = 0;
    uint64_t one_output_ = 0;
    // Any-transitions kind: position of the lowest input byte (the input of
    // the last transition); deltas and outputs lie below it.
    uint64_t inputs_lo_ = 0;
    uint32_t ntrans_ = 0;
    NodeKind kind_ = NodeKind::Empty;
    bool final_ = true;
    bool has_index_ = false;
    uint8_t one_input_ = 0;
    uint8_t tsize_ = 0;
    uint8_t osize_ = 0;
};

// Inline: the map walks call these once per transition they look at.
inline uint8_t Node::input(uint32_t i) const {
    switch (kind_) {
        case NodeKind::Any:
            // Transition 0's input is the topmost of the input bytes.
            return base_[inputs_lo_ + ntrans_ - 1 - i];
        case NodeKind::One:
        case NodeKind::OneNext:
            return one_input_;
        case NodeKind::Empty:
            break;
    }
    return 0;
}

inline Transition Node::transition(uint32_t i) const {
    switch (kind_) {
        case NodeKind::Any: {
            const uint64_t slot = ntrans_ - 1 - i;  // counted upwards from the lowest entry
            const uint64_t deltas_lo = inputs_lo_ - uint64_t{ntrans_} * tsize_;
            const uint64_t outputs_lo = deltas_lo - uint64_t{ntrans_} * osize_;
            Transition t;
            t.input = base_[inputs_lo_ + slot];
            t.target = target_of(packed(deltas_lo + slot * tsize_, tsize_));
            t.output = packed(outputs_lo + slot * osize_, osize_);
            return t;
        }
        case NodeKind::One:
        case NodeKind::OneNext:
            return Transition{one_input_, one_output_, one_target_};
        case NodeKind::Empty:
            break;
    }
    return {};
}

inline uint64_t Node::packed(uint64_t pos, uint8_t size) const {
    // Little-endian, `size` bytes (0-8); most are one or two.
    const uint8_t* p = base_ + pos;
    switch (size) {
        case 0: return 0;
        case 1: return p[0];
        case 2: return p[0] | uint64_t{p[1]} << 8;
        default: {
            uint64_t v = 0;
            for (uint8_t k = 0; k < size; ++k) v |= static_cast<uint64_t>(p[k]) << (8 * k);
            return v;
        }
    }
}

}  // namespace tarnwik::fst::raw
