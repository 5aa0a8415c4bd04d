// German address rules: the query rewrites, rescues and name forms used when
// the sheet's country is "de".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "norm/norm.hpp"

namespace tarnwik::de {

// Other spellings of a street text under the German street-type words
// ("str", "straße", "strasse", ...), in the order candidate collection tries
// them. Empty when the text has none.
std::vector<std::string> street_variants(std::string_view text);

// A German commune name without the "Stadt" that official names put before
// or after the place ("Stadt Frankfurt" -> "frankfurt"), normalised.
inline std::string de_commune_core(std::string_view name) {
    const std::string n = norm::normalize(name);
    std::vector<std::string_view> words;
    for (size_t start = 0; start <= n.size();) {
        size_t end = n.find(' ', start);
        if (end == std::string::npos) end = n.size();
        words.emplace_back(n.data() + start, end - start);
        start = end + 1;
    }
    size_t first = 0, last = words.size();
    while (first < last && words[first] == "stadt") ++first;
    while (last > first && words[last - 1] == "stadt") --last;
    std::string out;
    for (size_t i = first; i < last; ++i) {
        if (i > first) out.push_back(' ');
        out += words[i];
    }
    return out;
}

// How well a locality kept from the query names a commune: 2 when it is the
// commune's core, 1 when the core begins with it as whole words ("essen" for
// "essen kettwig"), 0 otherwise or when either is empty.
inline uint8_t de_retained_locality_score(std::string_view locality, std::string_view commune) {
    const std::string l = norm::normalize(locality), c = de_commune_core(commune);
    if (l.empty() || c.empty()) return 0;
    if (l == c) return 2;
    if (c.size() > l.size() && c.starts_with(l) && c[l.size()] == ' ') return 1;
    return 0;
}

}  // namespace tarnwik::de
