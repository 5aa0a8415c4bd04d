#include "query/search.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <unordered_set>
#include <utility>

#include "index/container.hpp"
#include "index/fst/map.hpp"
#include "query/communes.hpp"
#include "query/fuzzy_keys.hpp"
#include "query/hypotheses.hpp"
#include "query/keys.hpp"
#include "query/rank.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace tarnwik::query {
namespace {

constexpr char kSeparator = '\x1F';

bool ascii_digits(std::string_view s, size_t n) {
    return s.size() == n && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}
bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_letters(std::string_view s, size_t n) { return s.size() == n && std::all_of(s.begin(), s.end(), ascii_letter); }

uint32_t digits_value(std::string_view s) {
    uint32_t v = 0;
    for (char c : s) v = v * 10 + static_cast<uint32_t>(c - '0');
    return v;
}

std::u32string scalars(std::string_view s) {
    std::u32string out;
    if (!text::valid_utf8(s)) {
        const std::string repaired = text::lossy_utf8(s);
        for (size_t i = 0; i < repaired.size();) out.push_back(text::next_scalar(repaired, i));
        return out;
    }
    for (size_t i = 0; i < s.size();) out.push_back(text::next_scalar(s, i));
    return out;
}

std::vector<std::string_view> split_words(std::string_view text) {
    std::vector<std::string_view> out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

template <class Words>
std::string join(const Words& words, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (i > from) out.push_back(' ');
        out += words[i];
    }
    return out;
}

// Levenshtein distance at most 1.
bool within_one_edit(std::u32string_view a, std::u32string_view b) {
    if (a.size() > b.size()) std::swap(a, b);
    if (b.size() - a.size() > 1) return false;
    size_t i = 0;
    while (i < a.size() && a[i] == b[i]) ++i;
    if (i == a.size()) return true;
    if (a.size() == b.size()) return a.substr(i + 1) == b.substr(i + 1);
    return a.substr(i) == b.substr(i + 1);
}

bool pure_ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

StreetRecord record_of(const Index& index, uint32_t id) {
    return id < index.street_count() ? index.street(id) : StreetRecord{};
}

std::optional<uint32_t> street_id_of(uint64_t value) {
    if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// The communes a locality part names, as commune collection reads them: by
// name, else by prefix.
struct Locality {
    std::vector<uint32_t> ids;
    bool exact = false;
    bool resolved() const { return !ids.empty(); }
};

Locality resolve_locality(const Index& index, std::string_view text) {
    Locality l;
    l.ids = communes_by_name(index, text);
    l.exact = !l.ids.empty();
    if (l.ids.empty()) l.ids = communes_by_prefix(index, text);
    return l;
}

void set_commune_flags(MatchFlags& f, const Locality& l) {
    if (!l.resolved()) return;
    f.set(l.exact ? MatchFlags::commune_exact : MatchFlags::commune_prefix);
}

bool has_russian_letter(std::u32string_view s) {
    return std::any_of(s.begin(), s.end(), [](char32_t c) { return (c >= 0x0430 && c <= 0x044F) || c == 0x0451; });
}

// A postings list of `words_fst`: street ids in ascending order. Nothing
// when the entry is unreadable or its count is outside 1..kMaxPostingList.
std::optional<std::vector<uint32_t>> postings_at(const Index& index, uint64_t offset) {
    const ByteView wp = index.word_postings();
    if (offset >= wp.size()) return std::nullopt;
    size_t pos = static_cast<size_t>(offset);
    const auto count = strict_varint(wp, pos);
    if (!count || *count < 1 || *count > kMaxPostingList) return std::nullopt;
    std::vector<uint32_t> ids;
    ids.reserve(static_cast<size_t>(*count));
    uint64_t id = 0;
    for (uint64_t i = 0; i < *count && i < kMaxPostingDecode; ++i) {
        const auto delta = strict_varint(wp, pos);
        if (!delta) return std::nullopt;
        id += *delta;
        if (id > std::numeric_limits<uint32_t>::max()) return std::nullopt;
        ids.push_back(static_cast<uint32_t>(id));
    }
    return ids;
}

class Search {
public:
    Search(const Index& index, std::string_view text, size_t k, bool no_fuzzy, const SearchShared& shared)
        : index_(index), text_(text), k_(k), no_fuzzy_(no_fuzzy), shared_(shared) {}

    std::vector<ScoredHit> run(const RetainedLocality* retained, std::optional<std::string_view> street_key,
                               bool& abort) {
        tokens_ = query_tokens(text_);
        postcode_ = find_postcode_tokens(tokens_);
        hyps_ = build_hypotheses(index_, tokens_, postcode_.marks);

        if (!exact_phase()) {
            abort = true;
            return {};
        }
        if (best_.empty()) {
            if (no_fuzzy_) return {};
            fuzzy_phase();
        }
        if (best_.empty()) {
            if (std::getenv("TARNWIK_NO_SUBSET")) return {};
            subset_phase();
        }
        if (best_.empty() || !best_hyp_) return {};

        filter_by_postcode();
        std::vector<Candidate> kept = ordered_candidates(preferred_street());
        std::vector<ScoredHit> hits = make_hits(kept);
        return finish_hits(index_, std::move(hits),
                           FinishQuery{text_, postcode_.given, postcode_.value, k_, retained, street_key});
    }

private:
    bool german() const { return index_.country() == "de"; }
    bool v7() const { return index_.version() >= 7; }

    std::vector<std::string_view> street_words(const Hyp& h) const {
        std::vector<std::string_view> words;
        for (uint32_t p : h.street_tokens)
            if (p < tokens_.size()) words.push_back(tokens_[p]);
        return words;
    }

    // A phase offers each candidate set it finds; a strictly better one
    // becomes the best, and its hypothesis the one the hits are built with.
    void offer(CandidateMap set, const Hyp& h) {
        if (!choice_.offer(candidate_set_quality(set))) return;
        best_ = std::move(set);
        best_hyp_ = &h;
    }

    // False when candidate collection asked to abandon the query.
    bool exact_phase() {
        for (const Hyp& h : hyps_) {
            const std::vector<std::string_view> views = street_words(h);
            if (views.empty()) continue;
            const std::vector<std::string> words(views.begin(), views.end());
            Candidates c = collect_candidates(index_, words, postcode_.given, postcode_.value, h.number_ok, h.number,
                                              h.suffix_id, h.from_labeller, no_fuzzy_, shared_.extra_numbers,
                                              shared_.lookup_budget, shared_.seen_variants, memo_);
            if (c.abort) return false;
            offer(std::move(c.streets), h);
            if (choice_.done()) break;
        }
        return true;
    }

    // A street found by a typo-tolerant lookup, unless a postcode rules it
    // out (only when no commune says where to look).
    bool add_fuzzy(CandidateMap& set, uint32_t id, const Locality& l, bool from_labeller) const {
        const uint32_t pn = record_of(index_, id).postcode_num;
        if (postcode_.given && !l.resolved() && pn != 0 && pn / 1000 != postcode_.value / 1000) return false;
        MatchFlags f;
        f.set(MatchFlags::street_fuzzy);
        set_commune_flags(f, l);
        if (postcode_.given && pn != 0) {
            f.set(MatchFlags::pc_exact, pn == postcode_.value);
            f.set(MatchFlags::pc_dept, pn / 1000 == postcode_.value / 1000);
        }
        f.set(MatchFlags::ml, from_labeller);
        set[id] |= f;
        return true;
    }

    // Every street whose key is one edit from the street part: a deleted
    // or (with a named commune and an alphabet) substituted character, an
    // inserted letter, two adjacent characters swapped. Inside the named
    // communes each spelling is one key per commune; without, the first
    // kMaxVariantStreamKeys keys of each spelling, in key order.
    void single_edits(CandidateMap& set, const std::string& street, EditAlphabet alphabet, const Locality& l,
                      const std::vector<std::string_view>& codes, bool from_labeller) const {
        const SingleEditKeys edits(street, alphabet, l.resolved() ? &codes : nullptr);
        auto stream = index_.streets_fst().stream(edits);
        std::string spelling;
        size_t keys_of_spelling = 0;
        while (stream.next()) {
            const std::string_view key = stream.key();
            if (!l.resolved()) {
                const std::string_view part = key.substr(0, key.find(kSeparator));
                if (part != spelling) {
                    spelling.assign(part);
                    keys_of_spelling = 0;
                }
                if (++keys_of_spelling > kMaxVariantStreamKeys) continue;
            }
            if (auto id = street_id_of(stream.value())) add_fuzzy(set, *id, l, from_labeller);
        }
    }

    // Streets whose key starts with a text within `distance` of the street
    // part; a key counts only when one of its street words is within one
    // edit of a query street word, and, with a named commune, when it lies
    // in one of its communes. The automaton is the one the Levenshtein
    // module builds; where that would give up (too many states) nothing is
    // found, and whether it would is asked only once a key matched.
    void automaton_stream(CandidateMap& set, const std::string& street, uint32_t distance, const Locality& l,
                          const std::vector<std::string_view>& codes, bool from_labeller) const {
        const LevenshteinDfa automaton(street, distance);
        std::vector<std::u32string> query_words;
        for (std::string_view w : split_words(street)) query_words.push_back(scalars(w));
        std::u32string key_word;
        auto near_query_word = [&](std::string_view key_street) {
            std::string repaired;
            if (!text::valid_utf8(key_street)) {
                repaired = text::lossy_utf8(key_street);
                key_street = repaired;
            }
            for (size_t start = 0; start < key_street.size();) {
                size_t end = key_street.find(' ', start);
                if (end == std::string_view::npos) end = key_street.size();
                key_word.clear();
                for (size_t i = start; i < end;) key_word.push_back(text::next_scalar(key_street, i));
                for (const std::u32string& q : query_words)
                    if (!key_word.empty() && within_one_edit(key_word, q)) return true;
                start = end + 1;
            }
            return false;
        };
        auto stream = index_.streets_fst().stream(fst::StartsWith(automaton));
        bool checked = false;
        size_t inserted = 0;
        while (inserted < kMaxAutomatonCandidates && stream.next()) {
            if (!checked) {
                if (!levenshtein_fits(street, distance)) return;
                checked = true;
            }
            const std::string_view key = stream.key();
            const size_t sep = key.find(kSeparator);
            const std::string_view key_street = key.substr(0, sep);
            if (!query_words.empty() && !near_query_word(key_street)) continue;
            if (l.resolved()) {
                if (sep == std::string_view::npos) continue;
                const std::string_view code = key.substr(sep + 1);
                if (std::find(codes.begin(), codes.end(), code) == codes.end()) continue;
            }
            if (auto id = street_id_of(stream.value()))
                if (add_fuzzy(set, *id, l, from_labeller)) ++inserted;
        }
    }

    void fuzzy_hypothesis(const Hyp& h) {
        const std::vector<std::string_view> words = street_words(h);
        const size_t n = words.size();
        if (n == 0) return;
        for (size_t s = 0; s <= std::min(n - 1, kMaxFuzzyLocalityWords); ++s) {
            const std::string street = join(words, 0, n - s);
            const std::u32string street32 = scalars(street);
            if (street32.size() < kMinFuzzyStreetChars) continue;
            const uint32_t distance = street32.size() < kTwoEditStreetChars ? 1 : 2;

            Locality l;
            if (s > 0) l = resolve_locality(index_, join(words, n - s, n));
            std::vector<std::string_view> codes;
            for (uint32_t id : l.ids) codes.push_back(id < index_.commune_count() ? index_.commune(id).code : "");

            EditAlphabet alphabet = EditAlphabet::none;
            if (l.resolved() && street32.size() < kMaxAlphabetEditChars)
                alphabet = has_russian_letter(street32) ? EditAlphabet::russian : EditAlphabet::latin;
            CandidateMap set;
            // Keys are UTF-8; a damaged query is read with its bad bytes replaced.
            single_edits(set, text::valid_utf8(street) ? street : text::lossy_utf8(street), alphabet, l, codes,
                         h.from_labeller);
            if (set.empty() && pure_ascii(street)) automaton_stream(set, street, distance, l, codes, h.from_labeller);

            const bool found = !set.empty();
            offer(std::move(set), h);
            if (s > 0 && found) break;
        }
    }

    void fuzzy_phase() {
        for (size_t i = 0; i < hyps_.size() && i < kFuzzyHypotheses && !choice_.done(); ++i)
            fuzzy_hypothesis(hyps_[i]);
    }

    // The shortest usable postings list among a street word's spellings.
    std::optional<std::vector<uint32_t>> word_postings(std::string_view word) const {
        std::optional<std::vector<uint32_t>> best;
        for (const std::string& spelling : street_word_spellings(word)) {
            const auto v = index_.words_fst().get(word_key(spelling));
            if (!v) continue;
            auto ids = postings_at(index_, *v);
            if (ids && (!best || ids->size() < best->size())) best = std::move(ids);
        }
        return best;
    }

    void subset_hypothesis(const Hyp& h) {
        const std::vector<std::string_view> words = street_words(h);
        const size_t n = words.size();
        if (n < 2) return;
        for (size_t s = 1; s <= std::min(n - 1, kMaxFuzzyLocalityWords); ++s) {
            const Locality l = resolve_locality(index_, join(words, n - s, n));
            if (!l.resolved()) continue;
            const std::unordered_set<uint32_t> communes(l.ids.begin(), l.ids.end());

            std::vector<std::vector<uint32_t>> lists;
            for (size_t i = 0; i < n - s; ++i)
                if (auto ids = word_postings(words[i])) lists.push_back(std::move(*ids));
            if (lists.empty()) continue;
            std::stable_sort(lists.begin(), lists.end(),
                             [](const auto& a, const auto& b) { return a.size() < b.size(); });
            std::vector<uint32_t> common = std::move(lists[0]);
            for (size_t i = 1; i < lists.size() && !common.empty(); ++i) {
                std::vector<uint32_t> next;
                std::set_intersection(common.begin(), common.end(), lists[i].begin(), lists[i].end(),
                                      std::back_inserter(next));
                common = std::move(next);
            }
            std::erase_if(common, [&](uint32_t id) { return !communes.contains(record_of(index_, id).commune_id); });
            if (lists.size() == 1 && common.size() >= kMaxSingleWordStreets) continue;
            std::sort(common.begin(), common.end());
            if (common.size() > kMaxSubsetStreets) common.resize(kMaxSubsetStreets);

            CandidateMap set;
            for (uint32_t id : common) {
                MatchFlags f;
                f.set(MatchFlags::street_fuzzy);
                set_commune_flags(f, l);
                const uint32_t pn = record_of(index_, id).postcode_num;
                if (postcode_.given && pn != 0) {
                    f.set(MatchFlags::pc_exact, pn == postcode_.value);
                    f.set(MatchFlags::pc_dept, pn / 1000 == postcode_.value / 1000);
                }
                set[id] |= f;
            }
            offer(std::move(set), h);
        }
    }

    void subset_phase() {
        for (size_t i = 0, used = 0; i < hyps_.size() && used < kFuzzyHypotheses && !choice_.done(); ++i) {
            if (street_words(hyps_[i]).size() < 2) continue;
            ++used;
            subset_hypothesis(hyps_[i]);
        }
    }

    // Streets outside the query postcode's thousand go, except, in the
    // German strict mode, an exact street that holds the named house inside
    // the postcode (a house filed under a postcode its street does not
    // carry).
    void filter_by_postcode() {
        if (!postcode_.given) return;
        const bool strict_exception = german() && v7() && no_fuzzy_ && best_hyp_->number_ok;
        std::erase_if(best_, [&](const auto& entry) {
            const auto& [id, f] = entry;
            const StreetRecord r = record_of(index_, id);
            if (r.postcode_num == 0 || r.postcode_num / 1000 == postcode_.value / 1000) return false;
            if (strict_exception && f[MatchFlags::street_exact] &&
                index_.exact_house_postcode_set_candidate_cached(memo_, id, r, best_hyp_->number, best_hyp_->suffix_id,
                                                                 shared_.extra_numbers, postcode_.value))
                return false;
            return true;
        });
    }

    // German strict mode: the one exact street that has the requested house
    // inside the query postcode is kept whatever its rank.
    std::optional<uint32_t> preferred_street() {
        if (!(german() && v7() && postcode_.given && best_hyp_->number_ok && no_fuzzy_)) return std::nullopt;
        std::optional<uint32_t> found;
        size_t passed = 0;
        for (const auto& [id, f] : best_) {
            if (!f[MatchFlags::street_exact]) continue;
            if (!index_.exact_house_postcode_candidate_cached(memo_, id, record_of(index_, id), best_hyp_->number,
                                                              best_hyp_->suffix_id, postcode_.value))
                continue;
            ++passed;
            found = id;
        }
        return passed == 1 ? found : std::nullopt;
    }

    std::vector<Candidate> ordered_candidates(std::optional<uint32_t> preferred) {
        std::vector<Candidate> all(best_.begin(), best_.end());
        order_candidates(index_, all);
        const size_t keep = kHitsPerResult * std::max<size_t>(k_, 10);
        if (all.size() <= keep) return all;
        std::vector<Candidate> kept(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(keep));
        if (preferred) {
            const auto it = std::find_if(all.begin() + static_cast<std::ptrdiff_t>(keep), all.end(),
                                         [&](const Candidate& c) { return c.first == *preferred; });
            if (it != all.end()) kept.push_back(*it);
        }
        return kept;
    }

    std::vector<ScoredHit> make_hits(std::vector<Candidate>& kept) const {
        std::vector<std::u32string> query_words;
        for (std::string_view w : split_words(text_)) query_words.push_back(scalars(w));
        std::vector<ScoredHit> hits;
        hits.reserve(kept.size());
        const Hyp& h = *best_hyp_;
        for (auto& [id, flags] : kept)
            hits.push_back(make_hit(index_, id, flags, h.number_ok, h.number, h.suffix_id, postcode_.given,
                                    postcode_.value, query_words));
        return hits;
    }

    const Index& index_;
    std::string_view text_;
    size_t k_;
    bool no_fuzzy_;
    const SearchShared& shared_;

    std::vector<std::string_view> tokens_;
    PostcodeTokens postcode_;
    std::vector<Hyp> hyps_;
    PostcodeMemo memo_;

    HypothesisChoice choice_;
    CandidateMap best_;
    const Hyp* best_hyp_ = nullptr;
};

}  // namespace

std::vector<std::string_view> query_tokens(std::string_view text) {
    std::vector<std::string_view> tokens = split_words(text);
    if (tokens.size() <= kMaxQueryTokens) return tokens;
    std::vector<std::string_view> distinct;
    std::unordered_set<std::string_view> seen;
    for (std::string_view t : tokens)
        if (seen.insert(t).second) distinct.push_back(t);
    if (distinct.size() > kMaxQueryTokens) distinct.resize(kMaxQueryTokens);
    return distinct;
}

PostcodeTokens find_postcode_tokens(std::span<const std::string_view> tokens) {
    PostcodeTokens p;
    p.marks.assign(tokens.size(), false);
    auto mark = [&](size_t i, uint32_t value) {
        p.marks[i] = true;
        p.given = true;
        p.value = value;
    };
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string_view t = tokens[i];
        if (ascii_digits(t, 5) || ascii_digits(t, 6)) {
            mark(i, digits_value(t));
        } else if (ascii_digits(t, 4) && i + 1 < tokens.size() && ascii_letters(tokens[i + 1], 2)) {
            mark(i, digits_value(t));
            p.marks[++i] = true;
        } else if (t.size() == 6 && ascii_digits(t.substr(0, 4), 4) && ascii_letters(t.substr(4), 2)) {
            mark(i, digits_value(t.substr(0, 4)));
        }
    }
    return p;
}

