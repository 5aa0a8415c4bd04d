#include "query/es_prepared.hpp"

#include <functional>

namespace tarnwik::query {
namespace {

thread_local std::unique_ptr<EsPreparedCache> ES_PREPARED_CACHE;

size_t mix(size_t h, size_t v) { return h ^ (v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2)); }

}  // namespace

size_t EsPreparedKeyHash::operator()(const EsPreparedKey& k) const noexcept {
    size_t h = std::hash<uintptr_t>{}(k.index);
    h = mix(h, std::hash<std::string>{}(k.text));
    h = mix(h, std::hash<size_t>{}(k.k));
    h = mix(h, k.street_key ? std::hash<std::string>{}(*k.street_key) : 0x5bd1e995u);
    return h;
}

EsPreparedCache* es_prepared_cache() { return ES_PREPARED_CACHE.get(); }

EsPreparedScope::EsPreparedScope() {
    if (ES_PREPARED_CACHE) return;
    previous_ = std::exchange(ES_PREPARED_CACHE, std::make_unique<EsPreparedCache>());
    installed_ = true;
}

EsPreparedScope::~EsPreparedScope() {
    if (installed_) ES_PREPARED_CACHE = std::move(previous_);
}

}  // namespace tarnwik::query
