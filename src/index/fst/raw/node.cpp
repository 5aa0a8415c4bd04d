#include "index/fst/raw/node.hpp"

#include <cstring>

namespace tarnwik::fst::raw {

namespace {

// Steps a read cursor downwards through a node, refusing to pass position 0.
// Every field of a node lies between the final cursor and the node address,
// and the address itself is checked against the slice length first, so once
// the whole layout has been walked no later field read can leave the slice.
struct Cursor {
    uint64_t pos;
    bool ok = true;
    // Moves below a field of `size` bytes; the field then starts at `pos`.
    bool take(uint64_t size) {
        if (!ok || size > pos) return ok = false;
        pos -= size;
        return true;
    }
};

}  // namespace

std::optional<Node> Node::read(ByteView slice, uint64_t addr, uint64_t version) {
    Node n;
    n.base_ = slice.data();
    if (addr == kEmptyAddress) return n;  // final, no transitions, final output 0
    if (addr >= slice.size()) return std::nullopt;
    n.addr_ = addr;

    const uint8_t state = n.base_[addr];
    Cursor cur{addr};
    // An input byte is either named by the state byte's low six bits or, when
    // they are 0, stored in the byte just below the state byte.
    auto one_input = [&](uint8_t low) -> bool {
        if (low != 0) {
            n.one_input_ = common_input(low);
            return true;
        }
        if (!cur.take(1)) return false;
        n.one_input_ = n.base_[cur.pos];
        return true;
    };

    if ((state & 0b1100'0000) == kStateOneNext) {
        // One transition without output to the node stored immediately below
        // this one: the common shape of a chain of single-key suffix bytes.
        n.kind_ = NodeKind::OneNext;
        n.final_ = false;
        n.ntrans_ = 1;
        if (!one_input(state & kLowSixBits)) return std::nullopt;
        n.lowest_ = cur.pos;
        n.one_target_ = n.lowest_ == 0 ? kBadAddress : n.lowest_ - 1;
        return n;
    }

    if ((state & 0b1100'0000) == kStateOne) {
        // One transition with explicit target and output; never final.
        n.kind_ = NodeKind::One;
        n.final_ = false;
        n.ntrans_ = 1;
        if (!one_input(state & kLowSixBits)) return std::nullopt;
        if (!cur.take(1)) return std::nullopt;
        const uint8_t sizes = n.base_[cur.pos];
        n.tsize_ = sizes >> 4;
        n.osize_ = sizes & 0x0F;
        if (n.tsize_ > 8 || n.osize_ > 8) return std::nullopt;
        if (!cur.take(n.tsize_)) return std::nullopt;
        const uint64_t delta_pos = cur.pos;
        if (!cur.take(n.osize_)) return std::nullopt;
        n.lowest_ = cur.pos;  // the output's first byte, or the delta's, or the sizes byte
        n.one_output_ = n.packed(cur.pos, n.osize_);
        n.one_target_ = n.target_of(n.packed(delta_pos, n.tsize_));
        return n;
    }

    // Any number of transitions; bit 6 is the final flag.
    n.kind_ = NodeKind::Any;
    n.final_ = (state & kStateAnyFinal) != 0;
    uint32_t count = state & kLowSixBits;
    if (count == 0) {
        // Counts that do not fit the six low bits (0 and 64..256) sit in a byte
        // of their own. One transition is always stored in the low bits, which
        // frees the byte value 1 to stand for 256.
        if (!cur.take(1)) return std::nullopt;
        const uint8_t c = n.base_[cur.pos];
        count = c == 1 ? 256 : c;
    }
    n.ntrans_ = count;
    if (!cur.take(1)) return std::nullopt;
    const uint8_t sizes = n.base_[cur.pos];
    n.tsize_ = sizes >> 4;
    n.osize_ = sizes & 0x0F;
    if (n.tsize_ > 8 || n.osize_ > 8) return std::nullopt;
    // Wide nodes get a byte-indexed table from version 2 on so that finding a
    // transition is one read instead of a scan; version 1 never has it, so
    // its presence follows from the version and the count alone.
    n.has_index_ = version >= 2 && count > kIndexThreshold;
    if (n.has_index_ && !cur.take(256)) return std::nullopt;
    if (!cur.take(count)) return std::nullopt;
    n.inputs_lo_ = cur.pos;
    if (!cur.take(uint64_t{count} * n.tsize_)) return std::nullopt;
    if (!cur.take(uint64_t{count} * n.osize_)) return std::nullopt;
    // The final output is stored only when it can be non-zero.
    if (n.final_ && n.osize_ > 0) {
        if (!cur.take(n.osize_)) return std::nullopt;
        n.final_output_ = n.packed(cur.pos, n.osize_);
    }
    n.lowest_ = cur.pos;
    return n;
}

std::optional<uint32_t> Node::find(uint8_t b) const {
    switch (kind_) {
        case NodeKind::Any: {
            if (has_index_) {
                const uint32_t i = base_[inputs_lo_ + ntrans_ + b];
                // A damaged index could name a transition on another byte;
                // checking its input keeps lookups exact at the cost of one read.
                if (i >= ntrans_ || input(i) != b) return std::nullopt;
                return i;
            }
            // The lowest input byte belongs to the last transition.
            const void* hit = std::memchr(base_ + inputs_lo_, b, ntrans_);
            if (hit == nullptr) return std::nullopt;
            const uint64_t j = static_cast<const uint8_t*>(hit) - (base_ + inputs_lo_);
            return static_cast<uint32_t>(ntrans_ - 1 - j);
        }
        case NodeKind::One:
        case NodeKind::OneNext:
            if (one_input_ == b) return 0;
            return std::nullopt;
        case NodeKind::Empty:
            break;
    }
    return std::nullopt;
}

uint32_t Node::lower_bound(uint8_t b) const {
    // Inputs ascend with the transition number; a scan is as fast as a binary
    // search at these sizes and degrades gracefully on damaged data.
    uint32_t i = 0;
    while (i < ntrans_ && input(i) < b) ++i;
    return i;
}

}  // namespace tarnwik::fst::raw
