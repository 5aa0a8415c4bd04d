#include "query/finish.hpp"

#include <algorithm>
#include <utility>

#include "de/de.hpp"
#include "norm/norm.hpp"
#include "query/communes.hpp"
#include "query/hypotheses.hpp"
#include "query/keys.hpp"
#include "query/rank.hpp"

namespace tarnwik::query {
namespace {

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string join_tail(const std::vector<std::string_view>& words, size_t t) {
    std::string out;
    for (size_t i = words.size() - t; i < words.size(); ++i) {
        if (!out.empty()) out.push_back(' ');
        out += words[i];
    }
    return out;
}

bool feature(const ScoredHit& h, size_t i) { return h.features[i] > 0.5f; }

bool has_flag(const Hit& h, FixedText flag) {
    return std::find(h.flags.begin(), h.flags.end(), flag) != h.flags.end();
}

double km_between(const ScoredHit& a, const ScoredHit& b) {
    return Index::dist_km(a.hit.lat, a.hit.lon, b.hit.lat, b.hit.lon);
}

// The hits with their distances to the reference point, moved together.
struct Ranked {
    std::vector<ScoredHit>& hits;
    std::vector<double>& km;

    // Hit i becomes the top; the hits above it shift down by one.
    void move_to_top(size_t i) {
        std::rotate(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(i),
                    hits.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        std::rotate(km.begin(), km.begin() + static_cast<std::ptrdiff_t>(i),
                    km.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    }
};

// The single index among the next kFinishLookahead hits below the top that
// `fits`, or nothing when none or several do.
template <class Fits>
std::optional<size_t> single_below_top(const std::vector<ScoredHit>& hits, Fits fits) {
    std::optional<size_t> found;
    const size_t end = std::min(hits.size(), kFinishLookahead + 1);
    for (size_t i = 1; i < end; ++i) {
        if (!fits(hits[i])) continue;
        if (found) return std::nullopt;
        found = i;
    }
    return found;
}

// A hit far from home yields to an exact namesake street near it: the same
// street name is common (a "Hauptstraße" in every town) and the user most
// likely means the one in their own area.
void prefer_home_area(Ranked r, const ReferencePoint& ref, const FinishQuery& q, bool german) {
    if (ref.names_place || !ref.point || r.hits.empty() || !(r.km[0] > kHomeAreaFarKm)) return;
    const ScoredHit& top = r.hits[0];
    if (german && q.postcode_given && feature(top, MatchFlags::pc_exact)) return;
    const std::string top_key = street_key(top.hit.street);
    const bool top_rep = feature(top, MatchFlags::house_rep);
    for (size_t i = 0; i < r.hits.size(); ++i) {
        const ScoredHit& h = r.hits[i];
        if (!feature(h, MatchFlags::street_exact) || !(r.km[i] < kHomeAreaNearKm)) continue;
        if (german && top_rep && h.hit.precision == "near") continue;
        if (street_key(h.hit.street) != top_key) continue;
        r.move_to_top(i);
        return;
    }
}

// A German street name without a town: of several equally good houses on
// streets of that name, the one in the most prominent commune.
void prefer_prominent_commune(Ranked r, const FinishQuery& q) {
    if (q.postcode_given || !q.street_key || r.hits.size() < 2) return;
    const ScoredHit& top = r.hits[0];
    if (street_key(top.hit.street) != *q.street_key) return;
    const bool top_house = top.hit.precision == "house" && feature(top, MatchFlags::street_exact);
    if (!top_house) return;
    size_t best = 0;
    for (size_t i = 1; i < r.hits.size(); ++i) {
        const ScoredHit& h = r.hits[i];
        const bool equivalent = h.hit.precision == "house" && feature(h, MatchFlags::street_exact) &&
                                h.hit.score == top.hit.score &&
                                h.best_token_similarity == top.best_token_similarity &&
                                h.house_distance == top.house_distance && street_key(h.hit.street) == *q.street_key;
        if (equivalent && h.commune_prominence > r.hits[best].commune_prominence) best = i;
    }
    if (best == 0) return;
    r.move_to_top(best);
    r.hits[0].hit.flags.push_back("de_cityless_prominence");
}

// The trailing locality the caller dropped still says which of several
// otherwise identical answers is meant.
void prefer_retained_locality(Ranked r, const RetainedLocality& ctx) {
    if (r.hits.empty()) return;
    const ScoredHit& top = r.hits[0];
    if (!feature(top, MatchFlags::street_exact)) return;
    if (de::de_retained_locality_score(ctx.locality, top.hit.commune) > 0) return;
    const std::string top_key = street_key(top.hit.street);
    const auto pick = single_below_top(r.hits, [&](const ScoredHit& h) {
        return h.hit.score == top.hit.score && h.features == top.features && h.hit.precision == top.hit.precision &&
               h.hit.housenumber == top.hit.housenumber && h.hit.postcode == top.hit.postcode &&
               h.hit.flags == top.hit.flags && street_key(h.hit.street) == top_key &&
               de::de_retained_locality_score(ctx.locality, norm::normalize(de::de_commune_core(h.hit.commune))) > 0;
    });
    if (!pick) return;
    r.move_to_top(*pick);
    r.hits[0].hit.flags.push_back("de_retained_locality");
}

// A query ending in its postal locality: the same street and house filed
// under exactly the typed postcode beats one that only shares the street.
void prefer_postal_tail(Ranked r, const FinishQuery& q) {
    if (!q.postcode_given || r.hits.empty() || !q.retained || !q.retained->postal_tail) return;
    const ScoredHit& top = r.hits[0];
    if (!feature(top, MatchFlags::street_exact) || feature(top, MatchFlags::pc_exact)) return;
    if (has_flag(top.hit, "de_retained_locality")) return;
    const std::string top_street = norm::normalize(top.hit.street);
    const auto pick = single_below_top(r.hits, [&](const ScoredHit& h) {
        for (size_t f = 0; f < h.features.size(); ++f)
            if (f != MatchFlags::pc_exact && f != MatchFlags::pc_dept && h.features[f] != top.features[f])
                return false;
        return feature(h, MatchFlags::pc_exact) && parse_u32_decimal(h.hit.postcode) == q.postcode_value &&
               h.hit.precision == top.hit.precision && norm::normalize(h.hit.street) == top_street;
    });
    if (!pick) return;
    r.move_to_top(*pick);
    r.hits[0].hit.flags.push_back("de_postal_tail");
}

}  // namespace

ReferencePoint reference_point(const Index& index, std::string_view text) {
    const std::vector<std::string_view> words = words_of(text);
    std::optional<ResolvedPlace> best;
    for (size_t t = 1; t <= 2 && t <= words.size(); ++t) {
        std::optional<ResolvedPlace> p = resolve_place_translit(index, join_tail(words, t));
        if (!p || p->prominence < kReferencePlaceProminence) continue;
        if (!best || p->prominence > best->prominence) best = std::move(p);
    }
    if (best) return {LatLon{best->lat, best->lon}, true};
    return {index.center(), false};
}

std::vector<ScoredHit> finish_hits(const Index& index, std::vector<ScoredHit> hits, const FinishQuery& q) {
    const bool german = index.country() == "de";
    const ReferencePoint ref = reference_point(index, q.text);

    std::vector<double> km(hits.size(), 0.0);
    if (ref.point)
        for (size_t i = 0; i < hits.size(); ++i)
            km[i] = Index::dist_km(hits[i].hit.lat, hits[i].hit.lon, ref.point->lat, ref.point->lon);
    order_hits(hits, km, HitOrderQuery{q.postcode_given, q.postcode_value});

    const Ranked r{hits, km};
    prefer_home_area(r, ref, q, german);
    if (german) prefer_prominent_commune(r, q);
    // The retained locality comes only from the German retries; it applies on
    // whatever sheet they ran.
    if (q.retained) prefer_retained_locality(r, *q.retained);
    if (german) prefer_postal_tail(r, q);

    if (hits.size() >= 2) {
        ScoredHit& top = hits[0];
        if (top.hit.score - hits[1].hit.score < kAmbiguousScoreGap && km_between(top, hits[1]) > kAmbiguousFarKm) {
            top.hit.confidence = std::min(top.hit.confidence, kAmbiguousConfidence);
            top.hit.flags.push_back("ambiguous_far");
        }
    }
    if (hits.size() > q.k) hits.resize(q.k);
    return hits;
}

}  // namespace tarnwik::query
