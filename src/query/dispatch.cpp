#include "query/dispatch.hpp"

#include "query/driver.hpp"

namespace tarnwik::query {

std::optional<std::string_view> dispatch_country(const Index& index) {
    // meta_value answers with the first entry of the key.
    const std::optional<std::string_view> country = index.country();
    if (!country || country->size() != 2) return std::nullopt;
    return country;
}

std::vector<HitWithFeatures> query_feats_country_variants(const Index& index, std::string_view text, size_t k) {
    const std::optional<std::string_view> country = dispatch_country(index);
    if (country == "de") return query_feats_de(index, text, k);
    if (country == "es") return query_feats_es(index, text, k);
    if (country == "it") return query_feats_it(index, text, k);
    return query_feats_d(index, text, k);
}

}  // namespace tarnwik::query
