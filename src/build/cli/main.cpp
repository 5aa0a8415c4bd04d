// tarnwik-sheet: builds, assembles and inspects sheets. Argument handling
// only; the work is done by the tw_build library.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "build/admin_writer.hpp"
#include "build/csv_import.hpp"
#include "build/inspect.hpp"
#include "build/json_spec.hpp"
#include "build/keys_report.hpp"
#include "build/models.hpp"
#include "build/osm_import.hpp"
#include "build/sheet_file.hpp"

namespace {

using namespace tarnwik;
using namespace tarnwik::build;

constexpr const char* kUsage = R"(usage:
  tarnwik-sheet build -o SHEET [options] ADDRESSES.csv|MAP.osm.pbf...
                [--admin REGIONS.geojson [--admin-name-property P]]
                [--parser LABELLER.json] [--rank RANK.json]
  tarnwik-sheet assemble -o SHEET [--allow-invalid] DESCRIPTION.json
  tarnwik-sheet inspect SHEET
  tarnwik-sheet keys TEXT
  tarnwik-sheet --help
)";

constexpr const char* kHelp = R"(
build: aggregate OpenAddresses-style CSV files and OpenStreetMap files
  (.osm.pbf, or .osm XML; chosen by the file name, and both kinds may be
  mixed) into a sheet.
  The CSV header must name LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,
  POSTCODE,ID (any order, other columns ignored). Rows with bad coordinates,
  an empty street, an empty or digit-less or oversized number, invalid UTF-8,
  broken quoting or the wrong field count are skipped and counted by reason;
  repeated houses (same street, number, suffix and position) are kept once.
  From OpenStreetMap, every node and closed way with addr:housenumber,
  addr:street or addr:place is a row: NUMBER addr:housenumber, STREET
  addr:street (else addr:place), CITY addr:city, DISTRICT addr:suburb (else
  addr:place beside addr:street), REGION addr:state, POSTCODE addr:postcode,
  at the node or the way's centroid; the same rules apply to it. Open ways
  and relations with an address are counted but not read.
  -o SHEET                  output file (written atomically)
  --country CC              meta "country" (lower-cased)
  --layer addresses|poi     meta "layer" (default addresses)
  --format-version 6|7      container format version (default 7)
  --fst-version 1|2|3       FST map format version (default 3)
  --postcodes FILE.csv      postcode places (POSTCODE,PLACE,STATE,PROVINCE,
                            COMMUNITY,COMMUNITY_CODE,LAT,LON): names the
                            commune of rows without CITY, and adds places
                            without addresses as communes (prominence 0)
  --admin REGIONS.geojson   administrative regions: every Polygon or
                            MultiPolygon feature (holes kept) becomes a region
                            of the sidecar written next to the sheet
                            (SHEETSTEM_admin.bin), named by its property
  --admin-name-property P   the property that names a region (default name)
  --parser LABELLER.json    embed a token labeller (section SEC_PARSER):
                              {"buckets": B, "labels": L,
                               "bias": [L numbers],
                               "weights": [L arrays of B numbers]}
                            weights[l][b] is label l's weight for hash
                            bucket b; B is 1..4294967295, L is 1..255
  --rank RANK.json          embed a rank model (section SEC_RANK):
                              {"bias": number, "weights": [10 numbers]}
                            Model numbers are stored as 32-bit floats and
                            must be finite there; members are all required
                            and unknown members are errors.
  Communes come from CITY (kept apart per REGION); rows without CITY use the
  postcode table's place, else DISTRICT, else REGION, else an unnamed commune
  per postcode. A commune's DISTRICT names become its aliases.

assemble: write a sheet described exactly by a JSON document ("-" = stdin).
  --allow-invalid           keep a sheet the engine refuses (for tests)
  {
    "version": 7, "fst_version": 3,
    "meta": [["country", "de"], ["layer", "addresses"]],
    "communes": [{"name": "Springfield", "code": "0", "prominence": 120,
                  "lat": 52.1, "lon": 13.2, "aliases": ["Old Town"]}],
    "streets": [{"name": "Main Street", "commune": 0, "lat": 52.1, "lon": 13.2,
                 "postcode": "10115",
                 "houses": [{"number": 12, "suffix": "a", "lat": 52.1,
                             "lon": 13.2, "postcode": "10115"}]}],
    "rules": [{"kind": 3, "key": "str", "value": "strasse"}],
    "parser": "<hex>", "rank": "<hex>",
    "section_overrides": {"6": "<hex>"}, "omit_sections": [16]
  }
  Required: commune "name"; street "name", "commune", "houses"; house
  "number", "lat", "lon". Omitted commune code: the commune's number. Omitted
  street point: the centroid of its houses. Unknown members are errors.

inspect: print a JSON summary of a sheet (sections in TOC order, counts,
  meta, default reference point); exit 1 when the engine refuses the sheet.

keys: print the engine's key forms of TEXT as JSON.

