"""Soak: one million mixed requests on one Geocoder in one process, watching
memory for growth.

The requests are drawn from a real address file of ../shared/data (default
es/la-rioja.csv, built with Spain's postcodes): clean house queries, the same
with a typo, without the locality, number first, in capitals, street or
locality alone; garbage bytes decoded leniently; strings of ~100 kB; empty
and blank texts; punctuation; mixed scripts; reverse lookups at random
points (near the data and anywhere on Earth), now and then refused ones
(latitude out of range, NaN); and every 5,000 requests a geocode_many batch
of 1,000 such queries (counted in the total). k varies from 0 to 100.

Memory is sampled every `--every` requests, after a garbage collection, from
/proc/self/status: RssAnon (heap and stacks: where a leak shows) and VmRSS
(that plus the pages of the mapped sheet that have been read, which can only
grow up to the sheet's size and are page cache, not a leak). The figure that
decides is RssAnon from the end of the warm-up (the first 10 %, by which the
per-thread caches and the pool exist) to the end: the run fails (exit 1)
when it grows by more than 8 MiB or by more than 5 %.

    nice python3 bench/soak.py [--country es] [--requests 1000000] [--every 10000]

Skips (exit 0) when the data is absent. Uses the installed module.

Last run and its figures: bench/soak-report.md (no growth: +0.6 MiB of
RssAnon from 100,000 to 1,000,000 requests, flat from 300,000 on).
"""
from __future__ import annotations

import argparse
import csv
import gc
import math
import os
import random
import sys
import time
from pathlib import Path

import tarnwik

from _common import DATA, WORK, build_sheet, need_data

FILES = {"es": "la-rioja.csv", "it": "alessandria.csv", "fr": "limousin.csv", "de": "osm-towns.csv"}
BATCH_EVERY = 5_000
BATCH_SIZE = 1_000
MAX_GROWTH_KIB = 8 * 1024
MAX_GROWTH_SHARE = 0.05

SCRIPTS = ["Москва Тверская улица", "Αθήνα οδός Ερμού", "東京都千代田区", "القاهرة شارع", "서울 종로구",
           "ירושלים רחוב יפו", "Київ Хрещатик", "मुंबई मार्ग", "Straße Ærøskøbing Łódź Őrség"]
PUNCTUATION = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~«»„“”‘’–—…·•§¶"


def memory_kib() -> tuple[int, int]:
    """(RssAnon, VmRSS) of this process in KiB."""
    got = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("RssAnon", "VmRSS"):
                got[key] = int(value.split()[0])
    return got["RssAnon"], got["VmRSS"]


def records(path: Path) -> list[dict[str, str]]:
    with open(path, encoding="utf-8", newline="") as f:
        return [r for r in csv.DictReader(f) if r["STREET"].strip()]


