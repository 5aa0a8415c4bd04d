// SheetSpec -> container bytes. The layout decisions that readers depend on
// are made here: the string pool starts with an empty string so that offset 0
// can mean "no postcode"; house blocks are sorted by number; every posting
// and grid list is sorted and free of duplicates.
#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <map>
#include <memory>
#include <unordered_map>

#include "build/fst/builder.hpp"
#include "build/keys.hpp"
#include "build/sheet.hpp"
#include "index/container.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace tarnwik::build {
namespace {

constexpr uint64_t kMaxPostingIds = 16383;  // longer lists are ignored by the search
constexpr uint64_t kMaxCommuneRun = 0xFFFF;

void put_u8(std::string& o, uint8_t v) { o.push_back(static_cast<char>(v)); }
void put_u16(std::string& o, uint16_t v) { o.append(reinterpret_cast<const char*>(&v), 2); }
void put_u32(std::string& o, uint32_t v) { o.append(reinterpret_cast<const char*>(&v), 4); }
void put_i32(std::string& o, int32_t v) { o.append(reinterpret_cast<const char*>(&v), 4); }
void put_u64(std::string& o, uint64_t v) { o.append(reinterpret_cast<const char*>(&v), 8); }
void put_varint(std::string& o, uint64_t v) {
    while (v >= 0x80) {
        o.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    o.push_back(static_cast<char>(v));
}

// Strings longer than a length byte allows are cut at a character boundary.
std::string_view clip255(std::string_view s) {
    if (s.size() <= 255) return s;
    size_t n = 255;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

class StringPool {
public:
    StringPool() { blob_.push_back('\0'); }  // offset 0: the empty string
    uint32_t add(std::string_view s) {
        s = clip255(s);
        if (s.empty()) return 0;
        auto [it, fresh] = seen_.try_emplace(std::string(s), static_cast<uint32_t>(blob_.size()));
        if (fresh) {
            put_u8(blob_, static_cast<uint8_t>(s.size()));
            blob_.append(s);
        }
        return it->second;
    }
    const std::string& bytes() const { return blob_; }

private:
    std::string blob_;
    std::unordered_map<std::string, uint32_t> seen_;
};

std::optional<int32_t> to_e7(double deg, double limit) {
    if (!std::isfinite(deg) || std::fabs(deg) > limit) return std::nullopt;
    return static_cast<int32_t>(std::llround(deg * 1e7));
}

uint32_t numeric_prefix(std::string_view pc) {
    uint64_t v = 0;
    size_t i = 0;
    for (; i < pc.size() && pc[i] >= '0' && pc[i] <= '9'; ++i) {
        v = v * 10 + static_cast<uint64_t>(pc[i] - '0');
        if (v > UINT32_MAX) return 0;
    }
    return i == 0 ? 0 : static_cast<uint32_t>(v);
}

// What a house-postcode dictionary may hold: 1-8 bytes, a leading digit,
// then digits, ASCII letters and spaces.
bool dictionary_postcode(std::string_view pc) {
    if (pc.empty() || pc.size() > 8 || pc[0] < '0' || pc[0] > '9') return false;
    return std::all_of(pc.begin(), pc.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ' ';
    });
}

uint32_t grid_cell_key(double lat, double lon) {
    auto clamp = [](double v, int64_t hi) {
        int64_t i = static_cast<int64_t>(std::floor(v));
        return std::clamp<int64_t>(i, 0, hi);
    };
    const int64_t r = clamp((lat + 90.0) / 0.01, 17999);
    const int64_t c = clamp((lon + 180.0) / 0.01, 35999);
    return static_cast<uint32_t>(r * 36000 + c);
}

std::string build_fst(std::vector<std::pair<std::string, uint64_t>>& entries, int version) {
    std::sort(entries.begin(), entries.end());
    fst::MapBuilder b(version);
    for (size_t i = 0; i < entries.size(); ++i) {
        // Equal keys keep their first (lowest) value.
        if (i > 0 && entries[i].first == entries[i - 1].first) continue;
        auto ok = b.insert(entries[i].first, entries[i].second);
        (void)ok;  // sorted and de-duplicated above, cannot be out of order
    }
    return b.finish();
}

struct SortedHouse {
    const HouseSpec* h;
    uint32_t suffix_id;
    int32_t lat, lon;
};

}  // namespace

Result<std::string> write_sheet(const SheetSpec& spec, WriteStats* stats) {
    if (spec.version < kMinVersion || spec.version > kMaxVersion)
        return fail(fmt::format("format version {} cannot be written (6 or 7)", spec.version));
    if (spec.fst_version < 1 || spec.fst_version > 3)
        return fail(fmt::format("FST version {} cannot be written (1, 2 or 3)", spec.fst_version));
    if (spec.communes.empty() || spec.streets.empty())
        return fail("a sheet needs at least one commune and one street with a house");

    std::string rules_section;
    if (!spec.rules.empty()) {
        put_u32(rules_section, static_cast<uint32_t>(spec.rules.size()));
        for (const RuleRecord& rec : spec.rules) {
            if (rec.key.size() > 0xFFFF || rec.value.size() > 0xFFFF) return fail("a rule key or value is longer than 65535 bytes");
            put_u8(rules_section, rec.kind);
            put_u16(rules_section, static_cast<uint16_t>(rec.key.size()));
            rules_section += rec.key;
            put_u16(rules_section, static_cast<uint16_t>(rec.value.size()));
            rules_section += rec.value;
        }
    }
    // Keys depend on the rules (unit words, abbreviations, street types), so
    // they are derived under the rules a reader of this sheet has in force:
    // those of the section it will find, else the built-in ones.
    std::unique_ptr<Rules> own_rules;
    if (!spec.omit_sections.contains(section::rules)) {
        auto over = spec.section_overrides.find(section::rules);
        const std::string& bytes = over != spec.section_overrides.end() ? over->second : rules_section;
        if (!bytes.empty()) own_rules = rules::from_section_owned(ByteView(std::string_view(bytes)));
    }
    rules::ScopedCurrent keys_rules(own_rules ? *own_rules : rules::fallback());

    StringPool pool;

    // Suffix table: ids in byte order of the texts, 0 being "no suffix".
    std::map<std::string, uint32_t> suffix_id;
    for (const StreetSpec& s : spec.streets)
        for (const HouseSpec& h : s.houses)
            if (!h.suffix.empty()) suffix_id.emplace(h.suffix, 0);
    std::string suffixes;
    put_u32(suffixes, static_cast<uint32_t>(suffix_id.size()));
    {
        uint32_t next = 1;
        for (auto& [text, id] : suffix_id) {
            if (text.size() > 255) return fail(fmt::format("house suffix {} is longer than 255 bytes", text::debug_quote(text)));
            id = next++;
            put_u8(suffixes, static_cast<uint8_t>(text.size()));
            suffixes += text;
        }
    }

    // Communes.
    std::string communes_meta, commune_coords;
    std::vector<std::string> codes;
    std::unordered_map<std::string, size_t> code_owner;
    std::vector<std::pair<std::string, uint64_t>> commune_keys;  // key -> commune id (grouped below)
    for (size_t i = 0; i < spec.communes.size(); ++i) {
        const CommuneSpec& c = spec.communes[i];
        std::string code = c.code.empty() ? std::to_string(i) : c.code;
        if (code.size() > 8 || code.find('\0') != std::string::npos || !text::valid_utf8(code))
            return fail(fmt::format("commune {}: code {} is not 1-8 bytes of UTF-8 without NUL", i, text::debug_quote(code)));
        if (!code_owner.emplace(code, i).second)
            return fail(fmt::format("communes {} and {} share the code {}", code_owner[code], i, text::debug_quote(code)));
        std::string padded = code;
        padded.resize(8, '\0');
        communes_meta += padded;
        put_u32(communes_meta, pool.add(c.name));
        put_u32(communes_meta, c.prominence);
        int32_t lat = 0, lon = 0;
        if (c.lat && c.lon) {
            auto la = to_e7(*c.lat, 90), lo = to_e7(*c.lon, 180);
            if (!la || !lo) return fail(fmt::format("commune {}: position out of range", i));
            lat = *la, lon = *lo;
        }
        put_i32(commune_coords, lat);
        put_i32(commune_coords, lon);
        codes.push_back(std::move(code));
        if (auto k = commune_key(c.name); !k.empty()) commune_keys.emplace_back(std::move(k), i);
        for (const std::string& alias : c.aliases)
            if (auto k = commune_key(alias); !k.empty()) commune_keys.emplace_back(std::move(k), i);
    }

    // communes_fst values are runs of commune_postings: (first << 16) | count.
    std::sort(commune_keys.begin(), commune_keys.end());
    commune_keys.erase(std::unique(commune_keys.begin(), commune_keys.end()), commune_keys.end());
    std::string commune_postings;
    std::vector<std::pair<std::string, uint64_t>> commune_fst_entries;
    for (size_t i = 0; i < commune_keys.size();) {
        size_t j = i;
        const uint64_t first = commune_postings.size() / 4;
        while (j < commune_keys.size() && commune_keys[j].first == commune_keys[i].first) {
            if (j - i < kMaxCommuneRun) put_u32(commune_postings, static_cast<uint32_t>(commune_keys[j].second));
            ++j;
        }
        const uint64_t count = std::min<uint64_t>(j - i, kMaxCommuneRun);
        commune_fst_entries.emplace_back(commune_keys[i].first, (first << 16) | count);
        i = j;
    }

    // Streets, their house blocks, and the keys and cells that point at them.
    std::string streets_meta, houses;
    std::vector<std::pair<std::string, uint64_t>> street_fst_entries;
    std::map<std::string, std::vector<uint32_t>> word_streets;
    std::map<uint32_t, std::vector<uint32_t>> cells;
    size_t house_total = 0;
    for (size_t si = 0; si < spec.streets.size(); ++si) {
        const StreetSpec& s = spec.streets[si];
        const uint32_t sid = static_cast<uint32_t>(si);
        if (s.commune >= spec.communes.size())
            return fail(fmt::format("street {} ({}): commune {} does not exist", si, text::debug_quote(s.name), s.commune));
        if (s.houses.empty())
            return fail(fmt::format("street {} ({}) has no houses", si, text::debug_quote(s.name)));

        std::vector<SortedHouse> hs;
        hs.reserve(s.houses.size());
        double lat_sum = 0, lon_sum = 0;
        for (const HouseSpec& h : s.houses) {
            auto la = to_e7(h.lat, 90), lo = to_e7(h.lon, 180);
            if (!la || !lo)
                return fail(fmt::format("street {} ({}): house {}{} has a position out of range", si,
                                        text::debug_quote(s.name), h.number, h.suffix));
            hs.push_back({&h, h.suffix.empty() ? 0 : suffix_id.at(h.suffix), *la, *lo});
            lat_sum += h.lat;
            lon_sum += h.lon;
        }
        std::stable_sort(hs.begin(), hs.end(), [](const SortedHouse& a, const SortedHouse& b) {
            return std::tie(a.h->number, a.suffix_id) < std::tie(b.h->number, b.suffix_id);
        });
        const double n = static_cast<double>(hs.size());
        auto ref_lat = to_e7(s.lat.value_or(lat_sum / n), 90);
        auto ref_lon = to_e7(s.lon.value_or(lon_sum / n), 180);
        if (!ref_lat || !ref_lon)
            return fail(fmt::format("street {} ({}): reference point out of range", si, text::debug_quote(s.name)));

        // Postcodes: one shared text is the street's; several become a
        // dictionary where the format has one, else the most common wins.
        std::map<std::string, size_t> pc_count;
        for (const SortedHouse& h : hs)
            if (!h.h->postcode.empty()) ++pc_count[h.h->postcode];
        std::string street_pc = s.postcode;
        if (street_pc.empty() && !pc_count.empty()) {
            street_pc = std::max_element(pc_count.begin(), pc_count.end(),
                                         [](auto& a, auto& b) { return a.second < b.second; })->first;
        }
        std::vector<std::string> dict;
        if (spec.version >= 7 && pc_count.size() > 1)
            for (auto& [pc, cnt] : pc_count)
                if (dictionary_postcode(pc)) dict.push_back(pc);  // std::map order = byte order
        const bool use_dict = dict.size() > 1 || (dict.size() == 1 && pc_count.size() > 1);

        const uint64_t houses_off = houses.size();
        if (use_dict) {
            put_varint(houses, dict.size());
            for (const std::string& pc : dict) put_u32(houses, pool.add(pc));
        }
        uint32_t prev = 0;
        for (size_t k = 0; k < hs.size(); ++k) {
            const SortedHouse& h = hs[k];
            put_varint(houses, k == 0 ? h.h->number : h.h->number - prev);
            prev = h.h->number;
            put_varint(houses, h.suffix_id);
            put_varint(houses, zigzag_encode(int64_t{h.lat} - *ref_lat));
            put_varint(houses, zigzag_encode(int64_t{h.lon} - *ref_lon));
            if (use_dict) {
                auto it = std::lower_bound(dict.begin(), dict.end(), h.h->postcode);
                put_varint(houses, it != dict.end() && *it == h.h->postcode ? (it - dict.begin()) + 1 : 0);
            }
            cells[grid_cell_key(h.h->lat, h.h->lon)].push_back(sid);
        }
        house_total += hs.size();

        put_i32(streets_meta, *ref_lat);
        put_i32(streets_meta, *ref_lon);
        put_u32(streets_meta, s.commune);
        put_u32(streets_meta, numeric_prefix(street_pc));
        put_u32(streets_meta, pool.add(s.name));
        put_u64(streets_meta, houses_off);
        put_u32(streets_meta, static_cast<uint32_t>(hs.size()));
        put_u32(streets_meta, use_dict ? 0xFFFFFFFFu : pool.add(street_pc));

        if (auto k = street_key(s.name); !k.empty()) {
            k.push_back(kStreetCommuneSeparator);
            k += codes[s.commune];
            street_fst_entries.emplace_back(std::move(k), sid);
        }
        for (std::string& w : word_keys(s.name)) word_streets[std::move(w)].push_back(sid);
    }

    // Word postings: count, first id, then positive deltas.
    std::string word_postings;
    std::vector<std::pair<std::string, uint64_t>> word_fst_entries;
    for (auto& [key, ids] : word_streets) {
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        // The search ignores a longer list. Cut short it would be read as
        // complete and drop the streets past the cut from every intersection,
        // so the word gets no key at all, which the search reads the same way.
        if (ids.size() > kMaxPostingIds) continue;
        word_fst_entries.emplace_back(key, word_postings.size());
        put_varint(word_postings, ids.size());
        put_varint(word_postings, ids[0]);
        for (size_t k = 1; k < ids.size(); ++k) put_varint(word_postings, ids[k] - ids[k - 1]);
    }

    // Reverse grid: cells in key order, each a sorted run of street ids.
    std::string grid;
    put_u32(grid, static_cast<uint32_t>(cells.size()));
    std::string blob;
    for (auto& [key, ids] : cells) {
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        put_u32(grid, key);
        put_u32(grid, static_cast<uint32_t>(blob.size() / 4));
        put_u32(grid, static_cast<uint32_t>(ids.size()));
        for (uint32_t id : ids) put_u32(blob, id);
    }
    grid += blob;

    std::map<int, std::string> sections;
    sections[section::communes_fst] = build_fst(commune_fst_entries, spec.fst_version);
    sections[section::communes_meta] = std::move(communes_meta);
    sections[section::commune_postings] = std::move(commune_postings);
    sections[section::streets_fst] = build_fst(street_fst_entries, spec.fst_version);
    sections[section::streets_meta] = std::move(streets_meta);
    sections[section::houses] = std::move(houses);
    sections[section::names] = pool.bytes();
    sections[section::house_suffixes] = std::move(suffixes);
    sections[section::reverse_grid] = std::move(grid);
    const size_t word_key_count = word_fst_entries.size();
    sections[section::words_fst] = build_fst(word_fst_entries, spec.fst_version);
    sections[section::word_postings] = std::move(word_postings);
    sections[section::commune_coords] = std::move(commune_coords);
    if (!spec.parser.empty()) sections[section::parser] = spec.parser;
    if (!spec.rank.empty()) sections[section::rank] = spec.rank;
    if (!rules_section.empty()) sections[section::rules] = std::move(rules_section);
    if (!spec.meta.empty()) {
        std::string m;
        put_u32(m, static_cast<uint32_t>(spec.meta.size()));
        for (const auto& [k, v] : spec.meta) {
            if (k.size() > 0xFFFF) return fail("a meta key is longer than 65535 bytes");
            put_u16(m, static_cast<uint16_t>(k.size()));
            m += k;
            put_u32(m, static_cast<uint32_t>(v.size()));
            m += v;
        }
        sections[section::meta] = std::move(m);
    }
    for (const auto& [id, bytes] : spec.section_overrides) sections[id] = bytes;
    for (int id : spec.omit_sections) sections.erase(id);
    if (sections.size() > section::kMaxId) return fail("more than 17 sections");

    // Container: header, TOC in id order, then the sections back to back.
    std::string out(kMagic, 4);
    put_u8(out, spec.version);
    put_u8(out, static_cast<uint8_t>(sections.size()));
    uint64_t offset = 6 + 17 * sections.size();
    for (const auto& [id, bytes] : sections) {
        put_u8(out, static_cast<uint8_t>(id));
        put_u64(out, offset);
        put_u64(out, bytes.size());
        offset += bytes.size();
    }
    for (const auto& [id, bytes] : sections) out += bytes;
    // Readers require room for the largest TOC whatever the section count.
    if (out.size() < kMinFileSize) out.resize(kMinFileSize, '\0');

    if (stats) {
        *stats = WriteStats{spec.communes.size(), spec.streets.size(), house_total, word_key_count,
                            commune_fst_entries.size()};
    }
    return out;
}

}  // namespace tarnwik::build
