// Reverse geocoding at arbitrary points against one fixed, real sheet, each
// answer compared with a plain reading of the algorithm: every house of
// every street listed around the point, measured, stably sorted, repeats
// dropped. The engine visits streets nearest box first and stops early, so
// a slip in its bounds, ties or repeats shows up as a difference.
//
// The sheet is built once at start-up through the project's own importer,
// from the CSV named by TARNWIK_FUZZ_REVERSE_CSV, else from the Liechtenstein
// addresses of the shared data when present, else from a CSV generated here
// (lattice streets with exact ties, repeated numbers, and small towns at the
// grid's edges: both poles' last rows, the antimeridian, the equator).
// A sidecar of regions with holes is written next to it, so that every hit
// also runs the point-in-region test.
//
// Input: mode byte, k byte, then the point's description (see point()).
#include <fuzzer/FuzzedDataProvider.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "build/admin_writer.hpp"
#include "build/csv_import.hpp"
#include "build/sheet.hpp"
#include "fuzz_util.hpp"
#include "index/index.hpp"
#include "query/reverse.hpp"

namespace {

using namespace tarnwik;

// ---------------------------------------------------------------------------
// The sheet

std::string generated_csv() {
    std::ostringstream out;
    out.precision(10);
    out << "LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID\n";
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    auto rnd = [&](uint64_t n) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        return seed % n;
    };
    int id = 0;
    auto row = [&](double lat, double lon, const std::string& number, const std::string& street,
                   const std::string& city, const std::string& postcode) {
        out << lon << ',' << lat << ',' << number << ',' << street << ",," << city << ",,," << postcode << ',' << ++id
            << '\n';
    };
    // A lattice town: about 55 m between lattice points, so many houses lie
    // at equal distances from lattice points and midpoints, over several
    // grid cells.
    const double step = 0.0005;
    for (int st = 0; st < 60; ++st) {
        const bool along_lat = rnd(2);
        const int a0 = static_cast<int>(rnd(80)), b0 = static_cast<int>(rnd(80));
        const int len = 1 + static_cast<int>(rnd(40));
        const std::string street = "Gitterweg " + std::to_string(st);
        const std::string city = st % 7 == 0 ? "Nebendorf" : "Gitterstadt";
        for (int i = 0; i < len; ++i) {
            const int a = along_lat ? a0 + i : a0, b = along_lat ? b0 : b0 + i;
            const std::string number = std::to_string(1 + rnd(30)) + (rnd(4) == 0 ? "a" : rnd(9) == 0 ? "/H" : "");
            const std::string pc = rnd(3) == 0 ? "10115" : rnd(2) ? "10117" : "";
            row(50.0 + a * step, 8.0 + b * step, number, street, city, pc);
            if (rnd(5) == 0) row(50.0 + (a + 1) * step, 8.0 + b * step, number, street, city, pc);
        }
    }
    // Towns at the edges of the grid.
    const std::tuple<double, double, const char*> edges[] = {
        {89.995, 179.995, "Nordkap"}, {-89.995, -179.995, "Suedpol"}, {0.0, 0.0, "Nullpunkt"},
        {-0.003, 179.998, "Datumsgrenze"}, {-0.003, -179.998, "Datumsgrenze Ost"}};
    for (const auto& [lat, lon, town] : edges)
        for (int st = 0; st < 4; ++st)
            for (int h = 0; h < 6; ++h) {
                const double la = std::clamp(lat + (static_cast<double>(rnd(200)) - 100) * 4e-5, -90.0, 90.0);
                const double lo = std::clamp(lon + (static_cast<double>(rnd(200)) - 100) * 4e-5, -180.0, 180.0);
                row(la, lo, std::to_string(1 + h), std::string(town) + " Strasse " + std::to_string(st), town, "");
            }
    return out.str();
}

std::string source_csv() {
    if (const char* p = std::getenv("TARNWIK_FUZZ_REVERSE_CSV")) return p;
    const std::string shared = TW_SOURCE_DIR "/../shared/data/li/liechtenstein.csv";
    if (std::filesystem::exists(shared)) return shared;
    return {};
}