std::vector<ScoredHit> query_feats_prepared_internal(const Index& index, std::string_view text, size_t k,
                                                     const RetainedLocality* retained, bool no_fuzzy,
                                                     const SearchShared& shared, bool& abort,
                                                     std::optional<std::string_view> street_key) {
    Search search(index, text, k, no_fuzzy, shared);
    return search.run(retained, street_key, abort);
}

std::vector<HitWithFeatures> query_feats_prepared_context(const Index& index, std::string_view text, size_t k,
                                                          const RetainedLocality* retained,
                                                          std::optional<std::string_view> street_key) {
    EsPreparedCache* cache = es_prepared_cache();
    std::optional<EsPreparedKey> key;
    if (cache && !retained) {
        key = EsPreparedKey{reinterpret_cast<uintptr_t>(&index), std::string(text), k,
                            street_key ? std::optional<std::string>(*street_key) : std::nullopt};
        if (auto it = cache->find(*key); it != cache->end()) return it->second;
    }
    // Outside strict mode nothing spends the budget or remembers searched
    // spellings.
    uint64_t budget = 0;
    SeenVariants seen;
    bool abort = false;
    std::vector<ScoredHit> hits =
        query_feats_prepared_internal(index, text, k, retained, false, SearchShared{{}, budget, seen}, abort, street_key);
    std::vector<HitWithFeatures> out;
    out.reserve(hits.size());
    for (ScoredHit& h : hits) out.emplace_back(std::move(h.hit), h.features);
    if (key) cache->emplace(std::move(*key), out);
    return out;
}

std::vector<HitWithFeatures> search_prepared(const Index& index, std::string_view text, size_t k) {
    const rules::ScopedCurrent rules(index.rules());
    const std::string key = expand_city_aliases(index, prepared_query_key(text));
    std::vector<HitWithFeatures> hits = query_feats_prepared_context(index, key, std::max<size_t>(k, 10), nullptr,
                                                                     std::nullopt);
    if (hits.size() > k) hits.resize(k);
    return hits;
}

}  // namespace tarnwik::query
