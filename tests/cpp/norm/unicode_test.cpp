#include <gtest/gtest.h>

#include <unicode/uchar.h>

#include <initializer_list>
#include <string>

#include "norm/normal_form.hpp"
#include "norm/norm.hpp"
#include "norm/unicode.hpp"
#include "util/text.hpp"

namespace tarnwik::norm::ucd {
namespace {

CodePoints cps(std::initializer_list<char32_t> l) {
    CodePoints out;
    for (char32_t c : l) out.cp[out.size++] = c;
    return out;
}

std::string utf8(char32_t c) {
    std::string s;
    text::append_utf8(s, c);
    return s;
}

TEST(UcdMappings, LowerFullIsContextFreeAndFull) {
    EXPECT_EQ(lower_full(0x130), cps({U'i', 0x307}));  // the one unconditional expansion
    EXPECT_EQ(lower_full(U'A'), cps({U'a'}));
    EXPECT_EQ(lower_full(U'a'), cps({U'a'}));
    EXPECT_EQ(lower_full(0x3A3), cps({0x3C3}));         // never the final form
    EXPECT_EQ(lower_full(0x1E9E), cps({0xDF}));
    EXPECT_EQ(lower_full(0x110), cps({0x111}));
    EXPECT_EQ(lower_full(U'I'), cps({U'i'}));           // no Turkish dotless i
    EXPECT_EQ(lower_full(0xD800), cps({0xD800}));       // not a scalar value: unchanged
}

TEST(UcdMappings, NfdDecomposesFullyIncludingHangul) {
    EXPECT_EQ(nfd(0xE9), cps({U'e', 0x301}));
    EXPECT_EQ(nfd(0x1F82), cps({0x3B1, 0x313, 0x300, 0x345}));  // recursive decomposition
    EXPECT_EQ(nfd(0xAC00), cps({0x1100, 0x1161}));               // LV syllable
    EXPECT_EQ(nfd(0xD55C), cps({0x1112, 0x1161, 0x11AB}));       // LVT syllable
    EXPECT_EQ(nfd(0x212B), cps({U'A', 0x30A}));                  // singleton, then further
    EXPECT_EQ(nfd(0xFB01), cps({0xFB01}));                       // compatibility only: none
    EXPECT_EQ(nfd(U'a'), cps({U'a'}));
}

TEST(UcdProperties, SampleCharacters) {
    for (char32_t c : {U'a', U'Z', char32_t{0xAA}, char32_t{0x416}, char32_t{0x345}, char32_t{0x4E00}})
        EXPECT_TRUE(is_alphabetic(c)) << std::hex << unsigned(c);
    for (char32_t c : {U'1', U'-', char32_t{0xA9}, char32_t{0x301}, char32_t{0x110000}})
        EXPECT_FALSE(is_alphabetic(c)) << std::hex << unsigned(c);

    // General Category N*, not the wider Numeric_Type property: the CJK
    // numeral U+5341 has a numeric value but is a letter.
    for (char32_t c : {U'5', char32_t{0xB2}, char32_t{0xBD}, char32_t{0x661}, char32_t{0x2160}})
        EXPECT_TRUE(is_numeric(c)) << std::hex << unsigned(c);
    for (char32_t c : {U'a', char32_t{0x5341}, char32_t{0xB1}})
        EXPECT_FALSE(is_numeric(c)) << std::hex << unsigned(c);

    for (char32_t c : {U' ', U'\t', char32_t{0x85}, char32_t{0xA0}, char32_t{0x2029}, char32_t{0x3000}})
        EXPECT_TRUE(is_white_space(c)) << std::hex << unsigned(c);
    for (char32_t c : {U'a', char32_t{0x200B}, char32_t{0x180E}})
        EXPECT_FALSE(is_white_space(c)) << std::hex << unsigned(c);

    for (char32_t c : {char32_t{0x301}, char32_t{0x903}, char32_t{0x20DD}, char32_t{0xFE0F}})
        EXPECT_TRUE(is_mark(c)) << std::hex << unsigned(c);
    for (char32_t c : {U'a', char32_t{0x2BC}, char32_t{0x110000}})
        EXPECT_FALSE(is_mark(c)) << std::hex << unsigned(c);
}

TEST(UcdFold, SampleCharacters) {
    EXPECT_EQ(folded(U'a'), std::nullopt);
    EXPECT_EQ(folded(0x111), std::nullopt);  // d with stroke has no decomposition
    EXPECT_EQ(folded(0x110), utf8(0x111));
    EXPECT_EQ(folded(U'A'), "a");
    EXPECT_EQ(folded(0xC9), "e");
    EXPECT_EQ(folded(0x130), "i");
    EXPECT_EQ(folded(0x301), "");
    EXPECT_EQ(folded(0xAC00), utf8(0x1100) + utf8(0x1161));
    EXPECT_EQ(folded(0x110000), std::nullopt);
}

// The compressed table must agree with ICU for every code point.
TEST(UcdProperties, TableAgreesWithIcuEverywhere) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        const auto u = static_cast<UChar32>(c);
        const int8_t gc = u_charType(u);
        ASSERT_EQ(is_alphabetic(c), bool(u_hasBinaryProperty(u, UCHAR_ALPHABETIC))) << std::hex << unsigned(c);
        ASSERT_EQ(is_white_space(c), bool(u_hasBinaryProperty(u, UCHAR_WHITE_SPACE))) << std::hex << unsigned(c);
        ASSERT_EQ(is_mark(c), gc == U_NON_SPACING_MARK || gc == U_COMBINING_SPACING_MARK || gc == U_ENCLOSING_MARK)
            << std::hex << unsigned(c);
        ASSERT_EQ(is_numeric(c), gc == U_DECIMAL_DIGIT_NUMBER || gc == U_LETTER_NUMBER || gc == U_OTHER_NUMBER)
            << std::hex << unsigned(c);
    }
}

// Every single character normalises to a valid normal form that is a fixed
// point: no fold leaves an upper-case letter, a mark or a character that
// would fold again.
TEST(UcdFold, EveryCharacterNormalisesToAFixedPoint) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const std::string in = "x" + utf8(c) + "1";
        const std::string out = normalize(in);
        ASSERT_EQ(testing::normal_form_fault(out), "") << std::hex << "U+" << unsigned(c);
        ASSERT_EQ(normalize(out), out) << std::hex << "U+" << unsigned(c);
    }
}

}  // namespace
}  // namespace tarnwik::norm::ucd
