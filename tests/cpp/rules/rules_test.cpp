#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "norm/norm.hpp"
#include "rules/rules.hpp"

namespace tarnwik {
namespace {

using rules::WordList;

// Builds a rules section: record count, then kind, key and value records.
struct Section {
    std::string bytes = std::string(4, '\0');
    uint32_t count = 0;

    Section& record(int kind, std::string_view key, std::string_view value = {}) {
        bytes.push_back(static_cast<char>(kind));
        put16(key.size());
        bytes += key;
        put16(value.size());
        bytes += value;
        set_count(++count);
        return *this;
    }
    Section& set_count(uint32_t n) {
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
        return *this;
    }
    ByteView view() const { return ByteView(bytes); }

private:
    void put16(size_t n) {
        bytes.push_back(static_cast<char>(n & 0xFF));
        bytes.push_back(static_cast<char>(n >> 8));
    }
};

template <class C>
bool has(const C& c, std::string_view w) {
    return c.find(w) != c.end();
}

// First in this binary, so the threads really race for the one-time build.
TEST(RulesFallback, BuiltOnceUnderRaces) {
    std::atomic<bool> go{false};
    std::vector<const Rules*> got(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            got[i] = &rules::fallback();
        });
    go = true;
    for (auto& t : threads) t.join();
    for (const Rules* p : got) EXPECT_EQ(p, &rules::fallback());
    EXPECT_EQ(rules::fallback(), rules::defaults());
}

TEST(RulesDefaults, CollectionSizes) {
    const Rules r = rules::defaults();
    EXPECT_EQ(r.commune_aliases.size(), 3u);
    EXPECT_EQ(r.city_aliases.size(), 19u);
    EXPECT_EQ(r.abbreviations.size(), 6u);
    EXPECT_EQ(r.major_cities.size(), 9u);
    EXPECT_EQ(r.street_types_ru.size(), 12u);
    EXPECT_EQ(r.affixes.size(), 11u);
    EXPECT_EQ(r.city_markers.size(), 6u);
    EXPECT_EQ(r.city_suffixes.size(), 3u);
    EXPECT_EQ(r.region_words.size(), 14u);
    EXPECT_EQ(r.country_names.size(), 22u);
    EXPECT_EQ(r.country_words.size(), 25u);
    EXPECT_EQ(r.settlement_types.size(), 15u);
    EXPECT_EQ(r.garden_words.size(), 18u);
    EXPECT_EQ(r.arrondissement_cities.size(), 3u);
    EXPECT_EQ(r.quarter_words.size(), 11u);
    EXPECT_EQ(r.street_types_fr_it.size(), 19u);
    EXPECT_EQ(r.street_types_other.size(), 24u);
    EXPECT_TRUE(r.de_city_aliases.empty());
    EXPECT_TRUE(r.de_abbreviations.empty());
    EXPECT_TRUE(r.de_street_types.empty());
    EXPECT_TRUE(r.de_country_words.empty());
    EXPECT_TRUE(r.de_admin_tail_words.empty());
    EXPECT_TRUE(r.options.empty());
    EXPECT_TRUE(r.kind24_pairs.empty());
    EXPECT_TRUE(r.kind25_words.empty());
    EXPECT_TRUE(r.place_lexicon.empty());
}

// Readers walk lists and pair lists front to back, so their order matters.
TEST(RulesDefaults, OrderedCollectionsKeepTheirOrder) {
    const Rules r = rules::defaults();
    EXPECT_EQ(r.major_cities,
              (WordList{"москва", "paris", "roma", "amsterdam", "beograd", "toshkent", "ташкент",
                        "s gravenhage", "санкт петербург"}));
    EXPECT_EQ(r.street_types_ru,
              (WordList{"улица", "проспект", "переулок", "набережная", "шоссе", "бульвар", "площадь",
                        "проезд", "аллея", "тупик", "квартал", "микрораион"}));
    EXPECT_EQ(r.street_types_fr_it.front(), "rue");
    EXPECT_EQ(r.street_types_fr_it.back(), "strada");
    ASSERT_EQ(r.abbreviations.size(), 6u);
    EXPECT_EQ(r.abbreviations[0], (std::pair<std::string, std::string>{"p zza", "piazza"}));
    EXPECT_EQ(r.abbreviations[5], (std::pair<std::string, std::string>{"пр т", "проспект"}));
    ASSERT_EQ(r.city_aliases.size(), 19u);
    EXPECT_EQ(r.city_aliases[0], (std::pair<std::string, std::string>{"спб", "санкт петербург"}));
    EXPECT_EQ(r.city_aliases[18], (std::pair<std::string, std::string>{"padua", "padova"}));
}

// Rule words are compared with normalised query words, so every default must
// already be in that form; the Russian words with й are the ones at risk.
TEST(RulesDefaults, EveryEntryIsNormalised) {
    const Rules r = rules::defaults();
    std::vector<std::string> all;
    for (const auto& [k, v] : r.commune_aliases) all.insert(all.end(), {k, v});
    for (const auto* pl : {&r.city_aliases, &r.abbreviations})
        for (const auto& [k, v] : *pl) all.insert(all.end(), {k, v});
    for (const auto* l : {&r.major_cities, &r.street_types_ru, &r.street_types_fr_it})
        all.insert(all.end(), l->begin(), l->end());
    for (const auto* set : {&r.affixes, &r.city_markers, &r.city_suffixes, &r.region_words,
                            &r.country_names, &r.country_words, &r.settlement_types, &r.garden_words,
                            &r.arrondissement_cities, &r.quarter_words, &r.street_types_other})
        all.insert(all.end(), set->begin(), set->end());
    ASSERT_EQ(all.size(), 3u * 2 + 19 * 2 + 6 * 2 + 9 + 12 + 19 + 11 + 6 + 3 + 14 + 22 + 25 + 15 + 18 + 3 + 11 + 24);
    for (const std::string& w : all) EXPECT_EQ(norm::normalize(w), w);

    EXPECT_TRUE(r.is_street_type(norm::normalize("Микрорайон")));
    EXPECT_TRUE(r.region_words.contains(norm::normalize("район")));
    EXPECT_TRUE(r.affixes.contains(norm::normalize("жилой")));
    EXPECT_TRUE(r.settlement_types.contains(norm::normalize("Муниципальный")));
}

TEST(RulesLookups, StreetTypesAffixesAndCommuneAliases) {
    const Rules r = rules::defaults();
    for (const char* w : {"straat", "salita", "улица", "микрораион", "rue", "strada"})
        EXPECT_TRUE(r.is_street_type(w)) << w;
    for (const char* w : {"жк", "массив", "москва", "", "ru", "rue "})
        EXPECT_FALSE(r.is_street_type(w)) << w;

    EXPECT_TRUE(r.is_affix("ulica"));  // a street type
    EXPECT_TRUE(r.is_affix("жк"));     // an affix proper
    EXPECT_FALSE(r.is_affix("москва"));

    EXPECT_EQ(r.commune_alias("den haag"), "s gravenhage");
    EXPECT_EQ(r.commune_alias("reggio emilia"), "reggio nell emilia");
    EXPECT_EQ(r.commune_alias("s gravenhage"), std::nullopt);
}

TEST(RulesAdd, EachShape) {
    Rules r = rules::defaults();
    r.add(rules::kMajorCities, "roma", "ignored");  // list: duplicates allowed
    EXPECT_EQ(r.major_cities.back(), "roma");
    EXPECT_EQ(r.major_cities.size(), 10u);

    r.add(rules::kDeCityAliases, "ffm", "frankfurt am main");
    r.add(rules::kDeCityAliases, "ffm", "frankfurt");  // pair list: both kept, in order
    ASSERT_EQ(r.de_city_aliases.size(), 2u);
    EXPECT_EQ(r.de_city_aliases[1].second, "frankfurt");

    r.add(rules::kAffixes, "жк", "");  // set: no duplicate
    EXPECT_EQ(r.affixes.size(), 11u);

    r.add(rules::kCommuneAliases, "den haag", "the hague");  // map: replaces
    EXPECT_EQ(r.commune_alias("den haag"), "the hague");
    EXPECT_EQ(r.commune_aliases.size(), 3u);

    r.add(rules::kOptions, "regions", "1");
    EXPECT_EQ(r.options.at("regions"), "1");

    const Rules before = r;
    r.add(0, "x", "y");
    r.add(27, "x", "y");
    r.add(-1, "x", "y");
    EXPECT_EQ(r, before);
}

TEST(RulesSection, NothingToUse) {
    EXPECT_EQ(rules::from_section_owned(ByteView()), nullptr);
    EXPECT_EQ(rules::from_section_owned(ByteView(std::string_view("\x01\x00\x00", 3))), nullptr);
    EXPECT_EQ(rules::from_section_owned(Section{}.view()), nullptr);  // N = 0
    // N = 0 wins over records that follow it.
    Section s;
    s.record(rules::kAffixes, "foo").set_count(0);
    EXPECT_EQ(rules::from_section_owned(s.view()), nullptr);
}

// A section cut anywhere inside its records is rejected whole, even when the
// first record is complete.
TEST(RulesSection, TruncationAnywhereRejectsTheWholeSection) {
    Section s;
    s.record(rules::kAffixes, "foo").record(rules::kCommuneAliases, "bar", "baz");
    ASSERT_NE(rules::from_section_owned(s.view()), nullptr);
    for (size_t len = 0; len < s.bytes.size(); ++len)
        EXPECT_EQ(rules::from_section_owned(ByteView(std::string_view(s.bytes).substr(0, len))), nullptr)
            << "cut at " << len;

    Section two_announced;
    two_announced.record(rules::kAffixes, "foo").set_count(2);
    EXPECT_EQ(rules::from_section_owned(two_announced.view()), nullptr);

    Section huge;
    huge.record(rules::kAffixes, "foo").set_count(0xFFFFFFFFu);
    EXPECT_EQ(rules::from_section_owned(huge.view()), nullptr);
}

TEST(RulesSection, EntriesExtendTheDefaults) {
    Section s;
    s.record(rules::kStreetTypesRu, "пр");
    const auto r = rules::from_section_owned(s.view());
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->is_street_type("пр"));
    WordList expected = rules::defaults().street_types_ru;
    expected.push_back("пр");
    EXPECT_EQ(r->street_types_ru, expected);
    EXPECT_EQ(r->commune_alias("den haag"), "s gravenhage");  // defaults kept
}

