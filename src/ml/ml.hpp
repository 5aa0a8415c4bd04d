// The address token labeller: a linear classifier over hashed token features
// that tags each query token (street word, house number, suffix, ...).
//
// A sheet may carry one model in its SEC_PARSER section:
//   "TWML", u32 bucket count B, u8 label count L, L f32 biases,
//   B·L f32 weights label-major (label l, bucket b at float l·B + b),
// all little-endian. The weights stay in the mapped file and are read in
// place (they start at an odd offset, so every read is a 4-byte copy); only
// the L biases are copied out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/bytes.hpp"

namespace tarnwik::ml {

inline constexpr size_t kFeatureCount = 11;

// BLAKE2b (RFC 7693), unkeyed, digest length 4, read as a little-endian u32.
uint32_t feature_hash(std::string_view feature);

// The eleven feature strings of token i, in scoring order:
// w= p= n= sfx= pfx= dig= len= pos= d5= d4n2= pdig=.
std::array<std::string, kFeatureCount> token_features(std::span<const std::string_view> tokens, size_t i);

class Parser {
public:
    // Nothing when the bytes are not a well-formed model with finite numbers.
    // The returned Parser borrows the weights from `section`, which must
    // outlive it (the sheet mapping does).
    static std::optional<Parser> from_section(ByteView section);

    // Bucket of a feature string, below buckets().
    uint32_t h(std::string_view feature) const { return feature_hash(feature) % buckets_; }

    // One label per token, each below labels(); empty for no tokens.
    std::vector<uint8_t> label(std::span<const std::string_view> tokens) const;
    std::vector<uint8_t> label(std::span<const std::string> tokens) const;

    uint32_t buckets() const { return buckets_; }
    uint8_t labels() const { return labels_; }
    float bias(uint8_t l) const { return bias_[l]; }
    // Callers pass l < labels() and b < buckets().
    float weight(uint8_t l, uint32_t b) const;

private:
    Parser() = default;

    std::vector<float> bias_;
    const uint8_t* weights_ = nullptr;  // B·L unaligned little-endian f32
    uint32_t buckets_ = 0;
    uint8_t labels_ = 0;
};

}  // namespace tarnwik::ml