build and assemble re-open the written sheet with the engine and remove it
when the engine refuses it. Exit status: 0 on success, 1 on any error.
)";

int error(const std::string& message) {
    std::cerr << "tarnwik-sheet: " << message << "\n";
    return 1;
}

// Options (with or without a value) and positional arguments of one
// subcommand. "--name value" and "--name=value" are both accepted; "--" ends
// the options.
struct Args {
    std::map<std::string, std::string> values;
    std::vector<std::string> flags;
    std::vector<std::string> positional;

    bool has(const std::string& flag) const {
        return std::find(flags.begin(), flags.end(), flag) != flags.end();
    }
    const std::string* value(const std::string& name) const {
        auto it = values.find(name);
        return it == values.end() ? nullptr : &it->second;
    }
};

Result<Args> parse_args(int argc, char** argv, int first, const std::vector<std::string>& with_value,
                        const std::vector<std::string>& without_value) {
    Args a;
    bool options = true;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (!options || arg.size() < 2 || arg[0] != '-') {
            a.positional.push_back(arg);
            continue;
        }
        std::string name = arg, inline_value;
        bool has_inline = false;
        if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
            has_inline = true;
        }
        if (std::find(with_value.begin(), with_value.end(), name) != with_value.end()) {
            if (!has_inline) {
                if (i + 1 >= argc) return fail("option " + name + " needs a value");
                inline_value = argv[++i];
            }
            if (a.values.contains(name)) return fail("option " + name + " given twice");
            a.values[name] = inline_value;
        } else if (!has_inline &&
                   std::find(without_value.begin(), without_value.end(), name) != without_value.end()) {
            a.flags.push_back(name);
        } else {
            return fail("unknown option " + arg);
        }
    }
    return a;
}

Result<uint8_t> format_version(const Args& a) {
    const std::string* v = a.value("--format-version");
    if (!v) return 7;
    if (*v == "6") return 6;
    if (*v == "7") return 7;
    return fail("--format-version must be 6 or 7, not " + *v);
}

Result<int> fst_version(const Args& a) {
    const std::string* v = a.value("--fst-version");
    if (!v) return 3;
    if (*v == "1" || *v == "2" || *v == "3") return (*v)[0] - '0';
    return fail("--fst-version must be 1, 2 or 3, not " + *v);
}

Result<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(path + ": cannot open");
    std::string text(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) return fail(path + ": read error");
    return text;
}

bool wants_help(const Args& a) { return a.has("--help") || a.has("-h"); }

int cmd_build(int argc, char** argv) {
    auto args = parse_args(argc, argv, 2,
                           {"-o", "--output", "--country", "--layer", "--format-version", "--fst-version",
                            "--postcodes", "--admin", "--admin-name-property", "--parser", "--rank"},
                           {"--help", "-h"});
    if (!args) return error(args.error().message);
    if (wants_help(*args)) {
        std::cout << kUsage << kHelp;
        return 0;
    }
    const std::string* out = args->value("-o");
    if (!out) out = args->value("--output");
    if (!out) return error("build needs -o SHEET");
    if (args->positional.empty()) return error("build needs at least one ADDRESSES.csv or MAP.osm.pbf");

    ImportOptions opt;
    if (const std::string* c = args->value("--country")) opt.country = *c;
    if (const std::string* l = args->value("--layer")) {
        if (*l != "addresses" && *l != "poi") return error("--layer must be addresses or poi, not " + *l);
        opt.layer = *l;
    }
    auto fv = format_version(*args);
    if (!fv) return error(fv.error().message);
    auto sv = fst_version(*args);
    if (!sv) return error(sv.error().message);
    opt.format_version = *fv;
    opt.fst_version = *sv;
    opt.log = &std::cerr;

    // Progress lines only where someone watches or the wait is long.
    uint64_t input_bytes = 0;
    for (const std::string& f : args->positional) {
        struct stat st;
        if (::stat(f.c_str(), &st) == 0) input_bytes += static_cast<uint64_t>(st.st_size);
    }
    if (::isatty(2) || input_bytes >= (64u << 20)) opt.progress_every = 100000;

    // Regions are read before the addresses so that a bad file fails fast;
    // the sidecar is written only once the sheet is in place.
    std::vector<AdminRegionSpec> regions;
    AdminImportStats region_stats;
    const std::string* admin = args->value("--admin");
    const std::string* name_property = args->value("--admin-name-property");
    if (name_property && !admin) return error("--admin-name-property needs --admin");
    if (admin) {
        std::ifstream in(*admin, std::ios::binary);
        if (!in) return error(*admin + ": cannot open");
        std::string text(std::istreambuf_iterator<char>(in), {});
        if (in.bad()) return error(*admin + ": read error");
        auto parsed = parse_admin_geojson(text, name_property ? *name_property : "name", &region_stats);
        if (!parsed) return error(*admin + ": " + parsed.error().message);
        regions = std::move(*parsed);
        if (auto encoded = encode_admin_sidecar(regions); !encoded) return error(*admin + ": " + encoded.error().message);
    }

    // Models too are checked before the long part of the build.
    std::string parser_section, rank_section;
    for (auto [option, section, encode] :
         {std::tuple{"--parser", &parser_section, &parser_section_from_json},
          std::tuple{"--rank", &rank_section, &rank_section_from_json}}) {
        const std::string* file = args->value(option);
        if (!file) continue;
        auto text = read_file(*file);
        if (!text) return error(text.error().message);
        auto bytes = encode(*text);
        if (!bytes) return error(*file + ": " + bytes.error().message);
        *section = std::move(*bytes);
    }

    AddressImporter importer(opt);
    if (const std::string* pc = args->value("--postcodes"))
        if (auto r = importer.load_postcodes(*pc); !r) return error(r.error().message);
    std::string osm_report;
    for (const std::string& f : args->positional) {
        if (is_osm_file(f)) {
            auto r = add_osm_file(importer, f);
            if (!r) return error(r.error().message);
            osm_report += format_osm_report(f, *r);
        } else if (auto r = importer.add_file(f); !r) {
            return error(r.error().message);
        }
    }
    SheetSpec spec = importer.finish();
    if (spec.streets.empty()) return error("no usable address rows; nothing to write");
    spec.parser = std::move(parser_section);
    spec.rank = std::move(rank_section);

    auto written = write_sheet_file(*out, spec);
    if (!written) return error(written.error().message);
    std::cerr << "wrote " << *out << " (" << written->bytes << " bytes)\n"
              << osm_report << format_import_report(importer.stats());
    if (admin) {
        auto sidecar = write_admin_sidecar(*out, regions);
        if (!sidecar) return error(sidecar.error().message);
        std::cerr << "wrote " << *sidecar << ": " << region_stats.regions << " regions of "
                  << region_stats.features << " features (" << region_stats.without_name
                  << " without a name, " << region_stats.not_polygonal << " without polygons)\n";
    }
    return 0;
}

