"""The `tarnwik-sheet` command: build from CSV, assemble from JSON, inspect, keys.

The command is the installed one found on PATH; without it these tests skip.
The real-data checks (marked `slow`) build a sheet from every address file
of the shared data, with and without its country's postcode table.
"""
from __future__ import annotations

import json
import re
import shutil
import subprocess
from pathlib import Path

import pytest

TOOL = shutil.which("tarnwik-sheet")
pytestmark = pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH")

HERE = Path(__file__).resolve().parent
FIXTURES = HERE / "data"
ADDRESSES = FIXTURES / "sheet_cli_addresses.csv"
POSTCODES = FIXTURES / "sheet_cli_postcodes.csv"
SHARED_DATA = HERE.parents[1].parent / "shared" / "data"


def run(*args, stdin: str | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, input=stdin, timeout=600)


def report(stderr: str) -> dict:
    """The numbers of the final build report ("rows read: 20", "  bad coordinates: 2", ...)."""
    out = {}
    for m in re.finditer(r"^ *([a-zA-Z0-9 -]+): (\d+)\b", stderr, re.M):
        out[m.group(1).strip()] = int(m.group(2))
    return out


def inspect(sheet) -> dict:
    r = run("inspect", sheet)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


# ---------------------------------------------------------------------------
# build


def test_build_counts_every_row(tmp_path):
    sheet = tmp_path / "f.sheet"
    r = run("build", "-o", sheet, "--country", "ZZ", ADDRESSES)
    assert r.returncode == 0, r.stderr
    rep = report(r.stderr)
    assert rep["rows read"] == 20
    assert rep["rows skipped"] == 10
    assert rep["duplicates"] == 1
    skipped_by_reason = {
        "bad coordinates": 2,
        "empty street": 1,
        "empty number": 1,
        "number without leading digits": 1,
        "number too large": 1,
        "invalid UTF-8": 1,
        "wrong field count": 1,
        "bad quoting": 1,
        "field too long": 1,
    }
    for reason, n in skipped_by_reason.items():
        assert rep[reason] == n, reason
    assert sum(skipped_by_reason.values()) == rep["rows skipped"]
    # Each skipped row is reported with its file and line.
    for line, reason in [(8, "duplicate"), (12, "bad coordinates"), (13, "bad coordinates"), (14, "empty street"),
                         (15, "empty number"), (16, "number without leading digits"), (17, "number too large"),
                         (18, "invalid UTF-8"), (19, "wrong field count"), (20, "bad quoting"),
                         (21, "field too long")]:
        assert f"{ADDRESSES}:{line}: skipped ({reason})" in r.stderr

    info = inspect(sheet)
    assert info["houses"] == rep["rows read"] - rep["rows skipped"] - rep["duplicates"] == rep["houses"] == 9
    assert info["streets"] == rep["streets"] == 4  # Lindenweg, Am Markt Nord, Moorstraße, Feldweg
    # Tarnby, Kleinmoor, and the unnamed commune of the city-less Feldweg row.
    assert info["communes"] == rep["communes"] == 3
    assert info["house_suffixes"] == 2  # "a" (3a) and "h" (90/H); 5-7 has none
    assert info["meta"] == [["country", "zz"], ["layer", "addresses"]]
    assert info["format_version"] == 7
    assert info["word_keys"] > 0
    assert info["center"] is not None
    assert [s["id"] for s in info["sections"]][:9] == list(range(1, 10))
    assert info["sections"][0]["name"] == "communes_fst"


def test_build_with_postcode_table(tmp_path):
    sheet = tmp_path / "f.sheet"
    r = run("build", "-o", sheet, "--country", "zz", "--postcodes", POSTCODES, ADDRESSES)
    assert r.returncode == 0, r.stderr
    rep = report(r.stderr)
    # The city-less row lies in Kleinmoor (nearest place of its postcode), so
    # no unnamed commune; Heidekamp (two postcodes, one place) and Wiesental
    # come from the table; Tarnby and Kleinmoor already exist.
    assert "communes: 4 (2 from the postcode table)" in r.stderr
    info = inspect(sheet)
    assert info["communes"] == 4
    assert info["streets"] == 4
    assert info["houses"] == rep["houses"] == 9


