// One result of a forward or reverse query, as handed to the binding.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwik {

// Texts with static storage duration (string literals or constants): hits are
// copied between threads and outlive the code that built them, so a fixed
// text must never view a buffer owned by a query.
using FixedText = std::string_view;

struct Hit {
    double lat = 0;  // degrees
    double lon = 0;
    // Forward: "house", "interp", "near", "street" or "city".
    // Reverse: "house", "near" or "approximate".
    FixedText precision;
    float score = 0;
    float confidence = 0;  // 0..1
    std::string street;
    std::optional<std::string> housenumber;
    std::string commune;
    std::string postcode;  // may be empty
    std::vector<FixedText> flags;  // in order of addition
    std::optional<std::string> region;
    std::optional<double> distance_m;  // reverse hits only
};

}  // namespace tarnwik
