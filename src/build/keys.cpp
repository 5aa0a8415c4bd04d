#include "build/keys.hpp"

#include <algorithm>

#include "norm/norm.hpp"
#include "util/text.hpp"

namespace tarnwik::build {

std::string commune_key(std::string_view name) { return norm::normalize(name); }

// The query side looks streets up by their prepared street key; until that
// key function exists the normalised name is the key on both sides.
std::string street_key(std::string_view name) { return norm::normalize(name); }

// The search looks words up as "~" followed by the word's phonetic key; the
// normalised word stands in for the phonetic key until that exists. Only
// words the search would look up are filed: three or more characters.
std::vector<std::string> word_keys(std::string_view street_name) {
    std::vector<std::string> keys;
    const std::string n = norm::normalize(street_name);
    size_t start = 0;
    while (start <= n.size()) {
        size_t end = n.find(' ', start);
        if (end == std::string::npos) end = n.size();
        std::string_view word(n.data() + start, end - start);
        if (text::count_scalars(word) >= 3) keys.push_back("~" + std::string(word));
        start = end + 1;
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

}  // namespace tarnwik::build
