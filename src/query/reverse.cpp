#include "query/reverse.hpp"

#include <algorithm>
#include <bit>
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

bool before(const Candidate& a, const Candidate& b) { return a.d < b.d || (a.d == b.d && a.seq < b.seq); }

int64_t saturating_i64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2233720368547758e18) return INT64_MAX;
    if (v <= -9.2233720368547758e18) return INT64_MIN;
    return static_cast<int64_t>(v);
}

// The point asked about, and the lower bounds used to pass over streets and
// records that cannot hold one of the nearest houses. The bounds are
// computed from 1e-7 degree integers and shrunk by a margin far above the
// rounding error of either computation, so nothing that could tie is ever
// passed over.
struct Probe {
    double lat, lon;
    double f;                 // cos factor of the longitude
    double qlat_e7, qlon_e7;  // the point in 1e-7 degree
    double ky, kx;            // metres per 1e-7 degree, shrunk
    double inv_ky, inv_kx;
    int64_t lat_lo, lat_hi, lon_lo, lon_hi;  // the whole units below and above the point

    static constexpr double kMargin = 1e-6;  // metres

    Probe(double lat_, double lon_)
        : lat(lat_),
          lon(lon_),
          f(std::max(std::cos(lat_ * M_PI / 180), 0.01)),
          qlat_e7(lat_ * 1e7),
          qlon_e7(lon_ * 1e7),
          ky(kMetresPerDegree / 1e7 * (1 - 1e-9)),
          kx(ky * f),
          inv_ky(1 / ky),
          inv_kx(1 / kx),
          lat_lo(static_cast<int64_t>(std::floor(qlat_e7))),
          lat_hi(static_cast<int64_t>(std::ceil(qlat_e7))),
          lon_lo(static_cast<int64_t>(std::floor(qlon_e7))),
          lon_hi(static_cast<int64_t>(std::ceil(qlon_e7))) {}

    // Squared lower bound of the distance to any house in the box.
    // The offsets are taken in whole units from the units around the point,
    // so they never exceed the true ones.
    double box_lb_sq(const StreetBox& b) const {
        const int64_t oy = std::max<int64_t>(std::max<int64_t>(b.min_lat - lat_hi, lat_lo - b.max_lat), 0);
        const int64_t ox = std::max<int64_t>(std::max<int64_t>(b.min_lon - lon_hi, lon_lo - b.max_lon), 0);
        const double dy = static_cast<double>(oy) * ky, dx = static_cast<double>(ox) * kx;
        return dy * dy + dx * dx;
    }
    double distance(int32_t lat_e7, int32_t lon_e7) const {
        const double dy = (lat_e7 / 1e7 - lat) * kMetresPerDegree;
        const double dx = (lon_e7 / 1e7 - lon) * kMetresPerDegree * f;
        return std::sqrt(dy * dy + dx * dx);
    }
};

struct Visit {
    double lb_sq;  // squared lower bound of the distance to the street's box
    uint32_t street;
};

// The visits of one call: on the stack, moved to the heap only for a
// neighbourhood that lists more streets than a city centre does.
class VisitList {
public:
    VisitList() = default;
    VisitList(const VisitList&) = delete;
    VisitList& operator=(const VisitList&) = delete;

    Visit* begin() { return data_; }
    Visit* end() { return data_ + size_; }
    bool empty() const { return size_ == 0; }
    void clear() { size_ = 0; }
    void resize_down(Visit* new_end) { size_ = static_cast<size_t>(new_end - data_); }
    // Room for `n` more visits, past end(); resize_down() then keeps those
    // written.
    Visit* extend(size_t n) {
        if (n > capacity_ - size_) grow(size_ + n);
        Visit* at = data_ + size_;
        size_ += n;
        return at;
    }

private:
    void grow(size_t need) {
        std::vector<Visit> bigger(std::max(need, capacity_ * 2));
        std::copy(data_, data_ + size_, bigger.begin());
        heap_.swap(bigger);
        data_ = heap_.data();
        capacity_ = heap_.size();
    }

    static constexpr size_t kLocal = 1024;
    Visit local_[kLocal];
    std::vector<Visit> heap_;
    Visit* data_ = local_;
    size_t size_ = 0;
    size_t capacity_ = kLocal;
};

