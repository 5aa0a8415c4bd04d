#include "build/admin_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "index/admin.hpp"
#include "util/text.hpp"

namespace tarnwik::build {

namespace {

using json = nlohmann::json;

struct Bad {
    std::string message;
};

using Ring = std::vector<std::pair<double, double>>;

Ring read_ring(const json& ring, const std::string& where) {
    if (!ring.is_array()) throw Bad{where + ": expected an array of positions"};
    Ring out;
    out.reserve(ring.size());
    for (size_t i = 0; i < ring.size(); ++i) {
        const json& p = ring[i];
        const std::string at = fmt::format("{}[{}]", where, i);
        if (!p.is_array() || p.size() < 2 || !p[0].is_number() || !p[1].is_number())
            throw Bad{at + ": expected [longitude, latitude]"};
        const double lon = p[0].get<double>(), lat = p[1].get<double>();
        if (!std::isfinite(lat) || !std::isfinite(lon) || std::fabs(lat) > 90 || std::fabs(lon) > 180)
            throw Bad{at + ": position out of range"};
        out.emplace_back(lat, lon);
    }
    // GeoJSON closes every ring by repeating its first point; the sidecar
    // joins last and first by itself.
    if (out.size() > 1 && out.front() == out.back()) out.pop_back();
    return out;
}

void read_polygon(const json& rings, const std::string& where, std::vector<Ring>& out) {
    if (!rings.is_array()) throw Bad{where + ": expected an array of rings"};
    for (size_t i = 0; i < rings.size(); ++i) {
        Ring r = read_ring(rings[i], fmt::format("{}[{}]", where, i));
        if (r.size() >= 3) out.push_back(std::move(r));  // a ring of fewer points encloses nothing
    }
}

void read_feature(const json& f, const std::string& where, std::string_view name_property,
                  std::vector<AdminRegionSpec>& out, AdminImportStats& st) {
    if (!f.is_object()) throw Bad{where + ": expected a Feature object"};
    ++st.features;
    std::string name;
    if (auto props = f.find("properties"); props != f.end() && props->is_object())
        if (auto n = props->find(name_property); n != props->end() && n->is_string()) name = n->get<std::string>();
    if (name.empty()) {
        ++st.without_name;
        return;
    }
    auto geom = f.find("geometry");
    if (geom == f.end() || !geom->is_object()) {
        ++st.not_polygonal;
        return;
    }
    const std::string type = geom->value("type", "");
    const std::string gwhere = where + ".geometry.coordinates";
    auto coords = geom->find("coordinates");
    AdminRegionSpec region{std::move(name), {}};
    if (type == "Polygon") {
        if (coords == geom->end()) throw Bad{gwhere + ": missing"};
        read_polygon(*coords, gwhere, region.rings);
    } else if (type == "MultiPolygon") {
        if (coords == geom->end() || !coords->is_array()) throw Bad{gwhere + ": expected an array of polygons"};
        for (size_t i = 0; i < coords->size(); ++i)
            read_polygon((*coords)[i], fmt::format("{}[{}]", gwhere, i), region.rings);
    }
    if (region.rings.empty()) {
        ++st.not_polygonal;
        return;
    }
    out.push_back(std::move(region));
    ++st.regions;
}

int32_t e7(double deg) { return static_cast<int32_t>(std::llround(deg * 1e7)); }

void put_u16(std::string& o, uint16_t v) { o.append(reinterpret_cast<const char*>(&v), 2); }
void put_u32(std::string& o, uint32_t v) { o.append(reinterpret_cast<const char*>(&v), 4); }
void put_i32(std::string& o, int32_t v) { o.append(reinterpret_cast<const char*>(&v), 4); }

std::string clip255(std::string_view s) {
    if (s.size() <= 255) return std::string(s);
    size_t n = 255;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return std::string(s.substr(0, n));
}

}  // namespace

Result<std::vector<AdminRegionSpec>> parse_admin_geojson(std::string_view text, std::string_view name_property,
                                                         AdminImportStats* stats) {
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) return fail("not valid JSON");
    AdminImportStats st;
    std::vector<AdminRegionSpec> out;
    try {
        const std::string type = doc.is_object() ? doc.value("type", "") : "";
        if (type == "FeatureCollection") {
            auto features = doc.find("features");
            if (features == doc.end() || !features->is_array()) throw Bad{"features: expected an array"};
            for (size_t i = 0; i < features->size(); ++i)
                read_feature((*features)[i], fmt::format("features[{}]", i), name_property, out, st);
        } else if (type == "Feature") {
            read_feature(doc, "feature", name_property, out, st);
        } else {
            throw Bad{"expected a GeoJSON FeatureCollection or Feature"};
        }
    } catch (const Bad& b) {
        return fail(b.message);
    } catch (const json::exception& e) {
        return fail(std::string("malformed GeoJSON: ") + e.what());
    }
    if (stats) *stats = st;
    return out;
}

