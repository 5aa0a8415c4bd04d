// Script conversion between Cyrillic and Latin, and homoglyph repair.
//
// Every letter these functions convert is either ASCII or in U+0400..U+04FF,
// whose UTF-8 forms are a lead byte D0..D3 followed by one continuation
// byte. So they work on bytes: a Cyrillic letter is recognised by its two
// bytes and everything else, invalid UTF-8 included, is copied byte for byte.
// No lead byte of another character and no continuation byte can be taken
// for D0..D3, so this reads exactly the characters a UTF-8 decoder would.
//
// All tables are built at compile time. No output is longer than twice its
// input (a one-byte Latin letter becomes a two-byte Cyrillic one; щ becomes
// the four bytes of "shch" or "šč"), so each result is allocated once.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "norm/norm.hpp"

namespace tarnwik::norm {
namespace {

constexpr bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }
constexpr bool is_cyrillic_lead(unsigned char b) { return b >= 0xD0 && b <= 0xD3; }

// If s[i] starts a character of U+0400..U+04FF, its offset from U+0400.
constexpr int cyrillic_at(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (!is_cyrillic_lead(b) || i + 1 >= s.size()) return -1;
    const auto c = static_cast<unsigned char>(s[i + 1]);
    if (!is_continuation(c)) return -1;
    return ((b & 0x03) << 6) | (c & 0x3F);
}

// Offset of the first character of U+0400..U+04FF, or the size of s.
size_t first_cyrillic(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && cyrillic_at(s, i) < 0) ++i;
    return i;
}

// ---------------------------------------------------------------------------
// Cyrillic to Latin

struct Romanised {
    bool convert = false;   // false: the letter is copied
    std::string_view to;    // empty with convert: the letter is dropped
};

using CyrTable = std::array<Romanised, 256>;

struct CyrRow {
    char32_t cyr;
    std::string_view lat;
};

// The letters both schemes write alike.
constexpr CyrRow kCommonRows[] = {
    {U'а', "a"}, {U'б', "b"}, {U'в', "v"}, {U'г', "g"}, {U'д', "d"}, {U'е', "e"}, {U'з', "z"},
    {U'и', "i"}, {U'к', "k"}, {U'л', "l"}, {U'м', "m"}, {U'н', "n"}, {U'о', "o"}, {U'п', "p"},
    {U'р', "r"}, {U'с', "s"}, {U'т', "t"}, {U'у', "u"}, {U'ф', "f"}, {U'х', "h"}, {U'ъ', ""},
    {U'ь', ""},  {U'ы', "i"}, {U'э', "e"},
};

// South Slavic convention. The diacritic letters are the precomposed
// U+017E, U+010D, U+0161, U+0107 and U+0111.
constexpr CyrRow kSouthSlavicRows[] = {
    {U'ж', "\u017E"},
    {U'ц', "c"},
    {U'ч', "\u010D"},
    {U'ш', "\u0161"},
    {U'щ', "\u0161\u010D"},
    {U'ю', "ju"},
    {U'я', "ja"},
    {U'\u0452', "\u0111"},   // ђ
    {U'\u0458', "j"},        // ј
    {U'\u0459', "lj"},       // љ
    {U'\u045A', "nj"},       // њ
    {U'\u045B', "\u0107"},   // ћ
    {U'\u045F', "d\u017E"},  // џ
};

// English-style plain-ASCII romanisation, with the Uzbek and Tajik letters.
constexpr CyrRow kEnglishRows[] = {
    {U'ж', "zh"},
    {U'й', "y"},
    {U'ц', "ts"},
    {U'ч', "ch"},
    {U'ш', "sh"},
    {U'щ', "shch"},
    {U'ю', "yu"},
    {U'я', "ya"},
    {U'ё', "yo"},
    {U'\u045E', "o"},  // ў
    {U'\u0493', "g"},  // ғ
    {U'\u049B', "q"},  // қ
    {U'\u04B3', "h"},  // ҳ
    {U'\u04B7', "j"},  // ҷ
};

template <size_t N>
constexpr CyrTable make_cyr_table(const CyrRow (&rows)[N]) {
    CyrTable t{};
    for (const CyrRow& r : kCommonRows) t[r.cyr - 0x400] = {true, r.lat};
    for (const CyrRow& r : rows) t[r.cyr - 0x400] = {true, r.lat};
    return t;
}

constexpr CyrTable kSouthSlavic = make_cyr_table(kSouthSlavicRows);
constexpr CyrTable kEnglish = make_cyr_table(kEnglishRows);

std::string romanise(std::string_view s, const CyrTable& table) {
    const size_t first = first_cyrillic(s);
    if (first == s.size()) return std::string(s);
    std::string out;
    out.reserve(2 * s.size());
    size_t copied = 0;  // s[copied, i) is still to be copied
    for (size_t i = first; i < s.size();) {
        const int k = cyrillic_at(s, i);
        if (k < 0) {
            ++i;
            continue;
        }
        if (table[k].convert) {
            out.append(s.substr(copied, i - copied));
            out.append(table[k].to);
            copied = i + 2;
        }
        i += 2;
    }
    out.append(s.substr(copied));
    return out;
}

// ---------------------------------------------------------------------------
// Latin to Cyrillic

constexpr std::array<std::string_view, 26> kLatinLetter = {
    "а", "б", "к", "д", "е", "ф", "г", "х", "и", "й", "к", "л", "м",  // a..m
    "н", "о", "п", "к", "р", "с", "т", "у", "в", "в", "х", "",  "з",  // n..z (y by context)
};

