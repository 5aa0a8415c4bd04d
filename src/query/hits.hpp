// Hit construction: a chosen street, its match flags and the requested house
// become one forward result with a ranking score and a calibrated confidence.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "index/index.hpp"
#include "query/hit.hpp"
#include "query/match_flags.hpp"

namespace tarnwik::query {

// How well a candidate matched, 0..10: street (exact 3, fuzzy 2), commune
// (exact 3, prefix 2), postcode 2, house (with suffix 2, number only 1).
// Orders hypotheses and candidates, and is the score without a rank model.
int match_quality(const MatchFlags& f);

// The names of the set flags that callers see, in this order: street_exact,
// street_fuzzy, commune_exact or else commune_prefix, house_rep, pc_exact or
// else pc_dept, ml, de_street_type. number_match and house_requested are
// never named.
std::vector<FixedText> match_flags(const MatchFlags& f);

// The fixed logistic calibration of precision and flags, in f32 throughout,
// as a probability rounded to two decimals (halves away from zero).
float confidence_score(FixedText precision, const MatchFlags& f);

// A hit with what ranking needs beside it.
struct ScoredHit {
    Hit hit;
    // Slots 0-8, then house_requested, each 1.0 or 0.0.
    Features features{};
    // Best similarity (0..100) between a word of the street name and a query
    // word.
    int32_t best_token_similarity = 0;
    // |found - requested| for a nearest-house hit; 0 for an exact, same-number
    // or interpolated house or when no house was asked for; all ones when a
    // requested house could not be placed, so that it ranks last.
    uint32_t house_distance = 0;
    uint32_t commune_prominence = 0;
    uint32_t street_id = 0;
};

inline constexpr uint32_t kHouseNotFound = 0xFFFFFFFFu;

// The hit for one street. `flags` comes from candidate collection and is
// updated in place: house_requested, number_match and house_rep, and, for a
// house of a street without a single postcode, pc_exact and pc_dept from
// the house's own postcode. `number` and `suffix_id` matter only when
// `house_requested`; `query_words` are the query's words as scalar values.
// A street id past the table reads as an all-zero street record.
ScoredHit make_hit(const Index& index, uint32_t street_id, MatchFlags& flags, bool house_requested,
                   uint32_t number, uint32_t suffix_id, bool postcode_given, uint32_t postcode_value,
                   std::span<const std::u32string> query_words);

// Highest 100 - ⌊lev·100 / max(len)⌋ over the normalised words of `street`
// and the query words; 0 without query words.
int32_t best_token_similarity(std::string_view street, std::span<const std::u32string> query_words);

}  // namespace tarnwik::query