// Regions over each commune's houses: its bounding box with a hole in the
// middle, and a triangle over the box's western half listed after it.
std::vector<build::AdminRegionSpec> regions_for(const build::SheetSpec& spec) {
    std::vector<build::AdminRegionSpec> out;
    for (size_t c = 0; c < spec.communes.size(); ++c) {
        double lo_lat = 91, hi_lat = -91, lo_lon = 181, hi_lon = -181;
        for (const auto& s : spec.streets)
            if (s.commune == c)
                for (const auto& h : s.houses)
                    lo_lat = std::min(lo_lat, h.lat), hi_lat = std::max(hi_lat, h.lat), lo_lon = std::min(lo_lon, h.lon),
                    hi_lon = std::max(hi_lon, h.lon);
        if (lo_lat > hi_lat) continue;
        const double mid_lat = (lo_lat + hi_lat) / 2, mid_lon = (lo_lon + hi_lon) / 2;
        const double qlat = (hi_lat - lo_lat) / 4, qlon = (hi_lon - lo_lon) / 4;
        const std::string name = spec.communes[c].name.empty() ? "Region " + std::to_string(c) : spec.communes[c].name;
        out.push_back({name,
                       {{{lo_lat, lo_lon}, {lo_lat, hi_lon}, {hi_lat, hi_lon}, {hi_lat, lo_lon}},
                        {{mid_lat - qlat, mid_lon - qlon}, {mid_lat - qlat, mid_lon + qlon}, {mid_lat + qlat, mid_lon + qlon},
                         {mid_lat + qlat, mid_lon - qlon}}}});
        out.push_back({name + " West", {{{lo_lat, lo_lon}, {hi_lat, lo_lon}, {mid_lat, mid_lon}}}});
    }
    return out;
}

struct Sheet {
    std::shared_ptr<const Index> index;
    std::vector<std::pair<int32_t, int32_t>> houses;  // every house position, 1e-7 degree
    double min_lat = 0, max_lat = 0, min_lon = 0, max_lon = 0;
};

Sheet load_sheet() {
    build::ImportOptions opt;
    opt.country = "li";
    build::AddressImporter importer(opt);
    const std::string csv = source_csv();
    auto added = csv.empty() ? [&] {
        std::istringstream in(generated_csv());
        return importer.add_stream(in, "generated.csv");
    }()
                             : importer.add_file(csv);
    if (!added) fuzz::violated("cannot import the addresses: " + added.error().message);
    const build::SheetSpec spec = importer.finish();
    auto bytes = build::write_sheet(spec);
    if (!bytes) fuzz::violated("cannot write the sheet: " + bytes.error().message);

    char dir_template[] = "/tmp/tarnwik-fuzz-reverse-XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (!dir) fuzz::violated("mkdtemp failed");
    const std::string path = std::string(dir) + "/fuzz.sheet";
    std::ofstream(path, std::ios::binary) << *bytes;
    auto sidecar = build::write_admin_sidecar(path, regions_for(spec));
    if (!sidecar) fuzz::violated("cannot write the sidecar: " + sidecar.error().message);

    Sheet s;
    auto idx = Index::open(path);
    if (!idx) fuzz::violated("the sheet does not open: " + idx.error().message);
    // The mapping and the regions outlive the files.
    std::filesystem::remove_all(dir);
    s.index = *idx;
    if (s.index->admin_regions().empty()) fuzz::violated("the sheet has no regions");

    const Index& x = *s.index;
    s.min_lat = s.min_lon = 1e9, s.max_lat = s.max_lon = -1e9;
    for (uint32_t id = 0; id < x.street_count(); ++id) {
        HouseWalk w = x.walk_houses(id, x.street(id));
        for (HouseRecord h; w.next(h);) {
            s.houses.emplace_back(h.lat_e7, h.lon_e7);
            s.min_lat = std::min(s.min_lat, h.lat_e7 / 1e7), s.max_lat = std::max(s.max_lat, h.lat_e7 / 1e7);
            s.min_lon = std::min(s.min_lon, h.lon_e7 / 1e7), s.max_lon = std::max(s.max_lon, h.lon_e7 / 1e7);
        }
    }
    if (s.houses.empty()) fuzz::violated("the sheet has no houses");
    std::fprintf(stderr, "fuzz_reverse: %zu streets, %zu houses from %s\n", x.street_count(), s.houses.size(),
                 csv.empty() ? "the generated CSV" : csv.c_str());
    return s;
}

