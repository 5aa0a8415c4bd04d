#include "rules/rules.hpp"

#include <algorithm>
#include <cstdint>
#include <tuple>

#include "util/text.hpp"

namespace tarnwik {
namespace {

bool list_contains(const rules::WordList& list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

}  // namespace

void Rules::add(int kind, std::string_view key, std::string_view value) {
    using namespace rules;
    const auto word = [&](WordList& l) { l.emplace_back(key); };
    const auto pair = [&](PairList& l) { l.emplace_back(std::string(key), std::string(value)); };
    const auto set = [&](WordSet& s) { s.emplace(key); };
    const auto map = [&](WordMap& m) { m.insert_or_assign(std::string(key), std::string(value)); };
    switch (kind) {
        case kCommuneAliases: map(commune_aliases); break;
        case kCityAliases: pair(city_aliases); break;
        case kAbbreviations: pair(abbreviations); break;
        case kMajorCities: word(major_cities); break;
        case kStreetTypesRu: word(street_types_ru); break;
        case kAffixes: set(affixes); break;
        case kCityMarkers: set(city_markers); break;
        case kCitySuffixes: set(city_suffixes); break;
        case kRegionWords: set(region_words); break;
        case kCountryNames: set(country_names); break;
        case kCountryWords: set(country_words); break;
        case kSettlementTypes: set(settlement_types); break;
        case kGardenWords: set(garden_words); break;
        case kArrondissementCities: set(arrondissement_cities); break;
        case kQuarterWords: set(quarter_words); break;
        case kStreetTypesFrIt: word(street_types_fr_it); break;
        case kStreetTypesOther: set(street_types_other); break;
        case kDeCityAliases: pair(de_city_aliases); break;
        case kDeAbbreviations: pair(de_abbreviations); break;
        case kDeStreetTypes: word(de_street_types); break;
        case kDeCountryWords: set(de_country_words); break;
        case kDeAdminTailWords: set(de_admin_tail_words); break;
        case kOptions: map(options); break;
        case kKind24Pairs: pair(kind24_pairs); break;
        case kKind25Words: set(kind25_words); break;
        case kPlaceLexicon: map(place_lexicon); break;
        default: break;  // unknown kinds come from newer builders; skip them
    }
}

bool Rules::is_street_type(std::string_view word) const {
    return street_types_other.contains(word) || list_contains(street_types_ru, word) ||
           list_contains(street_types_fr_it, word);
}

bool Rules::is_affix(std::string_view word) const {
    return is_street_type(word) || affixes.contains(word);
}

std::optional<std::string_view> Rules::commune_alias(std::string_view name) const {
    const auto it = commune_aliases.find(name);
    if (it == commune_aliases.end()) return std::nullopt;
    return std::string_view(it->second);
}

namespace rules {
namespace {

thread_local const Rules* CURRENT = nullptr;

struct Record {
    uint8_t kind;
    std::string key;
    std::string value;
};

}  // namespace

std::unique_ptr<Rules> from_section_owned(ByteView section) {
    const auto count = section.try_u32(0);
    if (!count || *count == 0) return nullptr;

    std::vector<Record> records;
    // Every record takes at least 5 bytes, which bounds what a forged count
    // can make us reserve.
    records.reserve(std::min<uint64_t>(*count, section.size() / 5));
    uint64_t off = 4;
    for (uint32_t r = 0; r < *count; ++r) {
        const auto kind = section.try_u8(off);
        const auto key_len = section.try_u16(off + 1);
        if (!kind || !key_len) return nullptr;
        const auto key = section.try_sub(off + 3, *key_len);
        const auto value_len = section.try_u16(off + 3 + *key_len);
        if (!key || !value_len) return nullptr;
        const auto value = section.try_sub(off + 5 + *key_len, *value_len);
        if (!value) return nullptr;
        records.push_back({*kind, text::lossy_utf8(key->as_chars()), text::lossy_utf8(value->as_chars())});
        off += 5 + uint64_t{*key_len} + *value_len;
    }

    // std::string compares as unsigned bytes (char_traits<char>::compare is
    // memcmp-like), a prefix ordering before its extensions.
    std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
        return std::tie(a.kind, a.key, a.value) < std::tie(b.kind, b.key, b.value);
    });

    auto out = std::make_unique<Rules>(defaults());
    for (const Record& rec : records) out->add(rec.kind, rec.key, rec.value);
    return out;
}

const Rules& fallback() {
    static const Rules FALLBACK = defaults();
    return FALLBACK;
}

const Rules& current() { return CURRENT ? *CURRENT : fallback(); }

ScopedCurrent::ScopedCurrent(const Rules& r) : saved_(CURRENT) { CURRENT = &r; }
ScopedCurrent::~ScopedCurrent() { CURRENT = saved_; }

}  // namespace rules
}  // namespace tarnwik
