"""The type stubs shipped as `tarnwik-stubs` against the real module: the same
public names and signatures, and TypedDicts whose keys, key order and
optional keys are those of real result dicts. With mypy importable, a small
usage file is also type-checked against the installed stubs.
"""
from __future__ import annotations

import ast
import importlib.util
import inspect
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tarnwik
from tarnwik import Geocoder

TOOL = shutil.which("tarnwik-sheet")
REPO = Path(__file__).resolve().parents[2]
DEMO_CSV = REPO / "examples" / "demo-addresses.csv"
DEMO_REGIONS = REPO / "examples" / "demo-regions.geojson"
STUB = Path(tarnwik.__file__).resolve().parent / "tarnwik-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def stub() -> ast.Module:
    assert STUB.is_file(), f"no stubs installed next to the module ({STUB})"
    return ast.parse(STUB.read_text(encoding="utf-8"))


def classes(tree: ast.Module) -> dict[str, ast.ClassDef]:
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def decorators(node: ast.ClassDef | ast.FunctionDef) -> set[str]:
    return {d.id if isinstance(d, ast.Name) else ast.unparse(d) for d in node.decorator_list}


def aliases(tree: ast.Module) -> dict[str, ast.expr]:
    return {n.targets[0].id: n.value for n in tree.body
            if isinstance(n, ast.Assign) and len(n.targets) == 1 and isinstance(n.targets[0], ast.Name)}


def stub_params(fn: ast.FunctionDef) -> list[tuple[str, object]]:
    """(name, default or inspect.Parameter.empty) after self/cls; every
    parameter of the module's functions is positional-or-keyword."""
    a = fn.args
    assert not (a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg), ast.unparse(fn)
    names = [arg.arg for arg in a.args][1:]
    defaults = [inspect.Parameter.empty] * (len(a.args) - len(a.defaults)) + \
        [ast.literal_eval(d) for d in a.defaults]
    return list(zip(names, defaults[1:]))


