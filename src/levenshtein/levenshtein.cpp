// Building the DFA: the rows of the edit-distance table reachable from the
// start row, each row one state, found depth first.
#include "levenshtein/levenshtein.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "levenshtein/dynamic.hpp"
#include "levenshtein/utf8_sequences.hpp"

namespace tarnwik::levenshtein {

uint32_t Dfa::add_state(bool match) {
    if (size_ >= kNone) {
        // kStateLimit keeps construction many orders of magnitude below this.
        std::fputs("state index fits u32\n", stderr);
        std::abort();
    }
    const uint32_t s = size_++;
    if (s % kBlockStates == 0) blocks_.push_back(std::unique_ptr<Block>(new Block));  // left uninitialised
    Block& b = *blocks_[s / kBlockStates];
    std::fill_n(b.next[s % kBlockStates], 256, kNone);
    b.match[s % kBlockStates] = match;
    return s;
}

namespace {

constexpr char32_t kMaxScalar = 0x10FFFF;

std::vector<Utf8Sequence> sequences_of(char32_t low, char32_t high) {
    std::vector<Utf8Sequence> out;
    Utf8Sequences it(low, high);
    while (auto s = it.next()) out.push_back(*s);
    return out;
}

const std::vector<Utf8Sequence>& all_scalars() {
    static const std::vector<Utf8Sequence> seqs = sequences_of(0, kMaxScalar);
    return seqs;
}

// The DFA under construction and the map from edit-distance rows to its
// states. Rows are kept in one arena, `width` numbers each, and found through
// an open-addressing table of arena entries.
class DfaBuilder {
public:
    struct Found {
        uint32_t dfa;    // the DFA state of the row
        uint32_t entry;  // the row's place in the arena
    };

    explicit DfaBuilder(const DynamicLevenshtein& lev) : lev_(lev), width_(lev.width()) {
        arena_.reserve(1024 * width_);
        entry_dfa_.reserve(1024);
        slots_.assign(2048, kEmpty);
    }

    Dfa& dfa() { return dfa_; }
    Dfa take() { return std::move(dfa_); }
    std::span<const uint32_t> row(uint32_t entry) const { return {arena_.data() + size_t{entry} * width_, width_}; }
    uint32_t dfa_of(uint32_t entry) const { return entry_dfa_[entry]; }

    // The DFA state of a row, created on first sight. Dead rows (nothing
    // within the distance any more) have none.
    std::optional<Found> cached(std::span<const uint32_t> row) {
        if (!lev_.can_match(row)) return std::nullopt;
        const uint64_t h = hash(row);
        size_t i = h & (slots_.size() - 1);
        for (;; i = (i + 1) & (slots_.size() - 1)) {
            const uint32_t e = slots_[i];
            if (e == kEmpty) break;
            if (std::equal(row.begin(), row.end(), arena_.begin() + size_t{e} * width_)) return Found{entry_dfa_[e], e};
        }
        const uint32_t e = static_cast<uint32_t>(entry_dfa_.size());
        arena_.insert(arena_.end(), row.begin(), row.end());
        const uint32_t s = new_state(lev_.is_match(row));
        entry_dfa_.push_back(s);
        scheduled_.push_back(false);
        slots_[i] = e;
        if (entry_dfa_.size() * 2 > slots_.size()) grow();
        return Found{s, e};
    }

    // True the first time an entry is scheduled for expansion.
    bool schedule(uint32_t entry) {
        if (scheduled_[entry]) return false;
        scheduled_[entry] = true;
        return true;
    }

    // Transitions from `from` to `to` for the encodings of every scalar value
    // in `seqs`. Without overwrite only bytes that have no transition yet are
    // filled.
    //
    // Several query characters can share leading bytes with each other and
    // with the catch-all transitions added first (Cyrillic letters all start
    // with 0xD0 or 0xD1). An overwriting path therefore never replaces a
    // shared intermediate state: it copies it and diverts only its own bytes,
    // so every other character keeps the target it had.
    void add_utf8_sequences(bool overwrite, uint32_t from, uint32_t to, const std::vector<Utf8Sequence>& seqs) {
        for (const Utf8Sequence& seq : seqs) insert(from, seq, 0, to, overwrite);
    }

private:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

    static uint64_t hash(std::span<const uint32_t> row) {
        uint64_t h = 0x9E3779B97F4A7C15ull;
        for (uint32_t v : row) h = (h ^ v) * 0x100000001B3ull;
        return h ^ (h >> 29);
    }

    void grow() {
        std::vector<uint32_t> slots(slots_.size() * 2, kEmpty);
        for (uint32_t e = 0; e < entry_dfa_.size(); ++e) {
            size_t i = hash(row(e)) & (slots.size() - 1);
            while (slots[i] != kEmpty) i = (i + 1) & (slots.size() - 1);
            slots[i] = e;
        }
        slots_ = std::move(slots);
    }

