// Field addresses: the recognisers that read an input written as address
// fields (street, house number, district, locality, region code, postcode),
// and the street keys and per-sheet maps that let the street-data path place
// a house on a street named in such a field without the prepared search.
//
// All of it is driven by the current rules: the address-field settings
// (field_settings.hpp), the rule pairs `kind24_pairs` and the street-type
// words.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/index.hpp"
#include "query/es_prepared.hpp"
#include "rules/rules.hpp"

namespace tarnwik::query {

// What address_field_retries reads from a field address: the locality
// (normalised), simpler texts to search the address with (an empty entry is
// a construction that repeated an earlier one; positions are fixed), and the
// house number.
struct AddressFieldRetries {
    std::string locality;
    std::vector<std::string> retries;
    uint32_t number = 0;
};
std::optional<AddressFieldRetries> address_field_retries(std::string_view text);

// "street, number" with no locality: the street as a prepared query key and
// the house number.
struct CitylessFieldAddress {
    std::string street;
    uint32_t number = 0;
};
std::optional<CitylessFieldAddress> cityless_field_address(std::string_view text);

// A field address whose locality is found among place words after the
// number: the retry text "street, number, locality", the house number and
// the locality.
struct GeographicFieldRetry {
    std::string text;
    uint32_t number = 0;
    std::string locality;
};
std::optional<GeographicFieldRetry> geographic_field_retry(const Index& index, std::string_view text);

// Other spellings of a street under the rule pairs, the street first; at
// most nine.
std::vector<std::string> street_data_variants(std::string_view street);

// Street-type word -> the word that stands for its group of aliases.
using StreetTypeAliases = std::unordered_map<std::string, std::string, rules::WordHash, std::equal_to<>>;
StreetTypeAliases field_street_type_aliases();

// The text with its first word replaced by its street-type alias, when it
// has a second word and the first word has an alias.
std::string field_street_type_key(std::string_view text, const StreetTypeAliases& aliases);

// Field street key -> street ids (ascending), built once per sheet.
using FieldStreetMap = std::unordered_map<std::string, std::vector<uint32_t>, rules::WordHash, std::equal_to<>>;
const FieldStreetMap& field_street_projection(const Index& index);
// The same keyed by title_street_key.
const FieldStreetMap& title_street_map(const Index& index);

// A street's key with its personal titles spelled one way and the later
// title words left out; nothing for a street of fewer than two words left
// or without title settings.
std::optional<std::string> title_street_key(const Index& index, std::string_view street);

// Whether the text names a street of the projection: its prepared key, or
// one of that key's street-data variants, has a field street key that the
// projection holds.
bool projection_key_test(const FieldStreetMap& projection, const StreetTypeAliases& aliases, std::string_view text);

// The house `number` placed directly on the given streets: one hit when every
// street that has that number has it within 150 m of the first one found.
std::optional<HitWithFeatures> field_house_from_ids(const Index& index, std::span<const uint32_t> ids,
                                                    uint32_t number);

}  // namespace tarnwik::query
