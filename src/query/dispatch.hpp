// The country-variant dispatcher: the layer of the query cascade where a
// country's own rewrites of a query are tried before its search. Which flow
// runs is decided by the sheet's country.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/es_prepared.hpp"

namespace tarnwik::query {

// The sheet's country as the dispatcher reads it: the value of the first
// "country" entry of the metadata, and only when it is exactly two bytes long.
std::optional<std::string_view> dispatch_country(const Index& index);

// The hits for one raw query text, best first: the German flow on "de"
// sheets, the Spanish and Italian flows on "es" and "it" sheets, and the
// plain query driver (no hints) everywhere else.
std::vector<HitWithFeatures> query_feats_country_variants(const Index& index, std::string_view text, size_t k);

// The country flows the dispatcher hands a query to (country_flows.cpp).
// Each answers the query completely for its country.
std::vector<HitWithFeatures> query_feats_de(const Index& index, std::string_view text, size_t k);
std::vector<HitWithFeatures> query_feats_es(const Index& index, std::string_view text, size_t k);
std::vector<HitWithFeatures> query_feats_it(const Index& index, std::string_view text, size_t k);

}  // namespace tarnwik::query
