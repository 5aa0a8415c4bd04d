#include <gtest/gtest.h>

#include <cstring>

#include "index/container.hpp"

namespace tarnwik {
namespace {

struct Toc {
    uint8_t id;
    uint64_t offset, length;
};

// A container with the given TOC entries and a file of `size` bytes (at least
// the 295-byte minimum); section bytes are zero.
std::string container(std::vector<Toc> toc, size_t size = 1000, uint8_t version = 7, int n = -1) {
    std::string f(std::max<size_t>(size, 6), '\0');
    std::memcpy(&f[0], "TWC0", 4);
    f[4] = static_cast<char>(version);
    f[5] = static_cast<char>(n < 0 ? toc.size() : n);
    for (size_t i = 0; i < toc.size(); ++i) {
        f[6 + 17 * i] = static_cast<char>(toc[i].id);
        std::memcpy(&f[7 + 17 * i], &toc[i].offset, 8);
        std::memcpy(&f[15 + 17 * i], &toc[i].length, 8);
    }
    return f;
}

// All required sections, 10 bytes each, laid out from offset 300.
std::vector<Toc> full_toc() {
    std::vector<Toc> t;
    uint64_t off = 300;
    for (uint8_t id : {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 14}) {
        t.push_back({id, off, 10});
        off += 10;
    }
    return t;
}

std::string error_of(const std::string& file) {
    auto r = parse_sections(ByteView(file));
    return r ? "<ok>" : r.error().message;
}

TEST(ParseSections, HeaderChecks) {
    std::string short_file = container(full_toc(), 1000).substr(0, 294);
    EXPECT_EQ(error_of(short_file), "not a TWC0 index file");
    std::string bad_magic = container(full_toc());
    bad_magic[3] = '1';
    EXPECT_EQ(error_of(bad_magic), "not a TWC0 index file");

    for (uint8_t v : {5, 8})
        EXPECT_EQ(error_of(container(full_toc(), 1000, v)),
                  "index format version " + std::to_string(v) +
                      " not supported (reader accepts v6..=v7) — rebuild the sheet with this engine");
    for (uint8_t v : {6, 7}) {
        auto r = parse_sections(ByteView(container(full_toc(), 1000, v)));
        ASSERT_TRUE(r) << r.error().message;
        EXPECT_EQ(r->version, v);
    }
    EXPECT_EQ(error_of(container({}, 1000, 7, 18)),
              "index header declares 18 sections (max 17) — file is corrupt");
    EXPECT_EQ(error_of(container({}, 1000, 7, 0)),
              "index required section 1 has no TOC entry — file is corrupt or truncated");
}

TEST(ParseSections, MinimumSizeCountsTheLargestToc) {
    // 295 bytes with a TOC of one entry is examined further (and fails later).
    std::string f = container({{1, 100, 10}}, 295);
    EXPECT_EQ(error_of(f), "index required section 2 has no TOC entry — file is corrupt or truncated");
}

TEST(ParseSections, SpansAreCheckedBeforeIds) {
    auto toc = full_toc();
    toc.back() = {14, 990, 10};  // ends exactly at the file end
    EXPECT_EQ(error_of(container(toc, 1000)), "<ok>");
    toc.back() = {14, 990, 11};
    EXPECT_EQ(error_of(container(toc, 1000)),
              "index section 14 spans bytes 990..1001 but the file is 1000 bytes — the download is "
              "truncated or the file is corrupt");
    toc.back() = {0, 995, 10};  // unknown id and an overrun: the overrun is reported
    EXPECT_EQ(error_of(container(toc, 1000)),
              "index section 0 spans bytes 995..1005 but the file is 1000 bytes — the download is "
              "truncated or the file is corrupt");
    toc.back() = {14, 10, UINT64_MAX};  // the sum overflows: the end reads as the largest u64
    EXPECT_EQ(error_of(container(toc, 1000)),
              "index section 14 spans bytes 10..18446744073709551615 but the file is 1000 bytes — "
              "the download is truncated or the file is corrupt");
}

TEST(ParseSections, IdsAndOverlaps) {
    auto toc = full_toc();
    toc.push_back({18, 900, 1});
    EXPECT_EQ(error_of(container(toc)), "index TOC has unknown section id 18 (1..=17) — file is corrupt");
    toc.back() = {0, 900, 1};
    EXPECT_EQ(error_of(container(toc)), "index TOC has unknown section id 0 (1..=17) — file is corrupt");
    toc.back() = {3, 900, 1};
    EXPECT_EQ(error_of(container(toc)), "index TOC declares section 3 twice — file is corrupt");

    toc = full_toc();
    toc[1].offset = toc[0].offset + 9;  // shares one byte with section 1
    EXPECT_EQ(error_of(container(toc)), "index sections overlap — file is corrupt");
    toc[1].offset = toc[0].offset + 10;  // touching is fine
    EXPECT_EQ(error_of(container(toc)), "<ok>");

    toc = full_toc();
    toc.push_back({16, 500, 0});  // two empty sections at one offset, and an ignored id 16
    toc.push_back({17, 500, 0});
    EXPECT_EQ(error_of(container(toc)), "<ok>");
}

TEST(ParseSections, RequiredSections) {
    auto toc = full_toc();
    toc[10].length = 0;  // 13, word_postings, may be empty
    auto r = parse_sections(ByteView(container(toc)));
    ASSERT_TRUE(r);
    EXPECT_TRUE((*r)[13].present);
    EXPECT_EQ((*r)[17].present, false);

    toc = full_toc();
    toc[9].length = 0;  // 12, words_fst, may not
    EXPECT_EQ(error_of(container(toc)),
              "index required section 12 is missing or empty — file is corrupt or truncated");
    toc = full_toc();
    toc.erase(toc.begin() + 10);
    EXPECT_EQ(error_of(container(toc)),
              "index required section 13 has no TOC entry — file is corrupt or truncated");
}

std::string meta_bytes(std::vector<std::pair<std::string, std::string>> pairs, int count = -1) {
    std::string m;
    uint32_t c = count < 0 ? pairs.size() : count;
    m.append(reinterpret_cast<char*>(&c), 4);
    for (auto& [k, v] : pairs) {
        uint16_t kl = k.size();
        uint32_t vl = v.size();
        m.append(reinterpret_cast<char*>(&kl), 2);
        m += k;
        m.append(reinterpret_cast<char*>(&vl), 4);
        m += v;
    }
    return m;
}

TEST(DecodeMeta, WellFormedAndMalformed) {
    auto ok = decode_meta(ByteView(meta_bytes({{"country", "de"}, {"country", "fr"}, {"layer", ""}}) + "junk"));
    ASSERT_TRUE(ok);
    ASSERT_EQ(ok->size(), 3u);  // duplicates kept, trailing bytes ignored
    EXPECT_EQ((*ok)[1].second, "fr");
    EXPECT_EQ(decode_meta(ByteView(meta_bytes({}, 0)))->size(), 0u);

    EXPECT_FALSE(decode_meta(ByteView(std::string("\x01\x00\x00", 3))));
    EXPECT_FALSE(decode_meta(ByteView(meta_bytes({}, 1025))));
    std::string cut = meta_bytes({{"country", "de"}, {"layer", "addresses"}});
    cut.pop_back();  // the last value is cut short: the whole section is discarded
    EXPECT_FALSE(decode_meta(ByteView(cut)));
    EXPECT_FALSE(decode_meta(ByteView(meta_bytes({{"country", "d\xff"}}))));
}

TEST(StrictVarint, Cases) {
    struct Case {
        std::string bytes;
        std::optional<uint64_t> value;
        size_t pos_after;
    };
    const Case cases[] = {
        {std::string("\x05", 1), 5, 1},
        {std::string("\x80\x00", 2), 0, 2},  // over-long encodings are accepted
        {std::string("\xac\x02", 2), 300, 2},
        {std::string(9, '\xff') + "\x01", UINT64_MAX, 10},
        {std::string(9, '\xff') + "\x02", std::nullopt, 10},
        {std::string(9, '\xff') + "\x81", std::nullopt, 10},
        {std::string("\x80\x80", 2), std::nullopt, 2},  // ends mid-value: position at the end
        {std::string(), std::nullopt, 0},
    };
    for (const Case& c : cases) {
        size_t pos = 0;
        auto v = strict_varint(ByteView(c.bytes), pos);
        EXPECT_EQ(v, c.value) << testing::PrintToString(c.bytes);
        EXPECT_EQ(pos, c.pos_after) << testing::PrintToString(c.bytes);
    }
    std::string two = "\x01\x02";
    size_t pos = 1;
    EXPECT_EQ(strict_varint(ByteView(two), pos), 2u);
    EXPECT_EQ(pos, 2u);
    EXPECT_FALSE(strict_varint(ByteView(two), pos));  // at the end: unchanged
    EXPECT_EQ(pos, 2u);
}

TEST(Zigzag, RoundTrips) {
    for (int64_t v : {0L, 1L, -1L, 123456789L, -987654321L, INT64_MAX, INT64_MIN})
        EXPECT_EQ(zigzag_decode(zigzag_encode(v)), v);
    EXPECT_EQ(zigzag_encode(-1), 1u);
    EXPECT_EQ(zigzag_encode(1), 2u);
}

}  // namespace
}  // namespace tarnwik
