// Checks the guarantees every normalised text gives its callers, with ICU
// queried directly rather than through the code under test.
#pragma once

#include <unicode/uchar.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "util/text.hpp"

namespace tarnwik::testing {

// Empty when `s` is in normal form, else a description of the first fault.
inline std::string normal_form_fault(std::string_view s) {
    if (!text::valid_utf8(s)) return "invalid UTF-8";
    if (!s.empty() && s.front() == ' ') return "leading space";
    if (!s.empty() && s.back() == ' ') return "trailing space";
    if (s.find("  ") != std::string_view::npos) return "double space";
    char buf[64];
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<UChar32>(text::next_scalar(s, i));
        if (U_GET_GC_MASK(c) & U_GC_M_MASK) {
            std::snprintf(buf, sizeof buf, "mark U+%04X", static_cast<unsigned>(c));
            return buf;
        }
        // Simple mapping suffices: the one character whose full lower-case
        // mapping differs from its simple one (U+0130) is upper case anyway.
        if (u_tolower(c) != c) {
            std::snprintf(buf, sizeof buf, "upper case U+%04X", static_cast<unsigned>(c));
            return buf;
        }
        if (c != ' ' && (u_isUWhiteSpace(c) || u_charType(c) == U_CONTROL_CHAR)) {
            std::snprintf(buf, sizeof buf, "separator U+%04X left in", static_cast<unsigned>(c));
            return buf;
        }
    }
    return {};
}

}  // namespace tarnwik::testing
