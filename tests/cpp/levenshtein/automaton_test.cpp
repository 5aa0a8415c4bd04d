// The automaton accepts exactly the texts within the distance: fixed cases,
// random texts in several scripts against a plain edit-distance table, and
// the state limit.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "lev_test_util.hpp"
#include "levenshtein/dynamic.hpp"
#include "levenshtein/levenshtein.hpp"
#include "levenshtein/utf8_sequences.hpp"

namespace {

using tarnwik::levenshtein::DynamicLevenshtein;
using tarnwik::levenshtein::kStateLimit;
using tarnwik::levenshtein::Levenshtein;

Levenshtein build(std::string_view q, uint32_t d) {
    auto r = Levenshtein::create(q, d);
    if (!r) throw std::runtime_error("automaton not built for " + std::string(q));
    return *r;
}

struct Case {
    const char* query;
    uint32_t d;
    const char* key;
    bool accepted;
};

TEST(Levenshtein, FixedCases) {
    const Case cases[] = {
        // One edit away, or two (a transposition is two edits).
        {"rue", 1, "rue", true}, {"rue", 1, "ru", true}, {"rue", 1, "rues", true},
        {"rue", 1, "rua", true}, {"rue", 1, "ure", false}, {"rue", 2, "ure", true},
        {"rue", 1, "", false}, {"rue", 1, "r", false}, {"rue", 1, "xrue", true},
        {"rue", 1, "ruee", true}, {"rue", 1, "rueee", false},
        // Distance 0: the query only.
        {"rue", 0, "rue", true}, {"rue", 0, "ru", false}, {"rue", 0, "rua", false}, {"rue", 0, "Rue", false},
        {"", 0, "", true}, {"", 0, "a", false},
        // The empty query: the empty text and every one-character text.
        {"", 1, "", true}, {"", 1, "a", true}, {"", 1, "\x1F", true}, {"", 1, "ж", true},
        {"", 1, "中", true}, {"", 1, "😀", true}, {"", 1, "ab", false}, {"", 1, "жз", false},
        {"", 2, "жз", true}, {"", 2, "жзи", false},
        // Characters count, not bytes: one substitution of a two-, three- or
        // four-byte character, including neighbours that share lead bytes.
        {"ж", 1, "з", true}, {"ж", 0, "з", false}, {"жук", 1, "зук", true}, {"жук", 1, "жуя", true},
        {"жук", 1, "жу", true}, {"жук", 1, "жукё", true}, {"жук", 1, "зуя", false},
        {"улица", 1, "улнца", true}, {"улица", 1, "ulica", false}, {"улица", 2, "улнцё", true},
        {"中", 1, "丁", true}, {"中文", 1, "丁文", true}, {"中文", 1, "丁丈", false},
        {"😀", 1, "😁", true}, {"a😀b", 1, "ab", true}, {"ab", 1, "a😀b", true},
        {"rue", 1, "rüe", true}, {"rüe", 1, "rue", true}, {"rüe", 0, "rue", false},
        // Texts that are not UTF-8 are never accepted, even where one
        // character in their place would be.
        {"rue", 1, "ru\xFF", false}, {"rue", 1, "ru\xC3", false}, {"rue", 1, "ru\xC0\x80", false},
        {"rue", 1, "ru\xE0\x80\x80", false}, {"rue", 1, "ru\xED\xA0\x80", false},
        {"rue", 1, "ru\xF4\x90\x80\x80", false}, {"rue", 1, "ru\xF0\x80\x80\x80", false},
        {"rue", 1, "ru\xF5\x80\x80\x80", false}, {"rue", 1, "ru\x80", false},
        {"ж", 1, "\xD0", false}, {"ж", 1, "\xD0\xB6\xB6", false},
        // Edge scalars.
        {"a", 1, "\xF4\x8F\xBF\xBF", true}, {"a", 1, "\xEF\xBF\xBF", true}, {"a", 1, "\xED\x9F\xBF", true},
        {"a", 1, "\xE0\xA0\x80", true},
    };
    for (const Case& c : cases) {
        const Levenshtein lev = build(c.query, c.d);
        EXPECT_EQ(lev.matches(c.key), c.accepted) << '"' << c.query << "\" d=" << c.d << " key \"" << c.key << '"';
    }
    // NUL is a character like any other.
    EXPECT_TRUE(build("a", 1).matches(std::string_view("\0", 1)));
    EXPECT_TRUE(build("", 1).matches(std::string_view("\0", 1)));
}

// The rows of the edit-distance table, step by step, against a full table:
// entry 0 counts the input, entry i is the distance to the query's first i
// characters capped at d + 1.
TEST(DynamicLevenshtein, RowsFollowTheDistanceTable) {
    std::mt19937_64 rng(11);
    for (const auto& script : levtest::scripts()) {
        for (int trial = 0; trial < 300; ++trial) {
            const std::string q = levtest::random_text(rng, script, 7);
            const std::string x = trial % 2 ? levtest::mutate(rng, script, q, rng() % 4) : levtest::random_text(rng, script, 9);
            const uint32_t d = static_cast<uint32_t>(rng() % 4);
            const DynamicLevenshtein lev(q, d);
            const std::u32string qs = levtest::scalars(q), xs = levtest::scalars(x);
            std::vector<uint32_t> row = lev.start();
            for (size_t k = 0; k <= xs.size(); ++k) {
                if (k > 0) {
                    const bool in_query = qs.find(xs[k - 1]) != std::u32string::npos;
                    row = lev.accept(row, in_query ? std::optional<char32_t>(xs[k - 1]) : std::nullopt);
                }
                const std::u32string read = xs.substr(0, k);
                ASSERT_EQ(row.size(), qs.size() + 1);
                EXPECT_EQ(row[0], k);
                for (size_t i = 1; i <= qs.size(); ++i) {
                    const size_t want = k == 0 ? i : std::min<size_t>(levtest::distance(qs.substr(0, i), read), d + 1);
                    ASSERT_EQ(row[i], want) << script.name << " q=\"" << q << "\" read=\"" << levtest::utf8(read)
                                            << "\" d=" << d << " i=" << i;
                }
                EXPECT_EQ(lev.is_match(row), levtest::distance(qs, read) <= d);
                bool any = false;
                for (size_t i = 0; i <= qs.size(); ++i)
                    any = any || (i == 0 ? k : std::min<size_t>(levtest::distance(qs.substr(0, i), read), d + 1)) <= d;
                EXPECT_EQ(lev.can_match(row), any);
            }
        }
    }
}

// Random queries and texts, mostly near one another, in every script; the
// automaton must agree with the distance table on every text.
TEST(Levenshtein, AgreesWithTheDistanceTable) {
    std::mt19937_64 rng(12);
    for (const auto& script : levtest::scripts()) {
        for (uint32_t d = 0; d <= 2; ++d) {
            size_t accepted = 0, rejected = 0;
            for (int trial = 0; trial < 120; ++trial) {
                const std::string q = levtest::random_text(rng, script, 8);
                const Levenshtein lev = build(q, d);
                for (int k = 0; k < 40; ++k) {
                    const std::string key = k % 4 == 0 ? levtest::random_text(rng, script, 10)
                                                       : levtest::mutate(rng, script, q, rng() % (d + 3));
                    const bool want = levtest::distance(q, key) <= d;
                    ASSERT_EQ(lev.matches(key), want)
                        << script.name << " q=\"" << q << "\" d=" << d << " key=\"" << key << '"';
                    (want ? accepted : rejected)++;
                }
            }
            // Both outcomes well represented, or the comparison proves little.
            EXPECT_GT(accepted, 400u) << script.name << " d=" << d;
            EXPECT_GT(rejected, 400u) << script.name << " d=" << d;
        }
    }
}

// The plain construction: a 256-entry state for every distinct row, and a
// fresh chain of intermediate states for every multi-byte path added, the
// catch-all first, each query character then overwriting its bytes. Its
// state count is what the limit is measured against.
struct Plain {
    std::vector<std::array<uint32_t, 256>> next;
    std::vector<bool> match;
    bool failed = false;

