#include "query/hypotheses.hpp"

#include <algorithm>
#include <array>

#include "norm/unicode.hpp"
#include "util/text.hpp"

namespace tarnwik::query {

namespace {

constexpr size_t kMaxNumberCandidates = 4;
constexpr size_t kMaxGlued = 3;
constexpr size_t kKeptBeforePlain = kMaxHypotheses - 1;

// Endings of Russian ordinals ("1 я линия", "5 го"): the number before one
// is part of a street name, not a house number.
constexpr std::array<std::string_view, 8> kOrdinalEndings = {"я", "й", "е", "го",
                                                             "ой", "ая", "ье", "ого"};
constexpr std::array<std::string_view, 5> kSuffixWords = {"bis", "ter", "quater", "sexies", "quinquies"};

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

bool is_alnum(char32_t c) { return norm::ucd::is_alphabetic(c) || norm::ucd::is_numeric(c); }

bool marked(const std::vector<bool>& postcode, size_t i) { return i < postcode.size() && postcode[i]; }

// One to four ASCII digits and nothing else.
bool short_number(std::string_view t) {
    return !t.empty() && t.size() <= 4 && std::all_of(t.begin(), t.end(), is_ascii_digit);
}

size_t leading_digits(std::string_view t) {
    size_t n = 0;
    while (n < t.size() && is_ascii_digit(t[n])) ++n;
    return n;
}

// Letters and digits only; the number of characters, or nothing.
std::optional<size_t> alnum_length(std::string_view t) {
    if (!text::valid_utf8(t)) return std::nullopt;
    size_t n = 0;
    for (size_t i = 0; i < t.size(); ++n)
        if (!is_alnum(text::next_scalar(t, i))) return std::nullopt;
    return n;
}

// A token that can follow a house number as (part of) its suffix.
bool suffix_like(std::string_view t) {
    const std::optional<size_t> len = alnum_length(t);
    if (!len || *len == 0 || *len > 4) return false;
    if (std::any_of(t.begin(), t.end(), is_ascii_digit)) return true;
    if (std::find(kSuffixWords.begin(), kSuffixWords.end(), t) != kSuffixWords.end()) return true;
    size_t i = 0;
    return *len == 1 && norm::ucd::is_alphabetic(text::next_scalar(t, i));
}

std::optional<uint32_t> suffix_lookup(const Index& index, const std::string& text) {
    if (text.empty()) return std::nullopt;
    auto it = index.suffix_ids().find(text);
    if (it == index.suffix_ids().end()) return std::nullopt;
    return it->second;
}

bool number_candidate(std::span<const std::string_view> tokens, const std::vector<bool>& postcode, size_t i) {
    if (marked(postcode, i) || !short_number(tokens[i])) return false;
    if (i + 1 < tokens.size() &&
        std::find(kOrdinalEndings.begin(), kOrdinalEndings.end(), tokens[i + 1]) != kOrdinalEndings.end())
        return false;
    return true;
}

// 12a, 12bis: the first token made of a short number and a short glued
// suffix, with any further suffix tokens that the sheet knows.
std::optional<Hyp> glued_number(const Index& index, std::span<const std::string_view> tokens,
                                const std::vector<bool>& postcode) {
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (marked(postcode, i)) continue;
        const std::string_view t = tokens[i];
        const size_t digits = leading_digits(t);
        if (digits == 0 || digits > 4) continue;
        const std::optional<size_t> rest = alnum_length(t.substr(digits));
        if (!rest || *rest == 0 || *rest > 4) continue;

        Hyp h;
        const std::optional<uint32_t> n = parse_u32_decimal(t.substr(0, digits));
        h.number_ok = n.has_value();
        h.number = n.value_or(0);
        std::string suffix(t.substr(digits));
        size_t end = i + 1;
        for (; end < tokens.size() && !marked(postcode, end); ++end) {
            const std::string_view u = tokens[end];
            const bool digit = std::any_of(u.begin(), u.end(), is_ascii_digit);
            const bool other = !std::all_of(u.begin(), u.end(), is_ascii_digit);
            if (!digit || !other || !index.suffix_ids().contains(std::string(u))) break;
            suffix += u;
        }
        h.suffix_id = suffix_lookup(index, suffix).value_or(0);
        for (size_t j = 0; j < tokens.size(); ++j)
            if (!marked(postcode, j) && (j < i || j >= end)) h.street_tokens.push_back(static_cast<uint32_t>(j));
        return h;
    }
    return std::nullopt;
}

// The labeller's reading: street words, trailing street words, the first
// number it calls a house number, suffix parts; ignored tokens dropped.
std::optional<Hyp> labeller_reading(const Index& index, std::span<const std::string_view> tokens,
                                    const std::vector<bool>& postcode) {
    const ml::Parser* parser = index.parser();
    if (!parser) return std::nullopt;
    const std::vector<uint8_t> labels = parser->label(tokens);

    Hyp h;
    h.from_labeller = true;
    std::vector<uint32_t> trailing;
    std::string suffix;
    for (size_t i = 0; i < tokens.size() && i < labels.size(); ++i) {
        if (marked(postcode, i)) continue;
        const std::string_view t = tokens[i];
        const auto pos = static_cast<uint32_t>(i);
        switch (labels[i]) {
            case 1:
                trailing.push_back(pos);
                break;
            case 2:
                if (const size_t digits = leading_digits(t); !h.number_ok && digits > 0) {
                    const std::optional<uint32_t> n = parse_u32_decimal(t.substr(0, digits));
                    h.number_ok = n.has_value();
                    h.number = n.value_or(0);
                    suffix += t.substr(digits);
                } else {
                    h.street_tokens.push_back(pos);
                }
                break;
            case 3:
                suffix += t;
                break;
            case 4:
                break;
            default:  // 0, and labels this reading has no role for
                h.street_tokens.push_back(pos);
                break;
        }
    }
    if (h.street_tokens.empty()) return std::nullopt;
    h.street_tokens.insert(h.street_tokens.end(), trailing.begin(), trailing.end());
    h.suffix_id = suffix_lookup(index, suffix).value_or(0);
    return h;
}

}  // namespace