def test_build_options_reach_the_sheet(tmp_path):
    sheet = tmp_path / "f.sheet"
    r = run("build", "--format-version=6", "--fst-version", "1", "--layer", "poi", "--country", "De",
            "-o", sheet, ADDRESSES)
    assert r.returncode == 0, r.stderr
    info = inspect(sheet)
    assert info["format_version"] == 6
    assert info["meta"] == [["country", "de"], ["layer", "poi"]]
    assert info["houses"] == 9


def test_build_from_several_files(tmp_path):
    second = tmp_path / "more.csv"
    second.write_text("ID,STREET,NUMBER,LAT,LON,CITY,UNIT,DISTRICT,REGION,POSTCODE\r\n"
                      "n1,Lindenweg,9,50.0009,10.0009,Tarnby,,,Nordland,12345\r\n"
                      "n2,Lindenweg,1,50.0001,10.0001,Tarnby,,,Nordland,12345\r\n")  # same house as g1
    sheet = tmp_path / "f.sheet"
    r = run("build", "-o", sheet, ADDRESSES, second)
    assert r.returncode == 0, r.stderr
    rep = report(r.stderr)
    assert rep["rows read"] == 22
    assert rep["duplicates"] == 2
    assert f"{second}:3: skipped (duplicate): same house as {ADDRESSES}:2" in r.stderr
    assert inspect(sheet)["houses"] == 10


def test_build_refuses_a_wrong_header(tmp_path):
    bad = tmp_path / "bad.csv"
    bad.write_text("LON,LAT,HOUSENUMBER,STREET,CITY,POSTCODE\n10.0,50.0,1,Lindenweg,Tarnby,12345\n")
    sheet = tmp_path / "f.sheet"
    r = run("build", "-o", sheet, bad)
    assert r.returncode == 1
    assert f"{bad}: header lacks columns NUMBER, UNIT, DISTRICT, REGION, ID" in r.stderr
    assert not sheet.exists()
    assert list(tmp_path.iterdir()) == [bad]


@pytest.mark.parametrize(
    "args, message",
    [
        (["build", ADDRESSES], "build needs -o SHEET"),
        (["build", "-o", "{out}"], "build needs at least one ADDRESSES.csv"),
        (["build", "-o", "{out}", "--layer", "shops", ADDRESSES], "--layer must be addresses or poi"),
        (["build", "-o", "{out}", "--format-version", "8", ADDRESSES], "--format-version must be 6 or 7"),
        (["build", "-o", "{out}", "--fst-version", "4", ADDRESSES], "--fst-version must be 1, 2 or 3"),
        (["build", "-o", "{out}", "--colour", ADDRESSES], "unknown option --colour"),
        (["build", "-o", "{out}", "{missing}"], "cannot open"),
        (["build", "-o", "{out}", "--postcodes", "{missing}", ADDRESSES], "cannot open"),
        (["build", "-o", "{out}", "--postcodes", ADDRESSES, ADDRESSES], "header lacks columns PLACE"),
        (["assemble", "-o", "{out}"], "assemble needs exactly one DESCRIPTION.json"),
        (["frobnicate"], "unknown command frobnicate"),
        (["keys"], "keys needs exactly one TEXT"),
        (["inspect"], "inspect needs exactly one SHEET"),
    ],
)
def test_usage_errors_exit_1(tmp_path, args, message):
    out = tmp_path / "out.sheet"
    args = [str(a).format(out=out, missing=tmp_path / "missing.csv") for a in args]
    r = run(*args)
    assert r.returncode == 1
    assert message in r.stderr
    assert not out.exists()


def test_help_documents_commands_and_description_format():
    r = run("--help")
    assert r.returncode == 0
    for text in ["build -o SHEET", "assemble -o SHEET", "inspect SHEET", "keys TEXT", "--postcodes",
                 "--format-version", "--fst-version", "--allow-invalid", "section_overrides", "omit_sections"]:
        assert text in r.stdout


# ---------------------------------------------------------------------------
# assemble


