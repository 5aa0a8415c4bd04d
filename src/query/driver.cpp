#include "query/driver.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <unordered_set>

#include "de/de.hpp"
#include "norm/norm.hpp"
#include "query/communes.hpp"
#include "query/fr.hpp"
#include "query/hits.hpp"
#include "query/keys.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace tarnwik::query {
namespace {

constexpr FixedText kGeoQualifier = "geo_qualifier";
constexpr FixedText kDroppedPrefix = "dropped_prefix";
constexpr FixedText kDroppedSuffix = "dropped_suffix";
constexpr FixedText kDeferredLocalityDrop = "__deferred_locality_drop";
constexpr FixedText kAmbiguousFar = "ambiguous_far";

using Hits = std::vector<HitWithFeatures>;
using Words = std::vector<std::string>;

bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool all_ascii_digits(std::string_view w) { return !w.empty() && std::ranges::all_of(w, ascii_digit); }
bool short_number(std::string_view w, size_t max_digits) { return w.size() <= max_digits && all_ascii_digits(w); }

Words split_words(std::string_view text) {
    Words out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string join(const Words& words, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to && i < words.size(); ++i) {
        if (i > from) out.push_back(' ');
        out += words[i];
    }
    return out;
}

std::string join(const Words& words) { return join(words, 0, words.size()); }

bool feature(const HitWithFeatures& h, MatchFlags::Slot slot) { return h.second[slot] > 0.5f; }

bool has_flag(const Hit& h, std::string_view flag) { return std::ranges::find(h.flags, flag) != h.flags.end(); }

bool commune_and_postcode_exact(const Hit& h) { return has_flag(h, "commune_exact") && has_flag(h, "pc_exact"); }

// A street found exactly, at more than locality level.
bool exact_street_hit(const HitWithFeatures& h) {
    return feature(h, MatchFlags::street_exact) && h.first.precision != "city";
}

void cap_and_tag(Hits& hits, std::initializer_list<FixedText> tags) {
    for (auto& [hit, features] : hits) {
        hit.confidence = std::min(hit.confidence, kDroppedWordsConfidence);
        for (FixedText t : tags) hit.flags.push_back(t);
    }
}

Hits locality_answer(const Index& index, const ResolvedPlace& place) {
    Hits out;
    for (Hit& h : city_hit(index, place.name, place.exact, place.lat, place.lon)) out.emplace_back(std::move(h), Features{});
    return out;
}

bool has_position(const Index& index, uint32_t id) {
    const auto [lat, lon] = index.commune_coords_e7(id);
    return lat != 0 || lon != 0;
}

LatLon commune_position(const Index& index, uint32_t id) {
    const auto [lat, lon] = index.commune_coords_e7(id);
    return {lat / 1e7, lon / 1e7};
}

double dist(const LatLon& a, const LatLon& b) { return Index::dist_km(a.lat, a.lon, b.lat, b.lon); }

// The searches of one driver call: every reading is searched for the same
// number of hits.
struct Searcher {
    const Index& index;
    size_t k;

