#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "build/fst/builder.hpp"
#include "index/fst/map.hpp"
#include "levenshtein/levenshtein.hpp"
#include "query/fuzzy_keys.hpp"
#include "util/text.hpp"

namespace tarnwik {
namespace {

using namespace query;

std::u32string scalars(std::string_view s) {
    std::u32string out;
    for (size_t i = 0; i < s.size();) out.push_back(text::next_scalar(s, i));
    return out;
}
std::string utf8(std::u32string_view s) {
    std::string out;
    for (char32_t c : s) text::append_utf8(out, c);
    return out;
}

// The spellings one edit away, written out one by one.
std::set<std::string> spellings(std::string_view street, EditAlphabet alphabet) {
    const std::u32string s = scalars(street);
    const std::u32string letters = alphabet == EditAlphabet::latin     ? U"abcdefghijklmnopqrstuvwxyz"
                                   : alphabet == EditAlphabet::russian ? U"абвгдеёжзийклмнопрстуфхцчшщъыьэюя"
                                                                       : U"";
    std::set<std::string> out;
    const size_t n = s.size();
    for (size_t i = 0; i < n; ++i)
        if (s[i] != U' ') out.insert(utf8(s.substr(0, i) + s.substr(i + 1)));
    for (size_t i = 0; i + 1 < n; ++i) {
        if (s[i] == U' ' || s[i + 1] == U' ' || s[i] == s[i + 1]) continue;
        std::u32string v = s;
        std::swap(v[i], v[i + 1]);
        out.insert(utf8(v));
    }
    for (char32_t a : letters) {
        for (size_t i = 0; i < n; ++i) {
            if (s[i] == U' ' || s[i] == a) continue;
            std::u32string v = s;
            v[i] = a;
            out.insert(utf8(v));
        }
        for (size_t i = 0; i <= n; ++i) {
            if (i > 0 && i < n && s[i - 1] == U' ' && s[i] == U' ') continue;
            out.insert(utf8(s.substr(0, i) + a + s.substr(i)));
        }
    }
    return out;
}

// Whether the automaton accepts the whole key.
template <class A>
bool accepts(const A& a, std::string_view key) {
    auto s = a.start();
    for (char c : key) {
        auto next = a.accept(s, static_cast<uint8_t>(c));
        if (!next) return false;
        s = *next;
    }
    return a.is_match(s);
}

// Keys near the street: every spelling one edit away, some two edits away,
// the street itself, and a few strangers.
std::vector<std::string> street_parts(std::string_view street, EditAlphabet alphabet, std::mt19937& rng) {
    std::set<std::string> parts = spellings(street, alphabet);
    parts.insert(std::string(street));
    std::vector<std::string> once(parts.begin(), parts.end());
    for (int i = 0; i < 60 && !once.empty(); ++i) {
        const auto twice = spellings(once[rng() % once.size()], EditAlphabet::latin);
        auto it = twice.begin();
        std::advance(it, rng() % twice.size());
        parts.insert(*it);
    }
    for (const char* s : {"", "a", "zzzz", "rue", "улица"}) parts.insert(s);
    return std::vector<std::string>(parts.begin(), parts.end());
}

TEST(SingleEditKeys, AcceptsExactlyTheKeysOfTheSpellings) {
    struct Case {
        const char* street;
        EditAlphabet alphabet;
    } cases[] = {
        {"rue de lille", EditAlphabet::none},   {"rue de lille", EditAlphabet::latin},
        {"allee", EditAlphabet::latin},          {"a b", EditAlphabet::latin},
        {"graßmannstr", EditAlphabet::none},     {"graßmannstr", EditAlphabet::latin},
        {"улица ленина", EditAlphabet::russian}, {"ёлки", EditAlphabet::russian},
        {"x", EditAlphabet::latin},              {"", EditAlphabet::latin},
        {"ab  cd", EditAlphabet::latin},  // two spaces: nothing is inserted between them
    };
    const std::vector<std::string_view> codes = {"12", "123", "7", "", "12"};
    std::mt19937 rng(5);
    for (const Case& c : cases) {
        const std::set<std::string> want = spellings(c.street, c.alphabet);
        const SingleEditKeys any(c.street, c.alphabet, nullptr);
        const SingleEditKeys in_codes(c.street, c.alphabet, &codes);
        for (const std::string& part : street_parts(c.street, c.alphabet, rng)) {
            const bool spelled = want.contains(part);
            for (const char* tail : {"12", "123", "1234", "7", "", "8", "1"}) {
                const std::string key = part + '\x1F' + tail;
                const bool coded = std::string_view(tail) == "12" || std::string_view(tail) == "123" ||
                                   std::string_view(tail) == "7" || std::string_view(tail).empty();
                EXPECT_EQ(accepts(any, key), spelled) << c.street << " | " << key;
                EXPECT_EQ(accepts(in_codes, key), spelled && coded) << c.street << " | " << key;
            }
            EXPECT_FALSE(accepts(any, part)) << c.street << " | " << part;  // no separator
        }
    }
}

TEST(SingleEditKeys, StreamsAMapLikeOneLookupPerSpelling) {
    const std::string street = "rue de lille";
    std::mt19937 rng(11);
    std::map<std::string, uint64_t> keys;
    uint64_t id = 0;
    for (const std::string& part : street_parts(street, EditAlphabet::latin, rng))
        for (const char* code : {"75056", "69123", "750"}) keys.emplace(part + '\x1F' + code, id++);
    std::vector<std::pair<std::string, uint64_t>> sorted(keys.begin(), keys.end());
    const std::string bytes = build::fst::build_map(sorted, 3);
    auto map = fst::Map::open(ByteView(std::string_view(bytes)));
    ASSERT_TRUE(map);

    const std::vector<std::string_view> codes = {"75056", "750"};
    const std::set<std::string> spelled = spellings(street, EditAlphabet::latin);
    std::set<std::string> want, got;
    for (const auto& [k, v] : keys) {
        const std::string part = k.substr(0, k.find('\x1F')), code = k.substr(k.find('\x1F') + 1);
        if (spelled.contains(part) && (code == "75056" || code == "750")) want.insert(k);
    }
    auto stream = map->stream(SingleEditKeys(street, EditAlphabet::latin, &codes));
    while (stream.next()) got.insert(std::string(stream.key()));
    EXPECT_FALSE(stream.corrupt());
    EXPECT_EQ(got, want);
    EXPECT_GT(want.size(), 100u);
}

// ---------------------------------------------------------------------------
// LevenshteinRows against the built automaton

std::string random_text(std::mt19937& rng, size_t max_len, std::string_view alphabet) {
    std::string s;
    const size_t n = rng() % (max_len + 1);
    for (size_t i = 0; i < n; ++i) s.push_back(alphabet[rng() % alphabet.size()]);
    return s;
}

TEST(LevenshteinRows, RowsAndNumberedRowsStepLikeTheBuiltAutomaton) {
    std::mt19937 rng(3);
    // Inputs mix the query's letters, other ASCII, multi-byte characters and
    // bytes that are not UTF-8.
    const std::vector<std::string> pieces = {"a", "b", "c", " ", "x", "é", "ß", "€", "😀", "\xC0", "\x80", "\xE0\x80",
                                             "\xED\xA0\x80", "\xF4\x90\x80\x80"};
    int long_checked = 0;
    for (int round = 0; round < 400; ++round) {
        // Short queries at both distances; every fourth a long one (past a
        // 64-character word of the position masks) at distance 1, read by
        // inputs that follow it closely so that rows deep into it are live.
        const bool long_query = round % 4 == 3;
        const uint32_t d = long_query ? 1 : 1 + rng() % 2;
        const std::string q = long_query ? random_text(rng, 90, "abc ") : random_text(rng, 9, "abc ");
        const auto built = levenshtein::Levenshtein::create(q, d);
        if (!built) continue;  // beyond the state limit
        if (long_query && q.size() > 64) ++long_checked;
        const LevenshteinRows rows(q, d);
        const LevenshteinDfa dfa(q, d);  // one per query, so its tables are shared by the inputs
        for (int t = 0; t < 40; ++t) {
            std::string input;
            if (long_query) {
                input = q;
                for (int e = 0; e < 2 && !input.empty(); ++e)
                    input.replace(rng() % input.size(), 1, pieces[rng() % pieces.size()]);
            } else {
                const size_t n = rng() % 12;
                for (size_t i = 0; i < n; ++i) input += pieces[rng() % pieces.size()];
            }
            auto a = built->start();
            auto b = rows.start();
            auto c = dfa.start();
            EXPECT_EQ(built->is_match(a), rows.is_match(b));
            EXPECT_EQ(built->is_match(a), dfa.is_match(c));
            for (size_t i = 0; i < input.size(); ++i) {
                const auto na = built->accept(a, static_cast<uint8_t>(input[i]));
                const auto nb = rows.accept(b, static_cast<uint8_t>(input[i]));
                const auto nc = dfa.accept(c, static_cast<uint8_t>(input[i]));
                ASSERT_EQ(na.has_value(), nb.has_value()) << q << " d=" << d << " | " << text::debug_quote(input)
                                                          << " at " << i;
                ASSERT_EQ(na.has_value(), nc.has_value()) << q << " d=" << d << " | " << text::debug_quote(input)
                                                          << " at " << i;
                if (!na) break;
                a = *na;
                b = *nb;
                c = *nc;
                ASSERT_EQ(built->is_match(a), rows.is_match(b)) << q << " d=" << d << " | "
                                                                << text::debug_quote(input) << " at " << i;
                ASSERT_EQ(built->is_match(a), dfa.is_match(c)) << q << " d=" << d << " | "
                                                               << text::debug_quote(input) << " at " << i;
                ASSERT_TRUE(rows.can_match(b));
            }
        }
    }
    EXPECT_GT(long_checked, 10);
}

TEST(LevenshteinRows, StreamsTheSameKeysWithStartsWith) {
    // The keys the search streams: street text, 0x1F, commune code.
    std::mt19937 rng(9);
    std::map<std::string, uint64_t> keys;
    for (int i = 0; i < 3000; ++i)
        keys.emplace(random_text(rng, 14, "rue dlithgo") + '\x1F' + std::to_string(rng() % 50), i);
    std::vector<std::pair<std::string, uint64_t>> sorted(keys.begin(), keys.end());
    const std::string bytes = build::fst::build_map(sorted, 3);
    auto map = fst::Map::open(ByteView(std::string_view(bytes)));
    ASSERT_TRUE(map);
    for (const char* q : {"rue de lille", "rue victor hugo", "de li", "hugo", "rue"}) {
        for (uint32_t d : {1u, 2u}) {
            std::vector<std::string> want, got;
            auto built = levenshtein::Levenshtein::create(q, d);
            ASSERT_TRUE(built);
            auto a = map->stream(fst::StartsWith(*built));
            while (a.next()) want.emplace_back(a.key());
            auto b = map->stream(fst::StartsWith(LevenshteinRows(q, d)));
            while (b.next()) got.emplace_back(b.key());
            EXPECT_EQ(got, want) << q << " d=" << d;
            std::vector<std::string> got_dfa;
            auto c = map->stream(fst::StartsWith(LevenshteinDfa(q, d)));
            while (c.next()) got_dfa.emplace_back(c.key());
            EXPECT_EQ(got_dfa, want) << q << " d=" << d;
        }
    }
}

TEST(LevenshteinRows, CountsStatesLikeTheBuilder) {
    std::mt19937 rng(17);
    int failures = 0;
    for (int round = 0; round < 160; ++round) {
        const uint32_t d = 1 + rng() % 2;
        // Mostly street-like texts; long ones at distance 2 exceed the limit.
        const std::string q = round % 4 == 0 ? random_text(rng, 70, "ab ") : random_text(rng, 60, "abcdefghijklmnopqrstuvwxyz ");
        const auto built = levenshtein::Levenshtein::create(q, d);
        const auto counted = levenshtein_plain_states(q, d, levenshtein::kStateLimit);
        ASSERT_EQ(counted.has_value(), built.has_value()) << q << " d=" << d;
        EXPECT_EQ(levenshtein_fits(q, d), built.has_value()) << q << " d=" << d;
        if (built)
            EXPECT_EQ(*counted, built->counted_states()) << q << " d=" << d;
        else
            ++failures;
    }
    EXPECT_GT(failures, 0);  // the limit itself was exercised
    // A lower limit cuts the count off.
    EXPECT_FALSE(levenshtein_plain_states("rue de la republique", 2, 100));
    EXPECT_TRUE(levenshtein_plain_states("rue de la republique", 2, 100000));
}

}  // namespace
}  // namespace tarnwik
