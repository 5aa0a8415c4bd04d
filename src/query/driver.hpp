// The query feature driver: one query text turned into hits by the
// prepared-query search run on a sequence of readings of the text
// (locality only, French arrondissements, Italian geographic qualifiers, a
// city written first, unglued numbers, the other script, Serbian Latin
// spellings, superfluous leading or trailing words), the first reading that
// succeeds giving the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/search.hpp"

namespace tarnwik::query {

// What the German flow knows of a query beyond its text; absent elsewhere.
struct DriverHints {
    std::optional<std::string> locality;  // locality written after the query's postcode
    std::optional<uint32_t> postcode;     // postcode value
    std::optional<bool> postal_tail;      // postal-tail eligibility
    std::optional<std::string> street;    // a street key
};

// A list in which the search found something only after leading or trailing
// words were dropped has its confidences capped here.
inline constexpr float kDroppedWordsConfidence = 0.6f;
// At most this many leading words are dropped.
inline constexpr size_t kMaxDroppedLeadingWords = 8;
// At most this many leading affix words are dropped.
inline constexpr size_t kMaxLeadingAffixes = 3;
// A search runs for at least this many hits; one restricted to an
// arrondissement for at least kArrondissementHits.
inline constexpr size_t kMinDriverHits = 10;
inline constexpr size_t kArrondissementHits = 20;

// Geographic qualifier (Italian sheets): a commune name shared by communes
// more than kQualifierSpreadKm apart is settled by a town written after it
// when its nearest namesake lies within kQualifierReachKm of the town, the
// namesakes within kQualifierGroupKm of that one form its group, and every
// other namesake is at least kQualifierMarginKm farther from the town.
inline constexpr double kQualifierSpreadKm = 80.0;
inline constexpr double kQualifierReachKm = 120.0;
inline constexpr double kQualifierGroupKm = 40.0;
inline constexpr double kQualifierMarginKm = 25.0;
// A commune name matching more communes than this says nothing.
inline constexpr size_t kQualifierMaxCommunes = 40;

// Trailing locality fields: how many fields from the end are read, and how
// close to the most prominent place the answer must lie.
inline constexpr size_t kTrailingFields = 5;
inline constexpr double kTrailingPlaceKm = 50.0;

// The hits of `text` (a raw query variant), best first. `no_drop` turns off
// the leading-affix, leading-word and qualifier retries; the driver sets it
// when it calls itself on the words left after leading affixes.
std::vector<HitWithFeatures> query_feats_d(const Index& index, std::string_view text, size_t k,
                                           bool no_drop = false, const DriverHints& hints = {});

// A city written before the street: when the first two words, or else the
// first word, name a commune and the rest of the text (as it is, or unglued
// and unit-folded) places the requested house in that very commune, those
// hits. Nothing otherwise.
std::optional<std::vector<HitWithFeatures>> city_first_house_retry(const Index& index, std::string_view text,
                                                                   size_t k);

// The text without a leading postcode of four to six digits, and the two
// letters of a Dutch postcode (1234 AB) after it. Unchanged when it does not
// start with one or when nothing else would remain.
std::string strip_leading_pc(std::string_view text);

// The prepared key with its French arrondissement words brought to one form:
// ordinals after a city word or before "arrondissement" written 15e / 1er
// (roman numerals too), "15e arrondissement (de) paris" turned into "paris
// 15e arrondissement", and a leading "paris 15e" moved to the end as "paris
// 15e arrondissement". The city words are the rules' arrondissement_cities;
// only keys mentioning paris, lyon or marseille are looked at. Nothing when
// no word changes or moves.
std::optional<std::string> fr_arrondissement_words(std::string_view key);

// The key without runs of more than three words of one to four digits each
// (telephone numbers and the like). Nothing when there is no such run.
std::optional<std::string> drop_long_number_runs(std::string_view key);

}  // namespace tarnwik::query
