"""The sheet builder on one million addresses: wall time and peak memory.

The input is made from the real address files, repeated with shifted
positions and renamed cities until it holds a million rows. The baseline,
measured in the same run, is a plain Python pass that parses the same CSV.

    python3 bench/bench_build.py [ROWS]
"""
from __future__ import annotations

import csv
import resource
import subprocess
import sys
import time

from _common import DATA, WORK, need_data, sheet_tool

TARGET_S = 30.0
TARGET_MIB = 2048


def make_input(rows: int):
    need_data()
    sources = sorted(p for p in DATA.glob("*/*.csv") if p.name != "postcodes.csv")
    out = WORK / f"addresses-{rows}.csv"
    if out.exists():
        return out
    out.parent.mkdir(parents=True, exist_ok=True)
    with out.open("w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow("LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID".split(","))
        n, copy = 0, 0
        while n < rows:
            for src in sources:
                with src.open(newline="") as s:
                    for r in csv.DictReader(s):
                        try:
                            lon = float(r["LON"]) + 0.3 * copy
                            lat = float(r["LAT"])
                        except ValueError:
                            continue
                        city = r["CITY"] + (f" {copy}" if copy else "")
                        w.writerow([f"{lon:.7f}", r["LAT"], r["NUMBER"], r["STREET"], r["UNIT"], city,
                                    r["DISTRICT"], r["REGION"], r["POSTCODE"], n])
                        n += 1
                        if n >= rows:
                            return out
            copy += 1
    return out


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    src = make_input(rows)

    t = time.perf_counter()
    with src.open(newline="") as f:
        parsed = sum(1 for _ in csv.reader(f))
    baseline = time.perf_counter() - t

    t = time.perf_counter()
    subprocess.run([sheet_tool(), "build", "-o", str(WORK / "million.sheet"), str(src)], check=True,
                   stderr=subprocess.DEVNULL)
    took = time.perf_counter() - t
    peak_mib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024

    print(f"input: {rows} addresses ({parsed - 1} rows parsed by the baseline)")
    print(f"build: {took:.1f} s (target < {TARGET_S} s) {'OK' if took < TARGET_S else 'MISSED'}; "
          f"peak RSS {peak_mib:.0f} MiB (target < {TARGET_MIB}) {'OK' if peak_mib < TARGET_MIB else 'MISSED'}")
    print(f"baseline (Python csv pass): {baseline:.1f} s; build / baseline = {took / baseline:.2f}")


if __name__ == "__main__":
    main()
