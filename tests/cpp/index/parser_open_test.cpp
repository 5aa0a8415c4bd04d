// Opening sheets that carry a token labeller.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "sheet_fixture.hpp"

namespace tarnwik::testing {
namespace {

// "TWML", B, L, L biases, B·L weights; bias l = l, weight (l, b) = 0.5 · b.
std::string parser_section(uint32_t buckets, uint8_t labels) {
    std::string s = "TWML";
    s.append(reinterpret_cast<const char*>(&buckets), 4);
    s.push_back(static_cast<char>(labels));
    auto f32 = [&](float f) {
        const uint32_t bits = std::bit_cast<uint32_t>(f);
        s.append(reinterpret_cast<const char*>(&bits), 4);
    };
    for (uint8_t l = 0; l < labels; ++l) f32(static_cast<float>(l));
    for (uint8_t l = 0; l < labels; ++l)
        for (uint32_t b = 0; b < buckets; ++b) f32(0.5f * static_cast<float>(b));
    return s;
}

const std::string kMalformed = "{}: SEC_PARSER is present but malformed — corrupt/tampered sheet";

TEST(OpenParser, SheetWithoutSectionHasNoLabeller) {
    TempSheet t(write_or_die(small_spec()));
    auto idx = Index::open(t.path());
    ASSERT_TRUE(idx) << idx.error().message;
    EXPECT_EQ((*idx)->parser(), nullptr);
}

TEST(OpenParser, LabellerIsBuiltFromTheMappedSection) {
    build::SheetSpec spec = small_spec();
    spec.parser = parser_section(6, 3);
    TempSheet t(write_or_die(spec));
    auto idx = Index::open(t.path());
    ASSERT_TRUE(idx) << idx.error().message;
    const ml::Parser* p = (*idx)->parser();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->buckets(), 6u);
    EXPECT_EQ(p->labels(), 3);
    EXPECT_EQ(p->bias(2), 2.0f);
    EXPECT_EQ(p->weight(1, 5), 2.5f);
    // Label 2 has the highest bias and the same weights as the others.
    const std::vector<std::string> tokens = {"via", "roma", "3"};
    EXPECT_EQ(p->label(std::span<const std::string>(tokens)), (std::vector<uint8_t>{2, 2, 2}));

}

TEST(OpenParser, MalformedSectionRefusesTheSheet) {
    const std::string good = parser_section(4, 5);
    auto with_float = [&](size_t off, float f) {
        std::string s = good;
        std::memcpy(&s[off], &f, 4);
        return s;
    };
    std::string zero_b = good;
    std::memset(&zero_b[4], 0, 4);
    std::string zero_l = good;
    zero_l[8] = 0;
    std::string magic = good;
    magic[0] = 'X';

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"one byte short", good.substr(0, good.size() - 1)},
        {"one byte long", good + 'x'},
        {"header only", good.substr(0, 9)},
        {"shorter than a header", "TWML"},
        {"NaN weight", with_float(good.size() - 4, std::numeric_limits<float>::quiet_NaN())},
        {"infinite bias", with_float(9, std::numeric_limits<float>::infinity())},
        {"B = 0", zero_b},
        {"L = 0", zero_l},
        {"wrong magic", magic},
    };
    for (const auto& [what, bytes] : cases) {
        build::SheetSpec spec = small_spec();
        spec.parser = bytes;
        EXPECT_EQ(open_error(spec), kMalformed) << what;
    }

    // The labeller is checked before the rank model.
    build::SheetSpec both = small_spec();
    both.parser = zero_l;
    both.rank = "TWRK";
    EXPECT_EQ(open_error(both), kMalformed);
    both.parser = good;
    EXPECT_EQ(open_error(both), "{}: SEC_RANK is present but malformed — corrupt/tampered sheet");
}

TEST(OpenParser, EmptySectionMeansNoLabeller) {
    // A table-of-contents entry of length 0 is not a model.
    build::SheetSpec spec = small_spec();
    spec.section_overrides[section::parser] = "";
    TempSheet t(write_or_die(spec));
    auto idx = Index::open(t.path());
    ASSERT_TRUE(idx) << idx.error().message;
    EXPECT_EQ((*idx)->parser(), nullptr);
}

}  // namespace
}  // namespace tarnwik::testing
