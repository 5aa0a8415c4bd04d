// Address import: OpenAddresses-style CSV files (and any other source that
// hands over one AddressRecord at a time, such as the OpenStreetMap reader)
// aggregated into a SheetSpec.
//
// Input rows carry LON, LAT, NUMBER, STREET, UNIT, CITY, DISTRICT, REGION,
// POSTCODE and ID (found by name; other columns are ignored). Rows that
// cannot become a house are skipped and counted by reason, so that after an
// import
//     houses == rows_read - rows_skipped - duplicates
// holds exactly. Records of other sources are rows in this sense: they are
// checked, skipped and aggregated by the same code as CSV rows.
//
// How rows become communes, streets and houses:
//  - Commune: the row's CITY as written, kept apart per REGION (two towns of
//    the same name in different regions stay two communes; a row without
//    REGION joins the first commune of its name). A row without
//    CITY takes, in this order: the place of its POSTCODE in the postcode
//    table (the nearest one when the postcode names several places), its
//    DISTRICT, its REGION; with none of these it joins an unnamed commune
//    (empty display name), one per POSTCODE value (one overall for rows
//    without postcode), so that same-named streets of different places are
//    not merged. Codes are the commune's number in decimal. Prominence is
//    the number of houses, position the mean of them. Aliases are the
//    distinct DISTRICT names of the commune's rows whose normalised form
//    differs from the commune's (and from each other's).
//  - Street: one per (commune, STREET as written). Its reference point is
//    left to the writer (the centroid of its houses); its postcode is the
//    houses' postcode when all of them share one non-empty postcode.
//  - House: number = the leading ASCII digits of NUMBER; suffix =
//    norm::normalize(NUMBER) without its leading ASCII digits and without
//    spaces, which is the text the query side looks up ("42A" -> "a",
//    "90/H" -> "h", "12 bis" -> "bis", "10-12" -> ""). Rows equal in street, number, suffix and stored position
//    (1e-7 degree) collapse into the first; the others count as duplicates.
//  - Postcode table (`load_postcodes`): rows of
//    POSTCODE,PLACE,STATE,PROVINCE,COMMUNITY,COMMUNITY_CODE,LAT,LON. Besides
//    naming the commune of CITY-less rows, every place whose normalised name
//    is neither the name nor an alias of an address commune is added as a
//    commune without streets, so that a locality-only query can find it:
//    one commune per (PLACE, STATE, PROVINCE, COMMUNITY_CODE), positioned at
//    the mean of its rows, prominence 0 (it has no addresses, and must not
//    pull the sheet's default reference point away from the addresses).
//    Address communes always have a position (the mean of their houses), so
//    the table never needs to supply one for them.
//    Known limitation: some German rows name companies with their own
//    postcode; they are added like places.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "build/sheet.hpp"
#include "util/result.hpp"

namespace tarnwik::build {

// ---------------------------------------------------------------------------
// RFC 4180 reader

struct CsvRecord {
    std::vector<std::string> fields;
    uint64_t line = 0;  // line on which the record starts (1-based)
    // The record's quoting is broken: text after a closing quote, or a quote
    // that is still open at the end of the input. Its fields are what could
    // be read.
    bool bad_quoting = false;
};

// Reads records from a byte stream: quoted fields ("" inside quotes is one
// quote, quoted fields may span lines), CRLF, LF or CR line ends, a UTF-8
// byte order mark at the very start is dropped, and blank lines are not
// records. A quote inside an unquoted field is kept as a literal character.
class CsvReader {
public:
    explicit CsvReader(std::istream& in);
    ~CsvReader();
    CsvReader(const CsvReader&) = delete;
    CsvReader& operator=(const CsvReader&) = delete;

