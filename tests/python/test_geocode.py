"""Geocoder.geocode and Geocoder.geocode_many: argument binding, the dicts
they return, inputs that must never raise, the batch worker pool (thread
count, chunks and Ctrl-C, fork) and agreement between the two methods.
"""
from __future__ import annotations

import inspect
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from tarnwik import Geocoder

TOOL = shutil.which("tarnwik-sheet")
REPO = Path(__file__).resolve().parents[2]
DEMO_CSV = REPO / "examples" / "demo-addresses.csv"

pytestmark = pytest.mark.skipif(TOOL is None, reason="tarnwik-sheet is not on PATH")

DICT_KEYS = ["lat", "lon", "precision", "score", "street", "housenumber", "commune", "postcode", "confidence",
             "flags", "region"]


@pytest.fixture(scope="module")
def demo_sheet(tmp_path_factory) -> str:
    """The demo sample (two made-up Italian towns) as a sheet."""
    out = tmp_path_factory.mktemp("demo") / "demo.sheet"
    subprocess.run([TOOL, "build", "-o", str(out), "--country", "it", str(DEMO_CSV)], check=True,
                   capture_output=True)
    return str(out)


@pytest.fixture(scope="module")
def g(demo_sheet) -> Geocoder:
    return Geocoder(demo_sheet)


def demo_queries() -> list[str]:
    """Clean, misspelt, partial and empty queries over the demo streets."""
    rows = DEMO_CSV.read_text(encoding="utf-8").splitlines()[1:]
    out = []
    for i, row in enumerate(rows):
        _, _, number, street, _, city, _, _, postcode, _ = row.split(",")
        forms = [
            f"{street} {number}, {postcode} {city}",
            f"{street} {number} {city}",
            f"{street[:-1]}x {number}, {city}",
            f"{city}",
            f"{number} {street}",
            "",
        ]
        out.append(forms[i % len(forms)])
    return out


def run_python(code: str, env: dict[str, str | None] | None = None, timeout: float = 120) -> str:
    """Runs `code` in a fresh interpreter that imports the same tarnwik module;
    returns its standard output."""
    import tarnwik

    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [str(Path(tarnwik.__file__).parent), str(Path(__file__).parent)] + [full_env.get("PYTHONPATH", "")])
    for k, v in (env or {}).items():
        if v is None:
            full_env.pop(k, None)
        else:
            full_env[k] = v
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env, capture_output=True,
                          text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


# --- arguments ---------------------------------------------------------------


