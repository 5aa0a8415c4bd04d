// Forward geocoding of arbitrary query texts against fixed, real sheets: the
// path a Python `geocode(q, k)` call takes below the binding, with the
// sheet's labeller, rank model, region sidecar and, on request, a POI layer.
//
// Sheets are built once at start-up through the project's own importer, one
// per country flow ("fr", "es", "it", "de") from the shared address data when
// present: a sample of whole streets of each file (every street of a small
// file, about 3,000 rows of a large one), the country's postcode places of
// the sampled postcode areas, regions over each commune's houses. Each
// country comes as four address sheets, plain or with a labeller trained
// here on the sample and a rank model, each without or with a rules section
// (the address-field settings, street-type pairs, first-field words, a place
// lexicon and, for "de", the German lists: with the built-in rules alone the
// field rescues and the foreign-city guard stay off), and a POI layer of
// other streets of the same file.
// TARNWIK_FUZZ_QUERY_CSV names one CSV to use instead (its country from
// TARNWIK_FUZZ_QUERY_COUNTRY, default "fr"); set it empty to force the CSV
// generated here, which also stands in when the shared data is absent. An
// input found on one set of sheets is replayed on the same set only.
// TARNWIK_FUZZ_QUERY_SHOW=1 prints every answer (for replaying inputs).
//
// Input: selector byte (bits 0-1 country, bit 2 the sheet with labeller and
// rank model, bit 3 a POI layer, bit 4 ask twice, bit 5 the sheet with a
// rules section), k byte, then the query text. The binding hands
// the engine valid UTF-8 only (a Python str, encoded), so invalid sequences
// of the input are replaced by U+FFFD first.
//
// Checked besides the sanitizers: at most min(k, 100) hits, none for k = 0;
// confidences in 0..1 with two decimals, non-increasing; finite scores,
// coordinates in range, a forward precision, no reverse distance; text fields
// valid UTF-8 (the binding could not hand them to Python otherwise); no
// internal flag left, "poi_layer" only from a POI answer and then on every
// hit; the thread's rules restored; and, when asked twice, the same answer
// again for the same text with k capped by hand (through the single-sheet
// entry when there is no POI layer), which also catches a per-thread cache
// that answers differently from the computation it saves. Asking twice is
// left to the selector because a forward query is costly (tens of
// milliseconds under the sanitizers for a text of ten odd words).
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "build/admin_writer.hpp"
#include "build/csv_import.hpp"
#include "build/models.hpp"
#include "build/sheet.hpp"
#include "fuzz_util.hpp"
#include "index/index.hpp"
#include "ml/ml.hpp"
#include "norm/norm.hpp"
#include "query/cascade.hpp"
#include "rules/rules.hpp"
#include "util/text.hpp"

