// An exact, in-memory description of a sheet, and the writer that turns it
// into the container bytes the engine opens.
//
// Everything that produces sheets goes through this one description: the CSV
// importer, the JSON descriptions used by tests, and users' own builds. Keys
// are derived here with the engine's own key functions, so what the builder
// writes is exactly what queries look up.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "util/result.hpp"

namespace tarnwik::build {

struct HouseSpec {
    uint32_t number = 0;
    std::string suffix;    // "" = no suffix; otherwise an entry of the suffix table
    double lat = 0, lon = 0;
    std::string postcode;  // the house's own postcode ("" = none)
};

struct StreetSpec {
    std::string name;           // display name
    uint32_t commune = 0;       // index into SheetSpec::communes
    std::optional<double> lat;  // reference point; default: centroid of the houses
    std::optional<double> lon;
    std::string postcode;       // the street's postcode text when all houses share one
    std::vector<HouseSpec> houses;  // at least one; sorted by the writer
};

struct CommuneSpec {
    std::string code;      // up to 8 bytes; default: the commune's number in decimal
    std::string name;      // display name
    uint32_t prominence = 0;
    std::optional<double> lat, lon;  // none: no position (0, 0)
    // Further names the commune is found by (districts, postcode places, ...)
    std::vector<std::string> aliases;
};

struct RuleRecord {
    uint8_t kind = 0;
    std::string key;
    std::string value;
};

struct SheetSpec {
    uint8_t version = 7;     // container format version (6 or 7)
    int fst_version = 3;     // FST map format version (1, 2 or 3)
    std::vector<std::pair<std::string, std::string>> meta;  // e.g. country, layer
    std::vector<CommuneSpec> communes;
    std::vector<StreetSpec> streets;
    std::vector<RuleRecord> rules;  // SEC_RULES records; none: no section
    std::string parser;  // raw SEC_PARSER bytes; empty: no section
    std::string rank;    // raw SEC_RANK bytes; empty: no section

    // For tests that need a malformed or unusual sheet: replace a generated
    // section's bytes, or leave a section out of the table of contents.
    std::map<int, std::string> section_overrides;
    std::set<int> omit_sections;
};

struct WriteStats {
    size_t communes = 0, streets = 0, houses = 0, word_keys = 0, commune_keys = 0;
};

// The complete sheet file. Fails on a description that cannot be written
// (a commune index out of range, a street without houses, a code longer
// than 8 bytes, ...).
Result<std::string> write_sheet(const SheetSpec& spec, WriteStats* stats = nullptr);

}  // namespace tarnwik::build
