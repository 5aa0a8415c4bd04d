#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "build/fst/builder.hpp"
#include "index/container.hpp"
#include "index/index.hpp"
#include "sheet_fixture.hpp"

namespace tarnwik {
namespace {

using testing::open_error;
using testing::patch_u32;
using testing::patch_u64;
using testing::small_spec;
using testing::TempSheet;
using testing::write_or_die;

SectionSlot slot_of(const std::string& file, uint8_t id) {
    auto t = parse_sections(ByteView(file));
    EXPECT_TRUE(t);
    return (*t)[id];
}

std::string section_bytes(const std::string& file, uint8_t id) {
    SectionSlot s = slot_of(file, id);
    return file.substr(s.offset, s.length);
}

constexpr const char* kStructural =
    "{}: street record {} violates structural invariants — corrupt (zeroed or misdirected section "
    "content)";

std::string structural(int i) {
    std::string m = kStructural;
    m.replace(m.find("{}", 2), 2, std::to_string(i));
    return m;
}

TEST(Open, WrittenSheetOpensWithItsContent) {
    TempSheet t(write_or_die(small_spec()));
    auto idx = Index::open(t.path());
    ASSERT_TRUE(idx) << idx.error().message;
    const Index& x = **idx;
    EXPECT_EQ(x.version(), 7);
    EXPECT_EQ(x.street_count(), 2u);
    EXPECT_EQ(x.commune_count(), 2u);
    EXPECT_EQ(x.country(), "it");
    EXPECT_EQ(x.commune_name(1), "Borgo Lieto");
    EXPECT_EQ(x.commune(0).code, "A1");
    EXPECT_EQ(x.commune_name(99), "");
    EXPECT_EQ(x.name(x.street(0).name_off), "Via Roma");
    EXPECT_EQ(x.house_number(4, x.suffix_ids().at("a")), "4a");
    EXPECT_EQ(x.house_number(4, 999), "4");
    EXPECT_EQ(x.name(1u << 30), "");
    // The street whose houses carry two postcodes got a dictionary.
    EXPECT_EQ(x.street(1).postcode_ref, StreetRecord::kDictionaryMarker);
    EXPECT_NE(x.street(0).postcode_ref, 0u);
    EXPECT_EQ(x.name(x.street(0).postcode_ref), "15030");
    EXPECT_EQ(x.street(0).postcode_num, 15030u);
    EXPECT_TRUE(x.streets_fst().get(std::string("via roma\x1F" "A1")).has_value());
    EXPECT_TRUE(x.communes_fst().get("borgo lieto").has_value());
}

TEST(Open, OpenAddressRefusesOtherLayers) {
    auto spec = small_spec();
    spec.meta = {{"country", "it"}, {"layer", "poi"}};
    TempSheet t(write_or_die(spec));
    EXPECT_TRUE(Index::open(t.path()));
    auto r = Index::open_address(t.path());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message,
              t.quoted() +
                  " has layer \"poi\", not an address sheet — load an `addresses` layer as the main "
                  "index (a POI layer goes via --poi / tarnwik_load_poi)");
    spec.meta = {{"country", "it"}};  // no layer at all passes
    TempSheet t2(write_or_die(spec));
    EXPECT_TRUE(Index::open_address(t2.path()));
}

TEST(Open, CannotOpen) {
    auto r = Index::open("/nonexistent/dir/x.sheet");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "cannot open \"/nonexistent/dir/x.sheet\"");
    EXPECT_FALSE(r.error().cause.empty());
    auto nul = Index::open(std::string("/tmp/a\0b", 8));
    ASSERT_FALSE(nul);
    EXPECT_EQ(nul.error().message, "cannot open \"/tmp/a\\0b\"");
    EXPECT_EQ(Index::open("/tmp").error().message, "cannot open \"/tmp\"");
}

TEST(Open, RecordSizeChecks) {
    const std::string good = write_or_die(small_spec());
    struct Case {
        uint8_t id;
        size_t new_len;
        const char* message;
    } cases[] = {
        {section::streets_meta, 35, "{}: streets_meta length is not a whole number of records — corrupt"},
        {section::communes_meta, 17, "{}: communes_meta length is not a whole number of records — corrupt"},
        {section::commune_coords, 8, "{}: commune_coords does not match the commune count — corrupt"},
    };
    for (const Case& c : cases) {
        auto spec = small_spec();
        spec.section_overrides[c.id] = section_bytes(good, c.id).substr(0, c.new_len);
        EXPECT_EQ(open_error(spec), c.message);
    }
}