namespace {

using namespace tarnwik;

// ---------------------------------------------------------------------------
// Address rows

constexpr const char* kColumns[] = {"LON", "LAT", "NUMBER", "STREET", "UNIT", "CITY", "DISTRICT", "REGION", "POSTCODE", "ID"};
constexpr size_t kNumber = 2, kStreet = 3, kCity = 5, kPostcode = 8;
constexpr size_t kSampleRows = 3000;

using Row = std::vector<std::string>;  // the ten columns above

std::vector<Row> read_rows(std::istream& in, const std::string& name) {
    build::CsvReader reader(in);
    build::CsvRecord rec;
    if (!reader.next(rec)) fuzz::violated(name + ": no header");
    std::vector<long> at;
    for (const char* col : kColumns) {
        auto it = std::find(rec.fields.begin(), rec.fields.end(), col);
        at.push_back(it == rec.fields.end() ? -1 : it - rec.fields.begin());
    }
    std::vector<Row> rows;
    while (reader.next(rec)) {
        Row r;
        for (long i : at) r.push_back(i >= 0 && static_cast<size_t>(i) < rec.fields.size() ? rec.fields[i] : "");
        rows.push_back(std::move(r));
    }
    return rows;
}

std::string quoted(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string out = "\"";
    for (char c : field) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + '"';
}

std::string to_csv(const std::vector<Row>& rows) {
    std::string out;
    for (const char* col : kColumns) out += std::string(out.empty() ? "" : ",") + col;
    out += '\n';
    for (const Row& r : rows) {
        for (size_t i = 0; i < r.size(); ++i) out += (i ? "," : "") + quoted(r[i]);
        out += '\n';
    }
    return out;
}

uint64_t fnv(std::string_view s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

// Whole streets: every street of a small file, every m-th (by a hash of
// commune and street) of a large one, so the sample keeps many communes and
// long house runs. `group` picks which m-th; the POI layer takes another.
std::vector<Row> sample_streets(const std::vector<Row>& rows, uint64_t group, size_t limit) {
    const uint64_t m = std::max<uint64_t>(2, (rows.size() + kSampleRows - 1) / kSampleRows);
    std::vector<Row> out;
    for (const Row& r : rows)
        if (fnv(r[kCity] + '\x1f' + r[kStreet]) % m == group % m && out.size() < limit) out.push_back(r);
    return out;
}

std::string generated_csv() {
    // Street names of the four country flows, a few communes sharing some
    // of them, numbers with suffixes and repeats, postcodes that change
    // along a street.
    const char* streets[] = {"Hauptstraße", "Bahnhofstr.", "Am Markt", "Rue de la Gare", "Avenue Jean Jaurès",
                             "Calle Mayor", "Avenida de la Constitución", "Via Roma", "Corso Cento Cannoni",
                             "Piazza Garibaldi", "Carretera Zaragoza", "Chemin des Écoliers", "Sankt-Anna-Weg",
                             "Strada Cerca di Valle San Bartolomeo", "Plaza España"};
    const char* communes[] = {"Valmora", "Neustadt an der Weinstraße", "Saint-Étienne", "San Vicente de la Sonsierra",
                              "Alessandria", "Lauf a.d.Pegnitz"};
    const char* postcodes[] = {"19240", "26160", "15122", "91207", "67433", ""};
    std::vector<Row> rows;
    uint64_t seed = 0x2545F4914F6CDD1Dull;
    auto rnd = [&](uint64_t n) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        return seed % n;
    };
    int id = 0;
    for (size_t c = 0; c < std::size(communes); ++c)
        for (size_t s = 0; s < std::size(streets); ++s) {
            if (rnd(3) == 0) continue;
            const int len = 1 + static_cast<int>(rnd(25));
            for (int i = 0; i < len; ++i) {
                const std::string number =
                    std::to_string(1 + i + rnd(3)) + (rnd(5) == 0 ? "a" : rnd(9) == 0 ? "/H" : rnd(13) == 0 ? " bis" : "");
                char lon[32], lat[32];
                std::snprintf(lat, sizeof lat, "%.7f", 44.0 + c * 0.5 + s * 0.002 + i * 0.0001);
                std::snprintf(lon, sizeof lon, "%.7f", 2.0 + c * 0.5 + i * 0.0002);
                rows.push_back({lon, lat, number, streets[s], "", communes[c], c % 2 ? "Centro" : "", "",
                                postcodes[(c + (i > len / 2)) % std::size(postcodes)], std::to_string(++id)});
            }
        }
    return to_csv(rows);
}

// ---------------------------------------------------------------------------
// Models

// A labeller trained by perceptron on readings of the sample's own addresses
// (street words, number, glued or separate suffix, postcode and commune as
// ignored tokens) in the orders the countries write them. It need not be
// good, only plausible, so that its reading of a query is sometimes right
// and the labeller's hypothesis competes with the others.
std::string trained_parser(const std::vector<Row>& rows) {
    constexpr uint32_t B = 4096;
    constexpr uint8_t L = 5;
    enum : uint8_t { kStreetWord = 0, kNumberLabel = 2, kSuffixLabel = 3, kIgnored = 4 };
    auto words = [](const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(norm::normalize(text));
        for (std::string w; in >> w;) out.push_back(w);
        return out;
    };
    struct Example {
        std::vector<std::string> tokens;
        std::vector<uint8_t> labels;
    };
    std::vector<Example> examples;
    for (size_t i = 0; i < rows.size() && examples.size() < 2000; i += 1 + rows.size() / 2000) {
        const Row& r = rows[i];
        Example e;
        auto add = [&](const std::string& text, uint8_t label) {
            for (const std::string& w : words(text)) e.tokens.push_back(w), e.labels.push_back(label);
        };
        auto number = [&] {
            const auto n = words(r[kNumber]);
            for (size_t j = 0; j < n.size(); ++j) e.tokens.push_back(n[j]), e.labels.push_back(j ? kSuffixLabel : kNumberLabel);
        };
        switch (i % 3) {
            case 0: add(r[kStreet], kStreetWord), number(), add(r[kPostcode], kIgnored), add(r[kCity], kIgnored); break;
            case 1: number(), add(r[kStreet], kStreetWord), add(r[kPostcode], kIgnored), add(r[kCity], kIgnored); break;
            default: add(r[kStreet], kStreetWord), number(), add(r[kCity], kIgnored); break;
        }
        if (!e.tokens.empty()) examples.push_back(std::move(e));
    }
    build::ParserModel model;
    model.buckets = B;
    model.bias.assign(L, 0);
    model.weights.assign(size_t{B} * L, 0);
    for (int epoch = 0; epoch < 4; ++epoch)
        for (const Example& e : examples) {
            std::vector<std::string_view> view(e.tokens.begin(), e.tokens.end());
            for (size_t i = 0; i < view.size(); ++i) {
                std::array<uint32_t, ml::kFeatureCount> h;
                const auto feats = ml::token_features(view, i);
                for (size_t f = 0; f < feats.size(); ++f) h[f] = ml::feature_hash(feats[f]) % B;
                uint8_t best = 0;
                float best_score = -3.4028235e38f;
                for (uint8_t l = 0; l < L; ++l) {
                    float s = model.bias[l];
                    for (uint32_t b : h) s += model.weights[size_t{l} * B + b];
                    if (s > best_score) best_score = s, best = l;
                }
                if (best == e.labels[i]) continue;
                model.bias[e.labels[i]] += 0.25f, model.bias[best] -= 0.25f;
                for (uint32_t b : h) model.weights[size_t{e.labels[i]} * B + b] += 1, model.weights[size_t{best} * B + b] -= 1;
            }
        }
    auto section = build::encode_parser_section(model);
    if (!section) fuzz::violated("cannot encode the labeller: " + section.error().message);
    return *section;
}

std::string rank_model() {
    build::RankModel m;
    m.bias = -1.5f;
    m.weights = {0.5f, 0.25f, 1, -0.5f, 0.125f, 2, 0, 0.75f, -1, 0.3f};
    auto section = build::encode_rank_section(m);
    if (!section) fuzz::violated("cannot encode the rank model: " + section.error().message);
    return *section;
}

// Rules that switch on what the built-in rules leave off. Keys and values
// are in normalised form, as the engine compares them.
std::vector<build::RuleRecord> sheet_rules(const std::string& country) {
    struct Local {
        const char* region;
        const char* state;
        const char* city;
        std::vector<std::pair<const char*, const char*>> type_pairs;
    };
    static const std::map<std::string, Local> local = {
        {"fr", {"NA", "nouvelle aquitaine", "argentat", {{"av", "avenue"}, {"bd", "boulevard"}, {"r", "rue"}}}},
        {"es", {"LR", "la rioja", "najera", {{"c", "calle"}, {"avda", "avenida"}, {"ctra", "carretera"}}}},
        {"it", {"AL", "piemonte", "alessandria", {{"v", "via"}, {"str", "strada"}, {"p za", "piazza"}}}},
        {"de", {"BY", "bayern", "lauf an der pegnitz", {{"str", "strasse"}, {"pl", "platz"}}}},
    };
    const auto it = local.find(country);
    const Local& l = it != local.end() ? it->second : local.at("fr");
    std::vector<build::RuleRecord> out = {
        {23, "enabled", "1"},
        {23, "regions", std::string(l.region) + " 19 26 15 91"},
        {23, "forms", "comma hyphen"},
        {23, "postal_digits", "5"},
        {23, "postal_split", "2"},
        {23, "street_titles", "1"},
        {23, "street_title_aliases", "1"},
        {25, "residence", ""},
        {25, "edificio", ""},
        {25, "palazzo", ""},
        {25, "c o", ""},
        {26, "street_markers", "rue avenue calle via strasse weg"},
        {26, "district_markers", "quartier barrio frazione ortsteil"},
        {26, "regions", std::string(l.region) + " IDF MD LOM BE"},
        {26, std::string("city:") + l.city, l.region},
        {26, "city:paris", "IDF"},
        {26, "city:madrid", "MD"},
        {26, "city:milano", "LOM"},
        {26, "city:berlin", "BE"},
        {26, "alias:parigi", "paris"},
        {26, "alias:munchen", "munich"},
        {26, std::string("state:") + l.state, l.region},
        {2, "vienne", "wien"},
        {3, "av", "avenue"},
    };
    for (const auto& [from, to] : l.type_pairs) out.push_back({24, from, to});
    if (country == "de")
        for (build::RuleRecord r : std::initializer_list<build::RuleRecord>{
                 {1, "lauf", "lauf a d pegnitz"},
                 {18, "lauf a d peg", "lauf an der pegnitz"},
                 {19, "str", "strasse"},
                 {19, "pl", "platz"},
                 {20, "strasse", ""},
                 {20, "weg", ""},
                 {20, "platz", ""},
                 {20, "gasse", ""},
                 {21, "deutschland", ""},
                 {22, "landkreis", ""},
             })
            out.push_back(std::move(r));
    return out;
}

// ---------------------------------------------------------------------------
// Sheets

// One rectangle over each commune's houses.
std::vector<build::AdminRegionSpec> regions_for(const build::SheetSpec& spec) {
    std::vector<build::AdminRegionSpec> out;
    for (size_t c = 0; c < spec.communes.size(); ++c) {
        double lo_lat = 91, hi_lat = -91, lo_lon = 181, hi_lon = -181;
        for (const auto& s : spec.streets)
            if (s.commune == c)
                for (const auto& h : s.houses)
                    lo_lat = std::min(lo_lat, h.lat), hi_lat = std::max(hi_lat, h.lat), lo_lon = std::min(lo_lon, h.lon),
                    hi_lon = std::max(hi_lon, h.lon);
        if (lo_lat > hi_lat) continue;
        const std::string name = spec.communes[c].name.empty() ? "Region " + std::to_string(c) : spec.communes[c].name;
        out.push_back({name, {{{lo_lat, lo_lon}, {lo_lat, hi_lon}, {hi_lat, hi_lon}, {hi_lat, lo_lon}}}});
    }
    return out;
}

// The country's postcode places of the postcode areas (first two characters)
// the addresses use.
std::string postcode_places(const std::string& path, const std::vector<Row>& rows) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::set<std::string> areas;
    for (const Row& r : rows)
        if (r[kPostcode].size() >= 2) areas.insert(r[kPostcode].substr(0, 2));
    std::string out, line;
    std::getline(in, line);
    out = line + '\n';
    while (std::getline(in, line))
        if (line.size() >= 2 && areas.count(line.substr(0, 2))) out += line + '\n';
    return out;
}

