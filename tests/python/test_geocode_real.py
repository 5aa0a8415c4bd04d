"""Forward geocoding on the real address data (marked `slow`): a record's
own address, written "STREET NUMBER, POSTCODE CITY", finds the record's
house; and geocode_many agrees with geocode on real queries with one and two
worker threads. Skipped when the data or the sheet builder is absent.
"""
from __future__ import annotations

import csv
import math
import os
import random
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tarnwik import Geocoder

TOOL = shutil.which("tarnwik-sheet")
SHARED_DATA = Path(__file__).resolve().parents[2].parent / "shared" / "data"

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH"),
]

FILES = {"es": "es/la-rioja.csv", "it": "it/alessandria.csv", "fr": "fr/limousin.csv"}
SAMPLE = 1000
MAX_DISTANCE_M = 50.0
MIN_FOUND = 0.98


def data_file(rel: str) -> Path:
    path = SHARED_DATA / rel
    if not path.exists():
        pytest.skip(f"{path} is absent")
    return path


def distance_m(lat1: float, lon1: float, lat2: float, lon2: float) -> float:
    p1, p2 = math.radians(lat1), math.radians(lat2)
    a = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(math.radians(lon2 - lon1) / 2) ** 2
    return 12_742_000 * math.asin(math.sqrt(a))


def query_of(row: dict[str, str]) -> str:
    place = " ".join(p for p in (row["POSTCODE"].strip(), row["CITY"].strip()) if p)
    return f"{row['STREET'].strip()} {row['NUMBER'].strip()}, {place}"


def number_never_read(row: dict[str, str]) -> bool:
    """Whether the query's house number is never read as one: it directly
    follows a street word of one to four digits ("Rue du 19 Mars 1962 65"),
    and the search takes such a run of number words as one house-number
    candidate, its first, skipping the rest."""
    words = row["STREET"].split()
    first = row["NUMBER"].strip().replace("/", " ").split()
    return (bool(words) and words[-1].isascii() and words[-1].isdigit() and len(words[-1]) <= 4
            and bool(first) and first[0].isascii() and first[0].isdigit())


def sample_rows(path: Path, n: int, seed: int) -> list[dict[str, str]]:
    with open(path, newline="", encoding="utf-8") as f:
        rows = [r for r in csv.DictReader(f) if r["STREET"].strip() and any(c.isdigit() for c in r["NUMBER"])]
    return random.Random(seed).sample(rows, min(n, len(rows)))


@pytest.fixture(scope="module")
def sheets(tmp_path_factory) -> dict[str, str]:
    out = {}
    folder = tmp_path_factory.mktemp("real")
    for country, rel in FILES.items():
        csv_path = data_file(rel)
        sheet = folder / f"{country}.sheet"
        cmd = [TOOL, "build", "-o", str(sheet), "--country", country]
        postcodes = SHARED_DATA / country / "postcodes.csv"
        if postcodes.exists():
            cmd += ["--postcodes", str(postcodes)]
        subprocess.run(cmd + [str(csv_path)], check=True, capture_output=True)
        out[country] = str(sheet)
    return out


@pytest.mark.parametrize("country", sorted(FILES))
def test_a_records_own_address_finds_its_house(sheets, country):
    g = Geocoder(sheets[country])
    sample = sample_rows(data_file(FILES[country]), SAMPLE, seed=20240611)
    rows = [r for r in sample if not number_never_read(r)]
    misses = []
    for row in rows:
        q = query_of(row)
        hits = g.geocode(q, 1)
        lat, lon = float(row["LAT"]), float(row["LON"])
        if hits and hits[0]["precision"] == "house" and distance_m(lat, lon, hits[0]["lat"], hits[0]["lon"]) <= MAX_DISTANCE_M:
            continue
        got = (hits[0]["precision"], hits[0]["street"], hits[0].get("housenumber"), hits[0]["commune"],
               round(distance_m(lat, lon, hits[0]["lat"], hits[0]["lon"]))) if hits else None
        misses.append((q, got))
    found = 1 - len(misses) / len(rows)
    report = "\n".join(f"  {q!r} -> {got}" for q, got in misses[:40])
    assert found >= MIN_FOUND, (f"{country}: {found:.3f} found of {len(rows)} "
                                f"({len(sample) - len(rows)} left out); misses:\n{report}")


AGREEMENT = """
    import csv, random, sys
    from tarnwik import Geocoder
    from test_geocode_real import query_of, sample_rows
    from pathlib import Path
    queries = []
    for country, sheet, rel in {jobs!r}:
        g = Geocoder(sheet)
        qs = [query_of(r) for r in sample_rows(Path(rel), 1500, seed=7)]
        # Misspelt and partial forms too.
        qs += [q.replace("a", "e", 1) for q in qs[:300]] + [q.split(",")[0] for q in qs[:300]]
        for k in (1, 5):
            assert g.geocode_many(qs, k) == [g.geocode(q, k) for q in qs], (country, k)
        queries += qs
    print(len(queries))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_geocode_many_agrees_on_real_queries(sheets, threads):
    import tarnwik

    jobs = [(c, sheets[c], str(data_file(FILES[c]))) for c in sorted(FILES)]
    env = dict(os.environ, TARNWIK_THREADS=threads)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(tarnwik.__file__).parent), str(Path(__file__).parent), env.get("PYTHONPATH", "")])
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(AGREEMENT.format(jobs=jobs))], env=env,
                          capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) > 5000