TEST(Open, StreetRecordInvariants) {
    const std::string good = write_or_die(small_spec());
    const std::string streets = section_bytes(good, section::streets_meta);
    const uint64_t houses_len = slot_of(good, section::houses).length;
    const uint64_t names_len = slot_of(good, section::names).length;
    uint64_t off1;
    std::memcpy(&off1, streets.data() + 36 + 20, 8);

    struct Case {
        const char* what;
        size_t field;   // byte offset inside the record
        int width;      // 4 or 8
        uint64_t value;
        int record;     // record patched
        int reported;   // record named in the message
    } cases[] = {
        {"houses_off past the section", 20, 8, houses_len, 1, 1},
        {"commune past the table", 8, 4, 2, 0, 0},
        {"no houses", 28, 4, 0, 1, 1},
        {"name past the pool", 16, 4, static_cast<uint32_t>(names_len), 0, 0},
        // record 0's block becomes empty when record 1 starts where it does
        {"empty block", 20, 8, 0, 1, 0},
        {"block end before start", 20, 8, off1 + 1, 0, 0},
    };
    for (const Case& c : cases) {
        std::string s = streets;
        if (c.width == 8) patch_u64(s, c.record * 36 + c.field, c.value);
        else patch_u32(s, c.record * 36 + c.field, static_cast<uint32_t>(c.value));
        auto spec = small_spec();
        spec.section_overrides[section::streets_meta] = s;
        EXPECT_EQ(open_error(spec), structural(c.reported)) << c.what;
    }

    // A name whose bytes overrun the pool: put the name offset on the last byte
    // of the pool and make that byte a large length.
    auto spec = small_spec();
    std::string names = section_bytes(good, section::names);
    names.push_back('\x7f');
    std::string s = streets;
    patch_u32(s, 16, static_cast<uint32_t>(names.size() - 1));
    spec.section_overrides[section::names] = names;
    spec.section_overrides[section::streets_meta] = s;
    EXPECT_EQ(open_error(spec), structural(0));
}

// One street of three houses whose block is written by hand, so that the
// house-postcode dictionary can be malformed at will.
struct DictSheet {
    std::string names = std::string("\0", 1) + "\x08" "Via Roma";
    std::vector<uint32_t> offsets;
    uint8_t version = 7;

    uint32_t add(std::string_view s) {
        uint32_t off = names.size();
        names.push_back(static_cast<char>(s.size()));
        names += s;
        return off;
    }
    std::string error(std::string block, uint32_t house_count = 3) {
        auto spec = small_spec();
        spec.version = version;
        spec.streets.resize(1);
        std::string rec(36, '\0');
        patch_u32(rec, 16, 1);  // name "Via Roma"
        patch_u64(rec, 20, 0);
        patch_u32(rec, 28, house_count);
        patch_u32(rec, 32, StreetRecord::kDictionaryMarker);
        spec.section_overrides[section::streets_meta] = rec;
        spec.section_overrides[section::names] = names;
        spec.section_overrides[section::houses] = block;
        // The words map refers to street ids; with one street left it must too.
        spec.section_overrides[section::words_fst] = build::fst::build_map({}, 3);
        spec.section_overrides[section::word_postings] = "";
        return open_error(spec);
    }
    std::string dict(std::vector<std::string_view> pcs, int n = -1) {
        std::string b;
        b.push_back(static_cast<char>(n < 0 ? pcs.size() : n));
        for (auto pc : pcs) {
            uint32_t off = add(pc);
            b.append(reinterpret_cast<char*>(&off), 4);
        }
        return b;
    }
};

std::string dict_message(const char* what) {
    return std::string("{}: street record 0 ") + what + " — corrupt";
}

