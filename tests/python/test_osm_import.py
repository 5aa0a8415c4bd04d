"""`tarnwik-sheet build` on OpenStreetMap files.

The command is the installed one found on PATH, and the sheets are read back
with the installed `tarnwik` module; without either these tests skip, as the
real-data ones do without the shared data.

The real-data check builds from de/lauf.osm.pbf and compares with the rows of
de/osm-towns.csv for the same area, which were converted from OpenStreetMap
separately (and possibly at another date), so the two may differ by a few
edits: the tolerances below allow for that and no more.
"""
from __future__ import annotations

import csv
import math
import re
import shutil
import statistics
import subprocess
from pathlib import Path

import pytest

TOOL = shutil.which("tarnwik-sheet")
pytestmark = pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH")

HERE = Path(__file__).resolve().parent
SHARED_DATA = HERE.parents[1].parent / "shared" / "data"
LAUF_PBF = SHARED_DATA / "de" / "lauf.osm.pbf"
TOWNS_CSV = SHARED_DATA / "de" / "osm-towns.csv"
# The extract's bounding box (from its header): lon_min, lat_min, lon_max, lat_max.
LAUF_BOX = (11.2474, 49.4994609, 11.3079357, 49.530445)
CSV_HEADER = "LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID\n"


def run(*args) -> subprocess.CompletedProcess:
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, timeout=600)


def report(stderr: str) -> dict:
    """The numbers of the final build report ("rows read: 20", "  empty number: 2", ...)."""
    return {m.group(1).strip(): int(m.group(2)) for m in re.finditer(r"^ *([a-zA-Z0-9 -]+): (\d+)\b", stderr, re.M)}


def osm_line(stderr: str, path) -> dict:
    """The numbers of the OpenStreetMap line of the report."""
    m = re.search(
        re.escape(str(path)) + r": (\d+) address nodes, (\d+) address ways"
        r"(?: \((\d+) with nodes missing from the file\))?"
        r"(?:; with an address but not read: open ways (\d+), relations (\d+))?\n",
        stderr,
    )
    assert m, stderr
    nodes, ways, missing, open_ways, relations = (int(g or 0) for g in m.groups())
    return {"nodes": nodes, "ways": ways, "missing": missing, "open_ways": open_ways, "relations": relations}


def geocoder(sheet):
    tarnwik = pytest.importorskip("tarnwik")
    return tarnwik.Geocoder(str(sheet))


def metres(lat1, lon1, lat2, lon2) -> float:
    k = 6371000 * math.pi / 180
    return math.hypot((lat2 - lat1) * k, (lon2 - lon1) * k * math.cos(math.radians(lat1)))


def number_key(text: str) -> str:
    return re.sub(r"[^0-9a-z]", "", text.lower())


# ---------------------------------------------------------------------------
# a hand-made file through the command

TINY_OSM = """<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6" generator="hand">
  <node id="31" lat="47.1400000" lon="9.5200000">
    <tag k="addr:housenumber" v="12"/><tag k="addr:street" v="Städtle"/>
    <tag k="addr:postcode" v="9490"/><tag k="addr:city" v="Vaduz"/>
  </node>
  <node id="32" lat="47.1410000" lon="9.5210000">
    <tag k="addr:housenumber" v="4b"/><tag k="addr:place" v="Mühleholz"/>
    <tag k="addr:postcode" v="9490"/><tag k="addr:city" v="Vaduz"/>
  </node>
  <node id="33" lat="47.1420000" lon="9.5220000">
    <tag k="addr:street" v="Städtle"/><tag k="addr:city" v="Vaduz"/><tag k="shop" v="kiosk"/>
  </node>
  <node id="1" lat="47.1300000" lon="9.5100000"/>
  <node id="2" lat="47.1300000" lon="9.5101000"/>
  <node id="3" lat="47.1300600" lon="9.5101000"/>
  <node id="4" lat="47.1300600" lon="9.5100000"/>
  <way id="40">
    <nd ref="1"/><nd ref="2"/><nd ref="3"/><nd ref="4"/><nd ref="1"/>
    <tag k="building" v="yes"/>
    <tag k="addr:housenumber" v="7"/><tag k="addr:street" v="Äulestrasse"/>
    <tag k="addr:postcode" v="9490"/><tag k="addr:city" v="Vaduz"/>
  </way>
</osm>
"""


