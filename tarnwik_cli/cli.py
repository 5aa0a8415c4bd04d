"""Command-line parsing and the three subcommands of `tarnwik`."""
from __future__ import annotations

import argparse
import csv
import io
import os
import sys
import time
from typing import Any, Sequence, TextIO

from tarnwik_cli.output import WRITERS, GeoJsonWriter, JsonLinesWriter, Writer
from tarnwik_cli.progress import Progress

PROG = "tarnwik"
CHUNK = 1024


class Failure(Exception):
    """A fault the user can fix (a sheet, a file, a coordinate): reported as
    one line on standard error, exit status 1."""


DESCRIPTION = """\
Offline street-address geocoding over a tarnwik sheet (an index file built
with tarnwik-sheet).

Output is UTF-8. JSON output has one object per query and line:
  geocode, batch:  {"query": TEXT, "hits": [HIT, ...]}
  reverse:         {"query_lat": LAT, "query_lon": LON, "hits": [HIT, ...]}
where HIT is the dict the Python module returns (lat, lon, precision, score,
street, housenumber, commune, postcode, confidence, flags, region; reverse
hits add distance_m), best first; "hits" is empty when nothing matched.
--geojson (or batch --format geojson) writes a FeatureCollection instead: one
Point feature per hit, whose properties are the query fields above followed by
the hit dict; a query without hits adds no feature.

Exit status: 0 on success (whether or not anything matched); 1 when the sheet
cannot be opened, the input cannot be read, the output cannot be written or a
coordinate is out of range; 2 for a usage error; 130 when interrupted."""

BATCH_DESCRIPTION = """\
Geocodes a file of queries: one query per line, or with --column one column of
a CSV file that has a header row. Blank lines (and empty cells) are queries
too, answered with no hits, so the output keeps one record per input query,
in input order. The queries are answered in chunks on the module's worker
pool (TARNWIK_THREADS sets its size).

Formats:
  jsonl    one object per query and line: {"query": TEXT, "hits": [HIT, ...]}
  csv      header query,rank,lat,lon,precision,score,street,housenumber,
           commune,postcode,confidence,flags,region; one row per hit (rank 1
           is the best), flags joined with ";"; a query without hits gets one
           row with only the query filled in
  geojson  a FeatureCollection of Point features, properties = query + hit

A progress bar is drawn on standard error when it is a terminal (or with
--progress); a summary line (queries answered and unanswered, queries per
second) ends the run unless --quiet is given."""


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    if value >= 1 << 64:
        raise argparse.ArgumentTypeError(f"too large: {text}")
    return value


