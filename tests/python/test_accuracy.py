"""The accuracy harness (bench/accuracy.py) in a quick run on small synthetic
address files: it writes both reports with the expected structure, and on a
clean sheet every record is found by its own reference address. Skipped when
the sheet builder is absent.
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
HARNESS = Path(__file__).resolve().parents[2] / "bench" / "accuracy.py"

pytestmark = pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH")

HEADER = "LON,LAT,NUMBER,STREET,UNIT,CITY,DISTRICT,REGION,POSTCODE,ID".split(",")

# country -> (city, postcode, lat, lon, streets); numbers with suffixes as the
# sources write them.
TOWNS = {
    "it": [("Valmora", "15030", 44.90, 8.60, ["Via Roma", "Corso Cavour", "Piazza Garibaldi"]),
           ("Borgo Lieto", "15040", 44.95, 8.70, ["Viale Manzoni", "Via Niccolò Tommaseo"])],
    "fr": [("Saint-Aurèle", "19100", 45.15, 1.53, ["Rue des Lilas", "Avenue Jean Jaurès", "Place du Marché"])],
}
NUMBERS = {"it": ["1", "2", "3", "3/B", "4", "5", "6", "7"], "fr": ["1", "2", "3", "4", "5BIS", "5", "6", "7"]}


def write_data(root: Path) -> dict[str, int]:
    """One CSV per country; streets 600 m apart, houses 25 m apart along
    each. Returns the row count per file."""
    rows = {}
    for country, towns in TOWNS.items():
        path = root / country / "synthetic.csv"
        path.parent.mkdir(parents=True)
        with open(path, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f, lineterminator="\n")
            w.writerow(HEADER)
            n = 0
            for city, postcode, lat, lon, streets in towns:
                for s, street in enumerate(streets):
                    for i, number in enumerate(NUMBERS[country]):
                        y = lat + s * 0.0054
                        x = lon + i * 25 / (111_320 * math.cos(math.radians(lat)))
                        w.writerow([f"{x:.7f}", f"{y:.7f}", number, street, "", city, "", "", postcode, n])
                        n += 1
        rows[f"{country}/synthetic.csv"] = n
    return rows


def run(tmp_path: Path, data: Path, *extra: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(HARNESS), "--data", str(data), "--out", str(tmp_path / "out"),
                           "--work", str(tmp_path / "work"), *extra], capture_output=True, text=True, timeout=120)


def test_quick_run_writes_both_reports_and_finds_every_clean_reference(tmp_path):
    rows = write_data(tmp_path / "data")
    done = run(tmp_path, tmp_path / "data", "-n", "30", "--seed", "5")
    assert done.returncode == 0, done.stderr

    report = json.loads((tmp_path / "out" / "accuracy.json").read_text(encoding="utf-8"))
    assert (report["n"], report["seed"]) == (30, 5)
    assert report["date"] and report["commit"]
    assert sorted(e["file"] for e in report["files"]) == sorted(rows)
    forms = [f["name"] for f in report["forms"]]
    for entry in report["files"]:
        assert entry["sampled"] == min(30, rows[entry["file"]])
        # Forms meant for one country only appear for it.
        expected = {f["name"] for f in report["forms"] if f["countries"] is None or entry["country"] in f["countries"]}
        assert set(entry["forms"]) == expected
        ref = entry["forms"]["reference"]
        assert ref["n"] == entry["sampled"]
        assert ref["house"] == 1.0, (entry["file"], ref["failing_examples"])
        assert ref["failing_examples"] == []
        for name, cell in entry["forms"].items():
            if cell["n"]:
                total = cell["house"] + cell["street_level"] + cell["wrong"] + cell["none"]
                assert total == pytest.approx(1.0, abs=1e-3), name
                assert sum(cell["counts"].values()) == cell["n"], name
        # A street without a number is answered on that street, not as a house.
        assert entry["forms"]["street_only"]["street_level"] == 1.0
    assert "street_number" in forms

    md = (tmp_path / "out" / "accuracy.md").read_text(encoding="utf-8")
    assert "-n 30 --seed 5" in md and report["commit"] in md
    for name in rows:
        section = md.split(name, 1)[1].split("\n## ", 1)[0]
        assert "| form | query | N | house | street level | wrong | none | ms/query |" in section
        ref_row = next(line for line in section.splitlines() if line.startswith("| reference |"))
        assert f"| {min(30, rows[name])} | **100.0 %** |" in ref_row


def test_absent_data_is_skipped_without_writing(tmp_path):
    done = run(tmp_path, tmp_path / "nowhere")
    assert done.returncode == 0
    assert "skipped" in done.stderr
    assert not (tmp_path / "out").exists()
