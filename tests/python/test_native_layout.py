"""The Python mirrors of the C interface against the C compiler's view of the headers:
record sizes and member offsets, name-table lengths and repeated constants, as printed by
the record_layout program of the test build."""

import ctypes
import os
import subprocess
from pathlib import Path

import pytest
from quennel import _native

import kettara


def layout_program() -> Path:
    """record_layout of the build the extension modules come from (build/python beside build/tests)."""
    path = Path(os.environ.get("QUENNEL_RECORD_LAYOUT",
                               Path(kettara.__file__).resolve().parent.parent / "tests" / "record_layout"))
    assert path.is_file(), f"{path} is missing: build the tests (make build) first"
    return path


@pytest.fixture(scope="module")
def c_layout() -> dict[str, int]:
    text = subprocess.run([layout_program()], check=True, capture_output=True, text=True).stdout
    return {name: int(value) for name, value in (line.split() for line in text.splitlines())}


@pytest.mark.parametrize("record", _native.RECORDS, ids=lambda record: record.__name__)
def test_records_match_the_c_layout(record, c_layout):
    name = record.__name__
    members = {key.split(".", 1)[1]: value for key, value in c_layout.items() if key.startswith(name + ".")}
    assert ctypes.sizeof(record) == c_layout[name]
    assert {field: getattr(record, field).offset for field, _ in record._fields_} == members


def test_name_tables_and_constants_match(c_layout):
    assert _native.NAME_TABLE_LENGTHS == {name: c_layout[name] for name in _native.NAME_TABLE_LENGTHS}
    ranges = {name: getattr(_native, name) for name in dir(_native) if name.startswith("RANGE_")}
    assert ranges == {name: c_layout["WFM_" + name] for name in ranges}
    assert len(ranges) == sum(key.startswith("WFM_RANGE_") for key in c_layout)


def test_every_table_reads_back_in_full():
    for table, length in _native.NAME_TABLE_LENGTHS.items():
        entries = _native.names(table)
        assert len(entries) == length and all(entries), table
    assert _native.names("TYPE_NAMES")[:3] == ("tone", "noise", "pn")
    assert _native.names("_enum_Reader_stype") == ("cf32", "cf64", "ci32", "ci16", "ci8", "cu8", "cu16",
                                                   "rf32", "rf64", "ri32", "ri16", "ri8", "ru8", "ru16")


def test_a_missing_symbol_refuses_the_library():
    lib = ctypes.CDLL(kettara.__file__)
    with pytest.raises(ImportError, match="does not export no_such_function, another_missing"):
        _native._declare(lib, [("wfm_rrc_taps", None, []), ("no_such_function", None, []),
                               ("another_missing", ctypes.c_int, [])])