DESCRIPTION = {
    "version": 7,
    "fst_version": 2,
    "meta": [["country", "it"], ["layer", "addresses"], ["country", "fr"]],
    "communes": [
        {"name": "Valmora", "code": "VM", "prominence": 40, "lat": 44.9, "lon": 8.6, "aliases": ["Centro"]},
        {"name": "Borgo Lieto", "prominence": 10},
    ],
    "streets": [
        {"name": "Via Roma", "commune": 0, "postcode": "15030",
         "houses": [{"number": 1, "lat": 44.9001, "lon": 8.6},
                    {"number": 2, "suffix": "a", "lat": 44.9002, "lon": 8.6},
                    {"number": 2, "suffix": " bis", "lat": 44.9003, "lon": 8.6}]},
        {"name": "Via delle Vigne", "commune": 1, "lat": 44.95, "lon": 8.7,
         "houses": [{"number": 4, "lat": 44.95, "lon": 8.7, "postcode": "15031"},
                    {"number": 6, "lat": 44.9501, "lon": 8.7, "postcode": "15032"}]},
    ],
    "omit_sections": [16],
}


def test_assemble_writes_exactly_what_is_described(tmp_path):
    desc = tmp_path / "d.json"
    desc.write_text(json.dumps(DESCRIPTION))
    sheet = tmp_path / "d.sheet"
    r = run("assemble", "-o", sheet, desc)
    assert r.returncode == 0, r.stderr
    info = inspect(sheet)
    assert info["format_version"] == 7
    assert info["communes"] == 2
    assert info["streets"] == 2
    assert info["houses"] == 5
    assert info["house_suffixes"] == 2
    assert info["meta"] == DESCRIPTION["meta"]
    # The most prominent commune with a position is the default reference point.
    assert info["center"] == pytest.approx({"lat": 44.9, "lon": 8.6})
    ids = [s["id"] for s in info["sections"]]
    assert 16 not in ids and 17 in ids
    # Sections lie back to back in TOC order, inside the file.
    size = sheet.stat().st_size
    for s in info["sections"]:
        assert s["offset"] + s["length"] <= size
    # The same description from stdin gives the same bytes.
    again = tmp_path / "again.sheet"
    r = run("assemble", "-o", again, "-", stdin=json.dumps(DESCRIPTION))
    assert r.returncode == 0, r.stderr
    assert again.read_bytes() == sheet.read_bytes()


def test_assemble_section_override_and_omission(tmp_path):
    # A hand-made meta section: one pair, "layer" -> "poi".
    meta = (1).to_bytes(4, "little") + (5).to_bytes(2, "little") + b"layer" + (3).to_bytes(4, "little") + b"poi"
    desc = dict(DESCRIPTION, section_overrides={"17": meta.hex()})
    sheet = tmp_path / "o.sheet"
    r = run("assemble", "-o", sheet, "-", stdin=json.dumps(desc))
    assert r.returncode == 0, r.stderr
    assert inspect(sheet)["meta"] == [["layer", "poi"]]

    desc = dict(DESCRIPTION, omit_sections=[17])
    r = run("assemble", "-o", sheet, "-", stdin=json.dumps(desc))
    assert r.returncode == 0, r.stderr
    info = inspect(sheet)
    assert info["meta"] == []
    assert 17 not in [s["id"] for s in info["sections"]]


def test_assemble_never_leaves_a_refused_sheet(tmp_path):
    desc = dict(DESCRIPTION, section_overrides={"5": "00" * 35})  # streets_meta: not whole records
    sheet = tmp_path / "bad.sheet"
    r = run("assemble", "-o", sheet, "-", stdin=json.dumps(desc))
    assert r.returncode == 1
    message = f'"{sheet}": streets_meta length is not a whole number of records — corrupt'
    assert message in r.stderr
    assert list(tmp_path.iterdir()) == []

    # --allow-invalid keeps it, and the engine then refuses to open it.
    r = run("assemble", "--allow-invalid", "-o", sheet, "-", stdin=json.dumps(desc))
    assert r.returncode == 0, r.stderr
    assert sheet.exists()
    r = run("inspect", sheet)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.strip() == message


def test_assemble_reports_the_json_path_of_an_error(tmp_path):
    desc = json.loads(json.dumps(DESCRIPTION))
    desc["streets"][1]["houses"][1]["lat"] = "north"
    sheet = tmp_path / "x.sheet"
    r = run("assemble", "-o", sheet, "-", stdin=json.dumps(desc))
    assert r.returncode == 1
    assert "$.streets[1].houses[1].lat: expected a number" in r.stderr
    assert not sheet.exists()

    r = run("assemble", "-o", sheet, "-", stdin='{"streets": [')
    assert r.returncode == 1
    assert "invalid JSON" in r.stderr

    # A description the writer cannot write at all.
    desc = dict(DESCRIPTION, streets=[dict(DESCRIPTION["streets"][0], commune=7)])
    r = run("assemble", "-o", sheet, "-", stdin=json.dumps(desc))
    assert r.returncode == 1
    assert "commune 7 does not exist" in r.stderr
    assert not sheet.exists()


