"""Shared helpers for the benchmarks: locating the real data and the builder."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
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


def build_sheet(csvs: list[Path], out: Path, *extra: str) -> Path:
    out.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([sheet_tool(), "build", "-o", str(out), *extra, *map(str, csvs)],
                   check=True, stderr=subprocess.DEVNULL)
    return out


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0