bool ends_with_cyrillic_vowel(const std::string& out) {
    if (out.size() < 2) return false;
    const auto b = static_cast<unsigned char>(out[out.size() - 2]);
    const auto c = static_cast<unsigned char>(out.back());
    if (b == 0xD0) return c == 0xB0 || c == 0xB5 || c == 0xB8 || c == 0xBE;  // а е и о
    if (b == 0xD1) return c == 0x83 || c == 0x8B || c == 0x8D || c == 0x8E || c == 0x8F || c == 0x91;  // у ы э ю я ё
    return false;
}

// The Cyrillic letter for the multi-letter sequence at s[i], and its length;
// the sequences are tried in a fixed order (shch, sch, zh, kh, ch, sh, yo,
// yu, ya), which for a given first letter means the longest first.
struct Digraph {
    std::string_view cyr;
    size_t len = 0;
};

Digraph digraph_at(std::string_view s, size_t i) {
    const std::string_view rest = s.substr(i);
    if (rest.size() < 2) return {};
    const char next = rest[1];
    switch (rest[0]) {
        case 's':
            if (rest.starts_with("shch")) return {"щ", 4};
            if (rest.starts_with("sch")) return {"щ", 3};
            if (next == 'h') return {"ш", 2};
            return {};
        case 'z': return next == 'h' ? Digraph{"ж", 2} : Digraph{};
        case 'k': return next == 'h' ? Digraph{"х", 2} : Digraph{};
        case 'c': return next == 'h' ? Digraph{"ч", 2} : Digraph{};
        case 'y':
            if (next == 'o') return {"ё", 2};
            if (next == 'u') return {"ю", 2};
            if (next == 'a') return {"я", 2};
            return {};
        default: return {};
    }
}

constexpr bool is_lower_ascii(char ch) { return ch >= 'a' && ch <= 'z'; }

// ---------------------------------------------------------------------------
// Homoglyphs

constexpr std::array<std::string_view, 128> make_homoglyphs() {
    std::array<std::string_view, 128> t{};
    t['a'] = "а";
    t['b'] = "в";
    t['c'] = "с";
    t['e'] = "е";
    t['h'] = "н";
    t['k'] = "к";
    t['m'] = "м";
    t['o'] = "о";
    t['p'] = "р";
    t['t'] = "т";
    t['x'] = "х";
    t['y'] = "у";
    return t;
}

constexpr std::array<std::string_view, 128> kHomoglyph = make_homoglyphs();

constexpr bool is_ascii_letter(unsigned char b) { return ((b | 0x20) >= 'a' && (b | 0x20) <= 'z'); }

// A Latin letter inside a word that is mostly Cyrillic is a look-alike typed
// by mistake; a word with at least as many Latin letters is taken as Latin.
void fold_piece(std::string_view piece, std::string& out) {
    size_t latin = 0, cyrillic = 0;
    for (size_t i = 0; i < piece.size(); ++i) {
        if (is_ascii_letter(static_cast<unsigned char>(piece[i]))) {
            ++latin;
        } else if (cyrillic_at(piece, i) >= 0) {
            ++cyrillic;
            ++i;
        }
    }
    if (latin == 0 || latin >= cyrillic) {
        out.append(piece);
        return;
    }
    for (char ch : piece) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80 && !kHomoglyph[b].empty()) {
            out.append(kHomoglyph[b]);
        } else {
            out.push_back(ch);
        }
    }
}

}  // namespace

std::string translit_cyr_lat(std::string_view text) { return romanise(text, kSouthSlavic); }

std::string translit_cyr_lat_en(std::string_view text) { return romanise(text, kEnglish); }

std::string translit_lat_cyr(std::string_view text) {
    size_t first = 0;
    while (first < text.size() && !is_lower_ascii(text[first])) ++first;
    if (first == text.size()) return std::string(text);

    std::string out;
    out.reserve(2 * text.size());
    out.append(text.substr(0, first));
    for (size_t i = first; i < text.size();) {
        const char ch = text[i];
        if (!is_lower_ascii(ch)) {
            out.push_back(ch);
            ++i;
            continue;
        }
        if (const Digraph d = digraph_at(text, i); d.len != 0) {
            out.append(d.cyr);
            i += d.len;
            continue;
        }
        if (ch == 'y') {
            // y after a vowel closes a diphthong (moy -> мой); elsewhere it is
            // the hard i (ty -> ты).
            out.append(ends_with_cyrillic_vowel(out) ? "й" : "ы");
        } else {
            out.append(kLatinLetter[ch - 'a']);
        }
        ++i;
    }
    return out;
}

std::string fold_homoglyphs(std::string_view text) {
    bool latin = false, cyrillic = false;
    for (size_t i = 0; i < text.size() && !(latin && cyrillic); ++i) {
        if (is_ascii_letter(static_cast<unsigned char>(text[i]))) {
            latin = true;
        } else if (cyrillic_at(text, i) >= 0) {
            cyrillic = true;
            ++i;
        }
    }
    if (!latin || !cyrillic) return std::string(text);

    std::string out;
    out.reserve(2 * text.size());
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(' ', start);
        fold_piece(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start), out);
        if (end == std::string_view::npos) break;
        out.push_back(' ');
        start = end + 1;
    }
    return out;
}

}  // namespace tarnwik::norm