// The streets listed by the grid cells within `radius` cells of (row, col),
// in cell order, as one visit per listing (a street listed by several cells
// has several); streets without a box are left out. `nearest` becomes the
// street of a nearest visit. Returns whether the cells list at least
// `kMinStreets` distinct ids, every listed id counted.
bool gather(const Index& idx, const Probe& q, int64_t row, int64_t col, int64_t radius, VisitList& visits,
            uint32_t& nearest) {
    visits.clear();
    nearest = 0;
    const size_t n = idx.grid_cell_count();
    if (n == 0) return false;
    const uint8_t* cells = idx.grid_cells().data();
    const ByteView blob = idx.grid_blob();
    const StreetBox* boxes = idx.street_boxes().data();
    const size_t box_count = idx.street_boxes().size();
    auto key_at = [&](size_t i) {
        uint32_t k;
        std::memcpy(&k, cells + i * 12, 4);
        return k;
    };
    size_t found = 0;
    uint32_t seen[kMinStreets - 1] = {0, 0};
    uint64_t nearest_lb = UINT64_MAX;  // bit pattern of a non-negative double
    for (int64_t dr = -radius; dr <= radius; ++dr) {
        const int64_t r = std::clamp<int64_t>(row + dr, 0, kRows - 1);
        size_t lo = 0;
        for (int64_t dc = -radius; dc <= radius; ++dc) {
            const int64_t c = std::clamp<int64_t>(col + dc, 0, kColumns - 1);
            const uint64_t key = static_cast<uint64_t>(r * kColumns + c);
            if (dc == -radius) {
                // Lower-bound bisection with a conditional move in place of a
                // branch, whose outcome is unpredictable.
                lo = 0;
                for (size_t len = n; len > 1;) {
                    const size_t half = len / 2;
                    lo = key_at(lo + half) < key ? lo + half : lo;
                    len -= half;
                }
                lo += key_at(lo) < key ? 1 : 0;
            } else {
                // The rest of the row: keys one apart, so the next cell is
                // at most a step or two further on.
                while (lo < n && key_at(lo) < key) ++lo;
            }
            if (lo == n || key_at(lo) != key) continue;
            uint32_t first, count;
            std::memcpy(&first, cells + lo * 12 + 4, 4);
            std::memcpy(&count, cells + lo * 12 + 8, 4);
            if (count == 0 || (uint64_t{first} + count) * 4 > blob.size()) continue;
            const uint8_t* ids = blob.data() + uint64_t{first} * 4;
            // Only the first ids can raise the count of distinct ones.
            for (uint32_t j = 0; j < count && found < kMinStreets; ++j) {
                uint32_t sid;
                std::memcpy(&sid, ids + uint64_t{j} * 4, 4);
                if ((found > 0 && sid == seen[0]) || (found > 1 && sid == seen[1])) continue;
                if (found < kMinStreets - 1) seen[found] = sid;
                ++found;
            }
            Visit* out = visits.extend(count);
            for (uint32_t j = 0; j < count; ++j) {
                uint32_t sid;
                std::memcpy(&sid, ids + uint64_t{j} * 4, 4);
                if (sid >= box_count || boxes[sid].empty()) continue;
                const double lb_sq = q.box_lb_sq(boxes[sid]);
                *out++ = Visit{lb_sq, sid};
                const uint64_t lb = std::bit_cast<uint64_t>(lb_sq);
                const bool nearer = lb < nearest_lb;
                nearest_lb = nearer ? lb : nearest_lb;
                nearest = nearer ? sid : nearest;
            }
            visits.resize_down(out);
        }
    }
    return found >= kMinStreets;
}

// The `want` nearest distinct (street, number, suffix) among the records
// offered so far, each at its nearest record, equal distances in street id
// order, then block order; nearest first.
//
// The exact distance takes two divisions and a square root, and along a
// street that runs towards the point nearly every record would be nearer
// than the last kept one. So the records of a street that pass the cheap
// tests are only noted while the block is decoded, and settle() then offers
// them nearest lower bound first: after the first few offers the bound is
// tight and the rest are passed over. The kept set does not depend on the
// order of the offers.
class NearestHouses {
public:
    NearestHouses(const Probe& q, size_t want) : q_(q), want_(want) {}

