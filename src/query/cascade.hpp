// Forward geocoding's entry point. `query_cascade` answers one free-text
// query from the address sheet and, when that answer is weak, from the
// sheet's POI layer; `index_query` is one sheet's answer: the sheet's rules
// installed for the call, the street-data path, the foreign-city guard and
// the clean-up of what leaves the engine.
//
// Both may run on any number of threads at once against the same sheets.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/es_prepared.hpp"
#include "query/hit.hpp"

namespace tarnwik::query {

// Query texts are cut to this many bytes, at a character boundary.
inline constexpr size_t kMaxQueryBytes = 1024;
// No answer is longer than this.
inline constexpr size_t kMaxHits = 100;

// The longest prefix of at most kMaxQueryBytes bytes that ends on a
// character boundary.
std::string_view bound_query_text(std::string_view text);

// One sheet's answer, at most k hits, best first. Works on the bounded
// text; k = 0 answers nothing without reading the sheet.
std::vector<Hit> index_query(const Index& index, std::string_view text, size_t k);

// The answer of the address sheet, replaced by the POI layer's (each hit
// flagged "poi_layer") only when the address answer is weak and the POI
// answer strictly more confident. k is capped at kMaxHits. `poi` may be null.
std::vector<Hit> query_cascade(const Index& address, const Index* poi, std::string_view text, size_t k);

// The steps of both, on their own.

// The street-data hits as they leave the engine: the internal flag
// "__deferred_locality_drop" removed and confidence made non-increasing
// down the list.
std::vector<Hit> released_hits(std::vector<HitWithFeatures> hits);

// Whether an address answer is weak enough to ask the POI layer: no hit, a
// locality-level top hit, or a top hit of low confidence; never a top hit on
// an exactly matched street's house.
bool poi_consulted(const std::vector<Hit>& address);

// Whether the POI answer replaces the address answer.
bool poi_wins(const std::vector<Hit>& address, const std::vector<Hit>& poi);

}  // namespace tarnwik::query