TEST(Open, HouseDictionaryChecks) {
    const std::string houses = std::string("\x01\x00\x00\x00\x01", 5) + "\x02\x00\x00\x00\x02" + "\x03\x00\x00\x00\x00";
    {
        DictSheet d;
        EXPECT_EQ(d.error(d.dict({"10115", "10117"}) + houses), "<opened>");
    }
    {
        DictSheet d;  // "1A" is a plausible postcode
        EXPECT_EQ(d.error(d.dict({"1A", "2"}) + houses), "<opened>");
    }
    struct Case {
        std::vector<std::string_view> pcs;
        const char* what;
    } cases[] = {
        {{"10115", "10115"}, "house-postcode dictionary is empty, implausible, duplicated, or unsorted"},
        {{"10117", "10115"}, "house-postcode dictionary is empty, implausible, duplicated, or unsorted"},
        {{"A1"}, "house-postcode dictionary is empty, implausible, duplicated, or unsorted"},
        {{"123456789"}, "house-postcode dictionary is empty, implausible, duplicated, or unsorted"},
        {{""}, "house-postcode dictionary is empty, implausible, duplicated, or unsorted"},
        {{"12-34"}, "house-postcode dictionary is empty, implausible, duplicated, or unsorted"},
        {{"1\xff"}, "house-postcode dictionary is not UTF-8"},
    };
    for (const Case& c : cases) {
        DictSheet d;
        EXPECT_EQ(d.error(d.dict(c.pcs) + houses), dict_message(c.what)) << c.pcs[0];
    }
    {
        DictSheet d;
        EXPECT_EQ(d.error(d.dict({"1"}, 0) + houses), dict_message("has an invalid house-postcode dictionary size"));
        EXPECT_EQ(d.error(d.dict({"1", "2", "3", "4"}) + houses),
                  dict_message("has an invalid house-postcode dictionary size"));
        EXPECT_EQ(d.error(std::string("\x02\x01\x00\x00\x00", 5)),  // two offsets announced, one present
                  dict_message("house-postcode dictionary is truncated"));
        EXPECT_EQ(d.error(std::string("\x80\x80", 2)),
                  dict_message("has a malformed house-postcode dictionary count"));
        std::string past = std::string("\x01", 1) + std::string("\xff\xff\x00\x00", 4) + houses;
        EXPECT_EQ(d.error(past), dict_message("house-postcode dictionary points outside names"));
    }
    {
        // Version 6 has no dictionaries: the marker is not read as one and the
        // block is house records from its first byte.
        DictSheet d;
        d.version = 6;
        EXPECT_EQ(d.error(std::string("\x01\x00\x00\x00", 4) + "\x02\x00\x00\x00" + "\x03\x00\x00\x00"),
                  "<opened>");
    }
}

std::string words_error(std::string postings, std::vector<std::pair<std::string, uint64_t>> keys) {
    auto spec = small_spec();
    spec.section_overrides[section::words_fst] = build::fst::build_map(keys, 3);
    spec.section_overrides[section::word_postings] = postings;
    return open_error(spec);
}

