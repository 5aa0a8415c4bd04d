// The builder and the query side agree on keys: every street of a sheet is
// found under the key a query computes from the street's own display name,
// every word key the word search computes for it lists it, and every commune
// is found under its normalised name. Checked on a small sheet made to
// exercise unit folding, abbreviations and sheet rules, and on sheets built
// from the real address files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "build/csv_import.hpp"
#include "build/sheet.hpp"
#include "index/index.hpp"
#include "index/sheet_fixture.hpp"
#include "norm/norm.hpp"
#include "query/keys.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace tarnwik::query {
namespace {

using testing::TempSheet;

std::optional<uint64_t> read_varint(std::string_view s, size_t& pos) {
    uint64_t v = 0;
    for (int shift = 0; shift < 70 && pos < s.size(); shift += 7) {
        const auto b = static_cast<unsigned char>(s[pos++]);
        v |= uint64_t{b & 0x7Fu} << shift;
        if (!(b & 0x80)) return v;
    }
    return std::nullopt;
}

// The street ids of a word-postings entry.
std::vector<uint32_t> postings_at(const Index& index, uint64_t offset) {
    const std::string_view p = index.word_postings().as_chars();
    std::vector<uint32_t> ids;
    size_t pos = offset;
    auto count = read_varint(p, pos);
    if (!count) return ids;
    uint64_t id = 0;
    for (uint64_t i = 0; i < *count; ++i) {
        auto d = read_varint(p, pos);
        if (!d) break;
        id += *d;
        ids.push_back(static_cast<uint32_t>(id));
    }
    return ids;
}

std::vector<uint32_t> commune_run(const Index& index, uint64_t v) {
    const std::string_view p = index.commune_postings().as_chars();
    std::vector<uint32_t> ids;
    const uint64_t first = v >> 16, count = v & 0xFFFF;
    for (uint64_t i = 0; i < count && (first + i + 1) * 4 <= p.size(); ++i) {
        uint32_t id;
        std::memcpy(&id, p.data() + (first + i) * 4, 4);
        ids.push_back(id);
    }
    return ids;
}

struct Agreement {
    size_t streets_checked = 0;
    size_t streets_without_key = 0;  // the name folds away entirely
    size_t streets_sharing_a_key = 0;
    size_t word_lookups = 0;
    size_t word_lists_too_long = 0;  // longer than the search reads: no key
    std::vector<std::string> failures;

