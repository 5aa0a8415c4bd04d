#include <charconv>

#include "index/index.hpp"
#include "index/mapping.hpp"
#include "util/text.hpp"

namespace tarnwik {

Index::~Index() = default;

std::string_view Index::name(uint64_t offset) const {
    auto len = names_.try_u8(offset);
    if (!len) return {};
    auto bytes = names_.try_sub(offset + 1, *len);
    if (!bytes) return {};
    std::string_view s = bytes->as_chars();
    return text::valid_utf8(s) ? s : std::string_view{};
}

StreetRecord Index::street(uint32_t id) const {
    const ByteView r = streets_meta_.sub(uint64_t{id} * 36, 36);
    return StreetRecord{r.i32(0),  r.i32(4),  r.u32(8),  r.u32(12),
                        r.u32(16), r.u64(20), r.u32(28), r.u32(32)};
}

CommuneRecord Index::commune(uint32_t id) const {
    const ByteView r = communes_meta_.sub(uint64_t{id} * 16, 16);
    std::string_view code = r.sub(0, 8).as_chars();
    code = code.substr(0, code.find('\0'));
    if (!text::valid_utf8(code)) code = {};
    return CommuneRecord{code, r.u32(8), r.u32(12)};
}

std::string_view Index::commune_name(uint32_t id) const {
    if (id >= commune_count()) return {};
    return name(communes_meta_.u32(uint64_t{id} * 16 + 8));
}

std::pair<int32_t, int32_t> Index::commune_coords_e7(uint32_t id) const {
    auto lat = commune_coords_.try_i32(uint64_t{id} * 8);
    auto lon = commune_coords_.try_i32(uint64_t{id} * 8 + 4);
    if (!lat || !lon) return {0, 0};
    return {*lat, *lon};
}

std::string Index::house_number(uint32_t number, uint32_t suffix_id) const {
    std::string out = std::to_string(number);
    if (suffix_id < suffixes_.size()) out += suffixes_[suffix_id];
    return out;
}

std::optional<std::string_view> Index::meta_value(std::string_view key) const {
    for (const auto& [k, v] : meta_)
        if (k == key) return std::string_view(v);
    return std::nullopt;
}

GridCell Index::grid_cell(size_t i) const {
    const ByteView c = grid_cells_.sub(uint64_t{i} * 12, 12);
    return GridCell{c.u32(0), c.u32(4), c.u32(8)};
}

}  // namespace tarnwik
