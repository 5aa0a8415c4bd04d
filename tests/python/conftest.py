import itertools
import os
from pathlib import Path

import pytest

import sheetkit


def pytest_report_header(config):
    import tarnwik

    return f"tarnwik module: {tarnwik.__file__}"


def pytest_configure(config):
    # Sanitizer runs build the module in a directory of their own and name it
    # here, so a run that silently took the installed module cannot pass.
    want = os.environ.get("TARNWIK_EXPECT_MODULE_DIR")
    if want:
        import tarnwik

        if Path(tarnwik.__file__).resolve().parent != Path(want).resolve():
            raise pytest.UsageError(f"tarnwik was imported from {tarnwik.__file__}, not from {want}")


@pytest.fixture
def sheet_file(tmp_path):
    """write(data, name=None) -> str: stores sheet bytes in a fresh file of
    this test's own directory and returns the path."""
    numbers = itertools.count()

    def write(data: bytes, name: str | None = None) -> str:
        path = tmp_path / (name or f"sheet{next(numbers)}.twc")
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def address_sheet(sheet_file):
    """Path of a minimal French address sheet."""
    return sheet_file(
        sheetkit.minimal_sheet(meta=[("country", "fr"), ("layer", "addresses")]), "addresses.twc"
    )
