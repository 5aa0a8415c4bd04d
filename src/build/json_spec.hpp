// JSON sheet descriptions: an exact SheetSpec written as a JSON document, so
// tests and tools can describe small sheets field by field.
//
// Format (every member optional unless marked required; unknown members are
// errors, so a misspelt field never passes silently):
//
//   {
//     "version": 7,                   container format version (default 7)
//     "fst_version": 3,               FST map format version (default 3)
//     "meta": [["country", "de"], ["layer", "addresses"]],
//                                     key/value pairs in order, duplicates kept
//     "communes": [
//       { "name": "Springfield",      required
//         "code": "0",                up to 8 bytes; default: the commune's number
//         "prominence": 120,          u32, default 0
//         "lat": 52.1, "lon": 13.2,   both or neither (null = absent): no position
//         "aliases": ["Old Town"] }
//     ],
//     "streets": [
//       { "name": "Main Street",      required
//         "commune": 0,               required: index into "communes"
//         "lat": 52.1, "lon": 13.2,   reference point; default: centroid of the houses
//         "postcode": "10115",        the street's postcode text (default none)
//         "houses": [                 required
//           { "number": 12,           required, u32
//             "suffix": "a",          suffix text as stored (default "")
//             "lat": 52.1, "lon": 13.2,  required
//             "postcode": "10115" }   the house's own postcode (default none)
//         ] }
//     ],
//     "rules": [ { "kind": 3, "key": "str", "value": "strasse" } ],
//                                     SEC_RULES records; kind 0..255, value default ""
//     "parser": "54574d4c...",        raw SEC_PARSER bytes in hex (default: no section)
//     "rank": "5457524b...",          raw SEC_RANK bytes in hex (default: no section)
//     "section_overrides": { "6": "00ff" },
//                                     section id (0..255) -> replacement bytes in hex
//     "omit_sections": [16]           section ids left out of the table of contents
//   }
//
// Hex strings take upper- or lower-case digits; white space between bytes is
// ignored. The description is taken as written: nothing is checked beyond
// types and ranges, so deliberately malformed sheets can be described.
// Errors name the JSON path of the offending value, e.g.
// "$.streets[2].houses[0].lat: expected a number".
#pragma once

#include <string_view>

#include "build/sheet.hpp"
#include "util/result.hpp"

namespace tarnwik::build {

Result<SheetSpec> parse_json_spec(std::string_view json_text);

}  // namespace tarnwik::build
