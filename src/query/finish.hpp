// Result finishing: the last stage of the prepared search. The hits built for
// the kept street candidates are ordered, a few corrective rules move a
// better-placed hit to the top or flag an ambiguous answer, and the list is
// cut to the length asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/hits.hpp"

namespace tarnwik::query {

// A locality the German trailing-word retries dropped from the query and
// want the answer to stay in.
struct RetainedLocality {
    std::string locality;  // the locality written after the postcode
    std::string dropped;   // the dropped trailing words, joined with single spaces
    bool postal_tail = false;  // the query may end in a postal locality tail
};

// A tail of the query naming a place at least this prominent is the
// reference point of the query.
inline constexpr uint32_t kReferencePlaceProminence = 2000;
// Home area: a top hit this far from the reference point yields to an exact
// namesake street this close to it.
inline constexpr double kHomeAreaFarKm = 60.0;
inline constexpr double kHomeAreaNearKm = 40.0;
// The German retained-locality and postal-tail rules look this far down.
inline constexpr size_t kFinishLookahead = 5;
// Two leading hits this far apart and less than kAmbiguousScoreGap apart in
// score leave the answer in doubt.
inline constexpr double kAmbiguousFarKm = 50.0;
inline constexpr float kAmbiguousScoreGap = 1.0f;
inline constexpr float kAmbiguousConfidence = 0.2f;

// The point hits are measured from: the more prominent of the places named
// by the query's last word or last two words (prominence 2000 or more; the
// last word wins ties), else the sheet's default reference point.
struct ReferencePoint {
    std::optional<LatLon> point;
    bool names_place = false;  // the point is a place the query names
};
ReferencePoint reference_point(const Index& index, std::string_view text);

// What finishing needs to know of the search.
struct FinishQuery {
    std::string_view text;  // the prepared query text
    bool postcode_given = false;
    uint32_t postcode_value = 0;
    size_t k = 10;
    const RetainedLocality* retained = nullptr;  // null: no retained locality
    std::optional<std::string_view> street_key;  // the street key the caller expects
};

// Orders the hits (candidate order in, ranking order out), applies the home
// area preference, the German cityless-prominence, retained-locality and
// postal-tail rules and the ambiguous-far cap, and keeps the first k.
std::vector<ScoredHit> finish_hits(const Index& index, std::vector<ScoredHit> hits, const FinishQuery& q);

}  // namespace tarnwik::query
