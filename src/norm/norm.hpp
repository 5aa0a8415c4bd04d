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

}  // namespace tarnwik::norm
