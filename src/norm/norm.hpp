// Text normalisation: the one canonical form in which keys and query words
// are compared.
#pragma once

#include <string>
#include <string_view>

namespace tarnwik::norm {

// Lower case, diacritics removed, word separators reduced to single spaces.
//
// The input is meant to be valid UTF-8. Invalid input is still read safely:
// every maximal invalid subsequence counts as one U+FFFD, exactly as
// text::lossy_utf8 repairs it, and U+FFFD is an ordinary character here.
//
// The result has no character that the lower-case mapping would change, no
// General Category Mark, no leading or trailing space and no two spaces in a
// row; U+0020 is its only separator. normalize(normalize(x)) == normalize(x).
//
// In order:
//  - a hyphen between two ASCII digits is removed together with the digits
//    after it (a house range keeps its first number: "10-12a" -> "10a"); a
//    hyphen between a lone letter and an ASCII digit is removed ("B-12" ->
//    "b12", but "AB-12" -> "ab 12");
//  - each character is lower-cased (full, context-free mapping), canonically
//    decomposed and stripped of marks; U+0111 (also from U+0110) becomes "d";
//    the punctuation, control, white-space, zero-width, symbol-block and
//    emoji characters listed in normalize.cpp become separators;
//  - a letter directly after four or more ASCII digits gets a space before
//    it ("75001paris" -> "75001 paris", while "123bis" stays).
std::string normalize(std::string_view text);

// Script conversion for the Cyrillic-script countries, so that a query can be
// retried in the script the sheet stores its names in. Each is a pure
// function of its input that never changes case or spacing and does not
// normalise its result (run `normalize` on it before using it as a key). Only
// the lower-case letters named below are converted; everything else, upper
// case of either script included, is copied, so they are meant for text that
// is already lower case. Bytes that are not UTF-8 are copied as they are.

// Repairs words typed with Latin look-alikes inside Cyrillic ("мocква" with a
// Latin o and c -> "москва"). Per space-separated piece: when the piece has
// some ASCII letters but fewer than it has characters of U+0400..U+04FF, the
// Latin a b c e h k m o p t x y in it become а в с е н к м о р т х у. Other
// pieces, and text without both scripts, come back unchanged.
std::string fold_homoglyphs(std::string_view text);

// Cyrillic to Latin, letter by letter without context, in the South Slavic
// convention with diacritics: ж ч ш щ ц -> ž č š šč c, ю я -> ju ja, ђ ј љ њ
// ћ џ -> đ j lj nj ć dž; ъ and ь are dropped; й and ё are left as they are.
std::string translit_cyr_lat(std::string_view text);

// Cyrillic to Latin in a plain-ASCII English-style romanisation: ж ч ш щ ц ->
// zh ch sh shch ts, й -> y, ё ю я -> yo yu ya, ў ғ қ ҳ ҷ -> o g q h j; ъ and
// ь are dropped; the Serbian letters are left as they are.
std::string translit_cyr_lat_en(std::string_view text);

// Latin to Cyrillic, reading both romanisations: shch and sch -> щ, zh kh ch
// sh -> ж х ч ш, yo yu ya -> ё ю я (longest of these first), then letter by
// letter, with c q -> к, w -> в, x -> х, j -> й, and y -> й after a Cyrillic
// vowel, ы elsewhere.
std::string translit_lat_cyr(std::string_view text);

// Coarse sound-alike key of a name or phrase: Cyrillic is romanised
// (`translit_cyr_lat_en`), the text normalised, then a o u -> o, e i y -> i,
// q -> k, x -> h, w -> v, and every run of the same character inside a word
// collapses to one ("Müller" -> "molir", "1100" -> "10"). Words stay apart.
std::string phonetic_key(std::string_view text);

}  // namespace tarnwik::norm
