// Normaliser throughput on typical address texts ("<street> <number>, <city>",
// about 30 bytes), built from the shared address data when it is present and
// from a small built-in sample otherwise.
//
//   normalize_bench [data_dir] [seconds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "norm/norm.hpp"

namespace {

std::vector<std::string> csv_fields(const std::string& line) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                out.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                out.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            out.emplace_back();
        } else if (c != '\r') {
            out.back() += c;
        }
    }
    return out;
}

// Address texts from every */*.csv with STREET and CITY columns.
std::vector<std::string> load_texts(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> texts;
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return texts;
    std::vector<fs::path> files;
    for (const auto& country : fs::directory_iterator(root, ec))
        if (country.is_directory())
            for (const auto& f : fs::directory_iterator(country.path(), ec))
                if (f.path().extension() == ".csv") files.push_back(f.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path);
        std::string line;
        if (!std::getline(in, line)) continue;
        const auto header = csv_fields(line);
        size_t street = header.size(), city = header.size(), number = header.size();
        for (size_t i = 0; i < header.size(); ++i) {
            if (header[i] == "STREET") street = i;
            if (header[i] == "CITY") city = i;
            if (header[i] == "NUMBER") number = i;
        }
        if (street == header.size() || city == header.size()) continue;
        while (std::getline(in, line)) {
            const auto f = csv_fields(line);
            if (f.size() < header.size() || f[street].empty()) continue;
            std::string t = f[street];
            if (number < f.size() && !f[number].empty()) t += " " + f[number];
            if (!f[city].empty()) t += ", " + f[city];
            texts.push_back(std::move(t));
        }
    }
    return texts;
}

const char* const kSample[] = {
    "Aachener Str. 12, Essen",
    "Marktplatz 24, Lauf a.d.Pegnitz",
    "Carretera Zaragoza 103A, Agoncillo",
    "Via Dazio 90/H, Alessandria",
    "Place Allègre 10, Allassac",
    "Täscherlochstrasse 76, Vaduz",
    "Hauptstraße 5, 91207 Lauf",
    "12-14 Rue de l'Église, Paris",
    "ул. Ленина 5, Москва",
    "Bulevar kralja Aleksandra 73, Beograd",
};

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path root = argc > 1 ? argv[1] : TW_BENCH_DATA_DIR;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;

    std::vector<std::string> texts = load_texts(root);
    const bool real = !texts.empty();
    if (!real) texts.assign(std::begin(kSample), std::end(kSample));

    size_t bytes = 0, non_ascii = 0;
    for (const auto& t : texts) {
        bytes += t.size();
        non_ascii += std::any_of(t.begin(), t.end(), [](char c) { return c & 0x80; });
    }

    using clock = std::chrono::steady_clock;

    // The first non-ASCII text builds the character table; time it apart.
    const auto init_start = clock::now();
    size_t sink = tarnwik::norm::normalize("\xC3\x89").size();
    const double init_ms = std::chrono::duration<double, std::milli>(clock::now() - init_start).count();

    const auto start = clock::now();
    size_t calls = 0;
    double elapsed = 0;
    do {
        for (const auto& t : texts) sink += tarnwik::norm::normalize(t).size();
        calls += texts.size();
        elapsed = std::chrono::duration<double>(clock::now() - start).count();
    } while (elapsed < seconds);

    const double per_sec = calls / elapsed;
    std::printf("texts: %zu %s (mean %.1f bytes, %.1f%% with non-ASCII)\n", texts.size(),
                real ? "from address data" : "built-in sample", double(bytes) / texts.size(),
                100.0 * non_ascii / texts.size());
    std::printf("normalize: %.0f texts/s (%.1f ns per text), target 1000000 texts/s: %s\n", per_sec,
                1e9 / per_sec, per_sec >= 1e6 ? "met" : "NOT met");
    std::printf("one-time character table build: %.1f ms\n", init_ms);
    std::printf("(checksum %zu)\n", sink);
    return 0;
}
