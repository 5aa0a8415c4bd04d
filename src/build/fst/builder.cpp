#include "build/fst/builder.hpp"

#include <algorithm>
#include <stdexcept>

#include "build/fst/raw/crc32c.hpp"

namespace tarnwik::build::fst {

namespace rd = tarnwik::fst::raw;

MapBuilder::MapBuilder(int version, uint64_t map_type) : version_(version), registry_(version) {
    if (version < 1 || version > static_cast<int>(rd::kMaxVersion))
        throw std::invalid_argument("FST map version " + std::to_string(version) +
                                    " cannot be written (1, 2 or 3)");
    raw::put_packed(out_, static_cast<uint64_t>(version), 8);
    raw::put_packed(out_, map_type, 8);
    push_unfinished();  // the root
}

MapBuilder::Unfinished& MapBuilder::push_unfinished() {
    if (live_ == stack_.size()) stack_.emplace_back();
    Unfinished& u = stack_[live_++];
    u.node.final = false;
    u.node.final_output = 0;
    u.node.trans.clear();
    u.has_last = false;
    u.last_input = 0;
    u.last_output = 0;
    return u;
}

uint64_t MapBuilder::freeze(const raw::FrozenNode& node) {
    // The final node without transitions or output is implied by address 0.
    if (node.final && node.final_output == 0 && node.trans.empty()) return rd::kEmptyAddress;
    const uint64_t hash = raw::node_hash(node);
    if (auto addr = registry_.find(node, hash, out_)) return *addr;
    const uint64_t addr = raw::write_node(out_, node, version_);
    registry_.insert(hash, addr, out_);
    return addr;
}

void MapBuilder::freeze_below(size_t depth) {
    while (live_ > depth + 1) {
        const uint64_t addr = freeze(stack_[live_ - 1].node);
        --live_;
        Unfinished& parent = stack_[live_ - 1];
        parent.node.trans.push_back({parent.last_input, parent.last_output, addr});
        parent.has_last = false;
    }
}

Result<void> MapBuilder::insert(std::string_view key, uint64_t value) {
    if (finished_) return fail("FST map already finished; no more keys can be inserted");
    // string_view compares bytes as unsigned, which is the map's key order.
    if (key_count_ > 0 && key <= std::string_view(last_key_))
        return fail("FST keys must be inserted in strictly increasing byte order");

    size_t prefix = 0;
    if (key_count_ > 0) {
        const size_t m = std::min(key.size(), last_key_.size());
        while (prefix < m && key[prefix] == last_key_[prefix]) ++prefix;
    }
    // Nothing after the shared prefix can gain another key: freeze it.
    freeze_below(prefix);

    // Along the shared prefix each transition keeps only what the new value
    // has in common with it (the smaller of the two); the excess moves one
    // node down, onto all of that node's transitions and its final output,
    // so every key already below keeps its sum. Outputs thereby sit as close
    // to the root as possible, which is what lets equal suffixes with
    // different values share nodes.
    uint64_t rest = value;
    for (size_t i = 0; i < prefix; ++i) {
        Unfinished& u = stack_[i];
        const uint64_t common = std::min(u.last_output, rest);
        const uint64_t excess = u.last_output - common;
        u.last_output = common;
        rest -= common;
        if (excess == 0) continue;
        Unfinished& c = stack_[i + 1];
        for (raw::FrozenTransition& t : c.node.trans) t.output += excess;
        if (c.has_last) c.last_output += excess;
        if (c.node.final) c.node.final_output += excess;
    }

    if (prefix == key.size()) {
        // Only possible for the empty key inserted first: a key equal to or
        // a prefix of the previous one was refused above.
        stack_[0].node.final = true;
        stack_[0].node.final_output = rest;
    } else {
        Unfinished& u = stack_[prefix];
        u.has_last = true;
        u.last_input = static_cast<uint8_t>(key[prefix]);
        u.last_output = rest;
        for (size_t j = prefix + 1; j < key.size(); ++j) {
            Unfinished& v = push_unfinished();
            v.has_last = true;
            v.last_input = static_cast<uint8_t>(key[j]);
        }
        push_unfinished().node.final = true;
    }
    last_key_.assign(key);
    ++key_count_;
    return {};
}

std::string MapBuilder::finish() {
    if (finished_) return {};
    finished_ = true;
    freeze_below(0);

    const uint64_t trailer = rd::kFooterSize + (version_ >= 3 ? rd::kChecksumSize : 0);
    // Readers refuse maps shorter than 36 bytes. Only tiny version 1 or 2 maps
    // (no keys, or a key or two of a byte each) come out shorter; unreferenced
    // zero bytes below the root bring them to the minimum.
    if (out_.size() + 1 + trailer < rd::kMinMapSize) out_.resize(rd::kMinMapSize - 1 - trailer, '\0');

    // The root is written even when it is the empty final node: address 0 as
    // root is reserved for a map that is exactly header and footer long.
    const uint64_t root = raw::write_node(out_, stack_[0].node, version_);
    raw::put_packed(out_, key_count_, 8);
    raw::put_packed(out_, root, 8);
    if (version_ >= 3) raw::put_packed(out_, raw::crc32c(out_), 4);
    stack_.clear();
    return std::move(out_);
}

std::string build_map(const std::vector<std::pair<std::string, uint64_t>>& sorted_unique, int version) {
    MapBuilder b(version);
    for (const auto& [key, value] : sorted_unique)
        if (auto r = b.insert(key, value); !r) throw std::invalid_argument(r.error().message);
    return b.finish();
}

}  // namespace tarnwik::build::fst
