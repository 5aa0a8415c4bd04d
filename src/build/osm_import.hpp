// OpenStreetMap input for the address import: ".osm.pbf" (any ".pbf") and
// plain ".osm" XML files, read with libosmium and handed to an
// AddressImporter one record at a time, so that they go through the same
// checks, skips and aggregation as CSV rows and may be mixed with CSV files
// in one build.
//
// An address record is every node, and every closed way, that carries
// addr:housenumber, addr:street or addr:place. Its fields:
//   NUMBER    addr:housenumber (none: skipped as "empty number")
//   STREET    addr:street, else addr:place
//   CITY      addr:city (none: the commune is found as for a CSV row
//             without CITY)
//   DISTRICT  addr:suburb, else addr:place when addr:street is the street
//   REGION    addr:state
//   POSTCODE  addr:postcode
//   position  the node's location; the way's area centroid, or the mean of
//             its nodes when the ring has no area or the file lacks some of
//             its nodes (an extract cut at its border); a way none of whose
//             nodes is in the file is skipped as "bad coordinates"
// Reports name a record "FILE:n<id>" or "FILE:w<id>".
//
// Not read, only counted: ways with an address that are not closed, and
// relations with an address (multipolygon buildings).
//
// Way positions need node locations. The file is read twice: first its
// ways, to learn which nodes the closed address ways use, then everything,
// keeping the locations of just those nodes in a sparse index (a sorted id
// array beside a location array, 16 bytes a node). A full index of every
// node (sparse or flex, as libosmium offers) would hold the whole country's
// nodes, most of them roads, land use and building outlines without an
// address; the dense variants size themselves by the largest node id, which
// a country's ids spread over. Nodes must come before the ways that use
// them, as in every OpenStreetMap file; node ids need not be in order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "build/csv_import.hpp"
#include "util/result.hpp"

namespace tarnwik::build {

struct OsmImportStats {
    uint64_t nodes = 0;               // address records from nodes
    uint64_t ways = 0;                // address records from closed ways
    uint64_t ways_missing_nodes = 0;  // of these, ways with nodes the file lacks
    uint64_t open_ways = 0;           // ways with an address that are not closed: not read
    uint64_t relations = 0;           // relations with an address: not read
};

// True for the file names read as OpenStreetMap data (".pbf" and ".osm",
// ASCII case ignored); everything else is an address CSV.
bool is_osm_file(std::string_view path);

// Reads one OpenStreetMap file into the importer (progress lines and skip
// reports go to the importer's log). Fails on a file that cannot be opened
// or read; records added before a read error stay added.
Result<OsmImportStats> add_osm_file(AddressImporter& importer, const std::string& path);

// One line for the build report: "FILE: 4783 address nodes, 648 address
// ways (9 with nodes missing from the file); with an address but not read:
// open ways 0, relations 1".
std::string format_osm_report(std::string_view path, const OsmImportStats& stats);

}  // namespace tarnwik::build
