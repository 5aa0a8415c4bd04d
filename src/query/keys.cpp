#include "query/keys.hpp"

#include <algorithm>
#include <initializer_list>
#include <limits>

#include "norm/norm.hpp"
#include "norm/unicode.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace tarnwik::query {
namespace {

using Words = std::initializer_list<std::string_view>;

bool one_of(std::string_view s, Words words) {
    return std::find(words.begin(), words.end(), s) != words.end();
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Vacuously true for the empty text; callers that need a number say so.
bool all_ascii_digits(std::string_view s) { return std::all_of(s.begin(), s.end(), is_ascii_digit); }

bool is_letter(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return c >= 0xAA && norm::ucd::is_alphabetic(c);
}

bool is_alnum(char32_t c) {
    if (c < 0x80) return is_letter(c) || (c >= '0' && c <= '9');
    if (c < 0xAA) return false;
    return norm::ucd::is_alphabetic(c) || (c >= 0xB2 && norm::ucd::is_numeric(c));
}

// Pieces between single spaces; empty pieces stay, and the empty text is one
// empty piece.
std::vector<std::string_view> split_spaces(std::string_view s) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (true) {
        const size_t end = s.find(' ', start);
        if (end == std::string_view::npos) {
            out.push_back(s.substr(start));
            return out;
        }
        out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
}

template <class Range>
std::string join_spaces(const Range& words) {
    std::string out;
    bool first = true;
    for (const auto& w : words) {
        if (!first) out.push_back(' ');
        out.append(w);
        first = false;
    }
    return out;
}

// Exactly one scalar value, and that one a letter or digit of any script.
bool single_alnum(std::string_view s) {
    if (s.empty() || !text::valid_utf8(s)) return false;
    size_t i = 0;
    const char32_t c = text::next_scalar(s, i);
    return i == s.size() && is_alnum(c);
}

bool single_scalar(std::string_view s) {
    if (s.empty() || !text::valid_utf8(s)) return false;
    size_t i = 0;
    text::next_scalar(s, i);
    return i == s.size();
}

bool is_roman(std::string_view s) { return one_of(s, {"i", "ii", "iii", "iv", "v", "vi"}); }

// How many tokens from `i` on a vocabulary entry covers: 1 for the token
// itself, 2 for an entry of two words (the normalised form of "р-н" is
// "р н", which no single token can equal), 0 for none.
size_t vocabulary_match(const rules::WordSet& set, const std::vector<std::string_view>& t, size_t i) {
    if (set.contains(t[i])) return 1;
    if (i + 1 < t.size() && !t[i].empty() && !t[i + 1].empty()) {
        std::string pair;
        pair.reserve(t[i].size() + 1 + t[i + 1].size());
        pair.append(t[i]).push_back(' ');
        pair.append(t[i + 1]);
        if (set.contains(pair)) return 2;
    }
    return 0;
}

// The same at the end of the output: the last token, or the last two.
size_t trailing_vocabulary_match(const rules::WordSet& set, const std::vector<std::string>& out) {
    if (out.empty()) return 0;
    if (set.contains(out.back())) return 1;
    if (out.size() >= 2) {
        const std::string pair = out[out.size() - 2] + " " + out.back();
        if (set.contains(pair)) return 2;
    }
    return 0;
}

}  // namespace

std::string fold_units(std::string_view text) {
    const Rules& rules = rules::current();
    const std::vector<std::string_view> t = split_spaces(text);
    const size_t n = t.size();

    // The first all-digit token is normally the house number; some rules
    // only hold before or after it.
    size_t house = n;
    for (size_t i = 0; i < n; ++i) {
        if (!t[i].empty() && all_ascii_digits(t[i])) {
            house = i;
            break;
        }
    }

    std::vector<std::string> out;
    size_t i = 0;
    while (i < n) {
        const std::string_view tok = t[i];
        const bool has_next = i + 1 < n;
        const std::string_view nx = has_next ? t[i + 1] : std::string_view();
        // Dropping a token together with its value; at the end of the text
        // there is no value to drop.
        const size_t with_value = has_next ? 2 : 1;

        // House words.
        if (tok == "дом" || tok == "uy") {
            i += 1;
            continue;
        }
        if (tok == "д" && has_next && all_ascii_digits(nx)) {
            i += 1;
            continue;
        }

        // A building word in front of the house number: its number is read
        // as the next token.
        if (i < house && one_of(tok, {"к", "korpus", "корп", "корпус"}) && has_next && !nx.empty() &&
            is_ascii_digit(nx[0])) {
            i += 1;
            continue;
        }

        // A telephone number ends the address.
        if (tok == "тел" || tok == "tel" || tok == "phone" || (!tok.empty() && tok[0] == '+')) break;

        if (i == 0 && tok == "chez") {
            i += 1;
            continue;
        }
        if (tok == "cedex") {
            i += has_next && (nx.empty() || (nx.size() <= 2 && all_ascii_digits(nx))) ? 2 : 1;
            continue;
        }

        // City, region and country designations.
        if (size_t m = vocabulary_match(rules.city_markers, t, i)) {
            i += m;
            continue;
        }
        if (size_t m = vocabulary_match(rules.region_words, t, i)) {
            // "московская обл": the region's name goes with its designator.
            if (!out.empty()) out.pop_back();
            i += m;
            continue;
        }
        if (size_t m = vocabulary_match(rules.country_names, t, i)) {
            const bool part_of_name =
                !out.empty() && (one_of(out.back(), {"de", "du", "di", "da", "des", "del", "della"}) ||
                                 (tok == "italia" && (out.back() == "via" || out.back() == "corso")));
            if (!part_of_name) {
                i += m;
                continue;
            }
        }

        if (house < n && i > house) {
            if (is_roman(tok) && !out.empty() && !out.back().empty() && all_ascii_digits(out.back())) {
                i += 1;
                continue;
            }
            if (size_t m = vocabulary_match(rules.city_suffixes, t, i)) {
                i += m;
                continue;
            }
        }

        // Apartment, floor, office and entrance designators with their value.
        const bool nx_digits = !nx.empty() && all_ascii_digits(nx);
        const bool nx_roman = is_roman(nx);
        const bool nx_single = single_alnum(nx);
        if (one_of(tok, {"кв", "оф", "эт", "пом", "ком", "офис", "этаж", "квартира", "комната", "подъезд",
                         "помещение", "kvartira", "stan", "sprat", "int", "interno", "lokal", "piano",
                         "xonadon"}) &&
            (nx_digits || nx_roman)) {
            i += with_value;
            continue;
        }
        if (one_of(tok, {"apt", "app", "appt", "bat", "batiment", "appartement"}) && (nx_digits || nx_single)) {
            i += with_value;
            continue;
        }
        if (one_of(tok, {"hoog", "etage", "verdieping"})) {
            const bool prev_number = !out.empty() && !out.back().empty() && is_ascii_digit(out.back()[0]);
            if (nx_digits || prev_number) {
                if (prev_number && !nx.empty() && !nx_digits) {
                    // "3 hoog a": the number before was the floor.
                    out.pop_back();
                    i += 1;
                } else {
                    i += with_value;
                }
                continue;
            }
        }
        if (one_of(tok, {"scala", "sc", "gebouw"}) && nx_single) {
            i += with_value;
            continue;
        }
        if (tok == "porte" && (nx_digits || nx == "gauche" || nx == "droite")) {
            i += with_value;
            continue;
        }

        // Building designators the keys keep, in one short form.
        if (nx_digits) {
            const char* short_form = nullptr;
            if (one_of(tok, {"к", "кор", "корп", "копр", "корпус", "корпуса"}))
                short_form = "к";
            else if (one_of(tok, {"с", "стр", "строение", "строения"}))
                short_form = "с";
            else if (one_of(tok, {"вл", "влад", "владение"}))
                short_form = "вл";
            if (short_form) {
                out.push_back(std::string(short_form).append(nx));
                i += 2;
                continue;
            }
        }

        // House letter: the designator goes, the letter stays.
        if ((tok == "лит" || tok == "литера") && single_scalar(nx)) {
            out.emplace_back(nx);
            i += 2;
            continue;
        }

        out.emplace_back(tok);
        i += 1;
    }

    while (out.size() >= 3) {
        const size_t m = trailing_vocabulary_match(rules.country_words, out);
        if (m == 0) break;
        out.resize(out.size() - m);
    }
    return join_spaces(out);
}

std::string prepared_query_key(std::string_view text) {
    std::string key = norm::fold_homoglyphs(norm::normalize(text));
    // Abbreviations are spelled out before the units are folded: folding
    // reads whole words, and an abbreviation is two ("c so italia" must reach
    // it as "corso italia" to keep its country word, "12 v le europa" as
    // "12 viale europa" or its v goes as a roman numeral). They are whole
    // words: the short form must start the text or follow a space, or
    // "ivanov le 5" would read as "ivanoviale 5".
    for (const auto& [short_form, full] : rules::current().abbreviations) {
        if (short_form.empty()) continue;
        const std::string from = short_form + " ";
        const std::string to = full + " ";
        if (key.find(from) == std::string::npos) continue;
        std::string next;
        next.reserve(key.size() + 16);
        size_t pos = 0;
        while (pos < key.size()) {
            const size_t at = key.find(from, pos);
            if (at == std::string::npos) break;
            if (at != 0 && key[at - 1] != ' ') {
                next.append(key, pos, at + 1 - pos);
                pos = at + 1;
                continue;
            }
            next.append(key, pos, at - pos).append(to);
            pos = at + from.size();
        }
        next.append(key, pos, std::string::npos);
        key = std::move(next);
    }
    return fold_units(key);
}

std::string street_key(std::string_view text) {
    const std::string n = norm::normalize(text);
    std::vector<std::string_view> words = split_spaces(n);
    std::sort(words.begin(), words.end());
    return join_spaces(words);
}

std::optional<std::string> unglue_variant(std::string_view text) {
    std::vector<std::string> words;
    bool changed = false;
    for (std::string_view w : split_spaces(text)) {
        if (w.empty()) continue;
        // The longest run of letters at the start.
        size_t letters_end = 0, letters = 0;
        if (text::valid_utf8(w)) {
            size_t i = 0;
            while (i < w.size()) {
                size_t next = i;
                if (!is_letter(text::next_scalar(w, next))) break;
                i = next;
                letters_end = i;
                ++letters;
            }
        }
        const std::string_view rest = w.substr(letters_end);
        if (letters >= 1 && letters <= 2 && !rest.empty() && rest.size() <= 4 && all_ascii_digits(rest)) {
            words.push_back(std::string(w.substr(0, letters_end)).append(" ").append(rest));
            changed = true;
        } else {
            words.emplace_back(w);
        }
    }
    if (!changed) return std::nullopt;
    return join_spaces(words);
}

std::optional<uint32_t> fr_ordinal_number(std::string_view token) {
    std::string_view rest;
    if (token.size() > 2 && token.ends_with("eme"))
        rest = token.substr(0, token.size() - 3);
    else if (token.ends_with("er"))
        rest = token.substr(0, token.size() - 2);
    else if (token.ends_with("e"))
        rest = token.substr(0, token.size() - 1);
    else
        return std::nullopt;
    if (rest.empty() || rest.size() > 2 || !all_ascii_digits(rest)) return std::nullopt;
    uint32_t v = 0;
    for (char c : rest) v = v * 10 + static_cast<uint32_t>(c - '0');
    return v;
}

uint32_t lev(std::u32string_view a, std::u32string_view b) {
    if (a.empty()) return static_cast<uint32_t>(b.size());
    if (b.empty()) return static_cast<uint32_t>(a.size());
    std::vector<uint32_t> prev(b.size() + 1), cur(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) prev[j] = static_cast<uint32_t>(j);
    for (size_t i = 1; i <= a.size(); ++i) {
        cur[0] = static_cast<uint32_t>(i);
        for (size_t j = 1; j <= b.size(); ++j) {
            const uint32_t subst = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, subst});
        }
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

uint32_t lev(std::string_view a, std::string_view b) {
    auto decode = [](std::string_view s) {
        const std::string valid = text::lossy_utf8(s);
        std::u32string out;
        out.reserve(valid.size());
        for (size_t i = 0; i < valid.size();) out.push_back(text::next_scalar(valid, i));
        return out;
    };
    return lev(std::u32string_view(decode(a)), std::u32string_view(decode(b)));
}

std::string_view field_number_unlabel(std::string_view field) {
    // White space of any kind, as raw fields carry it (no-break spaces
    // included). Bytes that are not UTF-8 are not white space.
    auto white_prefix = [](std::string_view s) {
        size_t i = 0;
        while (i < s.size()) {
            const auto b = static_cast<unsigned char>(s[i]);
            size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
            if (len > s.size() - i || !text::valid_utf8(s.substr(i, len))) break;
            size_t k = i;
            if (!norm::ucd::is_white_space(text::next_scalar(s, k))) break;
            i = k;
        }
        return i;
    };
    auto white_suffix = [](std::string_view s) {
        size_t end = s.size();
        while (end > 0) {
            size_t start = end - 1;
            while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && end - start < 4) --start;
            const std::string_view c = s.substr(start, end - start);
            if (!text::valid_utf8(c)) break;
            size_t k = 0;
            if (!norm::ucd::is_white_space(text::next_scalar(c, k)) || k != c.size()) break;
            end = start;
        }
        return s.size() - end;
    };

