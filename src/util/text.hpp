// Small UTF-8 helpers shared by every subsystem.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwik::text {

bool valid_utf8(std::string_view s);

// Decodes the scalar value starting at s[i] and advances i. Input must be
// valid UTF-8 (check with valid_utf8 first).
char32_t next_scalar(std::string_view s, size_t& i);
void append_utf8(std::string& out, char32_t c);
size_t count_scalars(std::string_view s);

// Invalid sequences replaced by U+FFFD, one per maximal invalid subpart (the
// WHATWG / Unicode "best practice" rule).
std::string lossy_utf8(std::string_view s);

// The quoted form used in every message that names a user-supplied text or a
// path: double quotes around the text, backslash escapes for quotes,
// backslashes and line controls, \u{..} for other non-printing characters and
// \xNN for bytes that are not UTF-8.
std::string debug_quote(std::string_view s);

}  // namespace tarnwik::text
