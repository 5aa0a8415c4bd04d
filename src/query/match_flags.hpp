// How a street candidate matched a query: eleven slots, set by candidate
// collection and by hit construction, named for callers by match_flags().
#pragma once

#include <array>
#include <cstddef>

namespace tarnwik {

struct MatchFlags {
    enum Slot : size_t {
        street_exact = 0,
        street_fuzzy = 1,
        commune_exact = 2,
        commune_prefix = 3,
        pc_exact = 4,
        pc_dept = 5,
        ml = 6,
        number_match = 7,
        house_rep = 8,
        house_requested = 9,
        de_street_type = 10,
    };
    static constexpr size_t kSlots = 11;

    std::array<bool, kSlots> slot{};

    bool operator[](Slot s) const { return slot[s]; }
    bool& operator[](Slot s) { return slot[s]; }
    void set(Slot s, bool on = true) { slot[s] = on; }
    // Flags only ever accumulate when a street is found again.
    MatchFlags& operator|=(const MatchFlags& o) {
        for (size_t i = 0; i < kSlots; ++i) slot[i] = slot[i] || o.slot[i];
        return *this;
    }
    bool operator==(const MatchFlags&) const = default;
};

// Hits travel through the cascade with their ten 0/1 features: slots 0-8,
// then house_requested.
using Features = std::array<float, 10>;

}  // namespace tarnwik
