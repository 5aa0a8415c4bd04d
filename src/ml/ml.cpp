#include "ml/ml.hpp"

#include <blake2.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "norm/unicode.hpp"

namespace tarnwik::ml {

namespace {

constexpr char32_t kNotScalar = 0xFFFFFFFF;

float f32_at(const uint8_t* p) {
    float f;
    std::memcpy(&f, p, 4);  // unaligned, little-endian host
    return f;
}

// The character starting at s[i] and its length in bytes. Tokens are
// normalised text and so valid UTF-8; should a stray byte get through, it
// counts as one character of its own rather than swallowing its neighbours.
std::pair<char32_t, size_t> char_at(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned c = b(i);
    if (c < 0x80) return {c, 1};
    size_t len;
    char32_t v, min;
    if (c >= 0xC2 && c <= 0xDF) len = 2, v = c & 0x1F, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, v = c & 0x0F, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, v = c & 0x07, min = 0x10000;
    else return {kNotScalar, 1};
    if (i + len > s.size()) return {kNotScalar, 1};
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return {kNotScalar, 1};
        v = (v << 6) | (b(i + k) & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return {kNotScalar, 1};
    return {v, len};
}

// Byte offsets of the character starts of s, followed by s.size().
std::vector<size_t> char_bounds(std::string_view s) {
    std::vector<size_t> at;
    at.reserve(s.size() + 1);
    for (size_t i = 0; i < s.size(); i += char_at(s, i).second) at.push_back(i);
    at.push_back(s.size());
    return at;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_digits(std::string_view s) {
    for (char c : s)
        if (!is_digit(c)) return false;
    return true;
}

bool has_digit(std::string_view s) {
    for (char c : s)
        if (is_digit(c)) return true;
    return false;
}

// Exactly two characters, both letters (any script).
bool two_letters(std::string_view s) {
    size_t i = 0, n = 0;
    while (i < s.size()) {
        auto [c, len] = char_at(s, i);
        if (c == kNotScalar || !norm::ucd::is_alphabetic(c) || ++n > 2) return false;
        i += len;
    }
    return n == 2;
}

template <class Str>
std::vector<uint8_t> label_tokens(const Parser& p, std::span<const Str> tokens) {
    std::vector<std::string_view> views(tokens.begin(), tokens.end());
    std::vector<uint8_t> out;
    out.reserve(views.size());
    const uint8_t labels = p.labels();
    for (size_t i = 0; i < views.size(); ++i) {
        const auto features = token_features(views, i);
        std::array<uint32_t, kFeatureCount> bucket;
        for (size_t k = 0; k < kFeatureCount; ++k) bucket[k] = p.h(features[k]);
        // Single precision, bias first, features in table order: a model
        // trained elsewhere scores the same only with the same roundings.
        float best = std::numeric_limits<float>::lowest();
        uint8_t choice = 0;
        for (uint8_t l = 0; l < labels; ++l) {
            float score = p.bias(l);
            for (uint32_t b : bucket) score += p.weight(l, b);
            if (score > best) best = score, choice = l;  // ties keep the lower label
        }
        out.push_back(choice);
    }
    return out;
}

}  // namespace

uint32_t feature_hash(std::string_view feature) {
    uint8_t digest[4];
    // The digest length is a parameter of BLAKE2b itself, so this is not a
    // prefix of the 64-byte digest.
    blake2b(digest, feature.data(), nullptr, sizeof digest, feature.size(), 0);
    return uint32_t{digest[0]} | uint32_t{digest[1]} << 8 | uint32_t{digest[2]} << 16 |
           uint32_t{digest[3]} << 24;
}

std::array<std::string, kFeatureCount> token_features(std::span<const std::string_view> tokens, size_t i) {
    const size_t n = tokens.size();
    const std::string_view t = tokens[i];
    const std::string_view prev = i == 0 ? std::string_view("^") : tokens[i - 1];
    const std::string_view next = i + 1 == n ? std::string_view("$") : tokens[i + 1];

    const std::vector<size_t> at = char_bounds(t);
    const size_t chars = at.size() - 1;
    const std::string_view sfx = t.substr(at[chars >= 3 ? chars - 3 : 0]);
    const std::string_view pfx = t.substr(0, at[chars >= 3 ? 3 : chars]);

    const bool digits = all_digits(t);
    const char* dig = !t.empty() && digits ? "1" : has_digit(t) ? "m" : "0";
    const char len = static_cast<char>('0' + (chars < 7 ? chars : 7));
    const char* pos = i == 0 ? "a" : i + 1 == n ? "z" : "m";
    const bool d5 = digits && chars == 5;
    const bool d4n2 = digits && chars == 4 && i + 1 < n && two_letters(tokens[i + 1]);
    const bool pdig = !prev.empty() && all_digits(prev);

    const auto cat = [](std::string_view prefix, std::string_view value) {
        std::string s;
        s.reserve(prefix.size() + value.size());
        s.append(prefix).append(value);
        return s;
    };
    return {cat("w=", t),
            cat("p=", prev),
            cat("n=", next),
            cat("sfx=", sfx),
            cat("pfx=", pfx),
            cat("dig=", dig),
            cat("len=", std::string_view(&len, 1)),
            cat("pos=", pos),
            cat("d5=", d5 ? "1" : "0"),
            cat("d4n2=", d4n2 ? "1" : "0"),
            cat("pdig=", pdig ? "1" : "0")};
}

std::optional<Parser> Parser::from_section(ByteView section) {
    if (section.size() <= 8 || std::memcmp(section.data(), "TWML", 4) != 0) return std::nullopt;
    Parser p;
    p.buckets_ = section.u32(4);
    p.labels_ = section.u8(8);
    if (p.buckets_ == 0 || p.labels_ == 0) return std::nullopt;
    const uint64_t labels = p.labels_, buckets = p.buckets_;
    if (section.size() - 9 < 4 * labels) return std::nullopt;
    p.bias_.reserve(labels);
    for (uint64_t l = 0; l < labels; ++l) {
        const float b = f32_at(section.data() + 9 + 4 * l);
        if (!std::isfinite(b)) return std::nullopt;
        p.bias_.push_back(b);
    }
    // At most 4·255·(2^32 − 1) bytes of weights: no overflow in 64 bits.
    const uint64_t start = 9 + 4 * labels;
    if (section.size() != start + 4 * buckets * labels) return std::nullopt;
    const uint8_t* w = section.data() + start;
    for (uint64_t k = 0; k < buckets * labels; ++k)
        if (!std::isfinite(f32_at(w + 4 * k))) return std::nullopt;
    p.weights_ = w;
    return p;
}

float Parser::weight(uint8_t l, uint32_t b) const {
    return f32_at(weights_ + 4 * (uint64_t{l} * buckets_ + b));
}

std::vector<uint8_t> Parser::label(std::span<const std::string_view> tokens) const {
    return label_tokens(*this, tokens);
}

std::vector<uint8_t> Parser::label(std::span<const std::string> tokens) const {
    return label_tokens(*this, tokens);
}

}  // namespace tarnwik::ml