def test_tiny_osm_file_mixed_with_csv(tmp_path):
    osm = tmp_path / "tiny.osm"
    osm.write_text(TINY_OSM, encoding="utf-8")
    # A CSV house on the OSM file's street, and the node 31 once more.
    addresses = tmp_path / "more.csv"
    addresses.write_text(CSV_HEADER + "9.5201,47.1401,14,Städtle,,Vaduz,,,9490,\n"
                         "9.52,47.14,12,Städtle,,Vaduz,,,9490,\n", encoding="utf-8")
    sheet = tmp_path / "tiny.sheet"
    r = run("build", "-o", sheet, "--country", "li", osm, addresses)
    assert r.returncode == 0, r.stderr
    rep = report(r.stderr)
    assert osm_line(r.stderr, osm) == {"nodes": 3, "ways": 1, "missing": 0, "open_ways": 0, "relations": 0}
    assert rep["rows read"] == 6
    assert rep["empty number"] == 1 and rep["rows skipped"] == 1
    assert rep["duplicates"] == 1
    assert rep["houses"] == 4 and rep["streets"] == 3 and rep["communes"] == 1
    assert f"{osm}:n33: skipped (empty number)" in r.stderr
    assert f"{addresses}:3: skipped (duplicate): same house as {osm}:n31" in r.stderr

    g = geocoder(sheet)
    hit = g.reverse(47.14, 9.52, 1)[0]
    assert (hit["street"], hit["housenumber"], hit["commune"], hit["postcode"]) == ("Städtle", "12", "Vaduz", "9490")
    assert hit["distance_m"] == 0
    hit = g.reverse(47.141, 9.521, 1)[0]
    assert (hit["street"], hit["housenumber"]) == ("Mühleholz", "4b")
    # The building stands at the middle of its rectangle.
    hit = g.reverse(47.13003, 9.51005, 1)[0]
    assert (hit["street"], hit["housenumber"]) == ("Äulestrasse", "7")
    assert hit["distance_m"] < 0.2


def test_osm_read_errors_fail_the_build(tmp_path):
    broken = tmp_path / "broken.osm.pbf"
    broken.write_bytes(b"\x00\x00\x00\x0dnot a pbf at all")
    sheet = tmp_path / "x.sheet"
    r = run("build", "-o", sheet, broken)
    assert r.returncode == 1
    assert f"tarnwik-sheet: {broken}: " in r.stderr
    assert not sheet.exists()


# ---------------------------------------------------------------------------
# the real extract against its CSV conversion


def towns_rows():
    with TOWNS_CSV.open(encoding="utf-8", newline="") as f:
        return list(csv.DictReader(f))


def in_lauf_box(row) -> bool:
    lon, lat = float(row["LON"]), float(row["LAT"])
    return LAUF_BOX[0] <= lon <= LAUF_BOX[2] and LAUF_BOX[1] <= lat <= LAUF_BOX[3]


@pytest.fixture(scope="module")
def lauf_build(tmp_path_factory):
    if not LAUF_PBF.exists() or not TOWNS_CSV.exists():
        pytest.skip("the shared OpenStreetMap data is absent")
    sheet = tmp_path_factory.mktemp("lauf") / "lauf.sheet"
    r = run("build", "-o", sheet, "--country", "de", LAUF_PBF)
    assert r.returncode == 0, r.stderr
    return sheet, r.stderr


