#include "build/keys.hpp"

#include <algorithm>

#include "norm/norm.hpp"
#include "query/keys.hpp"

namespace tarnwik::build {

// Commune resolution is handed normalised locality text (a comma field, the
// trailing words of a prepared query) and looks it up as it stands, after
// its own alias and article retries; so the normalised name is the key.
std::string commune_key(std::string_view name) { return norm::normalize(name); }

// A query's street words are the words of its prepared key, and the exact
// lookups and streams take them in the order written. A street name keyed
// the same way lands on the same text: abbreviations spelled out, units and
// trailing country words folded exactly as in a query that names it.
std::string street_key(std::string_view name) { return query::prepared_query_key(name); }

// The word search reads the street words of the prepared query and looks
// each up under every spelling it tries (the word and its transliterations),
// keeping the shortest list. A street is filed under every spelling of every
// word of its own prepared key, so whichever list the search picks for a
// word of the street's name holds the street.
std::vector<std::string> word_keys(std::string_view street_name) {
    std::vector<std::string> keys;
    const std::string prepared = query::prepared_query_key(street_name);
    size_t start = 0;
    while (start < prepared.size()) {
        size_t end = prepared.find(' ', start);
        if (end == std::string::npos) end = prepared.size();
        const std::string_view word(prepared.data() + start, end - start);
        for (const std::string& spelling : query::street_word_spellings(word))
            keys.push_back(query::word_key(spelling));
        start = end + 1;
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

}  // namespace tarnwik::build
