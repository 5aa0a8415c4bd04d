// The orderings of the search core: street candidates before hits are built,
// and hits once they are.
//
// Both sorts are stable and the tie rules rely on it: candidates that agree
// on every criterion keep their collection order, hits their candidate
// order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "index/index.hpp"
#include "query/hits.hpp"
#include "query/match_flags.hpp"

namespace tarnwik::query {

// Stable sort; `less(a, b)` says that a goes before b. Short lists are
// sorted by insertion, longer ones by merging. Only strict answers of
// `less` move elements, so a comparison that is not a strict weak order
// (a NaN score) leaves a defined, stable result and never reads out of
// bounds.
template <class T, class Less>
void stable_sort_by(std::vector<T>& v, Less less) {
    const size_t n = v.size();
    if (n <= 20) {
        for (size_t i = 1; i < n; ++i) {
            size_t j = i;
            if (!less(v[j], v[j - 1])) continue;
            T x = std::move(v[j]);
            do {
                v[j] = std::move(v[j - 1]);
                --j;
            } while (j > 0 && less(x, v[j - 1]));
            v[j] = std::move(x);
        }
        return;
    }
    std::vector<T> buf;
    buf.reserve(n);
    for (size_t width = 1; width < n; width *= 2) {
        buf.clear();
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            const size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            size_t a = lo, b = mid;
            while (a < mid && b < hi) buf.push_back(less(v[b], v[a]) ? std::move(v[b++]) : std::move(v[a++]));
            while (a < mid) buf.push_back(std::move(v[a++]));
            while (b < hi) buf.push_back(std::move(v[b++]));
        }
        for (size_t i = 0; i < n; ++i) v[i] = std::move(buf[i]);
    }
}

// The prominence of the street's commune; 0 for an id past either table.
uint32_t street_commune_prominence(const Index& index, uint32_t street_id);

// Street candidates, best first: match_quality, then the prominence of the
// street's commune, then the lower street id.
using Candidate = std::pair<uint32_t, MatchFlags>;  // street id, flags
void order_candidates(const Index& index, std::vector<Candidate>& candidates);

// What the hit ordering needs to know of the query.
struct HitOrderQuery {
    bool postcode_given = false;
    uint32_t postcode_value = 0;
};

// Negative when a goes before b, positive when b goes before a, 0 when no
// criterion tells them apart: higher score (a NaN decides nothing), higher
// best token similarity, with a query postcode the postcode numerically
// closer to it, smaller house distance, nearer to the reference point
// (`a_km`, `b_km`), more prominent commune.
int compare_hits(const ScoredHit& a, double a_km, const ScoredHit& b, double b_km, const HitOrderQuery& q);

// Sorts the hits by compare_hits, stable. `ref_km[i]` is hit i's distance to
// the reference point (missing entries count as 0) and is reordered with
// the hits.
void order_hits(std::vector<ScoredHit>& hits, std::vector<double>& ref_km, const HitOrderQuery& q);

}  // namespace tarnwik::query
