// Readings of a query: which token is the house number, which suffix goes
// with it, and which tokens are left for the street and the locality.
//
// A free-text address does not say which of its words is which, so the
// search tries several readings in a fixed order and keeps the one whose
// street candidates match best.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/index.hpp"
#include "query/hits.hpp"
#include "query/match_flags.hpp"

namespace tarnwik::query {

// One reading of the query.
struct Hyp {
    // Token positions, in this order, whose texts joined with single spaces
    // are the street-and-locality text.
    std::vector<uint32_t> street_tokens;
    bool number_ok = false;  // the house number parsed as an unsigned 32-bit number
    uint32_t number = 0;     // 0 when there is none
    uint32_t suffix_id = 0;  // id in the sheet's suffix map, 0 when none
    bool from_labeller = false;

    bool operator==(const Hyp&) const = default;
};

// 14 readings at most, then the plain one.
inline constexpr size_t kMaxHypotheses = 15;

// An optional "+" then ASCII digits only, as an unsigned 32-bit number.
// Nothing for an empty text, a lone sign, any other character or overflow.
std::optional<uint32_t> parse_u32_decimal(std::string_view text);

// The reading with the house number at `pos`. With `glue`, up to three
// following short tokens (a number-bearing token, bis/ter/..., or a single
// letter) are tried as the house suffix, and as many as form the longest
// known suffix are taken out of the street text. Postcode tokens are never
// street tokens. `postcode` marks tokens by position (missing marks are
// false).
Hyp build_hyp(const Index& index, std::span<const std::string_view> tokens, const std::vector<bool>& postcode,
              size_t pos, bool glue);

// The readings to try, best guess first (at most kMaxHypotheses): house
// number candidates (each glued and, when different, unglued), the first
// token with a glued suffix (12bis), the labeller's reading when the sheet
// has a labeller, rotations that move the first street word to the end, and
// last the plain reading of every non-postcode token without a number.
std::vector<Hyp> build_hypotheses(const Index& index, std::span<const std::string_view> tokens,
                                  const std::vector<bool>& postcode);

// The street-and-locality text of a reading.
std::string street_text(const Hyp& hyp, std::span<const std::string_view> tokens);

// A candidate set whose quality reaches this ends the hypothesis loop.
inline constexpr int kGoodEnoughQuality = 8;

// The best match_quality of a candidate set (pairs of street id and
// MatchFlags); nothing for an empty set.
template <class CandidateSet>
std::optional<int> candidate_set_quality(const CandidateSet& set) {
    std::optional<int> best;
    for (const auto& [street_id, flags] : set) {
        const int q = match_quality(flags);
        if (!best || q > *best) best = q;
    }
    return best;
}

// Choice between the candidate sets of successive hypotheses: a later set
// wins only with a strictly higher quality, so earlier readings win ties.
class HypothesisChoice {
public:
    // True when the set of this quality becomes the best.
    bool offer(std::optional<int> quality) {
        if (!quality || (best_ && *quality <= *best_)) return false;
        best_ = quality;
        return true;
    }
    std::optional<int> best() const { return best_; }
    // No later hypothesis can be worth trying.
    bool done() const { return best_ && *best_ >= kGoodEnoughQuality; }

private:
    std::optional<int> best_;
};

}  // namespace tarnwik::query
