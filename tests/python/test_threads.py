"""One Geocoder shared by many Python threads: geocode and reverse from
several threads while other threads run geocode_many batches on the worker
pool, starting together on a freshly opened sheet in a fresh process, so the
first-use initialisations (per-thread rules and caches, the sheet's lazily
built tables, the pool itself) race as well. Every answer must equal the one
a single thread gets. Built to be run under ThreadSanitizer too
(scripts/test-sanitize thread), where a data race fails the child process.
"""
from __future__ import annotations

import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TOOL = shutil.which("tarnwik-sheet")
REPO = Path(__file__).resolve().parents[2]
DEMO_CSV = REPO / "examples" / "demo-addresses.csv"
DEMO_REGIONS = REPO / "examples" / "demo-regions.geojson"

pytestmark = pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH")


def stress_queries() -> list[str]:
    """Clean, misspelt, reordered, partial and odd queries over the demo
    streets: every phase of the forward search runs somewhere in the mix."""
    rows = DEMO_CSV.read_text(encoding="utf-8").splitlines()[1:]
    out = []
    for i, row in enumerate(rows):
        _, _, number, street, _, city, _, _, postcode, _ = row.split(",")
        forms = [
            f"{street} {number}, {postcode} {city}",
            f"{street} {number} {city}",
            f"{street[:-2]}{street[-1]}{street[-2]} {number}, {city}",  # swapped letters
            f"{number} {street}",
            f"{street.upper()} {number}",
            f"{city} {street} {number}",
            f"{street.split()[-1]}, {city}",
        ]
        out.append(forms[i % len(forms)])
    out += ["", "   ", "!!!,,,", "Valmora", "Borgo Lieto", "15030", "Via Roma 12 Москва 東京 🏠",
            ",".join(["Via Roma"] * 80), "x" * 3000, "Via Roma 1 " + "é" * 600]
    return out


def stress_points() -> list[tuple[float, float]]:
    """Points on, beside and between the demo houses, and a few far away."""
    rng = random.Random(20240611)
    points = []
    for row in DEMO_CSV.read_text(encoding="utf-8").splitlines()[1:]:
        lon, lat = map(float, row.split(",")[:2])
        points.append((lat, lon))
        points.append((lat + rng.uniform(-0.002, 0.002), lon + rng.uniform(-0.002, 0.002)))
    points += [(45.5, 9.5), (0.0, 0.0), (-33.9, 151.2), (44.92, 8.64)]
    return points


def answers_digest(answers) -> str:
    return hashlib.sha256(json.dumps(answers, sort_keys=True).encode()).hexdigest()


# The child opens the sheet and starts every thread at once before any
# query has run in the process; only afterwards does a second Geocoder,
# used from this one thread, give the answers to compare with.
STRESS = """
    import json, sys, threading
    import tarnwik
    from tarnwik import Geocoder
    from test_threads import stress_queries, stress_points, answers_digest

    sheet, rounds, singles, batches = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    queries, points = stress_queries(), stress_points()
    g = Geocoder(sheet)
    start = threading.Barrier(singles + batches)
    got = {}
    failures = []

    def single(t):
        try:
            start.wait()
            out = []
            for r in range(rounds):
                # Each thread walks the lists from its own offset, so the
                # threads ask different things at the same moment.
                for i in range(len(queries)):
                    j = (i + t * 37 + r * 11) % len(queries)
                    out.append(("g", j, g.geocode(queries[j], 3)))
                    if j < len(points):
                        out.append(("r", j, g.reverse(*points[j], 2)))
            got[("single", t)] = out
        except BaseException as e:
            failures.append(repr(e))

    def batch(t):
        try:
            start.wait()
            # Over one chunk, so the pool's workers interleave the chunks of
            # both batch threads.
            work = (queries * 4)[t * 5:]
            got[("batch", t)] = [g.geocode_many(work, 3) for _ in range(rounds)]
        except BaseException as e:
            failures.append(repr(e))

    threads = [threading.Thread(target=single, args=(t,)) for t in range(singles)]
    threads += [threading.Thread(target=batch, args=(t,)) for t in range(batches)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not failures, failures

    ref = Geocoder(sheet)
    forward = [ref.geocode(q, 3) for q in queries]
    by_text = dict(zip(queries, forward))
    reverse = [ref.reverse(lat, lon, 2) for lat, lon in points]
    checked = 0
    for (kind, t), out in sorted(got.items()):
        if kind == "single":
            for what, j, hits in out:
                want = forward[j] if what == "g" else reverse[j]
                assert hits == want, (t, what, j, hits, want)
                checked += 1
        else:
            work = (queries * 4)[t * 5:]
            for answers in out:
                assert len(answers) == len(work), (t, len(answers))
                for q, hits in zip(work, answers):
                    assert hits == by_text[q], (t, q)
                    checked += 1
    assert sum(1 for hits in forward if hits) > len(queries) // 2, "the demo queries mostly find something"
    print(checked, answers_digest([forward, reverse]), tarnwik.__file__)
"""


@pytest.fixture(scope="module")
def demo_sheet(tmp_path_factory) -> str:
    """The demo sample with its region sidecar, so reverse looks up regions."""
    out = tmp_path_factory.mktemp("threads") / "demo.sheet"
    subprocess.run([TOOL, "build", "-o", str(out), "--country", "it", "--admin", str(DEMO_REGIONS), str(DEMO_CSV)],
                   check=True, capture_output=True)
    return str(out)


@pytest.mark.parametrize("workers", ["1", "3"])
def test_threads_share_one_geocoder(demo_sheet, workers):
    import tarnwik

    rounds, singles, batches = 2, 4, 2
    env = dict(os.environ, TARNWIK_THREADS=workers)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(tarnwik.__file__).parent), str(Path(__file__).parent), env.get("PYTHONPATH", "")])
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(STRESS), demo_sheet, str(rounds), str(singles), str(batches)],
        env=env, capture_output=True, text=True, timeout=1200)
    assert done.returncode == 0, done.stderr[-20000:]
    checked, digest, module = done.stdout.split()
    assert module == tarnwik.__file__, "the child imported another tarnwik module"

    queries, points = stress_queries(), stress_points()
    n = len(queries)
    expected_checks = rounds * singles * (n + min(n, len(points))) + sum(
        rounds * (4 * n - t * 5) for t in range(batches))
    assert int(checked) == expected_checks

    # The child's single-threaded answers are this process's answers too.
    from tarnwik import Geocoder

    g = Geocoder(demo_sheet)
    assert digest == answers_digest([[g.geocode(q, 3) for q in queries], [g.reverse(la, lo, 2) for la, lo in points]])
