"""Forward geocoding from Python, on the real non-German sheets
(es/la-rioja.csv, it/alessandria.csv and fr/limousin.csv, each built with its
country's postcodes):

- `geocode(q, 1)` per second of CPU time on one core, for clean house queries
  "STREET NUMBER, POSTCODE CITY" made from the address records, and for the
  same queries with one typo in the street name;
- `geocode_many(queries, 1)` with one and with two worker threads
  (TARNWIK_THREADS, each in a fresh process), wall-clock throughput and
  whether the answers are identical;
- side by side, in the same run and on the same queries: a Python dict lookup
  of the exact address string, as a ratio.

    python3 bench/bench_geocode.py
"""
from __future__ import annotations

import csv
import json
import os
import random
import subprocess
import sys
import tempfile
from pathlib import Path

import tarnwik

from _common import WORK, build_sheet, country_args, cpu_rate, need_data, verdict

CLEAN_TARGET = 10_000  # queries per second, one core
TYPO_TARGET = 2_000
SPEEDUP_TARGET = 1.8  # two threads against one
SECONDS = 3.0
SHEETS = [("es", "la-rioja.csv"), ("it", "alessandria.csv"), ("fr", "limousin.csv")]
QUERIES = 5_000


def records(path: Path) -> list[dict[str, str]]:
    with open(path, encoding="utf-8", newline="") as f:
        return [r for r in csv.DictReader(f) if r["STREET"].strip() and any(c.isdigit() for c in r["NUMBER"])]


def clean_query(r: dict[str, str]) -> str:
    place = " ".join(p for p in (r["POSTCODE"].strip(), r["CITY"].strip()) if p)
    return f"{r['STREET'].strip()} {r['NUMBER'].strip()}, {place}"


def with_typo(r: dict[str, str], rng: random.Random) -> str:
    """One letter of the street's longest word replaced by another."""
    words = r["STREET"].strip().split(" ")
    i = max(range(len(words)), key=lambda j: len(words[j]))
    w = words[i]
    letters = [j for j in range(1, len(w)) if w[j].isalpha()]
    if letters:
        j = rng.choice(letters)
        w = w[:j] + rng.choice([c for c in "aeiourstnl" if c != w[j].lower()]) + w[j + 1:]
    words[i] = w
    place = " ".join(p for p in (r["POSTCODE"].strip(), r["CITY"].strip()) if p)
    return f"{' '.join(words)} {r['NUMBER'].strip()}, {place}"


def rate(call, queries, seconds: float = SECONDS) -> float:
    """Calls per second of CPU time of this thread, cycling over `queries`."""
    return cpu_rate(call, queries, seconds)


MANY = """
import hashlib, json, sys, time
import tarnwik
g = tarnwik.Geocoder(sys.argv[1])
queries = json.load(open(sys.argv[2], encoding="utf-8"))
g.geocode_many(queries[:10], 1)  # builds the pool
start, cpu = time.perf_counter(), time.process_time()
rounds = 0
while True:
    answers = g.geocode_many(queries, 1)
    rounds += 1
    if time.perf_counter() - start >= float(sys.argv[3]):
        break
elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
digest = hashlib.sha256(json.dumps(answers, sort_keys=True).encode()).hexdigest()
print(rounds * len(queries) / elapsed, digest, cpu / elapsed)
"""


def many_run(sheet: Path, queries: list[str], threads: int, seconds: float = SECONDS) -> dict:
    """geocode_many(queries, 1) in a fresh process with TARNWIK_THREADS set:
    wall-clock queries per second, a digest of the last answers, and the
    cores the process kept busy on average (process CPU time / wall time)."""
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False, encoding="utf-8") as f:
        json.dump(queries, f)
        name = f.name
    try:
        env = dict(os.environ, TARNWIK_THREADS=str(threads))
        out = subprocess.run([sys.executable, "-c", MANY, str(sheet), name, str(seconds)], env=env, check=True,
                             capture_output=True, text=True).stdout.split()
    finally:
        os.unlink(name)
    return {"qps": float(out[0]), "digest": out[1], "cores_busy": float(out[2])}


def many_rate(sheet: Path, queries: list[str], threads: int) -> tuple[float, str]:
    r = many_run(sheet, queries, threads)
    return r["qps"], r["digest"]


def main() -> None:
    rng = random.Random(11)
    clean, typos, sheets = [], [], []
    for country, name in SHEETS:
        csv_path = need_data(country, name)
        sheet = build_sheet([csv_path], WORK / f"{country}-{Path(name).stem}.sheet", *country_args(country))
        rows = rng.sample(records(csv_path), min(QUERIES, len(records(csv_path))))
        g = tarnwik.Geocoder(str(sheet))
        cq = [clean_query(r) for r in rows]
        tq = [with_typo(r, rng) for r in rows]
        # Baseline: the exact address string looked up in a dict.
        table = {clean_query(r): (float(r["LAT"]), float(r["LON"])) for r in rows}
        ours_clean = rate(lambda q: g.geocode(q, 1), cq)
        ours_typo = rate(lambda q: g.geocode(q, 1), tq)
        base = rate(table.get, cq)
        print(f"{sheet.name}: {len(rows)} queries")
        print(f"  geocode(q, 1) clean:     {ours_clean:10.0f} q/s (target {CLEAN_TARGET}) "
              f"{verdict(ours_clean >= CLEAN_TARGET)}")
        print(f"  geocode(q, 1) one typo:  {ours_typo:10.0f} q/s (target {TYPO_TARGET}) "
              f"{verdict(ours_typo >= TYPO_TARGET)}")
        print(f"  dict lookup of the text: {base:10.0f} q/s; ratio geocode/dict {ours_clean / base:.4f}")
        clean += cq
        typos += tq
        sheets.append(sheet)

    # Batch throughput on the largest sheet's clean and misspelt queries.
    sheet = sheets[0]
    queries = clean[:QUERIES] + typos[:QUERIES]
    one, d1 = many_rate(sheet, queries, 1)
    two, d2 = many_rate(sheet, queries, 2)
    print(f"{sheet.name} geocode_many(k=1), {len(queries)} queries, {os.cpu_count()} processors here:")
    print(f"  1 thread:  {one:10.0f} q/s")
    print(f"  2 threads: {two:10.0f} q/s; speedup {two / one:.2f} (target {SPEEDUP_TARGET}) "
          f"{verdict(two / one >= SPEEDUP_TARGET)}; answers {'identical' if d1 == d2 else 'DIFFER'}")


if __name__ == "__main__":
    main()
