// Sound-alike keys: names that differ only in vowel colour, doubled letters
// or interchangeable consonants meet on the same key.
#include <array>
#include <string>
#include <string_view>

#include "norm/norm.hpp"
#include "util/text.hpp"

namespace tarnwik::norm {
namespace {

// Each ASCII character's class representative; characters outside ASCII are
// their own class.
constexpr std::array<char, 128> make_classes() {
    std::array<char, 128> t{};
    for (int c = 0; c < 128; ++c) t[c] = static_cast<char>(c);
    t['a'] = t['o'] = t['u'] = 'o';
    t['e'] = t['i'] = t['y'] = 'i';
    t['q'] = 'k';
    t['x'] = 'h';
    t['w'] = 'v';
    return t;
}

constexpr std::array<char, 128> kClass = make_classes();

// Any character of U+0400..U+04FF: a lead byte D0..D3 and a continuation.
bool contains_cyrillic(std::string_view s) {
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b >= 0xD0 && b <= 0xD3 && (static_cast<unsigned char>(s[i + 1]) & 0xC0) == 0x80) return true;
    }
    return false;
}

constexpr char32_t kNone = 0xFFFFFFFF;  // no character written yet in this word

}  // namespace

std::string phonetic_key(std::string_view text) {
    // Cyrillic is romanised first so that a Cyrillic name and its Latin
    // spelling share keys.
    const std::string n = contains_cyrillic(text) ? normalize(translit_cyr_lat_en(text)) : normalize(text);

    std::string key;
    key.reserve(n.size());
    char32_t last = kNone;
    for (size_t i = 0; i < n.size();) {
        const auto b = static_cast<unsigned char>(n[i]);
        if (b < 0x80) {
            ++i;
            if (b == ' ') {
                // Runs never collapse across words.
                key.push_back(' ');
                last = kNone;
                continue;
            }
            const char m = kClass[b];
            if (static_cast<char32_t>(static_cast<unsigned char>(m)) == last) continue;
            key.push_back(m);
            last = static_cast<unsigned char>(m);
            continue;
        }
        // normalize repairs invalid UTF-8, so its output decodes cleanly.
        const size_t start = i;
        const char32_t c = text::next_scalar(n, i);
        if (c == last) continue;
        key.append(n, start, i - start);
        last = c;
    }
    return key;
}

}  // namespace tarnwik::norm