TEST(RulesSection, RecordsApplyInSortedOrder) {
    Section s;
    s.record(rules::kCommuneAliases, "den haag", "y")
        .record(rules::kCommuneAliases, "den haag", "x")
        .record(rules::kStreetTypesRu, "\xC3\xA9")  // sorts after ASCII: bytes are unsigned
        .record(rules::kStreetTypesRu, "zz")
        .record(rules::kStreetTypesRu, "ab")
        .record(rules::kStreetTypesRu, "a")       // a prefix sorts first
        .record(rules::kCityAliases, "b", "2")
        .record(rules::kCityAliases, "b", "1")
        .record(rules::kCityAliases, "a", "9");
    const auto r = rules::from_section_owned(s.view());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->commune_alias("den haag"), "y");  // the greatest value wins
    const WordList tail(r->street_types_ru.end() - 4, r->street_types_ru.end());
    EXPECT_EQ(tail, (WordList{"a", "ab", "zz", "\xC3\xA9"}));
    const rules::PairList pairs(r->city_aliases.end() - 3, r->city_aliases.end());
    EXPECT_EQ(pairs, (rules::PairList{{"a", "9"}, {"b", "1"}, {"b", "2"}}));
}

TEST(RulesSection, UnknownKindsAreSkippedAndReadingGoesOn) {
    Section s;
    s.record(0, "zero", "v").record(27, "twenty seven", "v").record(255, "x").record(rules::kAffixes, "foo", "ignored");
    const auto r = rules::from_section_owned(s.view());
    ASSERT_NE(r, nullptr);
    Rules expected = rules::defaults();
    expected.add(rules::kAffixes, "foo", "");
    EXPECT_EQ(*r, expected);  // nothing else changed; word kinds drop the value
}

