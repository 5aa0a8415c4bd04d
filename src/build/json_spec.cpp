#include "build/json_spec.hpp"

#include <cmath>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>

namespace tarnwik::build {
namespace {

using nlohmann::json;

// Errors travel as this exception inside the walk only; parse_json_spec
// turns it into an Error at its single exit.
struct SpecError {
    std::string message;
};

[[noreturn]] void bad(const std::string& path, const std::string& what) {
    throw SpecError{path + ": " + what};
}

void only_members(const json& obj, const std::string& path, std::initializer_list<std::string_view> allowed) {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        bool ok = false;
        for (std::string_view a : allowed) ok = ok || it.key() == a;
        if (!ok) bad(path, "unknown member \"" + it.key() + "\"");
    }
}

const json& object(const json& j, const std::string& path) {
    if (!j.is_object()) bad(path, "expected an object");
    return j;
}

const json& array(const json& j, const std::string& path) {
    if (!j.is_array()) bad(path, "expected an array");
    return j;
}

const json* member(const json& obj, const char* key) {
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

const json& required(const json& obj, const std::string& path, const char* key) {
    const json* m = member(obj, key);
    if (!m) bad(path, std::string("missing member \"") + key + "\"");
    return *m;
}

std::string string_of(const json& j, const std::string& path) {
    if (!j.is_string()) bad(path, "expected a string");
    return j.get<std::string>();
}

uint64_t integer(const json& j, const std::string& path, uint64_t max) {
    if (j.is_number_unsigned()) {
        uint64_t v = j.get<uint64_t>();
        if (v <= max) return v;
    } else if (j.is_number_integer()) {
        if (j.get<int64_t>() >= 0 && static_cast<uint64_t>(j.get<int64_t>()) <= max)
            return static_cast<uint64_t>(j.get<int64_t>());
    } else {
        bad(path, "expected an integer");
    }
    bad(path, "expected an integer in 0.." + std::to_string(max));
}

double number(const json& j, const std::string& path) {
    if (!j.is_number()) bad(path, "expected a number");
    return j.get<double>();
}

// lat/lon of an object: both present, or both absent/null.
void point(const json& obj, const std::string& path, std::optional<double>& lat, std::optional<double>& lon) {
    const json* a = member(obj, "lat");
    const json* b = member(obj, "lon");
    bool has_a = a && !a->is_null(), has_b = b && !b->is_null();
    if (has_a != has_b) bad(path, "\"lat\" and \"lon\" must be given together");
    if (has_a) {
        lat = number(*a, path + ".lat");
        lon = number(*b, path + ".lon");
    }
}

std::string hex_bytes(const json& j, const std::string& path) {
    std::string s = string_of(j, path);
    std::string out;
    int hi = -1;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (hi >= 0) bad(path, "hex byte split by white space at character " + std::to_string(i));
            continue;
        }
        int v = c >= '0' && c <= '9' ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
        if (v < 0) bad(path, "not a hex digit at character " + std::to_string(i));
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<char>(hi * 16 + v));
            hi = -1;
        }
    }
    if (hi >= 0) bad(path, "odd number of hex digits");
    return out;
}

CommuneSpec commune(const json& j, const std::string& path) {
    object(j, path);
    only_members(j, path, {"code", "name", "prominence", "lat", "lon", "aliases"});
    CommuneSpec c;
    c.name = string_of(required(j, path, "name"), path + ".name");
    if (const json* m = member(j, "code")) c.code = string_of(*m, path + ".code");
    if (const json* m = member(j, "prominence"))
        c.prominence = static_cast<uint32_t>(integer(*m, path + ".prominence", UINT32_MAX));
    point(j, path, c.lat, c.lon);
    if (const json* m = member(j, "aliases")) {
        std::string p = path + ".aliases";
        array(*m, p);
        for (size_t i = 0; i < m->size(); ++i)
            c.aliases.push_back(string_of((*m)[i], p + "[" + std::to_string(i) + "]"));
    }
    return c;
}

HouseSpec house(const json& j, const std::string& path) {
    object(j, path);
    only_members(j, path, {"number", "suffix", "lat", "lon", "postcode"});
    HouseSpec h;
    h.number = static_cast<uint32_t>(integer(required(j, path, "number"), path + ".number", UINT32_MAX));
    if (const json* m = member(j, "suffix")) h.suffix = string_of(*m, path + ".suffix");
    h.lat = number(required(j, path, "lat"), path + ".lat");
    h.lon = number(required(j, path, "lon"), path + ".lon");
    if (const json* m = member(j, "postcode")) h.postcode = string_of(*m, path + ".postcode");
    return h;
}

