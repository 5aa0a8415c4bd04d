// FST map speed: building maps of a few million street-like keys, then
// streaming and looking them all up. Run by hand in a Release build:
//   fst_bench [key count, default 2000000]
// Prints wall times, map sizes and the process's peak resident memory.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "build/fst/builder.hpp"
#include "index/fst/map.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

long peak_rss_mb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

// Keys shaped like the street-commune map: type word, a name made of
// syllables, the separator byte and a commune code.
std::vector<std::pair<std::string, uint64_t>> street_keys(size_t n) {
    static const char* types[] = {"rue ", "avenue ", "chemin ", "place ", "allee ", "impasse ", "route ", ""};
    static const char* syll[] = {"ber", "lin", "ma", "rie", "sch", "ul", "tz", "gar", "ten", "wald",
                                 "au", "bach", "dorf", "heim", "ing", "os", "ka", "ro", "vi", "st"};
    static const char* tails[] = {"strasse", "weg", "gasse", "platz", "", "", "", ""};
    std::mt19937_64 rng(12345);
    std::vector<std::pair<std::string, uint64_t>> out;
    out.reserve(n + n / 8);
    while (out.size() < n + n / 8) {
        std::string k = types[rng() % 8];
        const int parts = 2 + rng() % 3;
        for (int i = 0; i < parts; ++i) k += syll[rng() % 20];
        if (rng() % 3 == 0) k += std::string(" ") + syll[rng() % 20] + syll[rng() % 20];
        k += tails[rng() % 8];
        k += '\x1F';
        k += std::to_string(1000 + rng() % 35000);
        out.emplace_back(std::move(k), 0);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end(), [](auto& a, auto& b) { return a.first == b.first; }),
              out.end());
    if (out.size() > n) out.resize(n);
    for (size_t i = 0; i < out.size(); ++i) out[i].second = i;
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2'000'000;
    auto t = Clock::now();
    const auto keys = street_keys(n);
    size_t key_bytes = 0;
    for (const auto& [k, v] : keys) key_bytes += k.size();
    std::printf("%zu keys, %.1f MB of key text, generated in %.2f s\n", keys.size(), key_bytes / 1e6,
                since(t));

    for (int version : {1, 3}) {
        t = Clock::now();
        const std::string bytes = tarnwik::build::fst::build_map(keys, version);
        const double build_s = since(t);
        auto m = tarnwik::fst::Map::open(tarnwik::ByteView(std::string_view(bytes)));
        if (!m) {
            std::printf("open failed: %s\n", m.error().message.c_str());
            return 1;
        }

        t = Clock::now();
        auto s = m->range();
        size_t streamed = 0;
        uint64_t sum = 0;
        while (s.next()) {
            ++streamed;
            sum += s.value();
        }
        const double stream_s = since(t);

        t = Clock::now();
        size_t found = 0;
        for (const auto& [k, v] : keys) found += m->get(k) == v;
        const double get_s = since(t);

        std::printf("v%d: build %.2f s, %.1f MB map; stream %zu keys %.2f s; get %zu/%zu %.2f s (%llu)\n",
                    version, build_s, bytes.size() / 1e6, streamed, stream_s, found, keys.size(), get_s,
                    static_cast<unsigned long long>(sum % 1000));
    }
    std::printf("peak resident memory %ld MB\n", peak_rss_mb());
    return 0;
}