TEST(RulesSection, TrailingBytesIgnoredAndBadUtf8Repaired) {
    Section s;
    s.record(rules::kAffixes, "a\xFF" "b").record(rules::kOptions, "forms", "\xC3");
    s.bytes += "\x06\xFF\xFF trailing garbage";
    const auto r = rules::from_section_owned(s.view());
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(has(r->affixes, "a\xEF\xBF\xBD" "b"));
    EXPECT_EQ(r->options.at("forms"), "\xEF\xBF\xBD");
    EXPECT_EQ(r->affixes.size(), 12u);
}

// Keys that differ only in invalid bytes become equal once repaired; the
// ordering is taken after repair so the greatest value still wins.
TEST(RulesSection, RepairHappensBeforeOrdering) {
    Section s;
    s.record(rules::kCommuneAliases, "k\xFE", "z").record(rules::kCommuneAliases, "k\xFF", "a");
    const auto r = rules::from_section_owned(s.view());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->commune_alias("k\xEF\xBF\xBD"), "z");
}

// Damaged sections never crash the parser and never lose the defaults.
TEST(RulesSection, CorruptedBytesAreHandled) {
    Section s;
    s.record(rules::kAffixes, "foo").record(rules::kCommuneAliases, "bar", "baz").record(rules::kOptions, "forms", "1");
    const Rules defaults = rules::defaults();
    std::mt19937 rng(11);
    for (int iter = 0; iter < 5000; ++iter) {
        std::string bytes = s.bytes;
        for (int flips = 1 + rng() % 3; flips > 0; --flips) bytes[rng() % bytes.size()] = static_cast<char>(rng());
        const auto r = rules::from_section_owned(ByteView(bytes));
        if (!r) continue;
        ASSERT_GE(r->street_types_ru.size(), defaults.street_types_ru.size());
        EXPECT_TRUE(std::equal(defaults.street_types_ru.begin(), defaults.street_types_ru.end(),
                               r->street_types_ru.begin()));
        for (const auto& w : defaults.affixes) EXPECT_TRUE(r->affixes.contains(w));
    }
}