    Hits operator()(std::string_view text, const RetainedLocality* retained = nullptr,
                    std::optional<std::string_view> street_key = std::nullopt) const {
        return query_feats_prepared_context(index, text, k, retained, street_key);
    }
};

// ---- French arrondissement words -------------------------------------------

bool is_arrondissement_word(std::string_view w) { return w.size() >= 14 && w.substr(0, 14) == "arrondissement"; }

bool is_arrondissement_city(std::string_view w) { return rules::current().arrondissement_cities.contains(w); }

constexpr std::array<std::string_view, 20> kRoman = {"i",   "ii",   "iii", "iv", "v",   "vi",  "vii",
                                                     "viii", "ix",   "x",   "xi", "xii", "xiii", "xiv",
                                                     "xv",  "xvi",  "xvii", "xviii", "xix", "xx"};

std::string ordinal_text(std::string_view number) {
    return number == "1" ? std::string("1er") : std::string(number) + "e";
}

// The word standing where an ordinal is expected, written 15e / 1er.
std::optional<std::string> ordinal_reading(std::string_view w) {
    std::string_view core = w;
    if (w.size() > 2 && w.ends_with("eme"))
        core.remove_suffix(3);
    else if (w.ends_with("er"))
        core.remove_suffix(2);
    else if (w.ends_with("e"))
        core.remove_suffix(1);
    if (!core.empty() && core.size() <= 2 && all_ascii_digits(core)) {
        std::string reading = ordinal_text(core);
        if (reading == w) return std::nullopt;
        return reading;
    }
    for (size_t i = 0; i < kRoman.size(); ++i)
        if (core == kRoman[i]) return ordinal_text(std::to_string(i + 1));
    return std::nullopt;
}

// "15e", "1er": one or two digits, then letters.
bool digits_then_letters(std::string_view w) {
    size_t d = 0;
    while (d < w.size() && ascii_digit(w[d])) ++d;
    if (d < 1 || d > 2 || d == w.size()) return false;
    return std::all_of(w.begin() + static_cast<std::ptrdiff_t>(d), w.end(), ascii_letter);
}

// ---- Italian geographic qualifier ------------------------------------------

// "via roma 1 san marco <town>": of the several communes named "san marco",
// the one near <town>. Nothing when the step has no answer.
std::optional<Hits> geo_qualifier(const Index& index, const Words& words, size_t k, const Searcher& search) {
    const size_t n = words.size();
    for (size_t t = std::min<size_t>(n - 3, 3); t >= 1; --t) {
        const std::string qualifier = join(words, n - t, n);
        const std::optional<ResolvedPlace> place = resolve_place_translit(index, qualifier);
        if (!place) continue;
        const LatLon p{place->lat, place->lon};
        const size_t s = n - t;
        if (s <= 2) continue;
        for (size_t c = std::min<size_t>(s - 2, 4); c >= 1; --c) {
            const std::string name = join(words, s - c, s);
            const std::vector<uint32_t> ids = communes_by_name(index, name);
            if (ids.size() < 2) continue;
            if (!communes_by_name(index, name + " " + qualifier).empty() || ids.size() > kQualifierMaxCommunes)
                return std::nullopt;
            std::vector<LatLon> at;
            for (uint32_t id : ids)
                if (has_position(index, id)) at.push_back(commune_position(index, id));
            bool spread = false;
            for (size_t i = 0; i < at.size() && !spread; ++i)
                for (size_t j = i + 1; j < at.size() && !spread; ++j) spread = dist(at[i], at[j]) > kQualifierSpreadKm;
            if (!spread) continue;

            size_t nearest = 0;
            for (size_t i = 1; i < at.size(); ++i)
                if (dist(p, at[i]) < dist(p, at[nearest])) nearest = i;
            const double d_nearest = dist(p, at[nearest]);
            if (d_nearest > kQualifierReachKm) return std::nullopt;
            std::vector<bool> group(at.size());
            for (size_t i = 0; i < at.size(); ++i) group[i] = dist(at[nearest], at[i]) <= kQualifierGroupKm;
            double d_outside = std::numeric_limits<double>::infinity();
            for (size_t i = 0; i < at.size(); ++i)
                if (!group[i]) d_outside = std::min(d_outside, dist(p, at[i]));
            if (d_outside - d_nearest < kQualifierMarginKm) return std::nullopt;

            Hits hits = search(join(words, 0, s - c));
            std::erase_if(hits, [&](const HitWithFeatures& h) {
                if (norm::normalize(h.first.commune) != name) return true;
                const LatLon at_hit{h.first.lat, h.first.lon};
                size_t closest = 0;
                for (size_t i = 1; i < at.size(); ++i)
                    if (dist(at_hit, at[i]) < dist(at_hit, at[closest])) closest = i;
                return !group[closest];
            });
            for (auto& [hit, features] : hits) {
                MatchFlags flags;
                for (size_t i = 0; i < features.size(); ++i) flags.slot[i] = features[i] > 0.5f;
                hit.confidence = confidence_score(hit.precision, flags);
                if (hit.score < 0) hit.confidence = std::min(hit.confidence, 0.4f);
                std::erase(hit.flags, kAmbiguousFar);
                hit.flags.push_back(kGeoQualifier);
            }
            if (hits.size() > k) hits.resize(k);
            return hits;
        }
    }
    return std::nullopt;
}

// ---- trailing locality fields ----------------------------------------------

// The comma-like separators between the fields of a written address.
std::vector<std::string_view> locality_fields(std::string_view raw) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t i = 0; i < raw.size();) {
        size_t width = 0;
        const char c = raw[i];
        if (c == ',' || c == ';' || c == '|' || c == '(' || c == ')' || c == '\n')
            width = 1;
        else if (raw.substr(i, 2) == "\xC2\xB7")  // middle dot
            width = 2;
        if (width == 0) {
            ++i;
            continue;
        }
        fields.push_back(raw.substr(start, i - start));
        i += width;
        start = i;
    }
    fields.push_back(raw.substr(start));
    return fields;
}

