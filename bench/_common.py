"""Shared helpers for the benchmarks: locating the real data and the builder,
and the clocks the measurements are taken with."""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = Path(os.environ.get("TARNWIK_DATA", ROOT.parent / "shared" / "data"))
WORK = ROOT / "build" / "bench"


def need_data(*parts: str) -> Path:
    p = DATA.joinpath(*parts)
    if not p.exists():
        print(f"skipped: {p} is absent", file=sys.stderr)
        sys.exit(0)
    return p


def sheet_tool() -> str:
    tool = shutil.which("tarnwik-sheet")
    if not tool:
        sys.exit("tarnwik-sheet is not on PATH: run `pip install .` first")
    return tool


def country_args(country: str, data: Path | None = None) -> list[str]:
    """Builder options for a sheet of `country`, with the country's postcode
    places when the data has them."""
    postcodes = (data or DATA) / country / "postcodes.csv"
    return ["--country", country] + (["--postcodes", str(postcodes)] if postcodes.exists() else [])


def build_sheet(csvs: list[Path], out: Path, *extra: str) -> Path:
    out.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([sheet_tool(), "build", "-o", str(out), *extra, *map(str, csvs)],
                   check=True, stderr=subprocess.DEVNULL)
    return out


def run_measured(cmd: list[str]) -> dict:
    """Runs `cmd` to its end and returns its wall time, its CPU time and its
    own peak resident memory (from wait4, so other children do not count),
    with its exit status and output."""
    # Output goes to files: a builder's long list of skipped rows must not
    # fill a pipe nobody reads while the child runs.
    with tempfile.TemporaryFile("w+", encoding="utf-8", errors="replace") as out, \
            tempfile.TemporaryFile("w+", encoding="utf-8", errors="replace") as err:
        start = time.perf_counter()
        p = subprocess.Popen(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - start
        p.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    return {"returncode": p.returncode, "wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime,
            "peak_rss_kib": usage.ru_maxrss, "stdout": stdout, "stderr": stderr}


def build_sheet_measured(csvs: list[Path], out: Path, *extra: str) -> dict:
    """build_sheet with the builder's time, peak memory and the counts it
    prints (rows read, houses, streets, communes)."""
    out.parent.mkdir(parents=True, exist_ok=True)
    r = run_measured([sheet_tool(), "build", "-o", str(out), *extra, *map(str, csvs)])
    if r["returncode"] != 0:
        raise RuntimeError(f"tarnwik-sheet build {out.name} failed: {r['stderr'].strip()[-500:]}")
    counts = {k.replace(" ", "_"): int(v) for k, v in re.findall(r"^(rows read|rows skipped|houses|streets|communes): (\d+)$",
                                                               r["stderr"], re.M)}
    return {"sheet": out, "wall_s": r["wall_s"], "cpu_s": r["cpu_s"], "peak_rss_kib": r["peak_rss_kib"],
            "size_bytes": out.stat().st_size, **counts}


def proc_status_kib(field: str = "VmRSS") -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def rss_kib() -> int:
    return proc_status_kib("VmRSS")


def cpu_rate(call, items, seconds: float, star: bool = False) -> float:
    """Calls per second of CPU time of this thread, cycling over `items`
    (each passed as one argument, or unpacked when `star`). Thread CPU time
    keeps the figure per core on a machine busy with other work."""
    n = 0
    start = time.thread_time()
    while time.thread_time() - start < seconds:
        if star:
            for it in items:
                call(*it)
        else:
            for it in items:
                call(it)
        n += len(items)
    return n / (time.thread_time() - start)


def cpu_latencies(call, items) -> tuple[list[float], list]:
    """Thread CPU time of each call, in microseconds, and the answers."""
    clock = time.thread_time_ns
    us, answers = [], []
    for it in items:
        t = clock()
        a = call(it)
        us.append((clock() - t) / 1e3)
        answers.append(a)
    return us, answers


def percentile(values: list[float], p: float) -> float:
    """The p-th percentile by the nearest-rank rule (values need not be sorted)."""
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, max(0, int(len(s) * p / 100)))]


def verdict(ok: bool) -> str:
    return "OK" if ok else "MISSED"
