#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "norm/norm.hpp"
#include "util/text.hpp"

namespace tarnwik::norm {
namespace {

struct Case {
    const char* input;
    const char* expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << text::debug_quote(c.input); }

using Fn = std::string (*)(std::string_view);

// Every scalar value except the given ones, one after the other.
std::string all_scalars_except(std::u32string_view skip) {
    std::string s;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        if (skip.find(c) != std::u32string_view::npos) continue;
        text::append_utf8(s, c);
    }
    return s;
}

// ---------------------------------------------------------------------------
// fold_homoglyphs

class FoldHomoglyphs : public ::testing::TestWithParam<Case> {};

TEST_P(FoldHomoglyphs, FoldsOnlyMostlyCyrillicPieces) {
    const Case& c = GetParam();
    const std::string out = fold_homoglyphs(c.input);
    EXPECT_EQ(out, c.expected) << "input " << text::debug_quote(c.input);
    EXPECT_EQ(fold_homoglyphs(out), out) << "not idempotent on " << text::debug_quote(c.input);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FoldHomoglyphs,
    ::testing::Values(
        Case{"", ""},
        Case{"moskva", "moskva"},
        Case{"москва", "москва"},
        Case{"мocква", "москва"},              // Latin o and c among four Cyrillic letters
        Case{"мocквa", "мocквa"},              // three Latin, three Cyrillic: left alone
        Case{"ул лeнинa", "ул ленина"},        // only the piece with look-alikes changes
        Case{"ул  лeнинa ", "ул  ленина "},    // empty pieces keep the spacing
        Case{" лeнинa", " ленина"},
        Case{"moskva улица", "moskva улица"},  // a Latin word next to a Cyrillic one
        Case{"мOсква", "мOсква"},              // upper-case Latin stays, though it counts
        Case{"мOсkва", "мOсква"},
        Case{"дdом", "дdом"},                  // d has no look-alike
        Case{"abcehkmoptxyжжжжжжжжжжжжж", "авсенкмортхужжжжжжжжжжжжж"},
        Case{"abcehkmoptxyжжжжжжжжжжжж", "abcehkmoptxyжжжжжжжжжжжж"},
        Case{"ҳoҳ", "ҳоҳ"},                    // any letter of U+0400..U+04FF counts as Cyrillic
        Case{"12a-я", "12a-я"},                // digits and punctuation do not count
        Case{"ул. 1-я лeнинa, 12", "ул. 1-я ленина, 12"},
        Case{"мoре\tмoре", "море\tморе"}));   // only U+0020 splits

TEST(FoldHomoglyphs, InvalidBytesAreCopied) {
    EXPECT_EQ(fold_homoglyphs("\xFFмoре\xD0"), "\xFFморе\xD0");
    // A lone lead byte is not a Cyrillic letter: one Latin, one Cyrillic.
    EXPECT_EQ(fold_homoglyphs("\xD0o\xD0\xBC"), "\xD0o\xD0\xBC");
}

// ---------------------------------------------------------------------------
// Cyrillic to Latin

struct SchemeCase {
    const char* input;
    const char* south_slavic;
    const char* english;
};

void PrintTo(const SchemeCase& c, std::ostream* os) { *os << text::debug_quote(c.input); }

class CyrillicToLatin : public ::testing::TestWithParam<SchemeCase> {};

TEST_P(CyrillicToLatin, BothSchemes) {
    const SchemeCase& c = GetParam();
    const std::string lat = translit_cyr_lat(c.input);
    const std::string en = translit_cyr_lat_en(c.input);
    EXPECT_EQ(lat, c.south_slavic) << "translit_cyr_lat of " << text::debug_quote(c.input);
    EXPECT_EQ(en, c.english) << "translit_cyr_lat_en of " << text::debug_quote(c.input);
    EXPECT_EQ(translit_cyr_lat(lat), lat);
    EXPECT_EQ(translit_cyr_lat_en(en), en);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CyrillicToLatin,
    ::testing::Values(
        SchemeCase{"", "", ""},
        SchemeCase{"street 12", "street 12", "street 12"},
        SchemeCase{"абвгде", "abvgde", "abvgde"},
        SchemeCase{"ж", "\u017E", "zh"},
        SchemeCase{"зийклмнопрстуф", "ziйklmnoprstuf", "ziyklmnoprstuf"},
        SchemeCase{"х", "h", "h"},
        SchemeCase{"ц", "c", "ts"},
        SchemeCase{"ч", "\u010D", "ch"},
        SchemeCase{"ш", "\u0161", "sh"},
        SchemeCase{"щ", "\u0161\u010D", "shch"},
        SchemeCase{"аъбьв", "abv", "abv"},
        SchemeCase{"ыэюя", "iejuja", "ieyuya"},
        SchemeCase{"ё", "ё", "yo"},
        SchemeCase{"ђјљњћџ", "\u0111jljnj\u0107d\u017E", "ђјљњћџ"},
        SchemeCase{"ўғқҳҷ", "ўғқҳҷ", "ogqhj"},
        SchemeCase{"ѐѓєѕіїќѝ", "ѐѓєѕіїќѝ", "ѐѓєѕіїќѝ"},
        SchemeCase{"щука", "\u0161\u010Duka", "shchuka"},
        SchemeCase{"объезд", "obezd", "obezd"},
        SchemeCase{"џеп", "d\u017Eep", "џep"},
        SchemeCase{"ёлка", "ёlka", "yolka"},
        SchemeCase{"цой", "coй", "tsoy"},
        SchemeCase{"Москва", "Мoskva", "Мoskva"},  // capitals are not converted
        SchemeCase{"ул. 1-я лeнинa", "ul. 1-ja lenina", "ul. 1-ya lenina"}));

// After normalisation the two schemes differ only in the letters where their
// Latin spellings are really different, not merely in diacritics.
TEST(CyrillicToLatin, SchemesAgreeOnceNormalisedExceptWhereTheyDiffer) {
    const std::u32string_view differ = U"жчшщцйюяё";
    for (char32_t c : std::u32string_view(U"абвгдежзийклмнопрстуфхцчшщъыьэюяё")) {
        std::string s;
        text::append_utf8(s, c);
        const bool same = normalize(translit_cyr_lat(s)) == normalize(translit_cyr_lat_en(s));
        EXPECT_EQ(same, differ.find(c) == std::u32string_view::npos) << s;
    }
}

TEST(CyrillicToLatin, EveryOtherCharacterIsCopied) {
    const std::string others = all_scalars_except(
        U"абвгдежзийклмнопрстуфхцчшщъыьэюяё\u0452\u0458\u0459\u045A\u045B\u045F\u045E\u0493\u049B\u04B3\u04B7");
    EXPECT_TRUE(translit_cyr_lat(others) == others);
    EXPECT_TRUE(translit_cyr_lat_en(others) == others);
}

TEST(CyrillicToLatin, InvalidBytesAreCopied) {
    EXPECT_EQ(translit_cyr_lat_en("\xFFщ\xD0"), "\xFFshch\xD0");
    EXPECT_EQ(translit_cyr_lat_en("\xE0щ"), "\xE0shch");   // the lead byte before is not part of щ
    EXPECT_EQ(translit_cyr_lat("\xD1x\xD1\x89"), "\xD1x\u0161\u010D");
    EXPECT_EQ(translit_cyr_lat("\xD1"), "\xD1");
}

// ---------------------------------------------------------------------------
// Latin to Cyrillic

class LatinToCyrillic : public ::testing::TestWithParam<Case> {};

TEST_P(LatinToCyrillic, Converts) {
    const Case& c = GetParam();
    const std::string out = translit_lat_cyr(c.input);
    EXPECT_EQ(out, c.expected) << "input " << text::debug_quote(c.input);
    EXPECT_EQ(translit_lat_cyr(out), out) << "not idempotent on " << text::debug_quote(c.input);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LatinToCyrillic,
    ::testing::Values(
        Case{"", ""},
        Case{"12, 3", "12, 3"},
        Case{"abcdefghijklmnopqrstuvwxz", "абкдефгхийклмнопкрстуввхз"},
        Case{"shchuka", "щука"},
        Case{"schet", "щет"},
        Case{"zhuk khata chay shum", "жук хата чай шум"},
        Case{"yolka yug yama", "ёлка юг яма"},
        Case{"shc", "шк"},     // sh, then c
        Case{"sshch", "сщ"},
        Case{"khh", "хх"},
        Case{"tsar", "тсар"},  // no rule for ts
        Case{"moy", "мой"},
        Case{"ty", "ты"},
        Case{"y", "ы"},
        Case{"ay ey iy oy uy", "ай ей ий ой уй"},
        Case{"tyy", "тый"},    // ы is a vowel too
        Case{"yoy yuy yay", "ёй юй яй"},
        Case{"a y", "а ы"},    // a space in between
        Case{"аy", "ай"},      // a copied Cyrillic vowel counts
        Case{"Ay", "Aы"},      // an upper-case Latin vowel does not
        Case{"1y", "1ы"},
        Case{"Moskva", "Mосква"},
        Case{"SHCH Shch", "SHCH Sхч"},
        Case{"улица lenina", "улица ленина"}));

// A Russian name romanised in the English style reads back to itself when it
// has none of the letters that scheme spells ambiguously (ц ъ ь ы э, й before
// o u a, с or к before х).
TEST(LatinToCyrillic, ReadsBackEnglishStyleRomanisation) {
    for (const char* word : {"москва", "щукина", "ёлка", "жуковский", "чехов", "пушкинская", "маяковская",
                             "фрунзе", "юбилейная"}) {
        const std::string lat = translit_cyr_lat_en(word);
        EXPECT_EQ(translit_lat_cyr(lat), word) << "via " << lat;
    }
}

TEST(LatinToCyrillic, EveryOtherCharacterIsCopied) {
    const std::string others = all_scalars_except(U"abcdefghijklmnopqrstuvwxyz");
    EXPECT_TRUE(translit_lat_cyr(others) == others);
}

TEST(LatinToCyrillic, InvalidBytesAreCopied) {
    EXPECT_EQ(translit_lat_cyr("\xD0" "a\xFF" "y"), "\xD0" "а\xFF" "ы");
    EXPECT_EQ(translit_lat_cyr("s\xC3"), "с\xC3");
}


// ---------------------------------------------------------------------------
// Random mixed-script text, with invalid bytes: every function keeps the
// spacing, and on valid text gives a text it would leave as it is.

TEST(ScriptFunctions, RandomMixedText) {
    const std::vector<std::string> atoms = {
        "a", "b", "c", "e", "h", "k", "o", "s", "y", "z", "j", "t", "A", "S", "Y", " ", " ", "1", "-",
        "а", "е", "и", "о", "ы", "ё", "й", "щ", "ж", "ц", "ъ", "ь", "џ", "љ", "ў", "қ", "ѝ", "Щ", "М",
        "ž", "č", "\xD0", "\xD1", "\xFF", "\xE0", "\x80", "\xC3",
    };
    const Fn fns[] = {fold_homoglyphs, translit_cyr_lat, translit_cyr_lat_en, translit_lat_cyr};
    std::mt19937 rng(7);
    const size_t invalid = 6;  // the last atoms are not UTF-8; every other string leaves them out
    std::uniform_int_distribution<size_t> len(0, 20), pick(0, atoms.size() - 1),
        pick_valid(0, atoms.size() - 1 - invalid);
    for (int iter = 0; iter < 20000; ++iter) {
        std::string s;
        for (size_t n = len(rng); n > 0; --n) s += atoms[iter % 2 ? pick(rng) : pick_valid(rng)];
        for (Fn f : fns) {
            const std::string out = f(s);
            ASSERT_EQ(std::count(out.begin(), out.end(), ' '), std::count(s.begin(), s.end(), ' '))
                << text::debug_quote(s) << " -> " << text::debug_quote(out);
            // Dropping ъ or ь can join stray bytes around it into a letter,
            // so only valid text is sure to be left as it is.
            if (text::valid_utf8(s)) {
                ASSERT_EQ(f(out), out) << text::debug_quote(s) << " -> " << text::debug_quote(out);
            }
        }
    }
}

}  // namespace
}  // namespace tarnwik::norm
