import inspect
import os
import pathlib

import pytest

import sheetkit
import tarnwik
from tarnwik import Geocoder

NO_COUNTRY_WARNING = (
    "warning: sheet without country identity (pre-v6 or no --meta) — pair not verified\n"
)


def quoted(path: str) -> str:
    # Test paths hold no quotes, backslashes or control characters.
    return '"' + path + '"'


def poi_sheet(sheet_file, *pairs, name="poi.twc"):
    return sheet_file(sheetkit.minimal_sheet(meta=list(pairs)), name)


def mapped_files():
    with open("/proc/self/maps") as f:
        return {line.split(maxsplit=5)[5].strip() for line in f if len(line.split()) == 6}


# --- the module --------------------------------------------------------------


def test_module_exports_only_the_geocoder_class():
    assert [n for n in dir(tarnwik) if not n.startswith("_")] == ["Geocoder"]
    assert tarnwik.__doc__ == ""
    assert isinstance(Geocoder, type)
    assert Geocoder.__module__ == "tarnwik"
    assert Geocoder.__qualname__ == "Geocoder"


def test_class_docstring_and_signature():
    assert Geocoder.__doc__ == (
        "Single-country geocoder: opens an index file (mmap, effectively instant)."
    )
    assert Geocoder.__text_signature__ == "(index_path, poi=None)"
    params = inspect.signature(Geocoder).parameters
    assert list(params) == ["index_path", "poi"]
    assert params["index_path"].default is inspect.Parameter.empty
    assert params["poi"].default is None


def test_instances_are_immutable_and_the_class_is_final(address_sheet):
    g = Geocoder(address_sheet)
    with pytest.raises(AttributeError):
        g.address = None
    with pytest.raises(TypeError):
        type("Sub", (Geocoder,), {})


# --- argument binding ----------------------------------------------------------

