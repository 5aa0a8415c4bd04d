// A summary of an opened sheet as one JSON object, for people and tests:
//   { "path", "format_version",
//     "sections": [ {"id", "name", "offset", "length"} ... ]  in TOC order,
//     "communes", "streets", "houses" (sum of the streets' house counts),
//     "house_suffixes", "word_keys" (keys of words_fst),
//     "meta": [[key, value] ...],
//     "center": {"lat", "lon"} or null }
#pragma once

#include <string>
#include <string_view>

#include "index/index.hpp"
#include "util/result.hpp"

namespace tarnwik::build {

std::string inspect_json(const Index& index);

// Opens the sheet and summarises it; an open failure is the engine's error.
Result<std::string> inspect_sheet(std::string_view path);

// The name of a section id as used in messages and summaries ("streets_fst",
// "SEC_RULES", ...); empty for ids without a name.
std::string_view section_name(int id);

}  // namespace tarnwik::build
