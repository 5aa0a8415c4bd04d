// Comparing hit lists in the cascade tests: everything a caller can see of
// a hit, and its features.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "query/es_prepared.hpp"
#include "query/hit.hpp"

namespace tarnwik::testing {

struct HitView {
    std::string street, commune, postcode;
    std::optional<std::string> housenumber;
    std::string precision;
    double lat, lon;
    float score, confidence;
    std::vector<std::string> flags;
    std::optional<std::string> region;
    std::optional<Features> features;
    bool operator==(const HitView&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const HitView& h) {
    os << "{" << h.street << " / " << h.commune << " #" << h.housenumber.value_or("-") << " " << h.precision
       << " score " << h.score << " conf " << h.confidence << " [";
    for (const std::string& f : h.flags) os << f << " ";
    return os << "]}";
}

inline HitView view(const Hit& h) {
    return {h.street, h.commune, h.postcode, h.housenumber, std::string(h.precision), h.lat, h.lon, h.score,
            h.confidence, std::vector<std::string>(h.flags.begin(), h.flags.end()), h.region, std::nullopt};
}
inline HitView view(const query::HitWithFeatures& hf) {
    HitView v = view(hf.first);
    v.features = hf.second;
    return v;
}
template <class T>
std::vector<HitView> views(const std::vector<T>& hits) {
    std::vector<HitView> out;
    for (const T& h : hits) out.push_back(view(h));
    return out;
}

// A forward hit with the given precision, confidence and flags.
inline Hit made_hit(std::string_view precision, float confidence, std::vector<FixedText> flags = {},
                    std::string street = "Via Roma") {
    Hit h;
    h.precision = precision;
    h.confidence = confidence;
    h.flags = std::move(flags);
    h.street = std::move(street);
    return h;
}

}  // namespace tarnwik::testing