    // False at the end of the input (or on a read error; see failed()).
    bool next(CsvRecord& rec);
    bool failed() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Row checks

enum class SkipReason : uint8_t {
    bad_quoting,
    field_count,
    invalid_utf8,
    field_too_long,
    bad_coordinates,
    empty_street,
    empty_number,
    number_without_digits,
    number_too_large,
    duplicate,
};
inline constexpr size_t kSkipReasonCount = 10;

// The reason as reported ("bad coordinates", "duplicate", ...).
std::string_view skip_reason_name(SkipReason r);

struct HouseNumber {
    uint32_t number = 0;
    std::string suffix;
};

// NUMBER as written -> number and suffix text, or why the row is skipped
// (empty_number, number_without_digits, number_too_large). Surrounding white
// space is ignored. NUMBER must be valid UTF-8.
std::expected<HouseNumber, SkipReason> split_house_number(std::string_view raw);

// A coordinate field: a finite decimal number, surrounding white space
// allowed. Range checks are the caller's.
std::optional<double> parse_coordinate(std::string_view field);

// ---------------------------------------------------------------------------
// Import

struct ImportOptions {
    std::string country;  // meta "country" (lower-cased); empty: no such pair
    std::string layer = "addresses";
    uint8_t format_version = 7;
    int fst_version = 3;
    // Per-row reports and progress lines go here; null: silent.
    std::ostream* log = nullptr;
    size_t reports_per_reason = 5;  // per-row reports shown for each reason
    uint64_t progress_every = 0;    // rows between progress lines; 0: none
};

struct ImportStats {
    uint64_t rows_read = 0;  // data records, blank lines not counted
    std::array<uint64_t, kSkipReasonCount> by_reason{};  // duplicates included
    size_t communes = 0;
    size_t communes_from_postcodes = 0;
    size_t streets = 0;
    size_t houses = 0;

    uint64_t duplicates() const { return by_reason[static_cast<size_t>(SkipReason::duplicate)]; }
    // Skipped rows, duplicates not included.
    uint64_t rows_skipped() const;
};

// One address as a source hands it over: texts as written (surrounding white
// space is ignored), coordinates as decimal degrees in text. Coordinates stay
// text so that every source is parsed and range-checked exactly as a CSV
// field is, and a bad one is reported as written.
struct AddressRecord {
    std::string_view lon, lat;
    std::string_view number, street, city, district, region, postcode;
};

// Where a record comes from, as skip reports name it after the source's
// name: "FILE:12" for line 12 of a text file, "FILE:n123" and "FILE:w123" for
// an OpenStreetMap node or way.
struct RecordOrigin {
    enum class Kind : uint8_t { line, node, way };
    Kind kind = Kind::line;
    int64_t value = 0;
};

class AddressImporter {
public:
    explicit AddressImporter(ImportOptions options);
    ~AddressImporter();
    AddressImporter(const AddressImporter&) = delete;
    AddressImporter& operator=(const AddressImporter&) = delete;

    // The postcode table; load it before adding addresses. Fails on an
    // unreadable file or a header without the needed columns.
    Result<void> load_postcodes(const std::string& path);
    Result<void> load_postcodes(std::istream& in, std::string_view name);

    // One address file. Fails (adding nothing) when the file cannot be read
    // or its header lacks a required column; bad rows only count as skipped.
    Result<void> add_file(const std::string& path);
    Result<void> add_stream(std::istream& in, std::string_view name);

    // Record by record, for sources other than CSV. begin_source names an
    // input for reports and returns its handle; it fails after finish().
    // add_record counts the record as read, then skips it (returning the
    // reason) or adds its house, exactly as a CSV row with these fields.
    // The source must come from begin_source of this importer.
    Result<uint32_t> begin_source(std::string_view name);
    std::optional<SkipReason> add_record(uint32_t source, const AddressRecord& record, RecordOrigin origin);

    // Aggregates everything added into a sheet description. Call once.
    SheetSpec finish();

    // Up to date after finish() (rows are counted as they are added).
    const ImportStats& stats() const;
    const ImportOptions& options() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The multi-line summary printed after a build ("rows read: ...").
std::string format_import_report(const ImportStats& stats);

}  // namespace tarnwik::build
