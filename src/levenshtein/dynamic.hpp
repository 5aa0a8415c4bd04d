// The non-deterministic form of the Levenshtein automaton: a state is one row
// of the edit-distance table between the query and the input read so far.
// The deterministic automaton is built by enumerating the rows reachable from
// the start row.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwik::levenshtein {

class DynamicLevenshtein {
public:
    // Invalid UTF-8 in `query` counts as U+FFFD, one per maximal invalid
    // subpart.
    // A bound above kMaxDistance acts as kMaxDistance; either is far beyond
    // what the state limit allows (every input length up to the bound is a
    // state of its own).
    DynamicLevenshtein(std::string_view query, uint32_t d);
    static constexpr uint32_t kMaxDistance = 1u << 20;

    const std::u32string& chars() const { return chars_; }
    uint32_t distance() const { return d_; }
    // Number of entries in a state: one per query prefix length.
    size_t width() const { return chars_.size() + 1; }

    // (0, 1, ..., n).
    std::vector<uint32_t> start() const;
    // Entry i of a state: the distance between the query's first i
    // characters and the input, capped at d + 1, except entry 0, which is
    // the length of the input and never capped.
    bool is_match(std::span<const uint32_t> s) const { return s.back() <= d_; }
    bool can_match(std::span<const uint32_t> s) const;

    // Entries that can be within the distance: i in [k - d, k + d] for an
    // input of length k = s[0], since the distance is at least |k - i|.
    // Every other entry of a state reached from start() is d + 1.
    std::pair<size_t, size_t> window(std::span<const uint32_t> s) const;

    // The state after reading `c`; nullopt stands for any character that is
    // not in the query. `s` must be reachable from start(); `out` must have
    // width() entries and must not alias `s`.
    void accept(std::span<const uint32_t> s, std::optional<char32_t> c, std::span<uint32_t> out) const;
    std::vector<uint32_t> accept(std::span<const uint32_t> s, std::optional<char32_t> c) const;

private:
    std::u32string chars_;
    uint32_t d_;
    uint32_t cap_;  // d + 1
};

}  // namespace tarnwik::levenshtein
