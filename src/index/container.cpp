#include "index/container.hpp"

#include <algorithm>
#include <fmt/format.h>

#include "util/text.hpp"

namespace tarnwik {

Result<SectionTable> parse_sections(ByteView file) {
    const uint64_t file_len = file.size();
    if (file_len < kMinFileSize || std::memcmp(file.data(), kMagic, 4) != 0)
        return fail("not a TWC0 index file");

    SectionTable table;
    table.version = file.u8(4);
    if (table.version < kMinVersion || table.version > kMaxVersion)
        return fail(fmt::format(
            "index format version {} not supported (reader accepts v{}..=v{}) — rebuild the sheet "
            "with this engine",
            table.version, kMinVersion, kMaxVersion));

    const uint8_t n = file.u8(5);
    if (n > section::kMaxId)
        return fail(fmt::format("index header declares {} sections (max {}) — file is corrupt", n,
                                section::kMaxId));

    struct Entry {
        uint8_t id;
        uint64_t offset, length, end;
    };
    std::vector<Entry> entries;
    entries.reserve(n);

    // Overruns are reported before anything about ids, so that a truncated
    // download is named as such even when its TOC is also garbled.
    for (uint8_t i = 0; i < n; ++i) {
        const size_t at = 6 + 17 * size_t{i};
        Entry e{file.u8(at), file.u64(at + 1), file.u64(at + 9), 0};
        const bool overflow = e.offset > UINT64_MAX - e.length;
        e.end = overflow ? UINT64_MAX : e.offset + e.length;
        if (overflow || e.end > file_len)
            return fail(fmt::format(
                "index section {} spans bytes {}..{} but the file is {} bytes — the download is "
                "truncated or the file is corrupt",
                e.id, e.offset, e.end, file_len));
        if (e.id >= 1 && e.id <= section::kMaxId)
            table.slot[e.id] = SectionSlot{e.offset, e.length, true};
        entries.push_back(e);
    }

    std::array<bool, section::kMaxId + 1> seen{};
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const Entry& e : entries) {
        if (e.id < 1 || e.id > section::kMaxId)
            return fail(fmt::format("index TOC has unknown section id {} (1..={}) — file is corrupt",
                                    e.id, section::kMaxId));
        if (seen[e.id])
            return fail(fmt::format("index TOC declares section {} twice — file is corrupt", e.id));
        seen[e.id] = true;
        if (e.length != 0) ranges.emplace_back(e.offset, e.end);
    }

    // Touching ranges are fine; empty sections never overlap anything.
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i)
        if (ranges[i - 1].second > ranges[i].first)
            return fail("index sections overlap — file is corrupt");

    using namespace section;
    constexpr uint8_t need_entry[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 14};
    for (uint8_t id : need_entry)
        if (!table[id].present)
            return fail(fmt::format(
                "index required section {} has no TOC entry — file is corrupt or truncated", id));
    // word_postings may legitimately be empty when there are no word keys; the
    // section stage checks that pairing.
    constexpr uint8_t need_bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 14};
    for (uint8_t id : need_bytes)
        if (table[id].length == 0)
            return fail(fmt::format(
                "index required section {} is missing or empty — file is corrupt or truncated", id));
    return table;
}

std::optional<std::vector<std::pair<std::string, std::string>>> decode_meta(ByteView b) {
    auto count = b.try_u32(0);
    if (!count || *count > 1024) return std::nullopt;
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(*count);
    uint64_t pos = 4;
    for (uint32_t i = 0; i < *count; ++i) {
        auto klen = b.try_u16(pos);
        if (!klen) return std::nullopt;
        auto key = b.try_sub(pos + 2, *klen);
        if (!key || !text::valid_utf8(key->as_chars())) return std::nullopt;
        pos += 2 + *klen;
        auto vlen = b.try_u32(pos);
        if (!vlen) return std::nullopt;
        auto val = b.try_sub(pos + 4, *vlen);
        if (!val || !text::valid_utf8(val->as_chars())) return std::nullopt;
        pos += 4 + uint64_t{*vlen};
        pairs.emplace_back(std::string(key->as_chars()), std::string(val->as_chars()));
    }
    return pairs;
}

std::optional<uint64_t> strict_varint(ByteView b, size_t& pos) {
    const size_t len = b.size();
    if (pos >= len) return std::nullopt;
    const uint8_t* p = b.data();
    uint64_t value = 0;
    for (size_t i = 0; i < 9; ++i) {
        if (pos + i >= len) {
            pos = len;  // ran off the end mid-value
            return std::nullopt;
        }
        const uint8_t byte = p[pos + i];
        value |= uint64_t{byte & 0x7Fu} << (7 * i);
        if ((byte & 0x80) == 0) {
            pos += i + 1;
            return value;
        }
    }
    if (pos + 9 >= len) {
        pos = len;
        return std::nullopt;
    }
    // The tenth group supplies bit 63 only; anything else would overflow.
    const uint8_t last = p[pos + 9];
    pos += 10;
    if (last > 1) return std::nullopt;
    return value | (uint64_t{last} << 63);
}

}  // namespace tarnwik
