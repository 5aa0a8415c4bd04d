"""The benchmark report (bench/report.py) in a quick run on small synthetic
address files standing in for the Italian and Essen ones: it writes both
reports with every section, lists what it could not measure, and its query
classes are judged sensibly (a sheet's own clean addresses are found).
Skipped when the sheet builder is absent.
"""
from __future__ import annotations

import csv
import json
import math
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

TOOL = shutil.which("tarnwik-sheet")
REPORT = Path(__file__).resolve().parents[2] / "bench" / "report.py"

pytestmark = pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH")

HEADER = "LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID".split(",")
# (file under the data directory, city, postcode, lat, lon, streets)
FILES = [
    ("it/alessandria.csv", "Valmora", "15030", 44.90, 8.60, ["Via Roma", "Corso Cavour", "Piazza Garibaldi"]),
    ("de/essen.csv", "Essen", "", 51.45, 7.01, ["Kettwiger Str.", "Rüttenscheider Str.", "Am Markt"]),
]


def write_data(root: Path) -> None:
    """Streets 600 m apart, houses 25 m apart along each."""
    for name, city, postcode, lat0, lon0, streets in FILES:
        path = root / name
        path.parent.mkdir(parents=True)
        with path.open("w", newline="", encoding="utf-8") as f:
            w = csv.writer(f, lineterminator="\n")
            w.writerow(HEADER)
            for s, street in enumerate(streets):
                lat = lat0 + s * 600 / 111_320
                for n in range(1, 21):
                    lon = lon0 + n * 25 / (111_320 * math.cos(math.radians(lat)))
                    w.writerow([f"{lon:.7f}", f"{lat:.7f}", str(n), street, "", city, "", "", postcode,
                                f"{name}:{s}:{n}"])


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("benchreport")
    write_data(tmp / "data")
    r = subprocess.run([sys.executable, str(REPORT), "--quick", "--no-cpp", "--data", str(tmp / "data"),
                        "--work", str(tmp / "work"), "--out", str(tmp / "out")],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    return (json.loads((tmp / "out" / "report.json").read_text(encoding="utf-8")),
            (tmp / "out" / "report.md").read_text(encoding="utf-8"))


def test_json_has_every_part_for_the_files_present(report):
    rep, _ = report
    assert rep["run"]["quick"] is True
    for key in ("cpu_model", "cores", "memory_gib", "commit"):
        assert key in rep["machine"]
    assert len(rep["run"]["load_start"]) == 3 and len(rep["run"]["load_end"]) == 3
    present = {"it/alessandria.csv", "de/essen.csv"}
    for part in ("open", "geocode", "geocode_many"):
        assert set(rep[part]) == present, part
    assert set(rep["build"]["sheets"]) == present
    for s in rep["build"]["sheets"].values():
        assert s["houses"] == 60 and s["bytes_per_address"] > 0 and s["peak_mib"] > 0
    million = rep["build"]["million"]
    assert million["rows"] == million["baseline_rows"] == million["houses"] == 2000
    for o in rep["open"].values():
        assert o["queries"] == 200 and o["open_ms"] > 0
        assert o["after_queries"]["rss_kib"] >= o["before_open"]["rss_kib"] > 0
    assert rep["reverse"]["calls_per_s"] > 0


def test_absent_files_and_cpp_are_listed_as_skipped(report):
    rep, md = report
    skipped = "\n".join(rep["skipped"])
    assert "es/la-rioja.csv: absent" in skipped and "fr/limousin.csv: absent" in skipped
    assert "C++ benchmarks" in skipped and rep["cpp"]["ran"] is False
    verdicts = {t["goal"]: t["verdict"] for t in rep["targets"]}
    assert verdicts["normalize"] == "NOT MEASURED"
    assert verdicts["reverse in C++ (Essen, k=3, near houses)"] == "NOT MEASURED"
    assert "## Skipped" in md and "es/la-rioja.csv: absent" in md


def test_query_classes_per_sheet_and_their_judgement(report):
    rep, _ = report
    it = rep["geocode"]["it/alessandria.csv"]["classes"]
    essen = rep["geocode"]["de/essen.csv"]["classes"]
    assert set(it) == {"clean", "no_postcode", "abbreviated", "typo", "city_only", "nonsense"}
    # A sheet without postcodes has no separate class without them.
    assert set(essen) == {"clean", "abbreviated", "typo", "city_only", "nonsense"}
    assert it["clean"]["example"].endswith(", 15030 Valmora")
    assert it["abbreviated"]["example"].split(" ")[0] in {"V.", "C.so", "P.zza"}
    assert "Straße" in essen["abbreviated"]["example"] or "straße" in essen["abbreviated"]["example"]
    for classes in (it, essen):
        # Every clean address of a small clean sheet is its own house, and a
        # city's name alone finds the city.
        assert classes["clean"]["as_expected"] == 1.0
        assert classes["city_only"]["as_expected"] == 1.0
        for c in classes.values():
            assert c["per_s"] > 0 and 0 < c["median_us"] <= c["p99_us"]
    for m in rep["geocode_many"].values():
        assert m["identical"] is True and m["one"]["qps"] > 0 and m["two"]["qps"] > 0


def test_targets_table_and_markdown_sections(report):
    rep, md = report
    assert {t["verdict"] for t in rep["targets"]} <= {"OK", "MISSED", "NOT MEASURED"}
    goals = [t["goal"] for t in rep["targets"]]
    for goal in ("open de/essen.csv", "geocode(q, 1) clean, Python, one core (it/alessandria.csv)",
                 "geocode(q, 1) typo, Python, one core (de/essen.csv)", "reverse from Python (Essen, k=3)",
                 "geocode_many 2 threads / 1 thread (it/alessandria.csv)", "build of 2,000 addresses: time"):
        assert goal in goals
    measured = {t["goal"]: t for t in rep["targets"]}
    reverse = measured["reverse from Python (Essen, k=3)"]
    assert reverse["measured"] == pytest.approx(rep["reverse"]["calls_per_s"])
    assert reverse["verdict"] == ("OK" if reverse["measured"] >= 50_000 else "MISSED")
    for heading in ("# Benchmark report", "## Machine", "## Targets", "## Build", "## Open and resident memory",
                    "## geocode(q, 1) by query class", "### it/alessandria.csv", "## geocode_many", "## reverse",
                    "## C++ programs"):
        assert heading in md, heading
    assert "Quick mode" in md
