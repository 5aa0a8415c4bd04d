// Splitting scalar ranges into UTF-8 byte-range sequences: exact coverage,
// ascending order, no surrogates and no malformed encodings.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "levenshtein/utf8_sequences.hpp"
#include "util/text.hpp"

namespace {

using tarnwik::levenshtein::Utf8Range;
using tarnwik::levenshtein::Utf8Sequence;
using tarnwik::levenshtein::Utf8Sequences;

std::vector<Utf8Sequence> all(char32_t lo, char32_t hi) {
    std::vector<Utf8Sequence> out;
    Utf8Sequences it(lo, hi);
    while (auto s = it.next()) out.push_back(*s);
    return out;
}

std::string encode(char32_t c) {
    std::string s;
    tarnwik::text::append_utf8(s, c);
    return s;
}

size_t matching(const std::vector<Utf8Sequence>& seqs, std::string_view bytes) {
    size_t n = 0;
    for (const auto& s : seqs)
        if (s.matches(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) ++n;
    return n;
}

char32_t decode(std::string_view bytes) {
    size_t i = 0;
    return tarnwik::text::next_scalar(bytes, i);
}

bool one_character(std::string_view s) {
    return tarnwik::text::valid_utf8(s) && tarnwik::text::count_scalars(s) == 1;
}

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

Utf8Sequence seq(std::initializer_list<Utf8Range> rs) {
    Utf8Sequence s;
    for (auto r : rs) s.ranges[s.len++] = r;
    return s;
}

TEST(Utf8Sequences, WholeRangeFollowsTheEncodingTable) {
    const std::vector<Utf8Sequence> expected = {
        seq({{0x00, 0x7F}}),
        seq({{0xC2, 0xDF}, {0x80, 0xBF}}),
        seq({{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}),
        seq({{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}),
        seq({{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}),
        seq({{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}),
        seq({{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}),
        seq({{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}),
        seq({{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}),
    };
    EXPECT_EQ(all(0, 0x10FFFF), expected);
}

TEST(Utf8Sequences, WholeRangeMatchesEveryScalarOnce) {
    const auto seqs = all(0, 0x10FFFF);
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (is_surrogate(c)) continue;
        ASSERT_EQ(matching(seqs, encode(c)), 1u) << std::hex << static_cast<uint32_t>(c);
    }
}

// Every lead byte with every second byte, padded with the lowest and the
// highest continuation bytes: the split must accept exactly the well-formed
// ones (no overlongs, surrogates or values above U+10FFFF).
TEST(Utf8Sequences, WholeRangeRejectsMalformedBytes) {
    const auto seqs = all(0, 0x10FFFF);
    for (unsigned b0 = 0; b0 < 256; ++b0) {
        const std::string one(1, static_cast<char>(b0));
        ASSERT_EQ(matching(seqs, one) == 1, one_character(one)) << b0;
        for (unsigned b1 = 0; b1 < 256; ++b1) {
            for (size_t len = 2; len <= 4; ++len) {
                for (char pad : {'\x80', '\xBF', '\x7F'}) {
                    std::string s{static_cast<char>(b0), static_cast<char>(b1)};
                    s.append(len - 2, pad);
                    ASSERT_EQ(matching(seqs, s) == 1, one_character(s))
                        << std::hex << b0 << ' ' << b1 << " len " << len;
                }
            }
        }
    }
}

// Sub-ranges: boundaries around the encoding-length changes, the surrogate
// gap and continuation-block edges, and random ones. Scalars at, next to and
// between the ends are checked, and the output must ascend without overlap.
TEST(Utf8Sequences, SubRangesCoverExactlyTheirScalars) {
    std::vector<std::pair<char32_t, char32_t>> ranges = {
        {0, 0},          {0x41, 0x41},     {0x7F, 0x80},       {0x7F, 0x7FF},    {0x7FF, 0x800},
        {0x80, 0xFFFF},  {0xD7FF, 0xE000}, {0xD800, 0xDFFF},   {0xD000, 0xE0FF}, {0xFFFF, 0x10000},
        {0x3F, 0x40},    {0xFFF, 0x1000},  {0x3FFFF, 0x40000}, {0x10000, 0x10FFFF}, {0x436, 0x436},
        {0x401, 0x44F},  {0x4E00, 0x4E2D}, {0x1F600, 0x1F64F}, {0x123, 0x10FFFE}, {0x10FFFF, 0x10FFFF},
        {0x20, 0x10},
    };
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200; ++i) {
        char32_t a = rng() % 0x110000, b = rng() % 0x110000;
        if (i % 2) b = a + rng() % 300;
        if (b > 0x10FFFF) b = 0x10FFFF;
        ranges.emplace_back(std::min(a, b), std::max(a, b));
    }
    for (auto [lo, hi] : ranges) {
        SCOPED_TRACE(testing::Message() << std::hex << static_cast<uint32_t>(lo) << ".." << static_cast<uint32_t>(hi));
        const auto seqs = all(lo, hi);
        std::vector<char32_t> probes = {lo, hi, lo - 1, hi + 1, lo + 1, hi - 1, 0xD7FF, 0xE000, 0x7F, 0x80,
                                        0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF, 0};
        for (int k = 0; k < 64; ++k) probes.push_back(lo + (hi >= lo ? rng() % (hi - lo + 1) : 0));
        for (char32_t c : probes) {
            if (c > 0x10FFFF || is_surrogate(c)) continue;
            EXPECT_EQ(matching(seqs, encode(c)), (lo <= c && c <= hi) ? 1u : 0u) << std::hex << static_cast<uint32_t>(c);
        }
        for (size_t i = 0; i < seqs.size(); ++i) {
            for (size_t k = 0; k < seqs[i].len; ++k) EXPECT_LE(seqs[i].ranges[k].start, seqs[i].ranges[k].end);
            if (i > 0) {
                // The last encoding of one sequence sorts before the first of the next.
                std::string prev_hi, cur_lo;
                for (size_t k = 0; k < seqs[i - 1].len; ++k) prev_hi += static_cast<char>(seqs[i - 1].ranges[k].end);
                for (size_t k = 0; k < seqs[i].len; ++k) cur_lo += static_cast<char>(seqs[i].ranges[k].start);
                EXPECT_LT(decode(prev_hi), decode(cur_lo));
            }
        }
    }
}

}  // namespace
