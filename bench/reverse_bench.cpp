// Reverse geocoding throughput on one core (thread CPU time): the sheet of de/essen.csv
// (built in-process), k = 3, at query points spread over the city (house
// positions moved by up to about 200 m in each direction), and, as a second
// figure, at points uniform over the city's bounding box.
//
//   reverse_bench [data_dir] [seconds]
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "build/csv_import.hpp"
#include "build/sheet_file.hpp"
#include "index/index.hpp"
#include "query/reverse.hpp"

namespace {

using namespace tarnwik;

constexpr double kTarget = 200000;  // calls per second

struct Point {
    double lat, lon;
};

struct Run {
    double calls_per_s;
    double hits_per_call;
};

// CPU time of this thread: the figure is per core even on a busy machine.
double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Run measure(const Index& idx, const std::vector<Point>& points, double seconds) {
    size_t calls = 0, hits = 0;
    const double start = thread_seconds();
    while (thread_seconds() - start < seconds) {
        for (size_t i = 0; i < 1000; ++i, ++calls) {
            const Point& p = points[calls % points.size()];
            auto r = query::try_reverse(idx, p.lat, p.lon, 3);
            hits += r ? r->size() : 0;
        }
    }
    const double took = thread_seconds() - start;
    return {static_cast<double>(calls) / took, static_cast<double>(hits) / static_cast<double>(calls)};
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path data = argc > 1 ? fs::path(argv[1]) : fs::path(TW_BENCH_DATA_DIR);
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    const fs::path csv = data / "de" / "essen.csv";
    if (!fs::exists(csv)) {
        std::fprintf(stderr, "skipped: %s is absent\n", csv.c_str());
        return 0;
    }

    build::AddressImporter importer(build::ImportOptions{.country = "de"});
    if (auto r = importer.add_file(csv.string()); !r) {
        std::fprintf(stderr, "%s\n", r.error().message.c_str());
        return 1;
    }
    build::SheetSpec spec = importer.finish();
    std::vector<Point> houses;
    for (const auto& s : spec.streets)
        for (const auto& h : s.houses) houses.push_back({h.lat, h.lon});

    fs::create_directories(TW_BENCH_WORK_DIR);
    const std::string path = std::string(TW_BENCH_WORK_DIR) + "/essen-reverse.sheet";
    if (auto w = build::write_sheet_file(path, spec); !w) {
        std::fprintf(stderr, "%s\n", w.error().message.c_str());
        return 1;
    }
    auto idx = Index::open(path);
    if (!idx) {
        std::fprintf(stderr, "%s\n", idx.error().message.c_str());
        return 1;
    }

    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> jitter(-0.002, 0.002);
    std::vector<Point> near, box;
    double lat0 = 90, lat1 = -90, lon0 = 180, lon1 = -180;
    for (const Point& h : houses) {
        lat0 = std::min(lat0, h.lat), lat1 = std::max(lat1, h.lat);
        lon0 = std::min(lon0, h.lon), lon1 = std::max(lon1, h.lon);
    }
    std::uniform_int_distribution<size_t> pick(0, houses.size() - 1);
    std::uniform_real_distribution<double> ulat(lat0, lat1), ulon(lon0, lon1);
    for (int i = 0; i < 100000; ++i) {
        const Point& h = houses[pick(rng)];
        near.push_back({h.lat + jitter(rng), h.lon + jitter(rng)});
        box.push_back({ulat(rng), ulon(rng)});
    }

    measure(**idx, near, 0.3);  // warm the page cache and branch predictors
    const Run a = measure(**idx, near, seconds);
    const Run b = measure(**idx, box, seconds);
    std::printf("sheet: %s, %zu houses, %zu streets\n", path.c_str(), houses.size(), (*idx)->street_count());
    std::printf("reverse(k=3) near houses:  %9.0f calls/s (%.2f hits/call), target %.0f: %s\n", a.calls_per_s,
                a.hits_per_call, kTarget, a.calls_per_s >= kTarget ? "OK" : "MISSED");
    std::printf("reverse(k=3) bounding box: %9.0f calls/s (%.2f hits/call)\n", b.calls_per_s, b.hits_per_call);
    return 0;
}
