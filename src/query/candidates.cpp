#include "query/candidates.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <utility>

#include "de/de.hpp"
#include "index/fst/map.hpp"
#include "query/communes.hpp"
#include "query/keys.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace tarnwik::query {
namespace {

using Row = std::pair<std::string_view, std::string_view>;

// Short street-type and title words as typed in queries, whatever the
// sheet's own rules say: these are the spellings the first or last word of
// a street is tried under.
constexpr Row kAbbreviations[] = {
    {"r", "rue"},          {"av", "avenue"},      {"avn", "avenue"},      {"bd", "boulevard"},
    {"bld", "boulevard"},  {"blvd", "boulevard"}, {"pl", "place"},        {"imp", "impasse"},
    {"chem", "chemin"},    {"all", "allee"},      {"sq", "square"},       {"rte", "route"},
    {"crs", "cours"},      {"fbg", "faubourg"},   {"st", "saint"},        {"ste", "sainte"},
    {"ln", "laan"},        {"str", "straat"},     {"v", "via"},           {"vle", "viale"},
    {"pza", "piazza"},     {"cso", "corso"},      {"vic", "vicolo"},      {"ул", "улица"},
    {"пр", "проспект"},    {"просп", "проспект"}, {"пер", "переулок"},    {"наб", "набережная"},
    {"ш", "шоссе"},        {"бул", "бульвар"},    {"пл", "площадь"},      {"кв", "квартал"},
    {"мкр", "микрорайон"}, {"мкрн", "микрорайон"},
};
static_assert(std::size(kAbbreviations) == 34);

// French number words as street names write them in digits ("place du 18
// juin"). Compounds come before their parts so that "dix huit" is read
// whole.
constexpr Row kNumberWords[] = {
    {"dix sept", "17"}, {"dix huit", "18"}, {"dix neuf", "19"}, {"vingt cinq", "25"},
    {"premier", "1er"}, {"une", "1"},       {"un", "1"},        {"deux", "2"},
    {"trois", "3"},     {"quatre", "4"},    {"cinq", "5"},      {"six", "6"},
    {"sept", "7"},      {"huit", "8"},      {"neuf", "9"},      {"dix", "10"},
    {"onze", "11"},     {"douze", "12"},    {"treize", "13"},   {"quatorze", "14"},
    {"quinze", "15"},   {"seize", "16"},    {"vingt", "20"},    {"trente", "30"},
};
static_assert(std::size(kNumberWords) == 24);

// Serbian street names carry titles and surnames in the genitive
// ("bulevar kralja aleksandra"); queries often give the nominative or a
// Russian spelling.
constexpr Row kSerbianForms[] = {
    {"car", "cara"},         {"carja", "cara"},       {"knez", "kneza"},     {"knjaz", "kneza"},
    {"knjaza", "kneza"},     {"knjazja", "kneza"},    {"kralj", "kralja"},   {"korol", "kralja"},
    {"korolj", "kralja"},    {"korolja", "kralja"},   {"vojvoda", "vojvode"}, {"voevoda", "vojvode"},
    {"voevody", "vojvode"},
};

std::optional<std::string_view> lookup(std::span<const Row> table, std::string_view word) {
    for (const auto& [from, to] : table)
        if (from == word) return to;
    return std::nullopt;
}

// A character of U+0400..U+04FF: a lead byte D0..D3 with a continuation byte.
bool has_cyrillic(std::string_view s) {
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        const auto b = static_cast<uint8_t>(s[i]), c = static_cast<uint8_t>(s[i + 1]);
        if (b >= 0xD0 && b <= 0xD3 && c >= 0x80 && c <= 0xBF) return true;
    }
    return false;
}

std::vector<std::string_view> split_spaces(std::string_view s) {
    std::vector<std::string_view> out;
    for (size_t start = 0;;) {
        const size_t end = s.find(' ', start);
        if (end == std::string_view::npos) {
            out.push_back(s.substr(start));
            return out;
        }
        out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
}

template <class Words>
std::string join(const Words& words, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (i > from) out.push_back(' ');
        out += words[i];
    }
    return out;
}

std::string concat(std::string_view a, std::string_view b) {
    std::string s;
    s.reserve(a.size() + 1 + b.size());
    s += a;
    s.push_back(' ');
    s += b;
    return s;
}

