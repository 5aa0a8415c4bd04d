"""Forward geocoding accuracy on the real address files.

Every address CSV under the data directory (`XX/name.csv`, XX the country,
postcode tables excluded) becomes a sheet of its country, built with the
country's postcode places when `XX/postcodes.csv` exists. N records per file
(those with a street and a number holding a digit) are drawn with a fixed
seed, and each is asked for with `Geocoder.geocode(q, 1)` in the forms of the
FORMS table below. Each answer is classed as:

- house: the first hit has precision "house", lies within 50 m of the record
  (or of another record with the same street, number, city and postcode,
  which no query can tell apart) and carries the record's number (compared lower-case, without diacritics,
  spaces or punctuation, suffix included; for a range or list such as "2-4"
  or "36;38" its first number also counts);
- street level: otherwise, the first hit is on the record's street: same
  street name (compared the same way) and within 2 km of the record or in the
  record's commune. This takes in street hits and house, interpolated or
  nearby hits that miss the check above;
- wrong: some other answer;
- none: an empty list.

A form that cannot be written for a record (no accent to strip, no street
type to abbreviate, no city to put first...) is not asked for that record, so
N differs between forms.

    python3 bench/accuracy.py [-n 1000] [--seed 20240611]

writes bench/accuracy.md and bench/accuracy.json.
"""
from __future__ import annotations

import argparse
import csv
import datetime as dt
import json
import math
import random
import re
import subprocess
import sys
import time
import unicodedata
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

from _common import DATA, ROOT, WORK, build_sheet

HOUSE_RADIUS_M = 50.0
STREET_RADIUS_M = 2000.0
EXAMPLES_MD = 5  # failing examples per form in the Markdown
EXAMPLES_JSON = 10  # failing examples per file and form in the JSON
EXAMPLE_WIDTH = 170

# Street types as people abbreviate them, first match only. Latin countries
# write the type first; German compounds end in it.
ABBREVIATIONS: dict[str, list[tuple[str, str]]] = {
    "es": [(r"^Avenida\b", "Avda."), (r"^Calle\b", "C/"), (r"^Carretera\b", "Ctra."), (r"^Plaza\b", "Pza."),
           (r"^Camino\b", "Cno."), (r"^Travesía\b", "Trva."), (r"^Paseo\b", "Pº"), (r"^Barrio\b", "Bº"),
           (r"^Urbanización\b", "Urb."), (r"^Callejón\b", "Cjón."), (r"^Polígono\b", "Pol.")],
    "it": [(r"^Via\b", "V."), (r"^Viale\b", "V.le"), (r"^Corso\b", "C.so"), (r"^Piazza\b", "P.zza"),
           (r"^Piazzale\b", "P.le"), (r"^Piazzetta\b", "P.tta"), (r"^Vicolo\b", "Vic."), (r"^Largo\b", "L.go"),
           (r"^Strada\b", "Str.")],
    "fr": [(r"^Rue\b", "R."), (r"^Avenue\b", "Av."), (r"^Boulevard\b", "Bd"), (r"^Place\b", "Pl."),
           (r"^Allée\b", "All."), (r"^Route\b", "Rte"), (r"^Impasse\b", "Imp."), (r"^Chemin\b", "Ch."),
           (r"^Quai\b", "Q."), (r"^Lotissement\b", "Lot."), (r"^Résidence\b", "Rés."), (r"^Faubourg\b", "Fg")],
    "de": [(r"(?<=\w)stra(?:ß|ss)e\b", "str."), (r"\bStra(?:ß|ss)e\b", "Str.")],
    "li": [(r"(?<=\w)strasse\b", "str."), (r"\bStrasse\b", "Str.")],
}
# Registers that abbreviate (Essen writes "Aachener Str.") are asked for in
# full as well.
EXPANSIONS: dict[str, list[tuple[str, str]]] = {
    "de": [(r"(?<=\w)str\.(?=\s|$)", "straße"), (r"\bStr\.(?=\s|$)", "Straße")],
}
TYPO_LETTERS = "aeioulnrstcdm"
NUMBER_FIRST = {"fr"}  # countries whose native order is "12 Rue ..."


