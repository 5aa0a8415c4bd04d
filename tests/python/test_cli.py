"""The `tarnwik` command: geocode, reverse and batch against the module's own
answers, the output formats read back to the exact values, input handling
(blank lines, CRLF, BOM, CSV columns), progress and summary, and the errors
with their exit statuses.

The command runs as a child process (`python -m tarnwik_cli`, the installed
package); sheets are built with the installed `tarnwik-sheet`.
"""
from __future__ import annotations

import csv
import io
import json
import os
import pty
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tarnwik import Geocoder

TOOL = shutil.which("tarnwik-sheet")
REPO = Path(__file__).resolve().parents[2]
DEMO_CSV = REPO / "examples" / "demo-addresses.csv"
DEMO_REGIONS = REPO / "examples" / "demo-regions.geojson"
CLI = [sys.executable, "-m", "tarnwik_cli"]

pytestmark = pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH")

SUMMARY = re.compile(r"^tarnwik batch: (\d+) queries, (\d+) answered, (\d+) unanswered(?: \((\d+) blank\))?, "
                     r"[\d,]+ queries/s \([\d.]+ s\)$")


def run(*args, stdin: bytes | str | None = None, stderr=subprocess.PIPE, timeout: float = 600):
    if isinstance(stdin, str):
        stdin = stdin.encode("utf-8")
    done = subprocess.run([*CLI, *map(str, args)], input=stdin, stdout=subprocess.PIPE, stderr=stderr,
                          timeout=timeout)
    done.out = done.stdout.decode("utf-8")
    done.err = done.stderr.decode("utf-8") if done.stderr is not None else ""
    return done


def ok(*args, **kw):
    done = run(*args, **kw)
    assert done.returncode == 0, done.err
    return done


def jsonl(text: str) -> list[dict]:
    return [json.loads(line) for line in text.splitlines()]


@pytest.fixture(scope="module")
def demo_sheet(tmp_path_factory) -> str:
    """The demo sample with its admin regions, so hits carry "region"."""
    out = tmp_path_factory.mktemp("cli") / "demo.sheet"
    subprocess.run([TOOL, "build", "-o", str(out), "--country", "it", "--admin", str(DEMO_REGIONS),
                    str(DEMO_CSV)], check=True, capture_output=True)
    return str(out)


@pytest.fixture(scope="module")
def g(demo_sheet) -> Geocoder:
    return Geocoder(demo_sheet)


def demo_queries() -> list[str]:
    """Clean, reordered, misspelt, city-only, blank and hopeless queries over
    the demo streets, in a fixed mixed order."""
    rows = list(csv.DictReader(DEMO_CSV.read_text(encoding="utf-8").splitlines()))
    out = []
    for i, r in enumerate(rows):
        forms = [
            f"{r['STREET']} {r['NUMBER']}, {r['POSTCODE']} {r['CITY']}",
            f"{r['NUMBER']} {r['STREET']} {r['CITY']}",
            f"{r['STREET'][:-2]}xq {r['NUMBER']}, {r['CITY']}",
            r["CITY"],
            "",
            f"Qwzx {i} Plk",
        ]
        out.append(forms[i % len(forms)])
    return out


QUERIES = ["Via Roma 12, 15030 Valmora", "Strada del Mulnio 7, Borgo Lieto", "Borgo Lieto", "nowhere at all",
           "Corso Cavour 3, Valmora", "Via Roma 12", "Piazza"]


# --- geocode and reverse ---------------------------------------------------------


@pytest.mark.parametrize("k", [1, 3])
def test_geocode_writes_the_modules_hits_per_query(demo_sheet, g, k):
    records = jsonl(ok("geocode", demo_sheet, *QUERIES, "--k", k).out)
    assert records == [{"query": q, "hits": g.geocode(q, k)} for q in QUERIES]
    assert records[0]["hits"][0]["housenumber"] == "12"
    assert records[3]["hits"] == []
    # Key order is the module's too.
    assert [list(h) for r in records for h in r["hits"]] == [list(h) for q in QUERIES for h in g.geocode(q, k)]


def test_geocode_default_k_is_one(demo_sheet, g):
    assert jsonl(ok("geocode", demo_sheet, "Valmora").out) == [{"query": "Valmora", "hits": g.geocode("Valmora", 1)}]


