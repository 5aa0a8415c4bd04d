#include "query/street_data.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "levenshtein/levenshtein.hpp"
#include "norm/norm.hpp"
#include "query/communes.hpp"
#include "query/field_settings.hpp"
#include "query/fields.hpp"
#include "query/hits.hpp"
#include "query/keys.hpp"
#include "query/postal.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace tarnwik::query {

namespace {

using S = MatchFlags::Slot;

bool top_is(const std::vector<HitWithFeatures>& hits, FixedText precision) {
    return !hits.empty() && hits.front().first.precision == precision;
}

bool has_flag(const Hit& h, FixedText flag) { return std::find(h.flags.begin(), h.flags.end(), flag) != h.flags.end(); }

bool house_number_is(const Hit& h, uint32_t number) {
    return h.housenumber && numeric_house_prefix(*h.housenumber) == number;
}

// f32 under IEEE total order, as a signed integer key.
int32_t total_order_key(float f) {
    int32_t i = std::bit_cast<int32_t>(f);
    return i ^ static_cast<int32_t>(static_cast<uint32_t>(i >> 31) >> 1);
}

std::u32string scalars(std::string_view s) {
    std::u32string out;
    if (!text::valid_utf8(s)) return out;
    for (size_t i = 0; i < s.size();) out.push_back(text::next_scalar(s, i));
    return out;
}

std::vector<std::u32string> query_words(std::string_view variant) {
    std::vector<std::u32string> words;
    size_t start = 0;
    for (;;) {
        const size_t end = variant.find(' ', start);
        const std::string_view w = variant.substr(start, end == std::string_view::npos ? end : end - start);
        if (!w.empty()) words.push_back(scalars(w));
        if (end == std::string_view::npos) return words;
        start = end + 1;
    }
}

// The house number written in a field address, and where the street is.
struct DirectAddress {
    std::string_view street;
    std::string_view number;   // the house-number token
    bool in_field_1 = false;   // "street, 12 - ..., ..." rather than "street 12, ..."
};

std::optional<DirectAddress> direct_address(const std::vector<std::string_view>& fields) {
    std::string_view f1 = fields[1];
    if (const size_t dash = f1.find(" - "); dash != std::string_view::npos) f1 = f1.substr(0, dash);
    f1 = trim_white(f1);
    if (is_house_number_token(f1)) return DirectAddress{fields[0], f1, true};

    // The last white-space-separated token of field 0.
    const std::vector<std::string_view> words = split_white(fields[0]);
    if (words.empty() || !is_house_number_token(words.back())) return std::nullopt;
    const std::string_view token = words.back();
    const size_t at = static_cast<size_t>(token.data() - fields[0].data());
    return DirectAddress{trim_white(fields[0].substr(0, at)), token, false};
}

// The words of a text with their byte offsets.
struct Word {
    std::string_view text;
    size_t offset;
};

// "Via Roma 12 15030 Valmora XY" read as the fields
// "Via Roma, 12, 15030 Valmora, XY" and searched as such.
std::vector<HitWithFeatures> space_separated_fields(const Index& index, std::string_view text, size_t k,
                                                    const FieldSettings& s) {
    const uint64_t digits = *s.postal_digits, split = *s.postal_split;
    std::vector<Word> words;
    for (std::string_view w : split_white(text)) words.push_back({w, static_cast<size_t>(w.data() - text.data())});
    if (words.empty()) return {};

    std::optional<size_t> postcode, region;
    size_t postcodes = 0;
    for (size_t i = 0; i < words.size(); ++i)
        if (is_postcode_field(words[i].text, digits, split)) {
            ++postcodes;
            postcode = i;
        }
    if (postcodes != 1) postcode.reset();
    if (s.is_region(words.back().text)) region = words.size() - 1;

    const StreetTypeAliases aliases = field_street_type_aliases();
    const FieldStreetMap& projection = field_street_projection(index);
    if (projection_key_test(projection, aliases, text)) return {};

    size_t end = words.size();
    if (region) end = std::min(end, *region);
    if (postcode) end = std::min(end, *postcode);
    std::optional<size_t> number;
    for (size_t i = 1; i < end; ++i) {
        if (!is_house_number_token(field_number_unlabel(words[i].text))) continue;
        const std::string_view before = trim_white(text.substr(0, words[i].offset));
        if (rules::current().is_street_type(norm::normalize(before))) continue;
        if (!projection_key_test(projection, aliases, before)) continue;
        number = i;
        break;
    }

    std::vector<size_t> cuts;
    for (const std::optional<size_t>& w : {number, postcode, region})
        if (w) cuts.push_back(words[*w].offset);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::vector<std::string_view> pieces;
    size_t from = 0;
    cuts.push_back(text.size());
    for (size_t cut : cuts) {
        const std::string_view piece = trim_white(text.substr(from, cut - from));
        if (!piece.empty()) pieces.push_back(piece);
        from = cut;
    }
    const std::string joined = join_fields(pieces);
    if (joined == text || joined.find(',') == std::string::npos) return {};

    if (auto a = address_field_retries(joined)) {
        std::vector<HitWithFeatures> r = query_feats_street_data_base(index, joined, k);
        if (rescue_accepted(r, a->number, a->locality, true)) return r;
    } else if (auto c = cityless_field_address(joined)) {
        std::vector<HitWithFeatures> r = query_feats_street_data_base(index, joined, k);
        if (rescue_accepted(r, c->number, std::nullopt, true)) return r;
    }
    return {};
}

// The street, number and locality the title retry works from.
struct TitleSource {
    std::string street;
    uint32_t number = 0;
    std::optional<std::string> locality;
};

std::vector<HitWithFeatures> title_retry(const Index& index, const TitleSource& src) {
    const std::optional<std::string> title = title_street_key(index, src.street);
    if (!title) return {};
    const FieldStreetMap& titles = title_street_map(index);
    auto it = titles.find(*title);
    if (it == titles.end()) return {};

    const StreetTypeAliases aliases = field_street_type_aliases();
    // A query without title words to rewrite would only find its own street
    // again.
    const bool untitled = field_street_type_key(prepared_query_key(src.street), aliases) == *title;
    std::vector<uint32_t> ids;
    for (uint32_t id : it->second) {
        if (id >= index.street_count()) continue;
        const StreetRecord r = index.street(id);
        if (untitled && field_street_type_key(prepared_query_key(index.name(r.name_off)), aliases) == *title) continue;
        if (src.locality && norm::normalize(index.commune_name(r.commune_id)) != *src.locality) continue;
        ids.push_back(id);
    }
    if (auto hit = field_house_from_ids(index, ids, src.number)) return {std::move(*hit)};
    return {};
}

}  // namespace

