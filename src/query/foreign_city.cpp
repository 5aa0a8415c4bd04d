// The place-lexicon test of the guard is not written yet; until it is, every
// answer passes unchanged, which is also the guard's answer on a sheet
// without a place lexicon.
#include "query/foreign_city.hpp"

namespace tarnwik::query {

std::vector<HitWithFeatures> foreign_city_guard(const Index&, std::string_view, std::vector<HitWithFeatures> hits) {
    return hits;
}

}  // namespace tarnwik::query
