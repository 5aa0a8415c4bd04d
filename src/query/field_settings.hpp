// The address-field settings of a country and the small text tests built on
// them. Inputs that are flattened address records (street, number, locality,
// region code, postcode, separated by commas or spaced hyphens) are recognised
// by the retries of the street-data path, the postal retry and the city tail;
// they all read the same settings from the rules' `options` and judge fields
// the same way, so the readings live here once.
//
// Texts are raw query text (UTF-8). Bytes that are not UTF-8 are never white
// space, alphabetic or numeric.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules/rules.hpp"

namespace tarnwik::query {

// A settings number: ASCII decimal digits with an optional leading "+", and
// nothing else. Nothing for any other text (empty, "+" alone, a sign "-",
// spaces) or a value beyond 64 bits.
std::optional<uint64_t> setting_number(std::string_view value);

// The address-field settings, read from a rules table. Views point into it.
struct FieldSettings {
    bool enabled = false;                   // "enabled" is exactly "1"
    std::optional<std::string_view> regions;  // white-space-separated region codes
    std::optional<std::string_view> forms;    // "comma" and/or "hyphen"
    std::optional<uint64_t> postal_digits;    // D: digits of a postcode
    std::optional<uint64_t> postal_split;     // S: digits before the written hyphen
    std::optional<std::string_view> street_titles;

    bool has_form(std::string_view form) const;
    // A region code equal to `text` under ASCII case folding.
    bool is_region(std::string_view text) const;
};
FieldSettings field_settings(const Rules& rules = rules::current());

// The pieces of `list` between runs of Unicode white space; empty pieces
// skipped.
std::vector<std::string_view> split_white(std::string_view list);
// `text` without leading and trailing Unicode white space.
std::string_view trim_white(std::string_view text);
// Whether the text holds a Unicode white-space character.
bool has_white(std::string_view text);
// The text split at every ","; each piece trimmed, empty pieces kept.
std::vector<std::string_view> split_fields(std::string_view text);
// The pieces joined with ", ".
std::string join_fields(const std::vector<std::string_view>& fields);

// Equal under ASCII case folding (only A-Z and a-z fold).
bool ascii_iequal(std::string_view a, std::string_view b);

// A postcode written as a field: exactly `digits` ASCII digits and nothing
// else, or, when `split` < `digits`, the first `split` of them, "-" and the
// rest.
bool is_postcode_field(std::string_view field, uint64_t digits, uint64_t split);

// 1 to 5 ASCII digits, optionally followed by exactly one ASCII letter, and
// nothing else.
bool is_house_number_token(std::string_view token);

// A locality as written: at least one alphabetic character, and only
// alphabetic characters, white space, apostrophes (U+0027, U+2019) and
// hyphen-minus. `compose` reads the text after canonical composition (NFC),
// so a letter written with a combining accent counts as one letter.
bool is_locality_text(std::string_view text, bool compose);

}  // namespace tarnwik::query
