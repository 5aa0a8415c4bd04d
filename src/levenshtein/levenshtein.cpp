// Building the DFA: the rows of the edit-distance table reachable from the
// start row, each row one state, found depth first.
#include "levenshtein/levenshtein.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "levenshtein/dynamic.hpp"
#include "levenshtein/utf8_sequences.hpp"
#include "util/text.hpp"

namespace tarnwik::levenshtein {

uint32_t Dfa::add_state(bool match) {
    if (size_ >= kMaxStates) {
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

// What a catch-all transition puts in each byte's entry, with the target
// left 0 to be or-ed in: the target itself for ASCII, a pending entry for a
// lead byte, nothing for bytes that cannot start a character.
struct AnyCharTemplate {
    std::array<uint32_t, 256> tag;
    uint32_t intermediates = 0;  // states the byte paths would take as a chain each
};

const AnyCharTemplate& any_char_template() {
    static const AnyCharTemplate t = [] {
        AnyCharTemplate out;
        out.tag.fill(Dfa::kNone);
        Utf8Sequences it(0, kMaxScalar);
        while (auto seq = it.next()) {
            out.intermediates += seq->len - 1u;
            uint32_t tag = 0;
            if (seq->len > 1) {
                Dfa::Cont cont = Dfa::kAny;
                for (uint32_t c = 0; c < 5; ++c)
                    if (seq->ranges[1].start == Dfa::kContLow[c] && seq->ranges[1].end == Dfa::kContHigh[c])
                        cont = static_cast<Dfa::Cont>(c);
                tag = Dfa::pending(0, seq->len - 1u, cont);
            }
            for (unsigned b = seq->ranges[0].start; b <= seq->ranges[0].end; ++b) out.tag[b] = tag;
        }
        return out;
    }();
    return t;
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
        size_t i = hash(row) & (slots_.size() - 1);
        for (;; i = (i + 1) & (slots_.size() - 1)) {
            const uint32_t e = slots_[i];
            if (e == kEmpty) break;
            if (same(row, this->row(e))) return Found{entry_dfa_[e], e};
        }
        const uint32_t e = static_cast<uint32_t>(entry_dfa_.size());
        arena_.insert(arena_.end(), row.begin(), row.end());
        const uint32_t s = dfa_.add_state(lev_.is_match(row));
        ++counted_;
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

    // From `from` to `to` on every character that has no transition yet
    // (the characters of the query may already have theirs). Multi-byte
    // characters end in pending entries rather than intermediate states.
    void add_any(uint32_t from, uint32_t to) {
        const AnyCharTemplate& t = any_char_template();
        counted_ += t.intermediates;
        uint32_t* row = dfa_.row(from);
        for (unsigned b = 0; b < 256; ++b) {
            const uint32_t entry = t.tag[b] | to;  // kNone stays kNone
            row[b] = row[b] == Dfa::kNone ? entry : row[b];
        }
    }

    // From `from` to `to` on the character `c`, replacing what it had.
    //
    // A multi-byte character shares its leading bytes with the catch-all
    // path and often with other query characters (Cyrillic letters all
    // start with 0xD0 or 0xD1). Its path therefore gets intermediate states
    // of its own that keep every other continuation byte where it led
    // before; replacing the lead byte's transition outright would cut those
    // characters off.
    void add_char(uint32_t from, uint32_t to, char32_t c) {
        std::string bytes;
        text::append_utf8(bytes, c);
        const size_t n = bytes.size();
        counted_ += static_cast<uint32_t>(n - 1);
        uint32_t cur = from;
        for (size_t k = 0; k + 1 < n; ++k) {
            uint32_t& slot = dfa_.row(cur)[static_cast<uint8_t>(bytes[k])];  // rows never move
            if (slot == Dfa::kNone) {
                slot = dfa_.add_state(false);
            } else if (Dfa::is_pending(slot)) {
                const uint32_t pending = slot;
                const uint32_t x = dfa_.add_state(false);
                uint32_t* row = dfa_.row(x);
                for (unsigned b = 0x80; b <= 0xBF; ++b) row[b] = dfa_.step(pending, static_cast<uint8_t>(b));
                slot = x;
            }
            // Otherwise an intermediate state made for an earlier character
            // of this expansion, reachable only along this path.
            cur = slot;
        }
        dfa_.row(cur)[static_cast<uint8_t>(bytes[n - 1])] = to;
    }

    uint32_t counted() const { return counted_; }

private:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

    // Rows are told apart by the input length (entry 0) and the entries
    // inside its window: every other entry is d + 1 in all rows but the
    // start row, the only one of length 0.
    uint64_t hash(std::span<const uint32_t> row) const {
        const auto [lo, hi] = lev_.window(row);
        uint64_t h = (0x9E3779B97F4A7C15ull ^ row[0]) * 0x100000001B3ull;
        for (size_t i = lo; i <= hi; ++i) h = (h ^ row[i]) * 0x100000001B3ull;
        return h ^ (h >> 29);
    }

    bool same(std::span<const uint32_t> a, std::span<const uint32_t> b) const {
        if (a[0] != b[0]) return false;
        const auto [lo, hi] = lev_.window(a);
        for (size_t i = lo; i <= hi; ++i)
            if (a[i] != b[i]) return false;
        return true;
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

    const DynamicLevenshtein& lev_;
    size_t width_;
    Dfa dfa_;
    std::vector<uint32_t> arena_;
    std::vector<uint32_t> entry_dfa_;
    std::vector<bool> scheduled_;
    std::vector<uint32_t> slots_;
    // States of the plain construction: this table's states plus one
    // intermediate state per byte of every multi-byte path added.
    uint32_t counted_ = 0;
};

}  // namespace

Result<Levenshtein> Levenshtein::create(std::string_view query, uint32_t d) {
    const DynamicLevenshtein lev(query, d);
    DfaBuilder b(lev);
    const size_t w = lev.width();
    const std::u32string& chars = lev.chars();

    std::vector<uint32_t> stack{b.cached(lev.start())->entry};
    std::vector<uint32_t> s(w), t(w);
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
            b.add_any(from, to->dfa);
            if (b.schedule(to->entry)) stack.push_back(to->entry);
        }
        // Beyond the distance at i - 1, a match on character i changes
        // nothing: the mismatch transition already gives the same row. Only
        // the window (and entry 0) can be within it.
        const auto [lo, hi] = lev.window(s);
        for (size_t i = lo == 1 ? 1 : lo + 1; i < w && i <= hi + 1; ++i) {
            if (s[i - 1] > lev.distance()) continue;
            lev.accept(s, chars[i - 1], t);
            if (auto to = b.cached(t)) {
                b.add_char(from, to->dfa, chars[i - 1]);
                if (b.schedule(to->entry)) stack.push_back(to->entry);
            }
        }
        if (b.counted() > kStateLimit)
            return fail("", "levenshtein automaton: too many states (limit " + std::to_string(kStateLimit) + ")");
    }

    auto data = std::make_shared<Data>();
    data->query = std::string(query);
    data->d = d;
    data->counted = b.counted();
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
