// Levenshtein automaton speed: building one, fetching it again from the
// per-thread cache, and streaming a street map through it with the
// starts-with adapter, against a plain edit-distance scan of every key.
//
//   levenshtein_bench [SHEET]
//
// SHEET is a sheet built by `tarnwik-sheet build` (for instance from
// ../shared/data/de/essen.csv); its street map is streamed. Without it a
// synthetic street map of the same size is streamed instead. Run by hand in
// a Release build.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "build/fst/builder.hpp"
#include "index/fst/map.hpp"
#include "index/index.hpp"
#include "levenshtein/levenshtein.hpp"
#include "util/text.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tarnwik::fst::StartsWith;
using tarnwik::levenshtein::Levenshtein;

double us_since(Clock::time_point t) { return std::chrono::duration<double, std::micro>(Clock::now() - t).count(); }

struct Summary {
    double median = 0, mean = 0, p90 = 0, max = 0;
};

Summary summarize(std::vector<double> v) {
    Summary s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p90 = v[v.size() * 9 / 10];
    s.max = v.back();
    for (double x : v) s.mean += x;
    s.mean /= static_cast<double>(v.size());
    return s;
}

// The baseline: whether some prefix of `key` is within `d` of `q`, by one
// edit-distance column per key character, stopping once every entry is
// beyond d.
bool prefix_within(const std::u32string& q, std::string_view key, uint32_t d, std::vector<uint32_t>& col,
                   std::vector<uint32_t>& next) {
    const size_t n = q.size();
    col.resize(n + 1);
    next.resize(n + 1);
    for (size_t i = 0; i <= n; ++i) col[i] = static_cast<uint32_t>(i);
    if (col[n] <= d) return true;
    for (size_t k = 0; k < key.size();) {
        const char32_t c = tarnwik::text::next_scalar(key, k);
        next[0] = col[0] + 1;
        uint32_t best = next[0];
        for (size_t i = 1; i <= n; ++i) {
            next[i] = std::min({next[i - 1] + 1, col[i] + 1, col[i - 1] + (q[i - 1] == c ? 0u : 1u)});
            best = std::min(best, next[i]);
        }
        std::swap(col, next);
        if (col[n] <= d) return true;
        if (best > d) return false;
    }
    return false;
}

std::u32string scalars(std::string_view s) {
    std::u32string out;
    for (size_t i = 0; i < s.size();) out.push_back(tarnwik::text::next_scalar(s, i));
    return out;
}

void bench_build() {
    struct Q {
        const char* text;
        uint32_t d;
    };
    const Q queries[] = {{"altenessener strasse", 2}, {"altenessener strasse", 1}, {"rue victor hugo", 2},
                         {"hauptstrasse", 2},         {"улица ленина", 2},         {"abcdefghijklmnopqrst", 2}};
    std::printf("build (target: 20 characters at distance 2 under 200 us)\n");
    for (const Q& q : queries) {
        std::vector<double> times;
        uint32_t states = 0, counted = 0;
        for (int i = 0; i < 400; ++i) {
            const auto t = Clock::now();
            auto lev = Levenshtein::create(q.text, q.d);
            times.push_back(us_since(t));
            if (lev) {
                states = lev->state_count();
                counted = lev->counted_states();
            }
        }
        const Summary s = summarize(times);
        std::printf("  %-22s d=%u  %2zu chars  median %7.1f us  mean %7.1f us  (%u table states, %u counted)\n",
                    q.text, q.d, tarnwik::text::count_scalars(q.text), s.median, s.mean, states, counted);
    }
}

void bench_cache() {
    const std::string q = "altenessener strasse";
    tarnwik::levenshtein::clear_cache();
    auto t = Clock::now();
    auto first = tarnwik::levenshtein::from_cache(q, 2);
    const double miss = us_since(t);
    const int n = 1'000'000;
    size_t ok = 0;
    t = Clock::now();
    for (int i = 0; i < n; ++i) ok += tarnwik::levenshtein::from_cache(q, 2).has_value();
    const double per = us_since(t) / n;
    std::printf("cache (target: a second request under 1 us)\n  first request %.1f us, later requests %.3f us each (%zu/%d hits)\n",
                miss, per, ok, n);
}

