#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "query/field_settings.hpp"
#include "rules/rules.hpp"

namespace tarnwik {
namespace {

using namespace query;

TEST(FieldSettings, NumbersAreDigitsWithAnOptionalPlus) {
    struct Case {
        const char* text;
        std::optional<uint64_t> value;
    };
    for (const Case& c : std::vector<Case>{{"7", 7},
                                           {"+4", 4},
                                           {"007", 7},
                                           {"0", 0},
                                           {"18446744073709551615", 18446744073709551615ull},
                                           {"18446744073709551616", std::nullopt},
                                           {"", std::nullopt},
                                           {"+", std::nullopt},
                                           {"-", std::nullopt},
                                           {"-4", std::nullopt},
                                           {"++4", std::nullopt},
                                           {" 4", std::nullopt},
                                           {"4 ", std::nullopt},
                                           {"4x", std::nullopt},
                                           {"٤", std::nullopt}})
        EXPECT_EQ(setting_number(c.text), c.value) << c.text;
}

TEST(FieldSettings, ReadFromTheRulesOptions) {
    Rules r = rules::defaults();
    EXPECT_FALSE(field_settings(r).enabled);
    r.add(rules::kOptions, "enabled", "true");
    EXPECT_FALSE(field_settings(r).enabled) << "only \"1\" turns the settings on";
    r.add(rules::kOptions, "enabled", "1");
    r.add(rules::kOptions, "regions", " sp\tRJ  Éx ");
    r.add(rules::kOptions, "forms", "hyphen commas");
    r.add(rules::kOptions, "postal_digits", "+8");
    r.add(rules::kOptions, "postal_split", "5x");
    const FieldSettings s = field_settings(r);
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.postal_digits, 8u);
    EXPECT_EQ(s.postal_split, std::nullopt) << "a malformed number counts as missing";
    EXPECT_TRUE(s.has_form("hyphen"));
    EXPECT_FALSE(s.has_form("comma")) << "forms are whole words";
    EXPECT_TRUE(s.is_region("SP"));
    EXPECT_TRUE(s.is_region("rj"));
    EXPECT_TRUE(s.is_region("Éx"));
    EXPECT_FALSE(s.is_region("éx")) << "only ASCII letters fold";
    EXPECT_FALSE(s.is_region("s"));
    EXPECT_FALSE(s.is_region(""));
}

TEST(FieldSettings, FieldsSplitAtEveryCommaAndKeepEmptyOnes) {
    EXPECT_EQ(split_fields("Rua Nova 12 ,\u00a0 Braga,, LX "),
              (std::vector<std::string_view>{"Rua Nova 12", "Braga", "", "LX"}));
    EXPECT_EQ(split_fields(""), (std::vector<std::string_view>{""}));
    EXPECT_EQ(split_white("\u2003a  b\tc\u00a0"), (std::vector<std::string_view>{"a", "b", "c"}));
    EXPECT_EQ(trim_white("\u3000 x y \u2029"), "x y");
    // A byte that is not UTF-8 is not white space and is kept.
    EXPECT_EQ(trim_white(" \xff "), "\xff");
}

TEST(FieldSettings, PostcodeFields) {
    struct Case {
        const char* field;
        uint64_t digits, split;
        bool postcode;
    };
    for (const Case& c : std::vector<Case>{{"1000205", 7, 4, true},
                                           {"1000-205", 7, 4, true},
                                           {"100-0205", 7, 4, false},
                                           {"1000 205", 7, 4, false},
                                           {"10002055", 7, 4, false},
                                           {"1000-205", 7, 7, false},  // no split: only the bare digits
                                           {"1000205", 7, 7, true},
                                           {"28013", 5, 0, true},
                                           {"-28013", 5, 0, true},
                                           {"2801", 5, 0, false},
                                           {"28013 Madrid", 5, 0, false}})
        EXPECT_EQ(is_postcode_field(c.field, c.digits, c.split), c.postcode) << c.field;
}

TEST(FieldSettings, HouseNumberTokens) {
    for (const char* yes : {"1", "12345", "12b", "7Z"}) EXPECT_TRUE(is_house_number_token(yes)) << yes;
    for (const char* no : {"", "123456", "12bc", "b12", "12-3", "12 b", "12é", "١٢"})
        EXPECT_FALSE(is_house_number_token(no)) << no;
}

TEST(FieldSettings, LocalityText) {
    for (const char* yes : {"Lisboa", "Vila Nova de Gaia", "L'Aquila", "Sant’Anna", "Saint-Étienne", "Москва"})
        EXPECT_TRUE(is_locality_text(yes, false)) << yes;
    for (const char* no : {"", " ", "'-", "Springfield 2", "Lisboa (centro)", "Lisboa.", "\xff"})
        EXPECT_FALSE(is_locality_text(no, true)) << no;
    // A letter written with a combining accent is one letter once composed.
    EXPECT_TRUE(is_locality_text("Sa\u0303o Paulo", true));
    EXPECT_FALSE(is_locality_text("Sa\u0303o Paulo", false));
}

}  // namespace
}  // namespace tarnwik
