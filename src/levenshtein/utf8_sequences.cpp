#include "levenshtein/utf8_sequences.hpp"

namespace tarnwik::levenshtein {
namespace {

constexpr char32_t kMaxScalar = 0x10FFFF;

size_t encode(char32_t c, uint8_t* out) {
    if (c < 0x80) {
        out[0] = static_cast<uint8_t>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (c >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return 4;
}

}  // namespace

bool Utf8Sequence::matches(const uint8_t* bytes, size_t n) const {
    if (n != len) return false;
    for (size_t i = 0; i < n; ++i)
        if (!ranges[i].contains(bytes[i])) return false;
    return true;
}

Utf8Sequences::Utf8Sequences(char32_t low, char32_t high) {
    if (high > kMaxScalar) high = kMaxScalar;
    stack_.emplace_back(low, high);
}

std::optional<Utf8Sequence> Utf8Sequences::next() {
    while (!stack_.empty()) {
        auto [s, e] = stack_.back();
        stack_.pop_back();
        // Each split keeps the lower part in (s, e) and pushes the upper part,
        // so the output comes in ascending order.
        for (;;) {
            if (s > e) break;
            if (s < 0xE000 && e > 0xD7FF) {
                stack_.emplace_back(0xE000, e);
                e = 0xD7FF;
                continue;
            }
            bool split = false;
            for (char32_t max : {char32_t{0x7F}, char32_t{0x7FF}, char32_t{0xFFFF}}) {
                if (s <= max && max < e) {
                    stack_.emplace_back(max + 1, e);
                    e = max;
                    split = true;
                    break;
                }
            }
            if (split) continue;
            // Same encoding length from here on. Cut at continuation-byte
            // block boundaries until every byte position varies over one
            // contiguous range independently of the others.
            for (int bits : {6, 12, 18}) {
                const char32_t m = (char32_t{1} << bits) - 1;
                if ((s & ~m) != (e & ~m)) {
                    if ((s & m) != 0) {
                        stack_.emplace_back((s | m) + 1, e);
                        e = s | m;
                        split = true;
                        break;
                    }
                    if ((e & m) != m) {
                        stack_.emplace_back(e & ~m, e);
                        e = (e & ~m) - 1;
                        split = true;
                        break;
                    }
                }
            }
            if (split) continue;
            uint8_t lo[4], hi[4];
            const size_t n = encode(s, lo);
            encode(e, hi);
            Utf8Sequence seq;
            seq.len = static_cast<uint8_t>(n);
            for (size_t i = 0; i < n; ++i) seq.ranges[i] = Utf8Range{lo[i], hi[i]};
            return seq;
        }
    }
    return std::nullopt;
}

}  // namespace tarnwik::levenshtein
