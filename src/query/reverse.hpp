// Reverse geocoding: the houses nearest to a point.
//
// A free function over a read-only Index rather than an Index member: the
// index subsystem knows nothing of queries, and the query library links the
// index, not the other way round.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index/index.hpp"
#include "query/hit.hpp"
#include "util/result.hpp"

namespace tarnwik::query {

// At most 100 hits, whatever k asks for.
inline constexpr uint64_t kMaxReverseHits = 100;

// The nearest distinct houses (street, number, suffix) of the address sheet,
// nearest first, each with its distance in metres (one decimal), a precision
// word ("house" up to 50 m, "near" up to 250 m, "approximate" beyond) and a
// confidence that falls with distance. Only streets listed in the reverse
// grid near the point are searched. Fails only for coordinates that are not
// finite or out of range, also when k is 0.
Result<std::vector<Hit>> try_reverse(const Index& index, double lat, double lon, uint64_t k);

// A coordinate as it appears in messages: the shortest decimal text that
// reads back as the same double, without exponent and without a trailing
// ".0"; "NaN", "inf" and "-inf" for the special values.
std::string format_coordinate(double v);

}  // namespace tarnwik::query