@dataclass
class Record:
    street: str
    number: str
    city: str
    postcode: str
    lat: float
    lon: float
    # Every position of this address in the file, this record's included.
    twins: list[tuple[float, float]] = field(default_factory=list)


@dataclass
class Ctx:
    country: str
    rng: random.Random


def substitute(rules: list[tuple[str, str]], text: str) -> str | None:
    for pattern, repl in rules:
        out, n = re.subn(pattern, repl, text, count=1, flags=re.IGNORECASE)
        if n:
            return out
    return None


def strip_diacritics(text: str) -> str:
    return unicodedata.normalize(
        "NFC", "".join(c for c in unicodedata.normalize("NFD", text) if not unicodedata.combining(c)))


def with_typo(street: str, rng: random.Random) -> str | None:
    """One edit (substitution, deletion or insertion) in the street's longest
    word (the last of equals, so the name rather than a leading street type),
    never at its first letter; None when no word has four letters."""
    words = street.split(" ")
    i = max(range(len(words)), key=lambda j: (sum(c.isalpha() for c in words[j]), j))
    w = words[i]
    if sum(c.isalpha() for c in w) < 4:
        return None
    spots = [j for j in range(1, len(w)) if w[j].isalpha()]
    j = rng.choice(spots)
    kind = rng.choice(("sub", "del", "ins"))
    letter = rng.choice([c for c in TYPO_LETTERS if c != w[j].lower()])
    if w[j].isupper():
        letter = letter.upper()
    if kind == "sub":
        w = w[:j] + letter + w[j + 1:]
    elif kind == "del":
        w = w[:j] + w[j + 1:]
    else:
        w = w[:j] + letter + w[j:]
    words[i] = w
    return " ".join(words)


def house_part(r: Record, country: str, street: str | None = None, number_first: bool | None = None) -> str:
    street = r.street if street is None else street
    first = country in NUMBER_FIRST if number_first is None else number_first
    return f"{r.number} {street}" if first else f"{street} {r.number}"


def place(r: Record, postcode: bool = True) -> str:
    return " ".join(p for p in ((r.postcode if postcode else ""), r.city) if p)


def fields(*parts: str) -> str:
    return ", ".join(p for p in parts if p)


def reference(r: Record, c: Ctx) -> str:
    return fields(house_part(r, c.country), place(r))


def changed(r: Record, c: Ctx, q: str | None) -> str | None:
    return q if q is not None and q != reference(r, c) else None


def street_form(r: Record, c: Ctx, street: str | None) -> str | None:
    return None if street is None else fields(house_part(r, c.country, street), place(r))


@dataclass(frozen=True)
class Form:
    name: str
    title: str
    expect: str  # "house" or "street"
    make: Callable[[Record, Ctx], str | None]
    countries: frozenset[str] | None = None  # None: every country


# The forms asked for, each derived from the record; None = not applicable.
FORMS: list[Form] = [
    Form("reference", "STREET NUMBER, POSTCODE CITY (fr: NUMBER STREET, …)", "house", reference),
    Form("no_postcode", "without the postcode", "house",
         lambda r, c: fields(house_part(r, c.country), place(r, postcode=False)) if r.postcode else None),
    Form("no_comma", "without commas", "house",
         lambda r, c: f"{house_part(r, c.country)} {place(r)}" if place(r) else None),
    Form("city_first", "POSTCODE CITY, STREET NUMBER", "house",
         lambda r, c: f"{place(r)}, {house_part(r, c.country)}" if r.city else None),
    Form("lower", "all lower case", "house", lambda r, c: changed(r, c, reference(r, c).lower())),
    Form("abbreviated", "street type abbreviated (Calle→C/, Via→V., Rue→R., Straße→Str., …)", "house",
         lambda r, c: street_form(r, c, substitute(ABBREVIATIONS.get(c.country, []), r.street))),
    Form("expanded", "abbreviated street type written out (Str.→Straße)", "house",
         lambda r, c: street_form(r, c, substitute(EXPANSIONS.get(c.country, []), r.street)),
         frozenset(EXPANSIONS)),
    Form("typo", "one typo in the street (not its first letter)", "house",
         lambda r, c: street_form(r, c, with_typo(r.street, c.rng))),
    Form("no_accents", "diacritics stripped", "house", lambda r, c: changed(r, c, strip_diacritics(reference(r, c)))),
    Form("street_number", "STREET NUMBER, POSTCODE CITY (number after the street)", "house",
         lambda r, c: fields(house_part(r, c.country, number_first=False), place(r)), frozenset(NUMBER_FIRST)),
    Form("street_only", "STREET, POSTCODE CITY (no number: street level expected)", "street",
         lambda r, c: fields(r.street, place(r)) if place(r) else None),
]


