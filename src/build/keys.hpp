// The keys a sheet is looked up by. The builder derives every key through
// these functions, and they call the same text code the queries use, so a
// key written here is byte for byte the key a query computes. Keys depend on
// the rules in force (rules::current()): derive them under the rules the
// sheet's readers will have, as write_sheet does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwik::build {

// Key of a commune or locality name in `communes_fst`.
std::string commune_key(std::string_view name);

// Street part of a `streets_fst` key (the full key adds 0x1F and the commune code).
std::string street_key(std::string_view name);

// Keys of `words_fst` under which a street name is filed.
std::vector<std::string> word_keys(std::string_view street_name);

inline constexpr char kStreetCommuneSeparator = '\x1F';

}  // namespace tarnwik::build
