#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "build/models.hpp"
#include "ml/ml.hpp"
#include "util/bytes.hpp"

namespace tarnwik::build {
namespace {

TEST(ParserModelJson, RoundTripsThroughTheEngineReader) {
    auto bytes = parser_section_from_json(R"({
      "buckets": 3, "labels": 2,
      "bias": [0.5, -1e-3],
      "weights": [[1, 2, 3.25], [-4, 0, 1e30]]
    })");
    ASSERT_TRUE(bytes) << bytes.error().message;
    ASSERT_EQ(bytes->size(), 9u + 4 * 2 + 4 * 6);
    EXPECT_EQ(bytes->substr(0, 4), "TWML");
    auto p = ml::Parser::from_section(ByteView(*bytes));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->buckets(), 3u);
    EXPECT_EQ(p->labels(), 2);
    EXPECT_EQ(p->bias(0), 0.5f);
    EXPECT_EQ(p->bias(1), -1e-3f);
    // Rows are labels: weights[1][2] is label 1, bucket 2.
    const std::vector<std::vector<float>> want = {{1, 2, 3.25f}, {-4, 0, 1e30f}};
    for (uint8_t l = 0; l < 2; ++l)
        for (uint32_t b = 0; b < 3; ++b) EXPECT_EQ(p->weight(l, b), want[l][b]) << int(l) << "," << b;
}

TEST(RankModelJson, IsTheFortyNineByteSection) {
    auto bytes = rank_section_from_json(R"({"bias": -1.5, "weights": [0, 1, 2, 3, 4, 5, 6, 7, 8, 0.125]})");
    ASSERT_TRUE(bytes) << bytes.error().message;
    ASSERT_EQ(bytes->size(), 49u);
    EXPECT_EQ(bytes->substr(0, 4), "TWRK");
    EXPECT_EQ((*bytes)[4], 10);
    auto f32_at = [&](size_t off) {
        uint32_t bits;
        std::memcpy(&bits, bytes->data() + off, 4);
        return std::bit_cast<float>(bits);
    };
    EXPECT_EQ(f32_at(5), -1.5f);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(f32_at(9 + 4 * i), static_cast<float>(i));
    EXPECT_EQ(f32_at(45), 0.125f);
}

TEST(ModelJson, RefusesMalformedModelsNamingThePlace) {
    struct Case {
        bool parser;
        std::string json, message;
    };
    const std::string w2x2 = R"("bias": [0, 0], "weights": [[0, 0], [0, 0]])";
    const std::vector<Case> cases = {
        {true, "[]", "$: expected an object"},
        {true, "{", ""},  // the JSON parser's own message follows "invalid JSON: "
        {true, R"({"buckets": 2, "labels": 2, "bias": [0, 0]})", "$: missing member \"weights\""},
        {true, R"({"buckets": 2, "labels": 2, )" + w2x2 + R"(, "names": []})", "$: unknown member \"names\""},
        {true, R"({"buckets": 0, "labels": 2, )" + w2x2 + "}", "$.buckets: expected an integer in 1..4294967295"},
        {true, R"({"buckets": 4294967296, "labels": 2, )" + w2x2 + "}",
         "$.buckets: expected an integer in 1..4294967295"},
        {true, R"({"buckets": 2.5, "labels": 2, )" + w2x2 + "}", "$.buckets: expected an integer in 1..4294967295"},
        {true, R"({"buckets": 2, "labels": 0, )" + w2x2 + "}", "$.labels: expected an integer in 1..255"},
        {true, R"({"buckets": 2, "labels": 256, )" + w2x2 + "}", "$.labels: expected an integer in 1..255"},
        {true, R"({"buckets": 2, "labels": 2, "bias": [0], "weights": [[0, 0], [0, 0]]})",
         "$.bias: expected 2 numbers (one per label), got 1"},
        {true, R"({"buckets": 2, "labels": 2, "bias": [0, "1"], "weights": [[0, 0], [0, 0]]})",
         "$.bias[1]: expected a number"},
        {true, R"({"buckets": 2, "labels": 2, "bias": [0, 0], "weights": [[0, 0]]})",
         "$.weights: expected 2 arrays (one per label), got 1"},
        {true, R"({"buckets": 2, "labels": 2, "bias": [0, 0], "weights": [[0, 0], [0, 0, 0]]})",
         "$.weights[1]: expected 2 numbers (one per bucket), got 3"},
        {true, R"({"buckets": 2, "labels": 2, "bias": [0, 0], "weights": [[0, 1e39], [0, 0]]})",
         "$.weights[0][1]: is not a finite 32-bit float"},
        {true, R"({"buckets": 2, "labels": 2, "bias": [-1e300, 0], "weights": [[0, 0], [0, 0]]})",
         "$.bias[0]: is not a finite 32-bit float"},
        // A huge bucket count with short rows is refused without allocating for it.
        {true, R"({"buckets": 4294967295, "labels": 255, "bias": [0], "weights": []})",
         "$.bias: expected 255 numbers (one per label), got 1"},
        {true, R"({"buckets": 4294967295, "labels": 1, "bias": [0], "weights": [[0]]})",
         "$.weights[0]: expected 4294967295 numbers (one per bucket), got 1"},
        {false, R"({"bias": 0, "weights": [0, 0, 0, 0, 0, 0, 0, 0, 0]})",
         "$.weights: expected 10 numbers (one per feature), got 9"},
        {false, R"({"bias": 0})", "$: missing member \"weights\""},
        {false, R"({"bias": null, "weights": [0, 0, 0, 0, 0, 0, 0, 0, 0, 0]})", "$.bias: expected a number"},
        {false, R"({"bias": 0, "weights": [0, 0, 0, 0, 0, 0, 0, 0, 0, 4e38]})",
         "$.weights[9]: is not a finite 32-bit float"},
    };
    for (const Case& c : cases) {
        auto r = c.parser ? parser_section_from_json(c.json) : rank_section_from_json(c.json);
        ASSERT_FALSE(r) << c.json;
        if (c.message.empty())
            EXPECT_TRUE(r.error().message.starts_with("invalid JSON: ")) << r.error().message;
        else
            EXPECT_EQ(r.error().message, c.message) << c.json;
    }
}

TEST(ModelEncoding, RefusesModelsTheEngineWouldRefuse) {
    ParserModel ok{2, {0, 0}, {1, 2, 3, 4}};
    ASSERT_TRUE(encode_parser_section(ok));
    ParserModel no_buckets = ok;
    no_buckets.buckets = 0;
    no_buckets.weights.clear();
    ParserModel short_weights = ok;
    short_weights.weights.pop_back();
    ParserModel too_many_labels{1, std::vector<float>(256, 0.0f), std::vector<float>(256, 0.0f)};
    ParserModel nan_weight = ok;
    nan_weight.weights[3] = std::nanf("");
    for (const ParserModel* m : {&no_buckets, &short_weights, &too_many_labels, &nan_weight})
        EXPECT_FALSE(encode_parser_section(*m));
    EXPECT_EQ(encode_parser_section(short_weights).error().message,
              "a labeller with 2 labels and 2 buckets needs 4 weights, not 3");

    RankModel rank;
    ASSERT_TRUE(encode_rank_section(rank));
    rank.weights[7] = -std::numeric_limits<float>::infinity();
    EXPECT_FALSE(encode_rank_section(rank));
}

}  // namespace
}  // namespace tarnwik::build
