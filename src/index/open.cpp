// Opening a sheet: the container stage, then the section stage that checks
// every structure the search later walks without checks of its own.
#include <bit>
#include <cmath>
#include <fmt/format.h>

#include "index/index.hpp"
#include "index/mapping.hpp"
#include "util/text.hpp"

namespace tarnwik {

namespace {

constexpr size_t kStreetRecord = 36;
constexpr size_t kCommuneRecord = 16;
constexpr uint64_t kMaxPostingCount = 16384;

// SEC_RANK: "TWRK", feature count 10, then the bias and the ten weights as
// little-endian f32. Nothing unless the section is exactly that and every
// number is finite.
std::optional<RankModel> read_rank_model(ByteView b) {
    if (b.size() != 49 || std::memcmp(b.data(), "TWRK", 4) != 0 || b.u8(4) != 10) return std::nullopt;
    auto f32 = [&](size_t off) { return std::bit_cast<float>(b.u32(off)); };
    RankModel m;
    m.bias = f32(5);
    if (!std::isfinite(m.bias)) return std::nullopt;
    for (size_t i = 0; i < m.weights.size(); ++i) {
        m.weights[i] = f32(9 + 4 * i);
        if (!std::isfinite(m.weights[i])) return std::nullopt;
    }
    return m;
}

bool plausible_postcode(std::string_view pc) {
    if (pc.empty() || pc.size() > 8) return false;
    if (pc[0] < '0' || pc[0] > '9') return false;
    for (char c : pc) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        c == ' ';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

// Builds an Index step by step; any failure returns the one message of the
// failed step, and the partly built Index (with its mapping) is released.
class IndexOpener {
public:
    IndexOpener(std::string_view path) : idx_(new Index()), qpath_(text::debug_quote(path)) {
        idx_->path_ = std::string(path);
    }

    Result<std::shared_ptr<const Index>> run() {
        auto mapped = Mapping::map_file(idx_->path_);
        if (!mapped) return std::unexpected(mapped.error());
        idx_->map_ = *mapped;
        idx_->file_ = idx_->map_->bytes();
        try {
            auto table = parse_sections(idx_->file_);
            if (!table) return std::unexpected(table.error());
            idx_->sections_ = *table;
            idx_->version_ = table->version;
            if (auto err = section_stage()) return std::unexpected(*err);
        } catch (const OutOfBounds&) {
            return fail(qpath_ + ": corrupt index (panic while reading sections)");
        }
        return std::shared_ptr<const Index>(std::move(idx_));
    }

private:
    ByteView section(uint8_t id) const {
        const SectionSlot& s = idx_->sections_[id];
        return idx_->file_.sub(s.offset, s.length);
    }
    Error corrupt(std::string what) const { return Error{qpath_ + ": " + std::move(what), {}}; }

    std::optional<Error> section_stage() {
        Index& x = *idx_;
        x.communes_meta_ = section(section::communes_meta);
        x.commune_postings_ = section(section::commune_postings);
        x.streets_meta_ = section(section::streets_meta);
        x.houses_ = section(section::houses);
        x.names_ = section(section::names);
        x.word_postings_ = section(section::word_postings);
        x.commune_coords_ = section(section::commune_coords);

        read_suffixes(section(section::house_suffixes));
        split_grid(section(section::reverse_grid));

        if (ByteView parser = section(section::parser); !parser.empty()) {
            x.parser_ = ml::Parser::from_section(parser);
            if (!x.parser_) return corrupt("SEC_PARSER is present but malformed — corrupt/tampered sheet");
        }

        if (ByteView rank = section(section::rank); !rank.empty()) {
            x.rank_model_ = read_rank_model(rank);
            if (!x.rank_model_) return corrupt("SEC_RANK is present but malformed — corrupt/tampered sheet");
        }

        x.own_rules_ = rules::from_section_owned(section(section::rules));
        // Derived tables are built under the sheet's own vocabulary.
        rules::ScopedCurrent scoped(x.rules());

        if (auto m = fst::Map::open(section(section::communes_fst)); !m)
            return m.error();
        else
            x.communes_fst_ = *m;
        compute_center();

        if (x.streets_meta_.size() % kStreetRecord != 0)
            return corrupt("streets_meta length is not a whole number of records — corrupt");
        if (x.communes_meta_.size() % kCommuneRecord != 0)
            return corrupt("communes_meta length is not a whole number of records — corrupt");
        if (x.commune_coords_.size() != x.communes_meta_.size() / 2)
            return corrupt("commune_coords does not match the commune count — corrupt");

        if (auto err = check_streets()) return err;

        for (auto [id, target] : {std::pair{section::communes_fst, &x.communes_fst_},
                                  std::pair{section::streets_fst, &x.streets_fst_},
                                  std::pair{section::words_fst, &x.words_fst_}}) {
            auto m = fst::Map::open(section(id));
            if (!m) return m.error();
            *target = *m;
        }

        const uint64_t word_keys = x.words_fst_.key_count();
        if (x.word_postings_.empty() && word_keys != 0)
            return corrupt(fmt::format(
                "word_postings is empty but the words FST has {} keys — corrupt (fuzzy search would "
                "silently fail)",
                word_keys));
        if (auto err = check_word_postings()) return err;

        x.admin_regions_ = load_admin(x.path_);
        if (auto meta = decode_meta(section(section::meta))) x.meta_ = std::move(*meta);
        // German sheets build their postcode rosters here.
        return std::nullopt;
    }

    void read_suffixes(ByteView b) {
        Index& x = *idx_;
        x.suffixes_.assign(1, std::string());
        auto count = b.try_u32(0);
        if (!count) return;
        uint64_t pos = 4;
        for (uint32_t i = 1; i <= *count; ++i) {
            auto len = b.try_u8(pos);
            if (!len) break;
            auto bytes = b.try_sub(pos + 1, *len);
            if (!bytes) break;
            pos += 1 + uint64_t{*len};
            std::string s(bytes->as_chars());
            if (!text::valid_utf8(s)) s.clear();
            x.suffix_ids_[s] = i;
            x.suffixes_.push_back(std::move(s));
        }
    }

    void split_grid(ByteView b) {
        Index& x = *idx_;
        auto g = b.try_u32(0);
        if (!g || uint64_t{*g} * 12 > b.size() - 4) return;  // both taken as empty
        x.grid_cells_ = b.sub(4, uint64_t{*g} * 12);
        x.grid_blob_ = b.tail(4 + uint64_t{*g} * 12);
    }

    void compute_center() {
        Index& x = *idx_;
        const size_t n = x.communes_meta_.size() / kCommuneRecord;
        auto coords = [&](uint64_t id) -> std::optional<std::pair<int32_t, int32_t>> {
            auto lat = x.commune_coords_.try_i32(id * 8);
            auto lon = x.commune_coords_.try_i32(id * 8 + 4);
            if (!lat || !lon) return std::nullopt;
            return std::pair{*lat, *lon};
        };

        uint32_t max_prom = 0;
        size_t max_at = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t p = x.communes_meta_.u32(i * kCommuneRecord + 12);
            if (p > max_prom) max_prom = p, max_at = i;
        }
        std::optional<LatLon> fallback;
        if (max_prom != 0)
            if (auto c = coords(max_at); c && (c->first != 0 || c->second != 0))
                fallback = LatLon{c->first / 1e7, c->second / 1e7};

        uint64_t best_w = 0;
        LatLon best{};
        for (const std::string& city : rules::current().major_cities) {
            std::string upper = city;
            upper.push_back('\xFF');
            auto stream = x.communes_fst_.range(fst::Bound::included(city), fst::Bound::excluded(upper));
            uint64_t w_sum = 0;
            double lat_sum = 0, lon_sum = 0;
            while (stream.next()) {
                std::string_view key = stream.key();
                if (key.size() > city.size() && key[city.size()] != ' ') continue;
                const uint64_t v = stream.value();
                const uint64_t first = v >> 16, count = v & 0xFFFF;
                if ((first + count) * 4 > x.commune_postings_.size()) continue;
                for (uint64_t k = 0; k < count; ++k) {
                    const uint32_t id = x.commune_postings_.u32((first + k) * 4);
                    if (id >= n) continue;
                    auto c = coords(id);
                    if (!c || (c->first == 0 && c->second == 0)) continue;
                    const uint32_t w = x.communes_meta_.u32(uint64_t{id} * kCommuneRecord + 12);
                    w_sum += w;
                    lat_sum += w * (c->first / 1e7);
                    lon_sum += w * (c->second / 1e7);
                }
            }
            if (stream.corrupt()) throw OutOfBounds{};
            if (w_sum > best_w) {
                best_w = w_sum;
                best = LatLon{lat_sum / static_cast<double>(w_sum), lon_sum / static_cast<double>(w_sum)};
            }
        }
        if (best_w == 0 || best_w < max_prom / 20)
            x.center_ = fallback;
        else
            x.center_ = best;
    }

    std::optional<Error> check_streets() {
        const Index& x = *idx_;
        const size_t n = x.street_count();
        const uint64_t houses_len = x.houses_.size();
        const uint64_t names_len = x.names_.size();
        const size_t communes = x.commune_count();
        for (size_t i = 0; i < n; ++i) {
            const StreetRecord r = x.street(static_cast<uint32_t>(i));
            const uint64_t end = i + 1 < n ? x.streets_meta_.u64((i + 1) * kStreetRecord + 20) : houses_len;
            bool bad = r.houses_off >= houses_len || r.commune_id >= communes || r.house_count == 0 ||
                       end > houses_len || r.name_off >= names_len || r.houses_off >= end;
            if (!bad) bad = !x.names_.fits(uint64_t{r.name_off} + 1, x.names_.u8(r.name_off));
            if (bad)
                return corrupt(fmt::format(
                    "street record {} violates structural invariants — corrupt (zeroed or misdirected "
                    "section content)",
                    i));
            if (x.version_ >= 7 && r.postcode_ref == StreetRecord::kDictionaryMarker)
                if (auto err = check_dictionary(i, r, end)) return err;
        }
        return std::nullopt;
    }

    std::optional<Error> check_dictionary(size_t i, const StreetRecord& r, uint64_t end) {
        const Index& x = *idx_;
        auto bad = [&](std::string_view what) {
            return corrupt(fmt::format("street record {} {} — corrupt", i, what));
        };
        const ByteView block = x.houses_.sub(r.houses_off, end - r.houses_off);
        size_t pos = 0;
        auto n = strict_varint(block, pos);
        if (!n) return bad("has a malformed house-postcode dictionary count");
        if (*n == 0 || *n > r.house_count) return bad("has an invalid house-postcode dictionary size");
        // n <= house_count < 2^32, so this cannot wrap; kept as a guard all the same.
        if (*n > (UINT64_MAX - pos) / 4) return bad("house-postcode dictionary overflows");
        if (pos + *n * 4 > block.size()) return bad("house-postcode dictionary is truncated");
        std::string_view prev;
        for (uint64_t k = 0; k < *n; ++k) {
            const uint32_t off = block.u32(pos + 4 * k);
            auto len = x.names_.try_u8(off);
            auto bytes = len ? x.names_.try_sub(uint64_t{off} + 1, *len) : std::nullopt;
            if (!bytes) return bad("house-postcode dictionary points outside names");
            std::string_view pc = bytes->as_chars();
            if (!text::valid_utf8(pc)) return bad("house-postcode dictionary is not UTF-8");
            if (!plausible_postcode(pc) || (k > 0 && !(pc > prev)))
                return bad("house-postcode dictionary is empty, implausible, duplicated, or unsorted");
            prev = pc;
        }
        return std::nullopt;
    }

    std::optional<Error> check_word_postings() {
        const Index& x = *idx_;
        const ByteView wp = x.word_postings_;
        const uint64_t streets = x.street_count();
        auto stream = x.words_fst_.range();
        while (stream.next()) {
            const uint64_t v = stream.value();
            const char* reason = nullptr;
            if (v >= wp.size()) {
                reason = "points past the section";
            } else {
                size_t pos = static_cast<size_t>(v);
                auto count = strict_varint(wp, pos);
                if (!count)
                    reason = "has a malformed/unterminated street count varint";
                else if (*count == 0 || *count > kMaxPostingCount)
                    reason = "has a zero/oversized street count";
                else
                    reason = check_posting_ids(wp, pos, *count, streets);
            }
            if (reason)
                return corrupt(fmt::format(
                    "word_postings entry for {} {} — corrupt (fuzzy search would silently fail)",
                    text::debug_quote(text::lossy_utf8(stream.key())), reason));
        }
        if (stream.corrupt()) throw OutOfBounds{};
        return std::nullopt;
    }

    static const char* check_posting_ids(ByteView wp, size_t pos, uint64_t count, uint64_t streets) {
        uint64_t id = 0;
        for (uint64_t k = 0; k < count; ++k) {
            auto d = strict_varint(wp, pos);
            if (!d) return "is truncated mid-list (unterminated varint)";
            if (k == 0) {
                id = *d;
            } else {
                if (*d == 0) return "repeats a street id (deltas must be positive)";
                if (id > UINT64_MAX - *d) return "overflows the street id accumulator";
                id += *d;
            }
            if (id >= streets) return "references a street id past the street table";
        }
        return nullptr;
    }

    std::unique_ptr<Index> idx_;
    std::string qpath_;
};

Result<std::shared_ptr<const Index>> Index::open(std::string_view path) {
    return IndexOpener(path).run();
}

Result<std::shared_ptr<const Index>> Index::open_address(std::string_view path) {
    auto idx = open(path);
    if (!idx) return idx;
    if (auto layer = (*idx)->meta_value("layer"); layer && *layer != "addresses")
        return fail(fmt::format(
            "{} has layer {}, not an address sheet — load an `addresses` layer as the main index (a "
            "POI layer goes via --poi / tarnwik_load_poi)",
            text::debug_quote(path), text::debug_quote(*layer)));
    return idx;
}

}  // namespace tarnwik