bool contains(const std::vector<std::string>& list, std::string_view s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

void push_unique(std::vector<std::string>& list, std::string s) {
    if (!contains(list, s)) list.push_back(std::move(s));
}

std::optional<std::string> number_word_variant(std::string_view street) {
    std::string p = " ";
    p += street;
    p += ' ';
    bool replaced = false;
    for (const auto& [word, digits] : kNumberWords) {
        const std::string from = " " + std::string(word) + " ", to = " " + std::string(digits) + " ";
        if (p.find(from) == std::string::npos) continue;
        std::string out;
        size_t at = 0;
        for (size_t hit; (hit = p.find(from, at)) != std::string::npos; at = hit + from.size()) {
            out.append(p, at, hit - at);
            out += to;
        }
        out.append(p, at);
        p = std::move(out);
        replaced = true;
    }
    if (!replaced) return std::nullopt;
    const size_t b = p.find_first_not_of(" \t\n\v\f\r");
    if (b == std::string::npos) return std::string();
    return p.substr(b, p.find_last_not_of(" \t\n\v\f\r") - b + 1);
}

std::optional<std::string> serbian_variant(std::string_view street) {
    if (has_cyrillic(street)) return std::nullopt;
    std::vector<std::string_view> words = split_spaces(street);
    if (words.size() < 2) return std::nullopt;
    std::vector<std::string> mapped;
    bool changed = false;
    for (std::string_view w : words) {
        std::string m;
        if (auto to = lookup(kSerbianForms, w)) {
            m = *to;
        } else if (text::count_scalars(w) >= 5 && (w.ends_with("ova") || w.ends_with("eva"))) {
            m = std::string(w.substr(0, w.size() - 3)) + "a";
        } else {
            m = std::string(w);
        }
        changed = changed || m != w;
        mapped.push_back(std::move(m));
    }
    if (!changed) return std::nullopt;
    return join(mapped, 0, mapped.size());
}

// A Russian street type moved to the other end: "ленина улица" <-> "улица ленина".
std::optional<std::string> rotation(std::string_view entry, const rules::WordList& types) {
    const size_t first_space = entry.find(' ');
    if (first_space == std::string_view::npos) return std::nullopt;
    const std::string_view first = entry.substr(0, first_space);
    if (contains(types, first)) return concat(entry.substr(first_space + 1), first);
    const size_t last_space = entry.rfind(' ');
    const std::string_view last = entry.substr(last_space + 1);
    if (contains(types, last)) return concat(last, entry.substr(0, last_space));
    return std::nullopt;
}

std::optional<std::string> last_two_swapped(std::string_view entry) {
    std::vector<std::string_view> words = split_spaces(entry);
    if (words.size() < 3) return std::nullopt;
    std::swap(words[words.size() - 1], words[words.size() - 2]);
    return join(words, 0, words.size());
}

StreetRecord record_of(const Index& index, uint32_t id) {
    return id < index.street_count() ? index.street(id) : StreetRecord{};
}

// Ids come from FST values; one that cannot be a street id names no street.
std::optional<uint32_t> street_id_of(uint64_t value) {
    if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    return static_cast<uint32_t>(value);
}

struct Search {
    const Index& index;
    bool postcode_given;
    uint32_t postcode_value;
    bool number_ok;
    uint32_t number;
    uint32_t suffix_id;
    bool from_labeller;
    bool no_fuzzy;
    std::span<const uint32_t> extra_numbers;
    uint64_t& budget;
    SeenVariants& seen;
    PostcodeMemo& memo;
    bool german;
    bool v7;
    Candidates out;

    void add(uint32_t id, const MatchFlags& f) { out.streets[id] |= f; }

    // One unit of budget; false (and the abort flag) when there is none left.
    bool spend() {
        if (budget == 0) {
            out.abort = true;
            return false;
        }
        --budget;
        return true;
    }

    bool house_in_postcode(uint32_t id, const StreetRecord& r) {
        return index.exact_house_postcode_set_candidate_cached(memo, id, r, number, suffix_id, extra_numbers,
                                                              postcode_value);
    }

    void without_commune(const std::vector<std::string>& variants, const std::unordered_set<std::string>& g) {
        const bool strict = no_fuzzy && postcode_given && number_ok && german && v7;
        for (const std::string& v : variants) {
            if (strict && !seen.insert(v).second) continue;
            const bool de_type = g.contains(v);
            std::string lo = v, hi = v;
            lo.push_back('\x1F');
            hi.push_back(' ');
            auto stream = index.streets_fst().range(fst::Bound::included(lo), fst::Bound::excluded(hi));
            size_t accepted = 0;
            while (stream.next()) {
                const auto id = street_id_of(stream.value());
                if (!id) continue;
                const StreetRecord r = record_of(index, *id);
                MatchFlags f;
                f.set(MatchFlags::street_exact);
                f.set(MatchFlags::ml, from_labeller);
                f.set(MatchFlags::de_street_type, de_type);
                if (strict) {
                    if (!spend()) break;
                    if (!house_in_postcode(*id, r)) continue;
                    f.set(MatchFlags::pc_exact);
                    f.set(MatchFlags::pc_dept);
                    add(*id, f);
                    continue;
                }
                const uint32_t pn = r.postcode_num;
                if (postcode_given && pn != 0 && pn / 1000 != postcode_value / 1000) continue;
                f.set(MatchFlags::pc_exact, postcode_given && pn != 0 && pn == postcode_value);
                f.set(MatchFlags::pc_dept, postcode_given && pn != 0);
                add(*id, f);
                if (++accepted >= kMaxStreamedStreets) break;
            }
        }
    }

    void with_commune(std::string_view street, std::string_view commune, const std::vector<std::string>& variants,
                      const std::unordered_set<std::string>& g) {
        bool by_name = true;
        std::vector<uint32_t> ids = communes_by_name(index, commune);
        if (ids.empty()) {
            ids = communes_by_prefix(index, commune);
            by_name = false;
        }
        if (ids.empty()) return;

        std::vector<std::string> w = variants;
        const bool russian = has_cyrillic(street);
        const Rules& rules = rules::current();
        const rules::WordList& types = russian ? rules.street_types_ru : rules.street_types_fr_it;
        const std::vector<std::string_view> street_words = split_spaces(street);
        const bool typed = std::any_of(street_words.begin(), street_words.end(),
                                       [&](std::string_view word) { return contains(types, word); });
        if (!typed) {
            for (const std::string& t : types) {
                w.push_back(concat(t, street));
                if (russian) w.push_back(concat(street, t));
            }
        }
        for (const std::string& v : variants)
            if (auto s = last_two_swapped(v)) push_unique(w, std::move(*s));
        for (const std::string& v : variants)
            if (auto u = unglue_variant(v)) push_unique(w, std::move(*u));

        for (uint32_t id : ids) {
            const std::string_view code = index.commune(id).code;
            for (const std::string& text : w) {
                std::string key = text;
                key.push_back('\x1F');
                key += code;
                const auto value = index.streets_fst().get(key);
                if (!value) continue;
                const auto sid = street_id_of(*value);
                if (!sid) continue;
                const StreetRecord r = record_of(index, *sid);
                if (no_fuzzy) {
                    if (!(german && v7)) continue;
                    if (!spend()) break;
                    if (!(postcode_given && number_ok && house_in_postcode(*sid, r))) continue;
                }
                const uint32_t pn = r.postcode_num;
                MatchFlags f;
                f.set(MatchFlags::street_exact);
                f.set(MatchFlags::commune_exact, by_name);
                f.set(MatchFlags::commune_prefix, !by_name);
                f.set(MatchFlags::pc_exact, no_fuzzy || (postcode_given && pn != 0 && pn == postcode_value));
                f.set(MatchFlags::pc_dept,
                      no_fuzzy || (postcode_given && pn != 0 && pn / 1000 == postcode_value / 1000));
                f.set(MatchFlags::ml, from_labeller);
                f.set(MatchFlags::de_street_type, g.contains(text));
                add(*sid, f);
            }
        }
    }
};

}  // namespace

