// Automata for the fuzzy phase of the prepared search, run over the
// street-commune key map (street key, 0x1F, commune code).
//
// SingleEditKeys accepts the keys of every spelling one edit away from a
// street text, the edits the search tries: a deleted character, two
// adjacent characters swapped and, when asked, a letter substituted or
// inserted. One pruned walk of the map finds the keys that would otherwise
// take one exact lookup (or range) per spelling, over a thousand of them
// for a typical street inside a named commune.
//
// LevenshteinRows is the Levenshtein automaton of levenshtein::Levenshtein
// for an ASCII query, stepped row by row instead of through a built state
// table, and levenshtein_fits says whether that table could be built at all
// (the builder gives up beyond levenshtein::kStateLimit states). Building the
// table costs 0.1-0.5 ms at distance 2, more than a whole search, and most
// automaton runs of a search find no key at all; stepping the rows costs
// nothing up front, and the state count is only needed once a key matched.
// LevenshteinDfa numbers the rows a walk reaches and remembers their
// transitions, so that a row is stepped once per distinct transition.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwik::query {

// Letters substituted and inserted by SingleEditKeys.
enum class EditAlphabet : uint8_t {
    none,     // deletions and swaps only
    latin,    // a-z
    russian,  // а-я and ё
};

class SingleEditKeys {
public:
    // `street` must be valid UTF-8. With `codes` (any order, duplicates
    // allowed) a key matches only when exactly one of them follows the 0x1F;
    // without, anything may follow it.
    SingleEditKeys(std::string_view street, EditAlphabet alphabet, const std::vector<std::string_view>* codes);

    // One thread of the non-deterministic reading of a key.
    // Trivial, so that a State's unused threads cost nothing; brace
    // initialisation zeroes the fields it does not name.
    struct Thread {
        enum Kind : uint8_t { exact0, exact1, swap_a, swap_b, sub, ins, tail, tail_any };
        Kind kind;
        uint8_t b;     // bytes read of the current character (letter or street character)
        uint8_t lead;  // first byte of a two-byte letter being read
        uint32_t i;    // street character (exact, swap, sub, ins) or tail length
        uint32_t lo, hi;  // codes still possible (tail)
        bool operator==(const Thread&) const = default;
    };
    // Enough for any text: besides the one unedited thread, edited readings
    // are at most 7 (an edit moves the street offset by -2..4 bytes), swaps
    // in progress at most 12, letters being read at most 4, and one tail.
    static constexpr size_t kMaxThreads = 32;
    // Only the first n threads are ever read, and only they are copied: the
    // map walk copies a state into every frame it pushes.
    struct State {
        std::array<Thread, kMaxThreads> t;
        uint8_t n = 0;

        State() {}
        State(const State& o) : n(o.n) { std::copy_n(o.t.begin(), n, t.begin()); }
        State& operator=(const State& o) {
            n = o.n;
            std::copy_n(o.t.begin(), n, t.begin());
            return *this;
        }
    };

    State start() const;
    bool is_match(const State& s) const;
    bool can_match(const State& s) const { return s.n > 0; }
    std::optional<State> accept(const State& s, uint8_t byte) const;

private:
    void add(State& s, const Thread& t) const;
    void add_closed(State& s, const Thread& t) const;  // with the edits that start at a boundary
    bool space(size_t i) const { return chars_[i] == U' '; }
    std::string_view bytes_of(size_t i) const { return std::string_view(street_).substr(off_[i], off_[i + 1] - off_[i]); }

    std::string street_;
    std::u32string chars_;
    std::vector<uint32_t> off_;  // byte offset of each character, and the end
    EditAlphabet alphabet_;
    std::vector<std::string> codes_;  // sorted, unique; empty with any_tail_
    bool any_tail_;
};

// The Levenshtein automaton of an ASCII query at distance 1 or 2, over the
// UTF-8 bytes of keys; it accepts exactly what levenshtein::Levenshtein does.
class LevenshteinRows {
public:
    static constexpr uint32_t kMaxDistance = 2;
    LevenshteinRows(std::string_view ascii_query, uint32_t d);

    // A row of the edit-distance table: the input length read and the
    // entries of the query prefixes within d of it (the others all exceed
    // d). Inside a multi-byte character the row is the one after it and
    // `pending` counts the continuation bytes still to come.
    struct State {
        uint32_t k = 0;
        std::array<uint8_t, 2 * kMaxDistance + 1> w{};  // entries past 2d + 1 hold the cap
        uint8_t pending = 0;
        uint8_t cont = 0;  // range of the next continuation byte
        bool operator==(const State&) const = default;
    };

    State start() const;
    bool is_match(const State& s) const { return s.pending == 0 && entry(s, query_.size()) <= d_; }
    bool can_match(const State& s) const;
    std::optional<State> accept(const State& s, uint8_t byte) const;

