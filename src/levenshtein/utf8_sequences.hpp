// Splits a range of Unicode scalar values into runs of UTF-8 byte ranges, so
// that a byte automaton can take "any character in [low, high]" with a handful
// of transitions per byte instead of one path per character.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tarnwik::levenshtein {

struct Utf8Range {
    uint8_t start = 0;
    uint8_t end = 0;  // inclusive
    bool contains(uint8_t b) const { return start <= b && b <= end; }
    friend bool operator==(const Utf8Range&, const Utf8Range&) = default;
};

// Byte ranges, one per position of an encoding; all encodings it covers have
// the same length, and any choice of one byte per range is one of them.
struct Utf8Sequence {
    std::array<Utf8Range, 4> ranges{};
    uint8_t len = 0;

    bool matches(const uint8_t* bytes, size_t n) const;
    friend bool operator==(const Utf8Sequence&, const Utf8Sequence&) = default;
};

// Produces the sequences in ascending order of the scalar values they cover.
// Together they cover exactly the encodings of the scalar values in
// [low, high]; surrogates are left out, and values above U+10FFFF are cut off.
class Utf8Sequences {
public:
    Utf8Sequences(char32_t low, char32_t high);
    std::optional<Utf8Sequence> next();

private:
    std::vector<std::pair<char32_t, char32_t>> stack_;
};

}  // namespace tarnwik::levenshtein
