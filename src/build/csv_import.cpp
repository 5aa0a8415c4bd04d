#include "build/csv_import.hpp"

#include <cassert>
#include <charconv>
#include <cmath>
#include <fstream>
#include <istream>
#include <limits>
#include <ostream>
#include <unordered_map>
#include <unordered_set>

#include "norm/norm.hpp"
#include "util/text.hpp"

namespace tarnwik::build {

// ---------------------------------------------------------------------------
// CsvReader

struct CsvReader::Impl {
    std::istream& in;
    std::vector<char> buf = std::vector<char>(1 << 20);
    size_t pos = 0, len = 0;
    bool eof = false;
    bool at_start = true;
    uint64_t line = 1;

    explicit Impl(std::istream& s) : in(s) {}

    bool fill() {
        if (eof) return false;
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        len = static_cast<size_t>(in.gcount());
        pos = 0;
        if (len == 0) {
            eof = true;
            return false;
        }
        return true;
    }
    int peek() {
        if (pos == len && !fill()) return -1;
        return static_cast<unsigned char>(buf[pos]);
    }
    int get() {
        int c = peek();
        if (c >= 0) ++pos;
        return c;
    }
    // After a '\r' has been taken: a following '\n' belongs to the same line end.
    void finish_cr() {
        if (peek() == '\n') ++pos;
        ++line;
    }

    void skip_bom() {
        at_start = false;
        static constexpr unsigned char bom[3] = {0xEF, 0xBB, 0xBF};
        // The buffer holds at least three bytes unless the input is shorter.
        if (peek() < 0) return;
        if (len - pos >= 3 && std::equal(bom, bom + 3, reinterpret_cast<unsigned char*>(&buf[pos])))
            pos += 3;
    }

