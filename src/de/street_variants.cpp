#include "de/de.hpp"

namespace tarnwik::de {

// The German street-type spelling variants are filled in here together with
// the rest of the German query flow. Until then no street text has any, so
// candidate collection on a German sheet tries the query's own spellings only.
std::vector<std::string> street_variants(std::string_view) { return {}; }

}  // namespace tarnwik::de