# --- judging answers -------------------------------------------------------

def fold(text: str) -> str:
    return strip_diacritics(text).lower()


def number_key(text: str) -> str:
    return re.sub(r"[\W_]+", "", fold(text))


def number_keys(number: str) -> set[str]:
    keys = {number_key(number)}
    first = re.split(r"\s*[-;,]\s*", number.strip(), maxsplit=1)[0]
    if any(ch.isdigit() for ch in first):
        keys.add(number_key(first))
    return keys


def name_key(text: str) -> str:
    return " ".join(re.sub(r"[\W_]+", " ", fold(text)).split())


def distance_m(lat1: float, lon1: float, lat2: float, lon2: float) -> float:
    p1, p2 = math.radians(lat1), math.radians(lat2)
    a = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(math.radians(lon2 - lon1) / 2) ** 2
    return 12_742_000 * math.asin(math.sqrt(a))


def miss_m(r: Record, h: dict) -> float:
    """Distance from the hit to the nearest position of the record's address."""
    return min(distance_m(lat, lon, h["lat"], h["lon"]) for lat, lon in r.twins or [(r.lat, r.lon)])


def judge(r: Record, hits: list[dict]) -> str:
    """'house', 'street_hit' (street level from a street/city-less hit),
    'street_house' (street level from a house-like hit that failed the house
    check), 'wrong' or 'none'."""
    if not hits:
        return "none"
    h = hits[0]
    d = miss_m(r, h)
    if h["precision"] == "house" and d <= HOUSE_RADIUS_M and number_key(h.get("housenumber") or "") in number_keys(
            r.number):
        return "house"
    same_street = name_key(h.get("street") or "") == name_key(r.street)
    near = d <= STREET_RADIUS_M or (r.city and name_key(h.get("commune") or "") == name_key(r.city))
    if same_street and near:
        return "street_hit" if h["precision"] == "street" else "street_house"
    return "wrong"


def describe(q: str, r: Record, hits: list[dict]) -> str:
    if not hits:
        got = "no answer"
    else:
        h = hits[0]
        num = f" {h['housenumber']}" if h.get("housenumber") else ""
        got = (f"{h['precision']} {h.get('street') or ''}{num}, {h.get('commune') or ''} "
               f"({miss_m(r, h):.0f} m)")
    text = f"`{q}` → {got}"
    return text if len(text) <= EXAMPLE_WIDTH else text[:EXAMPLE_WIDTH - 1] + "…"


# --- data ------------------------------------------------------------------

def address_files(data: Path) -> list[Path]:
    return sorted(p for p in data.glob("*/*.csv") if p.name != "postcodes.csv")


def read_records(path: Path) -> list[Record]:
    out = []
    with open(path, encoding="utf-8", newline="") as f:
        for row in csv.DictReader(f):
            street, number = (row.get("STREET") or "").strip(), (row.get("NUMBER") or "").strip()
            if not street or not any(ch.isdigit() for ch in number):
                continue
            try:
                lat, lon = float(row["LAT"]), float(row["LON"])
            except (TypeError, ValueError):
                continue
            out.append(Record(street, number, (row.get("CITY") or "").strip(), (row.get("POSTCODE") or "").strip(),
                              lat, lon))
    same: dict[tuple[str, str, str, str], list[tuple[float, float]]] = {}
    for r in out:
        r.twins = same.setdefault((name_key(r.street), number_key(r.number), name_key(r.city), r.postcode), [])
        r.twins.append((r.lat, r.lon))
    return out