def check_feature_collection(text: str, expected: list[tuple[dict, dict]]) -> None:
    fc = json.loads(text)
    assert fc["type"] == "FeatureCollection"
    assert len(fc["features"]) == len(expected)
    for feature, (query, hit) in zip(fc["features"], expected):
        assert feature["type"] == "Feature"
        assert feature["geometry"] == {"type": "Point", "coordinates": [hit["lon"], hit["lat"]]}
        assert feature["properties"] == {**query, **hit}


def test_geocode_geojson_has_one_point_per_hit(demo_sheet, g):
    done = ok("geocode", demo_sheet, *QUERIES, "-k", 2, "--geojson")
    expected = [({"query": q}, h) for q in QUERIES for h in g.geocode(q, 2)]
    assert len(expected) > len(QUERIES)
    check_feature_collection(done.out, expected)


@pytest.mark.parametrize("lat,lon,k", [(44.9078, 8.6174, 2), (44.9385, 8.6712, 3), (44.9, 8.61, 0),
                                       # a far point with a negative coordinate is no option
                                       (-33.9, -70.6, 1)])
def test_reverse_json_and_geojson(demo_sheet, g, lat, lon, k):
    want = g.reverse(lat, lon, k)
    record = jsonl(ok("reverse", demo_sheet, lat, lon, "--k", k).out)
    assert record == [{"query_lat": lat, "query_lon": lon, "hits": want}]
    assert all("distance_m" in h for h in want)
    check_feature_collection(ok("reverse", demo_sheet, lat, lon, "-k", k, "--geojson").out,
                             [({"query_lat": lat, "query_lon": lon}, h) for h in want])


def test_reverse_default_k_is_three(demo_sheet, g):
    (record,) = jsonl(ok("reverse", demo_sheet, "44.9078", "8.6174").out)
    assert record["hits"] == g.reverse(44.9078, 8.6174) and len(record["hits"]) == 3


def test_text_outside_ascii_is_written_as_utf8(demo_sheet, g):
    q = "Via Roma 12, Valmora – Comunità"
    done = ok("geocode", demo_sheet, q)
    assert "Comunità" in done.out and "\\u" not in done.out
    assert jsonl(done.out) == [{"query": q, "hits": g.geocode(q, 1)}]


# --- batch -----------------------------------------------------------------------


def read_csv_output(text: str) -> list[tuple[str, list[dict]]]:
    """CSV rows back into (query, hits) pairs with the module's types and keys."""
    rows = list(csv.reader(io.StringIO(text, newline="")))
    assert rows[0] == ["query", "rank", "lat", "lon", "precision", "score", "street", "housenumber", "commune",
                       "postcode", "confidence", "flags", "region"]
    out: list[tuple[str, list[dict]]] = []
    for row in rows[1:]:
        cells = dict(zip(rows[0], row))
        if cells["rank"] == "":
            assert set(row[1:]) == {""}
            out.append((cells["query"], []))
            continue
        hit = {"lat": float(cells["lat"]), "lon": float(cells["lon"]), "precision": cells["precision"],
               "score": float(cells["score"]), "street": cells["street"]}
        if cells["housenumber"]:
            hit["housenumber"] = cells["housenumber"]
        hit.update(commune=cells["commune"], postcode=cells["postcode"], confidence=float(cells["confidence"]))
        if cells["flags"]:
            hit["flags"] = cells["flags"].split(";")
        if cells["region"]:
            hit["region"] = cells["region"]
        if cells["rank"] == "1":
            out.append((cells["query"], [hit]))
        else:
            assert out[-1][0] == cells["query"] and int(cells["rank"]) == len(out[-1][1]) + 1
            out[-1][1].append(hit)
    return out


