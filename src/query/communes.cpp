#include "query/communes.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "index/fst/map.hpp"
#include "norm/norm.hpp"
#include "norm/unicode.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace tarnwik::query {
namespace {

// The articles the normaliser leaves in front of French commune names
// ("L'Haÿ" -> "l hay", "Le Havre" -> "le havre").
constexpr std::array<std::string_view, 4> kArticles = {"l ", "la ", "le ", "les "};

// The text as scalar values; invalid bytes read as U+FFFD, which is neither
// a letter nor a digit.
std::u32string scalars(std::string_view s) {
    std::string repaired;
    if (!text::valid_utf8(s)) {
        repaired = text::lossy_utf8(s);
        s = repaired;
    }
    std::u32string out;
    for (size_t i = 0; i < s.size();) out.push_back(text::next_scalar(s, i));
    return out;
}

bool ascii_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

bool is_letter(char32_t c) { return ascii_letter(c) || (c >= 0xAA && norm::ucd::is_alphabetic(c)); }

bool is_alnum(char32_t c) {
    return ascii_letter(c) || ascii_digit(c) || (c >= 0xAA && norm::ucd::is_alphabetic(c)) ||
           (c >= 0xB2 && norm::ucd::is_numeric(c));
}

// Appends the ids of one `communes_fst` value (first << 16 | count) until
// `out` holds `limit` ids. A run reaching past the postings is no run.
void append_run(const Index& index, uint64_t value, std::vector<uint32_t>& out, size_t limit) {
    const uint64_t first = value >> 16, count = value & 0xFFFF;
    const ByteView postings = index.commune_postings();
    if ((first + count) * 4 > postings.size()) return;
    const size_t communes = index.commune_count();
    for (uint64_t k = 0; k < count && out.size() < limit; ++k) {
        const uint32_t id = postings.u32((first + k) * 4);
        if (id < communes) out.push_back(id);
    }
}

std::optional<LatLon> position(const Index& index, uint32_t id) {
    const auto [lat, lon] = index.commune_coords_e7(id);
    if (lat == 0 && lon == 0) return std::nullopt;
    return LatLon{lat / 1e7, lon / 1e7};
}

uint64_t weight(const Index& index, uint32_t id) { return std::max<uint32_t>(index.commune(id).prominence, 1); }

// Prominence-weighted sums of commune positions.
struct WeightedMean {
    uint64_t w = 0;
    double lat = 0, lon = 0;

    void add(uint64_t weight, const LatLon& p) {
        w += weight;
        lat += static_cast<double>(weight) * p.lat;
        lon += static_cast<double>(weight) * p.lon;
    }
    ResolvedPlace place(std::string name, bool exact) const {
        const double total = static_cast<double>(w);
        return ResolvedPlace{std::move(name), lat / total, lon / total,
                             static_cast<uint32_t>(std::min<uint64_t>(w, std::numeric_limits<uint32_t>::max())),
                             exact};
    }
};

bool within_merge_distance(const LatLon& a, const LatLon& b) {
    return Index::dist_km(a.lat, a.lon, b.lat, b.lon) <= kPlaceMergeKm;
}

// White space trimmed at both ends; `s` must be valid UTF-8.
std::string_view trim_white(std::string_view s) {
    size_t begin = s.size(), end = 0;
    for (size_t i = 0; i < s.size();) {
        const size_t at = i;
        if (!norm::ucd::is_white_space(text::next_scalar(s, i))) {
            begin = std::min(begin, at);
            end = i;
        }
    }
    return begin < end ? s.substr(begin, end - begin) : std::string_view{};
}

std::string with_article(std::string_view article, std::string_view key) {
    std::string s(article);
    s += key;
    return s;
}

}  // namespace

std::vector<uint32_t> communes_by_name_raw(const Index& index, std::string_view key) {
    std::vector<uint32_t> ids;
    if (auto v = index.communes_fst().get(key)) append_run(index, *v, ids, std::numeric_limits<size_t>::max());
    return ids;
}

std::vector<uint32_t> communes_by_prefix_raw(const Index& index, std::string_view prefix) {
    std::vector<uint32_t> ids;
    std::string upper(prefix);
    upper.push_back('\xFF');
    auto stream = index.communes_fst().range(fst::Bound::included(prefix), fst::Bound::excluded(upper));
    while (ids.size() < kMaxPrefixCommunes && stream.next()) append_run(index, stream.value(), ids, kMaxPrefixCommunes);
    return ids;
}

bool it_street_type_only(const Index& index, std::string_view text) {
    // Rule words are UTF-8, so a text that is not never is one.
    if (index.country() != "it" || !text::valid_utf8(text)) return false;
    const std::string_view t = trim_white(text);
    if (t.find(' ') != std::string_view::npos) return false;
    return rules::current().is_street_type(t) || t == "borgo" || t == "piazzale";
}

