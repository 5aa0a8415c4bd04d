// Country rule tables: the vocabularies that steer query understanding
// (street types, city and region words, aliases, abbreviations, index
// settings). Built-in defaults, extended by a sheet's rules section.
//
// Every word is in normalised form (norm::normalize) and compared byte for
// byte. During a query the rules of the index being queried are installed as
// the thread's CURRENT rules; code reads them through rules::current().
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "util/bytes.hpp"

namespace tarnwik {

namespace rules {

// Hash for the sets and maps: transparent, so lookups by string_view allocate
// nothing.
struct WordHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using WordList = std::vector<std::string>;                          // ordered, duplicates allowed
using PairList = std::vector<std::pair<std::string, std::string>>;  // ordered (key, value)
using WordSet = std::unordered_set<std::string, WordHash, std::equal_to<>>;
using WordMap = std::unordered_map<std::string, std::string, WordHash, std::equal_to<>>;

// Rule kinds: the tags of the rules section and of Rules::add.
enum Kind : int {
    kCommuneAliases = 1,
    kCityAliases = 2,
    kAbbreviations = 3,
    kMajorCities = 4,
    kStreetTypesRu = 5,
    kAffixes = 6,
    kCityMarkers = 7,
    kCitySuffixes = 8,
    kRegionWords = 9,
    kCountryNames = 10,
    kCountryWords = 11,
    kSettlementTypes = 12,
    kGardenWords = 13,
    kArrondissementCities = 14,
    kQuarterWords = 15,
    kStreetTypesFrIt = 16,
    kStreetTypesOther = 17,
    kDeCityAliases = 18,
    kDeAbbreviations = 19,
    kDeStreetTypes = 20,
    kDeCountryWords = 21,
    kDeAdminTailWords = 22,
    kOptions = 23,
    kKind24Pairs = 24,
    kKind25Words = 25,
    kPlaceLexicon = 26,
};

}  // namespace rules

struct Rules {
    rules::WordMap commune_aliases;        // 1: alternative name -> official commune name
    rules::PairList city_aliases;          // 2: short or foreign name -> canonical city
    rules::PairList abbreviations;         // 3: abbreviated street-type word -> full word
    rules::WordList major_cities;          // 4
    rules::WordList street_types_ru;       // 5
    rules::WordSet affixes;                // 6: district / housing-complex words
    rules::WordSet city_markers;           // 7
    rules::WordSet city_suffixes;          // 8
    rules::WordSet region_words;           // 9
    rules::WordSet country_names;          // 10
    rules::WordSet country_words;          // 11
    rules::WordSet settlement_types;       // 12
    rules::WordSet garden_words;           // 13
    rules::WordSet arrondissement_cities;  // 14
    rules::WordSet quarter_words;          // 15
    rules::WordList street_types_fr_it;    // 16
    rules::WordSet street_types_other;     // 17
    rules::PairList de_city_aliases;       // 18: alias -> locality
    rules::PairList de_abbreviations;      // 19: abbreviation -> expansion
    rules::WordList de_street_types;       // 20
    rules::WordSet de_country_words;       // 21
    rules::WordSet de_admin_tail_words;    // 22
    rules::WordMap options;                // 23: index settings, on when the value is "1"
    rules::PairList kind24_pairs;          // 24
    rules::WordSet kind25_words;           // 25
    rules::WordMap place_lexicon;          // 26

    // Adds one entry of the given kind: lists append, sets insert, maps insert
    // or replace. Word kinds use only the key. Kinds outside 1..26 are ignored.
    void add(int kind, std::string_view key, std::string_view value);

    // In street_types_other, street_types_ru or street_types_fr_it.
    bool is_street_type(std::string_view word) const;
    // A street type, or in affixes.
    bool is_affix(std::string_view word) const;
    // The official name for an alternative commune name. The view points
    // into this Rules.
    std::optional<std::string_view> commune_alias(std::string_view name) const;

    bool operator==(const Rules&) const = default;
};

namespace rules {

// A fresh Rules holding the built-in defaults.
Rules defaults();

// The defaults extended by a rules section. nullptr when the section carries
// no rules: shorter than 4 bytes, a record count of 0, or any record cut short
// (a truncated section is rejected whole). Records are applied in the order of
// (kind, key bytes, value bytes), so for map kinds the greatest value of a key
// wins, whatever order the section lists them in. Invalid UTF-8 in keys and
// values is repaired with U+FFFD before ordering.
std::unique_ptr<Rules> from_section_owned(ByteView section);

// FALLBACK: the defaults, built once per process on first use.
const Rules& fallback();

// CURRENT when set on this thread, else FALLBACK. Do not keep the reference
// beyond the operation that asked for it.
const Rules& current();

// Installs rules as this thread's CURRENT for the lifetime of the object and
// puts the previous value back on every exit path. Scopes must nest.
class ScopedCurrent {
public:
    explicit ScopedCurrent(const Rules& r);
    ~ScopedCurrent();
    ScopedCurrent(const ScopedCurrent&) = delete;
    ScopedCurrent& operator=(const ScopedCurrent&) = delete;

private:
    const Rules* saved_;
};

}  // namespace rules
}  // namespace tarnwik