    uint32_t new_state(bool match) {
        const uint32_t s = dfa_.add_state(match);
        indegree_.push_back(0);
        return s;
    }

    void set(uint32_t from, uint8_t byte, uint32_t to, bool overwrite) {
        uint32_t& slot = dfa_.row(from)[byte];
        if (slot != Dfa::kNone) {
            if (!overwrite) return;
            --indegree_[slot];
        }
        slot = to;
        ++indegree_[to];
    }

    uint32_t clone(uint32_t s) {
        const uint32_t c = new_state(dfa_.is_match(s));
        uint32_t* dst = dfa_.row(c);
        const uint32_t* src = dfa_.row(s);
        std::memcpy(dst, src, 256 * sizeof(uint32_t));
        for (int b = 0; b < 256; ++b)
            if (dst[b] != Dfa::kNone) ++indegree_[dst[b]];
        return c;
    }

    void insert(uint32_t cur, const Utf8Sequence& seq, size_t k, uint32_t to, bool overwrite) {
        const Utf8Range r = seq.ranges[k];
        if (k + 1 == seq.len) {
            for (unsigned b = r.start; b <= r.end; ++b) set(cur, static_cast<uint8_t>(b), to, overwrite);
            return;
        }
        if (!overwrite) {
            const uint32_t fresh = new_state(false);
            for (unsigned b = r.start; b <= r.end; ++b) set(cur, static_cast<uint8_t>(b), fresh, false);
            insert(fresh, seq, k + 1, to, false);
            return;
        }
        // Intermediate states are reachable only from the state being
        // expanded, so one with a single incoming transition belongs to this
        // byte path alone and may be changed in place.
        for (unsigned b = r.start; b <= r.end; ++b) {
            uint32_t child = dfa_.row(cur)[b];
            if (child == Dfa::kNone || indegree_[child] > 1) {
                child = child == Dfa::kNone ? new_state(false) : clone(child);
                set(cur, static_cast<uint8_t>(b), child, true);
            }
            insert(child, seq, k + 1, to, true);
        }
    }

    const DynamicLevenshtein& lev_;
    size_t width_;
    Dfa dfa_;
    std::vector<uint32_t> arena_;
    std::vector<uint32_t> entry_dfa_;
    std::vector<bool> scheduled_;
    std::vector<uint32_t> slots_;
    std::vector<uint32_t> indegree_;  // transitions into each state
};

}  // namespace

Result<Levenshtein> Levenshtein::create(std::string_view query, uint32_t d) {
    const DynamicLevenshtein lev(query, d);
    DfaBuilder b(lev);
    const size_t w = lev.width();
    const std::u32string& chars = lev.chars();

    std::vector<uint32_t> stack{b.cached(lev.start())->entry};
    std::vector<uint32_t> s(w), t(w);
    std::vector<Utf8Sequence> one;
    while (!stack.empty()) {
        const uint32_t entry = stack.back();
        stack.pop_back();
        const auto r = b.row(entry);
        std::copy(r.begin(), r.end(), s.begin());  // the arena may move below
        const uint32_t from = b.dfa_of(entry);

        // Any character not in the query first; the query's own characters
        // then overwrite their bytes.
        lev.accept(s, std::nullopt, t);
        if (auto to = b.cached(t)) {
            b.add_utf8_sequences(false, from, to->dfa, all_scalars());
            if (b.schedule(to->entry)) stack.push_back(to->entry);
        }
        for (size_t i = 1; i < w; ++i) {
            // Beyond the distance at i - 1, a match on character i changes
            // nothing: the mismatch transition already gives the same row.
            if (s[i - 1] > d) continue;
            lev.accept(s, chars[i - 1], t);
            if (auto to = b.cached(t)) {
                one = sequences_of(chars[i - 1], chars[i - 1]);
                b.add_utf8_sequences(true, from, to->dfa, one);
                if (b.schedule(to->entry)) stack.push_back(to->entry);
            }
        }
        if (b.dfa().size() > kStateLimit)
            return fail("", "levenshtein automaton: too many states (limit " + std::to_string(kStateLimit) + ")");
    }

    auto data = std::make_shared<Data>();
    data->query = std::string(query);
    data->d = d;
    data->dfa = b.take();
    return Levenshtein(std::move(data));
}

bool Levenshtein::matches(std::string_view text) const {
    State s = start();
    for (char c : text) {
        auto n = accept(s, static_cast<uint8_t>(c));
        if (!n) return false;
        s = *n;
    }
    return is_match(s);
}

}  // namespace tarnwik::levenshtein
