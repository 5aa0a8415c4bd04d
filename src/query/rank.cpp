#include "query/rank.hpp"

#include <numeric>

#include "query/hypotheses.hpp"

namespace tarnwik::query {

namespace {

// Higher first: negative when a is higher. NaN compares as a tie.
template <class T>
int higher_first(T a, T b) {
    if (a > b) return -1;
    if (b > a) return 1;
    return 0;
}

template <class T>
int lower_first(T a, T b) {
    return -higher_first(a, b);
}

std::optional<uint32_t> nonzero_postcode(std::string_view text) {
    const std::optional<uint32_t> v = parse_u32_decimal(text);
    if (!v || *v == 0) return std::nullopt;
    return v;
}

uint32_t distance(uint32_t a, uint32_t b) { return a > b ? a - b : b - a; }

}  // namespace

uint32_t street_commune_prominence(const Index& index, uint32_t street_id) {
    if (street_id >= index.street_count()) return 0;
    const uint32_t commune = index.street(street_id).commune_id;
    if (commune >= index.commune_count()) return 0;
    return index.commune(commune).prominence;
}

void order_candidates(const Index& index, std::vector<Candidate>& candidates) {
    struct Keyed {
        int quality;
        uint32_t prominence;
        Candidate c;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(candidates.size());
    for (Candidate& c : candidates)
        keyed.push_back({match_quality(c.second), street_commune_prominence(index, c.first), std::move(c)});
    stable_sort_by(keyed, [](const Keyed& a, const Keyed& b) {
        if (a.quality != b.quality) return a.quality > b.quality;
        if (a.prominence != b.prominence) return a.prominence > b.prominence;
        return a.c.first < b.c.first;
    });
    for (size_t i = 0; i < keyed.size(); ++i) candidates[i] = std::move(keyed[i].c);
}

int compare_hits(const ScoredHit& a, double a_km, const ScoredHit& b, double b_km, const HitOrderQuery& q) {
    if (int c = higher_first(a.hit.score, b.hit.score)) return c;
    if (int c = higher_first(a.best_token_similarity, b.best_token_similarity)) return c;
    if (q.postcode_given) {
        const auto pa = nonzero_postcode(a.hit.postcode), pb = nonzero_postcode(b.hit.postcode);
        if (pa && pb) {
            if (int c = lower_first(distance(*pa, q.postcode_value), distance(*pb, q.postcode_value))) return c;
        }
    }
    if (int c = lower_first(a.house_distance, b.house_distance)) return c;
    if (int c = lower_first(a_km, b_km)) return c;
    return higher_first(a.commune_prominence, b.commune_prominence);
}

void order_hits(std::vector<ScoredHit>& hits, std::vector<double>& ref_km, const HitOrderQuery& q) {
    std::vector<size_t> order(hits.size());
    std::iota(order.begin(), order.end(), size_t{0});
    auto km = [&](size_t i) { return i < ref_km.size() ? ref_km[i] : 0.0; };
    stable_sort_by(order, [&](size_t a, size_t b) { return compare_hits(hits[a], km(a), hits[b], km(b), q) < 0; });

    std::vector<ScoredHit> sorted_hits;
    std::vector<double> sorted_km;
    sorted_hits.reserve(hits.size());
    sorted_km.reserve(hits.size());
    for (size_t i : order) {
        sorted_hits.push_back(std::move(hits[i]));
        sorted_km.push_back(km(i));
    }
    hits = std::move(sorted_hits);
    ref_km = std::move(sorted_km);
}

}  // namespace tarnwik::query
