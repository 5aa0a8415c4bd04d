#include "query/reverse.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "rules/rules.hpp"

namespace tarnwik::query {

namespace {

constexpr int64_t kRows = 18000;     // 0.01-degree grid over [-90, 90]
constexpr int64_t kColumns = 36000;  // and [-180, 180]
constexpr double kMetresPerDegree = 111320.0;
constexpr size_t kMinStreets = 3;

struct Candidate {
    double d;      // metres
    uint64_t seq;  // street id, then position in the street's block
    uint32_t street;
    uint32_t number;
    uint32_t suffix_id;
    uint32_t postcode_off;
    int32_t lat_e7, lon_e7;
};

// Field by field: a plain struct copy compiles to a string move here, whose
// start-up cost dominates when the nearest records are re-ranked.
inline void copy(Candidate& to, const Candidate& from) {
    to.d = from.d;
    to.seq = from.seq;
    to.street = from.street;
    to.number = from.number;
    to.suffix_id = from.suffix_id;
    to.postcode_off = from.postcode_off;
    to.lat_e7 = from.lat_e7;
    to.lon_e7 = from.lon_e7;
}

bool before(const Candidate& a, const Candidate& b) { return a.d < b.d || (a.d == b.d && a.seq < b.seq); }

int64_t saturating_i64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2233720368547758e18) return INT64_MAX;
    if (v <= -9.2233720368547758e18) return INT64_MIN;
    return static_cast<int64_t>(v);
}

// Street ids listed by the grid cells within `radius` cells of (row, col),
// in cell order; a street listed by several cells appears once per cell.
void cell_streets(const Index& idx, int64_t row, int64_t col, int64_t radius, std::vector<uint32_t>& ids) {
    ids.clear();
    const ByteView cells = idx.grid_cells();
    const ByteView blob = idx.grid_blob();
    const size_t n = idx.grid_cell_count();
    auto key_at = [&](size_t i) {
        uint32_t k;
        std::memcpy(&k, cells.data() + i * 12, 4);
        return k;
    };
    for (int64_t dr = -radius; dr <= radius; ++dr) {
        const int64_t r = std::clamp<int64_t>(row + dr, 0, kRows - 1);
        for (int64_t dc = -radius; dc <= radius; ++dc) {
            const int64_t c = std::clamp<int64_t>(col + dc, 0, kColumns - 1);
            const uint64_t key = static_cast<uint64_t>(r * kColumns + c);
            if (n == 0) continue;
            // Lower-bound bisection with a conditional move in place of a
            // branch, whose outcome is unpredictable.
            size_t lo = 0;
            for (size_t len = n; len > 1;) {
                const size_t half = len / 2;
                lo = key_at(lo + half) < key ? lo + half : lo;
                len -= half;
            }
            lo += key_at(lo) < key ? 1 : 0;
            if (lo == n || key_at(lo) != key) continue;
            uint32_t first, count;
            std::memcpy(&first, cells.data() + lo * 12 + 4, 4);
            std::memcpy(&count, cells.data() + lo * 12 + 8, 4);
            if (count == 0 || (uint64_t{first} + count) * 4 > blob.size()) continue;
            const size_t at = ids.size();
            ids.resize(at + count);
            std::memcpy(ids.data() + at, blob.data() + uint64_t{first} * 4, uint64_t{count} * 4);
        }
    }
}

// Whether `ids` holds at least `n` (1..3) distinct values.
bool has_distinct(const std::vector<uint32_t>& ids, size_t n) {
    size_t found = 0;
    uint32_t seen[2] = {0, 0};
    for (uint32_t id : ids) {
        if ((found > 0 && id == seen[0]) || (found > 1 && id == seen[1])) continue;
        if (++found == n) return true;
        seen[found - 1] = id;
    }
    return false;
}

Hit make_hit(const Index& idx, const Candidate& c) {
    const StreetRecord r = idx.street(c.street);
    Hit h;
    h.lat = c.lat_e7 / 1e7;
    h.lon = c.lon_e7 / 1e7;
    h.precision = c.d <= 50 ? "house" : c.d <= 250 ? "near" : "approximate";
    h.score = 0;
    h.confidence = static_cast<float>(std::min(0.95, std::max(0.1, 0.97 - c.d / 500)));
    h.street = idx.name(r.name_off);
    h.housenumber = idx.house_number(c.number, c.suffix_id);
    h.commune = idx.commune_name(r.commune_id);
    h.postcode = idx.postcode_for_house(r, c.postcode_off);
    if (auto region = idx.admin_at(h.lat, h.lon)) h.region = std::string(*region);
    h.distance_m = std::round(c.d * 10) / 10;
    return h;
}

}  // namespace

std::string format_coordinate(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    // Fixed notation of the shortest round-trip digits: up to 309 integer
    // digits plus sign, or a long run of leading zeros for tiny values.
    char buf[1100];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    if (ec != std::errc()) return "NaN";  // cannot happen with this buffer
    return std::string(buf, end);
}

