#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "query/keys.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace tarnwik::query {
namespace {

struct TextCase {
    const char* input;
    const char* expected;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << text::debug_quote(c.input); }

// ---------------------------------------------------------------------------
// fold_units (inputs are normalised, as callers hand them in)

class FoldUnits : public ::testing::TestWithParam<TextCase> {};

TEST_P(FoldUnits, Folds) {
    const TextCase& c = GetParam();
    EXPECT_EQ(fold_units(c.input), c.expected) << "input " << text::debug_quote(c.input);
}

INSTANTIATE_TEST_SUITE_P(
    Reference, FoldUnits,
    ::testing::Values(TextCase{"ленина д 10 кв 5", "ленина 10"},
                      TextCase{"ленина 10 корпус 2", "ленина 10 к2"},
                      TextCase{"ленина 10 стр 3 кв 12", "ленина 10 с3"},
                      TextCase{"ленина 10 литера а", "ленина 10 а"},
                      TextCase{"московская обл химки ленина 5", "химки ленина 5"},
                      TextCase{"chez dupont 12 rue x", "dupont 12 rue x"},
                      TextCase{"12 rue x 75001 paris cedex 01", "12 rue x 75001 paris"},
                      TextCase{"12 rue x tel 0601", "12 rue x"},
                      TextCase{"via roma 5 scala b", "via roma 5"},
                      TextCase{"corso italia 5", "corso italia 5"},
                      TextCase{"5 rue de france paris", "5 rue de france paris"},
                      TextCase{"5 rue de france", "5 rue de"},
                      TextCase{"dorpsstraat 3 hoog", "dorpsstraat 3"},
                      TextCase{"12 rue x bat a", "12 rue x"},
                      TextCase{"", ""}));

INSTANTIATE_TEST_SUITE_P(
    HouseAndBuildingWords, FoldUnits,
    ::testing::Values(TextCase{"ленина дом 7", "ленина 7"},
                      TextCase{"navoiy kochasi uy 7", "navoiy kochasi 7"},
                      TextCase{"ленина д", "ленина д"},        // no number after it: a letter, not a house word
                      TextCase{"д ленина 5", "д ленина 5"},
                      TextCase{"корпус 2 ленина 10", "2 ленина 10"},  // before the house number only the word goes
                      TextCase{"ленина 10 к 2", "ленина 10 к2"},
                      TextCase{"ленина 10 копр 2", "ленина 10 к2"},
                      TextCase{"ленина 10 строение 4", "ленина 10 с4"},
                      TextCase{"ленина 10 владение 5", "ленина 10 вл5"},
                      TextCase{"ленина 10 влад 5a", "ленина 10 влад 5a"},  // the value must be all digits
                      TextCase{"строителеи стр", "строителеи стр"},
                      TextCase{"ленина 10 лит б", "ленина 10 б"},
                      TextCase{"ленина 10 литера аб", "ленина 10 литера аб"},
                      TextCase{"ленина 10 лит", "ленина 10 лит"}));

INSTANTIATE_TEST_SUITE_P(
    Tails, FoldUnits,
    ::testing::Values(TextCase{"ленина 5 тел 89991234567", "ленина 5"},
                      TextCase{"ленина 5 +79991234567 офис", "ленина 5"},
                      TextCase{"12 rue x phone", "12 rue x"},
                      TextCase{"+33 1 2 3", ""},
                      TextCase{"12 chez dupont", "12 chez dupont"},  // chez only as the very first word
                      TextCase{"paris cedex", "paris"},
                      TextCase{"paris cedex 123", "paris 123"},
                      TextCase{"москва г москва ленина 5", "москва москва ленина 5"},
                      TextCase{"химки раион ленина 5", "ленина 5"},
                      TextCase{"одинцовскии р н ленина 5", "ленина 5"},  // "р-н" is two words once normalised
                      TextCase{"обл ленина 5", "ленина 5"},
                      TextCase{"ленина 5 москва россия", "ленина 5 москва"},
                      TextCase{"россия ленина 5", "ленина 5"},
                      TextCase{"via italia 5", "via italia 5"},
                      TextCase{"piazza italia 5", "piazza 5"},
                      TextCase{"rue du france", "rue du"},  // kept in the loop, then a trailing country word
                      TextCase{"via di italia", "via di"},
                      TextCase{"via italia", "via italia"},  // two tokens: the trailing removal needs three
                      TextCase{"5 rue de russie", "5 rue de russie"},
                      TextCase{"5 rue x russia europe", "5 rue x"}));

INSTANTIATE_TEST_SUITE_P(
    AfterTheHouseNumber, FoldUnits,
    ::testing::Values(TextCase{"ленина 5 ii", "ленина 5"},
                      TextCase{"ii ленина 5", "ii ленина 5"},
                      TextCase{"ленина 5 x ii", "ленина 5 x ii"},  // only right after a number
                      TextCase{"ulica 5 novi grad", "ulica 5 novi"},
                      TextCase{"novi grad ulica 5", "novi grad ulica 5"}));

INSTANTIATE_TEST_SUITE_P(
    Units, FoldUnits,
    ::testing::Values(TextCase{"ленина 5 кв 12 эт 3", "ленина 5"},
                      TextCase{"ленина 5 оф iv", "ленина 5"},
                      TextCase{"ленина 5 кв а", "ленина 5 кв а"},  // a letter is no flat number here
                      TextCase{"via roma 5 int 3", "via roma 5"},
                      TextCase{"via del piano", "via del piano"},  // a street word when nothing follows
                      TextCase{"12 rue x apt 4b", "12 rue x apt 4b"},
                      TextCase{"12 rue x app 3", "12 rue x"},
                      TextCase{"12 rue x bat ab", "12 rue x bat ab"},
                      TextCase{"12 rue x appartement", "12 rue x appartement"},  // no value: a name word
                      TextCase{"dorpsstraat 12 verdieping 3", "dorpsstraat 12"},
                      TextCase{"etage 2 rue x 5", "rue x 5"},
                      TextCase{"dorpsstraat 3 hoog a", "dorpsstraat a"},  // the number before was the floor
                      TextCase{"hoog straat 5", "hoog straat 5"},
                      TextCase{"via roma 5 sc a", "via roma 5"},
                      TextCase{"via roma 5 scala 12", "via roma 5 scala 12"},
                      TextCase{"gebouw ß 5", "5"},
                      TextCase{"12 rue x porte gauche", "12 rue x"},
                      TextCase{"12 rue x porte 3", "12 rue x"},
                      TextCase{"porte maillot 5", "porte maillot 5"}));

TEST(FoldUnitsRules, ReadsTheCurrentRules) {
    Rules r = rules::defaults();
    r.add(rules::kCityMarkers, "zz", "");
    r.add(rules::kCountryWords, "zeeland", "");
    EXPECT_EQ(fold_units("zz dorpsstraat 5 zeeland"), "zz dorpsstraat 5 zeeland");
    rules::ScopedCurrent scope(r);
    EXPECT_EQ(fold_units("zz dorpsstraat 5 zeeland"), "dorpsstraat 5");
}

TEST(FoldUnitsRules, TwoWordEntriesTakeBothWords) {
    Rules r = rules::defaults();
    r.add(rules::kCountryNames, "sri lanka", "");
    r.add(rules::kCountryWords, "great britain", "");
    rules::ScopedCurrent scope(r);
    EXPECT_EQ(fold_units("galle road 5 sri lanka"), "galle road 5");
    EXPECT_EQ(fold_units("high street 5 great britain"), "high street 5");
    EXPECT_EQ(fold_units("britain 5"), "britain 5");
}

// ---------------------------------------------------------------------------
// prepared_query_key (raw input)

class PreparedKey : public ::testing::TestWithParam<TextCase> {};

TEST_P(PreparedKey, Keys) {
    const TextCase& c = GetParam();
    EXPECT_EQ(prepared_query_key(c.input), c.expected) << "input " << text::debug_quote(c.input);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreparedKey,
    ::testing::Values(TextCase{"P.zza Garibaldi 3", "piazza garibaldi 3"},
                      TextCase{"C.so Italia 5, Torino", "corso italia 5 torino"},
                      TextCase{"V.le Europa 12", "viale europa 12"},
                      TextCase{"12 V.le Europa", "12 viale europa"},  // v is no roman numeral here
                      TextCase{"C.so Italia 5", "corso italia 5"},  // italia follows corso, not so
                      TextCase{"пр-кт Мира 5", "проспект мира 5"},
                      TextCase{"Б-р Яна Райниса 4", "бульвар яна раиниса 4"},
                      TextCase{"Ivanov le 5", "ivanov le 5"},  // a short form is a whole word
                      TextCase{"via c so", "via c so"},        // and is followed by a space
                      TextCase{"p zza p zza 1", "piazza piazza 1"},
                      TextCase{"ул. лeнинa 5", "ул ленина 5"},  // Latin e and a inside Cyrillic
                      TextCase{"Ленина д. 10, кв. 5", "ленина 10"},
                      TextCase{"12 Rue X, 75001 PARIS CEDEX 01", "12 rue x 75001 paris"},
                      TextCase{"Rue de France", "rue de"},
                      TextCase{"", ""}));

TEST(PreparedKeyRules, AbbreviationsInListOrder) {
    Rules r = rules::defaults();
    r.add(rules::kAbbreviations, "bd", "boulevard");
    r.add(rules::kAbbreviations, "boulevard", "blvd");
    r.add(rules::kAbbreviations, "", "never");
    rules::ScopedCurrent scope(r);
    // Each pair works on the result of the ones before it.
    EXPECT_EQ(prepared_query_key("Bd Voltaire 5"), "blvd voltaire 5");
}

// ---------------------------------------------------------------------------
// street_key, unglue_variant

TEST(StreetKey, SortsTheNormalisedWords) {
    EXPECT_EQ(street_key("Rue Victor Hugo"), "hugo rue victor");
    EXPECT_EQ(street_key("victor hugo rue"), "hugo rue victor");
    EXPECT_EQ(street_key("b a  a-b"), "a a b b");
    EXPECT_EQ(street_key("Übung Zoo Ärger"), "arger ubung zoo");
    EXPECT_EQ(street_key("Ленина улица"), "ленина улица");  // byte order: л (D0 BB) before у (D1 83)
    EXPECT_EQ(street_key(""), "");
}

struct OptCase {
    const char* input;
    std::optional<std::string> expected;
};

void PrintTo(const OptCase& c, std::ostream* os) { *os << text::debug_quote(c.input); }

class Unglue : public ::testing::TestWithParam<OptCase> {};

TEST_P(Unglue, Splits) {
    const OptCase& c = GetParam();
    EXPECT_EQ(unglue_variant(c.input), c.expected) << "input " << text::debug_quote(c.input);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Unglue,
    ::testing::Values(OptCase{"ул5 ленина", "ул 5 ленина"},
                      OptCase{"ленина 5", std::nullopt},
                      OptCase{"d12", "d 12"},
                      OptCase{"rn1234 x", "rn 1234 x"},
                      OptCase{"abc12", std::nullopt},    // three letters
                      OptCase{"d12345", std::nullopt},   // five digits
                      OptCase{"d12a", std::nullopt},
                      OptCase{"12", std::nullopt},
                      OptCase{"é7", "é 7"},
                      OptCase{"d1  x ", "d 1 x"},  // empty pieces are skipped
                      OptCase{"a1 b2", "a 1 b 2"},
                      OptCase{"", std::nullopt}));

// ---------------------------------------------------------------------------
// Numbers

TEST(FrOrdinal, ReadsOrdinalTokens) {
    struct C {
        const char* token;
        std::optional<uint32_t> n;
    };
    for (const C& c : {C{"1er", 1}, C{"2e", 2}, C{"3eme", 3}, C{"12e", 12}, C{"21eme", 21}, C{"09e", 9},
                       C{"1re", std::nullopt}, C{"100e", std::nullopt}, C{"er", std::nullopt},
                       C{"eme", std::nullopt}, C{"e", std::nullopt}, C{"12", std::nullopt},
                       C{"1ere", std::nullopt}, C{"xe", std::nullopt}, C{"", std::nullopt}}) {
        EXPECT_EQ(fr_ordinal_number(c.token), c.n) << c.token;
    }
}

TEST(Lev, CountsScalarValueEdits) {
    EXPECT_EQ(lev("kitten", "sitting"), 3u);
    EXPECT_EQ(lev("flaw", "lawn"), 2u);
    EXPECT_EQ(lev("", "abc"), 3u);
    EXPECT_EQ(lev("abc", ""), 3u);
    EXPECT_EQ(lev("", ""), 0u);
    EXPECT_EQ(lev("same", "same"), 0u);
    EXPECT_EQ(lev("ленина", "ленин"), 1u);  // one character, two bytes
    EXPECT_EQ(lev("straße", "strasse"), 2u);
    EXPECT_EQ(lev(U"abcdef", U"azced"), 3u);
    EXPECT_EQ(lev(U"ab", U"ba"), 2u);  // no transposition
    // Longer texts: no bound is applied.
    EXPECT_EQ(lev(std::string(40, 'a'), std::string(10, 'b')), 40u);
}

TEST(FieldNumberUnlabel, StripsTheLabel) {
    for (const TextCase& c : {TextCase{"N\u00BA 12", "12"}, TextCase{"  n.\u00BA 5 ", "5"},
                              TextCase{"n\u00B0 7", "7"}, TextCase{"N.\u00BA12", "12"},
                              TextCase{"N\u00B0\u00A0\u00A03", "3"}, TextCase{"\u00A0n\u00BA\u00A012\u2003", "12"},
                              TextCase{"N\u00BA", ""}, TextCase{" 12 ", "12"}, TextCase{"No 12", "No 12"},
                              TextCase{"nº", ""}, TextCase{"calle nº 5", "calle nº 5"}, TextCase{"", ""},
                              TextCase{"\t\n", ""}}) {
        EXPECT_EQ(field_number_unlabel(c.input), c.expected) << text::debug_quote(c.input);
    }
    const std::string field = "  n\u00BA 9b ";
    const std::string_view v = field_number_unlabel(field);
    EXPECT_EQ(v.data(), field.data() + 6);  // a view into the field
}

TEST(NumericHousePrefix, LeadingDigits) {
    struct C {
        const char* text;
        std::optional<uint32_t> n;
    };
    for (const C& c : {C{"12bis", 12}, C{"b12", std::nullopt}, C{"4294967295", 4294967295u},
                       C{"4294967296", std::nullopt}, C{"99999999999999999999", std::nullopt}, C{"007", 7},
                       C{"0", 0}, C{"", std::nullopt}, C{" 12", std::nullopt}, C{"12 14", 12}}) {
        EXPECT_EQ(numeric_house_prefix(c.text), c.n) << c.text;
    }
}

// ---------------------------------------------------------------------------
// Word spellings

TEST(StreetWordSpellings, WordAndTransliterations) {
    using V = std::vector<std::string>;
    EXPECT_EQ(street_word_spellings("lenina"), (V{"lenina", "ленина"}));
    EXPECT_EQ(street_word_spellings("ленина"), (V{"ленина", "lenina"}));
    EXPECT_EQ(street_word_spellings("щукина"), (V{"щукина", "scukina"}));
    EXPECT_EQ(street_word_spellings("12a"), (V{"12a", "12а"}));
    EXPECT_EQ(street_word_spellings("ß12"), (V{"ß12"}));
    // street_types_other spellings are not looked up, the others still are.
    EXPECT_EQ(street_word_spellings("straat"), (V{"страат"}));
    EXPECT_EQ(street_word_spellings("улица"), (V{"улица"}));  // ulica is a street type
    // Not looked up at all.
    EXPECT_EQ(street_word_spellings("ab"), V{});
    EXPECT_EQ(street_word_spellings("аб"), V{});
    EXPECT_EQ(street_word_spellings("a&b"), V{});
    EXPECT_EQ(street_word_spellings("#12"), V{});
    EXPECT_EQ(street_word_spellings(""), V{});
}

TEST(WordKey, TildeAndPhoneticKey) {
    EXPECT_EQ(word_key("lenina"), "~linino");
    EXPECT_EQ(word_key("ленина"), "~linino");
    EXPECT_EQ(word_key("Hauptstraße"), "~hoptstroßi");
}

}  // namespace
}  // namespace tarnwik::query