std::vector<uint32_t> communes_by_name(const Index& index, std::string_view name) {
    if (it_street_type_only(index, name)) return {};
    const Rules& rules = rules::current();
    const std::string key(rules.commune_alias(name).value_or(name));

    if (auto ids = communes_by_name_raw(index, key); !ids.empty()) return ids;
    for (std::string_view article : kArticles)
        if (auto ids = communes_by_name_raw(index, with_article(article, key)); !ids.empty()) return ids;

    if (key.size() > 1 && key[0] == 'l') {
        const std::u32string rest = scalars(std::string_view(key).substr(1));
        if (!rest.empty() && is_letter(rest[0]))
            if (auto ids = communes_by_name_raw(index, with_article("l ", std::string_view(key).substr(1)));
                !ids.empty())
                return ids;
    }

    // Without its quarter words ("5 квартал ташкент" -> "5 ташкент"), when
    // that leaves something.
    std::string kept;
    size_t dropped = 0, remaining = 0;
    for (size_t start = 0; start <= key.size();) {
        size_t end = key.find(' ', start);
        if (end == std::string::npos) end = key.size();
        const std::string_view piece(key.data() + start, end - start);
        if (rules.quarter_words.contains(piece)) {
            ++dropped;
        } else {
            if (remaining++ > 0) kept.push_back(' ');
            kept += piece;
        }
        start = end + 1;
    }
    if (dropped > 0 && remaining > 0) return communes_by_name_raw(index, kept);
    return {};
}

std::vector<uint32_t> communes_by_prefix(const Index& index, std::string_view prefix) {
    if (it_street_type_only(index, prefix) || prefix.empty()) return {};
    size_t alnum = 0;
    for (char32_t c : scalars(prefix))
        if (is_alnum(c) && ++alnum >= 3) break;
    if (alnum < 3) return {};
    const std::string key(rules::current().commune_alias(prefix).value_or(prefix));
    if (auto ids = communes_by_prefix_raw(index, key); !ids.empty()) return ids;
    for (std::string_view article : kArticles)
        if (auto ids = communes_by_prefix_raw(index, with_article(article, key)); !ids.empty()) return ids;
    return {};
}

std::optional<ResolvedPlace> resolve_place(const Index& index, std::string_view text) {
    if (text.empty()) return std::nullopt;

    if (const auto ids = communes_by_name(index, text); !ids.empty()) {
        uint32_t best = ids[0];
        for (uint32_t id : ids)
            if (index.commune(id).prominence >= index.commune(best).prominence) best = id;
        if (const auto best_pos = position(index, best)) {
            const std::string_view name = index.commune_name(best);
            WeightedMean mean;
            for (uint32_t id : ids) {
                const auto p = position(index, id);
                if (p && within_merge_distance(*best_pos, *p) && index.commune_name(id) == name)
                    mean.add(weight(index, id), *p);
            }
            return mean.place(std::string(name), true);
        }
    }

    std::string spaced(text);
    spaced.push_back(' ');
    const auto ids = communes_by_prefix(index, spaced);
    std::optional<uint32_t> best;
    std::optional<LatLon> best_pos;
    for (uint32_t id : ids) {
        const auto p = position(index, id);
        if (!p) continue;
        if (!best || index.commune(id).prominence >= index.commune(*best).prominence) {
            best = id;
            best_pos = p;
        }
    }
    if (!best) return std::nullopt;
    WeightedMean mean;
    for (uint32_t id : ids) {
        const auto p = position(index, id);
        if (p && within_merge_distance(*best_pos, *p)) mean.add(weight(index, id), *p);
    }
    if (mean.w == 0) return std::nullopt;
    return mean.place(std::string(text), false);
}

std::optional<ResolvedPlace> resolve_place_translit(const Index& index, std::string_view text) {
    auto place = resolve_place(index, text);
    if (!place) {
        for (auto translit : {&norm::translit_cyr_lat, &norm::translit_cyr_lat_en, &norm::translit_lat_cyr}) {
            const std::string other = norm::normalize(translit(text));
            if (other == text) continue;
            if ((place = resolve_place(index, other))) break;
        }
    }
    if (place && place->lat == 0 && place->lon == 0) return std::nullopt;
    return place;
}

std::string expand_city_aliases(const Index& index, std::string_view text) {
    std::string t(text);
    for (const auto& [alias, canonical] : rules::current().city_aliases) {
        const std::string spaced = " " + alias + " ";
        const bool whole = t == alias;
        const bool tail = t.size() > alias.size() && t.ends_with(alias) && t[t.size() - alias.size() - 1] == ' ';
        const bool inside = t.find(spaced) != std::string::npos;
        if (!(whole || tail || inside)) continue;
        if (!index.communes_fst().get(canonical)) continue;
        if (whole) {
            t = canonical;
        } else if (tail) {
            t.resize(t.size() - alias.size());
            t += canonical;
        } else {
            const std::string with = " " + canonical + " ";
            std::string out;
            size_t from = 0;
            for (size_t at; (at = t.find(spaced, from)) != std::string::npos; from = at + spaced.size()) {
                out.append(t, from, at - from);
                out += with;
            }
            out.append(t, from);
            t = std::move(out);
        }
    }
    return t;
}

std::vector<Hit> city_hit(const Index&, std::string_view name, bool exact, double lat, double lon) {
    Hit h;
    h.lat = lat;
    h.lon = lon;
    h.precision = "city";
    h.score = 0.0f;
    h.confidence = 0.05f;
    h.commune = std::string(name);
    h.flags.push_back(exact ? FixedText("place_exact") : FixedText("place_prefix_group"));
    return {std::move(h)};
}

}  // namespace tarnwik::query
