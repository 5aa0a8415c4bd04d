"""Geocoder.reverse: argument binding, refused coordinates, the dicts it
returns, admin regions from the sidecar, and real data (marked `slow`): on
every address file of the shared data, a house's own position finds it.
"""
from __future__ import annotations

import csv
import io
import json
import math
import random
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

import sheetkit
from tarnwik import Geocoder

TOOL = shutil.which("tarnwik-sheet")
needs_tool = pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH")
SHARED_DATA = Path(__file__).resolve().parents[2].parent / "shared" / "data"

LAT, LON = sheetkit.MINIMAL_POINT


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


def grid_key(lat: float, lon: float) -> int:
    row = min(max(math.floor((lat + 90) / 0.01), 0), 17999)
    col = min(max(math.floor((lon + 180) / 0.01), 0), 35999)
    return row * 36000 + col


def reverse_sections(houses: list[tuple[int, int]] | None = None) -> list[sheetkit.Section]:
    """The minimal sheet with its street's houses (number, latitude offset in
    1e-7 degrees) listed in the reverse grid."""
    houses = houses or [(1, 0)]
    block = b""
    prev = 0
    for i, (number, dlat) in enumerate(houses):
        block += sheetkit.house_record(number if i == 0 else number - prev, 0, dlat, 0)
        prev = number
    sections = sheetkit.minimal_sections(meta=[("country", "fr")])
    pool = sheetkit.StringPool()
    commune = pool.add(sheetkit.MINIMAL_COMMUNE)
    street = pool.add(sheetkit.MINIMAL_STREET)
    record = sheetkit.street_record(
        lat=LAT, lon=LON, commune_id=0, name_off=street, houses_off=0, house_count=len(houses), postcode_num=7500
    )
    assert commune == 0
    grid = sheetkit.u32(1) + sheetkit.u32(grid_key(LAT, LON)) + sheetkit.u32(0) + sheetkit.u32(1) + sheetkit.u32(0)
    for s in (
        sheetkit.Section(sheetkit.STREETS_META, record),
        sheetkit.Section(sheetkit.HOUSES, block),
        sheetkit.Section(sheetkit.NAMES, bytes(pool.data)),
        sheetkit.Section(sheetkit.REVERSE_GRID, grid),
    ):
        sections = sheetkit.with_section(sections, s)
    return sections


@pytest.fixture
def geocoder(sheet_file):
    return Geocoder(sheet_file(sheetkit.pack(reverse_sections([(1, 0), (3, 45), (5, 90)])), "fr.sheet"))


def wofa(regions: list[tuple[str, list[list[tuple[float, float]]]]]) -> bytes:
    """Sidecar bytes: regions of (name, rings of (lat, lon) degrees)."""
    out = bytearray(b"WOFA" + struct.pack("<I", len(regions)))
    for name, rings in regions:
        pts = [(sheetkit.e7(a), sheetkit.e7(b)) for ring in rings for a, b in ring]
        n = name.encode()
        out += bytes([len(n)]) + n
        out += struct.pack("<iiii", min(p[0] for p in pts), min(p[1] for p in pts),
                           max(p[0] for p in pts), max(p[1] for p in pts))
        out += struct.pack("<H", len(rings))
        for ring in rings:
            out += struct.pack("<H", len(ring))
            for a, b in ring:
                out += struct.pack("<ii", sheetkit.e7(a), sheetkit.e7(b))
    return bytes(out)


def square(lat: float, lon: float, half: float) -> list[tuple[float, float]]:
    return [(lat - half, lon - half), (lat - half, lon + half), (lat + half, lon + half), (lat + half, lon - half)]


# --- the method ----------------------------------------------------------------


