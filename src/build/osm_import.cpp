#include "build/osm_import.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>
#include <ostream>
#include <vector>

#include <osmium/io/pbf_input.hpp>
#include <osmium/io/xml_input.hpp>
#include <osmium/osm/location.hpp>
#include <osmium/osm/node.hpp>
#include <osmium/osm/relation.hpp>
#include <osmium/osm/way.hpp>

namespace tarnwik::build {

namespace {

bool ends_with_ascii_ci(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size()) return false;
    s = s.substr(s.size() - suffix.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != suffix[i]) return false;
    }
    return true;
}

// The libosmium format name of a file, chosen here rather than by libosmium
// so that is_osm_file and the reader never disagree.
const char* osm_format(std::string_view path) {
    if (ends_with_ascii_ci(path, ".pbf")) return "pbf";
    if (ends_with_ascii_ci(path, ".osm")) return "xml";
    return nullptr;
}

bool blank(std::string_view s) {
    return s.find_first_not_of(" \t\n\r\v\f") == std::string_view::npos;
}

bool has_address(const osmium::TagList& tags) {
    return tags.has_key("addr:housenumber") || tags.has_key("addr:street") || tags.has_key("addr:place");
}

bool is_closed(const osmium::WayNodeList& refs) { return refs.size() >= 2 && refs.ends_have_same_id(); }

// A coordinate in the text form the importer reads: the shortest decimal
// that reads back as the same double, so nothing is lost on the way.
class CoordText {
public:
    explicit CoordText(double v) {
        auto r = std::to_chars(buf_, buf_ + sizeof buf_, v);
        len_ = static_cast<size_t>(r.ptr - buf_);
    }
    CoordText() = default;
    std::string_view view() const { return {buf_, len_}; }

private:
    char buf_[32]{};
    size_t len_ = 0;
};

// Locations of the nodes used by closed address ways: the ids are gathered
// in the first pass, the locations filled in the second.
class WayNodeLocations {
public:
    void want(osmium::object_id_type id) { ids_.push_back(id); }

    void seal() {
        std::sort(ids_.begin(), ids_.end());
        ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
        ids_.shrink_to_fit();
        locations_.assign(ids_.size(), osmium::Location{});
    }

    size_t size() const { return ids_.size(); }

    // Extracts list their nodes by id, so each node only moves a cursor
    // forwards; a file in another order costs a binary search per node.
    void offer(osmium::object_id_type id, osmium::Location loc) {
        if (ids_.empty()) return;
        if (id < last_) cursor_ = 0;
        last_ = id;
        if (cursor_ < ids_.size() && ids_[cursor_] < id)
            cursor_ = static_cast<size_t>(std::lower_bound(ids_.begin() + static_cast<std::ptrdiff_t>(cursor_),
                                                           ids_.end(), id) -
                                          ids_.begin());
        if (cursor_ < ids_.size() && ids_[cursor_] == id) locations_[cursor_] = loc;
    }

    // Invalid when the node was not in the file.
    osmium::Location get(osmium::object_id_type id) const {
        auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
        if (it == ids_.end() || *it != id) return osmium::Location();
        return locations_[static_cast<size_t>(it - ids_.begin())];
    }

private:
    std::vector<osmium::object_id_type> ids_;
    std::vector<osmium::Location> locations_;
    size_t cursor_ = 0;
    osmium::object_id_type last_ = std::numeric_limits<osmium::object_id_type>::min();
};

struct WayPosition {
    double lat = 0, lon = 0;
    bool found = false;    // at least one node located
    bool complete = true;  // every node located
};

// The position of a closed way. The area centroid is computed on the
// degree coordinates directly: stretching east-west by cos(latitude) is an
// affine map, which carries centroids along, so at building scale no
// projection is needed. Coordinates are taken relative to the first node,
// in units of 1e-7 degree, to keep the products small and exact.
WayPosition way_position(const osmium::WayNodeList& refs, const WayNodeLocations& index) {
    // The closing node repeats the first; the ring is the rest.
    size_t n = refs.size() - 1;
    std::vector<osmium::Location> ring;
    ring.reserve(n);
    WayPosition pos;
    for (size_t i = 0; i < n; ++i) {
        osmium::Location loc = refs[i].location();
        if (!loc.valid()) loc = index.get(refs[i].ref());
        if (loc.valid()) ring.push_back(loc);
        else pos.complete = false;
    }
    if (ring.empty()) return pos;
    pos.found = true;
    const double x0 = ring[0].x(), y0 = ring[0].y();
    double area2 = 0, cx = 0, cy = 0;  // twice the signed area; centroid sums
    if (pos.complete && ring.size() >= 3) {
        for (size_t i = 0; i < ring.size(); ++i) {
            const osmium::Location& a = ring[i];
            const osmium::Location& b = ring[(i + 1) % ring.size()];
            double ax = a.x() - x0, ay = a.y() - y0, bx = b.x() - x0, by = b.y() - y0;
            double cross = ax * by - bx * ay;
            area2 += cross;
            cx += (ax + bx) * cross;
            cy += (ay + by) * cross;
        }
    }
    // A ring without area (collinear nodes, or one whose nodes are partly
    // missing, whose area would be a guess) is placed at the mean of its nodes.
    if (std::fabs(area2) >= 1.0) {
        cx /= 3 * area2;
        cy /= 3 * area2;
    } else {
        cx = cy = 0;
        for (const osmium::Location& l : ring) {
            cx += l.x() - x0;
            cy += l.y() - y0;
        }
        cx /= static_cast<double>(ring.size());
        cy /= static_cast<double>(ring.size());
    }
    pos.lon = (x0 + cx) / 1e7;
    pos.lat = (y0 + cy) / 1e7;
    return pos;
}

