#include "build/keys_report.hpp"

#include <nlohmann/json.hpp>

#include "norm/norm.hpp"
#include "query/keys.hpp"
#include "util/text.hpp"

namespace tarnwik::build {
namespace {

struct KeyForm {
    const char* name;
    std::string (*make)(std::string_view);
};

// Each text function of the engine that makes keys shows its form here,
// one line each, in the order a query meets them. The search applies the
// script functions and the phonetic key to normalised text, and normalises
// what a transliteration gives back, so they are shown that way.
const KeyForm kKeyForms[] = {
    {"normalize", [](std::string_view s) { return norm::normalize(s); }},
    {"fold_homoglyphs", [](std::string_view s) { return norm::fold_homoglyphs(norm::normalize(s)); }},
    {"translit_cyr_lat", [](std::string_view s) { return norm::normalize(norm::translit_cyr_lat(norm::normalize(s))); }},
    {"translit_cyr_lat_en", [](std::string_view s) { return norm::normalize(norm::translit_cyr_lat_en(norm::normalize(s))); }},
    {"translit_lat_cyr", [](std::string_view s) { return norm::normalize(norm::translit_lat_cyr(norm::normalize(s))); }},
    {"phonetic_key", [](std::string_view s) { return norm::phonetic_key(norm::normalize(s)); }},
    {"fold_units", [](std::string_view s) { return query::fold_units(norm::fold_homoglyphs(norm::normalize(s))); }},
    {"prepared_query_key", [](std::string_view s) { return query::prepared_query_key(s); }},
    {"street_key", [](std::string_view s) { return query::street_key(s); }},
};

}  // namespace

Result<std::string> keys_json(std::string_view text) {
    if (!text::valid_utf8(text)) return fail("text is not valid UTF-8: " + text::debug_quote(text));
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const KeyForm& f : kKeyForms) out[f.name] = f.make(text);
    return out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace tarnwik::build