def check_batch_output(fmt: str, text: str, queries: list[str], answers: list[list[dict]]) -> None:
    if fmt == "jsonl":
        assert jsonl(text) == [{"query": q, "hits": a} for q, a in zip(queries, answers)]
    elif fmt == "csv":
        assert read_csv_output(text) == list(zip(queries, answers))
    else:
        check_feature_collection(text, [({"query": q}, h) for q, a in zip(queries, answers) for h in a])


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "geojson"])
@pytest.mark.parametrize("chunk", [None, 7])
def test_batch_equals_geocode_many_in_input_order(demo_sheet, g, tmp_path, fmt, chunk):
    queries = demo_queries()
    assert len(queries) > 300
    k = 2 if fmt != "jsonl" else 1
    answers = g.geocode_many(queries, k)
    assert sum(map(bool, answers)) > len(queries) // 2  # most are answered, some are not
    src = tmp_path / "queries.txt"
    src.write_text("\n".join(queries) + "\n", encoding="utf-8")
    extra = ["--chunk-size", chunk] if chunk else []
    done = ok("batch", demo_sheet, src, "--format", fmt, "--k", k, *extra)
    check_batch_output(fmt, done.out, queries, answers)
    # Without a terminal and without --progress there is only the summary.
    (summary,) = done.err.splitlines()
    m = SUMMARY.match(summary)
    assert m, summary
    blank = sum(1 for q in queries if not q.strip())
    answered = sum(map(bool, answers))
    assert (int(m[1]), int(m[2]), int(m[3]), int(m[4] or 0)) == (len(queries), answered, len(queries) - answered,
                                                                blank)


def test_batch_reads_stdin_and_writes_a_file(demo_sheet, g, tmp_path):
    queries = QUERIES * 3
    out = tmp_path / "out.geojson"
    done = ok("batch", demo_sheet, "-", "-f", "geojson", "-o", out, "-q", stdin="\n".join(queries))
    assert done.out == "" and done.err == ""
    check_batch_output("geojson", out.read_text(encoding="utf-8"), queries, g.geocode_many(queries, 1))
    assert jsonl(ok("batch", demo_sheet, "-q", stdin="\n".join(queries)).out) == \
        [{"query": q, "hits": a} for q, a in zip(queries, g.geocode_many(queries, 1))]


@pytest.mark.parametrize(
    "raw,queries",
    [
        (b"Via Roma 12, Valmora\n\nBorgo Lieto\n", ["Via Roma 12, Valmora", "", "Borgo Lieto"]),
        (b"\xef\xbb\xbfVia Roma 12, Valmora\r\n  \r\nBorgo Lieto", ["Via Roma 12, Valmora", "  ", "Borgo Lieto"]),
        (b"\n\n", ["", ""]),
        (b"", []),
        (b"Corso Cavour 3\rValmora\n", ["Corso Cavour 3", "Valmora"]),
    ],
    ids=["blank-line", "bom-crlf-no-final-newline", "only-blanks", "empty", "cr"],
)
def test_batch_lines_blank_lines_and_line_ends(demo_sheet, g, raw, queries):
    done = ok("batch", demo_sheet, stdin=raw)
    assert jsonl(done.out) == [{"query": q, "hits": a} for q, a in zip(queries, g.geocode_many(queries, 1))]
    m = SUMMARY.match(done.err.strip())
    blank = sum(1 for q in queries if not q.strip())
    assert m and int(m[1]) == len(queries) and int(m[4] or 0) == blank


@pytest.mark.parametrize("delimiter,arg", [(",", []), ("\t", ["--delimiter", "\\t"]), (";", ["--delimiter", ";"])])
def test_batch_takes_queries_from_a_csv_column(demo_sheet, g, tmp_path, delimiter, arg):
    rows = [["id", "address", "note"]]
    for i, r in enumerate(csv.DictReader(DEMO_CSV.read_text(encoding="utf-8").splitlines())):
        if i % 3 == 0:
            rows.append([str(i), f"{r['STREET']} {r['NUMBER']}, {r['CITY']}", 'a "quoted", note\nover lines'])
        elif i % 3 == 1:
            rows.append([str(i), "", "blank address"])
        else:
            rows.append([str(i)])  # short row: no address cell at all
    src = tmp_path / "in.csv"
    with open(src, "w", encoding="utf-8", newline="") as f:
        csv.writer(f, delimiter=delimiter).writerows(rows)
    queries = [row[1] if len(row) > 1 else "" for row in rows[1:]]
    answers = g.geocode_many(queries, 1)
    assert sum(map(bool, answers)) >= len(queries) // 3 - 5
    done = ok("batch", demo_sheet, src, "--column", "address", "--format", "csv", *arg)
    check_batch_output("csv", done.out, queries, answers)


