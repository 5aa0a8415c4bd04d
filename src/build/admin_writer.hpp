// The admin-region sidecar: named polygons read from GeoJSON and written as
// the "WOFA" file that the engine reads next to a sheet.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/result.hpp"

namespace tarnwik::build {

struct AdminRegionSpec {
    std::string name;
    // Rings of (latitude, longitude) in degrees, not closed (the last point
    // joins the first). Rings after the first act as holes; so do all rings
    // of a multipolygon together (even-odd rule).
    std::vector<std::vector<std::pair<double, double>>> rings;
};

struct AdminImportStats {
    size_t features = 0;
    size_t regions = 0;
    size_t without_name = 0;     // no string (or an empty one) under the name property
    size_t not_polygonal = 0;    // no Polygon or MultiPolygon geometry, or only degenerate rings
};

// Regions of a GeoJSON FeatureCollection (or a single Feature): every feature
// whose geometry is a Polygon or MultiPolygon and whose properties hold a
// non-empty string under `name_property` becomes one region with all its
// rings, in feature order. Other features are counted and passed over.
// Fails on text that is not JSON or not GeoJSON, and on coordinates that are
// not [longitude, latitude] pairs within range.
Result<std::vector<AdminRegionSpec>> parse_admin_geojson(std::string_view json, std::string_view name_property,
                                                         AdminImportStats* stats = nullptr);

// The sidecar bytes. Names longer than 255 bytes are cut at a character
// boundary; fails when a ring has more than 65535 points or a region more
// than 65535 rings.
Result<std::string> encode_admin_sidecar(const std::vector<AdminRegionSpec>& regions);

// Writes the sidecar next to the sheet at `sheet_path`, under the name the
// engine looks for, atomically. Returns the sidecar's path.
Result<std::string> write_admin_sidecar(const std::string& sheet_path, const std::vector<AdminRegionSpec>& regions);

}  // namespace tarnwik::build
