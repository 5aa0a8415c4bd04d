// LEV_CACHE: per thread, so lookups need no lock and automata are never
// shared between threads.
#include <string>
#include <unordered_map>

#include "levenshtein/levenshtein.hpp"

namespace tarnwik::levenshtein {
namespace {

struct Key {
    std::string query;
    uint32_t d = 0;
};

struct KeyView {
    std::string_view query;
    uint32_t d = 0;
};

struct KeyHash {
    using is_transparent = void;
    size_t operator()(const KeyView& k) const { return std::hash<std::string_view>{}(k.query) ^ (size_t{k.d} * 0x9E3779B97F4A7C15ull); }
    size_t operator()(const Key& k) const { return (*this)(KeyView{k.query, k.d}); }
};

struct KeyEq {
    using is_transparent = void;
    static KeyView view(const Key& k) { return {k.query, k.d}; }
    static KeyView view(const KeyView& k) { return k; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
        const KeyView x = view(a), y = view(b);
        return x.d == y.d && x.query == y.query;
    }
};

struct LevCache {
    // nullopt records a query whose automaton is too large.
    std::unordered_map<Key, std::optional<Levenshtein>, KeyHash, KeyEq> entries;
    uint64_t builds = 0;
    uint64_t hits = 0;
};

thread_local LevCache LEV_CACHE;

}  // namespace

std::optional<Levenshtein> from_cache(std::string_view query, uint32_t d) {
    LevCache& c = LEV_CACHE;
    if (auto it = c.entries.find(KeyView{query, d}); it != c.entries.end()) {
        ++c.hits;
        return it->second;
    }
    // Emptying the whole cache keeps the bound without any bookkeeping per
    // lookup; the queries of one search rarely need more than a few automata.
    if (c.entries.size() >= kCacheCapacity) c.entries.clear();
    ++c.builds;
    auto built = Levenshtein::create(query, d);
    auto [it, inserted] = c.entries.try_emplace(Key{std::string(query), d});
    if (built) it->second.emplace(std::move(*built));
    return it->second;
}

void clear_cache() { LEV_CACHE.entries.clear(); }

CacheStats cache_stats() {
    const LevCache& c = LEV_CACHE;
    return CacheStats{c.entries.size(), c.builds, c.hits};
}

}  // namespace tarnwik::levenshtein
