#include "build/models.hpp"

#include <bit>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>

namespace tarnwik::build {
namespace {

using nlohmann::json;

// Errors travel as this exception inside the walk only; each entry point
// turns it into an Error.
struct ModelError {
    std::string message;
};

[[noreturn]] void bad(const std::string& path, const std::string& what) {
    throw ModelError{path + ": " + what};
}

const json& root_object(const json& j, std::initializer_list<std::string_view> members) {
    if (!j.is_object()) bad("$", "expected an object");
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool known = false;
        for (std::string_view m : members) known = known || it.key() == m;
        if (!known) bad("$", "unknown member \"" + it.key() + "\"");
    }
    for (std::string_view m : members)
        if (!j.contains(m)) bad("$", "missing member \"" + std::string(m) + "\"");
    return j;
}

uint64_t count(const json& j, const std::string& path, uint64_t max) {
    if (j.is_number_unsigned() && j.get<uint64_t>() >= 1 && j.get<uint64_t>() <= max) return j.get<uint64_t>();
    bad(path, "expected an integer in 1.." + std::to_string(max));
}

// A JSON number as the f32 the section will hold.
float f32(const json& j, const std::string& path) {
    if (!j.is_number()) bad(path, "expected a number");
    const double d = j.get<double>();
    if (!(std::fabs(d) <= std::numeric_limits<float>::max())) bad(path, "is not a finite 32-bit float");
    return static_cast<float>(d);
}

const json& array_of(const json& j, const std::string& path, uint64_t n, const char* unit) {
    if (!j.is_array()) bad(path, "expected an array");
    if (j.size() != n)
        bad(path, "expected " + std::to_string(n) + " numbers (" + unit + "), got " + std::to_string(j.size()));
    return j;
}

void floats_into(const json& j, const std::string& path, std::vector<float>& out) {
    for (size_t i = 0; i < j.size(); ++i) out.push_back(f32(j[i], path + "[" + std::to_string(i) + "]"));
}

json parse(std::string_view text) {
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::parse_error& e) {
        throw ModelError{std::string("invalid JSON: ") + e.what()};
    }
}

ParserModel parser_model(std::string_view text) {
    const json doc = parse(text);
    const json& j = root_object(doc, {"buckets", "labels", "bias", "weights"});
    ParserModel m;
    m.buckets = static_cast<uint32_t>(count(j["buckets"], "$.buckets", UINT32_MAX));
    const uint64_t labels = count(j["labels"], "$.labels", 255);
    floats_into(array_of(j["bias"], "$.bias", labels, "one per label"), "$.bias", m.bias);
    const json& rows = j["weights"];
    if (!rows.is_array()) bad("$.weights", "expected an array");
    if (rows.size() != labels)
        bad("$.weights", "expected " + std::to_string(labels) + " arrays (one per label), got " +
                             std::to_string(rows.size()));
    // Shapes first: "buckets" alone must not decide how much is allocated.
    auto row_path = [](size_t l) { return "$.weights[" + std::to_string(l) + "]"; };
    for (size_t l = 0; l < labels; ++l) array_of(rows[l], row_path(l), m.buckets, "one per bucket");
    m.weights.reserve(labels * m.buckets);
    for (size_t l = 0; l < labels; ++l) floats_into(rows[l], row_path(l), m.weights);
    return m;
}

RankModel rank_model(std::string_view text) {
    const json doc = parse(text);
    const json& j = root_object(doc, {"bias", "weights"});
    RankModel m;
    m.bias = f32(j["bias"], "$.bias");
    const json& w = array_of(j["weights"], "$.weights", m.weights.size(), "one per feature");
    for (size_t i = 0; i < m.weights.size(); ++i) m.weights[i] = f32(w[i], "$.weights[" + std::to_string(i) + "]");
    return m;
}

void put_u32(std::string& s, uint32_t v) {
    for (int k = 0; k < 4; ++k) s.push_back(static_cast<char>(v >> (8 * k)));
}
void put_f32(std::string& s, float f) { put_u32(s, std::bit_cast<uint32_t>(f)); }

bool all_finite(const std::vector<float>& v) {
    for (float f : v)
        if (!std::isfinite(f)) return false;
    return true;
}

}  // namespace

Result<ParserModel> parse_parser_model(std::string_view json_text) {
    try {
        return parser_model(json_text);
    } catch (const ModelError& e) {
        return fail(e.message);
    }
}

Result<RankModel> parse_rank_model(std::string_view json_text) {
    try {
        return rank_model(json_text);
    } catch (const ModelError& e) {
        return fail(e.message);
    }
}

Result<std::string> encode_parser_section(const ParserModel& model) {
    const uint64_t labels = model.bias.size();
    if (model.buckets == 0) return fail("a labeller needs at least one bucket");
    if (labels == 0 || labels > 255) return fail("a labeller needs 1 to 255 labels");
    if (model.weights.size() != labels * model.buckets)
        return fail("a labeller with " + std::to_string(labels) + " labels and " + std::to_string(model.buckets) +
                    " buckets needs " + std::to_string(labels * model.buckets) + " weights, not " +
                    std::to_string(model.weights.size()));
    if (!all_finite(model.bias) || !all_finite(model.weights))
        return fail("a labeller's biases and weights must be finite");
    std::string s = "TWML";
    s.reserve(9 + 4 * (labels + model.weights.size()));
    put_u32(s, model.buckets);
    s.push_back(static_cast<char>(labels));
    for (float f : model.bias) put_f32(s, f);
    for (float f : model.weights) put_f32(s, f);
    return s;
}

Result<std::string> encode_rank_section(const RankModel& model) {
    if (!std::isfinite(model.bias) || !all_finite({model.weights.begin(), model.weights.end()}))
        return fail("a rank model's bias and weights must be finite");
    std::string s = "TWRK";
    s.push_back(static_cast<char>(model.weights.size()));
    put_f32(s, model.bias);
    for (float f : model.weights) put_f32(s, f);
    return s;
}

Result<std::string> parser_section_from_json(std::string_view json_text) {
    auto m = parse_parser_model(json_text);
    if (!m) return std::unexpected(m.error());
    return encode_parser_section(*m);
}

Result<std::string> rank_section_from_json(std::string_view json_text) {
    auto m = parse_rank_model(json_text);
    if (!m) return std::unexpected(m.error());
    return encode_rank_section(*m);
}

}  // namespace tarnwik::build