TEST(RulesCurrent, FallbackWhenNothingIsSet) {
    EXPECT_EQ(&rules::current(), &rules::fallback());
    EXPECT_EQ(rules::fallback(), rules::defaults());
}

TEST(RulesCurrent, ScopesNestAndRestore) {
    Rules a = rules::defaults(), b = rules::defaults();
    a.add(rules::kOptions, "name", "a");
    b.add(rules::kOptions, "name", "b");
    {
        rules::ScopedCurrent sa(a);
        EXPECT_EQ(&rules::current(), &a);
        {
            rules::ScopedCurrent sb(b);
            EXPECT_EQ(&rules::current(), &b);
        }
        EXPECT_EQ(&rules::current(), &a);
    }
    EXPECT_EQ(&rules::current(), &rules::fallback());
}

TEST(RulesCurrent, RestoredWhenAnExceptionLeavesTheScope) {
    Rules a = rules::defaults(), b = rules::defaults();
    rules::ScopedCurrent sa(a);
    try {
        rules::ScopedCurrent sb(b);
        ASSERT_EQ(&rules::current(), &b);
        throw std::runtime_error("query failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(&rules::current(), &a);
}

TEST(RulesCurrent, PerThread) {
    Rules mine = rules::defaults();
    rules::ScopedCurrent scope(mine);
    const Rules* seen = nullptr;
    bool inside_is_theirs = false;
    std::thread t([&] {
        seen = &rules::current();
        Rules theirs = rules::defaults();
        rules::ScopedCurrent s(theirs);
        inside_is_theirs = &rules::current() == &theirs;
    });
    t.join();
    EXPECT_EQ(seen, &rules::fallback());
    EXPECT_TRUE(inside_is_theirs);
    EXPECT_EQ(&rules::current(), &mine);  // the other thread's scope did not touch ours
}

}  // namespace
}  // namespace tarnwik
