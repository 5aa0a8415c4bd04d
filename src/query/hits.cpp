#include "query/hits.hpp"

#include <algorithm>
#include <cmath>

#include "norm/norm.hpp"
#include "query/keys.hpp"
#include "util/text.hpp"

namespace tarnwik::query {

namespace {

using S = MatchFlags::Slot;

constexpr FixedText kHouse = "house";
constexpr FixedText kInterp = "interp";
constexpr FixedText kNear = "near";
constexpr FixedText kStreet = "street";

std::u32string to_scalars(std::string_view s) {
    std::u32string out;
    if (!text::valid_utf8(s)) s = {};
    for (size_t i = 0; i < s.size();) out.push_back(text::next_scalar(s, i));
    return out;
}

// Ranked feature order: slots 0-8, then house_requested.
Features features_of(const MatchFlags& f) {
    Features x{};
    for (size_t i = 0; i < 9; ++i) x[i] = f.slot[i] ? 1.0f : 0.0f;
    x[9] = f[S::house_requested] ? 1.0f : 0.0f;
    return x;
}

}  // namespace

int match_quality(const MatchFlags& f) {
    const int street = f[S::street_exact] ? 3 : 2 * f[S::street_fuzzy];
    const int commune = f[S::commune_exact] ? 3 : 2 * f[S::commune_prefix];
    const int house = f[S::house_rep] ? 2 : int{f[S::number_match]};
    return street + commune + 2 * f[S::pc_exact] + house;
}

std::vector<FixedText> match_flags(const MatchFlags& f) {
    std::vector<FixedText> out;
    if (f[S::street_exact]) out.push_back("street_exact");
    if (f[S::street_fuzzy]) out.push_back("street_fuzzy");
    if (f[S::commune_exact])
        out.push_back("commune_exact");
    else if (f[S::commune_prefix])
        out.push_back("commune_prefix");
    if (f[S::house_rep]) out.push_back("house_rep");
    if (f[S::pc_exact])
        out.push_back("pc_exact");
    else if (f[S::pc_dept])
        out.push_back("pc_dept");
    if (f[S::ml]) out.push_back("ml");
    if (f[S::de_street_type]) out.push_back("de_street_type");
    return out;
}

float confidence_score(FixedText precision, const MatchFlags& f) {
    float b = precision == kHouse    ? -1.783f
              : precision == kInterp ? -2.59f
              : precision == kStreet ? -2.97f
              : precision == kNear   ? -3.16f
                                     : -3.254f;
    // The calibration was fitted with these terms in this order; f32 sums
    // depend on it.
    if (f[S::street_exact]) b += 0.899f;
    if (f[S::street_fuzzy]) b += -0.41f;
    if (f[S::commune_exact]) b += 2.36f;
    if (f[S::commune_prefix]) b += 1.24f;
    if (f[S::house_rep]) b += 1.28f;
    if (f[S::pc_exact]) b += 0.738f;
    if (f[S::pc_dept]) b += -0.515f;
    if (f[S::ml]) b += -0.27f;
    const float p = 100.0f / (1.0f + std::exp(-b));
    return std::round(p) / 100.0f;
}

int32_t best_token_similarity(std::string_view street, std::span<const std::u32string> query_words) {
    if (query_words.empty()) return 0;
    const std::string normal = norm::normalize(street);
    int32_t best = 0;
    size_t start = 0;
    while (start <= normal.size()) {
        size_t end = normal.find(' ', start);
        if (end == std::string::npos) end = normal.size();
        if (end > start) {
            const std::u32string w = to_scalars(std::string_view(normal).substr(start, end - start));
            for (const std::u32string& t : query_words) {
                const uint64_t longest = std::max<uint64_t>({w.size(), t.size(), 1});
                const uint64_t d = lev(w, t);
                best = std::max(best, static_cast<int32_t>(100 - static_cast<int64_t>(d * 100 / longest)));
            }
        }
        start = end + 1;
    }
    return best;
}

ScoredHit make_hit(const Index& index, uint32_t street_id, MatchFlags& flags, bool house_requested,
                   uint32_t number, uint32_t suffix_id, bool postcode_given, uint32_t postcode_value,
                   std::span<const std::u32string> query_words) {
    const StreetRecord rec = street_id < index.street_count() ? index.street(street_id) : StreetRecord{};
    flags[S::house_requested] = house_requested;

    ScoredHit out;
    Hit& hit = out.hit;
    std::optional<FoundHouse> found;
    if (house_requested)
        found = index.find_house(street_id, rec, number, suffix_id, postcode_given, postcode_value);
    if (found) {
        hit.lat = found->pos.lat;
        hit.lon = found->pos.lon;
        switch (found->kind) {
            case HouseMatchKind::nearest:
                hit.precision = kNear;
                out.house_distance = found->number > number ? found->number - number : number - found->number;
                break;
            case HouseMatchKind::interpolated:
                hit.precision = kInterp;
                break;
            case HouseMatchKind::exact:
                flags[S::house_rep] = true;
                [[fallthrough]];
            case HouseMatchKind::same_number:
                hit.precision = kHouse;
                flags[S::number_match] = true;
                break;
        }
        hit.housenumber = index.house_number(found->number, found->suffix_id);
    } else {
        hit.precision = kStreet;
        hit.lat = rec.lat_e7 / 1e7;
        hit.lon = rec.lon_e7 / 1e7;
        out.house_distance = house_requested ? kHouseNotFound : 0;
    }

    hit.postcode = index.postcode_for_house(rec, found ? found->postcode_off : 0);

    // A street without a single postcode has its postcodes on the houses, so
    // the postcode flags of candidate collection say nothing about the house
    // found; they are decided again from the house itself.
    if (index.version() >= 7 && rec.postcode_ref == StreetRecord::kDictionaryMarker && found && postcode_given) {
        if (postcode_value != 0) {
            const std::optional<uint32_t> pc = postcode_numeric_prefix(hit.postcode);
            flags[S::pc_exact] = pc && *pc == postcode_value;
            flags[S::pc_dept] = pc && *pc / 1000 == postcode_value / 1000;
        } else {
            flags[S::pc_exact] = false;
            flags[S::pc_dept] = false;
        }
    }

    out.features = features_of(flags);
    if (const RankModel* model = index.rank_model()) {
        float s = model->bias;
        for (size_t i = 0; i < model->weights.size() && i < out.features.size(); ++i)
            s += model->weights[i] * out.features[i];
        hit.score = s;
    } else {
        hit.score = static_cast<float>(match_quality(flags));
    }
    if (flags[S::number_match]) hit.score += 1.0f;

    hit.street = std::string(index.name(rec.name_off));
    CommuneRecord commune{};
    if (rec.commune_id < index.commune_count()) {
        commune = index.commune(rec.commune_id);
        hit.commune = std::string(index.name(commune.name_off));
    }

    out.best_token_similarity = best_token_similarity(hit.street, query_words);

    hit.confidence = confidence_score(hit.precision, flags);
    if (hit.score < 0) hit.confidence = std::min(hit.confidence, 0.4f);

    hit.flags = match_flags(flags);
    if (auto region = index.admin_at(hit.lat, hit.lon)) hit.region = std::string(*region);

    out.commune_prominence = commune.prominence;
    out.street_id = street_id;
    return out;
}

}  // namespace tarnwik::query
