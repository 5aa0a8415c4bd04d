#include "build/inspect.hpp"

#include <nlohmann/json.hpp>

#include "index/container.hpp"
#include "util/bytes.hpp"

namespace tarnwik::build {

std::string_view section_name(int id) {
    static constexpr std::string_view names[] = {
        "",              "communes_fst",   "communes_meta", "commune_postings", "streets_fst",
        "streets_meta",  "houses",         "names",         "house_suffixes",   "reverse_grid",
        "SEC_PARSER",    "SEC_RANK",       "words_fst",     "word_postings",    "commune_coords",
        "SEC_RULES",     "",               "meta",
    };
    if (id < 0 || id > section::kMaxId) return "";
    return names[id];
}

std::string inspect_json(const Index& index) {
    using nlohmann::ordered_json;
    ordered_json out = ordered_json::object();
    out["path"] = index.path();
    out["format_version"] = index.version();

    // The table of contents in file order (the section table is by id).
    ordered_json sections = ordered_json::array();
    ByteView file = index.file();
    uint8_t n = file.u8(5);
    for (uint8_t i = 0; i < n; ++i) {
        uint64_t at = 6 + 17u * i;
        int id = file.u8(at);
        ordered_json s = ordered_json::object();
        s["id"] = id;
        std::string_view name = section_name(id);
        s["name"] = name.empty() ? ordered_json(nullptr) : ordered_json(std::string(name));
        s["offset"] = file.u64(at + 1);
        s["length"] = file.u64(at + 9);
        sections.push_back(std::move(s));
    }
    out["sections"] = std::move(sections);

    out["communes"] = index.commune_count();
    out["streets"] = index.street_count();
    uint64_t houses = 0;
    for (size_t i = 0; i < index.street_count(); ++i) houses += index.street(static_cast<uint32_t>(i)).house_count;
    out["houses"] = houses;
    out["house_suffixes"] = index.suffixes().size() - 1;
    out["word_keys"] = index.words_fst().key_count();

    ordered_json meta = ordered_json::array();
    for (const auto& [k, v] : index.meta()) meta.push_back(ordered_json::array({k, v}));
    out["meta"] = std::move(meta);

    if (const auto& c = index.center()) {
        out["center"] = ordered_json{{"lat", c->lat}, {"lon", c->lon}};
    } else {
        out["center"] = nullptr;
    }
    return out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

Result<std::string> inspect_sheet(std::string_view path) {
    auto index = Index::open(path);
    if (!index) return std::unexpected(index.error());
    return inspect_json(**index);
}

}  // namespace tarnwik::build