std::shared_ptr<const Index> open_sheet(const build::SheetSpec& spec, bool poi) {
    auto bytes = build::write_sheet(spec);
    if (!bytes) fuzz::violated("cannot write the sheet: " + bytes.error().message);
    char dir_template[] = "/tmp/tarnwik-fuzz-query-XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (!dir) fuzz::violated("mkdtemp failed");
    const std::string path = std::string(dir) + "/fuzz.sheet";
    std::ofstream(path, std::ios::binary) << *bytes;
    if (!poi) {
        auto sidecar = build::write_admin_sidecar(path, regions_for(spec));
        if (!sidecar) fuzz::violated("cannot write the sidecar: " + sidecar.error().message);
    }
    auto idx = poi ? Index::open(path) : Index::open_address(path);
    if (!idx) fuzz::violated("the sheet does not open: " + idx.error().message);
    // The mapping and the regions outlive the files.
    std::filesystem::remove_all(dir);
    return *idx;
}

build::SheetSpec import(const std::string& country, const std::string& layer, const std::string& csv,
                        const std::string& postcodes) {
    build::ImportOptions opt;
    opt.country = country;
    opt.layer = layer;
    build::AddressImporter importer(opt);
    if (!postcodes.empty()) {
        std::istringstream in(postcodes);
        if (auto loaded = importer.load_postcodes(in, "postcodes.csv"); !loaded)
            fuzz::violated("cannot load the postcode places: " + loaded.error().message);
    }
    std::istringstream in(csv);
    if (auto added = importer.add_stream(in, "addresses.csv"); !added)
        fuzz::violated("cannot import the addresses: " + added.error().message);
    return importer.finish();
}