// A query ending in a field that names a town ("..., 1234 AB Amsterdam").
std::optional<Hits> trailing_locality(const Index& index, std::string_view raw, const Words& key_words) {
    if (std::ranges::any_of(key_words, [](const std::string& w) { return short_number(w, 3); })) return std::nullopt;
    const std::vector<std::string_view> fields = locality_fields(raw);
    std::vector<ResolvedPlace> found;  // in scan order, from the last field
    for (size_t i = 0; i < std::min(kTrailingFields, fields.size()); ++i) {
        const std::string_view field = fields[fields.size() - 1 - i];
        const std::string folded =
            expand_city_aliases(index, fold_units(norm::fold_homoglyphs(norm::normalize(field))));
        const Words words = split_words(folded);
        if (words.empty() || words.size() > 4) continue;
        // The field, without a leading postcode, and without any number.
        std::vector<std::string> forms{folded};
        auto add_form = [&](std::string f) {
            if (!f.empty() && std::ranges::find(forms, f) == forms.end()) forms.push_back(std::move(f));
        };
        add_form(strip_leading_pc(folded));
        Words named;
        for (const std::string& w : words)
            if (!all_ascii_digits(w)) named.push_back(w);
        add_form(join(named));
        for (const std::string& form : forms)
            if (auto place = resolve_place_translit(index, form)) {
                found.push_back(std::move(*place));
                break;
            }
    }
    if (found.empty()) return std::nullopt;
    const bool any_exact = std::ranges::any_of(found, &ResolvedPlace::exact);
    const ResolvedPlace* anchor = nullptr;
    for (const ResolvedPlace& p : found)
        if ((!any_exact || p.exact) && (!anchor || p.prominence >= anchor->prominence)) anchor = &p;
    const ResolvedPlace* answer = nullptr;
    for (const ResolvedPlace& p : found)
        if (Index::dist_km(anchor->lat, anchor->lon, p.lat, p.lon) <= kTrailingPlaceKm &&
            (!answer || p.prominence < answer->prominence))
            answer = &p;
    return locality_answer(index, *answer);
}

}  // namespace

// ---- key rewrites ----------------------------------------------------------

