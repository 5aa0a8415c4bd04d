// The normaliser runs three passes (hyphens, then case/diacritics/separators,
// then the digit-letter split and trim) fused into one streaming loop: each
// character the hyphen pass keeps goes straight into the second pass, and each
// character the second pass writes goes straight into the third. That keeps
// it to one allocation per call. Inputs that are pure ASCII, the bulk of all
// keys, take an instantiation of the same loop without any Unicode lookups.
#include "norm/norm.hpp"

#include <array>
#include <cstdint>

#include "norm/unicode.hpp"
#include "util/text.hpp"

namespace tarnwik::norm {
namespace {

enum : uint8_t { kSep = 1, kDigit = 2, kLetter = 4 };

struct AsciiTable {
    std::array<uint8_t, 128> cls{};
    std::array<char, 128> lower{};
};

constexpr AsciiTable make_ascii_table() {
    AsciiTable t;
    for (int c = 0; c < 128; ++c) {
        t.lower[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
        if (c >= '0' && c <= '9') t.cls[c] = kDigit;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) t.cls[c] = kLetter;
        // Controls, and the punctuation that separates words. Other ASCII
        // punctuation (& # + : and so on) is kept: it carries meaning in
        // house numbers and names.
        if (c < 0x20 || c == 0x7F) t.cls[c] = kSep;
        switch (c) {
            case ' ': case '\'': case '(': case ')': case ',': case '-':
            case '.': case '/': case ';': case '`':
                t.cls[c] = kSep;
                break;
            default:
                break;
        }
    }
    return t;
}

constexpr AsciiTable kAscii = make_ascii_table();

// Separators outside ASCII: C1 controls, the remaining White_Space
// characters, letter-like and typographic apostrophes, zero-width and
// bidirectional controls, the arrow/operator/technical/miscellaneous symbol
// blocks, variation selectors and the emoji planes. Ordered so that Latin
// and Cyrillic letters leave after two or three comparisons.
bool non_ascii_separator(char32_t c) {
    if (c <= 0xA0) return true;  // U+0080..U+009F, U+00A0
    if (c < 0x02BB) return false;
    if (c <= 0x02BC) return true;
    if (c < 0x1680) return false;
    if (c == 0x1680) return true;
    if (c < 0x2000) return false;
    if (c <= 0x200F) return true;  // spaces U+2000..U+200A, zero-width and bidi U+200B..U+200F
    if (c == 0x2018 || c == 0x2019) return true;
    if (c >= 0x2028 && c <= 0x202F) return true;
    if (c == 0x205F) return true;
    if (c >= 0x2190 && c <= 0x2BFF) return true;
    if (c == 0x3000) return true;
    if (c >= 0xFE00 && c <= 0xFE0F) return true;
    return c >= 0x1F000 && c <= 0x1FFFF;
}

constexpr char32_t kDStroke = 0x0111;

inline bool is_digit(char32_t c) { return c - U'0' < 10u; }

inline bool is_letter(char32_t c) {
    if (c < 0x80) return kAscii.cls[c] & kLetter;
    return c >= 0xAA && ucd::is_alphabetic(c);
}

// U+0080..U+00A9 never count, and Numeric only from U+00B2 on; no character
// below U+00B2 is numeric anyway, so the bounds only keep the lookups away.
inline bool is_alnum(char32_t c) {
    if (c < 0x80) return kAscii.cls[c] & (kLetter | kDigit);
    if (c < 0xAA) return false;
    return ucd::is_alphabetic(c) || (c >= 0xB2 && ucd::is_numeric(c));
}

// Decodes one scalar of valid UTF-8 at s[i] and advances i.
inline char32_t decode(std::string_view s, size_t& i) {
    const auto b = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[k])); };
    const char32_t c = b(i);
    if (c < 0x80) { i += 1; return c; }
    if (c < 0xE0) { i += 2; return ((c & 0x1F) << 6) | (b(i - 1) & 0x3F); }
    if (c < 0xF0) {
        i += 3;
        return ((c & 0x0F) << 12) | ((b(i - 2) & 0x3F) << 6) | (b(i - 1) & 0x3F);
    }
    i += 4;
    return ((c & 0x07) << 18) | ((b(i - 3) & 0x3F) << 12) | ((b(i - 2) & 0x3F) << 6) | (b(i - 1) & 0x3F);
}

