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
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/admin.hpp"
#include "index/container.hpp"
#include "index/fst/map.hpp"
#include "index/house_walk.hpp"
#include "ml/ml.hpp"
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

enum class HouseMatchKind : uint8_t { nearest = 0, same_number = 1, exact = 2, interpolated = 3 };

// A requested house as placed on its street.
struct FoundHouse {
    LatLon pos;
    uint32_t number = 0;
    uint32_t suffix_id = 0;
    HouseMatchKind kind = HouseMatchKind::nearest;
    uint32_t postcode_off = 0;  // 0: none
};

// The sheet's linear rank model (SEC_RANK): a hit's score is the bias plus
// the weighted sum of its ten 0/1 match features.
struct RankModel {
    float bias = 0;
    std::array<float, 10> weights{};
};

// Memo of the exact-house postcode test, owned by one query.
struct PostcodeMemoKey {
    uint32_t street, number, suffix_id, postcode;
    bool operator==(const PostcodeMemoKey&) const = default;
};
struct PostcodeMemoHash {
    size_t operator()(const PostcodeMemoKey& k) const noexcept {
        uint64_t a = (uint64_t{k.street} << 32) | k.number, b = (uint64_t{k.suffix_id} << 32) | k.postcode;
        a *= 0x9E3779B97F4A7C15ull;
        b *= 0xC2B2AE3D27D4EB4Full;
        return static_cast<size_t>(a ^ (b >> 29) ^ b);
    }
};
using PostcodeMemo = std::unordered_map<PostcodeMemoKey, bool, PostcodeMemoHash>;

// The value of a text's leading ASCII digits; nothing when there are none or
// they exceed 32 bits.
std::optional<uint32_t> postcode_numeric_prefix(std::string_view text);

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

    // House lookup. The block of a street is found through its id (it ends
    // where the next street's begins); the record supplies everything else.
    HouseWalk walk_houses(uint32_t street_id, const StreetRecord& r) const;
    std::optional<FoundHouse> find_house(uint32_t street_id, const StreetRecord& r, uint32_t number,
                                         uint32_t suffix_id, bool postcode_given,
                                         uint32_t postcode_value) const;
    // The postcode text of a placed house (possibly empty).
    std::string postcode_for_house(const StreetRecord& r, uint32_t postcode_off) const;
    // Whether the exact house (number, suffix) exists on the street inside
    // the postcode; answers are memoised per query.
    bool exact_house_postcode_candidate_cached(PostcodeMemo& memo, uint32_t street_id,
                                               const StreetRecord& r, uint32_t number,
                                               uint32_t suffix_id, uint32_t postcode_value) const;
    // The same test for `number` and then every further number (same suffix).
    bool exact_house_postcode_set_candidate_cached(PostcodeMemo& memo, uint32_t street_id,
                                                   const StreetRecord& r, uint32_t number,
                                                   uint32_t suffix_id,
                                                   std::span<const uint32_t> more_numbers,
                                                   uint32_t postcode_value) const;
    // Great-circle distance in kilometres (haversine, Earth diameter 12742 km).
    static double dist_km(double lat1, double lon1, double lat2, double lon2);
    // The box around each street's decodable houses, by street id; built on
    // first use (decoding every block once) so that reverse geocoding can
    // pass over streets that cannot hold one of the nearest houses.
    const std::vector<StreetBox>& street_boxes() const;

    // Administrative regions from the sidecar next to the sheet.
    const std::vector<AdminRegion>& admin_regions() const { return admin_regions_; }
    // The name of the first region containing the point.
    std::optional<std::string_view> admin_at(double lat, double lon) const {
        return region_at(admin_regions_, lat, lon);
    }

    std::optional<std::string_view> meta_value(std::string_view key) const;
    std::optional<std::string_view> country() const { return meta_value("country"); }
    const MetaPairs& meta() const { return meta_; }

    const std::optional<LatLon>& center() const { return center_; }
    const std::vector<std::string>& suffixes() const { return suffixes_; }
    const std::unordered_map<std::string, uint32_t>& suffix_ids() const { return suffix_ids_; }
    const Rules& rules() const { return own_rules_ ? *own_rules_ : rules::fallback(); }
    // The sheet's token labeller; null when the sheet carries none.
    const ml::Parser* parser() const { return parser_ ? &*parser_ : nullptr; }
    // The sheet's rank model; null when the sheet carries none.
    const RankModel* rank_model() const { return rank_model_ ? &*rank_model_ : nullptr; }

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
    std::vector<AdminRegion> admin_regions_;
    mutable std::once_flag street_boxes_once_;
    mutable std::vector<StreetBox> street_boxes_;
    std::unique_ptr<const Rules> own_rules_;  // null: the process-wide fallback rules
    std::optional<ml::Parser> parser_;        // its weights point into map_
    std::optional<RankModel> rank_model_;
};

}  // namespace tarnwik