std::optional<std::string> fr_arrondissement_words(std::string_view key) {
    if (key.find("paris") == std::string_view::npos && key.find("lyon") == std::string_view::npos &&
        key.find("marseille") == std::string_view::npos)
        return std::nullopt;
    Words w = split_words(key);
    bool changed = false;

    // Ordinals after a city word or before "arrondissement".
    for (size_t p = 0; p < w.size(); ++p) {
        const bool after_city = p >= 1 && is_arrondissement_city(w[p - 1]);
        const bool before_word = p + 1 < w.size() && is_arrondissement_word(w[p + 1]);
        if (!after_city && !before_word) continue;
        if (auto reading = ordinal_reading(w[p])) {
            w[p] = std::move(*reading);
            changed = true;
        }
    }

    // "paris 15e rue x": decided on the words as they stand now, applied last.
    const bool leading_city = w.size() > 3 && is_arrondissement_city(w[0]) && fr_ordinal_number(w[1]).has_value();

    // "15e arrondissement (de) paris" -> "paris 15e arrondissement".
    if (w.size() > 2) {
        for (size_t p = 0; p + 2 < w.size();) {
            if (digits_then_letters(w[p]) && is_arrondissement_word(w[p + 1])) {
                if (is_arrondissement_city(w[p + 2])) {
                    std::string city = std::move(w[p + 2]);
                    w.erase(w.begin() + static_cast<std::ptrdiff_t>(p + 2));
                    w.insert(w.begin() + static_cast<std::ptrdiff_t>(p), std::move(city));
                    changed = true;
                    p += 3;
                    continue;
                }
                if (w[p + 2] == "de" && p + 3 < w.size() && is_arrondissement_city(w[p + 3])) {
                    std::string city = std::move(w[p + 3]);
                    w.erase(w.begin() + static_cast<std::ptrdiff_t>(p + 2), w.begin() + static_cast<std::ptrdiff_t>(p + 4));
                    w.insert(w.begin() + static_cast<std::ptrdiff_t>(p), std::move(city));
                    changed = true;
                    p += 3;
                    continue;
                }
            }
            ++p;
        }
    }

    if (leading_city) {
        std::string city = std::move(w[0]), ordinal = std::move(w[1]);
        w.erase(w.begin(), w.begin() + 2);
        if (!w.empty() && is_arrondissement_word(w[0])) w.erase(w.begin());
        w.push_back(std::move(city));
        w.push_back(std::move(ordinal));
        w.emplace_back("arrondissement");
        changed = true;
    }
    if (!changed) return std::nullopt;
    return join(w);
}

std::optional<std::string> drop_long_number_runs(std::string_view key) {
    const Words w = split_words(key);
    Words kept;
    bool dropped = false;
    for (size_t i = 0; i < w.size();) {
        size_t end = i;
        while (end < w.size() && short_number(w[end], 4)) ++end;
        if (end - i > 3) {
            dropped = true;
            i = end;
            continue;
        }
        if (end == i) end = i + 1;
        for (; i < end; ++i) kept.push_back(w[i]);
    }
    if (!dropped) return std::nullopt;
    return join(kept);
}

std::string strip_leading_pc(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && ascii_space(text[i])) ++i;
    size_t end = i;
    while (end < text.size() && ascii_digit(text[end])) ++end;
    if (end - i < 4 || end - i > 6) return std::string(text);
    while (end < text.size() && ascii_space(text[end])) ++end;
    // The letters of a Dutch postcode (1234 AB).
    if (end + 2 <= text.size() && ascii_letter(text[end]) && ascii_letter(text[end + 1]) &&
        (end + 2 == text.size() || text[end + 2] == ' ')) {
        end += 2;
        while (end < text.size() && ascii_space(text[end])) ++end;
    }
    if (end == text.size()) return std::string(text);
    return std::string(text.substr(0, i)).append(text.substr(end));
}

// ---- the driver ------------------------------------------------------------

std::optional<Hits> city_first_house_retry(const Index& index, std::string_view text, size_t k) {
    const Words words = split_words(text);
    const Searcher search{index, std::max(k, kMinDriverHits)};
    for (size_t e : {size_t{2}, size_t{1}}) {
        if (words.size() < e + 2) continue;
        const std::string city = join(words, 0, e);
        if (communes_by_name(index, city).empty()) continue;
        const std::string city_norm = norm::normalize(city);
        const std::string rest = join(words, e, words.size());
        std::vector<std::string> readings{rest};
        if (auto unglued = unglue_variant(rest)) {
            std::string folded = fold_units(*unglued);
            if (folded != rest) readings.push_back(std::move(folded));
        }
        for (const std::string& reading : readings) {
            Hits hits = search(reading);
            if (hits.empty()) continue;
            const HitWithFeatures& top = hits.front();
            if (top.first.precision == "house" && feature(top, MatchFlags::street_exact) &&
                norm::normalize(top.first.commune) == city_norm)
                return hits;
        }
    }
    return std::nullopt;
}