# --- running ---------------------------------------------------------------

@dataclass
class Cell:
    n: int = 0
    counts: dict[str, int] = field(default_factory=lambda: dict.fromkeys(
        ("house", "street_hit", "street_house", "wrong", "none"), 0))
    seconds: float = 0.0
    failures: list[str] = field(default_factory=list)

    def share(self, *keys: str) -> float:
        return sum(self.counts[k] for k in keys) / self.n if self.n else 0.0


def run_file(path: Path, data: Path, work: Path, n: int, seed: int) -> dict:
    import tarnwik

    country = path.parent.name.lower()
    extra = ["--country", country]
    postcodes = data / path.parent.name / "postcodes.csv"
    if postcodes.exists():
        extra += ["--postcodes", str(postcodes)]
    sheet = build_sheet([path], work / f"{country}-{path.stem}.sheet", *extra)
    g = tarnwik.Geocoder(str(sheet))
    records = read_records(path)
    sample = random.Random(f"{seed}:{country}/{path.name}").sample(records, min(n, len(records)))
    ctx = Ctx(country, random.Random(f"{seed}:{country}/{path.name}:forms"))
    cells: dict[str, Cell] = {}
    for form in FORMS:
        if form.countries is not None and country not in form.countries:
            continue
        cell = cells[form.name] = Cell()
        seen: set[str] = set()  # one example per failing query text
        for r in sample:
            q = form.make(r, ctx)
            if q is None:
                continue
            t = time.perf_counter()
            hits = g.geocode(q, 1)
            cell.seconds += time.perf_counter() - t
            verdict = judge(r, hits)
            cell.n += 1
            cell.counts[verdict] += 1
            ok = verdict == "house" if form.expect == "house" else verdict.startswith("street")
            if not ok and q not in seen:
                seen.add(q)
                cell.failures.append(describe(q, r, hits))
    return {
        "country": country,
        "file": f"{path.parent.name}/{path.name}",
        "records": len(records),
        "sampled": len(sample),
        "postcodes": postcodes.exists(),
        "forms": {
            name: {
                "n": c.n,
                "house": round(c.share("house"), 4),
                "street_level": round(c.share("street_hit", "street_house"), 4),
                "street_level_from_house_hits": round(c.share("street_house"), 4),
                "wrong": round(c.share("wrong"), 4),
                "none": round(c.share("none"), 4),
                "counts": c.counts,
                "ms_per_query": round(1000 * c.seconds / c.n, 3) if c.n else None,
                "failing_examples": c.failures[:EXAMPLES_JSON],
                "_all_failures": c.failures,
            }
            for name, c in cells.items()
        },
    }


def commit() -> str:
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], check=True,
                              capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "src"], check=True,
                               capture_output=True, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return head + (" (with uncommitted changes under src/)" if dirty else "")


def pct(x: float) -> str:
    return f"{100 * x:.1f} %"


