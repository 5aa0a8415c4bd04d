// Small sheets for the opening tests: an exact description, written to a
// temporary file, opened by the engine.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "build/sheet.hpp"
#include "index/index.hpp"
#include "util/text.hpp"

namespace tarnwik::testing {

inline build::SheetSpec small_spec() {
    build::SheetSpec s;
    s.meta = {{"country", "it"}, {"layer", "addresses"}};
    s.communes.push_back({"A1", "Valmora", 40, 44.9, 8.6, {}});
    s.communes.push_back({"B2", "Borgo Lieto", 10, 44.95, 8.7, {}});
    build::StreetSpec roma{"Via Roma", 0, std::nullopt, std::nullopt, "15030", {}};
    for (uint32_t n : {1u, 2u, 3u, 5u}) roma.houses.push_back({n, "", 44.9 + n * 1e-5, 8.6, ""});
    build::StreetSpec vigne{"Via delle Vigne", 1, std::nullopt, std::nullopt, "", {}};
    vigne.houses.push_back({4, "a", 44.95, 8.7, "15031"});
    vigne.houses.push_back({4, "", 44.9501, 8.7, "15032"});
    s.streets = {roma, vigne};
    return s;
}

class TempSheet {
public:
    explicit TempSheet(const std::string& bytes) {
        char tmpl[] = "/tmp/tarnwik-test-XXXXXX";
        int fd = ::mkstemp(tmpl);
        path_ = tmpl;
        if (fd >= 0) {
            size_t off = 0;
            while (off < bytes.size()) {
                ssize_t w = ::write(fd, bytes.data() + off, bytes.size() - off);
                if (w <= 0) break;
                off += static_cast<size_t>(w);
            }
            ::close(fd);
        }
    }
    ~TempSheet() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }
    std::string quoted() const { return text::debug_quote(path_); }

private:
    std::string path_;
};

inline std::string write_or_die(const build::SheetSpec& spec) {
    auto bytes = build::write_sheet(spec);
    EXPECT_TRUE(bytes.has_value()) << (bytes ? "" : bytes.error().message);
    return bytes ? *bytes : std::string();
}

// The open error of `bytes`, with the temp path replaced by "{}" so that
// expected messages can be written literally.
inline std::string open_error(const std::string& bytes) {
    TempSheet t(bytes);
    auto idx = Index::open(t.path());
    if (idx) return "<opened>";
    std::string m = idx.error().message;
    const std::string q = t.quoted();
    if (auto at = m.find(q); at != std::string::npos) m.replace(at, q.size(), "{}");
    return m;
}

inline std::string open_error(const build::SheetSpec& spec) { return open_error(write_or_die(spec)); }

// Little-endian field patching inside a section of a written sheet.
inline void patch_u32(std::string& s, size_t off, uint32_t v) { std::memcpy(&s[off], &v, 4); }
inline void patch_u64(std::string& s, size_t off, uint64_t v) { std::memcpy(&s[off], &v, 8); }

}  // namespace tarnwik::testing
