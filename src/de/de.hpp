// German address rules: the query rewrites, rescues and name forms used when
// the sheet's country is "de".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwik::de {

// Other spellings of a street text under the German street-type words
// ("str", "straße", "strasse", ...), in the order candidate collection tries
// them. Empty when the text has none.
std::vector<std::string> street_variants(std::string_view text);

}  // namespace tarnwik::de
