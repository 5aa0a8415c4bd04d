// The foreign-city guard: a query that itself names a place ruling out the
// commune of its best hit gets no answer at all, so that the caller falls
// back (to the POI layer) instead of returning a confident street in the
// wrong city. Its only outcomes are the hits unchanged or no hits.
#pragma once

#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/es_prepared.hpp"

namespace tarnwik::query {

// `text` is the bounded raw query; `hits` the street-data result, best first.
std::vector<HitWithFeatures> foreign_city_guard(const Index& index, std::string_view text,
                                                std::vector<HitWithFeatures> hits);

}  // namespace tarnwik::query
