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
//
// A transition entry is either a state number, kNone, or a pending entry for
// the continuation bytes of a multi-byte character: "take `remaining` more
// continuation bytes (the first within `cont`), then go to `target`". Every
// character outside the query takes the same path from a state, so a pending
// entry stands for the chain of intermediate states that path would
// otherwise need, and a state's catch-all transitions cost no states at all.
class Dfa {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;  // no transition
    static constexpr uint32_t kBlockStates = 64;
    static constexpr uint32_t kMaxStates = 1u << 25;

    // Ranges allowed for the first continuation byte after a lead byte; the
    // narrower ones exclude overlong forms, surrogates and values beyond
    // U+10FFFF.
    enum Cont : uint32_t { kAny = 0, kAfterE0 = 1, kAfterED = 2, kAfterF0 = 3, kAfterF4 = 4 };
    static constexpr uint8_t kContLow[5] = {0x80, 0xA0, 0x80, 0x90, 0x80};
    static constexpr uint8_t kContHigh[5] = {0xBF, 0xBF, 0x9F, 0xBF, 0x8F};

    static constexpr uint32_t pending(uint32_t target, uint32_t remaining, Cont cont) {
        return kPending | (remaining << 28) | (uint32_t{cont} << 25) | target;
    }
    static constexpr bool is_pending(uint32_t e) { return (e & 0xC0000000u) == kPending; }

    Dfa() = default;
    Dfa(Dfa&&) noexcept = default;
    Dfa& operator=(Dfa&&) noexcept = default;

    uint32_t size() const { return size_; }

    // The entry reached from `s` (a state or a pending entry) on `byte`.
    uint32_t step(uint32_t s, uint8_t byte) const {
        if (is_pending(s)) [[unlikely]] {
            const uint32_t cont = (s >> 25) & 7;
            if (byte < kContLow[cont] || byte > kContHigh[cont]) return kNone;
            const uint32_t remaining = (s >> 28) & 3;
            const uint32_t target = s & kTargetMask;
            return remaining == 1 ? target : pending(target, remaining - 1, kAny);
        }
        return blocks_[s / kBlockStates]->next[s % kBlockStates][byte];
    }
    bool is_match(uint32_t s) const {
        return !is_pending(s) && blocks_[s / kBlockStates]->match[s % kBlockStates];
    }

    // Construction: a new state without transitions, and write access to a
    // state's transition row.
    uint32_t add_state(bool match);
    uint32_t* row(uint32_t s) { return blocks_[s / kBlockStates]->next[s % kBlockStates]; }

private:
    static constexpr uint32_t kPending = 0x40000000u;
    static constexpr uint32_t kTargetMask = kMaxStates - 1;

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
    // needs more than kStateLimit states, counted as if every multi-byte path
    // had its own chain of intermediate states (see `counted_states`); the
    // error carries no message (its cause names the limit), callers only test
    // for it.
    static Result<Levenshtein> create(std::string_view query, uint32_t d);

    const std::string& query() const { return data_->query; }
    uint32_t distance() const { return data_->d; }
    const Dfa& dfa() const { return data_->dfa; }
    // States held in the table.
    uint32_t state_count() const { return data_->dfa.size(); }
    // States of the plain construction, where each catch-all and each
    // multi-byte query character gets fresh intermediate states per expanded
    // state; the state limit applies to this number.
    uint32_t counted_states() const { return data_->counted; }

    // Whether the whole of `text` is within the distance.
    bool matches(std::string_view text) const;

    // Automaton interface of fst::Map::stream.
    State start() const { return 0; }
    bool is_match(const State& s) const { return data_->dfa.is_match(s); }
    bool can_match(const State&) const { return true; }  // every live state leads to a match
    std::optional<State> accept(const State& s, uint8_t byte) const {
        const uint32_t t = data_->dfa.step(s, byte);
        if (t == Dfa::kNone) return std::nullopt;
        return t;
    }

private:
    struct Data {
        std::string query;
        uint32_t d = 0;
        uint32_t counted = 0;
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
