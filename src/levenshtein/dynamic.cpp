#include "levenshtein/dynamic.hpp"

#include <algorithm>
#include <limits>

#include "util/text.hpp"

namespace tarnwik::levenshtein {
namespace {

uint32_t plus1(uint32_t v) { return v == std::numeric_limits<uint32_t>::max() ? v : v + 1; }

}  // namespace

DynamicLevenshtein::DynamicLevenshtein(std::string_view query, uint32_t d) : d_(d), cap_(plus1(d)) {
    const std::string owned = text::valid_utf8(query) ? std::string(query) : text::lossy_utf8(query);
    for (size_t i = 0; i < owned.size();) chars_.push_back(text::next_scalar(owned, i));
}

std::vector<uint32_t> DynamicLevenshtein::start() const {
    std::vector<uint32_t> s(width());
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint32_t>(i);
    return s;
}

bool DynamicLevenshtein::can_match(std::span<const uint32_t> s) const {
    return !s.empty() && *std::min_element(s.begin(), s.end()) <= d_;
}

void DynamicLevenshtein::accept(std::span<const uint32_t> s, std::optional<char32_t> c,
                                std::span<uint32_t> out) const {
    out[0] = plus1(s[0]);
    for (size_t i = 1; i < out.size(); ++i) {
        const uint32_t cost = (c && *c == chars_[i - 1]) ? 0 : 1;
        uint32_t v = std::min(plus1(out[i - 1]), plus1(s[i]));
        v = std::min(v, s[i - 1] == std::numeric_limits<uint32_t>::max() ? s[i - 1] : s[i - 1] + cost);
        out[i] = std::min(v, cap_);
    }
}

std::vector<uint32_t> DynamicLevenshtein::accept(std::span<const uint32_t> s, std::optional<char32_t> c) const {
    std::vector<uint32_t> out(width());
    accept(s, c, out);
    return out;
}

}  // namespace tarnwik::levenshtein
