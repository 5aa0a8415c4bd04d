"""`tarnwik-sheet build --parser/--rank`: sheets that carry a token labeller
and a rank model, and model files the builder refuses.

The command is the installed one found on PATH; without it these tests skip.
"""
from __future__ import annotations

import json
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

TOOL = shutil.which("tarnwik-sheet")
pytestmark = pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH")

ADDRESSES = Path(__file__).resolve().parent / "data" / "sheet_cli_addresses.csv"

LABELLER = {
    "buckets": 4,
    "labels": 3,
    "bias": [0.5, -0.25, 0.0],
    "weights": [[0, 1, 2, 3], [-1, -2, -3, -4], [0.125, 0, 0, 1e-3]],
}
RANK = {"bias": -1.5, "weights": [0.5, 1, 0, 0, 2, 0, 0, 0.25, 0, 3]}


def run(*args) -> subprocess.CompletedProcess:
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, timeout=600)


def write_json(path: Path, doc) -> Path:
    path.write_text(json.dumps(doc) if not isinstance(doc, str) else doc)
    return path


def sections(sheet: Path) -> dict[str, int]:
    r = run("inspect", sheet)
    assert r.returncode == 0, r.stderr
    return {s["name"]: s["length"] for s in json.loads(r.stdout)["sections"]}


def section_bytes(sheet: Path, name: str) -> bytes:
    r = run("inspect", sheet)
    for s in json.loads(r.stdout)["sections"]:
        if s["name"] == name:
            return sheet.read_bytes()[s["offset"] : s["offset"] + s["length"]]
    raise KeyError(name)


def test_sheets_with_and_without_models_open(tmp_path):
    plain = tmp_path / "plain.sheet"
    assert run("build", "-o", plain, ADDRESSES).returncode == 0
    assert "SEC_PARSER" not in sections(plain)
    assert "SEC_RANK" not in sections(plain)

    both = tmp_path / "both.sheet"
    r = run("build", "-o", both, "--parser", write_json(tmp_path / "ml.json", LABELLER),
            "--rank", write_json(tmp_path / "rank.json", RANK), ADDRESSES)
    assert r.returncode == 0, r.stderr
    lengths = sections(both)  # inspect opens the sheet with the engine
    assert lengths["SEC_PARSER"] == 9 + 4 * 3 + 4 * 4 * 3
    assert lengths["SEC_RANK"] == 49

    parser = section_bytes(both, "SEC_PARSER")
    assert parser[:4] == b"TWML"
    assert struct.unpack_from("<IB", parser, 4) == (4, 3)
    floats = struct.unpack_from("<15f", parser, 9)
    assert list(floats[:3]) == LABELLER["bias"]
    # Label-major weights: all of label 0's buckets, then label 1's, ...
    want = [w for row in LABELLER["weights"] for w in row]
    assert floats[3:] == pytest.approx(want, rel=1e-7)

    rank = section_bytes(both, "SEC_RANK")
    assert rank[:5] == b"TWRK\x0a"
    assert list(struct.unpack_from("<11f", rank, 5)) == [RANK["bias"], *RANK["weights"]]

    only_rank = tmp_path / "rank.sheet"
    assert run("build", "-o", only_rank, "--rank", tmp_path / "rank.json", ADDRESSES).returncode == 0
    lengths = sections(only_rank)
    assert "SEC_PARSER" not in lengths and lengths["SEC_RANK"] == 49


@pytest.mark.parametrize(
    "option, doc, message",
    [
        ("--parser", {**LABELLER, "weights": [[0, 1, 2, 3], [0, 1, 2], [0, 0, 0, 0]]},
         "$.weights[1]: expected 4 numbers (one per bucket), got 3"),
        ("--parser", {**LABELLER, "bias": [0, 0]}, "$.bias: expected 3 numbers (one per label), got 2"),
        ("--parser", {**LABELLER, "labels": 0}, "$.labels: expected an integer in 1..255"),
        ("--parser", {**LABELLER, "buckets": 0}, "$.buckets: expected an integer in 1..4294967295"),
        ("--parser", '{"buckets": 4, "labels": 3, "bias": [0, 0, 1e39], "weights": []}',
         "$.bias[2]: is not a finite 32-bit float"),
        ("--parser", {k: v for k, v in LABELLER.items() if k != "weights"}, '$: missing member "weights"'),
        ("--parser", {**LABELLER, "names": ["street"]}, '$: unknown member "names"'),
        ("--parser", "{not json", "invalid JSON: "),
        ("--rank", {**RANK, "weights": RANK["weights"][:9]}, "$.weights: expected 10 numbers (one per feature), got 9"),
        ("--rank", {**RANK, "bias": "high"}, "$.bias: expected a number"),
    ],
)
def test_malformed_model_is_refused(tmp_path, option, doc, message):
    model = write_json(tmp_path / "model.json", doc)
    sheet = tmp_path / "out.sheet"
    r = run("build", "-o", sheet, option, model, ADDRESSES)
    assert r.returncode == 1
    assert r.stderr.startswith(f"tarnwik-sheet: {model}: {message}"), r.stderr
    assert not sheet.exists()


def test_missing_model_file_is_refused(tmp_path):
    sheet = tmp_path / "out.sheet"
    r = run("build", "-o", sheet, "--parser", tmp_path / "absent.json", ADDRESSES)
    assert r.returncode == 1
    assert r.stderr == f"tarnwik-sheet: {tmp_path / 'absent.json'}: cannot open\n"
    assert not sheet.exists()


def test_help_documents_the_model_files():
    r = run("build", "--help")
    assert r.returncode == 0
    assert "--parser LABELLER.json" in r.stdout and "--rank RANK.json" in r.stdout
    assert '"buckets"' in r.stdout and '"weights"' in r.stdout
