#include "query/reverse.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "rules/rules.hpp"

namespace tarnwik::query {

namespace {

constexpr int64_t kRows = 18000;     // 0.01-degree grid over [-90, 90]
constexpr int64_t kColumns = 36000;  // and [-180, 180]
constexpr double kMetresPerDegree = 111320.0;
constexpr size_t kMinStreets = 3;

struct Candidate {
    double d;       // metres
    uint32_t seq;   // decoding order: street id, then block order
    uint32_t street;
    uint32_t number;
    uint32_t suffix_id;
    uint32_t postcode_off;
    int32_t lat_e7, lon_e7;
};

bool before(const Candidate& a, const Candidate& b) { return a.d < b.d || (a.d == b.d && a.seq < b.seq); }

int64_t saturating_i64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2233720368547758e18) return INT64_MAX;
    if (v <= -9.2233720368547758e18) return INT64_MIN;
    return static_cast<int64_t>(v);
}

// Street ids listed by the grid cells within `radius` cells of (row, col),
// ascending and without repeats.
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
            size_t lo = 0, hi = n;
            while (lo < hi) {
                const size_t mid = lo + (hi - lo) / 2;
                if (key_at(mid) < key) lo = mid + 1;
                else hi = mid;
            }
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
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
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
        if (streets.size() >= kMinStreets) break;
    }

    const double f = std::max(std::cos(lat * M_PI / 180), 0.01);
    std::vector<Candidate> cands;
    uint32_t seq = 0;
    const size_t street_total = idx.street_count();
    for (uint32_t sid : streets) {
        if (sid >= street_total) continue;
        const StreetRecord r = idx.street(sid);
        HouseWalk walk = idx.walk_houses(sid, r);
        // A street lists a (number, suffix) once in the answer, at its
        // nearest record; numbers never decrease along a block, so repeats
        // can only sit in the current run of equal numbers.
        size_t run_start = cands.size();
        HouseRecord h;
        while (walk.next(h)) {
            const double dy = (h.lat_e7 / 1e7 - lat) * kMetresPerDegree;
            const double dx = (h.lon_e7 / 1e7 - lon) * kMetresPerDegree * f;
            const Candidate c{std::sqrt(dy * dy + dx * dx), seq++, sid, h.number, h.suffix_id, h.postcode_off,
                              h.lat_e7, h.lon_e7};
            if (run_start == cands.size() || cands[run_start].number != h.number) {
                run_start = cands.size();
                cands.push_back(c);
                continue;
            }
            auto same = std::find_if(cands.begin() + static_cast<ptrdiff_t>(run_start), cands.end(),
                                     [&](const Candidate& o) { return o.suffix_id == h.suffix_id; });
            if (same == cands.end()) cands.push_back(c);
            else if (c.d < same->d) *same = c;
        }
    }

    const size_t n = std::min(want, cands.size());
    std::partial_sort(cands.begin(), cands.begin() + static_cast<ptrdiff_t>(n), cands.end(), before);
    hits.reserve(n);
    for (size_t i = 0; i < n; ++i) hits.push_back(make_hit(idx, cands[i]));
    return hits;
}

}  // namespace tarnwik::query
