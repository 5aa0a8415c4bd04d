#include "query/fuzzy_keys.hpp"

#include <algorithm>
#include <bit>
#include <unordered_map>

#include "levenshtein/levenshtein.hpp"
#include "util/text.hpp"

namespace tarnwik::query {

// ---------------------------------------------------------------------------
// SingleEditKeys

SingleEditKeys::SingleEditKeys(std::string_view street, EditAlphabet alphabet,
                               const std::vector<std::string_view>* codes)
    : street_(street), alphabet_(alphabet), any_tail_(codes == nullptr) {
    for (size_t i = 0; i < street_.size();) {
        off_.push_back(static_cast<uint32_t>(i));
        chars_.push_back(text::next_scalar(street_, i));
    }
    off_.push_back(static_cast<uint32_t>(street_.size()));
    if (codes) {
        codes_.assign(codes->begin(), codes->end());
        std::sort(codes_.begin(), codes_.end());
        codes_.erase(std::unique(codes_.begin(), codes_.end()), codes_.end());
    }
}

void SingleEditKeys::add(State& s, const Thread& t) const {
    for (uint8_t k = 0; k < s.n; ++k)
        if (s.t[k] == t) return;
    if (s.n < kMaxThreads) s.t[s.n++] = t;  // the bound above always leaves room
}

void SingleEditKeys::add_closed(State& s, const Thread& t) const {
    add(s, t);
    if (t.kind != Thread::exact0 || t.b != 0) return;
    const size_t n = chars_.size(), i = t.i;
    if (i < n && !space(i)) {
        add(s, {Thread::exact1, 0, 0, static_cast<uint32_t>(i + 1)});
        if (i + 1 < n && !space(i + 1) && chars_[i] != chars_[i + 1]) add(s, {Thread::swap_a, 0, 0, t.i});
        if (alphabet_ != EditAlphabet::none) add(s, {Thread::sub, 0, 0, t.i});
    }
    if (alphabet_ != EditAlphabet::none && !(i > 0 && i < n && space(i - 1) && space(i)))
        add(s, {Thread::ins, 0, 0, t.i});
}

SingleEditKeys::State SingleEditKeys::start() const {
    State s;
    add_closed(s, {Thread::exact0, 0, 0, 0});
    return s;
}

bool SingleEditKeys::is_match(const State& s) const {
    for (uint8_t k = 0; k < s.n; ++k) {
        const Thread& t = s.t[k];
        if (t.kind == Thread::tail_any) return true;
        if (t.kind == Thread::tail && codes_[t.lo].size() == t.i) return true;
    }
    return false;
}

std::optional<SingleEditKeys::State> SingleEditKeys::accept(const State& s, uint8_t x) const {
    const size_t n = chars_.size();
    State out;
    // A letter of the alphabet read byte by byte: the letter once complete,
    // 0 while its first byte is in, nothing when the byte is no letter's.
    auto letter = [&](const Thread& t, Thread& partial) -> std::optional<char32_t> {
        if (alphabet_ == EditAlphabet::latin) {
            if (x >= 'a' && x <= 'z') return char32_t{x};
            return std::nullopt;
        }
        if (t.b == 0) {
            if (x != 0xD0 && x != 0xD1) return std::nullopt;
            partial = t;
            partial.b = 1;
            partial.lead = x;
            return char32_t{0};
        }
        if (t.lead == 0xD0 && x >= 0xB0 && x <= 0xBF) return static_cast<char32_t>(0x0430 + (x - 0xB0));
        if (t.lead == 0xD1 && x >= 0x80 && x <= 0x8F) return static_cast<char32_t>(0x0440 + (x - 0x80));
        if (t.lead == 0xD1 && x == 0x91) return char32_t{0x0451};
        return std::nullopt;
    };
    // One more byte of street character `c`: the thread advanced, or done
    // when the character is complete.
    auto follow = [&](const Thread& t, size_t c, Thread::Kind done_kind, uint32_t done_i, bool& done) -> std::optional<Thread> {
        const std::string_view bytes = bytes_of(c);
        if (static_cast<uint8_t>(bytes[t.b]) != x) return std::nullopt;
        Thread next = t;
        ++next.b;
        done = next.b == bytes.size();
        if (done) next = Thread{done_kind, 0, 0, done_i};
        return next;
    };

    for (uint8_t k = 0; k < s.n; ++k) {
        const Thread& t = s.t[k];
        bool done = false;
        switch (t.kind) {
            case Thread::exact0:
            case Thread::exact1:
                if (t.i == n) {
                    if (t.kind != Thread::exact1 || x != 0x1F) break;
                    if (any_tail_)
                        add(out, {Thread::tail_any, 0, 0, 0});
                    else if (!codes_.empty())
                        add(out, {Thread::tail, 0, 0, 0, 0, static_cast<uint32_t>(codes_.size())});
                    break;
                }
                if (auto next = follow(t, t.i, t.kind, t.i + 1, done)) {
                    if (t.kind == Thread::exact0)
                        add_closed(out, *next);
                    else
                        add(out, *next);
                }
                break;
            case Thread::swap_a:
                if (auto next = follow(t, t.i + 1, Thread::swap_b, t.i, done)) add(out, *next);
                break;
            case Thread::swap_b:
                if (auto next = follow(t, t.i, Thread::exact1, t.i + 2, done)) add(out, *next);
                break;
            case Thread::sub:
            case Thread::ins: {
                Thread partial;
                const std::optional<char32_t> c = letter(t, partial);
                if (!c) break;
                if (*c == 0) {
                    add(out, partial);
                } else if (t.kind == Thread::ins) {
                    add(out, {Thread::exact1, 0, 0, t.i});
                } else if (*c != chars_[t.i]) {
                    add(out, {Thread::exact1, 0, 0, t.i + 1});
                }
                break;
            }
            case Thread::tail: {
                // Codes sharing the t.i bytes read, in sorted order: those
                // with byte x next form one run.
                uint32_t lo = t.lo;
                while (lo < t.hi && (codes_[lo].size() <= t.i || static_cast<uint8_t>(codes_[lo][t.i]) < x)) ++lo;
                uint32_t hi = lo;
                while (hi < t.hi && codes_[hi].size() > t.i && static_cast<uint8_t>(codes_[hi][t.i]) == x) ++hi;
                if (lo < hi) add(out, {Thread::tail, 0, 0, t.i + 1, lo, hi});
                break;
            }
            case Thread::tail_any:
                add(out, t);
                break;
        }
    }
    if (out.n == 0) return std::nullopt;
    return out;
}

// ---------------------------------------------------------------------------
// LevenshteinRows

namespace {

// Continuation-byte ranges of UTF-8, as levenshtein::Dfa reads them.
constexpr uint8_t kContLow[5] = {0x80, 0xA0, 0x80, 0x90, 0x80};
constexpr uint8_t kContHigh[5] = {0xBF, 0xBF, 0x9F, 0xBF, 0x8F};

// Continuation bytes after a lead byte and the range of the first; nothing
// for a byte that starts no character.
struct Lead {
    uint8_t remaining;
    uint8_t cont;
};
std::optional<Lead> lead_byte(uint8_t x) {
    if (x >= 0xC2 && x <= 0xDF) return Lead{1, 0};
    if (x == 0xE0) return Lead{2, 1};
    if ((x >= 0xE1 && x <= 0xEC) || x == 0xEE || x == 0xEF) return Lead{2, 0};
    if (x == 0xED) return Lead{2, 2};
    if (x == 0xF0) return Lead{3, 3};
    if (x >= 0xF1 && x <= 0xF3) return Lead{3, 0};
    if (x == 0xF4) return Lead{3, 4};
    return std::nullopt;
}

// The states the table builder adds for the path of "any character" out
// of a state: U+0000..U+10FFFF splits into one 1-byte, one 2-byte, four
// 3-byte and three 4-byte byte-range sequences, each with one state per
// byte but the last.
constexpr uint32_t kAnyCharIntermediates = 1 + 4 * 2 + 3 * 3;

}  // namespace

LevenshteinRows::LevenshteinRows(std::string_view ascii_query, uint32_t d)
    : query_(ascii_query),
      n_(ascii_query.size()),
      d_(std::min(d, kMaxDistance)),
      cap_(static_cast<uint8_t>(d_ + 1)),
      words_((ascii_query.size() + 63) / 64 + 1),
      positions_(128 * words_, 0) {
    for (size_t i = 0; i < n_; ++i) {
        const auto c = static_cast<unsigned char>(ascii_query[i]);
        if (c < 0x80) positions_[c * words_ + i / 64] |= uint64_t{1} << (i % 64);
    }
}

// Bit j: query[from + j] is c, for j < 64 (from may be negative).
uint64_t LevenshteinRows::positions_of(unsigned char c, int64_t from) const {
    if (c >= 0x80) return 0;
    const uint64_t* m = positions_.data() + c * words_;
    if (from < 0) return from <= -64 ? 0 : m[0] << -from;
    const auto w = static_cast<size_t>(from / 64);
    const auto off = static_cast<unsigned>(from % 64);
    if (w + 1 >= words_) return 0;  // the last word is always zero
    return off == 0 ? m[w] : (m[w] >> off) | (m[w + 1] << (64 - off));
}

uint32_t LevenshteinRows::entry(const State& s, size_t i) const {
    if (i == 0) return s.k;
    if (i > n_ || i + d_ < s.k || i > s.k + d_) return cap_;
    return s.w[i + d_ - s.k];
}

LevenshteinRows::State LevenshteinRows::start() const {
    State s;
    s.w.fill(cap_);
    for (size_t i = 1; i <= d_ && i <= n_; ++i) s.w[i + d_] = static_cast<uint8_t>(i);
    return s;
}

// Entry j of a row stands for query prefix k - d + j; those outside 1..n
// hold the cap. Entry j of the new row reads entries j (one prefix shorter)
// and j + 1 (the same prefix) of the old one, and the query character
// before its prefix, query[k - d + j] with the old row's k.
LevenshteinRows::State LevenshteinRows::step(const State& s, int c) const {
    return step_mask(s, c < 0 ? 0 : positions_of(static_cast<unsigned char>(c), int64_t{s.k} - d_));
}

uint32_t LevenshteinRows::window_mask(const State& s, uint8_t byte) const {
    return static_cast<uint32_t>(positions_of(byte, int64_t{s.k} - d_) & ((uint64_t{1} << (2 * d_ + 1)) - 1));
}

LevenshteinRows::State LevenshteinRows::step_mask(const State& s, uint64_t equal) const {
    State t;
    t.k = s.k + 1;
    const int64_t width = 2 * int64_t{d_} + 1;
    const int64_t base = int64_t{t.k} - d_;  // the prefix entry 0 stands for
    const uint32_t cap = cap_;
    // The entry left of entry 0: prefix 0 holds the input length, prefixes
    // outside the window the cap.
    uint32_t left = base == 1 ? t.k : cap;
    for (int64_t j = 0; j < int64_t{kWidth}; ++j) {
        const int64_t i = base + j;
        if (j >= width || i < 1 || i > static_cast<int64_t>(n_)) {
            t.w[j] = static_cast<uint8_t>(cap);
            left = i == 0 ? t.k : cap;
            continue;
        }
        const uint32_t same = j + 1 < width ? s.w[j + 1] : cap;
        const uint32_t shorter = i == 1 ? s.k : s.w[j];
        const uint32_t cost = (equal >> j & 1) ? 0 : 1;
        const uint32_t v = std::min({std::min(left, same) + 1, shorter + cost, cap});
        t.w[j] = static_cast<uint8_t>(v);
        left = v;
    }
    return t;
}

bool LevenshteinRows::live(const State& s) const {
    if (s.k <= d_) return true;
    bool any = false;
    for (uint8_t v : s.w) any |= v <= d_;
    return any;
}

bool LevenshteinRows::can_match(const State& s) const { return s.pending > 0 || live(s); }

std::optional<LevenshteinRows::State> LevenshteinRows::accept(const State& s, uint8_t x) const {
    if (s.pending > 0) {
        if (x < kContLow[s.cont] || x > kContHigh[s.cont]) return std::nullopt;
        State t = s;
        --t.pending;
        t.cont = 0;
        return t;
    }
    auto other = [&]() -> const std::optional<State>& {
        if (!(memo_from_ == s)) {
            memo_from_ = s;
            State t = step(s, -1);
            memo_other_ = live(t) ? std::optional<State>(t) : std::nullopt;
        }
        return memo_other_;
    };
    if (x < 0x80) {
        // A query character within reach of the row's prefixes.
        if (const uint32_t mask = window_mask(s, x)) {
            State t = step_mask(s, mask);
            if (!live(t)) return std::nullopt;
            return t;
        }
        return other();
    }
    const std::optional<Lead> lead = lead_byte(x);
    if (!lead) return std::nullopt;
    std::optional<State> t = other();
    if (!t) return std::nullopt;
    t->pending = lead->remaining;
    t->cont = lead->cont;
    return t;
}

// ---------------------------------------------------------------------------
// LevenshteinDfa

LevenshteinDfa::LevenshteinDfa(std::string_view ascii_query, uint32_t d)
    : rows_(ascii_query, d), slot_keys_(256, 0), slot_rows_(256, 0) {
    row_.reserve(64);
    window_.reserve(64);
    match_.reserve(64);
    next_.reserve(64 * kMasks);
    number(rows_.start());  // row 0; the start row is always live
}

uint32_t LevenshteinDfa::number(const LevenshteinRows::State& row) const {
    if (!rows_.live(row)) return kDead;
    // Entries are at most d + 1 <= 3: two bits each. The bit above them
    // keeps every key apart from the free slot's 0.
    uint64_t key = (uint64_t{row.k} << 11) | (uint64_t{1} << 10);
    for (size_t j = 0; j < row.w.size(); ++j) key |= uint64_t{row.w[j]} << (2 * j);
    size_t mask = slot_keys_.size() - 1;
    size_t i = (key * 0x9E3779B97F4A7C15ull) >> 40 & mask;
    for (; slot_keys_[i] != 0; i = (i + 1) & mask)
        if (slot_keys_[i] == key) return slot_rows_[i];

    const auto number = static_cast<uint32_t>(row_.size());
    row_.push_back(row);
    uint64_t window = ~uint64_t{0};
    const std::string& q = rows_.query();
    for (uint32_t j = 0; j < 2 * rows_.distance() + 1; ++j) {
        const int64_t at = int64_t{row.k} - rows_.distance() + j;
        if (at >= 0 && at < static_cast<int64_t>(q.size())) {
            window &= ~(uint64_t{0xFF} << (8 * j));
            window |= uint64_t{static_cast<uint8_t>(q[static_cast<size_t>(at)])} << (8 * j);
        }
    }
    window_.push_back(window);
    match_.push_back(rows_.is_match(row) ? 1 : 0);
    next_.resize(next_.size() + kMasks, kUnknown);

    slot_keys_[i] = key;
    slot_rows_[i] = number;
    if (2 * row_.size() > slot_keys_.size()) {  // keep the table at most half full
        std::vector<uint64_t> keys(slot_keys_.size() * 2, 0);
        std::vector<uint32_t> rows(keys.size(), 0);
        mask = keys.size() - 1;
        for (size_t j = 0; j < slot_keys_.size(); ++j) {
            if (slot_keys_[j] == 0) continue;
            size_t at = (slot_keys_[j] * 0x9E3779B97F4A7C15ull) >> 40 & mask;
            while (keys[at] != 0) at = (at + 1) & mask;
            keys[at] = slot_keys_[j];
            rows[at] = slot_rows_[j];
        }
        slot_keys_ = std::move(keys);
        slot_rows_ = std::move(rows);
    }
    return number;
}

uint32_t LevenshteinDfa::follow(uint32_t row, uint32_t mask) const {
    const size_t slot = size_t{row} * kMasks + mask;
    uint32_t next = next_[slot];
    if (next == kUnknown) {
        // number() may grow row_ and next_: step a copy, store by index.
        const LevenshteinRows::State r = row_[row];
        next = number(rows_.step_mask(r, mask));
        next_[slot] = next;
    }
    return next;
}

// Multi-byte characters and their continuation bytes; ASCII bytes take the
// inline path of accept().
std::optional<LevenshteinDfa::State> LevenshteinDfa::accept_other(const State& s, uint8_t x) const {
    if (s.pending > 0) {
        if (x < kContLow[s.cont] || x > kContHigh[s.cont]) return std::nullopt;
        return State{s.row, static_cast<uint8_t>(s.pending - 1), 0};
    }
    const std::optional<Lead> lead = lead_byte(x);
    if (!lead) return std::nullopt;
    const uint32_t next = follow(s.row, 0);  // a character in no position of the window
    if (next == kDead) return std::nullopt;
    return State{next, lead->remaining, lead->cont};
}

std::optional<uint32_t> levenshtein_plain_states(std::string_view ascii_query, uint32_t d, uint32_t limit) {
    const LevenshteinRows lev(ascii_query, d);
    const size_t n = ascii_query.size();
    d = lev.distance();
    // Rows are told apart by input length and window; packed, they are the
    // keys of an open-addressing set (0 is free: every packed row has a
    // window entry above 0 or is the start row, inserted apart).
    auto key = [](const LevenshteinRows::State& s) {
        uint64_t k = (uint64_t{s.k} << 16) | 1;
        for (size_t j = 0; j < s.w.size(); ++j) k |= uint64_t{s.w[j]} << (2 * j + 1);
        return k;
    };
    std::vector<uint64_t> slots(1024, 0);
    size_t used = 0;
    auto insert = [&](uint64_t k) {
        if (2 * (used + 1) > slots.size()) {
            std::vector<uint64_t> bigger(slots.size() * 2, 0);
            for (uint64_t x : slots)
                if (x) {
                    size_t i = (x * 0x9E3779B97F4A7C15ull) >> 20 & (bigger.size() - 1);
                    while (bigger[i]) i = (i + 1) & (bigger.size() - 1);
                    bigger[i] = x;
                }
            slots = std::move(bigger);
        }
        size_t i = (k * 0x9E3779B97F4A7C15ull) >> 20 & (slots.size() - 1);
        for (; slots[i]; i = (i + 1) & (slots.size() - 1))
            if (slots[i] == k) return false;
        slots[i] = k;
        ++used;
        return true;
    };
    std::vector<LevenshteinRows::State> stack{lev.start()};
    insert(key(stack.back()));
    uint32_t states = 1, any_paths = 0;
    auto reach = [&](const LevenshteinRows::State& t) {
        if (!lev.live(t) || !insert(key(t))) return;
        ++states;
        stack.push_back(t);
    };
    while (!stack.empty()) {
        const LevenshteinRows::State s = stack.back();
        stack.pop_back();
        const LevenshteinRows::State other = lev.step(s, -1);
        if (lev.live(other)) ++any_paths;
        reach(other);
        // The query's characters where they can still match (an entry
        // before them within the distance); elsewhere a character acts as
        // any other.
        const size_t first = s.k > d ? s.k - d : 0;
        for (size_t i = first + 1; i <= n && i <= s.k + d + 1; ++i)
            if (lev.entry(s, i - 1) <= d) reach(lev.step(s, static_cast<unsigned char>(ascii_query[i - 1])));
        if (uint64_t{states} + uint64_t{kAnyCharIntermediates} * any_paths > limit) return std::nullopt;
    }
    return states + kAnyCharIntermediates * any_paths;
}

// The verdicts of levenshtein_fits, per thread, kept like the automata of
// the Levenshtein module's cache: by (query, distance), and emptied whole
// once it holds levenshtein::kCacheCapacity of them. Counting the states of
// a long query at distance 2 costs as much as the rest of its stream, and
// the hypotheses of one search ask about the same street texts.
namespace {
thread_local std::unordered_map<std::string, bool> LEV_FITS_CACHE;
}  // namespace

bool levenshtein_fits(std::string_view ascii_query, uint32_t d) {
    std::string key(ascii_query);
    key.push_back(static_cast<char>('0' + std::min(d, LevenshteinRows::kMaxDistance + 1)));
    if (auto it = LEV_FITS_CACHE.find(key); it != LEV_FITS_CACHE.end()) return it->second;
    if (LEV_FITS_CACHE.size() >= levenshtein::kCacheCapacity) LEV_FITS_CACHE.clear();
    const bool fits = levenshtein_plain_states(ascii_query, d, levenshtein::kStateLimit).has_value();
    LEV_FITS_CACHE.emplace(std::move(key), fits);
    return fits;
}

}  // namespace tarnwik::query