std::vector<HitWithFeatures> query_feats_d(const Index& index, std::string_view text, size_t k, bool no_drop,
                                           const DriverHints& hints) {
    std::string key = expand_city_aliases(index, prepared_query_key(text));
    if (auto rewritten = fr_arrondissement_words(key)) key = std::move(*rewritten);
    if (auto shortened = drop_long_number_runs(key)) key = std::move(*shortened);
    const Words words = split_words(key);
    const std::vector<std::string_view> views(words.begin(), words.end());
    const size_t n = words.size();
    const Searcher search{index, std::max(k, kMinDriverHits)};
    const std::optional<std::string_view> country = index.country();
    const bool fr = country == "fr", it = country == "it";

    // An arrondissement named by its postcode alone.
    if (fr) {
        const FrPostcodeArea area = fr_arrondissement_postcode_area(views);
        if (area.kind == FrPostcodeArea::Kind::empty_answer) return {};
        if (area.kind == FrPostcodeArea::Kind::commune) {
            if (auto place = resolve_place_translit(index, area.commune)) return locality_answer(index, *place);
            return {};
        }
    }

    // Only a locality: no house number to look for.
    if (std::ranges::none_of(words, [](const std::string& w) { return all_ascii_digits(w); }))
        if (auto place = resolve_place_translit(index, join(words))) return locality_answer(index, *place);

    std::optional<std::string> constraint;
    if (fr) {
        FrConstraint c = fr_arrondissement_constraint(views);
        if (c.kind == FrConstraint::Kind::conflict) return {};
        if (c.kind == FrConstraint::Kind::commune) constraint = std::move(c.commune);
    }

    const std::optional<std::string_view> street_hint =
        hints.street ? std::optional<std::string_view>(*hints.street) : std::nullopt;
    Hits main;
    if (constraint) {
        // Streets of the name elsewhere in the city crowd the list: search deeper.
        main = query_feats_prepared_context(index, key, std::max(search.k, kArrondissementHits), nullptr, street_hint);
        std::erase_if(main, [&](const HitWithFeatures& h) { return norm::normalize(h.first.commune) != *constraint; });
        if (main.size() > search.k) main.resize(search.k);
    } else {
        main = search(key, nullptr, street_hint);
    }

    if (it && !no_drop && n >= 4 && std::ranges::none_of(main, [](const HitWithFeatures& h) {
            return feature(h, MatchFlags::street_exact) && feature(h, MatchFlags::commune_exact);
        }))
        if (auto hits = geo_qualifier(index, words, k, search); hits && !hits->empty()) return std::move(*hits);

    if (!main.empty()) {
        if (main.front().first.precision == "street")
            if (auto hits = city_first_house_retry(index, key, k)) return std::move(*hits);
        return main;
    }
    if (constraint) return {};

    // Readings already searched without finding anything.
    std::unordered_set<std::string> tried{key};
    auto retry = [&](std::string reading) -> std::optional<Hits> {
        if (!tried.insert(reading).second) return std::nullopt;
        Hits hits = search(reading);
        if (hits.empty()) return std::nullopt;
        return hits;
    };

    std::optional<std::string> unglued;
    if (auto u = unglue_variant(key)) {
        unglued = fold_units(*u);
        if (auto hits = retry(*unglued)) {
            if (hits->front().first.precision == "street")
                if (auto city_first = city_first_house_retry(index, *unglued, k)) return std::move(*city_first);
            return std::move(*hits);
        }
    }

    // The other script.
    for (const std::string* source : {&key, unglued ? &*unglued : nullptr}) {
        if (!source) continue;
        const std::string english = norm::normalize(norm::translit_cyr_lat_en(*source));
        for (std::string reading : {norm::normalize(norm::translit_cyr_lat(*source)), english,
                                    norm::normalize(norm::translit_cyr_lat(english)),
                                    norm::normalize(norm::translit_lat_cyr(*source))})
            if (auto hits = retry(std::move(reading))) return std::move(*hits);
    }

    // Serbian Latin typed without diacritics: j for ž, dj for đ.
    if (key.find('j') != std::string::npos) {
        std::string zh;
        for (char c : key) {
            if (c == 'j')
                zh += "zh";
            else
                zh.push_back(c);
        }
        if (auto hits = retry(norm::normalize(norm::translit_lat_cyr(zh)))) return std::move(*hits);
    }
    if (key.find("dj") != std::string::npos) {
        std::string d;
        for (size_t i = 0; i < key.size(); ++i) {
            d.push_back(key[i]);
            if (key.compare(i, 2, "dj") == 0) ++i;
        }
        if (auto hits = retry(std::move(d))) return std::move(*hits);
    }

    // Leading district or housing-complex words.
    if (!no_drop) {
        size_t affixes = 0;
        while (affixes < std::min(n, kMaxLeadingAffixes) && rules::current().is_affix(words[affixes])) ++affixes;
        if (affixes > 0 && affixes < n) {
            Hits hits = query_feats_d(index, join(words, affixes, n), k, true, hints);
            if (!hits.empty()) return hits;
        }
    }

    // Leading words that are not part of the address.
    std::optional<Hits> fallback;
    if (n >= 3) {
        const bool filter = hints.locality && hints.postcode;
        for (size_t d = 1; d <= std::min(n - 2, kMaxDroppedLeadingWords); ++d) {
            Hits hits = search(join(words, d, n));
            if (filter)
                std::erase_if(hits, [&](const HitWithFeatures& h) {
                    return !(feature(h, MatchFlags::pc_exact) ||
                             postcode_numeric_prefix(h.first.postcode) == *hints.postcode ||
                             de::de_retained_locality_score(*hints.locality, h.first.commune) > 0);
                });
            if (hits.empty()) continue;
            const bool house = std::ranges::any_of(hits, [](const HitWithFeatures& h) {
                return h.first.precision == "house" && feature(h, MatchFlags::street_exact);
            });
            const bool street = rules::current().is_street_type(words[d]) && std::ranges::any_of(hits, exact_street_hit);
            const bool commune = !communes_by_name(index, join(words, 0, d)).empty();
            const bool postal = commune_and_postcode_exact(hits.front().first);
            if (!house && !street && !commune && !postal) continue;
            if (commune) return hits;
            cap_and_tag(hits, {kDroppedPrefix});
            if (house || street) return hits;
            if (!fallback) {
                for (auto& h : hits) h.first.flags.push_back(kDeferredLocalityDrop);
                fallback = std::move(hits);
            }
        }
    }

    // Italian: a commune written first.
    if (it && n >= 3) {
        bool commune_first = false;
        for (size_t j = 1; j <= std::min<size_t>(n - 2, 2) && !commune_first; ++j)
            commune_first = !communes_by_name(index, join(words, 0, j)).empty();
        if (commune_first) {
            if (std::ranges::any_of(words, [](const std::string& w) {
                    return all_ascii_digits(w) && text::count_scalars(w) != 5;
                }))
                return fallback.value_or(Hits{});
            for (size_t t = std::min<size_t>(n, 9); t >= 1; --t) {
                const std::string name = join(words, n - t, n);
                if (communes_by_name(index, name).empty()) continue;
                if (auto place = resolve_place(index, name)) return locality_answer(index, *place);
            }
            return fallback.value_or(Hits{});
        }
    }

    // Trailing words that are not part of the address.
    if (n >= 3) {
        for (size_t t = 1; t <= 2 && t + 2 <= n; ++t) {
            if (std::any_of(words.begin() + static_cast<std::ptrdiff_t>(n - t), words.end(),
                            [](const std::string& w) { return all_ascii_digits(w); }))
                break;
            std::optional<RetainedLocality> retained;
            if (hints.locality)
                retained = RetainedLocality{*hints.locality, join(words, n - t, n), hints.postal_tail.value_or(false)};
            Hits hits = search(join(words, 0, n - t), retained ? &*retained : nullptr);
            const bool accepted = std::ranges::any_of(hits, exact_street_hit) ||
                                  (!hits.empty() && commune_and_postcode_exact(hits.front().first));
            if (!accepted) continue;
            if (fallback && std::ranges::none_of(hits, [](const HitWithFeatures& h) {
                    return commune_and_postcode_exact(h.first);
                }))
                return std::move(*fallback);
            cap_and_tag(hits, {kDroppedSuffix, kDeferredLocalityDrop});
            return hits;
        }
    }

    if (fallback) return std::move(*fallback);

    if (auto hits = trailing_locality(index, text, words)) return std::move(*hits);
    return {};
}

}  // namespace tarnwik::query