StreetSpec street(const json& j, const std::string& path) {
    object(j, path);
    only_members(j, path, {"name", "commune", "lat", "lon", "postcode", "houses"});
    StreetSpec s;
    s.name = string_of(required(j, path, "name"), path + ".name");
    s.commune = static_cast<uint32_t>(integer(required(j, path, "commune"), path + ".commune", UINT32_MAX));
    point(j, path, s.lat, s.lon);
    if (const json* m = member(j, "postcode")) s.postcode = string_of(*m, path + ".postcode");
    std::string p = path + ".houses";
    const json& hs = array(required(j, path, "houses"), p);
    for (size_t i = 0; i < hs.size(); ++i) s.houses.push_back(house(hs[i], p + "[" + std::to_string(i) + "]"));
    return s;
}

RuleRecord rule(const json& j, const std::string& path) {
    object(j, path);
    only_members(j, path, {"kind", "key", "value"});
    RuleRecord r;
    r.kind = static_cast<uint8_t>(integer(required(j, path, "kind"), path + ".kind", 255));
    r.key = string_of(required(j, path, "key"), path + ".key");
    if (const json* m = member(j, "value")) r.value = string_of(*m, path + ".value");
    return r;
}

int section_id(std::string_view text, const std::string& path) {
    int v = 0;
    if (text.empty() || text.size() > 3) bad(path, "section id must be a number in 0..255");
    for (char c : text) {
        if (c < '0' || c > '9') bad(path, "section id must be a number in 0..255");
        v = v * 10 + (c - '0');
    }
    if (v > 255) bad(path, "section id must be a number in 0..255");
    return v;
}

SheetSpec sheet(const json& j) {
    const std::string root = "$";
    object(j, root);
    only_members(j, root, {"version", "fst_version", "meta", "communes", "streets", "rules", "parser", "rank",
                           "section_overrides", "omit_sections"});
    SheetSpec spec;
    if (const json* m = member(j, "version")) spec.version = static_cast<uint8_t>(integer(*m, "$.version", 255));
    if (const json* m = member(j, "fst_version"))
        spec.fst_version = static_cast<int>(integer(*m, "$.fst_version", 255));
    if (const json* m = member(j, "meta")) {
        array(*m, "$.meta");
        for (size_t i = 0; i < m->size(); ++i) {
            std::string p = "$.meta[" + std::to_string(i) + "]";
            const json& pair = array((*m)[i], p);
            if (pair.size() != 2) bad(p, "expected a [key, value] pair");
            spec.meta.emplace_back(string_of(pair[0], p + "[0]"), string_of(pair[1], p + "[1]"));
        }
    }
    if (const json* m = member(j, "communes")) {
        array(*m, "$.communes");
        for (size_t i = 0; i < m->size(); ++i)
            spec.communes.push_back(commune((*m)[i], "$.communes[" + std::to_string(i) + "]"));
    }
    if (const json* m = member(j, "streets")) {
        array(*m, "$.streets");
        for (size_t i = 0; i < m->size(); ++i)
            spec.streets.push_back(street((*m)[i], "$.streets[" + std::to_string(i) + "]"));
    }
    if (const json* m = member(j, "rules")) {
        array(*m, "$.rules");
        for (size_t i = 0; i < m->size(); ++i)
            spec.rules.push_back(rule((*m)[i], "$.rules[" + std::to_string(i) + "]"));
    }
    if (const json* m = member(j, "parser")) spec.parser = hex_bytes(*m, "$.parser");
    if (const json* m = member(j, "rank")) spec.rank = hex_bytes(*m, "$.rank");
    if (const json* m = member(j, "section_overrides")) {
        object(*m, "$.section_overrides");
        for (auto it = m->begin(); it != m->end(); ++it) {
            std::string p = "$.section_overrides." + it.key();
            spec.section_overrides[section_id(it.key(), p)] = hex_bytes(it.value(), p);
        }
    }
    if (const json* m = member(j, "omit_sections")) {
        array(*m, "$.omit_sections");
        for (size_t i = 0; i < m->size(); ++i)
            spec.omit_sections.insert(
                static_cast<int>(integer((*m)[i], "$.omit_sections[" + std::to_string(i) + "]", 255)));
    }
    return spec;
}

}  // namespace

Result<SheetSpec> parse_json_spec(std::string_view json_text) {
    json doc;
    try {
        doc = json::parse(json_text.begin(), json_text.end());
    } catch (const json::parse_error& e) {
        return fail(std::string("invalid JSON: ") + e.what());
    }
    try {
        return sheet(doc);
    } catch (const SpecError& e) {
        return fail(e.message);
    }
}

}  // namespace tarnwik::build
