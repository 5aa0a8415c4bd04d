#include "util/text.hpp"

#include <unicode/uchar.h>

#include <cstdio>

namespace tarnwik::text {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the bytes
// there do not start one. Follows the Unicode table of well-formed sequences
// (no overlongs, no surrogates, nothing above U+10FFFF).
size_t valid_seq_len(std::string_view s, size_t i) {
    const auto b = [&](size_t k) -> unsigned { return static_cast<unsigned char>(s[k]); };
    const size_t n = s.size();
    unsigned c = b(i);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return (i + 1 < n && (b(i + 1) & 0xC0) == 0x80) ? 2 : 0;
    unsigned lo = 0x80, hi = 0xBF;
    size_t len;
    if (c == 0xE0) { lo = 0xA0; len = 3; }
    else if (c >= 0xE1 && c <= 0xEC) len = 3;
    else if (c == 0xED) { hi = 0x9F; len = 3; }
    else if (c >= 0xEE && c <= 0xEF) len = 3;
    else if (c == 0xF0) { lo = 0x90; len = 4; }
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) { hi = 0x8F; len = 4; }
    else return 0;
    if (i + 1 >= n || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (size_t k = 2; k < len; ++k)
        if (i + k >= n || (b(i + k) & 0xC0) != 0x80) return 0;
    return len;
}

// For a byte that does not start a valid sequence: how many bytes form the
// maximal invalid subpart (at least 1).
size_t invalid_subpart_len(std::string_view s, size_t i) {
    const auto b = [&](size_t k) -> unsigned { return static_cast<unsigned char>(s[k]); };
    unsigned c = b(i);
    unsigned lo = 0x80, hi = 0xBF;
    size_t len;
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) { lo = 0xA0; len = 3; }
    else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) len = 3;
    else if (c == 0xED) { hi = 0x9F; len = 3; }
    else if (c == 0xF0) { lo = 0x90; len = 4; }
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) { hi = 0x8F; len = 4; }
    else return 1;
    size_t k = 1;
    for (; k < len && i + k < s.size(); ++k) {
        unsigned x = b(i + k);
        if (k == 1 ? (x < lo || x > hi) : (x & 0xC0) != 0x80) break;
    }
    return k;
}

}  // namespace

bool valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        size_t l = valid_seq_len(s, i);
        if (l == 0) return false;
        i += l;
    }
    return true;
}

char32_t next_scalar(std::string_view s, size_t& i) {
    unsigned c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) { ++i; return c; }
    size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    char32_t v = c & (0x7F >> len);
    for (size_t k = 1; k < len && i + k < s.size(); ++k)
        v = (v << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    return v;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

size_t count_scalars(std::string_view s) {
    size_t n = 0;
    for (char ch : s)
        if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++n;
    return n;
}

std::string lossy_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        size_t l = valid_seq_len(s, i);
        if (l) {
            out.append(s.substr(i, l));
            i += l;
        } else {
            out.append("\xEF\xBF\xBD");
            i += invalid_subpart_len(s, i);
        }
    }
    return out;
}

namespace {
bool printable(char32_t c) {
    if (c == ' ') return true;
    switch (u_charType(static_cast<UChar32>(c))) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
        case U_SPACE_SEPARATOR:
            return false;
        default:
            return true;
    }
}
}  // namespace

std::string debug_quote(std::string_view s) {
    std::string out = "\"";
    char buf[16];
    for (size_t i = 0; i < s.size();) {
        size_t l = valid_seq_len(s, i);
        if (l == 0) {
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(s[i]));
            out += buf;
            ++i;
            continue;
        }
        size_t j = i;
        char32_t c = next_scalar(s, j);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case 0: out += "\\0"; break;
            default:
                if (printable(c)) {
                    out.append(s.substr(i, l));
                } else {
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
                    out += buf;
                }
        }
        i += l;
    }
    out += '"';
    return out;
}

}  // namespace tarnwik::text