    // Notes the record at block position `at` of the street being visited,
    // unless it cannot be one of the nearest: once `want` are kept, a record
    // outside the window (at least three 1e-7 degree units farther along an
    // axis than the bound allows) or whose lower bound exceeds the bound.
    [[gnu::always_inline]] void note(const HouseRecord& h, uint32_t at, uint32_t street) {
        if (static_cast<uint64_t>(int64_t{h.lat_e7} - lat_lo_) > lat_span_ ||
            static_cast<uint64_t>(int64_t{h.lon_e7} - lon_lo_) > lon_span_)
            return;
        const double dy = (h.lat_e7 - q_.qlat_e7) * q_.ky, dx = (h.lon_e7 - q_.qlon_e7) * q_.kx;
        const double lb_sq = dy * dy + dx * dx;
        if (lb_sq > reach_sq_) return;
        // The index in the low bits: the least key is the nearest record.
        // Dropping those bits of a non-negative double keeps it a lower bound.
        keys_[noted_] = (std::bit_cast<uint64_t>(lb_sq) & ~kIndexBits) | noted_;
        records_[noted_] = Noted{h.number, h.suffix_id, h.postcode_off, h.lat_e7, h.lon_e7, at};
        if (++noted_ == kNoted) settle(street);
    }
    // Offers the noted records of `street`, nearest lower bound first, until
    // the rest are out of reach. For many wanted houses the search for the
    // nearest would cost more than it saves: then all are offered, in block
    // order.
    [[gnu::noinline]] void settle(uint32_t street) {
        size_t n = noted_;
        noted_ = 0;
        if (want_ > kSelectUpTo) {
            for (size_t i = 0; i < n; ++i)
                if (lb_sq_of(keys_[i]) <= reach_sq_) offer(street, records_[i]);
            return;
        }
        while (n > 0) {
            const uint64_t key = least_key(n);
            if (lb_sq_of(key) > reach_sq_) break;
            const size_t m = key & kIndexBits;
            offer(street, records_[m]);
            --n;
            keys_[m] = (keys_[n] & ~kIndexBits) | m;
            records_[m] = records_[n];
        }
    }
    // The squared distance beyond which nothing can be one of the nearest:
    // infinite until `want` are kept.
    double reach_sq() const { return reach_sq_; }
    const Candidate* begin() const { return best_; }
    const Candidate* end() const { return best_ + kept_; }
    size_t size() const { return kept_; }

private:
    // A noted record. No default member initialisers: the buffer is not
    // cleared for every call.
    struct Noted {
        uint32_t number, suffix_id, postcode_off;
        int32_t lat_e7, lon_e7;
        uint32_t at;  // position in the block
    };
    static constexpr size_t kNoted = 128;  // a power of two
    static constexpr size_t kSelectUpTo = 8;

    static constexpr uint64_t kIndexBits = kNoted - 1;
    static double lb_sq_of(uint64_t key) { return std::bit_cast<double>(key & ~kIndexBits); }

    // The least of the first `n` keys, with four running minima so that a
    // comparison need not wait for the one before.
    uint64_t least_key(size_t n) const {
        const uint64_t* k = keys_;
        uint64_t a = k[0], b = k[0], c = k[0], d = k[0];
        size_t i = 1;
        for (; i + 4 <= n; i += 4) {
            a = std::min(a, k[i]);
            b = std::min(b, k[i + 1]);
            c = std::min(c, k[i + 2]);
            d = std::min(d, k[i + 3]);
        }
        for (; i < n; ++i) a = std::min(a, k[i]);
        return std::min(std::min(a, b), std::min(c, d));
    }

