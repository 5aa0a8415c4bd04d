"""The sheet builder on one million addresses: wall time and peak memory.

The input is made from the real address files, repeated with shifted
positions and renamed cities until it holds a million rows. The baseline,
measured in the same run, is a plain Python pass that parses the same CSV.

    python3 bench/bench_build.py [ROWS]
"""
from __future__ import annotations

import csv
import sys
import time
from pathlib import Path

from _common import DATA, WORK, build_sheet_measured, need_data, verdict

TARGET_S = 30.0
TARGET_MIB = 2048


def make_input(rows: int, data: Path = DATA, work: Path = WORK) -> Path:
    sources = sorted(p for p in data.glob("*/*.csv") if p.name != "postcodes.csv")
    if not sources:
        raise FileNotFoundError(f"no address files under {data}")
    out = work / f"addresses-{rows}.csv"
    if out.exists():
        return out
    out.parent.mkdir(parents=True, exist_ok=True)
    # Written under another name first, so an interrupted run leaves no
    # short file behind to be taken for the whole input next time.
    part = out.with_suffix(".part")
    with part.open("w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow("LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID".split(","))
        n, copy = 0, 0
        while n < rows:
            before = n
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
                            break
                    if n >= rows:
                        break
            if n == before:
                raise ValueError(f"no usable address rows under {data}")
            copy += 1
    part.replace(out)
    return out


def measure(rows: int, data: Path = DATA, work: Path = WORK) -> dict:
    """Wall time and peak resident memory of the builder on `rows` addresses,
    beside a plain Python csv pass over the same file."""
    src = make_input(rows, data, work)

    t = time.perf_counter()
    with src.open(newline="") as f:
        parsed = sum(1 for _ in csv.reader(f))
    baseline = time.perf_counter() - t

    b = build_sheet_measured([src], work / f"million-{rows}.sheet")
    return {"rows": rows, "baseline_rows": parsed - 1, "houses": b.get("houses"), "build_s": b["wall_s"],
            "build_cpu_s": b["cpu_s"], "peak_mib": b["peak_rss_kib"] / 1024, "size_bytes": b["size_bytes"],
            "baseline_s": baseline}


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    need_data()
    m = measure(rows)
    took, peak_mib = m["build_s"], m["peak_mib"]
    print(f"input: {rows} addresses ({m['baseline_rows']} rows parsed by the baseline)")
    print(f"build: {took:.1f} s (target < {TARGET_S} s) {verdict(took < TARGET_S)}; "
          f"peak RSS {peak_mib:.0f} MiB (target < {TARGET_MIB}) {verdict(peak_mib < TARGET_MIB)}")
    print(f"baseline (Python csv pass): {m['baseline_s']:.1f} s; build / baseline = {took / m['baseline_s']:.2f}")


if __name__ == "__main__":
    main()