std::optional<uint32_t> parse_u32_decimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        if (!is_ascii_digit(c)) return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

Hyp build_hyp(const Index& index, std::span<const std::string_view> tokens, const std::vector<bool>& postcode,
              size_t pos, bool glue) {
    Hyp h;
    if (pos < tokens.size()) {
        const std::optional<uint32_t> n = parse_u32_decimal(tokens[pos]);
        h.number_ok = n.has_value();
        h.number = n.value_or(0);
    }

    // The suffix may span tokens ("12 b 2"), so the text grows token by
    // token and the longest form the sheet knows decides what is taken.
    size_t taken = 0;
    if (glue) {
        std::string suffix;
        size_t absorbed = 0;
        for (size_t j = pos + 1; j < tokens.size() && absorbed < kMaxGlued; ++j) {
            if (marked(postcode, j) || !suffix_like(tokens[j])) break;
            suffix += tokens[j];
            ++absorbed;
            if (index.suffix_ids().empty()) continue;
            if (auto id = suffix_lookup(index, suffix)) {
                h.suffix_id = *id;
                taken = absorbed;
            }
        }
    }

    for (size_t j = 0; j < tokens.size(); ++j) {
        const bool consumed = j == pos || (j > pos && j <= pos + taken);
        if (!consumed && !marked(postcode, j)) h.street_tokens.push_back(static_cast<uint32_t>(j));
    }
    return h;
}

std::vector<Hyp> build_hypotheses(const Index& index, std::span<const std::string_view> tokens,
                                  const std::vector<bool>& postcode) {
    std::vector<Hyp> out;

    size_t candidates = 0;
    for (size_t i = 0; i < tokens.size() && candidates < kMaxNumberCandidates;) {
        if (!number_candidate(tokens, postcode, i)) {
            ++i;
            continue;
        }
        ++candidates;
        out.push_back(build_hyp(index, tokens, postcode, i, true));
        Hyp plain = build_hyp(index, tokens, postcode, i, false);
        if (plain.street_tokens != out.back().street_tokens) out.push_back(std::move(plain));
        // "10 12 14 rue x": a run of numbers is one house-number position.
        for (++i; i < tokens.size() && !marked(postcode, i) && short_number(tokens[i]);) ++i;
    }

    if (auto h = glued_number(index, tokens, postcode)) out.push_back(std::move(*h));
    if (auto h = labeller_reading(index, tokens, postcode)) out.push_back(std::move(*h));

    // "paris rue de rivoli" also read as "rue de rivoli paris": the locality
    // may come first.
    const size_t built = out.size();
    for (size_t i = 0; i < built; ++i) {
        if (out[i].street_tokens.size() < 2) continue;
        Hyp r = out[i];
        std::rotate(r.street_tokens.begin(), r.street_tokens.begin() + 1, r.street_tokens.end());
        out.push_back(std::move(r));
    }

    if (out.size() > kKeptBeforePlain) out.resize(kKeptBeforePlain);

    Hyp plain;
    for (size_t j = 0; j < tokens.size(); ++j)
        if (!marked(postcode, j)) plain.street_tokens.push_back(static_cast<uint32_t>(j));
    out.push_back(std::move(plain));
    return out;
}

std::string street_text(const Hyp& hyp, std::span<const std::string_view> tokens) {
    std::string out;
    bool first = true;
    for (uint32_t p : hyp.street_tokens) {
        if (p >= tokens.size()) continue;
        if (!first) out += ' ';
        out += tokens[p];
        first = false;
    }
    return out;
}

}  // namespace tarnwik::query