// ---------------------------------------------------------------------------
// The plain reading

struct Candidate {
    double d;
    uint32_t street, number, suffix, postcode;
    int32_t lat, lon;
};

std::vector<Hit> reference(const Index& x, double lat, double lon, uint64_t k) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(k, 100));
    std::vector<Hit> hits;
    if (want == 0) return hits;
    std::vector<uint32_t> keys;
    for (size_t i = 0; i < x.grid_cell_count(); ++i) keys.push_back(x.grid_cell(i).cell_key);
    const auto row = static_cast<int64_t>(std::floor((lat + 90) / 0.01));
    const auto col = static_cast<int64_t>(std::floor((lon + 180) / 0.01));
    std::vector<uint32_t> ids;
    for (int64_t radius : {1, 2, 4}) {
        ids.clear();
        for (int64_t dr = -radius; dr <= radius; ++dr)
            for (int64_t dc = -radius; dc <= radius; ++dc) {
                const int64_t r = std::clamp<int64_t>(row + dr, 0, 17999), c = std::clamp<int64_t>(col + dc, 0, 35999);
                const auto key = static_cast<uint32_t>(r * 36000 + c);
                auto it = std::lower_bound(keys.begin(), keys.end(), key);
                if (it == keys.end() || *it != key) continue;
                const GridCell cell = x.grid_cell(static_cast<size_t>(it - keys.begin()));
                if (cell.count == 0 || (uint64_t{cell.first} + cell.count) * 4 > x.grid_blob().size()) continue;
                for (uint32_t j = 0; j < cell.count; ++j) ids.push_back(x.grid_blob().u32((uint64_t{cell.first} + j) * 4));
            }
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        if (ids.size() >= 3) break;
    }
    const double f = std::max(std::cos(lat * M_PI / 180), 0.01);
    std::vector<Candidate> all;
    for (uint32_t sid : ids) {
        if (sid >= x.street_count()) continue;
        HouseWalk w = x.walk_houses(sid, x.street(sid));
        for (HouseRecord h; w.next(h);) {
            const double dy = (h.lat_e7 / 1e7 - lat) * 111320, dx = (h.lon_e7 / 1e7 - lon) * 111320 * f;
            all.push_back({std::sqrt(dy * dy + dx * dx), sid, h.number, h.suffix_id, h.postcode_off, h.lat_e7, h.lon_e7});
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) { return a.d < b.d; });
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> used;
    for (const Candidate& c : all) {
        if (hits.size() == want) break;
        if (!used.insert({c.street, c.number, c.suffix}).second) continue;
        Hit h;
        h.lat = c.lat / 1e7;
        h.lon = c.lon / 1e7;
        h.precision = c.d <= 50 ? "house" : c.d <= 250 ? "near" : "approximate";
        h.confidence = static_cast<float>(std::min(0.95, std::max(0.1, 0.97 - c.d / 500)));
        const StreetRecord r = x.street(c.street);
        h.street = x.name(r.name_off);
        h.housenumber = x.house_number(c.number, c.suffix);
        h.commune = x.commune_name(r.commune_id);
        h.postcode = x.postcode_for_house(r, c.postcode);
        if (auto region = x.admin_at(h.lat, h.lon)) h.region = std::string(*region);
        h.distance_m = std::round(c.d * 10) / 10;
        hits.push_back(std::move(h));
    }
    return hits;
}

std::string show(const Hit& h) {
    char buf[160];
    std::snprintf(buf, sizeof buf, " @%.7f,%.7f %s conf=%.6f d=%.1f region=", h.lat, h.lon, std::string(h.precision).c_str(),
                  h.confidence, h.distance_m.value_or(-1));
    return h.street + " " + h.housenumber.value_or("-") + " / " + h.commune + " " + h.postcode + buf + h.region.value_or("-");
}

// ---------------------------------------------------------------------------
// Points

double from_bits(uint64_t bits) { return std::bit_cast<double>(bits); }