    void fail(std::string m) {
        if (failures.size() < 25) failures.push_back(std::move(m));
    }
};

constexpr uint64_t kUsablePostings = 16383;

// Looks every street and commune of the sheet up the way the query side
// does, under the sheet's rules.
Agreement check_agreement(const Index& index) {
    rules::ScopedCurrent in_force(index.rules());
    Agreement a;
    std::map<std::string, std::vector<uint32_t>> streets_by_word;  // ascending ids
    for (uint32_t sid = 0; sid < index.street_count(); ++sid) {
        const StreetRecord rec = index.street(sid);
        const std::string_view name = index.name(rec.name_off);
        const std::string_view code = index.commune(rec.commune_id).code;
        const std::string key = prepared_query_key(name);
        ++a.streets_checked;
        if (key.empty()) {
            ++a.streets_without_key;
            continue;
        }
        auto found = index.streets_fst().get(key + '\x1F' + std::string(code));
        if (!found) {
            a.fail("street " + std::to_string(sid) + " " + text::debug_quote(name) + ": no streets_fst key " +
                   text::debug_quote(key) + " in commune " + text::debug_quote(code));
            continue;
        }
        if (*found != sid) {
            const StreetRecord other = index.street(static_cast<uint32_t>(*found));
            const std::string other_key = prepared_query_key(index.name(other.name_off));
            if (other.commune_id != rec.commune_id || other_key != key)
                a.fail("street " + std::to_string(sid) + " " + text::debug_quote(name) + ": key " +
                       text::debug_quote(key) + " leads to street " + std::to_string(*found));
            else
                ++a.streets_sharing_a_key;
        }

        // Word search: every spelling of every street word it would look up.
        size_t start = 0;
        while (start < key.size()) {
            size_t end = key.find(' ', start);
            if (end == std::string::npos) end = key.size();
            const std::string_view word(key.data() + start, end - start);
            start = end + 1;
            for (const std::string& spelling : street_word_spellings(word)) {
                ++a.word_lookups;
                streets_by_word[word_key(spelling)].push_back(sid);
            }
        }
    }

    // Each word key lists exactly the streets that lead the search to it,
    // or, when the search would ignore such a long list, is absent.
    for (auto& [wk, expected] : streets_by_word) {
        expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
        auto off = index.words_fst().get(wk);
        if (expected.size() > kUsablePostings) {
            ++a.word_lists_too_long;
            if (off) a.fail("word key " + text::debug_quote(wk) + ": " + std::to_string(expected.size()) +
                            " streets, more than the search reads, yet written");
            continue;
        }
        if (!off) {
            a.fail("no word key " + text::debug_quote(wk) + " for street " + std::to_string(expected[0]) + " " +
                   text::debug_quote(index.name(index.street(expected[0]).name_off)));
            continue;
        }
        const std::vector<uint32_t> ids = postings_at(index, *off);
        if (ids != expected)
            a.fail("word key " + text::debug_quote(wk) + " lists " + std::to_string(ids.size()) + " streets, " +
                   std::to_string(expected.size()) + " expected");
    }
    if (index.words_fst().key_count() != streets_by_word.size() - a.word_lists_too_long)
        a.fail("words_fst has " + std::to_string(index.words_fst().key_count()) + " keys, " +
               std::to_string(streets_by_word.size() - a.word_lists_too_long) + " expected");

    for (uint32_t cid = 0; cid < index.commune_count(); ++cid) {
        const std::string key = norm::normalize(index.commune_name(cid));
        if (key.empty()) continue;
        auto v = index.communes_fst().get(key);
        const std::vector<uint32_t> ids = v ? commune_run(index, *v) : std::vector<uint32_t>{};
        if (std::find(ids.begin(), ids.end(), cid) == ids.end())
            a.fail("commune " + std::to_string(cid) + " " + text::debug_quote(index.commune_name(cid)) +
                   ": not found under " + text::debug_quote(key));
    }
    return a;
}

std::string failures_text(const Agreement& a) {
    std::string s;
    for (const std::string& f : a.failures) s += f + "\n";
    return s;
}

// ---------------------------------------------------------------------------
// A sheet made for it

build::StreetSpec street(std::string name, uint32_t commune, double lat) {
    build::StreetSpec s{std::move(name), commune, std::nullopt, std::nullopt, "", {}};
    s.houses.push_back({1, "", lat, 8.6, ""});
    return s;
}

build::SheetSpec folding_spec() {
    build::SheetSpec s;
    s.meta = {{"country", "it"}, {"layer", "addresses"}};
    s.communes.push_back({"A1", "Valmora", 40, 44.9, 8.6, {}});
    s.communes.push_back({"B2", "San Donato d'Italia", 10, 44.95, 8.7, {}});
    s.communes.push_back({"C3", "Химки", 10, 55.9, 37.4, {}});
    s.streets = {
        street("P.zza Garibaldi", 0, 44.90),
        street("Piazza Garibaldi", 0, 44.91),  // same key as the one before
        street("Piazza Garibaldi", 1, 44.92),  // same key, another commune
        street("C.so Italia", 0, 44.93),
        street("Corso Italia", 1, 44.94),
        street("Rue de France", 0, 44.95),
        street("Bd Voltaire", 0, 44.96),
        street("Via 20 Settembre", 0, 44.97),
        street("Strada d'Alba", 1, 44.98),
        street("Улица Ленина", 2, 55.90),
        street("ул. Ленина корп. 2", 2, 55.91),
        street("Lenina", 2, 55.92),
        street("Italia", 1, 44.99),  // folds away: a country name alone
    };
    // The sheet's own rules: keys must be made under them.
    s.rules = {{3, "bd", "boulevard"}};
    return s;
}

class FoldingSheet : public ::testing::Test {
protected:
    void SetUp() override {
        auto bytes = build::write_sheet(folding_spec());
        ASSERT_TRUE(bytes) << bytes.error().message;
        sheet_.emplace(*bytes);
        auto idx = Index::open(sheet_->path());
        ASSERT_TRUE(idx) << idx.error().message;
        index_ = *idx;
    }
    std::optional<uint64_t> street_at(std::string_view key, std::string_view code) const {
        return index_->streets_fst().get(std::string(key) + '\x1F' + std::string(code));
    }
    std::optional<TempSheet> sheet_;
    std::shared_ptr<const Index> index_;
};

TEST_F(FoldingSheet, EveryStreetAndCommuneIsFoundByItsOwnName) {
    const Agreement a = check_agreement(*index_);
    EXPECT_TRUE(a.failures.empty()) << failures_text(a);
    EXPECT_EQ(a.streets_checked, 13u);
    EXPECT_EQ(a.streets_without_key, 1u);      // Italia
    EXPECT_EQ(a.streets_sharing_a_key, 1u);    // the second piazza garibaldi of Valmora
    EXPECT_GT(a.word_lookups, 15u);
}

TEST_F(FoldingSheet, StreetKeysAreTheQueryForms) {
    // Abbreviations spelled out, units folded, trailing country words gone.
    EXPECT_EQ(street_at("piazza garibaldi", "A1"), 0u);
    EXPECT_EQ(street_at("piazza garibaldi", "B2"), 2u);
    EXPECT_EQ(street_at("corso italia", "A1"), 3u);
    EXPECT_EQ(street_at("corso italia", "B2"), 4u);
    EXPECT_EQ(street_at("rue de", "A1"), 5u);
    EXPECT_EQ(street_at("via 20 settembre", "A1"), 7u);
    EXPECT_EQ(street_at("strada d alba", "B2"), 8u);
    EXPECT_EQ(street_at("улица ленина", "C3"), 9u);
    EXPECT_EQ(street_at("ул ленина 2", "C3"), 10u);  // корп before the first number goes
    // The forms a query never computes are not keys.
    EXPECT_FALSE(street_at("p zza garibaldi", "A1"));
    EXPECT_FALSE(street_at("rue de france", "A1"));
    EXPECT_FALSE(street_at("ул ленина корп 2", "C3"));
    // Nothing is written for a name that folds away.
    EXPECT_FALSE(index_->streets_fst().get("\x1F" "B2"));
}

TEST_F(FoldingSheet, KeysFollowTheSheetRules) {
    // The sheet spells bd out; the built-in rules would not.
    EXPECT_EQ(street_at("boulevard voltaire", "A1"), 6u);
    EXPECT_FALSE(street_at("bd voltaire", "A1"));
    EXPECT_EQ(prepared_query_key("Bd Voltaire"), "bd voltaire");
    {
        rules::ScopedCurrent in_force(index_->rules());
        EXPECT_EQ(prepared_query_key("Bd Voltaire"), "boulevard voltaire");
    }
}

TEST_F(FoldingSheet, WordKeysAreTheSpellingsTheSearchLooksUp) {
    auto ids_of = [&](std::string_view spelling) {
        auto off = index_->words_fst().get(word_key(spelling));
        return off ? postings_at(*index_, *off) : std::vector<uint32_t>{};
    };
    EXPECT_EQ(ids_of("voltaire"), (std::vector<uint32_t>{6}));
    // Both scripts of a Cyrillic word (the Latin one differs in ж, ц, ...).
    EXPECT_EQ(ids_of("ленина"), (std::vector<uint32_t>{9, 10, 11}));
    EXPECT_EQ(ids_of("улица"), (std::vector<uint32_t>{9}));
    EXPECT_EQ(ids_of("piazza"), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(ids_of("пиазза"), (std::vector<uint32_t>{0, 1, 2}));
    // Words of fewer than three characters are never looked up, nor written.
    EXPECT_FALSE(index_->words_fst().get(word_key("de")));
    EXPECT_FALSE(index_->words_fst().get(word_key("ул")));
    EXPECT_FALSE(index_->words_fst().get(word_key("d")));
}

TEST(LongWordLists, AWordOfMoreStreetsThanTheSearchReadsHasNoKey) {
    // 16383 streets share "corta", 16384 share "lunga".
    build::SheetSpec s;
    s.meta = {{"country", "it"}, {"layer", "addresses"}};
    s.communes.push_back({"A1", "Valmora", 40, 44.9, 8.6, {}});
    for (uint32_t i = 0; i <= kUsablePostings; ++i)
        s.streets.push_back(street((i < kUsablePostings ? "Corta Lunga " : "Lunga ") + std::to_string(i), 0, 44.9));
    auto bytes = build::write_sheet(s);
    ASSERT_TRUE(bytes) << bytes.error().message;
    TempSheet sheet(*bytes);
    auto index = Index::open(sheet.path());
    ASSERT_TRUE(index) << index.error().message;

    EXPECT_FALSE((*index)->words_fst().get(word_key("lunga")));
    auto corta = (*index)->words_fst().get(word_key("corta"));
    ASSERT_TRUE(corta);
    EXPECT_EQ(postings_at(**index, *corta).size(), kUsablePostings);
    const Agreement a = check_agreement(**index);
    EXPECT_TRUE(a.failures.empty()) << failures_text(a);
    EXPECT_EQ(a.word_lists_too_long, 1u);  // lunga and лунга share one phonetic key
}

// ---------------------------------------------------------------------------
// Real data

struct RealFile {
    const char* country;
    const char* file;
};

void PrintTo(const RealFile& f, std::ostream* os) { *os << f.country << "/" << f.file; }

class RealSheets : public ::testing::TestWithParam<RealFile> {};

TEST_P(RealSheets, BuilderAndQueryAgree) {
    const RealFile& f = GetParam();
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(TW_TEST_DATA_DIR) / f.country;
    const fs::path csv = dir / f.file;
    if (!fs::exists(csv)) GTEST_SKIP() << csv << " is absent";

    build::ImportOptions opt;
    opt.country = f.country;
    build::AddressImporter imp(opt);
    if (fs::exists(dir / "postcodes.csv")) {
        auto pc = imp.load_postcodes((dir / "postcodes.csv").string());
        ASSERT_TRUE(pc) << pc.error().message;
    }
    auto added = imp.add_file(csv.string());
    ASSERT_TRUE(added) << added.error().message;
    auto bytes = build::write_sheet(imp.finish());
    ASSERT_TRUE(bytes) << bytes.error().message;
    TempSheet sheet(*bytes);
    auto index = Index::open(sheet.path());
    ASSERT_TRUE(index) << index.error().message;

    const Agreement a = check_agreement(**index);
    EXPECT_GT(a.streets_checked, 0u);
    EXPECT_EQ(a.streets_checked, (*index)->street_count());
    EXPECT_TRUE(a.failures.empty()) << failures_text(a);
    std::cout << "[ info ] " << f.country << "/" << f.file << ": " << a.streets_checked << " streets, "
              << a.streets_without_key << " without a key, " << a.streets_sharing_a_key << " sharing one, "
              << a.word_lookups << " word lookups, " << a.word_lists_too_long << " over-long word lists\n";
}

INSTANTIATE_TEST_SUITE_P(Files, RealSheets,
                         ::testing::Values(RealFile{"de", "osm-towns.csv"}, RealFile{"de", "essen.csv"},
                                           RealFile{"es", "la-rioja.csv"}, RealFile{"it", "alessandria.csv"},
                                           RealFile{"li", "liechtenstein.csv"}, RealFile{"fr", "limousin.csv"}),
                         [](const ::testing::TestParamInfo<RealFile>& i) {
                             std::string n = std::string(i.param.country) + "_" + i.param.file;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

}  // namespace
}  // namespace tarnwik::query