def _chunk_size(text: str) -> int:
    value = _count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _coordinate(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _delimiter(text: str) -> str:
    text = {"\\t": "\t", "tab": "\t"}.get(text, text)
    if len(text) != 1:
        raise argparse.ArgumentTypeError("must be a single character (or \\t)")
    return text


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def sheet_args(p: argparse.ArgumentParser, poi: bool = True) -> None:
        p.add_argument("sheet", metavar="SHEET", help="the address sheet")
        if poi:
            p.add_argument("--poi", metavar="SHEET", help="a POI sheet of the same country")

    p = sub.add_parser("geocode", help="geocode addresses given on the command line",
                       description="Geocodes each QUERY and writes one JSON object per query "
                                   '({"query": TEXT, "hits": [...]}) or, with --geojson, one '
                                   "FeatureCollection for all of them.")
    sheet_args(p)
    p.add_argument("queries", nargs="+", metavar="QUERY", help="a free-text postal address")
    p.add_argument("-k", "--k", type=_count, default=1, metavar="K",
                   help="hits per query, best first (default 1)")
    p.add_argument("--geojson", action="store_true", help="write a GeoJSON FeatureCollection")

    p = sub.add_parser("reverse", help="the houses nearest to a point",
                       description="Finds the K houses nearest to LAT LON (degrees) and writes "
                                   '{"query_lat": LAT, "query_lon": LON, "hits": [...]}, each hit '
                                   'with "distance_m", or with --geojson a FeatureCollection.')
    sheet_args(p, poi=False)
    p.add_argument("lat", type=_coordinate, metavar="LAT", help="latitude in degrees")
    p.add_argument("lon", type=_coordinate, metavar="LON", help="longitude in degrees")
    p.add_argument("-k", "--k", type=_count, default=3, metavar="K", help="houses to return (default 3)")
    p.add_argument("--geojson", action="store_true", help="write a GeoJSON FeatureCollection")

    p = sub.add_parser("batch", help="geocode a file of queries", description=BATCH_DESCRIPTION,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    sheet_args(p)
    p.add_argument("input", nargs="?", default="-", metavar="INPUT",
                   help="file of queries; - or nothing reads standard input")
    p.add_argument("-k", "--k", type=_count, default=1, metavar="K",
                   help="hits per query, best first (default 1)")
    p.add_argument("-f", "--format", choices=sorted(WRITERS), default="jsonl", help="output format (default jsonl)")
    p.add_argument("-c", "--column", metavar="NAME",
                   help="read INPUT as CSV with a header row and take the queries from this column")
    p.add_argument("--delimiter", type=_delimiter, default=",", metavar="CHAR",
                   help="field separator of the CSV input (default ','; \\t for tabs)")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="draw a progress bar on standard error (default: when it is a terminal)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    p.add_argument("--chunk-size", type=_chunk_size, default=CHUNK, metavar="N",
                   help=f"queries handed to the worker pool at a time (default {CHUNK})")
    return parser


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("tarnwik")
    except metadata.PackageNotFoundError:
        return "unknown"


def open_geocoder(sheet: str, poi: str | None = None):
    from tarnwik import Geocoder

    try:
        return Geocoder(sheet, poi=poi)
    except ValueError as e:  # a refused pair: the message names both countries
        raise Failure(str(e)) from None
    except OSError as e:
        message = str(e)
    # Most messages name the sheet; those about the file's layout do not.
    culprit = sheet
    if poi is not None:
        try:
            Geocoder(sheet)
            culprit = poi
        except OSError:
            pass
    if culprit not in message:
        message = f"{culprit}: {message}"
    raise Failure(message)


def _single_query_writer(geojson: bool, out: TextIO) -> Writer:
    return GeoJsonWriter(out) if geojson else JsonLinesWriter(out)


def run_geocode(args: argparse.Namespace, out: TextIO) -> None:
    g = open_geocoder(args.sheet, args.poi)
    for q in args.queries:
        _check_text(q, "query")
    writer = _single_query_writer(args.geojson, out)
    writer.begin()
    for q in args.queries:
        writer.write({"query": q}, g.geocode(q, args.k))
    writer.end()


def run_reverse(args: argparse.Namespace, out: TextIO) -> None:
    g = open_geocoder(args.sheet)
    try:
        hits = g.reverse(args.lat, args.lon, args.k)
    except ValueError as e:
        raise Failure(str(e)) from None
    writer = _single_query_writer(args.geojson, out)
    writer.begin()
    writer.write({"query_lat": args.lat, "query_lon": args.lon}, hits)
    writer.end()


def _check_text(text: str, what: str) -> None:
    # Bytes that are not UTF-8 reach us from argv as lone surrogates, which
    # the module cannot take.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise Failure(f"{what} is not valid UTF-8: {text.encode('utf-8', 'surrogateescape')!r}") from None


# ---------------------------------------------------------------------------
# batch


def read_input(name: str) -> tuple[str, str]:
    """The whole input decoded (a leading byte-order mark dropped), and the
    name to use for it in messages."""
    label = "standard input" if name == "-" else name
    try:
        if name == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(name, "rb") as f:
                data = f.read()
    except OSError as e:
        raise Failure(f"cannot read {label}: {e.strerror or e}") from None
    try:
        return data.decode("utf-8-sig"), label
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        raise Failure(f"cannot read {label}: not UTF-8 text (line {line}, byte {e.start})") from None


def split_queries(text: str, column: str | None, delimiter: str, label: str) -> list[str]:
    if column is None:
        # Universal newlines: \n, \r\n and \r end a line; a last line needs no
        # line end.
        return [line.rstrip("\n") for line in io.StringIO(text, newline=None)]
    rows = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    try:
        header = next(rows, None)
        if header is None:
            raise Failure(f"cannot read {label}: no CSV header row")
        if column not in header:
            raise Failure(f"cannot read {label}: no column {column!r} in the header "
                          f"({', '.join(map(repr, header))})")
        at = header.index(column)
        return [row[at] if at < len(row) else "" for row in rows]
    except csv.Error as e:
        raise Failure(f"cannot read {label}: bad CSV at line {rows.line_num}: {e}") from None


def _open_output(path: str | None, stdout: TextIO) -> TextIO:
    if path is None or path == "-":
        return stdout
    try:
        return open(path, "w", encoding="utf-8", newline="")
    except OSError as e:
        raise Failure(f"cannot write {path}: {e.strerror or e}") from None


def run_batch(args: argparse.Namespace, out: TextIO, err: TextIO) -> None:
    g = open_geocoder(args.sheet, args.poi)
    text, label = read_input(args.input)
    queries = split_queries(text, args.column, args.delimiter, label)
    del text

    show = args.progress if args.progress is not None else _isatty(err)
    progress = Progress(len(queries), err, in_place=_isatty(err)) if show and not args.quiet else None

    target = _open_output(args.output, out)
    try:
        writer = WRITERS[args.format](target)
        answered = blank = 0
        start = time.perf_counter()
        try:
            writer.begin()
            for at in range(0, len(queries), args.chunk_size):
                part = queries[at:at + args.chunk_size]
                for q, hits in zip(part, g.geocode_many(part, args.k)):
                    writer.write({"query": q}, hits)
                    if hits:
                        answered += 1
                    elif not q.strip():
                        blank += 1
                target.flush()
                if progress:
                    done = at + len(part)
                    progress.update(done, final=done == len(queries))
            writer.end()
            target.flush()
        except BaseException:
            if progress:
                progress.abandon()
            raise
        if progress and not queries:
            progress.update(0, final=True)
        elapsed = time.perf_counter() - start
    finally:
        if target is not out:
            target.close()

    if not args.quiet:
        n = len(queries)
        rate = n / elapsed if elapsed > 0 else 0.0
        unanswered = n - answered
        detail = f" ({blank} blank)" if blank else ""
        err.write(f"{PROG} batch: {n} queries, {answered} answered, {unanswered} unanswered{detail}, "
                  f"{rate:,.0f} queries/s ({elapsed:.2f} s)\n")
        err.flush()


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


# ---------------------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    # JSON, CSV and GeoJSON are UTF-8 whatever the locale says.
    out: Any = sys.stdout
    if hasattr(out, "reconfigure"):
        out.reconfigure(encoding="utf-8")
    err = sys.stderr
    try:
        if args.command == "geocode":
            run_geocode(args, out)
        elif args.command == "reverse":
            run_reverse(args, out)
        else:
            run_batch(args, out, err)
        out.flush()
    except Failure as e:
        err.write(f"{PROG}: error: {e}\n")
        return 1
    except KeyboardInterrupt:
        err.write(f"{PROG}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, and keep Python from
        # complaining again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as e:
        err.write(f"{PROG}: error: cannot write output: {e.strerror or e}\n")
        return 1
    return 0