MISSING = "/nonexistent/never-opened.twc"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Geocoder.__new__() missing 1 required positional argument: 'index_path'"),
        ((), {"poi": None}, "Geocoder.__new__() missing 1 required positional argument: 'index_path'"),
        (
            (MISSING, None, 3),
            {},
            "Geocoder.__new__() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            (MISSING, None, 3, 4),
            {"bogus": 1},
            "Geocoder.__new__() takes from 1 to 2 positional arguments but 4 were given",
        ),
        ((MISSING,), {"bogus": 1}, "Geocoder.__new__() got an unexpected keyword argument 'bogus'"),
        (
            (),
            {"index_path": MISSING, "path": MISSING},
            "Geocoder.__new__() got an unexpected keyword argument 'path'",
        ),
        (
            (MISSING,),
            {"index_path": MISSING},
            "Geocoder.__new__() got multiple values for argument 'index_path'",
        ),
        (
            (MISSING, None),
            {"poi": None},
            "Geocoder.__new__() got multiple values for argument 'poi'",
        ),
    ],
)
def test_argument_errors_are_type_errors_raised_before_opening(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Geocoder(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_keyword_arguments_bind_by_name(address_sheet, sheet_file):
    poi = poi_sheet(sheet_file, ("country", "fr"), ("layer", "poi"))
    Geocoder(index_path=address_sheet, poi=poi)
    Geocoder(poi=poi, index_path=address_sheet)


@pytest.mark.parametrize(
    "kwargs, param, expected_type",
    [
        ({"index_path": 42}, "index_path", TypeError),
        ({"index_path": None}, "index_path", TypeError),
        ({"index_path": bytearray(b"x")}, "index_path", TypeError),
        ({"index_path": MISSING, "poi": 1.5}, "poi", TypeError),
        ({"index_path": MISSING, "poi": ["a"]}, "poi", TypeError),
    ],
)
def test_bad_path_raises_the_host_error_with_an_argument_note(kwargs, param, expected_type):
    # The conversion of both paths happens before anything is opened, so the
    # missing index file is never reported.
    with pytest.raises(expected_type) as info:
        Geocoder(**kwargs)
    assert "expected str, bytes or os.PathLike object" in str(info.value)
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_fspath_returning_a_wrong_type_keeps_the_host_error():
    class BadPath:
        def __fspath__(self):
            return 7

    with pytest.raises(TypeError) as info:
        Geocoder(BadPath())
    assert "__fspath__" in str(info.value)
    assert info.value.__notes__ == ["while processing 'index_path'"]


def test_fspath_raising_propagates_unchanged():
    class Boom(Exception):
        pass

    class RaisingPath:
        def __fspath__(self):
            raise Boom("no path today")

    with pytest.raises(Boom) as info:
        Geocoder(RaisingPath())
    assert str(info.value) == "no path today"
    assert info.value.__notes__ == ["while processing 'index_path'"]


@pytest.mark.parametrize(
    "convert", [str, pathlib.Path, os.fsencode, lambda p: type("P", (), {"__fspath__": lambda s: p})()]
)
def test_accepts_str_bytes_and_path_like(address_sheet, sheet_file, convert):
    poi = poi_sheet(sheet_file, ("country", "fr"), ("layer", "poi"))
    assert isinstance(Geocoder(convert(address_sheet)), Geocoder)
    assert isinstance(Geocoder(convert(address_sheet), convert(poi)), Geocoder)


# --- opening -------------------------------------------------------------------


def test_missing_file_raises_oserror_with_only_the_outer_message(tmp_path):
    path = str(tmp_path / "absent.twc")
    with pytest.raises(OSError) as info:
        Geocoder(path)
    assert type(info.value) is OSError
    assert info.value.args == (f"cannot open {quoted(path)}",)
    assert info.value.errno is None


def test_path_with_nul_byte_cannot_be_opened(tmp_path):
    with pytest.raises(OSError) as info:
        Geocoder(str(tmp_path) + "/a\0b.twc")
    assert str(info.value) == f'cannot open "{tmp_path}/a\\0b.twc"'


def test_missing_poi_file_raises_oserror_naming_it(address_sheet, tmp_path):
    path = str(tmp_path / "no-poi.twc")
    with pytest.raises(OSError) as info:
        Geocoder(address_sheet, path)
    assert str(info.value) == f"cannot open {quoted(path)}"


def test_corrupt_sheet_reports_the_engine_message(sheet_file):
    path = sheet_file(b"TWC0" + bytes(100))
    with pytest.raises(OSError) as info:
        Geocoder(path)
    assert str(info.value) == "not a TWC0 index file"

    bad_poi = sheet_file(sheetkit.minimal_sheet(version=5))
    good = sheet_file(sheetkit.minimal_sheet())
    with pytest.raises(OSError) as info:
        Geocoder(good, bad_poi)
    assert str(info.value).startswith("index format version 5 not supported")


@pytest.mark.parametrize(
    "meta",
    [
        None,
        [],
        [("country", "fr")],
        [("layer", "addresses")],
        [("layer", "addresses"), ("layer", "poi")],  # the first value counts
    ],
)
def test_address_sheet_without_a_foreign_layer_opens(sheet_file, meta, capfd):
    g = Geocoder(sheet_file(sheetkit.minimal_sheet(meta=meta)))
    assert isinstance(g, Geocoder)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("layer", ["poi", "Addresses", ""])
def test_main_sheet_with_another_layer_is_refused(sheet_file, layer):
    path = sheet_file(sheetkit.minimal_sheet(meta=[("country", "fr"), ("layer", layer)]))
    with pytest.raises(OSError) as info:
        Geocoder(path)
    assert str(info.value) == (
        f'{quoted(path)} has layer "{layer}", not an address sheet — load an `addresses` '
        "layer as the main index (a POI layer goes via --poi / tarnwik_load_poi)"
    )


# --- pairing an address sheet with a POI sheet ------------------------------------


def test_same_country_pair_is_accepted_silently(address_sheet, sheet_file, capfd):
    poi = poi_sheet(sheet_file, ("country", "fr"), ("layer", "poi"))
    assert isinstance(Geocoder(address_sheet, poi), Geocoder)
    assert isinstance(Geocoder(address_sheet, poi=poi), Geocoder)
    assert capfd.readouterr().err == ""


def test_poi_sheet_without_layer_is_accepted(address_sheet, sheet_file, capfd):
    Geocoder(address_sheet, poi_sheet(sheet_file, ("country", "fr")))
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "address_meta, poi_meta",
    [
        ([("country", "fr"), ("layer", "addresses")], [("layer", "poi")]),
        ([("layer", "addresses")], [("country", "fr"), ("layer", "poi")]),
        (None, None),
        # A malformed meta section reads as empty: the pair cannot be verified.
        ([("country", "fr")], "malformed"),
    ],
)
def test_pair_without_country_identity_warns_once(sheet_file, capfd, address_meta, poi_meta):
    address = sheet_file(sheetkit.minimal_sheet(meta=address_meta))
    if poi_meta == "malformed":
        sections = sheetkit.with_section(
            sheetkit.minimal_sections(),
            sheetkit.Section(sheetkit.META, sheetkit.meta_section([("country", "fr")])[:-1]),
        )
        poi = sheet_file(sheetkit.pack(sections))
    else:
        poi = sheet_file(sheetkit.minimal_sheet(meta=poi_meta))
    capfd.readouterr()

    Geocoder(address, poi)
    assert capfd.readouterr().err == NO_COUNTRY_WARNING
    Geocoder(address, poi)
    assert capfd.readouterr().err == NO_COUNTRY_WARNING


def test_single_sheet_without_country_does_not_warn(sheet_file, capfd):
    path = sheet_file(sheetkit.minimal_sheet())
    Geocoder(path)
    Geocoder(path, None)
    Geocoder(path, poi=None)
    assert capfd.readouterr().err == ""


def test_countries_that_differ_are_refused_poi_first(sheet_file, capfd):
    address = sheet_file(sheetkit.minimal_sheet(meta=[("country", "fr"), ("layer", "addresses")]))
    poi = poi_sheet(sheet_file, ("country", "de"), ("layer", "poi"))
    with pytest.raises(ValueError) as info:
        Geocoder(address, poi)
    assert str(info.value) == (
        'POI layer is for country "de" but the address sheet is for "fr" — wrong file pair'
    )
    assert capfd.readouterr().err == ""


def test_country_comparison_is_bytewise(sheet_file):
    address = sheet_file(sheetkit.minimal_sheet(meta=[("country", "fr")]))
    poi = poi_sheet(sheet_file, ("country", "FR"))
    with pytest.raises(ValueError, match='country "FR" but the address sheet is for "fr"'):
        Geocoder(address, poi)


@pytest.mark.parametrize("layer", ["addresses", "POI", "poi "])
def test_poi_sheet_of_another_layer_is_refused(address_sheet, sheet_file, layer):
    poi = poi_sheet(sheet_file, ("country", "fr"), ("layer", layer))
    with pytest.raises(ValueError) as info:
        Geocoder(address_sheet, poi)
    assert str(info.value) == f'expected a POI layer as --poi, got layer "{layer}"'


def test_layer_refusal_follows_the_warning(sheet_file, capfd):
    address = sheet_file(sheetkit.minimal_sheet())
    poi = poi_sheet(sheet_file, ("layer", "addresses"))
    with pytest.raises(ValueError, match="expected a POI layer"):
        Geocoder(address, poi)
    assert capfd.readouterr().err == NO_COUNTRY_WARNING


def test_poi_equal_to_none_is_the_same_as_omitting_it(sheet_file, capfd):
    # A POI-less construction neither pairs nor warns, whatever the sheet says.
    path = sheet_file(sheetkit.minimal_sheet(meta=[("layer", "addresses")]))
    for g in (Geocoder(path), Geocoder(path, None), Geocoder(path, poi=None)):
        assert isinstance(g, Geocoder)
    assert capfd.readouterr().err == ""


# --- resources -------------------------------------------------------------------


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc/self/maps")
def test_sheets_are_released_when_construction_fails_or_the_object_dies(sheet_file):
    address = os.path.realpath(
        sheet_file(sheetkit.minimal_sheet(meta=[("country", "fr")]), "held-address.twc")
    )
    poi = os.path.realpath(poi_sheet(sheet_file, ("country", "de"), name="held-poi.twc"))

    with pytest.raises(ValueError):
        Geocoder(address, poi)
    assert not {address, poi} & mapped_files()

    g = Geocoder(address)
    assert address in mapped_files()
    del g
    assert address not in mapped_files()
