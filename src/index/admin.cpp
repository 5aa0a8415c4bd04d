#include "index/admin.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "util/text.hpp"

namespace tarnwik {

namespace {

struct PathParts {
    std::string_view prefix;  // everything before the file name, trailing '/' included
    std::string_view file;    // the final component
};

PathParts split_path(std::string_view path) {
    std::string_view trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
    const size_t slash = trimmed.rfind('/');
    if (slash == std::string_view::npos) return {{}, trimmed};
    return {trimmed.substr(0, slash + 1), trimmed.substr(slash + 1)};
}

// The file name without its last extension; a leading dot does not start an
// extension (".hidden" is its own stem).
std::string_view file_stem(std::string_view file) {
    if (file == "..") return file;
    const size_t dot = file.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return file;
    return file.substr(0, dot);
}

std::string sidecar_stem(std::string_view sheet_path) {
    std::string_view stem = file_stem(split_path(sheet_path).file);
    return text::valid_utf8(stem) ? std::string(stem) : std::string();
}

std::optional<std::string> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;  // a directory, say
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

bool starts_with_magic(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char magic[4];
    size_t got = 0;
    while (got < 4) {
        const ssize_t n = ::read(fd, magic + got, 4 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return got == 4 && std::memcmp(magic, kAdminMagic, 4) == 0;
}

// The first two characters of a text, lower-cased (full Unicode mapping).
std::string lower_first_two(std::string_view s) {
    size_t i = 0;
    for (int k = 0; k < 2 && i < s.size(); ++k) text::next_scalar(s, i);
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(s.data(), static_cast<int32_t>(i)));
    u.toLower(icu::Locale::getRoot());
    std::string out;
    u.toUTF8String(out);
    return out;
}

void warn(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// A sidecar under another name next to the sheet, as left behind by a
// release that renamed the sheet but not its sidecar.
std::optional<std::string> misnamed_sidecar(std::string_view sheet_path, const std::string& stem,
                                            const std::string& expected_name) {
    const std::string_view prefix = split_path(sheet_path).prefix;
    if (prefix.empty()) return std::nullopt;
    std::string dir(prefix);
    if (dir.size() > 1) dir.pop_back();  // "/d/" lists "/d"; "/" stays "/"
    DIR* d = ::opendir(dir.c_str());
    if (!d) return std::nullopt;
    const std::string want = lower_first_two(stem);
    std::optional<std::string> found;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view raw = e->d_name;
        if (raw == "." || raw == "..") continue;
        const std::string name = text::lossy_utf8(raw);
        if (name == expected_name || name.size() < 10 || !name.ends_with(kAdminSuffix)) continue;
        if (lower_first_two(name) != want) continue;
        std::string path = dir == "/" ? "/" + std::string(raw) : dir + "/" + std::string(raw);
        if (starts_with_magic(path)) {
            found = std::move(path);
            break;
        }
    }
    ::closedir(d);
    return found;
}

int32_t saturate_e7(double deg) {
    const double v = deg * 1e7;
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);  // truncates towards zero
}

}  // namespace

std::string admin_sidecar_path(std::string_view sheet_path) {
    return std::string(split_path(sheet_path).prefix) + sidecar_stem(sheet_path) + std::string(kAdminSuffix);
}

std::optional<std::vector<AdminRegion>> parse_admin_sidecar(ByteView b) {
    if (b.size() <= 8 || std::memcmp(b.data(), kAdminMagic, 4) != 0) return std::nullopt;
    const uint32_t count = b.u32(4);
    std::vector<AdminRegion> regions;
    uint64_t pos = 8;
    while (regions.size() < count && pos < b.size()) {
        const uint64_t len = b.u8(pos);
        if (!b.fits(pos, len + 19)) break;
        AdminRegion r;
        r.name = text::lossy_utf8(b.sub(pos + 1, len).as_chars());
        const uint64_t at = pos + 1 + len;
        r.min_lat = b.i32(at);
        r.min_lon = b.i32(at + 4);
        r.max_lat = b.i32(at + 8);
        r.max_lon = b.i32(at + 12);
        const uint16_t rings = b.u16(at + 16);
        pos = at + 18;
        bool cut = false;
        r.rings.reserve(rings);
        for (uint16_t k = 0; k < rings && !cut; ++k) {
            auto points = b.try_u16(pos);
            if (!points || !b.fits(pos + 2, uint64_t{*points} * 8)) {
                cut = true;
                break;
            }
            auto& ring = r.rings.emplace_back();
            ring.reserve(*points);
            for (uint64_t p = 0; p < *points; ++p)
                ring.emplace_back(b.i32(pos + 2 + p * 8), b.i32(pos + 6 + p * 8));
            pos += 2 + uint64_t{*points} * 8;
        }
        if (cut) break;
        regions.push_back(std::move(r));
    }
    return regions;
}

std::vector<AdminRegion> load_admin(std::string_view sheet_path) {
    const std::string stem = sidecar_stem(sheet_path);
    const std::string expected = admin_sidecar_path(sheet_path);
    if (auto bytes = read_file(expected)) {
        if (auto regions = parse_admin_sidecar(ByteView(*bytes))) return std::move(*regions);
        warn("warning: " + text::lossy_utf8(expected) + " next to " + text::debug_quote(sheet_path) +
             " is not a WOFA admin sidecar — regions disabled\n");
        return {};
    }
    if (auto found = misnamed_sidecar(sheet_path, stem, stem + std::string(kAdminSuffix))) {
        warn("warning: " + text::debug_quote(sheet_path) + " expected admin sidecar " +
             text::lossy_utf8(expected) + " but it is missing; found " + text::lossy_utf8(*found) +
             " next to it — regions disabled. Rename the sidecar to match the sheet (release rename?).\n");
    }
    return {};
}

std::optional<std::string_view> region_at(const std::vector<AdminRegion>& regions, double lat, double lon) {
    if (regions.empty()) return std::nullopt;
    const int64_t y = saturate_e7(lat), x = saturate_e7(lon);
    for (const AdminRegion& r : regions) {
        if (y < r.min_lat || y > r.max_lat || x < r.min_lon || x > r.max_lon) continue;
        bool inside = false;
        for (const auto& ring : r.rings) {
            if (ring.size() < 3) continue;
            auto a = ring.back();
            for (const auto& b : ring) {
                const int64_t a_lat = a.first, a_lon = a.second, b_lat = b.first, b_lon = b.second;
                if ((y < a_lat) != (y < b_lat)) {
                    // y lies between the two latitudes, so |t| <= |a_lon - b_lon|;
                    // only the product needs more than 64 bits, and only for
                    // coordinates outside the valid range.
                    const int64_t t = static_cast<int64_t>(static_cast<__int128>(a_lon - b_lon) *
                                                           (y - b_lat) / (a_lat - b_lat));
                    if (x < t + b_lon) inside = !inside;
                }
                a = b;
            }
        }
        if (inside) return std::string_view(r.name);
    }
    return std::nullopt;
}

}  // namespace tarnwik
