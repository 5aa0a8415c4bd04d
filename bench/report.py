"""Every benchmark in one run, written up as bench/report.md and
bench/report.json.

Sheets are built from the real address files (es/la-rioja.csv,
it/alessandria.csv and fr/limousin.csv with their countries' postcode places;
de/essen.csv, which has no postcodes, as it is); files that are absent are
skipped and listed as such. The run measures:

- the builder on each file and on one million addresses (wall time, peak
  resident memory, sheet bytes per address), beside a Python csv pass;
- opening each sheet (wall-clock median) and the resident memory of a fresh
  process after the open and after 10,000 queries;
- geocode(q, 1) per query class (thread CPU time: queries per second, median
  and 99th percentile per call), beside a dict lookup of the exact text;
- geocode_many with one and two worker threads (wall clock, fresh processes);
- reverse(lat, lon, 3) from Python on Essen, beside SciPy's cKDTree;
- the C++ programs normalize_bench, levenshtein_bench, reverse_bench and
  search_bench from a Release build in build/benchrep;
- the speed goals, each marked OK or MISSED.

    python3 bench/report.py [--cpp | --no-cpp] [--quick] [--data DIR] [--out DIR]

--cpp configures and builds the C++ programs first; without it they are run
only when build/benchrep already holds them up to date. --quick shrinks every
sample and duration so that the whole run takes seconds (for tests; its
figures mean nothing).
"""
from __future__ import annotations

import argparse
import datetime as dt
import json
import math
import os
import platform
import random
import re
import shutil
import subprocess
import sys
import time
import unicodedata
from dataclasses import dataclass
from pathlib import Path

import bench_build
import bench_geocode
import bench_open
import bench_reverse
from _common import DATA, ROOT, build_sheet_measured, cpu_latencies, cpu_rate, percentile, proc_status_kib, run_measured

HERE = Path(__file__).resolve().parent
CPP_DIR = ROOT / "build" / "benchrep"
CPP_TARGETS = ["normalize_bench", "levenshtein_bench", "reverse_bench", "search_bench"]

# (country, file, builder options beyond --country): Essen is the sheet
# without postcodes, built the way the other Essen benchmarks build it.
SHEETS = [("es", "la-rioja.csv", True), ("it", "alessandria.csv", True), ("fr", "limousin.csv", True),
          ("de", "essen.csv", False)]
HOUSE_RADIUS_M = 50.0

# Street-type abbreviations the engine reads back to the full word for these
# countries (checked on the real files: they find the same houses as the
# full word). Essen's register already abbreviates, so there the class is the
# type word written out instead.
ABBREVIATED = {
    "es": [("Avenida ", "Avda. "), ("Calle ", "C/ "), ("Plaza ", "Pza. "), ("Carretera ", "Ctra. ")],
    "it": [("Via ", "V. "), ("Piazza ", "P.zza "), ("Corso ", "C.so "), ("Viale ", "V.le ")],
    "fr": [("Rue ", "R. "), ("Avenue ", "Av. "), ("Place ", "Pl. "), ("Impasse ", "Imp. "), ("Allée ", "All. ")],
}
WRITTEN_OUT = {"de": [(" Str.", " Straße"), ("str.", "straße")]}  # suffixes

CLASSES = {
    "clean": "STREET NUMBER, POSTCODE CITY",
    "no_postcode": "STREET NUMBER, CITY",
    "abbreviated": "street type abbreviated",
    "typo": "one typo in the street",
    "city_only": "CITY",
    "nonsense": "random consonant words, no digits",
}
HOUSE_CLASSES = ("clean", "no_postcode", "abbreviated", "typo")

TARGETS = {
    "open_ms": 20.0,
    "build_s": 30.0,
    "build_mib": 2048.0,
    "normalize_per_s": 1e6,
    "automaton_build_us": 200.0,
    "automaton_cached_us": 1.0,
    "stream_ms": 2.0,
    "reverse_py_per_s": 50_000.0,
    "reverse_cpp_per_s": 200_000.0,
    "search_clean_us": 50.0,
    "search_typo_us": 300.0,
    "geocode_clean_per_s": 10_000.0,
    "geocode_typo_per_s": 2_000.0,
    "many_speedup": 1.8,
}


@dataclass
class Sizes:
    seconds: float  # per rate measurement
    latency_queries: int  # per class
    many_queries: int  # clean ones, as many misspelt
    many_seconds: float
    memory_queries: int
    opens: int
    build_rows: int
    reverse_points: int
    cpp_seconds: float
    cpp_queries: int


FULL = Sizes(seconds=1.5, latency_queries=2000, many_queries=2000, many_seconds=3.0, memory_queries=10_000,
             opens=30, build_rows=1_000_000, reverse_points=20_000, cpp_seconds=2.0, cpp_queries=1000)
QUICK = Sizes(seconds=0.05, latency_queries=40, many_queries=40, many_seconds=0.1, memory_queries=200, opens=3,
              build_rows=2_000, reverse_points=300, cpp_seconds=0.1, cpp_queries=50)


