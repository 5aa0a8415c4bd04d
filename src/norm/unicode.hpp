// Unicode character data for the text functions, drawn from ICU.
//
// Index keys and query words must be normalised with the same character data,
// so every text function of the engine asks here instead of calling ICU on its
// own. The property tests and `folded` read one process-wide table that is
// built from ICU on first use (one-time initialisation, immutable afterwards);
// `lower_full` and `nfd` call ICU directly and are meant for rare paths.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwik::norm::ucd {

// A short sequence of code points, the result of a one-character mapping.
struct CodePoints {
    static constexpr size_t capacity = 8;
    std::array<char32_t, capacity> cp{};
    uint8_t size = 0;

    const char32_t* begin() const { return cp.data(); }
    const char32_t* end() const { return cp.data() + size; }
    bool operator==(const CodePoints& o) const {
        return size == o.size && std::equal(begin(), end(), o.begin());
    }
};

// Derived property Alphabetic.
bool is_alphabetic(char32_t c);
// General Category Nd, Nl or No (decimal digits, letter numbers such as roman
// numerals, other numbers such as superscripts and fractions).
bool is_numeric(char32_t c);
// Property White_Space.
bool is_white_space(char32_t c);
// General Category Mn, Mc or Me.
bool is_mark(char32_t c);

// Full lower-case mapping of one character without context and without a
// locale: special casings that need no condition apply (U+0130 gives i followed
// by U+0307), the conditional ones (final sigma, Turkish, Lithuanian) do not.
// At most three code points. Code points that are not scalar values come back
// unchanged.
CodePoints lower_full(char32_t c);

// Full canonical decomposition (NFD) of one character, Hangul syllables
// included; the character itself when it has none.
CodePoints nfd(char32_t c);

// The character's case and diacritic fold: `lower_full`, then `nfd` of each
// resulting character, then every mark removed. std::nullopt when the fold is
// the character itself (the common case); otherwise its UTF-8, which is empty
// for a mark. The returned view points into the process-wide table and stays
// valid for the life of the process.
std::optional<std::string_view> folded(char32_t c);

}  // namespace tarnwik::norm::ucd