@pytest.mark.parametrize(
    "method,args,kwargs,message",
    [
        ("geocode", (), {}, "Geocoder.geocode() missing 1 required positional argument: 'q'"),
        ("geocode", ("a", 1, 2), {}, "Geocoder.geocode() takes from 1 to 2 positional arguments but 3 were given"),
        ("geocode", (), {"q": "a", "limit": 1}, "Geocoder.geocode() got an unexpected keyword argument 'limit'"),
        ("geocode", ("a",), {"q": "b"}, "Geocoder.geocode() got multiple values for argument 'q'"),
        ("geocode", (), {"k": 3}, "Geocoder.geocode() missing 1 required positional argument: 'q'"),
        ("geocode_many", (), {}, "Geocoder.geocode_many() missing 1 required positional argument: 'queries'"),
        ("geocode_many", ([], 1, 2), {},
         "Geocoder.geocode_many() takes from 1 to 2 positional arguments but 3 were given"),
        ("geocode_many", ([],), {"q": []}, "Geocoder.geocode_many() got an unexpected keyword argument 'q'"),
        ("geocode_many", ([],), {"queries": []}, "Geocoder.geocode_many() got multiple values for argument 'queries'"),
    ],
)
def test_arity_and_keyword_errors(g, method, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        getattr(g, method)(*args, **kwargs)
    assert str(e.value) == message
    assert not getattr(e.value, "__notes__", None)


@pytest.mark.parametrize(
    "call,error,message,param",
    [
        (lambda g: g.geocode(b"Via Roma 1"), TypeError, "'bytes' object is not an instance of 'str'", "q"),
        (lambda g: g.geocode(None), TypeError, "'None' is not an instance of 'str'", "q"),
        (lambda g: g.geocode(12), TypeError, "'int' object is not an instance of 'str'", "q"),
        (lambda g: g.geocode("Via Roma 1", -1), OverflowError, "can't convert negative int to unsigned", "k"),
        (lambda g: g.geocode("Via Roma 1", k=2**64), OverflowError, "int too big to convert", "k"),
        (lambda g: g.geocode("Via Roma 1", "3"), TypeError, None, "k"),
        (lambda g: g.geocode_many(["Via Roma 1"], -1), OverflowError, "can't convert negative int to unsigned",
         "k"),
        (lambda g: g.geocode_many("Via Roma 1"), TypeError, None, "queries"),
        (lambda g: g.geocode_many(["Via Roma 1", 7]), TypeError, "'int' object is not an instance of 'str'",
         "queries"),
        (lambda g: g.geocode_many(["Via Roma 1", b"x"]), TypeError, "'bytes' object is not an instance of 'str'",
         "queries"),
        (lambda g: g.geocode_many(None), TypeError, None, "queries"),
        (lambda g: g.geocode_many(5), TypeError, None, "queries"),
        (lambda g: g.geocode_many({"Via Roma 1": 1}), TypeError, None, "queries"),
    ],
)
def test_conversion_errors_name_the_parameter(g, call, error, message, param):
    with pytest.raises(error) as e:
        call(g)
    if message is not None:
        assert str(e.value) == message
    assert e.value.__notes__ == [f"while processing '{param}'"]


def test_lone_surrogates_raise_the_encoding_error(g):
    for call in (lambda: g.geocode("Via Roma \ud800 1"), lambda: g.geocode_many(["Via Roma 1", "\udc80"])):
        with pytest.raises(UnicodeEncodeError):
            call()
    # Nothing was left behind: the object still answers.
    assert g.geocode("Via Roma 1, Valmora", 1)


def test_docstrings_and_signatures():
    assert Geocoder.geocode.__doc__ == (
        "Single query: returns a list of dicts (lat, lon, precision, score, street,\n"
        "optional housenumber, commune, postcode)."
    )
    doc = Geocoder.geocode_many.__doc__
    assert doc.startswith("Batch of queries (")
    head, sep, rest = doc.partition("; defaults to cores minus two")
    assert sep and head.count("\n") == 0 and len(head) > len("Batch of queries (")
    assert rest == (
        " to keep the machine\n"
        "responsive; override with the TARNWIK_THREADS env var — it is read when the\n"
        "pool for the current process is first built, so set it before the first call).\n"
        "Returns one list of up to `k` hits per query — the same shape as `geocode`,\n"
        "so `k` is honoured (an empty list means no match). Interruptible: Ctrl-C is\n"
        "checked between chunks and raises KeyboardInterrupt."
    )
    assert str(inspect.signature(Geocoder.geocode)) == "(self, /, q, k=10)"
    assert str(inspect.signature(Geocoder.geocode_many)) == "(self, /, queries, k=1)"


# --- answers -----------------------------------------------------------------


def test_a_house_query_returns_dicts_best_first(g):
    hits = g.geocode("Via Roma 12, 15030 Valmora", 5)
    assert 1 <= len(hits) <= 5
    top = hits[0]
    assert (top["street"], top["housenumber"], top["commune"], top["postcode"]) == ("Via Roma", "12", "Valmora",
                                                                                   "15030")
    assert top["precision"] == "house"
    assert "street_exact" in top["flags"]
    for h in hits:
        assert [k for k in DICT_KEYS if k in h] == list(h)
        assert "distance_m" not in h
        assert isinstance(h["lat"], float) and isinstance(h["confidence"], float)
    confidences = [h["confidence"] for h in hits]
    assert confidences == sorted(confidences, reverse=True)


def test_k_bounds_the_answer(g):
    assert g.geocode("Via Roma 1", 0) == []
    assert g.geocode_many(["Via Roma 1", "Valmora"], 0) == [[], []]
    assert len(g.geocode("Via Roma 1", 1)) == 1
    many = g.geocode("Via Roma 1", 500)
    assert 1 < len(many) <= 100
    assert many == g.geocode("Via Roma 1", 100)
    assert len(g.geocode("Via Roma 1")) <= 10
    assert all(len(hits) <= 1 for hits in g.geocode_many(["Via Roma 1", "Corso Cavour 3"]))


def test_typo_and_city_queries(g):
    typo = g.geocode("Via Giuseppe Garibladi 5, Valmora", 1)
    assert typo and typo[0]["street"] == "Via Giuseppe Garibaldi"
    city = g.geocode("Borgo Lieto", 1)
    assert city and city[0]["precision"] == "city" and city[0]["commune"] == "Borgo Lieto"


ODD_QUERIES = [
    "",
    " ",
    "\t\n\r",
    "!!!,,,;;;...---///",
    "\x00\x01\x02\x1f\x7f",
    "Via Roma\x00 1",
    "\u200b\u200d\ufeff",
    "\u0301\u0301\u0301",
    "Via Roma 12 Москва 東京 🏠 القاهرة",
    "𝔙𝔦𝔞 ℜ𝔬𝔪𝔞 ①②",
    "12345678901234567890123456789",
    "1-2-3-4-5-6-7-8-9",
    ",".join(["Via Roma"] * 300),
    "a" * 1_000_000,
    "Via Roma 1 " + "é" * 600,
    "ß" * 2000 + " Via Roma",
    "Via Roma 1, Valmora, LX, 15030, 15030, 15030",
    "\ud7ff\ue000\U0010ffff",
]


def test_odd_inputs_never_raise(g):
    for q in ODD_QUERIES:
        for k in (0, 1, 10, 100):
            hits = g.geocode(q, k)
            assert isinstance(hits, list) and len(hits) <= k, repr(q[:40])
    assert g.geocode_many(ODD_QUERIES, 3) == [g.geocode(q, 3) for q in ODD_QUERIES]


def test_sequences_of_any_kind(g):
    class Queries:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            return ["Via Roma 1, Valmora", "Borgo Lieto"][i]

    expected = [g.geocode("Via Roma 1, Valmora", 2), g.geocode("Borgo Lieto", 2)]
    assert g.geocode_many(("Via Roma 1, Valmora", "Borgo Lieto"), 2) == expected
    assert g.geocode_many(Queries(), k=2) == expected
    assert g.geocode_many([]) == []


def test_geocode_many_agrees_with_geocode_from_several_threads(g):
    queries = demo_queries()
    expected = [g.geocode(q, 3) for q in queries]
    results = {}

    def worker(i):
        results[i] = (g.geocode_many(queries, 3), [g.geocode(q, 3) for q in queries[i::7]])

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, (batch, singles) in results.items():
        assert batch == expected
        assert singles == expected[i::7]


# --- the worker pool ---------------------------------------------------------

THREAD_COUNT = """
    import os, sys
    from tarnwik import Geocoder
    g = Geocoder(sys.argv[1] if len(sys.argv) > 1 else {sheet!r})
    before = len(os.listdir("/proc/self/task"))
    assert g.geocode_many([]) == []
    after = len(os.listdir("/proc/self/task"))
    assert g.geocode_many(["Via Roma 1"] * 50) == [g.geocode("Via Roma 1", 1)] * 50
    assert len(os.listdir("/proc/self/task")) == after, "the pool is built once"
    print(after - before)
"""


def default_workers() -> int:
    return max(len(os.sched_getaffinity(0)) - 2, 1)


@pytest.mark.parametrize(
    "value,workers",
    [("0", 1), ("+3", 3), ("2", 2), ("007", 7), ("4x", None), ("", None), (" 3", None), ("-3", None), ("+", None),
     ("99999999999999999999999", None), (None, None)],
)
def test_thread_count_from_the_environment(demo_sheet, value, workers):
    out = run_python(THREAD_COUNT.format(sheet=demo_sheet), env={"TARNWIK_THREADS": value})
    assert int(out) == (workers if workers is not None else default_workers())


def test_pool_size_read_once_per_process(demo_sheet):
    out = run_python(f"""
        import os
        from tarnwik import Geocoder
        g = Geocoder({demo_sheet!r})
        os.environ["TARNWIK_THREADS"] = "3"
        g.geocode_many(["Via Roma 1"])
        n = len(os.listdir("/proc/self/task"))
        os.environ["TARNWIK_THREADS"] = "5"
        Geocoder({demo_sheet!r}).geocode_many(["Via Roma 1"])
        print(n, len(os.listdir("/proc/self/task")))
    """, env={"TARNWIK_THREADS": None})
    a, b = out.split()
    assert a == b


AGREEMENT = """
    import json, sys
    from tarnwik import Geocoder
    from test_geocode import demo_queries
    g = Geocoder({sheet!r})
    queries = demo_queries() * 7  # more than two chunks
    for k in (1, 4):
        assert g.geocode_many(queries, k) == [g.geocode(q, k) for q in queries], k
    print(len(queries))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_geocode_many_equals_geocode_per_query(demo_sheet, threads):
    out = run_python(AGREEMENT.format(sheet=demo_sheet), env={"TARNWIK_THREADS": threads})
    assert int(out) > 2048


def test_fork_child_builds_a_pool_of_its_own(g):
    queries = demo_queries()[:200]
    expected = g.geocode_many(queries, 2)  # the parent's pool exists now
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if g.geocode_many(queries, 2) == expected else 2
        finally:
            os._exit(code)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the child's batch never finished (it waited on the parent's workers)")
        time.sleep(0.05)
    assert os.waitstatus_to_exitcode(status) == 0
    assert g.geocode_many(queries, 2) == expected


def test_fork_child_exits_without_querying(demo_sheet):
    # The child's normal interpreter exit must not wait for the parent's
    # worker threads, which do not exist in the child.
    out = run_python(f"""
        import os, sys, time
        from tarnwik import Geocoder
        g = Geocoder({demo_sheet!r})
        g.geocode_many(["Via Roma 1"])
        pid = os.fork()
        if pid == 0:
            sys.exit(0)
        deadline = time.monotonic() + 30
        while not os.waitpid(pid, os.WNOHANG)[0]:
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                print("hung")
                break
            time.sleep(0.05)
        else:
            print("exited")
    """)
    assert out.strip() == "exited"


CHUNKS = """
    import functools, io, signal, sys, time
    from tarnwik import Geocoder
    from test_geocode import demo_queries
    g = Geocoder({sheet!r})
    base = demo_queries()
    queries = (base * (3000 // len(base) + 1))[:{n}]
    start = time.monotonic()
    g.geocode_many(queries[:1024], 3)
    chunk_time = time.monotonic() - start
    calls = []
    done = False

    def handler(signum, frame):
        calls.append(1)
        if len(calls) == {raise_at}:
            raise KeyboardInterrupt
        if not done:
            # Pending again by the check after the chunk that runs now.
            signal.setitimer(signal.ITIMER_REAL, chunk_time / 4)

    # The call's events, logged without running Python code (which would
    # run a pending handler itself): which handler runs happen between the
    # batch's c_call and its c_return or c_exception.
    log = io.StringIO()
    signal.signal(signal.SIGALRM, handler)
    # Fires while the first chunk runs.
    signal.setitimer(signal.ITIMER_REAL, chunk_time / 4)
    result = None
    sys.setprofile(functools.partial(print, file=log))
    try:
        result = g.geocode_many(queries, 3)
    except KeyboardInterrupt:
        pass
    finally:
        sys.setprofile(None)
        done = True
        signal.setitimer(signal.ITIMER_REAL, 0)
    inside = False
    handled = 0
    for line in log.getvalue().splitlines():
        if "geocode_many" in line and " c_call " in line:
            inside = True
        elif "geocode_many" in line and (" c_return " in line or " c_exception " in line):
            end = "returned" if " c_return " in line else "raised"
            inside = False
        elif inside and " call " in line and "code handler" in line:
            handled += 1
    print(end, "no-result" if result is None else len(result), handled)
"""


@pytest.mark.parametrize(
    "n,handled",
    [
        # 2500 queries are chunks of 1024, 1024 and 452: the signal pending at
        # the checks before the second and the third chunk is handled there.
        (2500, 2),
        (2049, 2),
        (2048, 1),
        (1025, 1),
        (1024, 0),
    ],
)
def test_signals_are_checked_before_each_chunk(demo_sheet, n, handled):
    out = run_python(CHUNKS.format(sheet=demo_sheet, n=n, raise_at=0), env={"TARNWIK_THREADS": "1"})
    assert out.split() == ["returned", str(n), str(handled)]


def test_keyboard_interrupt_between_chunks_discards_the_batch(demo_sheet):
    # The handler raises at its second run: the check before the third
    # chunk.
    out = run_python(CHUNKS.format(sheet=demo_sheet, n=2500, raise_at=2), env={"TARNWIK_THREADS": "1"})
    assert out.split() == ["raised", "no-result", "2"]