def log(msg: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


# --- the machine ------------------------------------------------------------

def machine_facts() -> dict:
    model = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem_kib = 0
    try:
        m = re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text())
        mem_kib = int(m.group(1)) if m else 0
    except OSError:
        pass
    import tarnwik
    return {"cpu_model": model or platform.processor(), "cores": os.cpu_count(),
            "cores_usable": len(os.sched_getaffinity(0)), "memory_gib": round(mem_kib / 2**20, 1),
            "python": platform.python_version(), "platform": platform.platform(),
            "module": getattr(tarnwik, "__file__", "?"), "commit": git_commit()}


def git_commit() -> str:
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
        return head + (" (src/ has uncommitted changes)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "?"


def load() -> list[float]:
    return [round(x, 2) for x in os.getloadavg()]


# --- queries ------------------------------------------------------------------

def fold(text: str) -> str:
    return "".join(c for c in unicodedata.normalize("NFD", text) if not unicodedata.combining(c)).casefold().strip()


def distance_m(lat1: float, lon1: float, lat2: float, lon2: float) -> float:
    p1, p2 = math.radians(lat1), math.radians(lat2)
    a = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(math.radians(lon2 - lon1) / 2) ** 2
    return 12_742_000 * math.asin(math.sqrt(min(1.0, a)))


def place(r: dict, postcode: bool = True) -> str:
    return " ".join(p for p in ((r["POSTCODE"].strip() if postcode else ""), r["CITY"].strip()) if p)


def retyped(street: str, country: str) -> str | None:
    for full, short in ABBREVIATED.get(country, []):
        if street.startswith(full):
            return short + street[len(full):]
    for short, full in WRITTEN_OUT.get(country, []):
        if street.endswith(short):
            return street[: len(street) - len(short)] + full
    return None


def nonsense(rng: random.Random) -> str:
    words = ["".join(rng.choice("bcdfghjklmnpqrstvwxz") for _ in range(rng.randint(4, 9)))
             for _ in range(rng.randint(2, 4))]
    return " ".join(w.capitalize() for w in words)


def query_classes(country: str, rows: list[dict], n: int, rng: random.Random) -> dict[str, list[tuple[str, dict]]]:
    """Per class, (query, record it was made from) pairs."""
    sample = rng.sample(rows, min(n, len(rows)))
    out: dict[str, list[tuple[str, dict]]] = {
        "clean": [(bench_geocode.clean_query(r), r) for r in sample],
    }
    with_pc = [r for r in sample if r["POSTCODE"].strip() and r["CITY"].strip()]
    if with_pc:
        out["no_postcode"] = [(f"{r['STREET'].strip()} {r['NUMBER'].strip()}, {place(r, False)}", r) for r in with_pc]
    typed = [(retyped(r["STREET"].strip(), country), r) for r in rows]
    typed = [(s, r) for s, r in typed if s]
    if typed:
        typed = rng.sample(typed, min(n, len(typed)))
        out["abbreviated"] = [(f"{s} {r['NUMBER'].strip()}, {place(r)}", r) for s, r in typed]
    out["typo"] = [(bench_geocode.with_typo(r, rng), r) for r in sample]
    with_city = [r for r in sample if r["CITY"].strip()]
    if with_city:
        out["city_only"] = [(r["CITY"].strip(), r) for r in with_city]
    out["nonsense"] = [(nonsense(rng), {}) for _ in range(len(sample))]
    return out


def as_expected(cls: str, r: dict, hits: list[dict]) -> bool:
    if cls == "nonsense":
        return not hits
    if not hits:
        return False
    h = hits[0]
    if cls == "city_only":
        return fold(h.get("commune") or "") == fold(r["CITY"])
    return (h.get("precision") == "house"
            and distance_m(h["lat"], h["lon"], float(r["LAT"]), float(r["LON"])) <= HOUSE_RADIUS_M)


# --- measurements ----------------------------------------------------------------

def geocode_classes(sheet: Path, classes: dict[str, list[tuple[str, dict]]], sizes: Sizes) -> dict:
    import tarnwik
    g = tarnwik.Geocoder(str(sheet))
    for q, _ in classes["clean"][:50]:  # page cache, per-thread caches
        g.geocode(q, 1)
    out: dict = {"classes": {}}
    for cls, pairs in classes.items():
        queries = [q for q, _ in pairs]
        us, answers = cpu_latencies(lambda q: g.geocode(q, 1), queries)
        good = sum(as_expected(cls, r, a) for (_, r), a in zip(pairs, answers))
        out["classes"][cls] = {
            "queries": len(queries), "per_s": cpu_rate(lambda q: g.geocode(q, 1), queries, sizes.seconds),
            "median_us": percentile(us, 50), "p99_us": percentile(us, 99),
            "as_expected": good / len(queries), "example": queries[0]}
    # Baseline: the exact clean text looked up in a dict of every clean text.
    table = {q: (float(r["LAT"]), float(r["LON"])) for q, r in classes["clean"]}
    clean = [q for q, _ in classes["clean"]]
    out["dict_per_s"] = cpu_rate(table.get, clean, sizes.seconds)
    out["clean_to_dict"] = out["classes"]["clean"]["per_s"] / out["dict_per_s"]
    return out


OPEN_CHILD = "open-child"


def open_child(sheet: str, warm: str, queries_file: str, opens: int) -> None:
    """Runs in a fresh process: open time, then resident memory after one more
    open and after the queries; prints JSON."""
    import tarnwik
    m = bench_open.measure(Path(sheet), Path(warm), opens)
    queries = json.loads(Path(queries_file).read_text(encoding="utf-8"))
    before = {"rss_kib": proc_status_kib("VmRSS"), "anon_kib": proc_status_kib("RssAnon")}
    g = tarnwik.Geocoder(sheet)
    opened = {"rss_kib": proc_status_kib("VmRSS"), "anon_kib": proc_status_kib("RssAnon")}
    for q in queries:
        g.geocode(q, 1)
    queried = {"rss_kib": proc_status_kib("VmRSS"), "anon_kib": proc_status_kib("RssAnon")}
    print(json.dumps({**m, "before_open": before, "after_open": opened, "after_queries": queried,
                      "queries": len(queries)}))


def open_and_memory(sheet: Path, warm: Path, queries: list[str], sizes: Sizes, work: Path) -> dict:
    qfile = work / f"{sheet.stem}-memory-queries.json"
    qfile.write_text(json.dumps(queries), encoding="utf-8")
    r = subprocess.run([sys.executable, str(HERE / "report.py"), OPEN_CHILD, str(sheet), str(warm), str(qfile),
                        str(sizes.opens)], capture_output=True, text=True, check=True)
    qfile.unlink()
    return json.loads(r.stdout)


def geocode_many(sheet: Path, classes: dict, sizes: Sizes) -> dict:
    queries = [q for q, _ in classes["clean"][: sizes.many_queries]] + \
              [q for q, _ in classes["typo"][: sizes.many_queries]]
    one = bench_geocode.many_run(sheet, queries, 1, sizes.many_seconds)
    two = bench_geocode.many_run(sheet, queries, 2, sizes.many_seconds)
    # Queries per second of process CPU time: what the threads cost, apart
    # from whether the machine had the cores free.
    for r in (one, two):
        r["per_cpu_s"] = r["qps"] / r["cores_busy"] if r["cores_busy"] > 0 else None
    return {"queries": len(queries), "one": one, "two": two, "ratio": two["qps"] / one["qps"],
            "identical": one["digest"] == two["digest"]}


# --- C++ programs ------------------------------------------------------------------

def cpp_ready(build: bool, build_dir: Path) -> tuple[bool, str]:
    """Whether the C++ benchmark programs can be run; builds them when asked."""
    if build:
        log(f"building the C++ benchmarks in {build_dir} (Release)")
        cfg = run_measured(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release", "-DTARNWIK_BENCH=ON"])
        if cfg["returncode"] != 0:
            return False, "configure failed: " + (cfg["stderr"] or cfg["stdout"]).strip()[-300:]
        b = run_measured(["cmake", "--build", str(build_dir), "-j2", "--target", *CPP_TARGETS])
        if b["returncode"] != 0:
            return False, "build failed: " + (b["stdout"] + b["stderr"]).strip()[-300:]
        return True, f"built in {b['wall_s']:.0f} s"
    if not (build_dir / "build.ninja").exists():
        return False, f"not built: run with --cpp to build {build_dir.relative_to(ROOT)}"
    ninja = shutil.which("ninja")
    if ninja:
        dry = subprocess.run([ninja, "-C", str(build_dir), "-n", *CPP_TARGETS], capture_output=True, text=True)
        if dry.returncode != 0 or "no work to do" not in dry.stdout:
            return False, "the programs are older than the sources: run with --cpp to rebuild them"
    return True, "up to date"


def run_cpp(name: str, *args: str) -> str:
    r = run_measured([str(CPP_DIR / "bench" / name), *args])
    # search_bench exits 2 when a goal is missed; its figures still stand.
    if r["returncode"] not in (0, 2):
        raise RuntimeError(f"{name} failed ({r['returncode']}): {r['stderr'].strip()[-300:]}")
    return r["stdout"]


def num(pattern: str, text: str, group: int = 1) -> float | None:
    m = re.search(pattern, text, re.M)
    return float(m.group(group)) if m else None


def parse_normalize(out: str) -> dict:
    return {"texts_per_s": num(r"normalize: (\d+) texts/s", out), "table_ms": num(r"table build: ([\d.]+) ms", out)}


def parse_levenshtein(out: str) -> dict:
    builds = [{"text": m.group(1).strip(), "d": int(m.group(2)), "chars": int(m.group(3)),
               "median_us": float(m.group(4)), "mean_us": float(m.group(5))}
              for m in re.finditer(r"^  (.+?)\s+d=(\d+)\s+(\d+) chars\s+median\s+([\d.]+) us\s+mean\s+([\d.]+) us",
                                   out, re.M)]
    return {
        "builds": builds,
        "build_20_d2_median_us": max((b["median_us"] for b in builds if b["chars"] == 20 and b["d"] == 2),
                                     default=None),
        "cache_first_us": num(r"first request ([\d.]+) us", out),
        "cache_later_us": num(r"later requests ([\d.]+) us each", out),
        "stream_keys": num(r"^stream .*?: (\d+) keys", out),
        "stream_median_us": num(r"automaton stream: median\s+([\d.]+) us", out),
        "stream_p90_us": num(r"automaton stream: .*?p90\s+([\d.]+) us", out),
        "scan_median_us": num(r"plain DP scan:\s+median\s+([\d.]+) us", out),
        "stream_mismatches": num(r"results differ: (\d+)", out),
    }


def parse_reverse_cpp(out: str) -> dict:
    return {"near_per_s": num(r"near houses:\s+(\d+) calls/s", out),
            "near_hits": num(r"near houses:\s+\d+ calls/s \(([\d.]+) hits/call", out),
            "box_per_s": num(r"bounding box:\s+(\d+) calls/s", out)}


def parse_search(out: str) -> dict:
    files: dict = {}
    blocks = re.split(r"^(?=\S+\.csv: )", out, flags=re.M)
    for b in blocks:
        m = re.match(r"(\S+\.csv): (\d+) houses", b)
        if not m:
            continue
        f = {"houses": int(m.group(2))}
        for kind in ("clean", "typo"):
            km = re.search(rf"^  {kind}:\s+median\s+([\d.]+) us\s+p99\s+([\d.]+) us.*?50 m:\s+([\d.]+) %", b, re.M)
            if km:
                f[kind] = {"median_us": float(km.group(1)), "p99_us": float(km.group(2)),
                           "house_near_pct": float(km.group(3))}
        f["baseline_ns"] = num(r"lookup of the normalised address (\d+) ns", b)
        files[m.group(1)] = f
    return files


def cpp_benchmarks(data: Path, lev_sheet: Path | None, sizes: Sizes) -> dict:
    out: dict = {}
    secs = f"{sizes.cpp_seconds:g}"
    log("C++: normalize_bench")
    out["normalize"] = parse_normalize(run_cpp("normalize_bench", str(data), secs))
    log("C++: levenshtein_bench")
    out["levenshtein"] = parse_levenshtein(run_cpp("levenshtein_bench", *([str(lev_sheet)] if lev_sheet else [])))
    out["levenshtein"]["stream_map"] = lev_sheet.name if lev_sheet else "synthetic"
    if (data / "de" / "essen.csv").exists():
        log("C++: reverse_bench")
        out["reverse"] = parse_reverse_cpp(run_cpp("reverse_bench", str(data), secs))
    log("C++: search_bench")
    out["search"] = parse_search(run_cpp("search_bench", str(data), str(sizes.cpp_queries)))
    # A program whose output no longer reads as expected shows up here rather
    # than as a silently empty figure.
    out["not_understood"] = [name for name, figure in (
        ("normalize_bench", out["normalize"]["texts_per_s"]),
        ("levenshtein_bench", out["levenshtein"]["build_20_d2_median_us"]),
        ("levenshtein_bench stream", out["levenshtein"]["stream_median_us"]),
        ("reverse_bench", out.get("reverse", {"near_per_s": 0})["near_per_s"]),
        ("search_bench", out["search"] or None)) if figure is None]
    return out


# --- the run -------------------------------------------------------------------------

def run(args: argparse.Namespace) -> dict:
    sizes = QUICK if args.quick else FULL
    data, work = args.data, args.work
    work.mkdir(parents=True, exist_ok=True)
    started = time.time()
    report: dict = {"run": {"started_utc": dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S"),
                            "command": "python3 bench/report.py " + " ".join(args.argv), "quick": args.quick,
                            "data": str(data), "load_start": load()},
                    "machine": machine_facts(), "skipped": []}
    skipped = report["skipped"]
    if not shutil.which("tarnwik-sheet"):
        raise SystemExit("tarnwik-sheet is not on PATH: run `pip install .` first")

    # Sheets.
    sheets: dict[str, dict] = {}
    for country, name, with_postcodes in SHEETS:
        csv_path = data / country / name
        if not csv_path.exists():
            skipped.append(f"{country}/{name}: absent")
            continue
        log(f"building {country}/{name}")
        opts = ["--country", country]
        if with_postcodes and (data / country / "postcodes.csv").exists():
            opts += ["--postcodes", str(data / country / "postcodes.csv")]
        b = build_sheet_measured([csv_path], work / f"{country}-{Path(name).stem}.sheet", *opts)
        sheets[f"{country}/{name}"] = {"country": country, "csv": csv_path, "sheet": b["sheet"],
                                       "postcodes": "--postcodes" in opts, "build": b}
    report["build"] = {"sheets": {k: {"postcodes": s["postcodes"], "wall_s": s["build"]["wall_s"],
                                      "cpu_s": s["build"]["cpu_s"], "peak_mib": s["build"]["peak_rss_kib"] / 1024,
                                      "rows_read": s["build"].get("rows_read"), "houses": s["build"].get("houses"),
                                      "streets": s["build"].get("streets"), "communes": s["build"].get("communes"),
                                      "size_bytes": s["build"]["size_bytes"],
                                      "bytes_per_address": s["build"]["size_bytes"] / max(1, s["build"].get("houses") or 0)}
                                  for k, s in sheets.items()}}
    if sheets:
        log(f"building {sizes.build_rows} addresses")
        m = bench_build.measure(sizes.build_rows, data, work)
        m["bytes_per_address"] = m["size_bytes"] / max(1, m["houses"] or 0)
        report["build"]["million"] = m
    else:
        skipped.append("one-million build: no address files")

    warm = build_sheet_measured([ROOT / "examples" / "demo-addresses.csv"], work / "demo.sheet",
                                "--country", "it")["sheet"]

    # Queries, open and memory, geocode classes, geocode_many.
    report["open"], report["geocode"], report["geocode_many"] = {}, {}, {}
    rng = random.Random(11)
    for key, s in sheets.items():
        rows = bench_geocode.records(s["csv"])
        if not rows:
            skipped.append(f"{key}: no address records with a street and a number")
            continue
        classes = query_classes(s["country"], rows, sizes.latency_queries, rng)
        mix = [q for pairs in classes.values() for q, _ in pairs]
        mix = (mix * (sizes.memory_queries // len(mix) + 1))[: sizes.memory_queries]
        random.Random(5).shuffle(mix)
        log(f"{key}: open and memory")
        report["open"][key] = open_and_memory(s["sheet"], warm, mix, sizes, work)
        log(f"{key}: geocode by query class")
        report["geocode"][key] = geocode_classes(s["sheet"], classes, sizes)
        log(f"{key}: geocode_many on 1 and 2 threads")
        report["geocode_many"][key] = geocode_many(s["sheet"], classes, sizes)

    # Reverse from Python.
    essen = sheets.get("de/essen.csv")
    if essen:
        log("reverse on Essen")
        report["reverse"] = bench_reverse.measure(essen["csv"], essen["sheet"], sizes.reverse_points, sizes.seconds)
    else:
        skipped.append("reverse from Python: de/essen.csv absent")

    # C++.
    if args.cpp is False:
        report["cpp"] = {"ran": False, "why": "--no-cpp"}
    else:
        ok, why = cpp_ready(bool(args.cpp), CPP_DIR)
        report["cpp"] = {"ran": ok, "why": why}
        if ok:
            lev = (essen or next(iter(sheets.values()), None) or {}).get("sheet")
            report["cpp"].update(cpp_benchmarks(data, lev, sizes))
            skipped += [f"{name}: output not understood" for name in report["cpp"]["not_understood"]]
    if not report["cpp"]["ran"]:
        skipped.append(f"C++ benchmarks: {report['cpp']['why']}")

    report["targets"] = targets(report)
    report["run"]["load_end"] = load()
    report["run"]["duration_s"] = round(time.time() - started, 1)
    return report


def targets(rep: dict) -> list[dict]:
    rows: list[dict] = []

    def add(goal: str, limit: str, measured: float | None, fmt: str, ok: bool | None, clock: str) -> None:
        rows.append({"goal": goal, "target": limit, "measured": None if measured is None else float(measured),
                     "shown": "—" if measured is None else fmt.format(measured),
                     "verdict": "NOT MEASURED" if measured is None or ok is None else ("OK" if ok else "MISSED"),
                     "clock": clock})

    t = TARGETS
    for key, o in rep.get("open", {}).items():
        add(f"open {key}", f"≤ {t['open_ms']:g} ms", o["open_ms"], "{:.2f} ms", o["open_ms"] <= t["open_ms"], "wall")
    mil = rep.get("build", {}).get("million")
    rows_note = f"{mil['rows']:,} addresses" if mil else "1,000,000 addresses"
    add(f"build of {rows_note}: time", f"≤ {t['build_s']:g} s", mil and mil["build_s"], "{:.1f} s",
        mil and mil["build_s"] <= t["build_s"], "wall")
    add(f"build of {rows_note}: peak memory", "≤ 2 GB", mil and mil["peak_mib"], "{:.0f} MiB",
        mil and mil["peak_mib"] <= t["build_mib"], "—")
    cpp = rep.get("cpp", {})
    nrm = cpp.get("normalize", {}).get("texts_per_s")
    add("normalize", "≥ 1,000,000 texts/s", nrm, "{:,.0f} texts/s", nrm and nrm >= t["normalize_per_s"], "wall")
    lev = cpp.get("levenshtein", {})
    b = lev.get("build_20_d2_median_us")
    add("automaton build (20 characters, distance 2, median)", "≤ 200 µs", b, "{:.1f} µs",
        b is not None and b <= t["automaton_build_us"], "wall")
    c = lev.get("cache_later_us")
    add("automaton from the per-thread cache", "≤ 1 µs", c, "{:.3f} µs", c is not None and c <= t["automaton_cached_us"],
        "wall")
    st = lev.get("stream_median_us")
    add(f"starts-with stream of a street map ({lev.get('stream_map', '—')}, median)", "≤ 2 ms",
        None if st is None else st / 1000, "{:.3f} ms", st is not None and st / 1000 <= t["stream_ms"], "wall")
    rv = rep.get("reverse", {}).get("calls_per_s")
    add("reverse from Python (Essen, k=3)", "≥ 50,000 /s", rv, "{:,.0f} /s", rv and rv >= t["reverse_py_per_s"],
        "thread CPU")
    rc = cpp.get("reverse", {}).get("near_per_s")
    add("reverse in C++ (Essen, k=3, near houses)", "≥ 200,000 /s", rc, "{:,.0f} /s",
        rc and rc >= t["reverse_cpp_per_s"], "thread CPU")
    for f, s in cpp.get("search", {}).items():
        if "clean" in s:
            add(f"search clean, C++ median ({f})", "≤ 50 µs", s["clean"]["median_us"], "{:.1f} µs",
                s["clean"]["median_us"] <= t["search_clean_us"], "thread CPU")
        if "typo" in s:
            add(f"search one typo, C++ median ({f})", "≤ 300 µs", s["typo"]["median_us"], "{:.1f} µs",
                s["typo"]["median_us"] <= t["search_typo_us"], "thread CPU")
    if not cpp.get("search"):
        add("search clean / typo, C++ median", "≤ 50 µs / ≤ 300 µs", None, "", None, "thread CPU")
    for key, g in rep.get("geocode", {}).items():
        for cls, limit, tk in (("clean", "≥ 10,000 /s", "geocode_clean_per_s"), ("typo", "≥ 2,000 /s",
                                                                                    "geocode_typo_per_s")):
            v = g["classes"].get(cls, {}).get("per_s")
            add(f"geocode(q, 1) {cls}, Python, one core ({key})", limit, v, "{:,.0f} /s", v and v >= t[tk],
                "thread CPU")
    for key, m in rep.get("geocode_many", {}).items():
        add(f"geocode_many 2 threads / 1 thread ({key})", "≥ 1.8×", m["ratio"], "{:.2f}×",
            m["ratio"] >= t["many_speedup"], "wall")
    return rows


# --- writing ---------------------------------------------------------------------------

def jsonable(x):
    if isinstance(x, dict):
        return {str(k): jsonable(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [jsonable(v) for v in x]
    if isinstance(x, Path):
        return str(x)
    if isinstance(x, float) and not math.isfinite(x):
        return None
    return x


def table(head: list[str], rows: list[list]) -> list[str]:
    out = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return out


def mib(kib: float) -> str:
    return f"{kib / 1024:.1f}"


def markdown(rep: dict) -> str:
    run_, mach = rep["run"], rep["machine"]
    L = ["# Benchmark report", ""]
    if run_["quick"]:
        L += ["**Quick mode: tiny samples and durations; the figures below mean nothing.**", ""]
    L += [f"`{run_['command']}` — {run_['started_utc']} UTC, {run_['duration_s']:.0f} s, commit {mach['commit']}.", ""]
    L += ["## Machine", ""]
    L += table(["", ""], [
        ["CPU", mach["cpu_model"]], ["cores (usable)", f"{mach['cores']} ({mach['cores_usable']})"],
        ["memory", f"{mach['memory_gib']} GiB"], ["Python", mach["python"]],
        ["load average (1, 5, 15 min) at start", ", ".join(map(str, run_["load_start"]))],
        ["load average at end", ", ".join(map(str, run_["load_end"]))],
    ])
    L += ["", "The machine may be shared with other work (see the load averages). Per-query figures are taken "
              "in thread CPU time, which other processes do not inflate; wall-clock figures (builds, opens, "
              "geocode_many, the normaliser and automaton programs) are marked as such and suffer from a "
              "loaded machine.", ""]

    L += ["## Targets", ""]
    L += table(["goal", "target", "measured", "clock", "verdict"],
               [[r["goal"], r["target"], r["shown"], r["clock"], f"**{r['verdict']}**" if r["verdict"] != "OK"
                 else "OK"] for r in rep["targets"]])
    L += ["", f"Load average at start and end of the run: {run_['load_start'][0]} and {run_['load_end'][0]} on "
              f"{mach['cores_usable']} usable cores. Wall-clock rows, geocode_many's ratio above all, depend on the "
              "cores being free.", ""]

    b = rep.get("build", {})
    L += ["## Build (tarnwik-sheet build, wall clock)", ""]
    rows = [[k, "yes" if s["postcodes"] else "no", f"{s['houses']:,}" if s["houses"] else "—",
             f"{s['wall_s']:.2f}", f"{s['cpu_s']:.2f}", f"{s['peak_mib']:.0f}", f"{s['size_bytes'] / 1e6:.2f}",
             f"{s['bytes_per_address']:.1f}"] for k, s in b.get("sheets", {}).items()]
    m = b.get("million")
    if m:
        rows.append([f"{m['rows']:,} addresses (real files repeated, shifted)", "no",
                     f"{m['houses']:,}" if m["houses"] else "—", f"{m['build_s']:.2f}", f"{m['build_cpu_s']:.2f}",
                     f"{m['peak_mib']:.0f}", f"{m['size_bytes'] / 1e6:.2f}", f"{m['bytes_per_address']:.1f}"])
    L += table(["input", "postcode places", "houses", "wall s", "CPU s", "peak MiB", "sheet MB", "bytes/address"], rows)
    L += ["", "A sheet built with postcode places holds every place of the country's postcode table as a commune, "
              "so its bytes per address overstate the cost of the addresses themselves on small files."]
    if m:
        L += ["", f"Baseline: a Python csv pass over the same {m['rows']:,} rows takes {m['baseline_s']:.2f} s; "
                  f"build / baseline = {m['build_s'] / m['baseline_s']:.2f}."]
    L += [""]

    L += ["## Open and resident memory (fresh process per sheet)", ""]
    L += ["Open time is the wall-clock median of repeated opens, beside reading the whole file. Memory is "
          "VmRSS (RssAnon: heap and stacks) of the process after the process-wide tables exist, after one open "
          "and after the queries (a mix of every query class below, k=1).", ""]
    rows = []
    for k, o in rep.get("open", {}).items():
        rows.append([k, f"{o['size_bytes'] / 2**20:.1f}", f"{o['open_ms']:.2f}", f"{o['read_ms']:.2f}",
                     mib(o["tables_kib"]),
                     f"{mib(o['before_open']['rss_kib'])} ({mib(o['before_open']['anon_kib'])})",
                     f"{mib(o['after_open']['rss_kib'])} ({mib(o['after_open']['anon_kib'])})",
                     f"{mib(o['after_queries']['rss_kib'])} ({mib(o['after_queries']['anon_kib'])})",
                     f"{o['queries']:,}"])
    L += table(["sheet", "MiB", "open ms", "read ms", "tables MiB", "before open", "after open",
                "after queries", "queries"], rows)
    L += [""]

    L += ["## geocode(q, 1) by query class (Python, one core, thread CPU time)", ""]
    L += ["Per class: queries per second cycling over the class's queries, the median and 99th percentile of "
          "one call, and the share answered as expected (house classes: first hit a house within 50 m of the "
          "record; city only: first hit in that city; nonsense: no answer). Classes: " +
          "; ".join(f"{k} = {v}" for k, v in CLASSES.items()) + ". Abbreviations used: " +
          "; ".join(f"{c}: " + ", ".join(f"{a.strip()}→{b.strip()}" for a, b in v) for c, v in ABBREVIATED.items()) +
          "; de (Essen, whose register writes Str.): " +
          ", ".join(f"{a.strip()}→{b.strip()}" for a, b in WRITTEN_OUT["de"]) + " (written out).", ""]
    for k, g in rep.get("geocode", {}).items():
        L += [f"### {k}", ""]
        L += table(["class", "queries", "q/s", "median µs", "p99 µs", "as expected", "example"],
                   [[c, v["queries"], f"{v['per_s']:,.0f}", f"{v['median_us']:.1f}", f"{v['p99_us']:.1f}",
                     f"{100 * v['as_expected']:.1f} %", f"`{v['example']}`"] for c, v in g["classes"].items()])
        L += ["", f"Baseline: dict lookup of the exact clean text {g['dict_per_s']:,.0f} /s; "
                  f"geocode clean / dict = {g['clean_to_dict']:.5f} ({1 / g['clean_to_dict']:,.0f}× slower).", ""]

    L += ["## geocode_many (wall clock, fresh process per thread count)", ""]
    L += ["The clean and misspelt queries of each sheet in one list, k=1, TARNWIK_THREADS=1 then 2. "
          "\"cores busy\" is the process's CPU time over its wall time: below the thread count when other work "
          "held the cores. \"q per CPU s\" is the throughput per second of process CPU time, which stays level "
          "from one thread to two when the threads do not get in each other's way; the ratio and its goal are "
          "wall clock.", ""]

    def per_cpu(r: dict) -> str:
        return f"{r['per_cpu_s']:,.0f}" if r.get("per_cpu_s") else "—"

    L += table(["sheet", "queries", "1 thread q/s", "cores busy", "q per CPU s", "2 threads q/s", "cores busy",
                "q per CPU s", "ratio", "answers"],
               [[k, m["queries"], f"{m['one']['qps']:,.0f}", f"{m['one']['cores_busy']:.2f}", per_cpu(m["one"]),
                 f"{m['two']['qps']:,.0f}", f"{m['two']['cores_busy']:.2f}", per_cpu(m["two"]), f"{m['ratio']:.2f}",
                 "identical" if m["identical"] else "**DIFFER**"] for k, m in rep.get("geocode_many", {}).items()])
    L += [""]

    L += ["## reverse (Essen, k=3, thread CPU time)", ""]
    r = rep.get("reverse")
    if r:
        L += [f"{r['points']:,} points: house positions moved by up to about 200 m.", ""]
        rows = [["tarnwik reverse(lat, lon, 3), Python", f"{r['calls_per_s']:,.0f}", "1"]]
        if r.get("kdtree"):
            kd = r["kdtree"]
            rows.append(["SciPy cKDTree.query(k=3), one point per call", f"{kd['calls_per_s']:,.0f}",
                         f"{kd['calls_per_s'] / r['calls_per_s']:.2f}"])
            rows.append(["SciPy cKDTree.query(k=3), all points in one call", f"{kd['batch_points_per_s']:,.0f}",
                         f"{kd['batch_points_per_s'] / r['calls_per_s']:.2f}"])
        L += table(["what", "calls/s", "relative to tarnwik"], rows)
        if not r.get("kdtree"):
            L += ["", f"No k-d tree baseline: {r.get('kdtree_missing', 'scipy is not importable')}."]
    else:
        L += ["Not measured (de/essen.csv absent)."]
    L += [""]

    cpp = rep.get("cpp", {})
    L += ["## C++ programs (Release build in build/benchrep)", ""]
    if not cpp.get("ran"):
        L += [f"Not run: {cpp.get('why')}.", ""]
    else:
        n = cpp.get("normalize", {})
        lev = cpp.get("levenshtein", {})
        rc = cpp.get("reverse", {})
        rows = [["normalize_bench (wall)", "texts/s", f"{n.get('texts_per_s') or 0:,.0f}"],
                ["levenshtein_bench (wall)", "cache: first / later request",
                 f"{lev.get('cache_first_us')} µs / {lev.get('cache_later_us')} µs"],
                ["", f"stream of {lev.get('stream_map')} ({lev.get('stream_keys') or 0:.0f} keys): median / p90",
                 f"{lev.get('stream_median_us')} µs / {lev.get('stream_p90_us')} µs"],
                ["", "plain edit-distance scan of every key, median", f"{lev.get('scan_median_us')} µs"]]
        rows += [["", f"build \"{x['text']}\" d={x['d']} ({x['chars']} chars), median", f"{x['median_us']} µs"]
                 for x in lev.get("builds", [])]
        if rc:
            rows += [["reverse_bench (thread CPU)", "k=3 near houses", f"{rc.get('near_per_s') or 0:,.0f} /s"],
                     ["", "k=3 anywhere in the bounding box", f"{rc.get('box_per_s') or 0:,.0f} /s"]]
        L += table(["program", "figure", "value"], rows)
        L += ["", "search_bench (thread CPU time per query; baseline: unordered_map lookup of the normalised "
                  "address):", ""]
        L += table(["file", "clean median µs", "clean p99 µs", "typo median µs", "typo p99 µs",
                    "first hit house ≤ 50 m (clean / typo)", "baseline ns", "clean / baseline"],
                   [[f, s.get("clean", {}).get("median_us"), s.get("clean", {}).get("p99_us"),
                     s.get("typo", {}).get("median_us"), s.get("typo", {}).get("p99_us"),
                     f"{s.get('clean', {}).get('house_near_pct')} % / {s.get('typo', {}).get('house_near_pct')} %",
                     s.get("baseline_ns"),
                     f"{s['clean']['median_us'] * 1000 / s['baseline_ns']:.0f}×" if s.get("baseline_ns") and
                     "clean" in s else "—"] for f, s in cpp.get("search", {}).items()])
        L += [""]

    if rep["skipped"]:
        L += ["## Skipped", ""] + [f"- {s}" for s in rep["skipped"]] + [""]
    return "\n".join(L)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == [OPEN_CHILD]:
        open_child(argv[1], argv[2], argv[3], int(argv[4]))
        return 0
    ap = argparse.ArgumentParser(description="Run every benchmark and write report.md and report.json.")
    cpp = ap.add_mutually_exclusive_group()
    cpp.add_argument("--cpp", dest="cpp", action="store_true", default=None,
                     help="configure and build the C++ benchmark programs in build/benchrep first")
    cpp.add_argument("--no-cpp", dest="cpp", action="store_false", help="leave the C++ programs out")
    ap.add_argument("--quick", action="store_true", help="tiny samples and durations (for tests)")
    ap.add_argument("--data", type=Path, default=DATA, help="the address data (default ../shared/data)")
    ap.add_argument("--work", type=Path, default=CPP_DIR / "work", help="where sheets and inputs are built")
    ap.add_argument("--out", type=Path, default=HERE, help="where report.md and report.json go")
    args = ap.parse_args(argv)
    args.argv = argv
    rep = jsonable(run(args))
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "report.json").write_text(json.dumps(rep, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    (args.out / "report.md").write_text(markdown(rep), encoding="utf-8")
    log(f"wrote {args.out / 'report.md'} and {args.out / 'report.json'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