# ---------------------------------------------------------------------------
# inspect, keys


def test_inspect_refuses_what_is_not_a_sheet(tmp_path):
    junk = tmp_path / "junk.sheet"
    junk.write_bytes(b"TWC0" + bytes(300))
    r = run("inspect", junk)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.strip() == "index format version 0 not supported (reader accepts v6..=v7) — rebuild the sheet with this engine"

    r = run("inspect", tmp_path / "absent.sheet")
    assert r.returncode == 1
    assert r.stderr.strip() == f'cannot open "{tmp_path / "absent.sheet"}"'


@pytest.mark.parametrize(
    "text, normalized",
    [
        ("  Rue   de l'Église  ", "rue de l eglise"),
        ("90/H", "90 h"),
        ("75001Paris", "75001 paris"),
        ("-5", "5"),
        ("", ""),
    ],
)
def test_keys(text, normalized):
    r = run("keys", "--", text) if text.startswith("-") else run("keys", text)
    assert r.returncode == 0, r.stderr
    forms = json.loads(r.stdout)
    assert list(forms) == KEY_FORMS
    assert forms["normalize"] == normalized


KEY_FORMS = ["normalize", "fold_homoglyphs", "translit_cyr_lat", "translit_cyr_lat_en", "translit_lat_cyr", "phonetic_key",
             "fold_units", "prepared_query_key", "street_key"]


def test_keys_script_forms():
    r = run("keys", "Ул. Щёлкова, лeнинa")
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout) == {
        "normalize": "ул щелкова лeнинa",
        "fold_homoglyphs": "ул щелкова ленина",
        "translit_cyr_lat": "ul scelkova lenina",
        "translit_cyr_lat_en": "ul shchelkova lenina",
        "translit_lat_cyr": "ул щелкова ленина",
        "phonetic_key": "ol shchilkovo linino",
        "fold_units": "ул щелкова ленина",
        "prepared_query_key": "ул щелкова ленина",
        "street_key": "лeнинa ул щелкова",
    }


# ---------------------------------------------------------------------------
# real data

REAL_FILES = [
    ("de", "essen"),
    ("de", "osm-towns"),
    ("es", "la-rioja"),
    ("it", "alessandria"),
    ("fr", "limousin"),
    ("li", "liechtenstein"),
]


def real_cases():
    for country, name in REAL_FILES:
        yield pytest.param(country, name, False, id=f"{country}-{name}")
        yield pytest.param(country, name, True, id=f"{country}-{name}-postcodes")


@pytest.mark.slow
@pytest.mark.parametrize("country, name, with_postcodes", real_cases())
def test_real_data_counts(tmp_path, country, name, with_postcodes):
    csv_path = SHARED_DATA / country / f"{name}.csv"
    if not csv_path.exists():
        pytest.skip(f"{csv_path} is absent")
    postcodes = SHARED_DATA / country / "postcodes.csv"
    if with_postcodes and not postcodes.exists():
        pytest.skip(f"no postcode table for {country}")
    sheet = tmp_path / f"{name}.sheet"
    args = ["build", "-o", sheet, "--country", country, csv_path]
    if with_postcodes:
        args += ["--postcodes", postcodes]
    r = run(*args)
    assert r.returncode == 0, r.stderr
    rep = report(r.stderr)

    with csv_path.open("rb") as f:
        data_lines = sum(1 for line in f if line.strip()) - 1  # no quoted newlines in these files
    assert rep["rows read"] == data_lines

    info = inspect(sheet)
    assert info["houses"] == rep["rows read"] - rep["rows skipped"] - rep["duplicates"]
    assert info["houses"] == rep["houses"]
    assert info["streets"] == rep["streets"] > 0
    assert info["communes"] == rep["communes"] > 0
    if with_postcodes:
        m = re.search(r"communes: \d+ \((\d+) from the postcode table\)", r.stderr)
        assert m and int(m.group(1)) > 0
    assert info["meta"] == [["country", country], ["layer", "addresses"]]
    assert info["center"] is not None