std::pair<double, double> point(FuzzedDataProvider& in, uint8_t mode, const Sheet& s) {
    switch (mode % 4) {
        case 0: {  // any two doubles: NaN, infinities, out of range, subnormals
            const double lat = from_bits(in.ConsumeIntegral<uint64_t>());
            return {lat, from_bits(in.ConsumeIntegral<uint64_t>())};
        }
        case 1: {  // at or near a house, the offset scaled from 1e-7 degree to about 0.8 degree
            const auto& [lat, lon] = s.houses[in.ConsumeIntegral<uint32_t>() % s.houses.size()];
            const int shift = in.ConsumeIntegralInRange(0, 23);
            const double dlat = in.ConsumeIntegral<int8_t>() * std::ldexp(1.0, shift);
            const double dlon = in.ConsumeIntegral<int8_t>() * std::ldexp(1.0, shift);
            return {(lat + dlat) / 1e7, (lon + dlon) / 1e7};
        }
        case 2: {  // anywhere in the sheet's box, with a margin of half its size
            const double fy = in.ConsumeProbability<double>() * 2 - 0.5, fx = in.ConsumeProbability<double>() * 2 - 0.5;
            return {s.min_lat + fy * (s.max_lat - s.min_lat), s.min_lon + fx * (s.max_lon - s.min_lon)};
        }
        default: {  // on or next to a grid line, and on the range's limits
            const auto& [lat, lon] = s.houses[in.ConsumeIntegral<uint32_t>() % s.houses.size()];
            auto snap = [&](double v, double limit) {
                const double line = std::round(v / 1e5) / 100;  // the nearest multiple of 0.01 degree
                switch (in.ConsumeIntegralInRange(0, 4)) {
                    case 0: return line;
                    case 1: return std::nextafter(line, -HUGE_VAL);
                    case 2: return std::nextafter(line, HUGE_VAL);
                    case 3: return std::copysign(limit, v);
                    default: return v / 1e7;
                }
            };
            const double la = snap(lat, 90);
            return {la, snap(lon, 180)};
        }
    }
}

uint64_t k_of(uint8_t b) {
    constexpr uint64_t large[] = {0, 99, 100, 101, 1000, UINT64_MAX};
    return b < 240 ? b % 16 : large[b % 6];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Sheet sheet = load_sheet();
    const Index& x = *sheet.index;
    FuzzedDataProvider in(data, size);
    const uint8_t mode = in.ConsumeIntegral<uint8_t>();
    const uint64_t k = k_of(in.ConsumeIntegral<uint8_t>());
    const auto [lat, lon] = point(in, mode, sheet);

    auto got = query::try_reverse(x, lat, lon, k);
    const bool valid = std::isfinite(lat) && std::fabs(lat) <= 90 && std::isfinite(lon) && std::fabs(lon) <= 180;
    if (!valid) {
        TW_FUZZ_CHECK(!got && got.error().message.starts_with("reverse: coordinates out of range or non-finite (lat="),
                      "invalid coordinates not refused with the reverse message");
        return 0;
    }
    TW_FUZZ_CHECK(got, "valid coordinates refused: " + got.error().message);
    const std::vector<Hit> want = reference(x, lat, lon, k);
    char where[96];
    std::snprintf(where, sizeof where, "at %.17g, %.17g k=%llu", lat, lon, static_cast<unsigned long long>(k));
    TW_FUZZ_CHECK(got->size() == want.size(), std::string(where) + ": " + std::to_string(got->size()) + " hits, the plain reading has " +
                                                  std::to_string(want.size()));
    for (size_t i = 0; i < want.size(); ++i) {
        const Hit& a = (*got)[i];
        const Hit& b = want[i];
        const bool same = a.lat == b.lat && a.lon == b.lon && a.street == b.street && a.housenumber == b.housenumber &&
                          a.commune == b.commune && a.postcode == b.postcode && a.precision == b.precision &&
                          a.confidence == b.confidence && a.distance_m == b.distance_m && a.region == b.region &&
                          a.score == 0 && a.flags.empty();
        TW_FUZZ_CHECK(same, std::string(where) + " hit " + std::to_string(i) + ":\n  engine " + show(a) + "\n  plain  " + show(b));
    }
    return 0;
}