    std::string_view f = field;
    f.remove_prefix(white_prefix(f));
    f.remove_suffix(white_suffix(f));
    if (f.size() < 3) return f;
    for (std::string_view label : {"n.\u00BA", "n\u00BA", "n\u00B0", "N.\u00BA", "N\u00BA", "N\u00B0"}) {
        if (f.starts_with(label)) {
            f.remove_prefix(label.size());
            f.remove_prefix(white_prefix(f));
            return f;
        }
    }
    return f;
}

std::optional<uint32_t> numeric_house_prefix(std::string_view text) {
    if (text.empty() || !is_ascii_digit(text[0])) return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        if (!is_ascii_digit(c)) break;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

std::vector<std::string> street_word_spellings(std::string_view word) {
    if (!text::valid_utf8(word)) return {};
    for (size_t i = 0; i < word.size();) {
        const char32_t c = text::next_scalar(word, i);
        const bool apostrophe = c == U'\'' || c == U'`' || c == 0x02BB || c == 0x02BC || c == 0x2018 || c == 0x2019;
        if (!apostrophe && !is_alnum(c)) return {};
    }
    const std::string w = norm::normalize(word);
    if (text::count_scalars(w) < 3) return {};

    const Rules& rules = rules::current();
    std::vector<std::string> spellings;
    auto add = [&](std::string s) {
        if (rules.street_types_other.contains(s)) return;
        if (std::find(spellings.begin(), spellings.end(), s) != spellings.end()) return;
        spellings.push_back(std::move(s));
    };
    add(w);
    for (std::string other : {norm::normalize(norm::translit_cyr_lat(w)), norm::normalize(norm::translit_lat_cyr(w))})
        if (other != w && text::count_scalars(other) >= 3) add(std::move(other));
    return spellings;
}

std::string word_key(std::string_view spelling) { return "~" + norm::phonetic_key(spelling); }

}  // namespace tarnwik::query
