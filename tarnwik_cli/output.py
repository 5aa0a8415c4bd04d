"""Writers for answered queries: JSON Lines, CSV and a GeoJSON
FeatureCollection.

Each writer receives, per query, the fields that describe the query (the text,
or the point asked about) and the list of hit dicts exactly as the module
returned it, and writes them out at once so that a long batch streams.
Floats are written with Python's shortest round-trip form, so reading the
output back gives the very values the module returned.
"""
from __future__ import annotations

import csv
import json
from typing import Any, Mapping, Sequence, TextIO

Hit = Mapping[str, Any]

# Forward hit keys in the order the module inserts them; a CSV row has one
# column for each, after the query and the hit's rank.
CSV_HIT_COLUMNS = ["lat", "lon", "precision", "score", "street", "housenumber", "commune", "postcode",
                   "confidence", "flags", "region"]

FLAG_SEPARATOR = ";"


def _dumps(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(", ", ": "))


class Writer:
    def begin(self) -> None:
        pass

    def write(self, query: Mapping[str, Any], hits: Sequence[Hit]) -> None:
        raise NotImplementedError

    def end(self) -> None:
        pass


class JsonLinesWriter(Writer):
    """One object per query and line: the query fields, then "hits"."""

    def __init__(self, out: TextIO):
        self.out = out

    def write(self, query, hits):
        self.out.write(_dumps({**query, "hits": list(hits)}) + "\n")


class GeoJsonWriter(Writer):
    """A FeatureCollection with one Point feature per hit, in query order and
    best hit first; a feature's properties are the query fields followed by
    the hit dict. A query without hits adds no feature. One feature per line,
    so the collection can be written while the batch runs."""

    def __init__(self, out: TextIO):
        self.out = out
        self.first = True

    def begin(self):
        self.out.write('{"type": "FeatureCollection", "features": [')

    def write(self, query, hits):
        for hit in hits:
            feature = {
                "type": "Feature",
                "geometry": {"type": "Point", "coordinates": [hit["lon"], hit["lat"]]},
                "properties": {**query, **hit},
            }
            self.out.write(("\n" if self.first else ",\n") + _dumps(feature))
            self.first = False

    def end(self):
        self.out.write("\n]}\n")


class CsvWriter(Writer):
    """A header, then one row per hit (rank 1 is the best); a query without
    hits still gets one row, with an empty rank and empty hit columns, so
    every query of the input shows up in order. Flags are joined with ";"."""

    columns = ["query", "rank"] + CSV_HIT_COLUMNS

    def __init__(self, out: TextIO):
        self.csv = csv.writer(out, lineterminator="\n")

    def begin(self):
        self.csv.writerow(self.columns)

    def write(self, query, hits):
        if not hits:
            self.csv.writerow([query["query"]] + [""] * (len(self.columns) - 1))
        for rank, hit in enumerate(hits, 1):
            self.csv.writerow([query["query"], str(rank)] + [_cell(hit.get(c)) for c in CSV_HIT_COLUMNS])


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, list):
        return FLAG_SEPARATOR.join(value)
    if isinstance(value, float):
        return repr(value)
    return str(value)


WRITERS = {"jsonl": JsonLinesWriter, "csv": CsvWriter, "geojson": GeoJsonWriter}
