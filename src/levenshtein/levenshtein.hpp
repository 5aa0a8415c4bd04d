// Levenshtein automata: a byte DFA accepting exactly the UTF-8 texts within
// a given edit distance of a query (unit-cost insertions, deletions and
// substitutions of Unicode scalar values; no transpositions).
//
// The automaton plugs into FST streaming as it is:
//     map.stream(lev)                      keys within the distance
//     map.stream(fst::StartsWith(lev))     keys with a prefix within it
// `Levenshtein` is a handle on an immutable, shared table, so copying it into
// a stream costs one reference count.
//
// Building is far costlier than stepping, so queries take their automata from
// the per-thread cache (`from_cache`), which also remembers the queries whose
// automaton is too large to build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.hpp"

namespace tarnwik::levenshtein {

// Building stops with an error once the table holds more states than this.
inline constexpr uint32_t kStateLimit = 10000;
// The cache is emptied, whole, when a miss finds it this full.
inline constexpr size_t kCacheCapacity = 256;

// The state table: 256 transitions and a match flag per state, kept in
// blocks of 64 states that never move once allocated.
class Dfa {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;  // no transition
    static constexpr uint32_t kBlockStates = 64;

    Dfa() = default;
    Dfa(Dfa&&) noexcept = default;
    Dfa& operator=(Dfa&&) noexcept = default;

    uint32_t size() const { return size_; }
    // `s` must be below size().
    uint32_t next(uint32_t s, uint8_t byte) const { return blocks_[s / kBlockStates]->next[s % kBlockStates][byte]; }
    bool is_match(uint32_t s) const { return blocks_[s / kBlockStates]->match[s % kBlockStates]; }

    // Construction: a new state without transitions, and write access to a
    // state's transition row.
    uint32_t add_state(bool match);
    uint32_t* row(uint32_t s) { return blocks_[s / kBlockStates]->next[s % kBlockStates]; }

private:
    struct Block {
        uint32_t next[kBlockStates][256];
        bool match[kBlockStates];
    };
    std::vector<std::unique_ptr<Block>> blocks_;
    uint32_t size_ = 0;
};

class Levenshtein {
public:
    using State = uint32_t;

    // The automaton for texts within distance `d` of `query`. Fails when it
    // would need more than kStateLimit states; the error carries no message
    // (its cause names the limit), callers only test for it.
    static Result<Levenshtein> create(std::string_view query, uint32_t d);

    const std::string& query() const { return data_->query; }
    uint32_t distance() const { return data_->d; }
    const Dfa& dfa() const { return data_->dfa; }
    uint32_t state_count() const { return data_->dfa.size(); }

    // Whether the whole of `text` is within the distance.
    bool matches(std::string_view text) const;

    // Automaton interface of fst::Map::stream.
    State start() const { return 0; }
    bool is_match(const State& s) const { return data_->dfa.is_match(s); }
    bool can_match(const State&) const { return true; }  // every live state leads to a match
    std::optional<State> accept(const State& s, uint8_t byte) const {
        const uint32_t t = data_->dfa.next(s, byte);
        if (t == Dfa::kNone) return std::nullopt;
        return t;
    }

private:
    struct Data {
        std::string query;
        uint32_t d = 0;
        Dfa dfa;
    };
    explicit Levenshtein(std::shared_ptr<const Data> data) : data_(std::move(data)) {}

    std::shared_ptr<const Data> data_;
};

// LEV_CACHE, the calling thread's cache of automata by (query, distance).
// Nothing when the automaton cannot be built (too many states); that outcome
// is cached too. A miss on a full cache empties it before building.
std::optional<Levenshtein> from_cache(std::string_view query, uint32_t d);
// Empties the calling thread's cache.
void clear_cache();

struct CacheStats {
    size_t entries = 0;   // automata and failures held now
    uint64_t builds = 0;  // misses, each of which ran a build
    uint64_t hits = 0;
};
// The calling thread's cache: counts since the thread started.
CacheStats cache_stats();

}  // namespace tarnwik::levenshtein