def test_forced_progress_goes_to_stderr_only(demo_sheet, g, tmp_path):
    queries = demo_queries() * 4
    src = tmp_path / "q.txt"
    src.write_text("\n".join(queries), encoding="utf-8")
    done = ok("batch", demo_sheet, src, "--progress", "--chunk-size", 100)
    check_batch_output("jsonl", done.out, queries, g.geocode_many(queries, 1))
    lines = done.err.splitlines()
    total = f"{len(queries):,}"
    assert re.match(rf"^\[#+\] 100\.0%  {total}/{total} queries", lines[-2]), lines
    assert SUMMARY.match(lines[-1])
    # Off a terminal the bar writes whole lines, no carriage returns.
    assert "\r" not in done.err
    assert ok("batch", demo_sheet, src, "--progress", "--quiet").err == ""


def test_progress_is_drawn_in_place_on_a_terminal(demo_sheet, tmp_path):
    src = tmp_path / "q.txt"
    src.write_text("\n".join(QUERIES), encoding="utf-8")
    leader, follower = pty.openpty()
    try:
        done = run("batch", demo_sheet, src, stderr=follower)
        os.close(follower)
        follower = -1
        err = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # EIO once the terminal has no writer left
                break
            if not chunk:
                break
            err += chunk
    finally:
        os.close(leader)
        if follower >= 0:
            os.close(follower)
    assert done.returncode == 0
    text = err.decode("utf-8")
    assert f"\r[{'#' * 28}] 100.0%  7/7 queries" in text
    assert SUMMARY.match(text.replace("\r\n", "\n").strip().splitlines()[-1])


@pytest.mark.slow
def test_batch_of_100000_queries_shows_progress_and_equals_geocode_many(demo_sheet, g, tmp_path):
    base = demo_queries()
    queries = [base[i % len(base)] for i in range(100_000)]
    src = tmp_path / "100k.txt"
    src.write_text("\n".join(queries) + "\n", encoding="utf-8")
    out = tmp_path / "100k.jsonl"
    done = ok("batch", demo_sheet, src, "--progress", "-o", out)
    answers = g.geocode_many(queries, 1)
    with open(out, encoding="utf-8") as f:
        for n, (line, q, a) in enumerate(zip(f, queries, answers)):
            assert json.loads(line) == {"query": q, "hits": a}, n
    assert n == len(queries) - 1
    lines = done.err.splitlines()
    assert any(re.match(r"^\[#*-+\] +\d+\.\d%  [\d,]+/100,000 queries", line) for line in lines[:-2]), lines
    assert lines[-2].startswith(f"[{'#' * 28}] 100.0%  100,000/100,000 queries")
    m = SUMMARY.match(lines[-1])
    answered = sum(map(bool, answers))
    assert m and (int(m[1]), int(m[2]), int(m[3])) == (100_000, answered, 100_000 - answered)


# --- errors ----------------------------------------------------------------------


def module_error(call) -> str:
    with pytest.raises((OSError, ValueError)) as e:
        call()
    return str(e.value)


def check_failure(done, message: str | None = None) -> None:
    assert done.returncode == 1, (done.out, done.err)
    assert done.out == ""
    (line,) = done.err.splitlines()
    assert line.startswith("tarnwik: error: ")
    if message is not None:
        assert line == f"tarnwik: error: {message}"


@pytest.mark.parametrize("command", [["geocode", "{sheet}", "Via Roma 1"], ["reverse", "{sheet}", "44.9", "8.6"],
                                     ["batch", "{sheet}", "-"]])
@pytest.mark.parametrize("content", [None, b"", b"\x00garbage\xff" * 3, b"TWC0" + b"\x07" * 40],
                         ids=["missing", "empty", "garbage", "bad-header"])
def test_a_sheet_that_cannot_be_opened(tmp_path, command, content):
    sheet = tmp_path / "bad.sheet"
    if content is not None:
        sheet.write_bytes(content)
    message = module_error(lambda: Geocoder(str(sheet)))
    # Messages about the file's layout do not name it; the command does.
    expected = message if str(sheet) in message else f"{sheet}: {message}"
    done = run(*[a.format(sheet=sheet) for a in command], stdin="Via Roma 1\n")
    check_failure(done, expected)


@pytest.mark.parametrize("which", ["address", "poi"])
def test_the_sheet_that_cannot_be_opened_is_named(demo_sheet, tmp_path, which):
    bad = tmp_path / "bad.sheet"
    bad.write_bytes(b"\x00" * 400)
    address, poi = (bad, demo_sheet) if which == "address" else (demo_sheet, bad)
    message = module_error(lambda: Geocoder(str(address), poi=str(poi)))
    check_failure(run("geocode", address, "--poi", poi, "Via Roma 1"), f"{bad}: {message}")