bool rescue_accepted(const std::vector<HitWithFeatures>& hits, uint32_t number,
                     std::optional<std::string_view> locality, bool street_matched) {
    if (hits.empty()) return false;
    const Hit& h = hits.front().first;
    if (h.precision != "house" || !house_number_is(h, number)) return false;
    if (street_matched && !has_flag(h, "street_exact") && !has_flag(h, "street_fuzzy")) return false;
    return !locality || norm::normalize(h.commune) == *locality;
}

std::vector<HitWithFeatures> street_data_direct(const Index& index, std::string_view text, size_t k,
                                                std::vector<HitWithFeatures> current) {
    const std::vector<std::string_view> fields = split_fields(text);
    if (fields.size() < 2) return current;
    const std::optional<DirectAddress> addr = direct_address(fields);
    if (!addr) return current;
    const std::optional<uint32_t> number = numeric_house_prefix(addr->number);
    if (!number) return current;
    if (top_is(current, "house") && house_number_is(current.front().first, *number)) return current;

    std::string locality;
    if (auto retries = address_field_retries(text)) {
        locality = retries->locality;
    } else if ((fields.size() == 2 && !addr->in_field_1) || (fields.size() == 3 && addr->in_field_1)) {
        if (!is_locality_text(fields.back(), false)) return current;
        locality = norm::normalize(fields.back());
    } else {
        return current;
    }

    // The letters after the number name the house's suffix.
    const std::string written = norm::normalize(addr->number);
    size_t digits = 0;
    while (digits < written.size() && written[digits] >= '0' && written[digits] <= '9') ++digits;
    uint32_t suffix_id = 0;
    if (auto it = index.suffix_ids().find(written.substr(digits)); it != index.suffix_ids().end())
        suffix_id = it->second;

    const std::vector<uint32_t> communes = communes_by_name(index, locality);
    for (const std::string& variant : street_data_variants(norm::normalize(addr->street))) {
        const std::vector<std::u32string> words = query_words(variant);
        std::vector<ScoredHit> kept;
        for (uint32_t id : communes) {
            std::string key = variant;
            key.push_back('\x1F');
            key += index.commune(id).code;
            const std::optional<uint64_t> value = index.streets_fst().get(key);
            if (!value || *value >= index.street_count()) continue;
            MatchFlags flags;
            flags.set(S::street_exact);
            flags.set(S::commune_exact);
            ScoredHit h = make_hit(index, static_cast<uint32_t>(*value), flags, true, *number, suffix_id, false, 0,
                                   words);
            if (h.hit.precision == "house" && house_number_is(h.hit, *number) &&
                norm::normalize(h.hit.commune) == locality)
                kept.push_back(std::move(h));
        }
        if (kept.empty()) continue;
        std::stable_sort(kept.begin(), kept.end(), [](const ScoredHit& a, const ScoredHit& b) {
            const int32_t sa = total_order_key(a.hit.score), sb = total_order_key(b.hit.score);
            if (sa != sb) return sa > sb;
            if (a.best_token_similarity != b.best_token_similarity)
                return a.best_token_similarity > b.best_token_similarity;
            if (a.house_distance != b.house_distance) return a.house_distance < b.house_distance;
            if (a.commune_prominence != b.commune_prominence) return a.commune_prominence > b.commune_prominence;
            return a.street_id < b.street_id;
        });
        if (kept.size() > k) kept.resize(k);
        std::vector<HitWithFeatures> out;
        out.reserve(kept.size());
        float floor = 0;
        for (size_t i = 0; i < kept.size(); ++i) {
            Hit& h = kept[i].hit;
            if (i > 0) h.confidence = std::min(h.confidence, floor);
            floor = h.confidence;
            out.emplace_back(std::move(h), kept[i].features);
        }
        return out;
    }
    return current;
}

