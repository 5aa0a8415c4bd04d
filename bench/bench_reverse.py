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

import tarnwik

from _common import WORK, build_sheet, need_data

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


def rate(call, points) -> float:
    """Calls per second of CPU time of this thread, cycling over `points`."""
    n = 0
    start = time.thread_time()
    while time.thread_time() - start < SECONDS:
        for lat, lon in points:
            call(lat, lon)
        n += len(points)
    return n / (time.thread_time() - start)


def main() -> None:
    csv_path = need_data("de", "essen.csv")
    sheet = build_sheet([csv_path], WORK / "essen.sheet", "--country", "de")
    houses = house_positions(csv_path)
    rng = random.Random(7)
    points = [(lat + rng.uniform(-0.002, 0.002), lon + rng.uniform(-0.002, 0.002))
              for lat, lon in rng.sample(houses, 20_000)]

    g = tarnwik.Geocoder(str(sheet))
    g.reverse(*points[0], 3)  # builds the sheet's street boxes once
    ours = rate(lambda lat, lon: g.reverse(lat, lon, 3), points)
    print(f"sheet: {sheet.name}, {len(houses)} address rows, {len(points)} query points")
    print(f"tarnwik reverse(k=3):      {ours:10.0f} calls/s (target {TARGET}) {'OK' if ours >= TARGET else 'MISSED'}")

    try:
        import numpy as np
        from scipy.spatial import cKDTree
    except ImportError:
        print("k-d tree comparison skipped: pip install scipy")
        return
    lat0 = sum(lat for lat, _ in houses) / len(houses)
    kx, ky = 111_320 * math.cos(math.radians(lat0)), 111_320
    xy = np.array([(lon * kx, lat * ky) for lat, lon in houses])
    tree = cKDTree(xy)
    queries = np.array([(lon * kx, lat * ky) for lat, lon in points])
    theirs = rate(lambda lat, lon: tree.query((lon * kx, lat * ky), k=3), points)
    start = time.thread_time()
    tree.query(queries, k=3)
    batch = len(points) / (time.thread_time() - start)
    print(f"cKDTree.query(k=3):        {theirs:10.0f} calls/s (one point per call)")
    print(f"cKDTree.query(k=3) batch:  {batch:10.0f} points/s (all points in one call)")
    print(f"ratio tarnwik / cKDTree per call: {ours / theirs:.2f}")


if __name__ == "__main__":
    main()