    [[gnu::noinline]] void offer(uint32_t street, const Noted& r) {
        const Candidate c{q_.distance(r.lat_e7, r.lon_e7), (uint64_t{street} << 32) | r.at, street, r.number,
                          r.suffix_id, r.postcode_off, r.lat_e7, r.lon_e7};
        if (kept_ == want_ && !before(c, best_[kept_ - 1])) return;
        size_t at = kept_;
        for (size_t i = 0; i < kept_; ++i)
            if (best_[i].street == street && best_[i].number == c.number && best_[i].suffix_id == c.suffix_id) {
                at = i;
                break;
            }
        // The new record takes the slot of its own key's farther record, or
        // of the last one, and moves up to its place.
        if (at < kept_) {
            if (!before(c, best_[at])) return;  // a record of the same house at most as far
        } else if (kept_ < want_) {
            at = kept_++;
        } else {
            at = kept_ - 1;
        }
        for (; at > 0 && before(c, best_[at - 1]); --at) best_[at] = best_[at - 1];
        best_[at] = c;
        if (kept_ == want_) narrow(best_[kept_ - 1].d);
    }

    void narrow(double bound) {
        const double t = bound + Probe::kMargin;
        reach_sq_ = t * t;
        // Truncation is within one unit of floor and ceil; two more units
        // on each side cover that and the rounding of the half widths.
        auto window = [](double centre, double half, int64_t& lo, uint64_t& span) {
            const double a = std::max(centre - half, -4e9), b = std::min(centre + half, 4e9);
            lo = static_cast<int64_t>(a) - 3;
            span = static_cast<uint64_t>(static_cast<int64_t>(b) + 3 - lo);
        };
        window(q_.qlat_e7, t * q_.inv_ky, lat_lo_, lat_span_);
        window(q_.qlon_e7, t * q_.inv_kx, lon_lo_, lon_span_);
    }

    const Probe& q_;
    const size_t want_;
    size_t kept_ = 0;
    // Everything is in reach until `want` are kept; then the squared bound
    // (the last kept distance plus the margin) and the window around it.
    double reach_sq_ = std::numeric_limits<double>::infinity();
    int64_t lat_lo_ = INT32_MIN, lon_lo_ = INT32_MIN;
    uint64_t lat_span_ = UINT64_MAX, lon_span_ = UINT64_MAX;
    Candidate best_[kMaxReverseHits];
    size_t noted_ = 0;
    uint64_t keys_[kNoted];
    Noted records_[kNoted];
};

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
    if (!idx.admin_regions().empty())
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
    const Probe q(lat, lon);
    VisitList visits;
    uint32_t nearest = 0;
    for (int64_t radius : {1, 2, 4})
        if (gather(idx, q, row, col, radius, visits, nearest)) break;

    // Once `want` are kept, the last one's distance bounds the search:
    // streets are visited nearest box first, and a street or record whose
    // lower bound exceeds it is passed over.
    NearestHouses near(q, want);
    auto visit = [&](uint32_t sid) {
        uint32_t at = 0;
        idx.walk_houses(sid, idx.street(sid)).for_each([&](const HouseRecord& h) { near.note(h, at++, sid); });
        near.settle(sid);
    };
    // Nearest box first: after the first street the bound usually leaves
    // only a few streets in reach. Each pass over the rest drops the streets
    // out of reach and the entries of the street just visited (a street
    // listed by several cells has one entry per cell), and finds the next.
    // The order of the visits only decides how soon the bound is tight.
    if (!visits.empty()) {
        Visit* const begin = visits.begin();
        size_t n = static_cast<size_t>(visits.end() - begin);
        for (uint32_t street = nearest;;) {
            visit(street);
            // Non-negative doubles order as their bit patterns do, so the
            // tests are integer compares that take no branch.
            const uint64_t reach = std::bit_cast<uint64_t>(near.reach_sq());
            uint64_t next_lb = UINT64_MAX;
            uint32_t next = 0;
            size_t kept = 0;
            for (size_t i = 0; i < n; ++i) {
                const Visit v = begin[i];
                const uint64_t lb = std::bit_cast<uint64_t>(v.lb_sq);
                begin[kept] = v;
                const bool keep = (v.street != street) & (lb <= reach);
                kept += keep;
                const bool better = keep & (lb < next_lb);
                next_lb = better ? lb : next_lb;
                next = better ? v.street : next;
            }
            n = kept;
            if (n == 0) break;
            street = next;
        }
    }

    hits.reserve(near.size());
    for (const Candidate& c : near) hits.push_back(make_hit(idx, c));
    return hits;
}

}  // namespace tarnwik::query