// Passes 2 and 3 on a stream of characters.
class Writer {
public:
    explicit Writer(size_t capacity) { out_.reserve(capacity + 2); }

    void put_ascii(char32_t c) {
        const uint8_t cls = kAscii.cls[c];
        if (cls & kSep) {
            separator();
            return;
        }
        last_space_ = false;
        if (cls & kDigit) {
            ++digits_;
        } else {
            if ((cls & kLetter) && digits_ >= 4) out_.push_back(' ');
            digits_ = 0;
        }
        out_.push_back(kAscii.lower[c]);
    }

    // One input character of pass 2, with its UTF-8 bytes.
    void put(char32_t c, std::string_view bytes) {
        if (c < 0x80) {
            put_ascii(c);
            return;
        }
        const auto fold = ucd::folded(c);
        if (!fold) {
            put_folded(c, bytes);
            return;
        }
        for (size_t i = 0; i < fold->size();) {
            const size_t start = i;
            const char32_t x = decode(*fold, i);
            put_folded(x, fold->substr(start, i - start));
        }
    }

    std::string finish() {
        while (!out_.empty() && out_.back() == ' ') out_.pop_back();
        return std::move(out_);
    }

private:
    // A character that already went through case folding and mark removal.
    void put_folded(char32_t x, std::string_view bytes) {
        if (x < 0x80) {
            put_ascii(x);
            return;
        }
        if (non_ascii_separator(x)) {
            separator();
            return;
        }
        last_space_ = false;
        if (x == kDStroke) {
            put_ascii('d');
            return;
        }
        if (digits_ >= 4 && is_letter(x)) out_.push_back(' ');
        digits_ = 0;
        out_.append(bytes);
    }

    void separator() {
        if (!last_space_) {
            out_.push_back(' ');
            last_space_ = true;
        }
        digits_ = 0;
    }

    std::string out_;
    bool last_space_ = true;  // nothing at the start may produce a space
    size_t digits_ = 0;       // length of the ASCII digit run just written
};

// Pass 1 (hyphens), feeding the writer. Positions are those of the input, so a
// character the pass drops still counts as the neighbour of the next one.
template <bool Ascii>
std::string run(std::string_view s) {
    const size_t n = s.size();
    Writer w(n);
    char32_t prev = 0, prev2 = 0;  // input characters at pos-1 and pos-2
    size_t pos = 0;                // index of the current character in scalars
    for (size_t i = 0; i < n;) {
        const size_t start = i;
        const char32_t c = Ascii ? static_cast<unsigned char>(s[i++]) : decode(s, i);
        if (c == U'-' && pos > 0 && i < n) {
            size_t peek = i;
            const char32_t next = Ascii ? static_cast<unsigned char>(s[peek++]) : decode(s, peek);
            if (is_digit(prev) && is_digit(next)) {
                // A number range: keep the first number only.
                size_t end = i;
                while (end < n && is_digit(static_cast<unsigned char>(s[end]))) ++end;
                const size_t run_len = end - i;
                prev = static_cast<unsigned char>(s[end - 1]);
                prev2 = run_len >= 2 ? static_cast<unsigned char>(s[end - 2]) : U'-';
                pos += 1 + run_len;
                i = end;
                continue;
            }
            if (is_letter(prev) && is_digit(next) && (pos == 1 || !is_alnum(prev2))) {
                // A lone letter glued to a number ("B-12"): one token.
                prev2 = prev;
                prev = c;
                ++pos;
                continue;
            }
        }
        if constexpr (Ascii) {
            w.put_ascii(c);
        } else {
            w.put(c, s.substr(start, i - start));
        }
        prev2 = prev;
        prev = c;
        ++pos;
    }
    return w.finish();
}

bool all_ascii(std::string_view s) {
    unsigned char acc = 0;
    for (char ch : s) acc |= static_cast<unsigned char>(ch);
    return acc < 0x80;
}

}  // namespace

std::string normalize(std::string_view text) {
    if (all_ascii(text)) return run<true>(text);
    if (text::valid_utf8(text)) return run<false>(text);
    return run<false>(text::lossy_utf8(text));
}

}  // namespace tarnwik::norm
