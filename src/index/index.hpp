// The opened sheet: everything a query reads, validated once at open time.
//
// A sheet is one read-only file mapped whole. `Index::open` checks the
// container and every section that the search code later walks without
// further checks, so queries can trust record sizes, street records and word
// postings. Everything here is immutable after open and may be shared by any
// number of threads.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/container.hpp"
#include "index/fst/map.hpp"
#include "rules/rules.hpp"
#include "util/bytes.hpp"
#include "util/result.hpp"

namespace tarnwik {

class Mapping;  // shared read-only memory map of a sheet file

// One 36-byte record of `streets_meta`.
struct StreetRecord {
    int32_t lat_e7 = 0;
    int32_t lon_e7 = 0;
    uint32_t commune_id = 0;
    uint32_t postcode_num = 0;
    uint32_t name_off = 0;
    uint64_t houses_off = 0;
    uint32_t house_count = 0;
    uint32_t postcode_ref = 0;

    static constexpr uint32_t kDictionaryMarker = 0xFFFFFFFFu;
};

// One 16-byte record of `communes_meta`.
struct CommuneRecord {
    std::string_view code;  // up to 8 bytes, empty when not UTF-8
    uint32_t name_off = 0;
    uint32_t prominence = 0;
};

struct LatLon {
    double lat = 0;
    double lon = 0;
};

struct GridCell {
    uint32_t cell_key = 0;
    uint32_t first = 0;
    uint32_t count = 0;
};

using MetaPairs = std::vector<std::pair<std::string, std::string>>;

class Index {
public:
    static Result<std::shared_ptr<const Index>> open(std::string_view path);
    // `open`, then refuses a sheet whose "layer" is anything but "addresses".
    static Result<std::shared_ptr<const Index>> open_address(std::string_view path);

    ~Index();
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;

    const std::string& path() const { return path_; }
    uint8_t version() const { return version_; }
    const SectionTable& sections() const { return sections_; }
    ByteView file() const { return file_; }

    // String pool: empty when the offset or the string lies outside `names`
    // or is not UTF-8.
    std::string_view name(uint64_t offset) const;

    size_t street_count() const { return streets_meta_.size() / 36; }
    size_t commune_count() const { return communes_meta_.size() / 16; }
    // Callers pass ids below street_count() / commune_count().
    StreetRecord street(uint32_t id) const;
    CommuneRecord commune(uint32_t id) const;
    std::string_view commune_name(uint32_t id) const;  // empty for an id past the table
    // (0, 0) — "no position" — for ids past `commune_coords`.
    std::pair<int32_t, int32_t> commune_coords_e7(uint32_t id) const;
    // The decimal number followed by the suffix text of `suffix_id`.
    std::string house_number(uint32_t number, uint32_t suffix_id) const;

    std::optional<std::string_view> meta_value(std::string_view key) const;
    std::optional<std::string_view> country() const { return meta_value("country"); }
    const MetaPairs& meta() const { return meta_; }

    const std::optional<LatLon>& center() const { return center_; }
    const std::vector<std::string>& suffixes() const { return suffixes_; }
    const std::unordered_map<std::string, uint32_t>& suffix_ids() const { return suffix_ids_; }
    const Rules& rules() const { return own_rules_ ? *own_rules_ : rules::fallback(); }

    const fst::Map& communes_fst() const { return communes_fst_; }
    const fst::Map& streets_fst() const { return streets_fst_; }
    const fst::Map& words_fst() const { return words_fst_; }

    ByteView communes_meta() const { return communes_meta_; }
    ByteView commune_postings() const { return commune_postings_; }
    ByteView streets_meta() const { return streets_meta_; }
    ByteView houses() const { return houses_; }
    ByteView names() const { return names_; }
    ByteView word_postings() const { return word_postings_; }
    ByteView commune_coords() const { return commune_coords_; }
    ByteView grid_cells() const { return grid_cells_; }
    ByteView grid_blob() const { return grid_blob_; }
    size_t grid_cell_count() const { return grid_cells_.size() / 12; }
    GridCell grid_cell(size_t i) const;

private:
    Index() = default;
    friend class IndexOpener;

    std::string path_;
    std::shared_ptr<const Mapping> map_;
    ByteView file_;
    uint8_t version_ = 0;
    SectionTable sections_{};

    ByteView communes_meta_, commune_postings_, streets_meta_, houses_, names_,
        word_postings_, commune_coords_, grid_cells_, grid_blob_;
    fst::Map communes_fst_, streets_fst_, words_fst_;

    std::optional<LatLon> center_;
    std::vector<std::string> suffixes_;
    std::unordered_map<std::string, uint32_t> suffix_ids_;
    MetaPairs meta_;
    std::unique_ptr<const Rules> own_rules_;  // null: the process-wide fallback rules
};

}  // namespace tarnwik