Result<std::vector<Hit>> try_reverse(const Index& idx, double lat, double lon, uint64_t k) {
    if (!std::isfinite(lat) || std::fabs(lat) > 90 || !std::isfinite(lon) || std::fabs(lon) > 180)
        return fail("reverse: coordinates out of range or non-finite (lat=" + format_coordinate(lat) +
                    ", lon=" + format_coordinate(lon) +
                    "); expected finite lat in [-90,90], lon in [-180,180]");
    const size_t want = static_cast<size_t>(std::min(k, kMaxReverseHits));
    std::vector<Hit> hits;
    if (want == 0) return hits;
    rules::ScopedCurrent scoped(idx.rules());

    const int64_t row = saturating_i64(std::floor((lat + 90) / 0.01));
    const int64_t col = saturating_i64(std::floor((lon + 180) / 0.01));
    std::vector<uint32_t> streets;
    for (int64_t radius : {1, 2, 4}) {
        cell_streets(idx, row, col, radius, streets);
        if (has_distinct(streets, kMinStreets)) break;
    }

    const double f = std::max(std::cos(lat * M_PI / 180), 0.01);
    // The answer is the `want` nearest distinct (street, number, suffix),
    // each at its nearest record, equal distances in street id order, then
    // block order. Only those are kept while the blocks are decoded. Once
    // `want` are kept, the last one's distance bounds the search: streets are
    // visited nearest box first, and a street or record whose lower bound
    // exceeds it is passed over. The bounds (the distance to the box, or the
    // larger axis offset of a record) are computed from 1e-7 degree integers
    // and shrunk by a margin far above the rounding error of either
    // computation, so nothing that could tie is ever passed over.
    const double qlat_e7 = lat * 1e7, qlon_e7 = lon * 1e7;
    const double ky = kMetresPerDegree / 1e7 * (1 - 1e-9), kx = ky * f;
    constexpr double kMargin = 1e-6;  // metres

    const std::vector<StreetBox>& boxes = idx.street_boxes();
    struct Visit {
        double lb_sq;  // squared lower bound of the distance to the street's box
        uint32_t street;
    };
    auto nearer = [](const Visit& a, const Visit& b) {
        return a.lb_sq < b.lb_sq || (a.lb_sq == b.lb_sq && a.street < b.street);
    };
    std::vector<Visit> visits;
    visits.reserve(streets.size());
    Visit nearest{std::numeric_limits<double>::infinity(), UINT32_MAX};
    for (uint32_t sid : streets) {
        if (sid >= boxes.size() || boxes[sid].empty()) continue;
        const StreetBox& b = boxes[sid];
        const double dy = std::max({b.min_lat - qlat_e7, qlat_e7 - b.max_lat, 0.0}) * ky;
        const double dx = std::max({b.min_lon - qlon_e7, qlon_e7 - b.max_lon, 0.0}) * kx;
        visits.push_back({dy * dy + dx * dx, sid});
        if (nearer(visits.back(), nearest)) nearest = visits.back();
    }
    std::vector<Candidate> best;
    best.reserve(want + 1);
    double bound = 0;  // the distance of the last kept record once `want` are kept
    auto out_of_reach = [&](const Visit& v) {
        return best.size() == want && v.lb_sq > (bound + kMargin) * (bound + kMargin);
    };
    auto visit = [&](uint32_t sid) {
        HouseWalk walk = idx.walk_houses(sid, idx.street(sid));
        uint64_t seq = uint64_t{sid} << 32;
        HouseRecord h;
        for (; walk.next(h); ++seq) {
            if (best.size() == want) {
                const double lb = std::max(std::fabs(h.lat_e7 - qlat_e7) * ky, std::fabs(h.lon_e7 - qlon_e7) * kx);
                if (lb - kMargin > bound) continue;
            }
            const double dy = (h.lat_e7 / 1e7 - lat) * kMetresPerDegree;
            const double dx = (h.lon_e7 / 1e7 - lon) * kMetresPerDegree * f;
            const Candidate c{std::sqrt(dy * dy + dx * dx), seq, sid, h.number, h.suffix_id, h.postcode_off,
                              h.lat_e7, h.lon_e7};
            if (best.size() == want && !before(c, best.back())) continue;
            auto same = std::find_if(best.begin(), best.end(), [&](const Candidate& o) {
                return o.street == sid && o.number == c.number && o.suffix_id == c.suffix_id;
            });
            // The new record takes the slot of its own key's farther record,
            // or of the last one, and moves up to its place.
            size_t at;
            if (same != best.end()) {
                if (!(c.d < same->d)) continue;  // an earlier record at most as far
                at = static_cast<size_t>(same - best.begin());
            } else if (best.size() < want) {
                at = best.size();
                best.push_back(c);
            } else {
                at = best.size() - 1;
            }
            for (; at > 0 && before(c, best[at - 1]); --at) copy(best[at], best[at - 1]);
            copy(best[at], c);
            if (best.size() == want) bound = best.back().d;
        }
    };
    // The nearest box first: after it the bound usually leaves only a few
    // streets in reach, and only those are sorted and visited. A street
    // listed by several cells has one entry per cell; equal entries sort
    // next to each other.
    if (!visits.empty()) {
        const uint32_t first = nearest.street;
        visit(first);
        std::erase_if(visits, [&](const Visit& v) { return v.street == first || out_of_reach(v); });
        std::sort(visits.begin(), visits.end(), nearer);
        uint32_t last = first;
        for (const Visit& v : visits) {
            if (out_of_reach(v)) break;  // every later street is at least as far
            if (v.street == last) continue;
            visit(last = v.street);
        }
    }

    hits.reserve(best.size());
    for (const Candidate& c : best) hits.push_back(make_hit(idx, c));
    return hits;
}

}  // namespace tarnwik::query