    bool matches(std::string_view s) const {
        uint32_t st = 0;
        for (char c : s) {
            st = next[st][static_cast<uint8_t>(c)];
            if (st == UINT32_MAX) return false;
        }
        return match[st];
    }
};

Plain plain_build(std::string_view query, uint32_t d) {
    const std::u32string q = levtest::scalars(query);
    const size_t n = q.size();
    Plain p;
    std::map<std::vector<uint32_t>, uint32_t> ids;
    auto add_state = [&](bool m) {
        p.next.emplace_back();
        p.next.back().fill(UINT32_MAX);
        p.match.push_back(m);
        return static_cast<uint32_t>(p.next.size() - 1);
    };
    auto state_of = [&](const std::vector<uint32_t>& row) -> std::optional<uint32_t> {
        if (*std::min_element(row.begin(), row.end()) > d) return std::nullopt;
        if (auto it = ids.find(row); it != ids.end()) return it->second;
        const uint32_t s = add_state(row[n] <= d);
        ids.emplace(row, s);
        return s;
    };
    auto step = [&](const std::vector<uint32_t>& s, std::optional<char32_t> c) {
        std::vector<uint32_t> t(n + 1);
        t[0] = s[0] + 1;
        for (size_t i = 1; i <= n; ++i)
            t[i] = std::min({t[i - 1] + 1, s[i] + 1, s[i - 1] + ((c && *c == q[i - 1]) ? 0u : 1u), d + 1});
        return t;
    };
    auto add = [&](bool overwrite, uint32_t from, uint32_t to, char32_t lo, char32_t hi) {
        tarnwik::levenshtein::Utf8Sequences seqs(lo, hi);
        while (auto seq = seqs.next()) {
            uint32_t cur = from;
            for (size_t k = 0; k < seq->len; ++k) {
                const uint32_t target = k + 1 == seq->len ? to : add_state(false);
                for (unsigned b = seq->ranges[k].start; b <= seq->ranges[k].end; ++b)
                    if (overwrite || p.next[cur][b] == UINT32_MAX) p.next[cur][b] = target;
                cur = target;
            }
        }
    };
    std::vector<uint32_t> start(n + 1);
    for (size_t i = 0; i <= n; ++i) start[i] = static_cast<uint32_t>(i);
    state_of(start);
    std::vector<std::vector<uint32_t>> stack{start};
    std::vector<bool> scheduled;
    while (!stack.empty()) {
        const std::vector<uint32_t> s = stack.back();
        stack.pop_back();
        const uint32_t f = ids.at(s);
        auto follow = [&](std::optional<char32_t> c, char32_t lo, char32_t hi, bool overwrite) {
            const auto t = step(s, c);
            if (auto to = state_of(t)) {
                add(overwrite, f, *to, lo, hi);
                if (scheduled.size() <= *to) scheduled.resize(*to + 1);
                if (!scheduled[*to]) {
                    scheduled[*to] = true;
                    stack.push_back(t);
                }
            }
        };
        follow(std::nullopt, 0, 0x10FFFF, false);
        for (size_t i = 1; i <= n; ++i)
            if (s[i - 1] <= d) follow(q[i - 1], q[i - 1], q[i - 1], true);
        if (p.next.size() > kStateLimit) {
            p.failed = true;
            return p;
        }
    }
    return p;
}

TEST(Levenshtein, StateLimitCountsThePlainConstruction) {
    std::vector<std::string> queries = {"", "a", "rue", "hauptstrasse", "rue victor hugo", "abcdefghijklmnopqrst",
                                        "ж", "жук", "улица ленина", "中文😀", "straße am wald"};
    // Lengths that straddle the limit at distance 2 (and 1).
    for (size_t n : {40, 44, 46, 48, 50, 60}) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + (i * 7) % 26);
        queries.push_back(s);
    }
    for (size_t n : {20, 24, 28}) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += i % 2 ? "ж" : "ла";
        queries.push_back(s);
    }
    size_t built = 0, refused = 0;
    for (const auto& q : queries) {
        for (uint32_t d = 0; d <= 2; ++d) {
            SCOPED_TRACE(testing::Message() << '"' << q << "\" d=" << d);
            const Plain plain = plain_build(q, d);
            const auto lev = Levenshtein::create(q, d);
            ASSERT_EQ(lev.has_value(), !plain.failed);
            if (!lev) {
                ++refused;
                EXPECT_EQ(lev.error().message, "");
                continue;
            }
            ++built;
            EXPECT_EQ(lev->counted_states(), plain.next.size());
            EXPECT_LE(lev->state_count(), lev->counted_states());
            // Where the plain table is exact (ASCII queries), the two agree on
            // every text; both are checked against the distance table.
            bool ascii = true;
            for (unsigned char c : q) ascii = ascii && c < 0x80;
            std::mt19937_64 rng(std::hash<std::string>{}(q) + d);
            const auto script = levtest::scripts()[ascii ? 0 : 2];
            for (int k = 0; k < 200; ++k) {
                const std::string key = levtest::mutate(rng, script, q, rng() % (d + 2));
                const bool want = levtest::distance(q, key) <= d;
                ASSERT_EQ(lev->matches(key), want) << key;
                if (ascii) {
                    ASSERT_EQ(plain.matches(key), want) << key;
                }
            }
        }
    }
    EXPECT_GT(built, 0u);
    EXPECT_GT(refused, 0u);
}