struct Country {
    std::string name;
    std::shared_ptr<const Index> sheets[4];  // [models][rules]
    std::shared_ptr<const Index> poi;
};

Country make_country(const std::string& country, const std::vector<Row>& all, const std::string& postcodes_path,
                     const std::string& source) {
    const std::vector<Row> rows = sample_streets(all, 0, all.size() <= kSampleRows ? all.size() : kSampleRows * 3 / 2);
    const std::vector<Row> poi_rows = sample_streets(all, 1, 400);
    const std::string places = postcode_places(postcodes_path, rows);
    build::SheetSpec spec = import(country, "addresses", to_csv(all.size() <= kSampleRows ? all : rows), places);
    Country c;
    c.name = country;
    const std::string parser = trained_parser(rows);
    for (int v = 0; v < 4; ++v) {
        spec.parser = v & 2 ? parser : std::string();
        spec.rank = v & 2 ? rank_model() : std::string();
        spec.rules = v & 1 ? sheet_rules(country) : std::vector<build::RuleRecord>{};
        c.sheets[v] = open_sheet(spec, false);
    }
    c.poi = open_sheet(import(country, "poi", to_csv(poi_rows.empty() ? rows : poi_rows), {}), true);
    std::fprintf(stderr, "fuzz_query: %s sheet: %zu communes, %zu streets from %s\n", country.c_str(),
                 c.sheets[0]->commune_count(), c.sheets[0]->street_count(), source.c_str());
    return c;
}