std::vector<std::string> street_text_variants(const Index& index, std::string_view street,
                                              std::unordered_set<std::string>* german) {
    std::vector<std::string> v{std::string(street)};

    if (const size_t sp = street.find(' '); sp != std::string_view::npos)
        if (auto full = lookup(kAbbreviations, street.substr(0, sp))) v.push_back(concat(*full, street.substr(sp + 1)));
    if (const size_t sp = street.rfind(' '); sp != std::string_view::npos)
        if (auto full = lookup(kAbbreviations, street.substr(sp + 1))) v.push_back(concat(street.substr(0, sp), *full));

    if (auto digits = number_word_variant(street)) v.push_back(std::move(*digits));
    if (auto serbian = serbian_variant(street)) v.push_back(std::move(*serbian));

    const rules::WordList& ru_types = rules::current().street_types_ru;
    const size_t rotated = std::min<size_t>(v.size(), 2);
    for (size_t i = 0; i < rotated; ++i)
        if (auto r = rotation(v[i], ru_types)) v.push_back(std::move(*r));

    if (index.country() == "de") {
        const size_t before = v.size();
        for (size_t i = 0; i < before; ++i) {
            const std::string entry = v[i];
            for (std::string& t : de::street_variants(entry)) {
                if (contains(v, t)) continue;
                if (german) german->insert(t);
                v.push_back(std::move(t));
            }
        }
    }
    return v;
}

Candidates collect_candidates(const Index& index, std::span<const std::string> words, bool postcode_given,
                              uint32_t postcode_value, bool number_ok, uint32_t number, uint32_t suffix_id,
                              bool from_labeller, bool no_fuzzy, std::span<const uint32_t> extra_numbers,
                              uint64_t& lookup_budget, SeenVariants& seen_variants, PostcodeMemo& memo) {
    Search s{index,         postcode_given, postcode_value, number_ok,     number,
             suffix_id,     from_labeller,  no_fuzzy,       extra_numbers, lookup_budget,
             seen_variants, memo,           index.country() == "de", index.version() >= 7, {}};
    const size_t n = words.size();
    if (n == 0) return std::move(s.out);
    const size_t max_k = std::min(n - 1, kMaxCommuneWords);
    for (size_t k = 0; k <= max_k; ++k) {
        const std::string street = join(words, 0, n - k);
        std::unordered_set<std::string> g;
        const std::vector<std::string> variants = street_text_variants(index, street, &g);
        if (k == 0)
            s.without_commune(variants, g);
        else
            s.with_commune(street, join(words, n - k, n), variants, g);
    }
    return std::move(s.out);
}

}  // namespace tarnwik::query