def test_a_bad_sheet_leaves_an_existing_output_file_alone(tmp_path):
    out = tmp_path / "out.jsonl"
    out.write_text("keep me\n")
    check_failure(run("batch", tmp_path / "missing.sheet", "-", "-o", out, stdin="Via Roma 1\n"))
    assert out.read_text() == "keep me\n"


def test_a_poi_sheet_of_another_country_is_refused(demo_sheet, tmp_path):
    other = tmp_path / "fr.sheet"
    subprocess.run([TOOL, "build", "-o", str(other), "--country", "fr", str(DEMO_CSV)], check=True,
                   capture_output=True)
    message = module_error(lambda: Geocoder(demo_sheet, poi=str(other)))
    assert "wrong file pair" in message
    check_failure(run("geocode", demo_sheet, "--poi", other, "Via Roma 1"), message)


@pytest.mark.parametrize("lat,lon", [("91", "8.6"), ("-90.5", "8.6"), ("44.9", "181"), ("nan", "8.6"),
                                     ("44.9", "inf")])
def test_reverse_refuses_bad_coordinates(demo_sheet, g, lat, lon):
    message = module_error(lambda: g.reverse(float(lat), float(lon), 0))
    check_failure(run("reverse", demo_sheet, lat, lon, "-k", 0), message)


def test_a_query_argument_that_is_not_utf8(demo_sheet):
    done = subprocess.run([*CLI, "geocode", demo_sheet, b"Citt\xe0 1"], capture_output=True, timeout=60)
    done.out, done.err = done.stdout.decode(), done.stderr.decode()
    check_failure(done, "query is not valid UTF-8: b'Citt\\xe0 1'")


@pytest.mark.parametrize(
    "make,message",
    [
        (lambda d: d / "absent.txt", "cannot read {path}: No such file or directory"),
        (lambda d: d, "cannot read {path}: Is a directory"),
        (lambda d: (d / "latin1.txt", (d / "latin1.txt").write_bytes(b"Via Roma 1\nCitt\xe0\n"))[0],
         "cannot read {path}: not UTF-8 text (line 2, byte 15)"),
    ],
    ids=["missing", "directory", "not-utf8"],
)
def test_unreadable_input(demo_sheet, tmp_path, make, message):
    path = make(tmp_path)
    check_failure(run("batch", demo_sheet, path), message.format(path=path))


def test_csv_input_problems(demo_sheet, tmp_path):
    src = tmp_path / "in.csv"
    src.write_text("id,address\n1,Via Roma 1\n", encoding="utf-8")
    check_failure(run("batch", demo_sheet, src, "--column", "street"),
                  f"cannot read {src}: no column 'street' in the header ('id', 'address')")
    empty = tmp_path / "empty.csv"
    empty.write_text("")
    check_failure(run("batch", demo_sheet, empty, "--column", "address"), f"cannot read {empty}: no CSV header row")


def test_unwritable_output(demo_sheet, tmp_path):
    out = tmp_path / "no" / "such" / "dir.jsonl"
    check_failure(run("batch", demo_sheet, "-o", out, stdin="Via Roma 1\n"),
                  f"cannot write {out}: No such file or directory")


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["geocode"],
        ["geocode", "{sheet}"],
        ["geocode", "{sheet}", "x", "--k", "-1"],
        ["geocode", "{sheet}", "x", "--k", "two"],
        ["reverse", "{sheet}", "44.9"],
        ["reverse", "{sheet}", "north", "8.6"],
        ["batch", "{sheet}", "--format", "xml"],
        ["batch", "{sheet}", "--chunk-size", "0"],
        ["batch", "{sheet}", "--delimiter", "ab"],
        ["frobnicate", "{sheet}"],
    ],
)
def test_usage_errors_exit_2(demo_sheet, args):
    done = run(*[a.format(sheet=demo_sheet) for a in args], stdin="")
    assert done.returncode == 2, done.err
    assert done.out == ""
    assert "usage: tarnwik" in done.err


def test_the_installed_script_runs():
    script = shutil.which("tarnwik")
    assert script, "the tarnwik command is not on PATH"
    done = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0
    assert all(word in done.stdout for word in ("geocode", "reverse", "batch"))