// Street parts of the keys, every so many, each with one character changed
// in the middle the way a typing slip would.
std::vector<std::string> sample_streets(const tarnwik::fst::Map& map, size_t count) {
    std::vector<std::string> all;
    auto s = map.range();
    while (s.next()) {
        std::string_view k = s.key();
        k = k.substr(0, k.find('\x1F'));
        if (k.size() >= 6 && (all.empty() || all.back() != k)) all.emplace_back(k);
    }
    std::vector<std::string> out;
    if (all.empty()) return out;
    std::mt19937_64 rng(5);
    for (size_t i = 0; i < count; ++i) {
        std::string street = all[(i * all.size()) / count];
        std::u32string u = scalars(street);
        u[u.size() / 2] = (u[u.size() / 2] == U'e') ? U'a' : U'e';
        std::string typo;
        for (char32_t c : u) tarnwik::text::append_utf8(typo, c);
        out.push_back(typo);
    }
    return out;
}

void bench_stream(const tarnwik::fst::Map& map, const char* what) {
    const uint32_t d = 1;
    const auto streets = sample_streets(map, 200);
    std::printf("stream %s: %llu keys, starts-with automaton at distance %u, %zu street names with one slip\n"
                "  (target under 2 ms for a typical street name)\n",
                what, static_cast<unsigned long long>(map.key_count()), d, streets.size());
    std::vector<double> aut_times, scan_times, build_times;
    size_t aut_found = 0, scan_found = 0, mismatches = 0;
    std::vector<uint32_t> col, next;
    for (const auto& street : streets) {
        auto t = Clock::now();
        auto lev = Levenshtein::create(street, d);
        build_times.push_back(us_since(t));
        if (!lev) continue;

        t = Clock::now();
        size_t found = 0;
        auto s = map.stream(StartsWith(*lev));
        while (s.next()) ++found;
        aut_times.push_back(us_since(t));

        const std::u32string q = scalars(street);
        t = Clock::now();
        size_t found_scan = 0;
        auto all = map.range();
        while (all.next()) found_scan += prefix_within(q, all.key(), d, col, next);
        scan_times.push_back(us_since(t));

        aut_found += found;
        scan_found += found_scan;
        mismatches += found != found_scan;
    }
    const Summary a = summarize(aut_times), b = summarize(build_times), c = summarize(scan_times);
    std::printf("  automaton stream: median %8.1f us  mean %8.1f us  p90 %8.1f us  max %8.1f us  (%zu keys reported)\n",
                a.median, a.mean, a.p90, a.max, aut_found);
    std::printf("  automaton build:  median %8.1f us  mean %8.1f us\n", b.median, b.mean);
    std::printf("  plain DP scan:    median %8.1f us  mean %8.1f us  p90 %8.1f us  max %8.1f us  (%zu keys reported)\n",
                c.median, c.mean, c.p90, c.max, scan_found);
    std::printf("  speed-up of the stream over the scan (medians): %.0fx; queries whose results differ: %zu\n",
                a.median > 0 ? c.median / a.median : 0.0, mismatches);
}

// Street-commune keys shaped like a city's street map, for runs without a
// sheet.
std::vector<std::pair<std::string, uint64_t>> synthetic_keys(size_t n) {
    static const char* syll[] = {"ber", "lin", "ma", "rie", "sch", "ul", "tz", "gar", "ten", "wald",
                                 "au", "bach", "dorf", "heim", "ing", "os", "ka", "ro", "vi", "st"};
    static const char* tails[] = {" strasse", "weg", " weg", "gasse", "platz", " allee", "", "ring"};
    std::mt19937_64 rng(12345);
    std::vector<std::pair<std::string, uint64_t>> out;
    while (out.size() < n) {
        std::string k;
        const int parts = 2 + rng() % 3;
        for (int i = 0; i < parts; ++i) k += syll[rng() % 20];
        k += tails[rng() % 8];
        k += '\x1F';
        k += std::to_string(1000 + rng() % 50);
        out.emplace_back(std::move(k), 0);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end(), [](auto& a, auto& b) { return a.first == b.first; }), out.end());
    for (size_t i = 0; i < out.size(); ++i) out[i].second = i;
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    bench_build();
    bench_cache();
    if (argc > 1) {
        auto index = tarnwik::Index::open(argv[1]);
        if (!index) {
            std::fprintf(stderr, "%s\n", index.error().message.c_str());
            return 1;
        }
        bench_stream((*index)->streets_fst(), argv[1]);
    } else {
        std::printf("no sheet given: streaming a synthetic street map\n");
        const std::string bytes = tarnwik::build::fst::build_map(synthetic_keys(3000));
        auto map = tarnwik::fst::Map::open(tarnwik::ByteView(std::string_view(bytes)));
        if (!map) return 1;
        bench_stream(*map, "synthetic");
    }
    return 0;
}