class Requests:
    """A seeded stream of mixed requests over the records."""

    def __init__(self, rows: list[dict[str, str]], seed: int):
        self.rows = rows
        self.rng = random.Random(seed)
        lats = sorted(float(r["LAT"]) for r in rows)
        lons = sorted(float(r["LON"]) for r in rows)
        self.box = (lats[0], lats[-1], lons[0], lons[-1])

    def k(self) -> int:
        return self.rng.choice((0, 1, 1, 1, 3, 3, 10, 100))

    def real(self) -> str:
        r = self.rng.choice(self.rows)
        street, number, city, pc = r["STREET"].strip(), r["NUMBER"].strip(), r["CITY"].strip(), r["POSTCODE"].strip()
        form = self.rng.randrange(8)
        if form == 0:
            return f"{street} {number}, {pc} {city}".strip(", ")
        if form == 1:  # one letter changed
            if len(street) > 3:
                i = self.rng.randrange(1, len(street))
                street = street[:i] + self.rng.choice("aeioulnrst") + street[i + 1:]
            return f"{street} {number}, {city}"
        if form == 2:
            return f"{street} {number}"
        if form == 3:
            return f"{number} {street} {pc} {city}"
        if form == 4:
            return f"{street.upper()} {number} {city.upper()}"
        if form == 5:
            return f"{city} {street}"
        if form == 6:
            return f"{pc} {city}" if pc else city
        return f"{street}, {number}, {city}, {r['REGION']}"

    def garbage(self) -> str:
        return os.urandom(self.rng.randrange(1, 200)).decode("utf-8", errors="replace")

    def long(self) -> str:
        base = self.real() + " "
        return (base * (100_000 // len(base) + 1))[: self.rng.randrange(90_000, 110_000)]

    def query(self) -> str:
        x = self.rng.random()
        if x < 0.70:
            return self.real()
        if x < 0.80:
            return self.garbage()
        if x < 0.83:
            return self.rng.choice(["", " ", "\t\n", "\u00a0\u2003", "\u200b"])
        if x < 0.90:
            return "".join(self.rng.choice(PUNCTUATION) for _ in range(self.rng.randrange(1, 40)))
        if x < 0.998:
            return f"{self.rng.choice(SCRIPTS)} {self.real()} {self.rng.choice(SCRIPTS)}"
        return self.long()

    def point(self) -> tuple[float, float]:
        if self.rng.random() < 0.7:
            lat0, lat1, lon0, lon1 = self.box
            return self.rng.uniform(lat0 - 0.05, lat1 + 0.05), self.rng.uniform(lon0 - 0.05, lon1 + 0.05)
        return self.rng.uniform(-90, 90), self.rng.uniform(-180, 180)


def soak(g: tarnwik.Geocoder, req: Requests, total: int, every: int) -> list[tuple[int, int, int, float]]:
    """Runs `total` requests; returns samples (requests done, RssAnon, VmRSS,
    seconds)."""
    samples = []
    done = 0
    hits = 0
    start = time.perf_counter()
    next_sample = 0
    while done < total:
        if done >= next_sample:
            gc.collect()
            samples.append((done, *memory_kib(), time.perf_counter() - start))
            print(f"\r{done:,} requests, RssAnon {samples[-1][1] / 1024:.1f} MiB", end="", file=sys.stderr,
                  flush=True)
            next_sample += every
        if done and done % BATCH_EVERY == 0 and total - done >= BATCH_SIZE:
            answers = g.geocode_many([req.query() for _ in range(BATCH_SIZE)], req.rng.choice((1, 3)))
            hits += sum(map(len, answers))
            done += BATCH_SIZE
            continue
        x = req.rng.random()
        if x < 0.78:
            hits += len(g.geocode(req.query(), req.k()))
        elif x < 0.995:
            hits += len(g.reverse(*req.point(), req.rng.choice((0, 1, 3, 10))))
        else:
            lat, lon = req.rng.choice([(91.0, 0.0), (math.nan, 1.0), (0.0, math.inf), (-90.5, 10.0)])
            try:
                g.reverse(lat, lon, 3)
                raise AssertionError(f"reverse({lat}, {lon}) was not refused")
            except ValueError:
                pass
        done += 1
    gc.collect()
    samples.append((done, *memory_kib(), time.perf_counter() - start))
    print(file=sys.stderr)
    assert hits > total // 4, f"only {hits} hits in {total} requests: the sheet or the queries are wrong"
    return samples


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--country", choices=sorted(FILES), default="es")
    ap.add_argument("--requests", type=int, default=1_000_000)
    ap.add_argument("--every", type=int, default=10_000)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    csv_path = need_data(args.country, FILES[args.country])
    extra = ["--country", args.country]
    postcodes = DATA / args.country / "postcodes.csv"
    if postcodes.exists():
        extra += ["--postcodes", str(postcodes)]
    sheet = build_sheet([csv_path], WORK / f"soak-{args.country}.sheet", *extra)
    rows = records(csv_path)

    g = tarnwik.Geocoder(str(sheet))
    req = Requests(rows, args.seed)
    before = memory_kib()
    cpu = time.process_time()
    samples = soak(g, req, args.requests, args.every)
    cpu = time.process_time() - cpu

    warm_at = args.requests // 10
    warm = next(s for s in samples if s[0] >= warm_at)
    end = samples[-1]
    growth = end[1] - warm[1]
    share = growth / warm[1]
    peak = max(s[1] for s in samples if s[0] >= warm_at)
    seconds = end[3]
    print(f"module        {tarnwik.__file__}")
    print(f"sheet         {sheet} ({sheet.stat().st_size / 2**20:.1f} MiB, {len(rows):,} records)")
    print(f"requests      {end[0]:,} in {seconds:.0f} s ({end[0] / seconds:,.0f}/s), "
          f"{cpu:.0f} s of process CPU time ({end[0] / cpu:,.0f}/s)")
    print(f"before        RssAnon {before[0] / 1024:8.1f} MiB   VmRSS {before[1] / 1024:8.1f} MiB")
    print(f"after warm-up RssAnon {warm[1] / 1024:8.1f} MiB   VmRSS {warm[2] / 1024:8.1f} MiB   ({warm[0]:,} requests)")
    print(f"end           RssAnon {end[1] / 1024:8.1f} MiB   VmRSS {end[2] / 1024:8.1f} MiB")
    print(f"peak after warm-up RssAnon {peak / 1024:.1f} MiB")
    print(f"growth        RssAnon {growth / 1024:+.2f} MiB ({share:+.2%})   VmRSS {(end[2] - warm[2]) / 1024:+.2f} MiB")
    print("samples (requests: RssAnon MiB):")
    step = max(1, len(samples) // 20)
    print("  " + "  ".join(f"{s[0] // 1000}k:{s[1] / 1024:.1f}" for s in samples[::step]))
    if growth > MAX_GROWTH_KIB or share > MAX_GROWTH_SHARE:
        print(f"FAIL: RssAnon grew by {growth / 1024:.2f} MiB ({share:.2%}) after warm-up "
              f"(limit {MAX_GROWTH_KIB / 1024:.0f} MiB and {MAX_GROWTH_SHARE:.0%})")
        return 1
    print("ok: no growth beyond the limit after warm-up")
    return 0


if __name__ == "__main__":
    sys.exit(main())
