#include "query/fr.hpp"

namespace tarnwik::query {

// The French arrondissement rules plug in here. Until they do, no query
// designates an arrondissement and the driver takes its ordinary path.
FrPostcodeArea fr_arrondissement_postcode_area(std::span<const std::string_view>) { return {}; }

FrConstraint fr_arrondissement_constraint(std::span<const std::string_view>) { return {}; }

}  // namespace tarnwik::query