def test_docstring_and_signature():
    assert Geocoder.reverse.__doc__ == "Reverse geocoding: nearest houses to a point."
    assert Geocoder.reverse.__text_signature__ == "($self, lat, lon, k=3)"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Geocoder.reverse() missing 2 required positional arguments: 'lat' and 'lon'"),
        ((1.0,), {}, "Geocoder.reverse() missing 1 required positional argument: 'lon'"),
        ((), {"k": 1}, "Geocoder.reverse() missing 2 required positional arguments: 'lat' and 'lon'"),
        ((1.0, 2.0, 3, 4), {}, "Geocoder.reverse() takes from 2 to 3 positional arguments but 4 were given"),
        ((1.0, 2.0), {"kk": 1}, "Geocoder.reverse() got an unexpected keyword argument 'kk'"),
        ((1.0, 2.0), {"lat": 1}, "Geocoder.reverse() got multiple values for argument 'lat'"),
        ((1.0, 2.0, 3), {"k": 3}, "Geocoder.reverse() got multiple values for argument 'k'"),
    ],
)
def test_arity_and_keyword_errors(geocoder, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        geocoder.reverse(*args, **kwargs)
    assert str(e.value) == message
    assert not getattr(e.value, "__notes__", None)


@pytest.mark.parametrize(
    "kwargs, error, message, param",
    [
        ({"lat": "48.5", "lon": 2.25}, TypeError, "must be real number, not str", "lat"),
        ({"lat": 48.5, "lon": None}, TypeError, "must be real number, not NoneType", "lon"),
        ({"lat": 48.5, "lon": 2.25, "k": -1}, OverflowError, "can't convert negative int to unsigned", "k"),
        ({"lat": 48.5, "lon": 2.25, "k": 2**64}, OverflowError, "int too big to convert", "k"),
        ({"lat": 48.5, "lon": 2.25, "k": 1.0}, TypeError, "'float' object cannot be interpreted as an integer", "k"),
        ({"lat": 48.5, "lon": 2.25, "k": None}, TypeError, "'NoneType' object cannot be interpreted as an integer", "k"),
        ({"lat": 10**400, "lon": 2.25}, OverflowError, "int too large to convert to float", "lat"),
    ],
)
def test_conversion_errors_carry_the_parameter(geocoder, kwargs, error, message, param):
    with pytest.raises(error) as e:
        geocoder.reverse(**kwargs)
    assert str(e.value) == message
    assert e.value.__notes__ == [f"while processing '{param}'"]


def test_arguments_convert_like_the_host(geocoder):
    class Deg:
        def __float__(self):
            return 48.5

    class Count:
        def __index__(self):
            return 1

    expected = geocoder.reverse(48.5, 2.25, 1)
    assert geocoder.reverse(Deg(), 2.25, k=Count()) == expected
    assert geocoder.reverse(lat=48.5, lon=2.25, k=1) == expected
    assert geocoder.reverse(48.5, 2.25, 2**64 - 1) == geocoder.reverse(48.5, 2.25, 100)
    assert geocoder.reverse(48, 2.25, True) == geocoder.reverse(48.0, 2.25, 1)
    assert len(geocoder.reverse(48.5, 2.25)) == 3  # k defaults to 3


@pytest.mark.parametrize(
    "lat, lon, shown",
    [
        (91, 0, "lat=91, lon=0"),
        (90.0000001, 2, "lat=90.0000001, lon=2"),
        (float("nan"), 2.5, "lat=NaN, lon=2.5"),
        (45, float("inf"), "lat=45, lon=inf"),
        (-91.5, float("-inf"), "lat=-91.5, lon=-inf"),
        (0.1 + 0.2, 180.5, "lat=0.30000000000000004, lon=180.5"),
        (1e22, 0, "lat=10000000000000000000000, lon=0"),
    ],
)
def test_refused_coordinates(geocoder, lat, lon, shown):
    for k in (0, 3):
        with pytest.raises(ValueError) as e:
            geocoder.reverse(lat, lon, k)
        assert str(e.value) == (
            f"reverse: coordinates out of range or non-finite ({shown}); "
            "expected finite lat in [-90,90], lon in [-180,180]"
        )
    # A failed call leaves the object usable.
    assert geocoder.reverse(LAT, LON, 1)


def test_k_zero_and_the_bounds(geocoder):
    assert geocoder.reverse(LAT, LON, 0) == []
    assert geocoder.reverse(90, 180) == []
    assert geocoder.reverse(-90, -180, 5) == []


def test_dicts(geocoder):
    hits = geocoder.reverse(LAT, LON, 5)
    assert [h["housenumber"] for h in hits] == ["1", "3", "5"]
    for h in hits:
        assert list(h) == ["lat", "lon", "precision", "score", "street", "housenumber", "commune", "postcode",
                           "confidence", "distance_m"]
    first, second, third = hits
    assert first == {
        "lat": 48.5, "lon": 2.25, "precision": "house", "score": 0.0, "street": sheetkit.MINIMAL_STREET,
        "housenumber": "1", "commune": sheetkit.MINIMAL_COMMUNE, "postcode": "07500",
        "confidence": f32(0.95), "distance_m": 0.0,
    }
    assert type(first["distance_m"]) is float and type(first["confidence"]) is float
    assert second["lat"] == (sheetkit.e7(LAT) + 45) / 1e7
    assert second["distance_m"] == 0.5  # 45e-7 degrees: 0.50094 m
    assert third["distance_m"] == 1.0
    assert geocoder.reverse(LAT, LON, 1) == [first]


def test_regions_and_their_place_in_the_dict(sheet_file, tmp_path):
    sheet = sheet_file(sheetkit.pack(reverse_sections([(1, 0), (3, 50000)])), "fr.sheet")
    (tmp_path / "fr_admin.bin").write_bytes(wofa([("Quartier", [square(LAT, LON, 0.001)])]))
    hits = Geocoder(sheet).reverse(LAT, LON, 2)
    assert hits[0]["region"] == "Quartier"
    assert list(hits[0])[-2:] == ["region", "distance_m"]
    assert "region" not in hits[1]  # 557 m north, outside the square
    assert hits[1]["precision"] == "approximate" and hits[1]["confidence"] == f32(0.1)


# --- the sidecar's warnings ------------------------------------------------------


def test_sidecar_warnings(sheet_file, tmp_path, capfd):
    sheet = sheet_file(sheetkit.pack(reverse_sections()), "fr.sheet")
    quoted = '"' + sheet + '"'
    capfd.readouterr()

    (tmp_path / "fr-2023_admin.bin").write_bytes(wofa([("Quartier", [square(LAT, LON, 0.001)])]))
    g = Geocoder(sheet)
    assert "region" not in g.reverse(LAT, LON, 1)[0]
    assert capfd.readouterr().err == (
        f"warning: {quoted} expected admin sidecar {tmp_path}/fr_admin.bin but it is missing; found "
        f"{tmp_path}/fr-2023_admin.bin next to it — regions disabled. Rename the sidecar to match the sheet "
        "(release rename?).\n"
    )

    for foreign in (b"WOFA\0\0\0\0", b"PK\x03\x04 not a sidecar"):
        (tmp_path / "fr_admin.bin").write_bytes(foreign)
        g = Geocoder(sheet)
        assert "region" not in g.reverse(LAT, LON, 1)[0]
        assert capfd.readouterr().err == (
            f"warning: {tmp_path}/fr_admin.bin next to {quoted} is not a WOFA admin sidecar — regions disabled\n"
        )

    # A damaged record list costs only the regions after the damage, silently.
    good = wofa([("Quartier", [square(LAT, LON, 0.001)]), ("Ailleurs", [square(0, 0, 1)])])
    (tmp_path / "fr_admin.bin").write_bytes(good[:-5])
    assert Geocoder(sheet).reverse(LAT, LON, 1)[0]["region"] == "Quartier"
    assert capfd.readouterr().err == ""


# --- regions from GeoJSON through the sheet builder ----------------------------------


@needs_tool
def test_geojson_regions_with_a_hole(tmp_path):
    # Houses on a line going north; the region is a square around them with
    # a hole around the middle house, plus a second polygon further north.
    rows = ["LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID"]
    for n, lat in [(1, 50.0), (2, 50.002), (3, 50.004), (4, 50.02)]:
        rows.append(f"8.0,{lat},{n},Ringstraße,,Mitte,,,,")
    (tmp_path / "a.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")

    def ring(lat0, lon0, lat1, lon1):
        return [[lon0, lat0], [lon1, lat0], [lon1, lat1], [lon0, lat1], [lon0, lat0]]

    geojson = {
        "type": "FeatureCollection",
        "features": [
            {"type": "Feature", "properties": {"NAME": "Innenstadt"},
             "geometry": {"type": "Polygon",
                          "coordinates": [ring(49.99, 7.99, 50.01, 8.01), ring(50.001, 7.999, 50.003, 8.001)]}},
            {"type": "Feature", "properties": {"NAME": "Nordviertel"},
             "geometry": {"type": "MultiPolygon", "coordinates": [[ring(50.015, 7.99, 50.025, 8.01)]]}},
            {"type": "Feature", "properties": {"name": "unnamed under NAME"},
             "geometry": {"type": "Polygon", "coordinates": [ring(49, 7, 51, 9)]}},
            {"type": "Feature", "properties": {"NAME": "a point"}, "geometry": {"type": "Point", "coordinates": [8, 50]}},
        ],
    }
    (tmp_path / "regions.geojson").write_text(json.dumps(geojson), encoding="utf-8")
    sheet = tmp_path / "de.sheet"
    r = subprocess.run([TOOL, "build", "-o", sheet, "--country", "de", "--admin", tmp_path / "regions.geojson",
                        "--admin-name-property", "NAME", tmp_path / "a.csv"], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert f"wrote {tmp_path}/de_admin.bin: 2 regions of 4 features (1 without a name, 1 without polygons)" in r.stderr
    assert (tmp_path / "de_admin.bin").read_bytes()[:4] == b"WOFA"

    g = Geocoder(str(sheet))
    region = {h["housenumber"]: h.get("region") for h in g.reverse(50.0, 8.0, 10)}
    assert region == {"1": "Innenstadt", "2": None, "3": "Innenstadt", "4": "Nordviertel"}


@needs_tool
def test_admin_option_errors(tmp_path):
    (tmp_path / "a.csv").write_text("LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID\n"
                                    "8.0,50.0,1,Weg,,Ort,,,,\n", encoding="utf-8")
    (tmp_path / "bad.geojson").write_text('{"type": "FeatureCollection", "features": [{"type": "Feature", '
                                          '"properties": {"name": "X"}, "geometry": {"type": "Polygon", '
                                          '"coordinates": [[[8, 50], [8, 95], [9, 50]]]}}]}')
    sheet = tmp_path / "x.sheet"
    r = subprocess.run([TOOL, "build", "-o", sheet, "--admin", tmp_path / "bad.geojson", tmp_path / "a.csv"],
                       capture_output=True, text=True)
    assert r.returncode == 1
    assert "features[0].geometry.coordinates[0][1]: position out of range" in r.stderr
    assert not sheet.exists() and not (tmp_path / "x_admin.bin").exists()
    r = subprocess.run([TOOL, "build", "-o", sheet, "--admin-name-property", "n", tmp_path / "a.csv"],
                       capture_output=True, text=True)
    assert r.returncode == 1 and "--admin-name-property needs --admin" in r.stderr


# --- real data ------------------------------------------------------------------------


ADDRESS_FILES = ["de/osm-towns.csv", "de/essen.csv", "es/la-rioja.csv", "it/alessandria.csv",
                 "li/liechtenstein.csv", "fr/limousin.csv"]


def usable_rows(path: Path) -> list[dict]:
    text = path.read_bytes().decode("utf-8", errors="replace")
    rows = []
    for row in csv.DictReader(io.StringIO(text)):
        street, number = (row.get("STREET") or "").strip(), (row.get("NUMBER") or "").strip()
        digits = len(number) - len(number.lstrip("0123456789"))
        if "\ufffd" in street + number or not street or not digits or len(street.encode()) > 255:
            continue
        if int(number[:digits]) > 2**32 - 1 or len(number.encode()) > 255:
            continue
        try:
            lat, lon = float(row["LAT"]), float(row["LON"])
        except (TypeError, ValueError):
            continue
        if not (math.isfinite(lat) and math.isfinite(lon) and abs(lat) <= 90 and abs(lon) <= 180):
            continue
        rows.append({"street": street, "number": int(number[:digits]), "lat": lat, "lon": lon})
    return rows


@pytest.mark.slow
@needs_tool
@pytest.mark.parametrize("name", ADDRESS_FILES)
def test_real_houses_find_themselves(name, tmp_path):
    path = SHARED_DATA / name
    if not path.exists():
        pytest.skip(f"{path} is absent")
    sheet = tmp_path / "real.sheet"
    r = subprocess.run([TOOL, "build", "-o", sheet, path], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    g = Geocoder(str(sheet))
    rows = usable_rows(path)
    sample = random.Random(20240611).sample(rows, min(1000, len(rows)))
    for row in sample:
        hits = g.reverse(row["lat"], row["lon"], 100)
        assert hits, row
        assert hits[0]["precision"] == "house" and hits[0]["distance_m"] < 1, (row, hits[0])
        # Several houses can share one position; the row's house is among
        # those at the distance of the first.
        at_point = [h for h in hits if h["distance_m"] < 1]
        # The display is the number followed by its suffix, and a suffix may
        # itself start with a digit ("6/7" reads as 6 with suffix "7").
        assert any(h["street"].strip() == row["street"] and
                   h["housenumber"].startswith(str(row["number"])) for h in at_point), (row, at_point[:5])