std::vector<HitWithFeatures> query_feats_street_data_base(const Index& index, std::string_view text, size_t k) {
    // Automata built for one query never serve another.
    levenshtein::clear_cache();

    std::vector<HitWithFeatures> result = query_feats_postal_retry(index, text, k);
    if (const std::optional<AddressFieldRetries> a = address_field_retries(text)) {
        const bool placed = top_is(result, "house") ||
                            ((top_is(result, "near") || top_is(result, "interp")) &&
                             norm::normalize(result.front().first.commune) == a->locality);
        if (!placed) {
            for (const std::string& retry : a->retries) {
                if (retry.empty()) continue;
                std::vector<HitWithFeatures> r = query_feats_postal_retry(index, retry, k);
                if (rescue_accepted(r, a->number, a->locality, false)) {
                    result = std::move(r);
                    break;
                }
            }
        }
    } else if (!top_is(result, "house")) {
        if (const std::optional<CitylessFieldAddress> c = cityless_field_address(text)) {
            const FieldStreetMap& projection = field_street_projection(index);
            auto it = projection.find(field_street_type_key(c->street, field_street_type_aliases()));
            if (it != projection.end())
                if (auto hit = field_house_from_ids(index, it->second, c->number)) result = {std::move(*hit)};
        }
    }

    if (!rules::current().kind24_pairs.empty()) result = street_data_direct(index, text, k, std::move(result));
    return result;
}

std::vector<HitWithFeatures> query_feats_street_data(const Index& index, std::string_view text, size_t k) {
    std::vector<HitWithFeatures> r = query_feats_street_data_base(index, text, k);
    const Rules& rules = rules::current();
    const FieldSettings s = field_settings(rules);
    const size_t comma = text.find(',');

    // A first field that only introduces the address ("c/o ...", a company
    // name word) is dropped when nothing was found with it.
    if (r.empty() && !rules.kind25_words.empty() && comma != std::string_view::npos) {
        const std::string head = norm::normalize(text.substr(0, comma));
        const std::string_view rest = trim_white(text.substr(comma + 1));
        bool opens = false;
        for (const std::string& w : rules.kind25_words) {
            const std::string word = norm::normalize(w);
            if (!word.empty() && head.starts_with(word) && (head.size() == word.size() || head[word.size()] == ' ')) {
                opens = true;
                break;
            }
        }
        if (opens && !rest.empty()) r = query_feats_street_data_base(index, rest, k);
    }

    if (r.empty() && comma == std::string_view::npos && s.enabled && s.postal_digits && s.postal_split && s.regions)
        r = space_separated_fields(index, text, k, s);

    std::optional<GeographicFieldRetry> g;
    if (r.empty() && s.enabled) {
        g = geographic_field_retry(index, text);
        if (g) {
            const std::vector<std::string_view> f = split_fields(g->text);
            if (f.size() >= 2) {
                const std::string locality = norm::normalize(f.back());
                if (const std::optional<uint32_t> n = numeric_house_prefix(f[f.size() - 2])) {
                    std::vector<HitWithFeatures> r2 = query_feats_street_data_base(index, g->text, k);
                    if (rescue_accepted(r2, *n, locality, true)) r = std::move(r2);
                }
            }
        }
    }

    if (r.empty() && s.enabled && s.street_titles) {
        std::optional<TitleSource> src;
        if (g) {
            src = TitleSource{std::string(split_fields(g->text).front()), g->number, g->locality};
        } else if (auto a = address_field_retries(text)) {
            src = TitleSource{std::string(split_fields(text).front()), a->number, a->locality};
        } else if (auto c = cityless_field_address(text)) {
            src = TitleSource{c->street, c->number, std::nullopt};
        }
        if (src) r = title_retry(index, *src);
    }
    return r;
}

}  // namespace tarnwik::query
