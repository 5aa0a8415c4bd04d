#include "query/cascade.hpp"

#include <algorithm>
#include <limits>

#include "query/foreign_city.hpp"
#include "query/street_data.hpp"
#include "rules/rules.hpp"

namespace tarnwik::query {

namespace {

constexpr FixedText kDeferredLocalityDrop = "__deferred_locality_drop";

bool has_flag(const Hit& h, FixedText flag) { return std::find(h.flags.begin(), h.flags.end(), flag) != h.flags.end(); }

}  // namespace

std::string_view bound_query_text(std::string_view text) {
    if (text.size() <= kMaxQueryBytes) return text;
    size_t cut = kMaxQueryBytes;
    // text[cut] is the first byte left out: while it continues a character,
    // that character started inside the prefix and goes too.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

std::vector<Hit> released_hits(std::vector<HitWithFeatures> hits) {
    std::vector<Hit> out;
    out.reserve(hits.size());
    float floor = std::numeric_limits<float>::max();
    for (HitWithFeatures& hf : hits) {
        Hit& h = hf.first;
        std::erase(h.flags, kDeferredLocalityDrop);
        h.confidence = std::min(h.confidence, floor);
        floor = h.confidence;
        out.push_back(std::move(h));
    }
    return out;
}

std::vector<Hit> index_query(const Index& index, std::string_view text, size_t k) {
    if (k == 0) return {};
    text = bound_query_text(text);
    const rules::ScopedCurrent rules(index.rules());
    std::vector<HitWithFeatures> hits = query_feats_street_data(index, text, k);
    hits = foreign_city_guard(index, text, std::move(hits));
    // Retries below search for more hits than asked; the caller gets k.
    if (hits.size() > k) hits.resize(k);
    return released_hits(std::move(hits));
}

bool poi_consulted(const std::vector<Hit>& address) {
    if (address.empty()) return true;
    const Hit& top = address.front();
    if (top.precision == "house" && has_flag(top, "street_exact")) return false;
    return top.precision == "city" || top.confidence < 0.3f ||
           (has_flag(top, "street_fuzzy") && top.confidence < 0.6f);
}

bool poi_wins(const std::vector<Hit>& address, const std::vector<Hit>& poi) {
    return !poi.empty() && (address.empty() || poi.front().confidence > address.front().confidence);
}

std::vector<Hit> query_cascade(const Index& address, const Index* poi, std::string_view text, size_t k) {
    text = bound_query_text(text);
    k = std::min(k, kMaxHits);
    std::vector<Hit> a = index_query(address, text, k);
    if (!poi || !poi_consulted(a) || text.empty()) return a;
    std::vector<Hit> p = index_query(*poi, text, k);
    if (!poi_wins(a, p)) return a;
    for (Hit& h : p) h.flags.push_back("poi_layer");
    return p;
}

}  // namespace tarnwik::query
