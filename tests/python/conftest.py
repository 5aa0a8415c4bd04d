import itertools

import pytest

import sheetkit


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
