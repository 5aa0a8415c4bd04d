"""Opening a sheet: time per open and resident memory it adds.

Opening maps the file and validates its sections without copying them, so it
should cost far less than reading the file once. The baseline, measured in
the same run, is reading the whole file into memory.

    python3 bench/bench_open.py            # the sheet of de/essen.csv
"""
from __future__ import annotations

import gc
import statistics
import time
from pathlib import Path

import tarnwik

from _common import ROOT, WORK, build_sheet, need_data, rss_kib, verdict

TARGET_MS = 20.0


def measure(sheet: Path, warm_sheet: Path, opens: int = 30) -> dict:
    """Median open time of `sheet` against reading it whole, and the resident
    memory that the first open in this process and one more sheet add."""
    size = sheet.stat().st_size

    # The first open in a process also builds process-wide tables (Unicode
    # data, built-in rules); open a small sheet first so that the figure is
    # what one more sheet costs.
    rss_start = rss_kib()
    warm = tarnwik.Geocoder(str(warm_sheet))
    first_kib = rss_kib() - rss_start
    rss0 = rss_kib()
    g = tarnwik.Geocoder(str(sheet))
    grown_kib = rss_kib() - rss0
    del g, warm
    gc.collect()

    times, reads = [], []
    for _ in range(opens):
        t = time.perf_counter()
        g = tarnwik.Geocoder(str(sheet))
        times.append(time.perf_counter() - t)
        del g
        t = time.perf_counter()
        with open(sheet, "rb") as f:
            f.read()
        reads.append(time.perf_counter() - t)
    return {"size_bytes": size, "open_ms": statistics.median(times) * 1e3,
            "read_ms": statistics.median(reads) * 1e3, "tables_kib": first_kib, "open_rss_kib": grown_kib}


def main() -> None:
    csv = need_data("de", "essen.csv")
    sheet = build_sheet([csv], WORK / "essen.sheet", "--country", "de")
    demo = build_sheet([ROOT / "examples" / "demo-addresses.csv"], WORK / "demo.sheet", "--country", "it")
    m = measure(sheet, demo)
    size, o, r = m["size_bytes"], m["open_ms"], m["read_ms"]
    print(f"sheet: {sheet.name}, {size / 1e6:.1f} MB")
    print(f"open:           median {o:.2f} ms (target < {TARGET_MS} ms) {verdict(o < TARGET_MS)}")
    print(f"baseline read:  median {r:.2f} ms; open / read = {o / r:.2f}")
    print(f"RSS of the process-wide tables (first open in a process): +{m['tables_kib'] / 1024:.1f} MiB")
    print(f"RSS after open: +{m['open_rss_kib'] / 1024:.1f} MiB (sheet {size / 2**20:.1f} MiB) "
          f"{verdict(m['open_rss_kib'] * 1024 < size)}")


if __name__ == "__main__":
    main()