TEST(Open, WordPostingsChecks) {
    EXPECT_EQ(words_error("", {{"~a", 0}, {"~b", 0}, {"~c", 0}}),
              "{}: word_postings is empty but the words FST has 3 keys — corrupt (fuzzy search would "
              "silently fail)");
    EXPECT_EQ(words_error("", {}), "<opened>");
    // Entries may share bytes.
    EXPECT_EQ(words_error(std::string("\x01\x01\x00", 3), {{"~a", 0}, {"~b", 1}}), "<opened>");

    struct Case {
        std::string bytes;
        uint64_t offset;
        const char* reason;
    } cases[] = {
        {std::string("\x01\x00", 2), 2, "points past the section"},
        {std::string("\x80", 1), 0, "has a malformed/unterminated street count varint"},
        {std::string("\x00\x00", 2), 0, "has a zero/oversized street count"},
        {std::string("\x81\x80\x01\x00", 4), 0, "has a zero/oversized street count"},  // 16385
        {std::string("\x02\x00\x80", 3), 0, "is truncated mid-list (unterminated varint)"},
        {std::string("\x01\x02", 2), 0, "references a street id past the street table"},
        {std::string("\x02\x00\x02", 3), 0, "references a street id past the street table"},
        {std::string("\x02\x01\x00", 3), 0, "repeats a street id (deltas must be positive)"},
        {std::string("\x02\x01", 2) + std::string(9, '\xff') + "\x01", 0,
         "overflows the street id accumulator"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(words_error(c.bytes, {{"~via\xff", c.offset}}),
                  std::string("{}: word_postings entry for \"~via\xef\xbf\xbd\" ") + c.reason +
                      " — corrupt (fuzzy search would silently fail)")
            << c.reason;
}

TEST(Open, RankSection) {
    std::string rank = "TWRK";
    rank.push_back(10);
    for (int i = 0; i < 11; ++i) {
        float f = 0.5f * i;
        rank.append(reinterpret_cast<char*>(&f), 4);
    }
    auto spec = small_spec();
    spec.rank = rank;
    EXPECT_EQ(open_error(spec), "<opened>");
    const std::string bad = "{}: SEC_RANK is present but malformed — corrupt/tampered sheet";
    spec.rank = rank.substr(0, 48);
    EXPECT_EQ(open_error(spec), bad);
    spec.rank = rank;
    spec.rank[4] = 9;
    EXPECT_EQ(open_error(spec), bad);
    spec.rank = rank;
    float nan = std::numeric_limits<float>::quiet_NaN();
    std::memcpy(&spec.rank[9], &nan, 4);
    EXPECT_EQ(open_error(spec), bad);
}

TEST(Open, FstErrorsPassThroughUnchanged) {
    auto spec = small_spec();
    spec.section_overrides[section::streets_fst] = std::string(35, '\0');
    EXPECT_EQ(open_error(spec),
              "Error opening FST with size 35 bytes: An unknown error occurred. This usually means "
              "you're trying to read data that isn't actually an encoded FST.");
}

TEST(Open, OutOfBoundsReadsBecomeOneMessage) {
    // A words map whose root lies past its own bytes: the full walk at open
    // would read outside the map and must be refused, not performed.
    auto spec = small_spec();
    std::string m = build::fst::build_map({{"~abc", 0}, {"~abd", 0}}, 3);
    patch_u64(m, m.size() - 4 - 8, m.size() * 2);
    spec.section_overrides[section::words_fst] = m;
    spec.section_overrides[section::word_postings] = std::string("\x01\x00", 2);
    EXPECT_EQ(open_error(spec), "{}: corrupt index (panic while reading sections)");
}

TEST(Open, FailedOpenRestoresCurrentRules) {
    Rules mine = rules::defaults();
    rules::ScopedCurrent scoped(mine);
    auto spec = small_spec();
    spec.rules = {{5, "пр", ""}};
    spec.section_overrides[section::streets_meta] = std::string(35, '\0');
    EXPECT_NE(open_error(spec), "<opened>");
    EXPECT_EQ(&rules::current(), &mine);
    spec.section_overrides.clear();
    EXPECT_EQ(open_error(spec), "<opened>");
    EXPECT_EQ(&rules::current(), &mine);
}

TEST(Open, SheetRulesExtendDefaults) {
    auto spec = small_spec();
    spec.rules = {{5, "пр", ""}};
    TempSheet t(write_or_die(spec));
    auto idx = Index::open(t.path());
    ASSERT_TRUE(idx);
    EXPECT_TRUE((*idx)->rules().is_street_type("пр"));
    EXPECT_FALSE(rules::fallback().is_street_type("пр"));

    TempSheet plain(write_or_die(small_spec()));
    auto idx2 = Index::open(plain.path());
    ASSERT_TRUE(idx2);
    EXPECT_EQ(&(*idx2)->rules(), &rules::fallback());
}

// Default reference point.
build::CommuneSpec commune(std::string name, uint32_t prom, double lat, double lon) {
    return build::CommuneSpec{"", std::move(name), prom, lat, lon, {}};
}

std::optional<LatLon> center_of(std::vector<build::CommuneSpec> communes, std::vector<build::RuleRecord> rules = {}) {
    auto spec = small_spec();
    spec.communes = std::move(communes);
    for (auto& s : spec.streets) s.commune = 0;
    spec.rules = std::move(rules);
    TempSheet t(write_or_die(spec));
    auto idx = Index::open(t.path());
    EXPECT_TRUE(idx) << idx.error().message;
    return idx ? (*idx)->center() : std::nullopt;
}

TEST(Open, DefaultReferencePoint) {
    // Paris (a major city of the built-in rules) and its arrondissements form
    // one weighted group; "parisot" is not part of it.
    auto c = center_of({commune("Lyon", 50, 45.0, 5.0), commune("Paris", 30, 48.0, 2.0),
                        commune("Paris 1er Arrondissement", 10, 49.0, 3.0), commune("Parisot", 1000, 44.0, 1.0)});
    ASSERT_TRUE(c);
    // W = 40 is below 1000 / 20 = 50: the most prominent commune wins.
    EXPECT_DOUBLE_EQ(c->lat, 44.0);

    c = center_of({commune("Lyon", 50, 45.0, 5.0), commune("Paris", 30, 48.0, 2.0),
                   commune("Paris 1er Arrondissement", 10, 49.0, 3.0), commune("Parisot", 100, 44.0, 1.0)});
    ASSERT_TRUE(c);
    EXPECT_NEAR(c->lat, (30 * 48.0 + 10 * 49.0) / 40, 1e-9);
    EXPECT_NEAR(c->lon, (30 * 2.0 + 10 * 3.0) / 40, 1e-9);

    // No major city, all prominences zero: no point at all.
    EXPECT_FALSE(center_of({commune("Valmora", 0, 44.9, 8.6), commune("Borgo", 0, 44.8, 8.5)}));
    // The most prominent commune without a position gives no fallback.
    EXPECT_FALSE(center_of({build::CommuneSpec{"", "Valmora", 5, std::nullopt, std::nullopt, {}}}));
    // A sheet's own major cities drive the point.
    c = center_of({commune("Valmora", 10, 44.9, 8.6), commune("Borgo", 11, 44.8, 8.5)}, {{4, "valmora", ""}});
    ASSERT_TRUE(c);
    EXPECT_DOUBLE_EQ(c->lat, 44.9);
}

TEST(Open, ManyThreadsOpenOneSheet) {
    TempSheet t(write_or_die(small_spec()));
    std::vector<std::thread> ts;
    std::atomic<int> ok{0};
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            for (int k = 0; k < 20; ++k)
                if (Index::open(t.path())) ++ok;
        });
    for (auto& th : ts) th.join();
    EXPECT_EQ(ok.load(), 80);
}

}  // namespace
}  // namespace tarnwik
