// Real street and place names from the shared address data, for property
// tests. Empty when the data directory is absent.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tarnwik::testing {

// Splits one CSV line (RFC 4180 quoting, no embedded line breaks in our data).
inline std::vector<std::string> csv_fields(const std::string& line) {
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

// Every non-empty STREET, CITY and PLACE field of
// every */*.csv file under `root`, in file order.
inline std::vector<std::string> address_names(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return names;
    for (const auto& country : fs::directory_iterator(root, ec)) {
        if (!country.is_directory()) continue;
        for (const auto& file : fs::directory_iterator(country.path(), ec)) {
            if (file.path().extension() != ".csv") continue;
            std::ifstream in(file.path());
            std::string line;
            if (!std::getline(in, line)) continue;
            std::vector<size_t> cols;
            const auto header = csv_fields(line);
            for (size_t i = 0; i < header.size(); ++i)
                if (header[i] == "STREET" || header[i] == "CITY" || header[i] == "PLACE")
                    cols.push_back(i);
            if (cols.empty()) continue;
            while (std::getline(in, line)) {
                const auto f = csv_fields(line);
                for (size_t c : cols)
                    if (c < f.size() && !f[c].empty()) names.push_back(f[c]);
            }
        }
    }
    return names;
}

}  // namespace tarnwik::testing
