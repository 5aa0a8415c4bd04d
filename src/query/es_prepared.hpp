// ES_PREPARED_CACHE: while a Spanish query retries its street under every
// name connector, many retries reduce to the same prepared search. For the
// duration of one such query the thread remembers the results of the
// prepared searches it ran and answers repeats from memory.
//
// The Spanish flow opens an EsPreparedScope around its retries; the prepared
// search consults the cache only while one is open on its thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "query/hit.hpp"
#include "query/match_flags.hpp"

namespace tarnwik::query {

// How hits travel above the search core: the hit and its ten 0/1 features.
using HitWithFeatures = std::pair<Hit, Features>;

// One prepared search: which sheet (by address), the prepared text, k and
// the street key the caller expects.
struct EsPreparedKey {
    uintptr_t index = 0;
    std::string text;
    size_t k = 0;
    std::optional<std::string> street_key;
    bool operator==(const EsPreparedKey&) const = default;
};
struct EsPreparedKeyHash {
    size_t operator()(const EsPreparedKey& k) const noexcept;
};
using EsPreparedCache = std::unordered_map<EsPreparedKey, std::vector<HitWithFeatures>, EsPreparedKeyHash>;

// The calling thread's cache; null while no scope is open on the thread.
EsPreparedCache* es_prepared_cache();

// Opens the cache on the thread unless an outer scope already has; the
// outermost scope drops it, with every list in it, when it closes. Must be
// closed on the thread that opened it (it is a stack object).
class EsPreparedScope {
public:
    EsPreparedScope();
    ~EsPreparedScope();
    EsPreparedScope(const EsPreparedScope&) = delete;
    EsPreparedScope& operator=(const EsPreparedScope&) = delete;

    // Whether this scope opened the cache (false inside an outer scope).
    bool installed() const { return installed_; }

private:
    bool installed_ = false;
    std::unique_ptr<EsPreparedCache> previous_;
};

}  // namespace tarnwik::query