Result<std::string> encode_admin_sidecar(const std::vector<AdminRegionSpec>& regions) {
    if (regions.size() > UINT32_MAX) return fail("too many regions");
    std::string out(kAdminMagic, 4);
    put_u32(out, static_cast<uint32_t>(regions.size()));
    for (const AdminRegionSpec& r : regions) {
        if (r.rings.size() > 0xFFFF)
            return fail(fmt::format("region {} has more than 65535 rings", text::debug_quote(r.name)));
        int32_t min_lat = INT32_MAX, min_lon = INT32_MAX, max_lat = INT32_MIN, max_lon = INT32_MIN;
        std::string rings;
        for (const Ring& ring : r.rings) {
            if (ring.size() > 0xFFFF)
                return fail(fmt::format("region {} has a ring of more than 65535 points", text::debug_quote(r.name)));
            put_u16(rings, static_cast<uint16_t>(ring.size()));
            for (auto [lat, lon] : ring) {
                if (!std::isfinite(lat) || !std::isfinite(lon) || std::fabs(lat) > 90 || std::fabs(lon) > 180)
                    return fail(fmt::format("region {} has a position out of range", text::debug_quote(r.name)));
                const int32_t y = e7(lat), x = e7(lon);
                min_lat = std::min(min_lat, y), max_lat = std::max(max_lat, y);
                min_lon = std::min(min_lon, x), max_lon = std::max(max_lon, x);
                put_i32(rings, y);
                put_i32(rings, x);
            }
        }
        if (min_lat > max_lat) min_lat = max_lat = min_lon = max_lon = 0;  // no points at all
        const std::string name = clip255(r.name);
        out.push_back(static_cast<char>(name.size()));
        out += name;
        put_i32(out, min_lat);
        put_i32(out, min_lon);
        put_i32(out, max_lat);
        put_i32(out, max_lon);
        put_u16(out, static_cast<uint16_t>(r.rings.size()));
        out += rings;
    }
    return out;
}

Result<std::string> write_admin_sidecar(const std::string& sheet_path, const std::vector<AdminRegionSpec>& regions) {
    auto bytes = encode_admin_sidecar(regions);
    if (!bytes) return std::unexpected(bytes.error());
    const std::string path = admin_sidecar_path(sheet_path);
    const size_t slash = path.rfind('/');
    const std::string tmp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." +
                            path.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp-" +
                            std::to_string(::getpid());
    ::unlink(tmp.c_str());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return fail("cannot create " + text::debug_quote(tmp) + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t w = ::write(fd, bytes->data() + done, bytes->size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
            const int e = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            return fail("cannot write " + text::debug_quote(tmp) + ": " + std::strerror(e));
        }
        done += static_cast<size_t>(w);
    }
    const bool synced = ::fsync(fd) == 0;
    const int sync_errno = errno;
    if (::close(fd) != 0 || !synced) {
        const int e = synced ? errno : sync_errno;
        ::unlink(tmp.c_str());
        return fail("cannot write " + text::debug_quote(tmp) + ": " + std::strerror(e));
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        return fail("cannot rename the admin sidecar to " + text::debug_quote(path) + ": " + std::strerror(e));
    }
    return path;
}

}  // namespace tarnwik::build