int cmd_assemble(int argc, char** argv) {
    auto args = parse_args(argc, argv, 2, {"-o", "--output"}, {"--allow-invalid", "--help", "-h"});
    if (!args) return error(args.error().message);
    if (wants_help(*args)) {
        std::cout << kUsage << kHelp;
        return 0;
    }
    const std::string* out = args->value("-o");
    if (!out) out = args->value("--output");
    if (!out) return error("assemble needs -o SHEET");
    if (args->positional.size() != 1) return error("assemble needs exactly one DESCRIPTION.json");

    const std::string& src = args->positional[0];
    std::string text;
    if (src == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream in(src, std::ios::binary);
        if (!in) return error(src + ": cannot open");
        text.assign(std::istreambuf_iterator<char>(in), {});
        if (in.bad()) return error(src + ": read error");
    }
    auto spec = parse_json_spec(text);
    if (!spec) return error(src + ": " + spec.error().message);
    auto written = write_sheet_file(*out, *spec, !args->has("--allow-invalid"));
    if (!written) return error(written.error().message);
    std::cerr << "wrote " << *out << " (" << written->bytes << " bytes): " << written->stats.communes
              << " communes, " << written->stats.streets << " streets, " << written->stats.houses
              << " houses\n";
    return 0;
}

int cmd_inspect(int argc, char** argv) {
    auto args = parse_args(argc, argv, 2, {}, {"--help", "-h"});
    if (!args) return error(args.error().message);
    if (wants_help(*args)) {
        std::cout << kUsage << kHelp;
        return 0;
    }
    if (args->positional.size() != 1) return error("inspect needs exactly one SHEET");
    auto summary = inspect_sheet(args->positional[0]);
    if (!summary) {
        // The engine's own message, unprefixed, exactly as a caller of the
        // engine would see it.
        std::cerr << summary.error().message << "\n";
        return 1;
    }
    std::cout << *summary << "\n";
    return 0;
}

int cmd_keys(int argc, char** argv) {
    // TEXT is taken as given, even when it starts with a hyphen.
    if (argc == 3 && (std::string_view(argv[2]) == "--help" || std::string_view(argv[2]) == "-h")) {
        std::cout << kUsage << kHelp;
        return 0;
    }
    int first = 2;
    if (argc > 2 && std::string_view(argv[2]) == "--") first = 3;
    if (argc - first != 1) return error("keys needs exactly one TEXT");
    auto keys = keys_json(argv[first]);
    if (!keys) return error(keys.error().message);
    std::cout << *keys << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    if (argc < 2) {
        std::cerr << kUsage;
        return 1;
    }
    std::string_view cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::cout << kUsage << kHelp;
        return 0;
    }
    if (cmd == "build") return cmd_build(argc, argv);
    if (cmd == "assemble") return cmd_assemble(argc, argv);
    if (cmd == "inspect") return cmd_inspect(argc, argv);
    if (cmd == "keys") return cmd_keys(argc, argv);
    std::cerr << "tarnwik-sheet: unknown command " << cmd << "\n" << kUsage;
    return 1;
}
