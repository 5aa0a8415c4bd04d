// Writing FST maps: keys in strictly increasing byte order in, the bytes of a
// minimal acyclic transducer out (format versions 1, 2 and 3).
//
// The construction is incremental: only the path of the last key is held
// unfinished; everything to its left is frozen, deduplicated against the
// registry of written nodes and written at once. Memory is therefore the
// map bytes, one registry slot per node and the longest key's path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build/fst/raw/node_writer.hpp"
#include "build/fst/raw/registry.hpp"
#include "util/result.hpp"

namespace tarnwik::build::fst {

class MapBuilder {
public:
    // Throws std::invalid_argument for a version outside 1..3.
    explicit MapBuilder(int version = 3, uint64_t map_type = 0);

    // Keys must be strictly increasing in byte order; anything else is an
    // error and leaves the builder unchanged.
    Result<void> insert(std::string_view key, uint64_t value);

    // The complete map bytes. The builder is spent afterwards.
    std::string finish();

    uint64_t key_count() const { return key_count_; }

private:
    // A node on the path of the last key. Its transitions to the left are
    // frozen; the transition along the path (`last_*`) still waits for its
    // target.
    struct Unfinished {
        raw::FrozenNode node;
        bool has_last = false;
        uint8_t last_input = 0;
        uint64_t last_output = 0;
    };

    Unfinished& push_unfinished();
    // Freezes the path below depth `depth` (keeps nodes 0..depth).
    void freeze_below(size_t depth);
    uint64_t freeze(const raw::FrozenNode& node);

    int version_;
    std::string out_;
    raw::Registry registry_;
    // stack_[0..live_) is the path of the last key; entries past live_ keep
    // their vectors' capacity for reuse.
    std::vector<Unfinished> stack_;
    size_t live_ = 0;
    std::string last_key_;
    uint64_t key_count_ = 0;
    bool finished_ = false;
};

// Convenience over MapBuilder for keys already sorted and unique; throws
// std::invalid_argument when they are not.
std::string build_map(const std::vector<std::pair<std::string, uint64_t>>& sorted_unique,
                      int version = 3);

}  // namespace tarnwik::build::fst
