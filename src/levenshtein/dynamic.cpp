#include "levenshtein/dynamic.hpp"

#include <algorithm>

#include "util/text.hpp"

namespace tarnwik::levenshtein {

DynamicLevenshtein::DynamicLevenshtein(std::string_view query, uint32_t d)
    : d_(std::min(d, kMaxDistance)), cap_(d_ + 1) {
    const std::string owned = text::valid_utf8(query) ? std::string(query) : text::lossy_utf8(query);
    for (size_t i = 0; i < owned.size();) chars_.push_back(text::next_scalar(owned, i));
}

std::vector<uint32_t> DynamicLevenshtein::start() const {
    std::vector<uint32_t> s(width());
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint32_t>(i);
    return s;
}

std::pair<size_t, size_t> DynamicLevenshtein::window(std::span<const uint32_t> s) const {
    const size_t k = s[0];
    const size_t lo = k > d_ ? k - d_ : 1;
    const size_t hi = std::min(chars_.size(), k + d_);
    return {std::max<size_t>(lo, 1), hi};
}

bool DynamicLevenshtein::can_match(std::span<const uint32_t> s) const {
    if (s.empty()) return false;
    if (s[0] <= d_) return true;
    const auto [lo, hi] = window(s);
    for (size_t i = lo; i <= hi; ++i)
        if (s[i] <= d_) return true;
    return false;
}

void DynamicLevenshtein::accept(std::span<const uint32_t> s, std::optional<char32_t> c,
                                std::span<uint32_t> out) const {
    out[0] = s[0] + 1;
    const auto [lo, hi] = window(out);
    std::fill(out.begin() + 1, out.end(), cap_);
    for (size_t i = lo; i <= hi; ++i) {
        const uint32_t cost = (c && *c == chars_[i - 1]) ? 0 : 1;
        const uint32_t v = std::min({out[i - 1] + 1, s[i] + 1, s[i - 1] + cost});
        out[i] = std::min(v, cap_);
    }
}

std::vector<uint32_t> DynamicLevenshtein::accept(std::span<const uint32_t> s, std::optional<char32_t> c) const {
    std::vector<uint32_t> out(width());
    accept(s, c, out);
    return out;
}

}  // namespace tarnwik::levenshtein
