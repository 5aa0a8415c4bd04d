// The prepared-query search: the core of forward geocoding. One prepared
// query text (normalised and keyed, words separated by single spaces) is read
// several ways, street candidates are collected exactly for each reading,
// then by single-edit spellings and a Levenshtein automaton, then by the
// sound-alike words of the street, and the best are turned into finished
// hits. Every retry and rewrite of the cascade above ends here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/candidates.hpp"
#include "query/es_prepared.hpp"
#include "query/finish.hpp"
#include "query/hits.hpp"

namespace tarnwik::query {

// A longer query keeps its first 32 distinct tokens.
inline constexpr size_t kMaxQueryTokens = 32;
// The fuzzy and the subset phase read only the first five hypotheses, each
// with at most nine trailing locality words.
inline constexpr size_t kFuzzyHypotheses = 5;
inline constexpr size_t kMaxFuzzyLocalityWords = 9;
// A street part of up to four characters is too short to guess at; from
// twelve characters the automaton allows two edits.
inline constexpr size_t kMinFuzzyStreetChars = 5;
inline constexpr size_t kTwoEditStreetChars = 12;
// Substituted and inserted letters are tried only for a street part shorter
// than this, and only inside a named commune.
inline constexpr size_t kMaxAlphabetEditChars = 27;
// A variant looked up without commune reads at most this many keys.
inline constexpr size_t kMaxVariantStreamKeys = 50;
// An automaton stream inserts at most this many candidates.
inline constexpr size_t kMaxAutomatonCandidates = 400;
// Word postings: longer lists are too common to narrow anything down; at
// most kMaxPostingDecode ids are ever decoded.
inline constexpr uint64_t kMaxPostingList = 16383;
inline constexpr uint64_t kMaxPostingDecode = 1u << 20;
// A subset split yields at most this many streets, and a single word's list
// only when it narrows the commune to fewer than kMaxSingleWordStreets.
inline constexpr size_t kMaxSubsetStreets = 200;
inline constexpr size_t kMaxSingleWordStreets = 9;
// Candidates turned into hits: this many times max(k, 10).
inline constexpr size_t kHitsPerResult = 3;

// The tokens of a prepared text: the pieces between single spaces, empty
// ones dropped. Of more than kMaxQueryTokens, later duplicates are dropped
// first, then the first kMaxQueryTokens kept.
std::vector<std::string_view> query_tokens(std::string_view text);

// The query's postcode: five or six digits (12345, 123456), four digits
// followed by a two-letter token (1234 ab, both tokens marked), or four
// digits glued to two letters (1234ab). A later postcode replaces an
// earlier value. Tokens of one to four digits alone are never postcodes.
struct PostcodeTokens {
    std::vector<bool> marks;  // one per token
    bool given = false;
    uint32_t value = 0;
};
PostcodeTokens find_postcode_tokens(std::span<const std::string_view> tokens);

// State shared by the searches of one caller (the German strict rescues):
// further house numbers that must exist in a street, the remaining lookup
// budget and the street texts already searched in strict mode. See
// collect_candidates.
struct SearchShared {
    std::span<const uint32_t> extra_numbers;
    uint64_t& lookup_budget;
    SeenVariants& seen_variants;
};

// The search itself: at most k finished hits. `no_fuzzy` skips the fuzzy and
// subset phases (a query without exact candidates gets no hits) and, on a
// German sheet of format 7 or later with a postcode and a house number,
// turns on the strict house-postcode mode. When candidate collection runs
// out of lookup budget, `abort` is set and nothing is returned.
// `retained` and `street_key` only steer result finishing.
std::vector<ScoredHit> query_feats_prepared_internal(const Index& index, std::string_view text, size_t k,
                                                     const RetainedLocality* retained, bool no_fuzzy,
                                                     const SearchShared& shared, bool& abort,
                                                     std::optional<std::string_view> street_key);

// The search as the cascade runs it (no strict mode), reduced to hits and
// features; answered from ES_PREPARED_CACHE while a Spanish scope is open on
// the thread and no retained locality is given.
std::vector<HitWithFeatures> query_feats_prepared_context(const Index& index, std::string_view text, size_t k,
                                                          const RetainedLocality* retained,
                                                          std::optional<std::string_view> street_key);

// One raw query text through the search core alone, without the cascade's
// retries and rewrites: the sheet's rules installed for the call, the text
// keyed (prepared_query_key, then expand_city_aliases) and searched for
// max(k, 10) hits, of which the first k are returned.
std::vector<HitWithFeatures> search_prepared(const Index& index, std::string_view text, size_t k);

}  // namespace tarnwik::query
