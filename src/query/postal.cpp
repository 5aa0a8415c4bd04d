#include "query/postal.hpp"

#include "norm/norm.hpp"
#include "norm/unicode.hpp"
#include "query/dispatch.hpp"
#include "query/field_settings.hpp"
#include "util/text.hpp"

namespace tarnwik::query {

namespace {

bool placed_house(const std::vector<HitWithFeatures>& hits) {
    if (hits.empty()) return false;
    const FixedText p = hits.front().first.precision;
    return p == "house" || p == "interp" || p == "near";
}

bool first_in_locality(const std::vector<HitWithFeatures>& hits, std::string_view locality) {
    return !hits.empty() && norm::normalize(hits.front().first.commune) == locality;
}

bool has_ascii_digit(std::string_view s) {
    for (char c : s)
        if (c >= '0' && c <= '9') return true;
    return false;
}

// The scalar value before byte offset `end` (which is on a character
// boundary), or nothing at the start or after a byte that is not UTF-8.
std::optional<char32_t> scalar_before(std::string_view s, size_t end) {
    if (end == 0) return std::nullopt;
    size_t start = end - 1;
    while (start > 0 && end - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    const std::string_view c = s.substr(start, end - start);
    if (!text::valid_utf8(c)) return std::nullopt;
    size_t i = 0;
    return text::next_scalar(c, i);
}

std::optional<char32_t> scalar_from(std::string_view s, size_t start) {
    if (start >= s.size()) return std::nullopt;
    const auto b = static_cast<unsigned char>(s[start]);
    const size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (len > s.size() - start || !text::valid_utf8(s.substr(start, len))) return std::nullopt;
    size_t i = start;
    return text::next_scalar(s, i);
}

// Next to a hyphen or another number, a run of digits is part of something
// longer (a range, a phone number, an already written postcode).
bool blocks_postcode(std::optional<char32_t> c) {
    return c && (*c == U'-' || (*c >= U'0' && *c <= U'9') || norm::ucd::is_numeric(*c));
}

}  // namespace

std::optional<CityTail> city_tail(std::string_view text) {
    const FieldSettings s = field_settings();
    if (!s.enabled || !s.regions || !s.forms) return std::nullopt;
    const std::vector<std::string_view> fields = split_fields(text);
    if (!s.postal_digits || !s.postal_split) return std::nullopt;
    const uint64_t digits = *s.postal_digits, split = *s.postal_split;

    size_t i = fields.size() - 1;
    if (is_postcode_field(fields[i], digits, split)) {
        if (i == 0) return std::nullopt;
        --i;
    }

    std::string_view locality;
    if (s.has_form("comma") && s.is_region(fields[i])) {
        if (i == 0) return std::nullopt;
        --i;
        locality = fields[i];
    } else if (s.has_form("hyphen")) {
        const size_t dash = fields[i].rfind(" - ");
        if (dash == std::string_view::npos) return std::nullopt;
        if (!s.is_region(trim_white(fields[i].substr(dash + 3)))) return std::nullopt;
        locality = trim_white(fields[i].substr(0, dash));
    } else {
        return std::nullopt;
    }
    if (i == 0) return std::nullopt;
    if (!is_locality_text(locality, true)) return std::nullopt;

    CityTail tail{norm::normalize(locality), std::nullopt};
    if (i == 3 && !fields[0].empty() && !fields[2].empty()) {
        const std::string number = norm::normalize(fields[1]);
        if (has_ascii_digit(fields[1]) || number == "sn" || number == "s n") {
            std::vector<std::string_view> kept;
            for (size_t f = 0; f < fields.size(); ++f)
                if (f != 2) kept.push_back(fields[f]);
            tail.alternative = join_fields(kept);
        }
    }
    return tail;
}

std::optional<std::string> hyphenate_postcodes(std::string_view text, size_t digits, size_t split) {
    std::string out;
    bool changed = false;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] < '0' || text[i] > '9') {
            out.push_back(text[i++]);
            continue;
        }
        size_t end = i;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        const std::string_view run = text.substr(i, end - i);
        if (run.size() == digits && !blocks_postcode(scalar_before(text, i)) &&
            !blocks_postcode(scalar_from(text, end))) {
            out += run.substr(0, split);
            out.push_back('-');
            out += run.substr(split);
            changed = true;
        } else {
            out += run;
        }
        i = end;
    }
    if (!changed) return std::nullopt;
    return out;
}

std::vector<HitWithFeatures> query_feats_city_tail(const Index& index, std::string_view text, size_t k) {
    std::vector<HitWithFeatures> h = query_feats_country_variants(index, text, k);
    const std::optional<CityTail> tail = city_tail(text);
    if (!tail) return h;
    if (placed_house(h)) return h;
    if (tail->alternative) {
        std::vector<HitWithFeatures> a = query_feats_country_variants(index, *tail->alternative, k);
        if (first_in_locality(a, tail->locality)) return a;
    }
    if (first_in_locality(h, tail->locality)) return h;
    // A field address whose locality the best street does not lie in.
    return {};
}

std::vector<HitWithFeatures> query_feats_postal_retry(const Index& index, std::string_view text, size_t k) {
    std::vector<HitWithFeatures> h = query_feats_city_tail(index, text, k);
    if (placed_house(h)) return h;
    const FieldSettings s = field_settings();
    if (!s.enabled || !s.postal_digits || !s.postal_split) return h;
    const uint64_t digits = *s.postal_digits, split = *s.postal_split;
    if (split == 0 || split >= digits) return h;
    const std::optional<std::string> rewritten = hyphenate_postcodes(text, digits, split);
    if (!rewritten) return h;
    std::vector<HitWithFeatures> r = query_feats_city_tail(index, *rewritten, k);
    return r.empty() ? h : r;
}

}  // namespace tarnwik::query
