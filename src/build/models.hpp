// The two optional models a sheet can carry, from JSON model files to the
// section bytes the engine reads.
//
// Token labeller (SEC_PARSER):
//   {
//     "buckets": 262144,          B, hash buckets per label, 1..4294967295
//     "labels": 5,                L, number of labels, 1..255
//     "bias": [0.1, ...],         L numbers: the bias of label 0, 1, ...
//     "weights": [[...], ...]     L arrays of B numbers: weights[l][b] is the
//   }                             weight of label l for hash bucket b
// Rank model (SEC_RANK):
//   { "bias": -1.5, "weights": [10 numbers] }
//
// Numbers are stored as 32-bit floats (rounded to nearest) and must stay
// finite there. Every member is required and unknown members are errors.
// Errors name the JSON path of the offending value, e.g.
// "$.weights[2]: expected 8 numbers (one per bucket), got 7".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.hpp"

namespace tarnwik::build {

struct ParserModel {
    uint32_t buckets = 0;
    std::vector<float> bias;     // one per label
    std::vector<float> weights;  // label-major: label l, bucket b at l·buckets + b
};

struct RankModel {
    float bias = 0;
    std::array<float, 10> weights{};
};

Result<ParserModel> parse_parser_model(std::string_view json_text);
Result<RankModel> parse_rank_model(std::string_view json_text);

// "TWML", u32 B, u8 L, L f32 biases, B·L f32 weights (little-endian). Fails
// on a model the engine would refuse (no buckets or labels, more than 255
// labels, a weight count other than B·L, a non-finite number).
Result<std::string> encode_parser_section(const ParserModel& model);
// "TWRK", u8 10, f32 bias, ten f32 weights: 49 bytes. Fails on a non-finite
// number.
Result<std::string> encode_rank_section(const RankModel& model);

// Model file text straight to section bytes.
Result<std::string> parser_section_from_json(std::string_view json_text);
Result<std::string> rank_section_from_json(std::string_view json_text);

}  // namespace tarnwik::build
