#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "norm/address_names.hpp"
#include "norm/normal_form.hpp"
#include "norm/norm.hpp"
#include "util/text.hpp"

namespace tarnwik::norm {
namespace {

std::string utf8(char32_t c) {
    std::string s;
    text::append_utf8(s, c);
    return s;
}

struct Case {
    const char* input;
    const char* expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << text::debug_quote(c.input); }

class NormalizeCases : public ::testing::TestWithParam<Case> {};

TEST_P(NormalizeCases, GivesExpectedForm) {
    const Case& c = GetParam();
    const std::string out = normalize(c.input);
    EXPECT_EQ(out, c.expected) << "input " << text::debug_quote(c.input);
    EXPECT_EQ(normalize(out), out) << "not idempotent on " << text::debug_quote(c.input);
}

INSTANTIATE_TEST_SUITE_P(
    Reference, NormalizeCases,
    ::testing::Values(
        Case{"", ""},
        Case{" .,;/()'`\t\n\r\x7F\xCC\x81", ""},  // only separators and a lone combining acute
        Case{"  Rue   de l'\xC3\x89glise  ", "rue de l eglise"},
        Case{"Saint-Denis", "saint denis"},
        Case{"12-14 Rue X", "12 rue x"},
        Case{"b\xC3\xA2t. B-3", "bat b3"},
        Case{"75001Paris", "75001 paris"},
        Case{"1234\xC3\x84", "1234 a"},
        Case{"123\xC3\x84", "123a"},
        Case{"Stra\xC3\x9F" "e", "stra\xC3\x9F" "e"},
        Case{"\xC4\x90" "akovo", "dakovo"},
        Case{"\xC5\x81\xC3\xB3" "d\xC5\xBA", "\xC5\x82odz"},
        Case{"\xD0\x81\xD0\x9B\xD0\x9A\xD0\x98\xD0\x9D \xD0\x99\xD0\x9E\xD0\xA8\xD0\x9A\xD0\x90\xD0\xA0-"
             "\xD0\x9E\xD0\x9B\xD0\x90",
             "\xD0\xB5\xD0\xBB\xD0\xBA\xD0\xB8\xD0\xBD \xD0\xB8\xD0\xBE\xD1\x88\xD0\xBA\xD0\xB0\xD1\x80 "
             "\xD0\xBE\xD0\xBB\xD0\xB0"},
        Case{"A&B #5", "a&b #5"}));

INSTANTIATE_TEST_SUITE_P(
    Hyphens, NormalizeCases,
    ::testing::Values(
        Case{"AB-12", "ab 12"},                 // a word before the number: two tokens
        Case{"B-12", "b12"},                    // a lone letter joins the number
        Case{"bloc B-12", "bloc b12"},
        Case{"(B-12)", "b12"},                  // punctuation before the letter counts as a boundary
        Case{"10-12", "10"},                    // range: first number only
        Case{"10-12a", "10a"},
        Case{"1-2-3", "1"},                     // the dropped run still neighbours the next hyphen
        Case{"10-12 rue", "10 rue"},
        Case{"10-12-a", "10 a"},
        Case{"-12", "12"},                      // first position: copied, then a separator
        Case{"12-", "12"},                      // last position
        Case{"-", ""},
        Case{"B-", "b"},
        Case{"--12", "12"},
        Case{"12-B", "12 b"},                   // letter after the hyphen: no rule applies
        Case{"B-x", "b x"},
        Case{"1 -2", "1 2"},
        Case{"\xC3\xA9-12", "e12"},             // precomposed letter at position 0 stands alone
        Case{"x\xC3\xA9-12", "xe 12"},          // ... but not after another letter
        Case{"\xC2\xA9" "B-1", "\xC2\xA9" "b1"},  // U+00A9 never counts as alphanumeric
        Case{"\xC2\xAA" "B-1", "\xC2\xAA" "b 1"},  // U+00AA is Alphabetic
        Case{"\xC2\xB2" "B-1", "\xC2\xB2" "b 1"},  // U+00B2 is Numeric
        Case{"\xD9\xA1-\xD9\xA2", "\xD9\xA1 \xD9\xA2"},  // only ASCII digits make a range
        Case{"1-\xD9\xA2", "1 \xD9\xA2"},
        Case{"\xD0\x96-5", "\xD0\xB6" "5"},     // Cyrillic lone letter
        Case{"e\xCC\x81-12", "e 12"}));         // a combining mark is not a letter

INSTANTIATE_TEST_SUITE_P(
    DigitLetterSplit, NormalizeCases,
    ::testing::Values(
        Case{"75001paris", "75001 paris"},
        Case{"123bis", "123bis"},
        Case{"4b", "4b"},
        Case{"1234b", "1234 b"},
        Case{"12345 Paris", "12345 paris"},
        Case{"1234\xD0\x96", "1234 \xD0\xB6"},   // Alphabetic outside ASCII
        Case{"1234\xC4\x90", "1234 d"},          // the d from U+0110 is a letter too
        Case{"1234\xC2\xB2", "1234\xC2\xB2"},    // superscript two is no letter
        Case{"1234&b", "1234&b"},
        Case{"12 34b", "12 34b"},                 // a space restarts the count
        Case{"\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4" "a", "\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4" "a"},
        Case{"1234-5678Paris", "1234 paris"},
        Case{"1234.", "1234"}));

INSTANTIATE_TEST_SUITE_P(
    Letters, NormalizeCases,
    ::testing::Values(
        Case{"\xC4\xB0stanbul", "istanbul"},            // U+0130: i + U+0307, mark dropped
        Case{"\xC4\x91" "ur\xC4\x91" "evac", "durdevac"},  // U+0111
        Case{"\xED\x95\x9C\xEA\xB5\xAD",                // Hangul syllables to conjoining jamo
             "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB\xE1\x84\x80\xE1\x85\xAE\xE1\x86\xA8"},
        Case{"\xD0\x99\xD0\xBE\xD1\x88\xD0\xBA\xD0\xB0\xD1\x80", "\xD0\xB8\xD0\xBE\xD1\x88\xD0\xBA\xD0\xB0\xD1\x80"},
        Case{"\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0", "\xD0\xB5\xD0\xBB\xD0\xBA\xD0\xB0"},  // ё
        Case{"\xD0\x87\xD0\xB6\xD0\xB0\xD0\xBA\xD0\xB8\xD0\xB2", "\xD1\x96\xD0\xB6\xD0\xB0\xD0\xBA\xD0\xB8\xD0\xB2"},  // Ї
        Case{"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x83"},  // no final-sigma context
        Case{"\xE1\xBA\x9E", "\xC3\x9F"},               // capital sharp s lowers, no expansion
        Case{"\xC3\x86\xC3\x98\xC5\x92 \xC4\xB1 \xEF\xAC\x81", "\xC3\xA6\xC3\xB8\xC5\x93 \xC4\xB1 \xEF\xAC\x81"},
        Case{"\xEF\xBC\xA1\xEF\xBC\x91", "\xEF\xBD\x81\xEF\xBC\x91"},  // full-width: lowered, not decomposed
        Case{"\xE2\x84\xAA", "k"},                      // KELVIN SIGN lowers to k
        Case{"\xE2\x84\xAB", "a"},                      // ANGSTROM SIGN lowers to a-ring
        Case{"\xCD\xBE", ""},                           // GREEK QUESTION MARK decomposes to ';'
        Case{"a\xCD\xBE" "b", "a b"},
        Case{"a\xE1\xBF\xAF" "b", "a b"},               // GREEK VARIA decomposes to '`'
        Case{"\xEF\xA4\x80", "\xE8\xB1\x88"}));          // CJK compatibility ideograph, canonical singleton

INSTANTIATE_TEST_SUITE_P(
    KeptPunctuation, NormalizeCases,
    ::testing::Values(
        Case{"a!\"#$%&*+:<=>?@[\\]^_{|}~b", "a!\"#$%&*+:<=>?@[\\]^_{|}~b"},
        Case{"a\xE2\x80\x93" "b\xE2\x80\x94" "c", "a\xE2\x80\x93" "b\xE2\x80\x94" "c"},  // en, em dash
        Case{"\xE2\x80\x9C" "a\xE2\x80\x9D \xC2\xAB" "b\xC2\xBB", "\xE2\x80\x9C" "a\xE2\x80\x9D \xC2\xAB" "b\xC2\xBB"},
        Case{"\xE2\x80\x9A", "\xE2\x80\x9A"},           // U+201A, beside the typographic apostrophes
        Case{"\xE2\x86\x8F", "\xE2\x86\x8F"},           // U+218F, just before the arrows
        Case{"\xE2\xB0\xB0", "\xE2\xB0\xB0"},           // U+2C30, just after the symbols
        Case{"\xF0\x9E\xBF\xBF", "\xF0\x9E\xBF\xBF"},   // U+1EFFF, just before the emoji planes
        Case{"\xF0\xA0\x80\x80", "\xF0\xA0\x80\x80"}));  // U+20000

// Each row of the separator table: a member between two letters turns into a
// single space.
TEST(NormalizeSeparators, EveryTableRangeSeparatesWords) {
    const std::vector<std::pair<char32_t, char32_t>> ranges = {
        {0x20, 0x20}, {0x27, 0x29}, {0x2C, 0x2F}, {0x3B, 0x3B}, {0x60, 0x60},
        {0x00, 0x1F}, {0x7F, 0x7F}, {0x80, 0x9F},
        {0x2BB, 0x2BC}, {0x2018, 0x2019},
        {0xA0, 0xA0}, {0x1680, 0x1680}, {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F},
        {0x205F, 0x205F}, {0x3000, 0x3000},
        {0x200B, 0x200F}, {0x2028, 0x202E},
        {0x2190, 0x2BFF},
        {0x1F000, 0x1FFFF},
    };
    // Decomposition comes before classification, so members whose canonical
    // decomposition leaves the blocks are judged by what they decompose to:
    // three are an ASCII character plus a combining overlay (a mark), two are
    // singletons to the CJK angle brackets.
    const std::map<char32_t, std::string> decomposed = {
        {0x2260, "a=b"}, {0x226E, "a<b"}, {0x226F, "a>b"},
        {0x2329, "a\xE3\x80\x88" "b"}, {0x232A, "a\xE3\x80\x89" "b"}};
    for (const auto& [c, expected] : decomposed) EXPECT_EQ(normalize("a" + utf8(c) + "b"), expected);
    for (auto [lo, hi] : ranges) {
        for (char32_t c = lo; c <= hi; ++c) {
            if (decomposed.contains(c)) continue;
            ASSERT_EQ(normalize("a" + utf8(c) + "b"), "a b") << std::hex << "U+" << unsigned(c);
            ASSERT_EQ(normalize("a" + utf8(c) + utf8(c) + " " + utf8(c) + "b"), "a b")
                << std::hex << "U+" << unsigned(c);
            ASSERT_EQ(normalize(utf8(c) + "a" + utf8(c)), "a") << std::hex << "U+" << unsigned(c);
        }
    }
}

// Variation selectors are listed among the separators but are marks, and marks
// go before separators are looked at: they vanish without splitting a word.
TEST(NormalizeSeparators, VariationSelectorsVanishAsMarks) {
    for (char32_t c = 0xFE00; c <= 0xFE0F; ++c)
        EXPECT_EQ(normalize("a" + utf8(c) + "b"), "ab") << std::hex << unsigned(c);
    // An emoji with its presentation selector is still one separator.
    EXPECT_EQ(normalize("a\xF0\x9F\x8F\xA0\xEF\xB8\x8F" "b"), "a b");
}

TEST(NormalizeInvalidUtf8, ReadsEachBadSequenceAsReplacementCharacter) {
    const std::vector<std::string> bad = {
        "a\xFF" "b", "\xC3", "Stra\xC3", "\xE2\x82", "\xF0\x9F\x8F", "\xED\xA0\x80",
        "\xC0\xAF", "B-\x80" "12", "12-\xFE" "3", "\xF4\x90\x80\x80", std::string("a\0b", 3),
    };
    for (const std::string& s : bad) {
        const std::string out = normalize(s);
        EXPECT_EQ(out, normalize(text::lossy_utf8(s))) << text::debug_quote(s);
        EXPECT_EQ(testing::normal_form_fault(out), "") << text::debug_quote(s);
    }
    EXPECT_EQ(normalize("a\xFF" "B"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(normalize("\xC3"), "\xEF\xBF\xBD");

    std::mt19937 rng(7);
    for (int iter = 0; iter < 20000; ++iter) {
        std::string s(rng() % 16, '\0');
        for (char& ch : s) ch = static_cast<char>(rng() % 4 ? 0x80 + rng() % 0x80 : rng() % 0x80);
        const std::string out = normalize(s);
        ASSERT_EQ(out, normalize(text::lossy_utf8(s))) << text::debug_quote(s);
        ASSERT_EQ(testing::normal_form_fault(out), "") << text::debug_quote(s);
    }
}

TEST(NormalizeProperties, RealAddressNames) {
    const auto names = testing::address_names(TW_TEST_DATA_DIR);
    if (names.empty()) GTEST_SKIP() << "no address data under " << TW_TEST_DATA_DIR;
    size_t changed = 0;
    for (const std::string& name : names) {
        const std::string out = normalize(name);
        ASSERT_EQ(testing::normal_form_fault(out), "") << text::debug_quote(name) << " -> "
                                                       << text::debug_quote(out);
        ASSERT_EQ(normalize(out), out) << text::debug_quote(name);
        changed += out != name;
    }
    // Names are mostly capitalised, so nearly all of them must change.
    EXPECT_GT(changed, names.size() / 2);
}

// Random strings over characters that exercise every branch: hyphens next to
// digits and letters, separators of each kind, marks, case pairs, characters
// with multi-character folds, Hangul, invalid bytes.
TEST(NormalizeProperties, RandomStrings) {
    const std::vector<std::string> atoms = {
        "-", "-", "-", "0", "1", "9", "4", "a", "B", "z", " ", " ", ".", "'", ",", "/", "\t",
        "&", "#", "\x7F", "\x01", utf8(0x85), utf8(0xA0), utf8(0xA9), utf8(0xAA), utf8(0xB2),
        utf8(0xC4), utf8(0xDF), utf8(0x130), utf8(0x110), utf8(0x111), utf8(0x301), utf8(0x345),
        utf8(0x37E), utf8(0x3A3), utf8(0x401), utf8(0x419), utf8(0x407), utf8(0x660), utf8(0x1FEF),
        utf8(0x1E9E), utf8(0x200B), utf8(0x2019), utf8(0x2028), utf8(0x2126), utf8(0x212A),
        utf8(0x2190), utf8(0x2BFF), utf8(0x2160), utf8(0x3000), utf8(0xAC00), utf8(0xD7A3),
        utf8(0xF900), utf8(0xFB01), utf8(0xFE0F), utf8(0xFF21), utf8(0x1F3E0), utf8(0x1D15E),
        utf8(0x10400), "\xFF", "\xC3", "\xE2\x82",
    };
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> len(0, 24), pick(0, atoms.size() - 1);
    std::uniform_int_distribution<uint32_t> any_cp(0x80, 0x10FFFF);
    for (int iter = 0; iter < 50000; ++iter) {
        std::string s;
        for (size_t n = len(rng); n > 0; --n) {
            if (rng() % 8 == 0) {
                char32_t c = any_cp(rng);
                if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
                s += utf8(c);
            } else {
                s += atoms[pick(rng)];
            }
        }
        const std::string out = normalize(s);
        ASSERT_EQ(testing::normal_form_fault(out), "") << text::debug_quote(s) << " -> "
                                                       << text::debug_quote(out);
        ASSERT_EQ(normalize(out), out) << text::debug_quote(s);
    }
}

}  // namespace
}  // namespace tarnwik::norm