std::vector<Country> load_countries() {
    std::vector<Country> out;
    const char* chosen = std::getenv("TARNWIK_FUZZ_QUERY_CSV");
    if (chosen && *chosen) {
        std::ifstream in(chosen, std::ios::binary);
        const char* country = std::getenv("TARNWIK_FUZZ_QUERY_COUNTRY");
        out.push_back(make_country(country && *country ? country : "fr", read_rows(in, chosen), "", chosen));
        return out;
    }
    const std::string data = TW_SOURCE_DIR "/../shared/data/";
    const std::pair<const char*, const char*> files[] = {
        {"fr", "fr/limousin.csv"}, {"es", "es/la-rioja.csv"}, {"it", "it/alessandria.csv"}, {"de", "de/osm-towns.csv"}};
    if (!chosen)
        for (const auto& [country, file] : files) {
            std::ifstream in(data + file, std::ios::binary);
            if (!in) continue;
            out.push_back(make_country(country, read_rows(in, file), data + country + "/postcodes.csv", data + file));
        }
    if (out.empty()) {
        const std::string csv = generated_csv();
        for (const auto& [country, file] : files) {
            std::istringstream in(csv);
            out.push_back(make_country(country, read_rows(in, "generated.csv"), "", "the generated CSV"));
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Checks

uint64_t k_of(uint8_t b) {
    constexpr uint64_t large[] = {0, 99, 100, 101, 1000, UINT64_MAX};
    return b < 240 ? b % 16 : large[b % 6];
}

bool same_float(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }
bool same_double(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

bool same_hit(const Hit& a, const Hit& b) {
    return same_double(a.lat, b.lat) && same_double(a.lon, b.lon) && a.precision == b.precision &&
           same_float(a.score, b.score) && same_float(a.confidence, b.confidence) && a.street == b.street &&
           a.housenumber == b.housenumber && a.commune == b.commune && a.postcode == b.postcode && a.flags == b.flags &&
           a.region == b.region && a.distance_m.has_value() == b.distance_m.has_value();
}

std::string show(const Hit& h) {
    char buf[200];
    std::snprintf(buf, sizeof buf, " @%.7f,%.7f %s score=%.6g conf=%.6g region=", h.lat, h.lon,
                  std::string(h.precision).c_str(), h.score, h.confidence);
    std::string flags;
    for (FixedText f : h.flags) flags += " " + std::string(f);
    return h.street + " " + h.housenumber.value_or("-") + " / " + h.commune + " " + h.postcode + buf +
           h.region.value_or("-") + " flags:" + flags;
}

std::string show(const std::vector<Hit>& hits) {
    std::string out;
    for (const Hit& h : hits) out += "\n    " + show(h);
    return out;
}

void check_answer(const std::vector<Hit>& hits, uint64_t k, bool with_poi, const std::string& where) {
    TW_FUZZ_CHECK(hits.size() <= std::min<uint64_t>(k, query::kMaxHits),
                  where + ": " + std::to_string(hits.size()) + " hits" + show(hits));
    const bool from_poi = !hits.empty() && std::find(hits[0].flags.begin(), hits[0].flags.end(), "poi_layer") != hits[0].flags.end();
    TW_FUZZ_CHECK(!from_poi || with_poi, where + ": \"poi_layer\" without a POI layer" + show(hits));
    static constexpr std::string_view kPrecisions[] = {"house", "interp", "near", "street", "city"};
    for (size_t i = 0; i < hits.size(); ++i) {
        const Hit& h = hits[i];
        const std::string at = where + " hit " + std::to_string(i) + ": ";
        TW_FUZZ_CHECK(std::isfinite(h.lat) && std::fabs(h.lat) <= 90 && std::isfinite(h.lon) && std::fabs(h.lon) <= 180,
                      at + "coordinates" + show(hits));
        TW_FUZZ_CHECK(std::find(std::begin(kPrecisions), std::end(kPrecisions), h.precision) != std::end(kPrecisions),
                      at + "precision \"" + std::string(h.precision) + "\"" + show(hits));
        TW_FUZZ_CHECK(std::isfinite(h.score), at + "score" + show(hits));
        TW_FUZZ_CHECK(h.confidence >= 0 && h.confidence <= 1, at + "confidence out of 0..1" + show(hits));
        const double hundredths = static_cast<double>(h.confidence) * 100;
        TW_FUZZ_CHECK(std::fabs(hundredths - std::round(hundredths)) < 1e-3, at + "confidence not in hundredths" + show(hits));
        TW_FUZZ_CHECK(i == 0 || h.confidence <= hits[i - 1].confidence, at + "confidence rises" + show(hits));
        TW_FUZZ_CHECK(!h.distance_m, at + "a forward hit with a distance" + show(hits));
        TW_FUZZ_CHECK(text::valid_utf8(h.street) && text::valid_utf8(h.commune) && text::valid_utf8(h.postcode) &&
                          (!h.housenumber || text::valid_utf8(*h.housenumber)) && (!h.region || text::valid_utf8(*h.region)),
                      at + "text that is not UTF-8" + show(hits));
        for (FixedText f : h.flags) {
            TW_FUZZ_CHECK(!f.empty() && !f.starts_with("__"), at + "flag \"" + std::string(f) + "\"" + show(hits));
            TW_FUZZ_CHECK(text::valid_utf8(f), at + "flag not UTF-8" + show(hits));
        }
        const bool poi_hit = std::find(h.flags.begin(), h.flags.end(), "poi_layer") != h.flags.end();
        TW_FUZZ_CHECK(poi_hit == from_poi, at + "\"poi_layer\" on some hits only" + show(hits));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<Country> countries = load_countries();
    if (size < 2) return 0;
    const uint8_t selector = data[0];
    const uint64_t k = k_of(data[1]);
    const std::string text = text::lossy_utf8(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2));
    TW_FUZZ_CHECK(text::valid_utf8(text), "lossy_utf8 left invalid UTF-8");

    const Country& c = countries[(selector & 3) % countries.size()];
    const Index& address = *c.sheets[(selector & 4 ? 2 : 0) + (selector & 32 ? 1 : 0)];
    const Index* poi = selector & 8 ? c.poi.get() : nullptr;
    const std::string where = c.name + (selector & 4 ? "+models" : "") + (selector & 32 ? "+rules" : "") +
                              (poi ? "+poi" : "") + " k=" + std::to_string(k) + " " + text::debug_quote(text.substr(0, 200));

    // Rules of the caller's own, distinct from every sheet's (a sheet
    // without a rules section uses the process-wide fallback, which would
    // hide a scope left open).
    static const Rules callers = rules::defaults();
    const rules::ScopedCurrent outer(callers);
    const std::vector<Hit> first = query::query_cascade(address, poi, text, static_cast<size_t>(k));
    TW_FUZZ_CHECK(&rules::current() == &callers, where + ": the thread's rules not restored");
    static const bool shown = std::getenv("TARNWIK_FUZZ_QUERY_SHOW") != nullptr;
    if (shown) std::fprintf(stderr, "%s:%s\n", where.c_str(), show(first).c_str());
    check_answer(first, k, poi != nullptr, where);
    if (k == 0 || !(selector & 16)) return 0;

    const size_t capped = static_cast<size_t>(std::min<uint64_t>(k, query::kMaxHits));
    const std::vector<Hit> again = poi ? query::query_cascade(address, poi, text, capped) : query::index_query(address, text, capped);
    TW_FUZZ_CHECK(&rules::current() == &callers, where + ": the thread's rules not restored");
    bool same = again.size() == first.size();
    for (size_t i = 0; same && i < first.size(); ++i) same = same_hit(first[i], again[i]);
    TW_FUZZ_CHECK(same, where + ": a second ask answers differently\n  first:" + show(first) + "\n  again:" + show(again));
    return 0;
}
