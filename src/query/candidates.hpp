// Street candidate collection: the exact phase of the search. For one
// reading of a query (its street words, perhaps ending in a commune name,
// with the house number and postcode found elsewhere) every street whose key
// matches one of the words' spellings exactly, and how it matched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "index/index.hpp"
#include "query/match_flags.hpp"

namespace tarnwik::query {

// At most this many trailing words are read as the commune.
inline constexpr size_t kMaxCommuneWords = 9;
// A street text without commune stops after this many accepted streets
// (outside the strict house-postcode mode).
inline constexpr size_t kMaxStreamedStreets = 300;

// street_id -> how it matched. Iteration order means nothing.
using CandidateMap = std::unordered_map<uint32_t, MatchFlags>;
// Street texts already searched in the strict house-postcode mode during
// one search.
using SeenVariants = std::unordered_set<std::string>;

struct Candidates {
    CandidateMap streets;
    // The strict mode ran out of lookup budget: the caller abandons the query
    // (what was found so far is incomplete).
    bool abort = false;
};

// Every spelling of a street text that is looked up: the text, its first or
// last word spelled out ("r" -> "rue", "ул" -> "улица"), French number words
// as digits, Serbian name forms, a Russian street type moved to the other
// end, then (on a German sheet) the German street-type variants, which are
// also added to `german` when given.
std::vector<std::string> street_text_variants(const Index& index, std::string_view street,
                                              std::unordered_set<std::string>* german = nullptr);

// The candidates of one hypothesis. `words` (never empty) are its street
// tokens; every split into street words and up to nine trailing commune
// words is tried. Without commune words each spelling is streamed over all
// communes at once (postcode-filtered by thousands, at most 300 streets per
// spelling); with them, exact street-commune keys are looked up in the
// communes the words name, also with a street type added, the last two
// words swapped and letters unglued from numbers.
//
// `no_fuzzy` with a postcode and a house number on a German sheet of format
// 7 or later is the strict mode: a street counts only when the house (and
// every one of `extra_numbers`) exists on it inside the postcode; each
// street examined costs one unit of `lookup_budget`, and running out sets
// `abort`; a spelling already in `seen_variants` is not streamed again.
// `lookup_budget`, `seen_variants` and `memo` belong to the calling search
// and carry over between its calls.
Candidates collect_candidates(const Index& index, std::span<const std::string> words, bool postcode_given,
                              uint32_t postcode_value, bool number_ok, uint32_t number, uint32_t suffix_id,
                              bool from_labeller, bool no_fuzzy, std::span<const uint32_t> extra_numbers,
                              uint64_t& lookup_budget, SeenVariants& seen_variants, PostcodeMemo& memo);

}  // namespace tarnwik::query
