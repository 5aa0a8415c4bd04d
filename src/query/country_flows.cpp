// The German, Spanish and Italian query flows of the dispatcher.
//
// Their rewrites, rescues and overrides have not been written yet: until they
// are, each flow searches the query as it stands, exactly as the dispatcher
// does for any other country. Each country's code replaces its function body
// here (or moves the definition to a file of its own); the dispatcher and its
// callers stay as they are.
#include "query/dispatch.hpp"
#include "query/driver.hpp"

namespace tarnwik::query {

std::vector<HitWithFeatures> query_feats_de(const Index& index, std::string_view text, size_t k) {
    return query_feats_d(index, text, k);
}

std::vector<HitWithFeatures> query_feats_es(const Index& index, std::string_view text, size_t k) {
    return query_feats_d(index, text, k);
}

std::vector<HitWithFeatures> query_feats_it(const Index& index, std::string_view text, size_t k) {
    return query_feats_d(index, text, k);
}

}  // namespace tarnwik::query
