// The street-data path: what a sheet query asks for hits. It runs the
// ordinary retry chain (postal retry, city tail, country variants) and, when
// that places no house, rescues for inputs written as address fields: field
// retries, a direct lookup of the street under the locality's communes, the
// first-field drop, the space-separated field form, the geographic retry and
// the title retry. Every rescue is governed by the current rules; with rules
// that carry no address-field settings, rule pairs or first-field words the
// path is the chain alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/es_prepared.hpp"

namespace tarnwik::query {

// The chain, the field retries and the direct street-data stage.
std::vector<HitWithFeatures> query_feats_street_data_base(const Index& index, std::string_view text, size_t k);

// The base, then (while it found nothing) the first-field drop, the
// space-separated field form, the geographic retry and the title retry.
std::vector<HitWithFeatures> query_feats_street_data(const Index& index, std::string_view text, size_t k);

// The direct street-data stage, run by the base when the rules carry rule
// pairs: for "street number, locality" or "street, number, locality", the
// street looked up exactly under each commune of the locality, for every
// rule-pair spelling of it, and the requested house placed on it. The first
// spelling that places the house in the locality gives the answer (at most
// k hits); otherwise, and when `current` already places that house, the
// answer is `current`.
std::vector<HitWithFeatures> street_data_direct(const Index& index, std::string_view text, size_t k,
                                                std::vector<HitWithFeatures> current);

// Whether a rescue answered the field address it was asked: its best hit is
// a house whose number starts with `number`, whose street was matched
// (exactly or fuzzily) when `street_matched` is asked for, and which lies in
// `locality` (normalised) when one is given.
bool rescue_accepted(const std::vector<HitWithFeatures>& hits, uint32_t number,
                     std::optional<std::string_view> locality, bool street_matched);

}  // namespace tarnwik::query
