// House blocks, house placement and postcodes of houses.
//
// House blocks are decoded on demand, one street at a time; nothing is
// precomputed. Open only checked the block bounds and the dictionary, so the
// records themselves are decoded defensively here.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <fmt/format.h>

#include "index/index.hpp"

namespace tarnwik {

namespace {

// A whole text read as an unsigned 32-bit decimal number: an optional "+",
// then one or more digits and nothing else.
std::optional<uint32_t> parse_u32_whole(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    uint32_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

}  // namespace

std::optional<uint32_t> postcode_numeric_prefix(std::string_view text) {
    uint64_t v = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
        if (v > UINT32_MAX) return std::nullopt;
    }
    if (i == 0) return std::nullopt;
    return static_cast<uint32_t>(v);
}

HouseWalk Index::walk_houses(uint32_t street_id, const StreetRecord& r) const {
    HouseWalk w;
    if (street_id >= street_count()) return w;
    const uint64_t end = uint64_t{street_id} + 1 < street_count()
                             ? streets_meta_.try_u64((uint64_t{street_id} + 1) * 36 + 20).value_or(0)
                             : houses_.size();
    if (r.houses_off >= end || end > houses_.size()) return w;
    const ByteView block = houses_.sub(r.houses_off, end - r.houses_off);
    size_t pos = 0;
    ByteView dict;
    if (version_ >= 7 && r.postcode_ref == StreetRecord::kDictionaryMarker) {
        uint64_t n;
        if (!detail::house_varint(block.data(), block.size(), pos, n) || n == 0 || n > r.house_count) return w;
        auto entries = block.try_sub(pos, n * 4);
        if (!entries) return w;
        dict = *entries;
        pos += n * 4;
    }
    w.block_ = block;
    w.dict_ = dict;
    w.pos_ = pos;
    w.remaining_ = r.house_count;
    w.ref_lat_ = r.lat_e7;
    w.ref_lon_ = r.lon_e7;
    return w;
}

std::optional<FoundHouse> Index::find_house(uint32_t street_id, const StreetRecord& r, uint32_t want,
                                            uint32_t want_suffix, bool postcode_given,
                                            uint32_t postcode_value) const {
    HouseWalk walk = walk_houses(street_id, r);
    const bool has_dict = r.postcode_ref == StreetRecord::kDictionaryMarker;
    auto consistent = [&](const HouseRecord& h) {
        if (has_dict) return parse_u32_whole(name(h.postcode_off)) == postcode_value;
        return r.postcode_num != 0 && r.postcode_num == postcode_value;
    };
    auto pos = [](const HouseRecord& h) { return LatLon{h.lat_e7 / 1e7, h.lon_e7 / 1e7}; };

    std::optional<HouseRecord> first_exact, first_same, last_lower, last_lower_parity, first_higher,
        higher_parity;
    const uint32_t parity = want & 1;
    HouseRecord h;
    while (walk.next(h)) {
        if (h.number == want) {
            if (h.suffix_id == want_suffix) {
                if (!postcode_given || consistent(h))
                    return FoundHouse{pos(h), want, want_suffix, HouseMatchKind::exact, h.postcode_off};
                if (!first_exact) first_exact = h;
            }
            if (!first_same) first_same = h;
        } else if (h.number < want) {
            last_lower = h;
            if ((h.number & 1) == parity) last_lower_parity = h;
        } else {
            if (!first_higher) first_higher = h;
            if ((h.number & 1) == parity) {
                higher_parity = h;
                break;
            }
            // An odd house between two even ones (or the reverse) does not
            // end the search while the same side can still be bracketed.
            if (!(last_lower_parity && !first_same)) break;
        }
    }
    if (walk.failed()) return std::nullopt;

    if (first_exact)
        return FoundHouse{pos(*first_exact), want, want_suffix, HouseMatchKind::exact, first_exact->postcode_off};
    if (first_same)
        return FoundHouse{pos(*first_same), want, first_same->suffix_id, HouseMatchKind::same_number,
                          first_same->postcode_off};
    auto nearest = [&](const HouseRecord& n) {
        return FoundHouse{pos(n), n.number, n.suffix_id, HouseMatchKind::nearest, n.postcode_off};
    };
    if (last_lower && first_higher) {
        const bool bracket_parity = higher_parity && last_lower_parity;
        const HouseRecord& lo = bracket_parity ? *last_lower_parity : *last_lower;
        const HouseRecord& hi = bracket_parity ? *higher_parity : *first_higher;
        const LatLon a = pos(lo), b = pos(hi);
        if (hi.number - lo.number < 13 && lo.number < hi.number &&
            dist_km(a.lat, a.lon, b.lat, b.lon) < 0.3) {
            const double t = static_cast<double>(want - lo.number) / static_cast<double>(hi.number - lo.number);
            return FoundHouse{LatLon{a.lat + t * (b.lat - a.lat), a.lon + t * (b.lon - a.lon)}, want, want_suffix,
                              HouseMatchKind::interpolated, lo.postcode_off == hi.postcode_off ? lo.postcode_off : 0};
        }
        return want - last_lower->number <= first_higher->number - want ? nearest(*last_lower)
                                                                        : nearest(*first_higher);
    }
    if (last_lower) return nearest(*last_lower);
    if (first_higher) return nearest(*first_higher);
    return std::nullopt;
}

std::string Index::postcode_for_house(const StreetRecord& r, uint32_t postcode_off) const {
    if (r.postcode_ref == StreetRecord::kDictionaryMarker)
        return postcode_off != 0 ? std::string(name(postcode_off)) : std::string();
    if (r.postcode_ref != 0)
        if (std::string_view pc = name(r.postcode_ref); !pc.empty()) return std::string(pc);
    if (r.postcode_num != 0) return fmt::format("{:05}", r.postcode_num);
    return {};
}

bool Index::exact_house_postcode_candidate_cached(PostcodeMemo& memo, uint32_t street_id,
                                                  const StreetRecord& r, uint32_t number,
                                                  uint32_t suffix_id, uint32_t postcode_value) const {
    const PostcodeMemoKey key{street_id, number, suffix_id, postcode_value};
    if (auto it = memo.find(key); it != memo.end()) return it->second;

    bool answer = false;
    if (r.postcode_ref == StreetRecord::kDictionaryMarker) {
        // A version-6 sheet has no dictionary: the walk reads none, N = 0.
        const ByteView dict = walk_houses(street_id, r).dictionary();
        for (uint64_t k = 0; k + 4 <= dict.size() && !answer; k += 4)
            answer = parse_u32_whole(name(dict.u32(k))) == postcode_value;
    } else {
        answer = r.postcode_num != 0 && r.postcode_num == postcode_value;
    }
    if (answer) {
        auto found = find_house(street_id, r, number, suffix_id, true, postcode_value);
        answer = found && found->kind == HouseMatchKind::exact &&
                 postcode_numeric_prefix(postcode_for_house(r, found->postcode_off)) == postcode_value;
    }
    memo.emplace(key, answer);
    return answer;
}

bool Index::exact_house_postcode_set_candidate_cached(PostcodeMemo& memo, uint32_t street_id,
                                                      const StreetRecord& r, uint32_t number,
                                                      uint32_t suffix_id,
                                                      std::span<const uint32_t> more_numbers,
                                                      uint32_t postcode_value) const {
    if (!exact_house_postcode_candidate_cached(memo, street_id, r, number, suffix_id, postcode_value))
        return false;
    for (uint32_t n : more_numbers)
        if (!exact_house_postcode_candidate_cached(memo, street_id, r, n, suffix_id, postcode_value))
            return false;
    return true;
}

const std::vector<StreetBox>& Index::street_boxes() const {
    std::call_once(street_boxes_once_, [this] {
        std::vector<StreetBox> boxes(street_count());
        for (uint32_t id = 0; id < boxes.size(); ++id) {
            StreetBox& b = boxes[id];
            HouseWalk walk = walk_houses(id, street(id));
            // A walk that fails part-way gives the houses before the failure,
            // and so does every later walk of the street.
            for (HouseRecord h; walk.next(h);) {
                if (b.empty()) {
                    b = StreetBox{h.lat_e7, h.lon_e7, h.lat_e7, h.lon_e7};
                    continue;
                }
                b.min_lat = std::min(b.min_lat, h.lat_e7), b.max_lat = std::max(b.max_lat, h.lat_e7);
                b.min_lon = std::min(b.min_lon, h.lon_e7), b.max_lon = std::max(b.max_lon, h.lon_e7);
            }
        }
        street_boxes_ = std::move(boxes);
    });
    return street_boxes_;
}

double Index::dist_km(double lat1, double lon1, double lat2, double lon2) {
    constexpr double kRad = M_PI / 180.0;
    const double p1 = lat1 * kRad, p2 = lat2 * kRad;
    const double dp = std::sin((p2 - p1) / 2), dl = std::sin((lon2 - lon1) * kRad / 2);
    const double a = dp * dp + std::cos(p1) * std::cos(p2) * dl * dl;
    return 12742.0 * std::asin(std::sqrt(a));
}

}  // namespace tarnwik
