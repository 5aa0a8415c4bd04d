// Query keys: the clean-up that turns a free-text address into the words the
// sheet's keys are made of, and the small key and number functions of the
// query cascade.
//
// The sheet builder derives its street, word and commune keys through these
// same functions, so a street name and a query naming it meet on one key.
// Every function is pure apart from reading the thread's current rules
// (rules::current()).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwik::query {

// Drops what no key contains and brings building designators to one short
// form. `text` must already be normalised and homoglyph-folded. Tokens are
// the pieces between single spaces; the first all-digit token is taken for
// the house number. In order, for each token:
//  - house words (дом, uy; д before a number) go;
//  - a leading корпус/korpus/корп/к before the house number goes, its
//    number stays;
//  - a telephone word (тел, tel, phone, "+...") ends the text;
//  - chez as the first word goes; cedex goes with a one- or two-digit number
//    after it;
//  - city markers go; a region word goes with the word before it; a country
//    name goes unless it follows de/du/di/da/des/del/della, or is italia
//    after via/corso (Corso Italia is a street);
//  - after the house number, a roman numeral right after a number and city
//    suffixes go;
//  - unit designators go with their value (кв 5, apt 3, scala b, porte
//    gauche; "3 hoog" takes its floor number with it);
//  - корп 2, стр 1, владение 5 become к2, с1, вл5; лит а becomes а;
//  - everything else stays.
// Finally trailing country words go while three or more tokens are left.
//
// A vocabulary entry of two words ("р н", the normalised "р-н") matches the
// token and the one after it, and then goes as a whole: entries come
// normalised, and a normalised abbreviation with a full stop or hyphen is
// two words.
std::string fold_units(std::string_view text);

// The key under which a raw query text, or a street name, is looked up:
// normalised, homoglyph-folded, the rules' abbreviations ("p zza" ->
// "piazza") spelled out wherever the short form stands as whole words
// followed by a space, then unit-folded.
std::string prepared_query_key(std::string_view text);

// Order-independent street key: the normalised words sorted by bytes, so
// "rue victor hugo" and "victor hugo rue" share "hugo rue victor".
std::string street_key(std::string_view text);

// "d12" -> "d 12": each word made of one or two letters and a number of one
// to four ASCII digits is split in two. Nothing when no word changes.
std::optional<std::string> unglue_variant(std::string_view text);

// A French ordinal token as its number: 1er -> 1, 2e -> 2, 3eme -> 3,
// 12e -> 12. Nothing for other tokens (1re, 100e, er).
std::optional<uint32_t> fr_ordinal_number(std::string_view token);

// Edit distance with unit costs over Unicode scalar values.
uint32_t lev(std::u32string_view a, std::u32string_view b);
// The same over UTF-8 text (decoded to scalar values; invalid sequences
// count as U+FFFD).
uint32_t lev(std::string_view a, std::string_view b);

// A raw (not normalised) address field trimmed of white space and stripped
// of a leading number label n.º, nº, n°, N.º, Nº or N° and the white space
// after it. A view into `field`.
std::string_view field_number_unlabel(std::string_view field);

// The value of the text's leading ASCII digits (12bis -> 12). Nothing when
// the text does not start with a digit or the value exceeds 32 bits.
std::optional<uint32_t> numeric_house_prefix(std::string_view text);

// The spellings under which the word search looks up one street word of a
// prepared text: the word itself, then its Cyrillic-to-Latin and its
// Latin-to-Cyrillic transliterations (normalised), each only when it differs
// from the word and has three or more characters. A spelling in the rules'
// street_types_other is left out. Empty for a word that is not looked up at
// all: one with a character other than a letter, a digit or an apostrophe,
// or fewer than three characters once normalised.
std::vector<std::string> street_word_spellings(std::string_view word);

// The `words_fst` key of a spelling: "~" and its phonetic key.
std::string word_key(std::string_view spelling);

}  // namespace tarnwik::query
