"""The extension modules are bindings over the shared libraries, not copies of them: C code
that loads libkettara.so or libtolvane.so beside Python sees the same tables and flags."""

import ctypes

import quennel.interrupt.interrupt as shared

import kettara
import tolvane  # noqa: F401  (adopts the shared interrupt state)


def _loaded_library(stem: str) -> ctypes.CDLL:
    """The plain library lib<stem>.so as this process mapped it for the extension module."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if f"/lib{stem}.so" in line}
    assert len(paths) == 1, f"expected one lib{stem}.so in the process, found {sorted(paths)}"
    return ctypes.CDLL(paths.pop())


def _sine_table(lib: ctypes.CDLL):
    return (ctypes.c_float * 65536).in_dll(lib, "lo_sin_lut")


def test_interrupt_state_is_shared_with_the_plain_library():
    plain = _loaded_library("tolvane")
    shared.resume()
    assert plain.qn_interrupted() == 0
    shared.interrupt()
    try:
        assert plain.qn_interrupted() == 1
    finally:
        shared.resume()
    assert plain.qn_interrupted() == 0


def test_sine_table_is_shared_with_the_plain_library():
    plain = _sine_table(_loaded_library("kettara"))
    through_module = _sine_table(ctypes.CDLL(kettara.__file__))
    assert ctypes.addressof(plain) == ctypes.addressof(through_module)

    # A tone rendered through the module fills the one table the plain library reads.
    with kettara.Plan('{"segments": [{"type": "tone", "freq": 0.25, "num_samples": 4}]}') as plan:
        plan.render("")
    assert plain[16384] == 1.0