    // The row after one character (ASCII byte `c`, or -1 for a character
    // that is in no position of the query).
    State step(const State& s, int c) const;
    // The same, given which characters of the row's window equal the
    // input (bit j: the one before entry j's prefix; see window_mask).
    State step_mask(const State& s, uint64_t equal) const;
    // Bit j set when the byte equals query[s.k - d + j], j < 2d + 1.
    uint32_t window_mask(const State& s, uint8_t byte) const;
    uint32_t entry(const State& s, size_t i) const;
    bool live(const State& s) const;
    const std::string& query() const { return query_; }
    uint32_t distance() const { return d_; }

private:
    static constexpr size_t kWidth = 2 * kMaxDistance + 1;
    uint64_t positions_of(unsigned char c, int64_t from) const;

    std::string query_;
    size_t n_;
    uint32_t d_;
    uint8_t cap_;
    // Where each ASCII character stands in the query: for byte c, words_
    // 64-bit words from positions_[c * words_], bit i for query[i]; one
    // word more than the query needs, always zero, ends every lookup.
    size_t words_;
    std::vector<uint64_t> positions_;
    // A map node offers many bytes to the same state, and every byte that is
    // none of the query characters near the state's position leads to the
    // same row: the last such row is kept. (The automaton is a value owned
    // by one stream, so the memo is never shared between threads.)
    mutable State memo_from_{~0u, {}, 0, 0};
    mutable std::optional<State> memo_other_;
};

// LevenshteinRows with the rows it reaches numbered and their transitions
// remembered, built as a walk asks for them: the automaton a search streams
// the key map with. Keys share most of their prefixes' rows (a walk of a
// real map reaches the same row with the same query characters 5-12 times
// on average), so most bytes cost a table lookup instead of a row step. A
// row's next row depends only on which of the query characters in its
// window equal the byte: that 2d + 1 bit mask picks the transition.
// An instance belongs to one stream (it is copied into it); its tables grow
// inside const accept() and are never shared between threads.
class LevenshteinDfa {
public:
    LevenshteinDfa(std::string_view ascii_query, uint32_t d);

    struct State {
        uint32_t row = 0;  // numbered row
        uint8_t pending = 0;  // as in LevenshteinRows::State
        uint8_t cont = 0;
    };

    State start() const { return State{}; }
    bool is_match(const State& s) const { return s.pending == 0 && match_[s.row]; }
    // Only live rows are numbered.
    bool can_match(const State&) const { return true; }
    std::optional<State> accept(const State& s, uint8_t byte) const {
        if (s.pending > 0 || byte >= 0x80) return accept_other(s, byte);
        // Bytes of the window equal to the input become zero, and the
        // zero-byte test sets bit 8j + 7 for each; the multiplication
        // gathers those bits into the top byte (the 0xFF filler never
        // equals an ASCII byte).
        const uint64_t diff = window_[s.row] ^ (byte * 0x0101010101010101ull);
        const uint64_t zero = ~(((diff & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | diff | 0x7F7F7F7F7F7F7F7Full);
        const auto mask = static_cast<uint32_t>(((zero >> 7) * 0x0102040810204080ull) >> 56);
        uint32_t next = next_[size_t{s.row} * kMasks + mask];
        if (next == kUnknown) next = follow(s.row, mask);
        if (next == kDead) return std::nullopt;
        return State{next, 0, 0};
    }

    const LevenshteinRows& rows() const { return rows_; }

private:
    static constexpr uint32_t kMasks = 1u << (2 * LevenshteinRows::kMaxDistance + 1);
    static constexpr uint32_t kUnknown = 0xFFFFFFFF, kDead = 0xFFFFFFFE;
    uint32_t number(const LevenshteinRows::State& row) const;  // kDead for a dead row
    uint32_t follow(uint32_t row, uint32_t mask) const;          // next row, or kDead
    std::optional<State> accept_other(const State& s, uint8_t byte) const;

    LevenshteinRows rows_;
    mutable std::vector<LevenshteinRows::State> row_;
    // The query characters of each row's window, a byte each (0xFF outside
    // the query), for window_mask without reaching into the query.
    mutable std::vector<uint64_t> window_;
    mutable std::vector<uint8_t> match_;
    mutable std::vector<uint32_t> next_;  // kMasks per row: next row, kUnknown or kDead
    // Packed row -> number, open addressing; 0 marks a free slot.
    mutable std::vector<uint64_t> slot_keys_;
    mutable std::vector<uint32_t> slot_rows_;
};

// The number of states levenshtein::Levenshtein counts when building the
// automaton of an ASCII query (its states plus the intermediate states of
// the multi-byte paths), or nothing once it exceeds `limit`.
std::optional<uint32_t> levenshtein_plain_states(std::string_view ascii_query, uint32_t d, uint32_t limit);

// Whether levenshtein::Levenshtein::create would build this automaton.
bool levenshtein_fits(std::string_view ascii_query, uint32_t d);

}  // namespace tarnwik::query