// A multi-byte query character shares its lead byte with its neighbours.
// Letting its path replace the lead byte's catch-all transition would lose
// every other letter behind that byte; the plain table shows the effect.
TEST(Levenshtein, SharedLeadBytesKeepOtherCharacters) {
    const Plain plain = plain_build("ж", 1);
    EXPECT_FALSE(plain.matches("з"));  // D0 B7 behind the D0 of ж (D0 B6)
    EXPECT_TRUE(build("ж", 1).matches("з"));
    const Levenshtein two = build("жз", 1);  // two query letters behind one lead byte
    for (const char* key : {"жз", "зз", "жж", "жи", "ижз", "жиз", "з", "ж", "жзж"}) EXPECT_TRUE(two.matches(key)) << key;
    for (const char* key : {"ии", "зж", "иж", "ззз"}) EXPECT_FALSE(two.matches(key)) << key;
    const Levenshtein cjk = build("中", 1);  // E4 B8 AD; 丁 is E4 B8 81, 丈 E4 B8 88, 乙 E4 B9 99
    for (const char* key : {"中", "丁", "丈", "乙", "中a", "a中", ""}) EXPECT_TRUE(cjk.matches(key)) << key;
    EXPECT_FALSE(cjk.matches("丁丁"));
}

TEST(Levenshtein, TooManyStatesIsAnError) {
    std::string q;
    for (int i = 0; i < 120; ++i) q += static_cast<char>('a' + i % 26);
    const auto r = Levenshtein::create(q, 2);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "");
    EXPECT_NE(r.error().cause.find("10000"), std::string::npos);
    // Any bound beyond the longest text makes every input length a state of
    // its own: refused, not a hang or an overflow.
    for (uint32_t d : {20000u, 1u << 20, (1u << 20) + 1, UINT32_MAX}) {
        EXPECT_FALSE(Levenshtein::create("", d).has_value()) << d;
        EXPECT_FALSE(Levenshtein::create("rue", d).has_value()) << d;
    }
    // Long texts are fine at distance 0.
    std::string long_q(1024, 'x');
    for (int i = 0; i < 1024; i += 7) long_q[i] = 'y';
    const Levenshtein exact = build(long_q, 0);
    EXPECT_TRUE(exact.matches(long_q));
    EXPECT_FALSE(exact.matches(long_q.substr(1)));
    EXPECT_FALSE(exact.matches(long_q + "x"));
}

TEST(Levenshtein, KeepsItsQueryAndBound) {
    const Levenshtein lev = build("straße", 2);
    EXPECT_EQ(lev.query(), "straße");
    EXPECT_EQ(lev.distance(), 2u);
    // A query that is not UTF-8 reads its bad bytes as U+FFFD.
    const Levenshtein bad = build("ru\xFF", 0);
    EXPECT_TRUE(bad.matches("ru\xEF\xBF\xBD"));
    EXPECT_FALSE(bad.matches("ru\xFF"));
}

}  // namespace