@pytest.mark.slow
def test_lauf_counts(lauf_build):
    sheet, stderr = lauf_build
    rep = report(stderr)
    osm = osm_line(stderr, LAUF_PBF)
    assert rep["rows read"] == osm["nodes"] + osm["ways"]
    assert rep["houses"] == rep["rows read"] - rep["rows skipped"] - rep["duplicates"]
    # The conversion kept every address with street, number, postcode and
    # city; the extract has a few more (without postcode or city), and edits
    # of another date may add or remove some: 2% either way.
    csv_rows = sum(1 for row in towns_rows() if in_lauf_box(row))
    assert abs(rep["houses"] - csv_rows) <= 0.02 * csv_rows, (rep["houses"], csv_rows)
    # Nearly all OpenStreetMap addresses here have a number; the ones that do
    # not are skipped as the CSV rule says.
    assert rep["rows skipped"] == rep.get("empty number", 0) <= 0.01 * rep["rows read"]


@pytest.mark.slow
def test_lauf_houses_agree_with_the_csv(lauf_build):
    sheet, _ = lauf_build
    g = geocoder(sheet)
    rows = [row for row in towns_rows() if row["CITY"].startswith("Lauf")]
    assert len(rows) > 5000
    node_gaps, way_gaps, missing, wrong_commune = [], [], [], []
    for row in rows:
        lat, lon = float(row["LAT"]), float(row["LON"])
        same = [h for h in g.reverse(lat, lon, 10)
                if h["street"] == row["STREET"] and number_key(h["housenumber"] or "") == number_key(row["NUMBER"])]
        if not same:
            missing.append(row)
            continue
        hit = min(same, key=lambda h: h["distance_m"])
        if hit["commune"] != row["CITY"]:
            wrong_commune.append((row, hit))
        gap = metres(lat, lon, hit["lat"], hit["lon"])
        (node_gaps if row["ID"].startswith("osm:n") else way_gaps).append(gap)

    # Street and number pairs agree for 99% of the CSV rows (the rest: edits
    # of another date, and ranges such as "2-4" that both sides store as 2
    # but this comparison keys differently).
    assert len(missing) <= 0.01 * len(rows), missing[:10]
    assert len(wrong_commune) <= 0.01 * len(rows), wrong_commune[:5]
    # Nodes are where the CSV has them, to its seven decimals.
    assert len(node_gaps) > 4000
    assert sum(gap < 0.05 for gap in node_gaps) >= 0.99 * len(node_gaps)
    # Buildings: the CSV took the mean of the way's node list (the first node
    # twice), the import the area centroid; both lie within the building, a
    # few metres apart, more only for large irregular ones.
    assert len(way_gaps) > 500
    assert statistics.median(way_gaps) < 3
    assert sorted(way_gaps)[int(0.95 * len(way_gaps))] < 8
    assert max(way_gaps) < 30


@pytest.mark.slow
def test_lauf_csv_and_pbf_in_one_build(tmp_path):
    if not LAUF_PBF.exists() or not TOWNS_CSV.exists():
        pytest.skip("the shared OpenStreetMap data is absent")
    rows = [row for row in towns_rows() if row["CITY"].startswith("Lauf")]
    lauf_csv = tmp_path / "lauf.csv"
    with lauf_csv.open("w", encoding="utf-8", newline="") as f:
        w = csv.DictWriter(f, fieldnames=list(rows[0]))
        w.writeheader()
        w.writerows(rows)
    sheet = tmp_path / "mixed.sheet"
    # CSV first: its rows carry REGION, and the OpenStreetMap rows, which have
    # none, join the communes of the same name.
    r = run("build", "-o", sheet, "--country", "de", lauf_csv, LAUF_PBF)
    assert r.returncode == 0, r.stderr
    rep = report(r.stderr)
    csv_nodes = sum(1 for row in rows if row["ID"].startswith("osm:n"))
    # The nodes the CSV already has (same street, number and position) are
    # duplicates; the buildings are not, being placed differently.
    assert csv_nodes * 0.98 <= rep["duplicates"] <= csv_nodes * 1.01
    assert re.search(re.escape(str(LAUF_PBF)) + r":n\d+: skipped \(duplicate\): same house as "
                     + re.escape(str(lauf_csv)) + r":\d+\n", r.stderr)
    assert rep["houses"] == rep["rows read"] - rep["rows skipped"] - rep["duplicates"]
