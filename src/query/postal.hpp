// Two thin layers between the street-data path and the country-variant
// dispatcher, both driven by the country's address-field settings
// (field_settings.hpp) and inactive without them:
//  - the city tail: an address written as fields that ends in a locality
//    (and a region code, and possibly a postcode) must be answered in that
//    locality, or not at all;
//  - the postal retry: a postcode written as one run of digits where the
//    country writes a hyphen is tried again with the hyphen.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/es_prepared.hpp"

namespace tarnwik::query {

// The locality at the end of a field address.
struct CityTail {
    std::string locality;  // normalised
    // The query without its district field, for "street, s/n or number,
    // district, locality, region" (five or more fields with the locality
    // fourth).
    std::optional<std::string> alternative;
    bool operator==(const CityTail&) const = default;
};

// The city tail of a raw query under the current rules: nothing unless the
// settings are on with regions, forms, a postcode length and a split, and the
// text ends in a locality field followed by a region code (a field of its
// own in the comma form, "locality - XY" in the hyphen form) and optionally
// a postcode field, with something before the locality.
std::optional<CityTail> city_tail(std::string_view text);

// The text with every run of exactly `digits` ASCII digits written with a
// hyphen after its first `split` digits, except runs next to a hyphen-minus
// or a numeric character. Nothing when no run qualifies.
std::optional<std::string> hyphenate_postcodes(std::string_view text, size_t digits, size_t split);

// The country-variant result, checked against the city tail when the text
// has one: a result whose best hit is a placed house (house, interp, near)
// stands; otherwise the answer is the one (the alternative's first, else the
// query's) whose best hit lies in the locality, or no hits at all.
std::vector<HitWithFeatures> query_feats_city_tail(const Index& index, std::string_view text, size_t k);

// query_feats_city_tail, retried with postcodes hyphenated when it placed no
// house and the settings give a split inside the postcode.
std::vector<HitWithFeatures> query_feats_postal_retry(const Index& index, std::string_view text, size_t k);

}  // namespace tarnwik::query