def markdown(report: dict) -> str:
    lines = [
        "# Forward geocoding accuracy on the real address files",
        "",
        f"`python3 bench/accuracy.py -n {report['n']} --seed {report['seed']}` — {report['date']}, "
        f"commit {report['commit']}. N = {report['n']} records sampled per file with seed {report['seed']}; "
        f"each asked for with `geocode(q, 1)`; {report['seconds']:.0f} s in all.",
        "",
        "Classes of the first hit:",
        "",
        f"- **house**: precision \"house\", within {HOUSE_RADIUS_M:.0f} m of the record (or of another record with "
        "the same street, number, city and postcode: no query can tell them apart), with the record's number "
        "(compared lower-case, without diacritics, spaces or punctuation, suffix included; for a range or list "
        "such as `2-4` its first number also counts);",
        f"- **street level**: not the above, but on the record's street (same name compared the same way, within "
        f"{STREET_RADIUS_M / 1000:.0f} km of the record or in its commune); in brackets the part of it that comes "
        "from house, interpolated or nearby hits that failed the house check;",
        "- **wrong**: any other answer; **none**: an empty list.",
        "",
        "N per form counts the records the form applies to (no accents to strip, no street type to abbreviate, "
        "no city or postcode... leave a record out). The typo is one substitution, deletion or insertion in the "
        "street's longest word (four letters or more), never at its first letter.",
        "",
    ]
    titles = {f.name: f.title for f in FORMS}
    expect = {f.name: f.expect for f in FORMS}
    for entry in report["files"]:
        lines += [f"## {entry['country']} — {entry['file']} ({entry['records']:,} usable records"
                  f"{', country postcodes' if entry['postcodes'] else ''})", "",
                  "| form | query | N | house | street level | wrong | none | ms/query |",
                  "|---|---|---:|---:|---:|---:|---:|---:|"]
        for name, c in entry["forms"].items():
            if not c["n"]:
                lines.append(f"| {name} | {titles[name]} | 0 | | | | | |")
                continue
            house, street = pct(c["house"]), pct(c["street_level"])
            if expect[name] == "house":
                house = f"**{house}**"
            else:
                street = f"**{street}**"
            lines.append(f"| {name} | {titles[name]} | {c['n']} | {house} | {street} "
                         f"({pct(c['street_level_from_house_hits'])}) | {pct(c['wrong'])} | {pct(c['none'])} | "
                         f"{c['ms_per_query']:.2f} |")
        lines.append("")
    lines += ["## Failing examples", "",
              "Up to five per form (a house form fails without a house hit as defined above, the street-only "
              "form without a street-level answer), taken in turn from each file.", ""]
    for form in FORMS:
        pools = [[f"{e['country']}: {x}" for x in e["forms"][form.name]["_all_failures"]]
                 for e in report["files"] if form.name in e["forms"]]
        picked, i = [], 0
        while len(picked) < EXAMPLES_MD and any(i < len(p) for p in pools):
            picked += [p[i] for p in pools if i < len(p)]
            i += 1
        if picked:
            lines += [f"### {form.name}", ""] + [f"- {x}" for x in picked[:EXAMPLES_MD]] + [""]
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-n", type=int, default=1000, help="records sampled per file (default 1000)")
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--data", type=Path, default=DATA, help="the address data directory")
    ap.add_argument("--out", type=Path, default=ROOT / "bench", help="where accuracy.md and .json go")
    ap.add_argument("--work", type=Path, default=WORK / "accuracy", help="where the sheets are built")
    args = ap.parse_args(argv)

    files = address_files(args.data) if args.data.is_dir() else []
    if not files:
        print(f"skipped: no address CSV under {args.data}", file=sys.stderr)
        return 0
    start = time.perf_counter()
    results = []
    for path in files:
        t = time.perf_counter()
        results.append(run_file(path, args.data, args.work, args.n, args.seed))
        print(f"{results[-1]['file']}: {time.perf_counter() - t:.1f} s", file=sys.stderr)
    report = {
        "n": args.n,
        "seed": args.seed,
        "date": dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": commit(),
        "seconds": round(time.perf_counter() - start, 1),
        "house_radius_m": HOUSE_RADIUS_M,
        "street_radius_m": STREET_RADIUS_M,
        "forms": [{"name": f.name, "query": f.title, "expect": f.expect,
                   "countries": sorted(f.countries) if f.countries else None} for f in FORMS],
        "files": results,
    }
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "accuracy.md").write_text(markdown(report) + "\n", encoding="utf-8")
    for entry in results:
        for c in entry["forms"].values():
            del c["_all_failures"]
    (args.out / "accuracy.json").write_text(json.dumps(report, ensure_ascii=False, indent=1) + "\n",
                                            encoding="utf-8")
    print(f"wrote {args.out / 'accuracy.md'} and {args.out / 'accuracy.json'} in {report['seconds']:.0f} s",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
