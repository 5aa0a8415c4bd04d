#include "query/field_settings.hpp"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <limits>

#include "norm/unicode.hpp"
#include "util/text.hpp"

namespace tarnwik::query {

namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// The scalar value at s[i] and its length in bytes; a byte that does not
// start a valid sequence reads as kInvalid of length 1.
char32_t scalar_at(std::string_view s, size_t i, size_t& len) {
    const auto b = static_cast<unsigned char>(s[i]);
    len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (len > s.size() - i || !text::valid_utf8(s.substr(i, len))) {
        len = 1;
        return kInvalid;
    }
    size_t k = i;
    return text::next_scalar(s, k);
}

bool white(char32_t c) { return c != kInvalid && norm::ucd::is_white_space(c); }

bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool locality_char(char32_t c) {
    return c == U'\'' || c == 0x2019 || c == U'-' || norm::ucd::is_alphabetic(c) || norm::ucd::is_white_space(c);
}

}  // namespace

std::optional<uint64_t> setting_number(std::string_view value) {
    if (!value.empty() && value[0] == '+') value.remove_prefix(1);
    if (value.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : value) {
        if (!ascii_digit(c)) return std::nullopt;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

bool FieldSettings::has_form(std::string_view form) const {
    if (!forms) return false;
    for (std::string_view f : split_white(*forms))
        if (f == form) return true;
    return false;
}

bool FieldSettings::is_region(std::string_view text) const {
    if (!regions) return false;
    for (std::string_view r : split_white(*regions))
        if (ascii_iequal(r, text)) return true;
    return false;
}

FieldSettings field_settings(const Rules& rules) {
    FieldSettings s;
    const auto get = [&](std::string_view key) -> std::optional<std::string_view> {
        auto it = rules.options.find(key);
        if (it == rules.options.end()) return std::nullopt;
        return std::string_view(it->second);
    };
    s.enabled = get("enabled") == std::optional<std::string_view>("1");
    s.regions = get("regions");
    s.forms = get("forms");
    if (auto d = get("postal_digits")) s.postal_digits = setting_number(*d);
    if (auto d = get("postal_split")) s.postal_split = setting_number(*d);
    s.street_titles = get("street_titles");
    return s;
}

std::vector<std::string_view> split_white(std::string_view list) {
    std::vector<std::string_view> out;
    size_t start = 0, i = 0;
    while (i < list.size()) {
        size_t len = 0;
        if (white(scalar_at(list, i, len))) {
            if (i > start) out.push_back(list.substr(start, i - start));
            start = i + len;
        }
        i += len;
    }
    if (list.size() > start) out.push_back(list.substr(start));
    return out;
}

std::string_view trim_white(std::string_view text) {
    size_t first = 0;
    while (first < text.size()) {
        size_t len = 0;
        if (!white(scalar_at(text, first, len))) break;
        first += len;
    }
    size_t last = first;  // end of the last non-white character
    for (size_t i = first; i < text.size();) {
        size_t len = 0;
        const bool w = white(scalar_at(text, i, len));
        i += len;
        if (!w) last = i;
    }
    return text.substr(first, last - first);
}

bool has_white(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t len = 0;
        if (white(scalar_at(text, i, len))) return true;
        i += len;
    }
    return false;
}

std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) {
            out.push_back(trim_white(text.substr(start)));
            return out;
        }
        out.push_back(trim_white(text.substr(start, comma - start)));
        start = comma + 1;
    }
}

std::string join_fields(const std::vector<std::string_view>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) out += ", ";
        out += fields[i];
    }
    return out;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

bool is_postcode_field(std::string_view field, uint64_t digits, uint64_t split) {
    std::string d;
    for (char c : field)
        if (ascii_digit(c)) d.push_back(c);
    if (d.size() != digits) return false;
    if (field == d) return true;
    if (split >= digits) return false;
    return field.size() == d.size() + 1 && field.substr(0, split) == std::string_view(d).substr(0, split) &&
           field[split] == '-' && field.substr(split + 1) == std::string_view(d).substr(split);
}

bool is_house_number_token(std::string_view token) {
    size_t digits = 0;
    while (digits < token.size() && ascii_digit(token[digits])) ++digits;
    if (digits == 0 || digits > 5) return false;
    const std::string_view rest = token.substr(digits);
    return rest.empty() || (rest.size() == 1 && ascii_letter(rest[0]));
}

bool is_locality_text(std::string_view text, bool compose) {
    bool alphabetic = false;
    if (!compose) {
        for (size_t i = 0; i < text.size();) {
            size_t len = 0;
            const char32_t c = scalar_at(text, i, len);
            if (c == kInvalid || !locality_char(c)) return false;
            alphabetic = alphabetic || norm::ucd::is_alphabetic(c);
            i += len;
        }
        return alphabetic;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return is_locality_text(text, false);
    // Invalid bytes become U+FFFD, which is not a locality character.
    const icu::UnicodeString composed =
        nfc->normalize(icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))),
                       status);
    if (U_FAILURE(status)) return false;
    for (int32_t i = 0; i < composed.length();) {
        const UChar32 c = composed.char32At(i);
        i += U16_LENGTH(c);
        if (!locality_char(static_cast<char32_t>(c))) return false;
        alphabetic = alphabetic || norm::ucd::is_alphabetic(static_cast<char32_t>(c));
    }
    return alphabetic;
}

}  // namespace tarnwik::query
