// Commune resolution: a locality as written in a query (official name,
// customary short form, with or without its French article, typed in the
// other script, or only its first words) turned into commune ids, a
// weighted place, or a locality-level hit.
//
// Everything reads the opened index and the thread's current rules
// (rules::current()) and nothing else. Callers pass normalised text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/hit.hpp"

namespace tarnwik::query {

// A prefix lookup stops after this many ids.
inline constexpr size_t kMaxPrefixCommunes = 40;
// Communes of one name this close to the most prominent one (inclusive) are
// read as one place.
inline constexpr double kPlaceMergeKm = 40.0;

// The commune ids filed under exactly `key` in `communes_fst`, in postings
// order. Empty for an absent key or a run that does not lie inside
// `commune_postings`. Ids past the commune table (a damaged sheet) are left
// out, so every id returned can be read from the commune table.
std::vector<uint32_t> communes_by_name_raw(const Index& index, std::string_view key);

// The ids of every key that starts with `prefix`, in key order and postings
// order within a key, at most kMaxPrefixCommunes.
std::vector<uint32_t> communes_by_prefix_raw(const Index& index, std::string_view prefix);

// True on an Italian sheet for a one-word text that is only a street type
// (via, corso, ..., borgo, piazzale): such a text never names a commune.
bool it_street_type_only(const Index& index, std::string_view text);

// The communes a name stands for. The first lookup that finds something
// wins: the name (or its commune alias), then with a French article in
// front (l, la, le, les), then "lX..." read as "l X..." (an apostrophe lost
// without a space), then the name without its quarter words.
std::vector<uint32_t> communes_by_name(const Index& index, std::string_view name);

// The communes whose keys start with `prefix` (or its commune alias), else
// with the prefix after a French article. Empty for a prefix of fewer than
// three letters and digits.
std::vector<uint32_t> communes_by_prefix(const Index& index, std::string_view prefix);

// A locality resolved to one point: the prominence-weighted mean of the
// communes that make it up.
struct ResolvedPlace {
    std::string name;
    double lat = 0;
    double lon = 0;
    uint32_t prominence = 0;  // sum of the merged communes' weights, clamped
    bool exact = false;       // through the name rather than a name prefix
};

// The place a text names: the most prominent commune of that name merged
// with its namesakes nearby; else the communes whose multi-word names start
// with the whole text (paris -> paris 1er arrondissement, ...), merged
// around the most prominent of them and named by the text.
std::optional<ResolvedPlace> resolve_place(const Index& index, std::string_view text);

// resolve_place, retried with the text transliterated Cyrillic to Latin
// (both romanisations) and Latin to Cyrillic. A place at exactly (0, 0) is
// not a place.
std::optional<ResolvedPlace> resolve_place_translit(const Index& index, std::string_view text);

// The text with the rules' city aliases (спб, moscow, ...) replaced by their
// canonical names, where the alias is the whole text, its last word(s) or
// words standing between spaces, and the canonical name is a commune key of
// this sheet.
std::string expand_city_aliases(const Index& index, std::string_view text);

// The locality-level answer: one "city" hit at the given position.
std::vector<Hit> city_hit(const Index& index, std::string_view name, bool exact, double lat, double lon);

}  // namespace tarnwik::query