    bool next(CsvRecord& rec) {
        if (at_start) skip_bom();
        rec.fields.clear();
        rec.bad_quoting = false;
        // Blank lines are not records.
        for (;;) {
            int c = peek();
            if (c < 0) return false;
            if (c == '\n') { ++pos; ++line; continue; }
            if (c == '\r') { ++pos; finish_cr(); continue; }
            break;
        }
        rec.line = line;
        std::string field;
        for (;;) {
            field.clear();
            int c = peek();
            if (c == '"') {
                ++pos;
                bool closed = false;
                for (;;) {
                    c = get();
                    if (c < 0) break;
                    if (c == '"') {
                        if (peek() == '"') { ++pos; field.push_back('"'); continue; }
                        closed = true;
                        break;
                    }
                    if (c == '\n') ++line;
                    else if (c == '\r' && peek() != '\n') ++line;
                    field.push_back(static_cast<char>(c));
                }
                if (!closed) {
                    rec.bad_quoting = true;
                    rec.fields.push_back(std::move(field));
                    return true;
                }
                // Anything between the closing quote and the separator is broken quoting; keep it.
                for (;;) {
                    c = peek();
                    if (c < 0 || c == ',' || c == '\n' || c == '\r') break;
                    rec.bad_quoting = true;
                    field.push_back(static_cast<char>(c));
                    ++pos;
                }
            } else {
                for (;;) {
                    // Scan the buffered bytes in one go; this loop carries most of the input.
                    if (pos == len && !fill()) break;
                    size_t start = pos;
                    while (pos < len) {
                        char ch = buf[pos];
                        if (ch == ',' || ch == '\n' || ch == '\r') break;
                        ++pos;
                    }
                    field.append(&buf[start], pos - start);
                    if (pos < len) break;
                }
            }
            c = get();
            rec.fields.push_back(field);
            if (c == ',') continue;
            if (c == '\n') ++line;
            else if (c == '\r') finish_cr();
            return true;
        }
    }
};

CsvReader::CsvReader(std::istream& in) : impl_(std::make_unique<Impl>(in)) {}
CsvReader::~CsvReader() = default;
bool CsvReader::next(CsvRecord& rec) { return impl_->next(rec); }
bool CsvReader::failed() const { return impl_->in.bad(); }

// ---------------------------------------------------------------------------
// Row checks

std::string_view skip_reason_name(SkipReason r) {
    switch (r) {
        case SkipReason::bad_quoting: return "bad quoting";
        case SkipReason::field_count: return "wrong field count";
        case SkipReason::invalid_utf8: return "invalid UTF-8";
        case SkipReason::field_too_long: return "field too long";
        case SkipReason::bad_coordinates: return "bad coordinates";
        case SkipReason::empty_street: return "empty street";
        case SkipReason::empty_number: return "empty number";
        case SkipReason::number_without_digits: return "number without leading digits";
        case SkipReason::number_too_large: return "number too large";
        case SkipReason::duplicate: return "duplicate";
    }
    return "?";
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view trim(std::string_view s) {
    auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!s.empty() && ws(s.front())) s.remove_prefix(1);
    while (!s.empty() && ws(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

std::expected<HouseNumber, SkipReason> split_house_number(std::string_view raw) {
    std::string_view s = trim(raw);
    if (s.empty()) return std::unexpected(SkipReason::empty_number);
    size_t n = 0;
    uint64_t value = 0;
    while (n < s.size() && is_digit(s[n])) {
        value = value * 10 + static_cast<uint64_t>(s[n] - '0');
        if (value > std::numeric_limits<uint32_t>::max())
            return std::unexpected(SkipReason::number_too_large);
        ++n;
    }
    if (n == 0) return std::unexpected(SkipReason::number_without_digits);
    // The suffix is what a query's house number reads as: the normalised text
    // after the digits, its pieces joined without spaces, because the search
    // glues the suffix tokens that follow a number ("90/H" and "90 h" both
    // read as 90 with suffix "h"; normalising splits "1234A" into "1234 a").
    std::string norm = norm::normalize(s);
    size_t d = 0;
    while (d < norm.size() && is_digit(norm[d])) ++d;
    std::string suffix;
    for (char c : std::string_view(norm).substr(d))
        if (c != ' ') suffix.push_back(c);
    return HouseNumber{static_cast<uint32_t>(value), std::move(suffix)};
}

std::optional<double> parse_coordinate(std::string_view field) {
    std::string_view s = trim(field);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

uint64_t ImportStats::rows_skipped() const {
    uint64_t n = 0;
    for (size_t i = 0; i < kSkipReasonCount; ++i)
        if (i != static_cast<size_t>(SkipReason::duplicate)) n += by_reason[i];
    return n;
}

// ---------------------------------------------------------------------------
// Import

namespace {

constexpr size_t kMaxTextBytes = 255;  // one length byte in the string pool

// Column lookup by name, ASCII case-insensitive, surrounding white space ignored.
std::vector<int> find_columns(const std::vector<std::string>& header,
                              const std::vector<std::string_view>& wanted,
                              std::vector<std::string_view>& missing) {
    std::vector<int> idx(wanted.size(), -1);
    for (size_t w = 0; w < wanted.size(); ++w) {
        for (size_t i = 0; i < header.size(); ++i) {
            std::string_view h = trim(header[i]);
            if (h.size() != wanted[w].size()) continue;
            bool eq = true;
            for (size_t k = 0; k < h.size() && eq; ++k) {
                char a = h[k];
                if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
                eq = a == wanted[w][k];
            }
            if (eq) { idx[w] = static_cast<int>(i); break; }
        }
        if (idx[w] < 0) missing.push_back(wanted[w]);
    }
    return idx;
}

std::string join(const std::vector<std::string_view>& v, std::string_view sep) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += sep;
        out += v[i];
    }
    return out;
}

struct Header {
    std::vector<int> col;  // index of each wanted column
    size_t width = 0;      // the header's field count: every record must have as many
};

// The first record of a file. Refused when it is missing or lacks one of the
// wanted columns.
Result<Header> read_header(CsvReader& reader, std::string_view name,
                           const std::vector<std::string_view>& wanted) {
    CsvRecord rec;
    if (!reader.next(rec)) {
        if (reader.failed()) return fail(std::string(name) + ": read error");
        return fail(std::string(name) + ": empty file, expected the header " + join(wanted, ","));
    }
    std::vector<std::string_view> missing;
    auto idx = find_columns(rec.fields, wanted, missing);
    if (!missing.empty())
        return fail(std::string(name) + ": header lacks column" + (missing.size() > 1 ? "s " : " ") +
                    join(missing, ", ") + " (expected " + join(wanted, ",") + ")");
    return Header{std::move(idx), rec.fields.size()};
}

int32_t to_e7(double deg) { return static_cast<int32_t>(std::llround(deg * 1e7)); }

double haversine_km(double lat1, double lon1, double lat2, double lon2) {
    constexpr double r = M_PI / 180;
    double dlat = (lat2 - lat1) * r, dlon = (lon2 - lon1) * r;
    double a = std::sin(dlat / 2) * std::sin(dlat / 2) +
               std::cos(lat1 * r) * std::cos(lat2 * r) * std::sin(dlon / 2) * std::sin(dlon / 2);
    return 12742.0 * std::asin(std::sqrt(std::min(1.0, a)));
}

struct Interner {
    std::vector<std::string> texts;
    std::unordered_map<std::string, uint32_t> ids;
    uint32_t id(std::string_view s) {
        auto it = ids.find(std::string(s));
        if (it != ids.end()) return it->second;
        uint32_t i = static_cast<uint32_t>(texts.size());
        texts.emplace_back(s);
        ids.emplace(texts.back(), i);
        return i;
    }
};

struct HouseKey {
    uint32_t street, number, suffix;
    int32_t lat_e7, lon_e7;
    bool operator==(const HouseKey&) const = default;
};
struct HouseKeyHash {
    size_t operator()(const HouseKey& k) const {
        uint64_t h = 0x9E3779B97F4A7C15ull;
        auto mix = [&](uint64_t v) {
            h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
        };
        mix(k.street);
        mix(k.number);
        mix(k.suffix);
        mix(static_cast<uint32_t>(k.lat_e7));
        mix(static_cast<uint32_t>(k.lon_e7));
        return static_cast<size_t>(h);
    }
};

struct Origin {
    int64_t value;
    uint32_t file;
    RecordOrigin::Kind kind;
};

struct CommuneAcc {
    std::string name;
    double sum_lat = 0, sum_lon = 0;
    uint64_t houses = 0;
    std::vector<std::string> districts;  // distinct, first appearance first
    std::unordered_set<std::string> district_set;
};

struct HouseAcc {
    uint32_t number, suffix, postcode;
    double lat, lon;
};

struct StreetAcc {
    uint32_t commune;
    std::string name;
    std::vector<HouseAcc> houses;
};

struct PlaceRow {
    std::string name;
    double lat, lon;
};

struct PlaceGroup {
    std::string name;
    double sum_lat = 0, sum_lon = 0;
    uint64_t rows = 0;
};

enum Col { LON, LAT, NUMBER, STREET, UNIT, CITY, DISTRICT, REGION, POSTCODE, ID, kCols };
const std::vector<std::string_view> kAddressColumns = {
    "LON", "LAT", "NUMBER", "STREET", "UNIT", "CITY", "DISTRICT", "REGION", "POSTCODE", "ID"};
// Columns whose text the import uses (and therefore checks), in the order of
// the checks, with the record member that carries each.
struct UsedColumn {
    Col col;
    std::string_view AddressRecord::*field;
};
constexpr UsedColumn kUsedColumns[] = {
    {LON, &AddressRecord::lon},       {LAT, &AddressRecord::lat},
    {NUMBER, &AddressRecord::number}, {STREET, &AddressRecord::street},
    {CITY, &AddressRecord::city},     {DISTRICT, &AddressRecord::district},
    {REGION, &AddressRecord::region}, {POSTCODE, &AddressRecord::postcode},
};

std::string origin_text(const std::string& source, RecordOrigin::Kind kind, int64_t value) {
    std::string out = source;
    out.push_back(':');
    if (kind == RecordOrigin::Kind::node) out.push_back('n');
    else if (kind == RecordOrigin::Kind::way) out.push_back('w');
    out += std::to_string(value);
    return out;
}

enum PCol { P_POSTCODE, P_PLACE, P_STATE, P_PROVINCE, P_COMMUNITY, P_COMMUNITY_CODE, P_LAT, P_LON };
const std::vector<std::string_view> kPostcodeColumns = {
    "POSTCODE", "PLACE", "STATE", "PROVINCE", "COMMUNITY", "COMMUNITY_CODE", "LAT", "LON"};

}  // namespace

struct AddressImporter::Impl {
    ImportOptions opt;
    ImportStats stats;
    std::vector<std::string> files;
    std::array<size_t, kSkipReasonCount> reported{};

    std::vector<CommuneAcc> communes;
    std::unordered_map<std::string, uint32_t> commune_ids;
    std::unordered_map<std::string, uint32_t> first_of_name;
    std::vector<StreetAcc> streets;
    std::unordered_map<std::string, uint32_t> street_ids;
    Interner suffixes, postcodes;
    std::unordered_map<HouseKey, Origin, HouseKeyHash> seen;

    std::unordered_map<std::string, std::vector<PlaceRow>> places_by_postcode;
    std::vector<PlaceGroup> place_groups;
    std::unordered_map<std::string, uint32_t> place_group_ids;

    bool finished = false;

    explicit Impl(ImportOptions o) : opt(std::move(o)) {
        suffixes.id("");
        postcodes.id("");
    }

    SkipReason skip(SkipReason r, uint32_t file, RecordOrigin at, const std::string& detail) {
        size_t i = static_cast<size_t>(r);
        ++stats.by_reason[i];
        if (opt.log && reported[i] < opt.reports_per_reason) {
            ++reported[i];
            *opt.log << origin_text(files[file], at.kind, at.value) << ": skipped (" << skip_reason_name(r) << ")";
            if (!detail.empty()) *opt.log << ": " << detail;
            *opt.log << "\n";
        }
        return r;
    }

    // The place a CITY-less row with this postcode lies in: the nearest of
    // the table's places for that postcode.
    const std::string* postcode_place(std::string_view postcode, double lat, double lon) const {
        if (postcode.empty()) return nullptr;
        auto it = places_by_postcode.find(std::string(postcode));
        if (it == places_by_postcode.end()) return nullptr;
        const PlaceRow* best = nullptr;
        double best_d = 0;
        for (const PlaceRow& p : it->second) {
            double d = haversine_km(lat, lon, p.lat, p.lon);
            if (!best || d < best_d) { best = &p; best_d = d; }
        }
        return best ? &best->name : nullptr;
    }

    uint32_t commune_for(std::string_view city, std::string_view district, std::string_view region,
                         std::string_view postcode, double lat, double lon) {
        std::string key;
        std::string_view name;
        if (!city.empty()) {
            name = city;
        } else if (const std::string* place = postcode_place(postcode, lat, lon)) {
            name = *place;
        } else if (!district.empty()) {
            name = district;
        } else if (!region.empty()) {
            name = region;
        }
        if (!name.empty()) {
            // Without a region to tell same-named places apart, a row joins
            // the first commune of its name.
            if (region.empty())
                if (auto it = first_of_name.find(std::string(name)); it != first_of_name.end()) return it->second;
            key.reserve(name.size() + region.size() + 1);
            key.append(name).push_back('\x1f');
            key.append(region);
        } else {
            key.push_back('\x1e');
            key.append(postcode);
        }
        auto [it, inserted] = commune_ids.try_emplace(std::move(key), static_cast<uint32_t>(communes.size()));
        if (inserted) {
            communes.emplace_back();
            communes.back().name = std::string(name);
            if (!name.empty()) first_of_name.try_emplace(std::string(name), it->second);
        }
        return it->second;
    }

    uint32_t street_for(uint32_t commune, std::string_view name) {
        std::string key = std::to_string(commune);
        key.push_back('\x1f');
        key.append(name);
        auto [it, inserted] = street_ids.try_emplace(std::move(key), static_cast<uint32_t>(streets.size()));
        if (inserted) streets.push_back(StreetAcc{commune, std::string(name), {}});
        return it->second;
    }

    void add_row(const CsvRecord& rec, const std::vector<int>& col, size_t header_size, uint32_t file) {
        ++stats.rows_read;
        RecordOrigin at{RecordOrigin::Kind::line, static_cast<int64_t>(rec.line)};
        if (rec.bad_quoting) {
            skip(SkipReason::bad_quoting, file, at, "");
            return;
        }
        if (rec.fields.size() != header_size) {
            skip(SkipReason::field_count, file, at,
                 std::to_string(rec.fields.size()) + " fields, the header has " + std::to_string(header_size));
            return;
        }
        AddressRecord r;
        for (const UsedColumn& u : kUsedColumns) r.*u.field = rec.fields[static_cast<size_t>(col[u.col])];
        add_checked(file, r, at);
    }

    // The one path from a record to a house, whatever the source.
    std::optional<SkipReason> add_checked(uint32_t file, const AddressRecord& r, RecordOrigin at) {
        std::string_view f[kCols];
        for (const UsedColumn& u : kUsedColumns) {
            std::string_view raw = r.*u.field;
            if (!text::valid_utf8(raw))
                return skip(SkipReason::invalid_utf8, file, at, "in " + std::string(kAddressColumns[u.col]));
            f[u.col] = trim(raw);
            if (f[u.col].size() > kMaxTextBytes)
                return skip(SkipReason::field_too_long, file, at,
                            std::string(kAddressColumns[u.col]) + " has " + std::to_string(f[u.col].size()) +
                                " bytes (at most 255)");
        }
        auto lat = parse_coordinate(f[LAT]);
        auto lon = parse_coordinate(f[LON]);
        if (!lat || !lon || std::fabs(*lat) > 90 || std::fabs(*lon) > 180)
            return skip(SkipReason::bad_coordinates, file, at,
                        "LAT " + text::debug_quote(f[LAT]) + ", LON " + text::debug_quote(f[LON]));
        if (f[STREET].empty()) return skip(SkipReason::empty_street, file, at, "");
        auto number = split_house_number(f[NUMBER]);
        if (!number) return skip(number.error(), file, at, "NUMBER " + text::debug_quote(f[NUMBER]));
        if (number->suffix.size() > kMaxTextBytes)
            return skip(SkipReason::field_too_long, file, at, "the number's suffix is over 255 bytes");

        uint32_t commune = commune_for(f[CITY], f[DISTRICT], f[REGION], f[POSTCODE], *lat, *lon);
        uint32_t street = street_for(commune, f[STREET]);
        HouseAcc house{number->number, suffixes.id(number->suffix), postcodes.id(f[POSTCODE]), *lat, *lon};
        HouseKey key{street, house.number, house.suffix, to_e7(*lat), to_e7(*lon)};
        auto [it, inserted] = seen.try_emplace(key, Origin{at.value, file, at.kind});
        if (!inserted)
            return skip(SkipReason::duplicate, file, at,
                        "same house as " + origin_text(files[it->second.file], it->second.kind, it->second.value));

        streets[street].houses.push_back(house);
        CommuneAcc& c = communes[commune];
        c.sum_lat += *lat;
        c.sum_lon += *lon;
        ++c.houses;
        if (!f[DISTRICT].empty() && f[DISTRICT] != c.name) {
            auto [d, fresh] = c.district_set.emplace(f[DISTRICT]);
            if (fresh) c.districts.push_back(*d);
        }
        return std::nullopt;
    }

    Result<uint32_t> begin_source(std::string_view name) {
        if (finished) return fail("addresses added after finish()");
        files.emplace_back(name);
        return static_cast<uint32_t>(files.size() - 1);
    }

    Result<void> add_stream(std::istream& in, std::string_view name) {
        if (finished) return fail("addresses added after finish()");
        CsvReader reader(in);
        auto header = read_header(reader, name, kAddressColumns);
        if (!header) return std::unexpected(header.error());
        uint32_t file = static_cast<uint32_t>(files.size());
        files.emplace_back(name);
        CsvRecord rec;
        uint64_t rows = 0;
        while (reader.next(rec)) {
            add_row(rec, header->col, header->width, file);
            ++rows;
            if (opt.log && opt.progress_every && rows % opt.progress_every == 0)
                *opt.log << name << ": " << rows << " rows read\n" << std::flush;
        }
        if (reader.failed()) return fail(std::string(name) + ": read error");
        return {};
    }

    void add_postcode_row(const CsvRecord& rec, const std::vector<int>& col, size_t width) {
        if (rec.bad_quoting || rec.fields.size() != width) return;
        auto field = [&](PCol c) { return trim(rec.fields[static_cast<size_t>(col[c])]); };
        std::string_view postcode = field(P_POSTCODE), place = field(P_PLACE);
        auto lat = parse_coordinate(field(P_LAT));
        auto lon = parse_coordinate(field(P_LON));
        if (place.empty() || place.size() > kMaxTextBytes || !text::valid_utf8(place)) return;
        if (!lat || !lon || std::fabs(*lat) > 90 || std::fabs(*lon) > 180) return;
        if (!postcode.empty())
            places_by_postcode[std::string(postcode)].push_back(PlaceRow{std::string(place), *lat, *lon});
        std::string key(place);
        for (PCol c : {P_STATE, P_PROVINCE, P_COMMUNITY_CODE}) {
            key.push_back('\x1f');
            key.append(field(c));
        }
        auto [it, inserted] = place_group_ids.try_emplace(std::move(key), static_cast<uint32_t>(place_groups.size()));
        if (inserted) place_groups.push_back(PlaceGroup{std::string(place)});
        PlaceGroup& g = place_groups[it->second];
        g.sum_lat += *lat;
        g.sum_lon += *lon;
        ++g.rows;
    }

    Result<void> load_postcodes(std::istream& in, std::string_view name) {
        if (finished) return fail("postcodes loaded after finish()");
        CsvReader reader(in);
        auto header = read_header(reader, name, kPostcodeColumns);
        if (!header) return std::unexpected(header.error());
        CsvRecord rec;
        while (reader.next(rec)) add_postcode_row(rec, header->col, header->width);
        if (reader.failed()) return fail(std::string(name) + ": read error");
        return {};
    }

    SheetSpec finish() {
        finished = true;
        SheetSpec spec;
        spec.version = opt.format_version;
        spec.fst_version = opt.fst_version;
        if (!opt.country.empty()) {
            std::string cc = opt.country;
            for (char& ch : cc)
                if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
            spec.meta.emplace_back("country", cc);
        }
        spec.meta.emplace_back("layer", opt.layer);

        std::unordered_set<std::string> known_names;  // normalised names and aliases
        spec.communes.reserve(communes.size() + place_groups.size());
        for (CommuneAcc& c : communes) {
            CommuneSpec cs;
            cs.code = std::to_string(spec.communes.size());
            cs.name = std::move(c.name);
            cs.prominence = static_cast<uint32_t>(std::min<uint64_t>(c.houses, UINT32_MAX));
            if (c.houses) {
                cs.lat = c.sum_lat / static_cast<double>(c.houses);
                cs.lon = c.sum_lon / static_cast<double>(c.houses);
            }
            std::string own = norm::normalize(cs.name);
            std::unordered_set<std::string> alias_keys{own};
            for (std::string& d : c.districts) {
                std::string k = norm::normalize(d);
                if (k.empty() || !alias_keys.insert(k).second) continue;
                known_names.insert(k);
                cs.aliases.push_back(std::move(d));
            }
            if (!own.empty()) known_names.insert(std::move(own));
            spec.communes.push_back(std::move(cs));
        }
        communes.clear();
        commune_ids.clear();
        first_of_name.clear();

        for (PlaceGroup& g : place_groups) {
            std::string k = norm::normalize(g.name);
            if (k.empty() || known_names.contains(k)) continue;
            CommuneSpec cs;
            cs.code = std::to_string(spec.communes.size());
            cs.name = std::move(g.name);
            cs.prominence = 0;
            cs.lat = g.sum_lat / static_cast<double>(g.rows);
            cs.lon = g.sum_lon / static_cast<double>(g.rows);
            spec.communes.push_back(std::move(cs));
            ++stats.communes_from_postcodes;
        }
        place_groups.clear();
        places_by_postcode.clear();

        seen.clear();
        street_ids.clear();
        spec.streets.reserve(streets.size());
        size_t houses = 0;
        for (StreetAcc& s : streets) {
            StreetSpec ss;
            ss.name = std::move(s.name);
            ss.commune = s.commune;
            uint32_t shared = s.houses.front().postcode;
            for (const HouseAcc& h : s.houses)
                if (h.postcode != shared) { shared = 0; break; }
            ss.postcode = postcodes.texts[shared];
            ss.houses.reserve(s.houses.size());
            for (const HouseAcc& h : s.houses)
                ss.houses.push_back(HouseSpec{h.number, suffixes.texts[h.suffix], h.lat, h.lon,
                                              postcodes.texts[h.postcode]});
            houses += ss.houses.size();
            std::vector<HouseAcc>().swap(s.houses);
            spec.streets.push_back(std::move(ss));
        }
        streets.clear();

        stats.communes = spec.communes.size();
        stats.streets = spec.streets.size();
        stats.houses = houses;
        return spec;
    }
};

AddressImporter::AddressImporter(ImportOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
AddressImporter::~AddressImporter() = default;

Result<void> AddressImporter::load_postcodes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(path + ": cannot open");
    return impl_->load_postcodes(in, path);
}
Result<void> AddressImporter::load_postcodes(std::istream& in, std::string_view name) {
    return impl_->load_postcodes(in, name);
}
Result<void> AddressImporter::add_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(path + ": cannot open");
    return impl_->add_stream(in, path);
}
Result<void> AddressImporter::add_stream(std::istream& in, std::string_view name) {
    return impl_->add_stream(in, name);
}
Result<uint32_t> AddressImporter::begin_source(std::string_view name) { return impl_->begin_source(name); }
std::optional<SkipReason> AddressImporter::add_record(uint32_t source, const AddressRecord& record,
                                                      RecordOrigin origin) {
    assert(source < impl_->files.size() && !impl_->finished);
    ++impl_->stats.rows_read;
    return impl_->add_checked(source, record, origin);
}
SheetSpec AddressImporter::finish() { return impl_->finish(); }
const ImportStats& AddressImporter::stats() const { return impl_->stats; }
const ImportOptions& AddressImporter::options() const { return impl_->opt; }

std::string format_import_report(const ImportStats& s) {
    std::string out;
    out += "rows read: " + std::to_string(s.rows_read) + "\n";
    out += "rows skipped: " + std::to_string(s.rows_skipped()) + "\n";
    for (size_t i = 0; i < kSkipReasonCount; ++i) {
        if (i == static_cast<size_t>(SkipReason::duplicate) || s.by_reason[i] == 0) continue;
        out += "  " + std::string(skip_reason_name(static_cast<SkipReason>(i))) + ": " +
               std::to_string(s.by_reason[i]) + "\n";
    }
    out += "duplicates: " + std::to_string(s.duplicates()) + "\n";
    out += "communes: " + std::to_string(s.communes);
    if (s.communes_from_postcodes)
        out += " (" + std::to_string(s.communes_from_postcodes) + " from the postcode table)";
    out += "\n";
    out += "streets: " + std::to_string(s.streets) + "\n";
    out += "houses: " + std::to_string(s.houses) + "\n";
    return out;
}

}  // namespace tarnwik::build