class OsmReader {
public:
    OsmReader(AddressImporter& importer, uint32_t source, std::string_view name)
        : importer_(importer), source_(source), name_(name), opt_(importer.options()) {}

    // First pass: the nodes the closed address ways need.
    void gather_way_nodes(const osmium::io::File& file) {
        osmium::io::Reader reader(file, osmium::osm_entity_bits::way);
        while (osmium::memory::Buffer buffer = reader.read()) {
            for (const osmium::Way& way : buffer.select<osmium::Way>()) {
                if (!way.visible() || !has_address(way.tags()) || !is_closed(way.nodes())) continue;
                for (const osmium::NodeRef& ref : way.nodes())
                    if (!ref.location().valid()) locations_.want(ref.ref());
            }
        }
        reader.close();
        locations_.seal();
        if (progress()) *opt_.log << name_ << ": address ways use " << locations_.size() << " nodes\n" << std::flush;
    }

    // Second pass: node addresses, the way nodes' locations, way addresses.
    void read_addresses(const osmium::io::File& file) {
        osmium::io::Reader reader(file, osmium::osm_entity_bits::node | osmium::osm_entity_bits::way |
                                            osmium::osm_entity_bits::relation);
        while (osmium::memory::Buffer buffer = reader.read()) {
            for (const osmium::OSMObject& obj : buffer.select<osmium::OSMObject>()) {
                if (!obj.visible()) continue;
                switch (obj.type()) {
                    case osmium::item_type::node: node(static_cast<const osmium::Node&>(obj)); break;
                    case osmium::item_type::way: way(static_cast<const osmium::Way&>(obj)); break;
                    case osmium::item_type::relation:
                        if (has_address(obj.tags())) ++stats_.relations;
                        break;
                    default: break;
                }
            }
        }
        reader.close();
    }

    const OsmImportStats& stats() const { return stats_; }

private:
    bool progress() const { return opt_.log && opt_.progress_every; }

    void node(const osmium::Node& node) {
        locations_.offer(node.id(), node.location());
        if (!has_address(node.tags())) return;
        ++stats_.nodes;
        // A node without a location (possible in XML) reaches the importer
        // with empty coordinates and is skipped there.
        CoordText lat, lon;
        if (node.location().valid()) {
            lat = CoordText(node.location().lat());
            lon = CoordText(node.location().lon());
        }
        add(node, RecordOrigin::Kind::node, lat, lon);
    }

    void way(const osmium::Way& way) {
        if (!has_address(way.tags())) return;
        if (!is_closed(way.nodes())) {
            ++stats_.open_ways;
            return;
        }
        ++stats_.ways;
        WayPosition pos = way_position(way.nodes(), locations_);
        if (!pos.complete) ++stats_.ways_missing_nodes;
        CoordText lat, lon;
        if (pos.found) {
            lat = CoordText(pos.lat);
            lon = CoordText(pos.lon);
        }
        add(way, RecordOrigin::Kind::way, lat, lon);
    }

    void add(const osmium::OSMObject& obj, RecordOrigin::Kind kind, const CoordText& lat, const CoordText& lon) {
        const osmium::TagList& tags = obj.tags();
        auto tag = [&](const char* key) -> std::string_view {
            const char* v = tags.get_value_by_key(key);
            return v ? std::string_view(v) : std::string_view();
        };
        std::string_view street = tag("addr:street"), place = tag("addr:place");
        AddressRecord r;
        r.lat = lat.view();
        r.lon = lon.view();
        r.number = tag("addr:housenumber");
        r.street = blank(street) ? place : street;
        r.city = tag("addr:city");
        r.district = tag("addr:suburb");
        if (blank(r.district) && !blank(street)) r.district = place;
        r.region = tag("addr:state");
        r.postcode = tag("addr:postcode");
        importer_.add_record(source_, r, RecordOrigin{kind, obj.id()});
        uint64_t records = stats_.nodes + stats_.ways;
        if (progress() && records % opt_.progress_every == 0)
            *opt_.log << name_ << ": " << records << " address records read\n" << std::flush;
    }

    AddressImporter& importer_;
    uint32_t source_;
    std::string_view name_;
    const ImportOptions& opt_;
    WayNodeLocations locations_;
    OsmImportStats stats_;
};

}  // namespace

bool is_osm_file(std::string_view path) { return osm_format(path) != nullptr; }

Result<OsmImportStats> add_osm_file(AddressImporter& importer, const std::string& path) {
    const char* format = osm_format(path);
    if (!format) return fail(path + ": not an OpenStreetMap file name (expected .osm.pbf or .osm)");
    auto source = importer.begin_source(path);
    if (!source) return std::unexpected(source.error());
    OsmReader reader(importer, *source, path);
    try {
        osmium::io::File file(path, format);
        reader.gather_way_nodes(file);
        reader.read_addresses(file);
    } catch (const std::exception& e) {
        return fail(path + ": " + e.what());
    }
    return reader.stats();
}

std::string format_osm_report(std::string_view path, const OsmImportStats& s) {
    std::string out(path);
    out += ": " + std::to_string(s.nodes) + " address nodes, " + std::to_string(s.ways) + " address ways";
    if (s.ways_missing_nodes) out += " (" + std::to_string(s.ways_missing_nodes) + " with nodes missing from the file)";
    if (s.open_ways || s.relations)
        out += "; with an address but not read: open ways " + std::to_string(s.open_ways) + ", relations " +
               std::to_string(s.relations);
    out += "\n";
    return out;
}

}  // namespace tarnwik::build
