"""Reverse geocoding from Python: calls per second of `reverse(lat, lon, 3)`
on one core, on the sheet of de/essen.csv, at points spread over the city
(house positions moved by up to about 200 m in each direction).

Side by side, in the same run and on the same points: a k-d tree over the
same house positions (SciPy's cKDTree on a local metric projection), asked
the same question one call at a time, and, for scale, in one vectorised
batch. SciPy is only needed for this comparison:

    pip install scipy
    python3 bench/bench_reverse.py
"""
from __future__ import annotations

import csv
import math
import random
import time
from pathlib import Path

import tarnwik

from _common import WORK, build_sheet, cpu_rate, need_data, verdict

TARGET = 50_000  # calls per second
SECONDS = 3.0


def house_positions(path) -> list[tuple[float, float]]:
    out = []
    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        for row in csv.DictReader(f):
            try:
                out.append((float(row["LAT"]), float(row["LON"])))
            except (TypeError, ValueError):
                pass
    return out


def query_points(houses: list[tuple[float, float]], n: int, seed: int = 7) -> list[tuple[float, float]]:
    """House positions moved by up to about 200 m in each direction."""
    rng = random.Random(seed)
    return [(lat + rng.uniform(-0.002, 0.002), lon + rng.uniform(-0.002, 0.002))
            for lat, lon in rng.sample(houses, min(n, len(houses)))]


def measure(csv_path: Path, sheet: Path, points: int = 20_000, seconds: float = SECONDS) -> dict:
    """reverse(lat, lon, 3) per second of thread CPU time, and the same
    question asked of a cKDTree when SciPy is importable."""
    houses = house_positions(csv_path)
    pts = query_points(houses, points)

    g = tarnwik.Geocoder(str(sheet))
    g.reverse(*pts[0], 3)  # builds the sheet's street boxes once
    out = {"houses": len(houses), "points": len(pts),
           "calls_per_s": cpu_rate(lambda lat, lon: g.reverse(lat, lon, 3), pts, seconds, star=True)}

    try:
        import numpy as np
        from scipy.spatial import cKDTree
    except ImportError as e:
        out["kdtree"] = None
        out["kdtree_missing"] = f"scipy is not importable ({e})"
        return out
    lat0 = sum(lat for lat, _ in houses) / len(houses)
    kx, ky = 111_320 * math.cos(math.radians(lat0)), 111_320
    xy = np.array([(lon * kx, lat * ky) for lat, lon in houses])
    tree = cKDTree(xy)
    queries = np.array([(lon * kx, lat * ky) for lat, lon in pts])
    theirs = cpu_rate(lambda lat, lon: tree.query((lon * kx, lat * ky), k=3), pts, seconds, star=True)
    start = time.thread_time()
    tree.query(queries, k=3)
    batch = len(pts) / (time.thread_time() - start)
    out["kdtree"] = {"calls_per_s": theirs, "batch_points_per_s": batch}
    return out


def main() -> None:
    csv_path = need_data("de", "essen.csv")
    sheet = build_sheet([csv_path], WORK / "essen.sheet", "--country", "de")
    m = measure(csv_path, sheet)
    ours = m["calls_per_s"]
    print(f"sheet: {sheet.name}, {m['houses']} address rows, {m['points']} query points")
    print(f"tarnwik reverse(k=3):      {ours:10.0f} calls/s (target {TARGET}) {verdict(ours >= TARGET)}")
    if m["kdtree"] is None:
        print("k-d tree comparison skipped: pip install scipy")
        return
    theirs = m["kdtree"]["calls_per_s"]
    print(f"cKDTree.query(k=3):        {theirs:10.0f} calls/s (one point per call)")
    print(f"cKDTree.query(k=3) batch:  {m['kdtree']['batch_points_per_s']:10.0f} points/s (all points in one call)")
    print(f"ratio tarnwik / cKDTree per call: {ours / theirs:.2f}")


if __name__ == "__main__":
    main()
