// Arbitrary bytes as a sheet file: the container stage, every section check
// of the open, and, when the sheet opens, a short walk through the readers
// that queries use afterwards on the same (only partly validated) data.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_util.hpp"
#include "index/index.hpp"
#include "levenshtein/levenshtein.hpp"
#include "query/reverse.hpp"
#include "rules/rules.hpp"

namespace {

using namespace tarnwik;

constexpr size_t kStreamItems = 32;

template <class S>
std::vector<std::pair<std::string, uint64_t>> drain(S& stream, size_t limit) {
    std::vector<std::pair<std::string, uint64_t>> out;
    while (out.size() < limit && stream.next()) out.emplace_back(std::string(stream.key()), stream.value());
    return out;
}

void walk_map(const fst::Map& map) {
    auto all = map.range();
    const auto head = drain(all, kStreamItems);
    for (size_t i = 0; i < head.size() && i < 4; ++i) (void)map.get(head[i].first);
    (void)map.get("");
    (void)map.get("a");
    if (head.empty()) return;

    const std::string& low = head.front().first;
    const std::string& high = head.back().first;
    auto bounded = map.range(fst::Bound::excluded(low), fst::Bound::included(high + '\xFF'));
    (void)drain(bounded, kStreamItems);

    // Fuzzy scan as the street search runs it: keys starting with a text
    // within one edit of a short query.
    const std::string query = high.substr(0, 6);
    if (auto lev = levenshtein::from_cache(query, 1)) {
        auto fuzzy = map.stream(fst::StartsWith(*lev), fst::Bound::included(low.substr(0, 1)), fst::Bound::unbounded());
        (void)drain(fuzzy, kStreamItems);
    }
}

void walk_index(const Index& x) {
    (void)x.country();
    (void)x.meta_value("layer");
    walk_map(x.communes_fst());
    walk_map(x.streets_fst());
    walk_map(x.words_fst());

    const size_t communes = std::min<size_t>(x.commune_count(), 16);
    for (uint32_t i = 0; i < communes; ++i) {
        (void)x.commune(i);
        (void)x.commune_name(i);
        (void)x.commune_coords_e7(i);
    }
    (void)x.commune_name(static_cast<uint32_t>(x.commune_count()));

    PostcodeMemo memo;
    const size_t streets = std::min<size_t>(x.street_count(), 16);
    for (uint32_t i = 0; i < streets; ++i) {
        const StreetRecord r = x.street(i);
        (void)x.name(r.name_off);
        (void)x.commune_name(r.commune_id);
        HouseWalk walk = x.walk_houses(i, r);
        HouseRecord h, first;
        size_t n = 0;
        for (; n < 64 && walk.next(h); ++n) {
            if (n == 0) first = h;
            (void)x.house_number(h.number, h.suffix_id);
            (void)x.postcode_for_house(r, h.postcode_off);
        }
        (void)x.find_house(i, r, first.number, first.suffix_id, false, 0);
        (void)x.find_house(i, r, first.number + 1, 0, true, r.postcode_num);
        const uint32_t more[] = {first.number + 2};
        (void)x.exact_house_postcode_set_candidate_cached(memo, i, r, first.number, first.suffix_id, more,
                                                          r.postcode_num);
    }
    (void)x.house_number(7, static_cast<uint32_t>(x.suffixes().size()));

    // The query side's readers of the sheet's models and rules, on the
    // words of the first street's name.
    if (x.street_count() > 0) {
        const std::string_view name = x.name(x.street(0).name_off);
        std::vector<std::string_view> tokens;
        for (size_t at = 0; at < name.size() && tokens.size() < 8;) {
            const size_t sp = std::min(name.find(' ', at), name.size());
            tokens.push_back(name.substr(at, sp - at));
            at = sp + 1;
        }
        tokens.push_back("12");
        if (const ml::Parser* p = x.parser()) {
            const auto labels = p->label(tokens);
            TW_FUZZ_CHECK(labels.size() == tokens.size(), "the labeller gives one label per token");
        }
        const Rules& r = x.rules();
        for (std::string_view t : tokens) (void)(r.is_affix(t) || r.commune_alias(t));
    }
    for (size_t i = 0; i < std::min<size_t>(x.grid_cell_count(), 4); ++i) (void)x.grid_cell(i);
    (void)x.street_boxes();

    // Reverse geocoding walks the grid and the blocks of the streets it
    // lists, which open checks only in part.
    // Positions in the sheet are not checked at open, so they are clamped to
    // coordinates that reverse geocoding must accept.
    std::vector<std::pair<double, double>> points = {{0, 0}, {90, 180}};
    auto add = [&](double lat, double lon) {
        points.emplace_back(std::clamp(lat, -90.0, 90.0), std::clamp(lon, -180.0, 180.0));
    };
    if (x.center()) add(x.center()->lat, x.center()->lon);
    if (x.street_count() > 0) add(x.street(0).lat_e7 / 1e7, x.street(0).lon_e7 / 1e7);
    for (auto [lat, lon] : points) {
        auto hits = query::try_reverse(x, lat, lon, 5);
        TW_FUZZ_CHECK(hits && hits->size() <= 5, "reverse refused valid coordinates or returned too many hits");
        (void)x.admin_at(lat, lon);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemFile file("tarnwik-fuzz-open");
    file.write(data, size);

    auto idx = Index::open(file.path());
    // Open installs the sheet's rules while it builds derived tables and
    // must put the caller's back on every exit.
    TW_FUZZ_CHECK(&rules::current() == &rules::fallback(), "open left its rules installed");
    if (!idx) {
        TW_FUZZ_CHECK(!idx.error().message.empty(), "open failed without a message");
        return 0;
    }
    walk_index(**idx);
    TW_FUZZ_CHECK(&rules::current() == &rules::fallback(), "a reader left the sheet's rules installed");
    return 0;
}
