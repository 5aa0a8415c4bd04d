// Administrative regions: the optional sidecar file of named polygons that
// sits next to a sheet, and the point-in-region test.
//
// The sidecar is optional data: nothing about it may ever fail opening a
// sheet. A foreign or misnamed file only disables regions, with one warning
// line on standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/bytes.hpp"

namespace tarnwik {

struct AdminRegion {
    std::string name;
    // (latitude, longitude) in 1e-7 degree; inner rings are holes (even-odd
    // rule across all rings).
    std::vector<std::vector<std::pair<int32_t, int32_t>>> rings;
    int32_t min_lat = 0, min_lon = 0, max_lat = 0, max_lon = 0;
};

inline constexpr char kAdminMagic[4] = {'W', 'O', 'F', 'A'};
inline constexpr std::string_view kAdminSuffix = "_admin.bin";

// Where the sidecar of a sheet is expected: the sheet's file stem followed by
// "_admin.bin", in the sheet's directory ("/d/de.sheet" -> "/d/de_admin.bin").
std::string admin_sidecar_path(std::string_view sheet_path);

// Region records of a sidecar's bytes, or nothing when the bytes are not a
// sidecar (8 bytes or fewer, or no magic). A record list cut short yields
// the regions completed before the cut.
std::optional<std::vector<AdminRegion>> parse_admin_sidecar(ByteView bytes);

// The regions of the sidecar next to `sheet_path`; empty when there is none
// or it cannot be used (then with a warning on standard error when the
// sidecar is foreign or misnamed). Never fails.
std::vector<AdminRegion> load_admin(std::string_view sheet_path);

// The name of the first region containing the point (degrees).
std::optional<std::string_view> region_at(const std::vector<AdminRegion>& regions, double lat, double lon);

}  // namespace tarnwik