def runtime_params(obj) -> list[tuple[str, object]]:
    params = [p for p in inspect.signature(obj).parameters.values() if p.name != "self"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    return [(p.name, p.default) for p in params]


# --- names and signatures --------------------------------------------------------


def test_module_names(stub):
    public = {n for n in dir(tarnwik) if not n.startswith("_")}
    cls = classes(stub)
    runtime_classes = {n for n, c in cls.items() if "type_check_only" not in decorators(c)}
    assert runtime_classes == public == {"Geocoder"}
    # Everything else the stub names is for type checkers only and must not
    # pretend to exist at run time.
    for name in set(cls) - public:
        assert "type_check_only" in decorators(cls[name]), name


def test_geocoder_methods_and_signatures(stub):
    body = classes(stub)["Geocoder"].body
    methods = {n.name: n for n in body if isinstance(n, ast.FunctionDef)}
    public = {n for n in dir(Geocoder) if not n.startswith("_")}
    assert {n for n in methods if not n.startswith("_")} == public
    assert not [n for n in body if isinstance(n, (ast.AnnAssign, ast.Assign))], "Geocoder has no attributes"
    for name in public:
        assert stub_params(methods[name]) == runtime_params(getattr(Geocoder, name)), name
    assert stub_params(methods["__new__"]) == runtime_params(Geocoder)


def test_final_in_the_stub_matches_the_runtime(stub):
    assert "final" in decorators(classes(stub)["Geocoder"])
    with pytest.raises(TypeError):
        type("Sub", (Geocoder,), {})


# --- result dicts ----------------------------------------------------------------


def typed_dict_fields(stub: ast.Module, name: str) -> tuple[list[str], set[str]]:
    """Keys in declaration order, and those marked NotRequired."""
    keys, optional = [], set()
    for key, ann in typed_dict_annotations(stub, name).items():
        keys.append(key)
        if isinstance(ann, ast.Subscript) and ast.unparse(ann.value) == "NotRequired":
            optional.add(key)
    return keys, optional


def typed_dict_annotations(stub: ast.Module, name: str) -> dict[str, ast.expr]:
    node = classes(stub)[name]
    assert [ast.unparse(b) for b in node.bases] == ["TypedDict"]
    return {i.target.id: i.annotation for i in node.body if isinstance(i, ast.AnnAssign)}


def value_fits(stub: ast.Module, ann: ast.expr, value: object) -> bool:
    """Whether a value has the type an annotation of the stub names (the few
    forms the result dicts use)."""
    ann = aliases(stub).get(ast.unparse(ann), ann)
    text = ast.unparse(ann)
    if isinstance(ann, ast.Subscript):
        head = ast.unparse(ann.value)
        if head == "NotRequired":
            return value_fits(stub, ann.slice, value)
        if head == "Literal":
            elts = ann.slice.elts if isinstance(ann.slice, ast.Tuple) else [ann.slice]
            return value in {ast.literal_eval(e) for e in elts}
        if text == "list[str]":
            return isinstance(value, list) and all(type(v) is str for v in value)
    if text in ("float", "str"):
        return type(value).__name__ == text
    raise AssertionError(f"the test does not know the annotation {text}")


@pytest.fixture(scope="module")
def sheets(tmp_path_factory) -> list[str]:
    """The demo sample with and without its admin regions."""
    if TOOL is None:
        pytest.skip("tarnwik-sheet is not on PATH")
    d = tmp_path_factory.mktemp("stubs")
    out = []
    for name, extra in (("regions.sheet", ["--admin", str(DEMO_REGIONS)]), ("plain.sheet", [])):
        subprocess.run([TOOL, "build", "-o", str(d / name), "--country", "it", *extra, str(DEMO_CSV)], check=True,
                       capture_output=True)
        out.append(str(d / name))
    return out


def forward_hits(sheet: str) -> list[dict]:
    g = Geocoder(sheet)
    queries = ["Via Roma 12, 15030 Valmora", "Via Roma", "Valmora", "Borgo Lieto", "Via Roma 1000, Valmora",
               "Strada del Mulnio 7, Borgo Lieto", "Piazza", "Via 5", "Corso Cavour 2A"]
    hits = [h for q in queries for h in g.geocode(q, 5)]
    hits += [h for hs in g.geocode_many(queries, 3) for h in hs]
    return hits


def reverse_hits(sheet: str) -> list[dict]:
    g = Geocoder(sheet)
    return [h for lat, lon in [(44.9078, 8.6174), (44.9385, 8.6712), (45.2, 8.9), (44.91, 8.61), (44.92, 8.62)]
            for h in g.reverse(lat, lon, 5)]


@pytest.mark.parametrize("typed_dict,collect", [("GeocodeHit", forward_hits), ("ReverseHit", reverse_hits)])
def test_typed_dict_keys_are_those_of_real_hits(stub, sheets, typed_dict, collect):
    keys, optional = typed_dict_fields(stub, typed_dict)
    required = [k for k in keys if k not in optional]
    hits = [h for sheet in sheets for h in collect(sheet)]
    assert len(hits) > 10
    seen: set[str] = set()
    for hit in hits:
        assert set(required) <= set(hit), hit
        # Same keys, in the order the module inserts them.
        assert list(hit) == [k for k in keys if k in hit], hit
        seen |= set(hit)
    assert seen == set(keys), "a key the stub declares never appears"
    # Every key the hits sometimes lack is one the stub lets them lack.
    assert {k for k in keys if not all(k in h for h in hits)} <= optional
    annotations = typed_dict_annotations(stub, typed_dict)
    for hit in hits:
        for key, value in hit.items():
            assert value_fits(stub, annotations[key], value), (key, value)


def test_reverse_hits_differ_from_forward_hits_only_where_the_module_says(stub):
    fwd_keys, fwd_opt = typed_dict_fields(stub, "GeocodeHit")
    rev_keys, rev_opt = typed_dict_fields(stub, "ReverseHit")
    assert fwd_opt == {"housenumber", "flags", "region"}
    assert rev_keys == [k for k in fwd_keys if k != "flags"] + ["distance_m"]
    assert rev_opt == {"region"}


# --- a type checker --------------------------------------------------------------

GOOD = """\
from __future__ import annotations
from pathlib import Path
from typing import TYPE_CHECKING
import tarnwik
if TYPE_CHECKING:
    from tarnwik import GeocodeHit, ReverseHit

g = tarnwik.Geocoder(Path("x.sheet"), poi=None)
hits: list[GeocodeHit] = g.geocode("Via Roma 1", k=3)
lat: float = hits[0]["lat"]
number: str | None = hits[0].get("housenumber")
batch: list[list[GeocodeHit]] = g.geocode_many(["a", "b"])
near: list[ReverseHit] = g.reverse(44.9, 8.6)
metres: float = near[0]["distance_m"]
"""

BAD = """\
import tarnwik
g = tarnwik.Geocoder("x.sheet")
g.geocode(b"Via Roma 1")
g.geocode("a")[0]["distance_m"]
g.reverse(44.9, 8.6)[0]["nope"]
g.lookup("a")
x: int = g.geocode("a")[0]["street"]
"""


def test_mypy_accepts_good_use_and_flags_bad_use(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)

    def mypy(name: str) -> subprocess.CompletedProcess:
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                               "--cache-dir", str(tmp_path / "cache"), name],
                              cwd=tmp_path, capture_output=True, text=True, timeout=600)

    good = mypy("good.py")
    assert good.returncode == 0, good.stdout + good.stderr
    bad = mypy("bad.py")
    flagged = {int(line.split(":")[1]) for line in bad.stdout.splitlines() if ": error:" in line}
    assert flagged == {3, 4, 5, 6, 7}, textwrap.indent(bad.stdout, "  ")
