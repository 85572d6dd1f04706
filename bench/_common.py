"""Shared pieces of the benchmarks: timing, the result table, ctypes helpers."""

import ctypes
import time

import numpy as np

from quennel._native import kettara_lib, tolvane_lib  # noqa: F401  (re-exported for the benchmarks)


def composer_msps(lib, text, n, block=1 << 16):
    """Millions of samples a second that a composer of the (repeating) scene text gives, n samples
    pulled in blocks of `block`."""
    c = lib.wfm_compose_from_json(text.encode())
    assert c, "scene refused"
    out = cf32(block)
    out_ptr = out.ctypes.data_as(ctypes.c_void_p)

    def run():
        for _ in range(n // block):
            lib.wfm_compose_execute(c, out_ptr, block)

    seconds = best_seconds(run, repeat=3)
    lib.wfm_compose_destroy(c)
    return n / seconds / 1e6


def best_seconds(fn, repeat=5, min_time=0.2):
    """Best wall time of one call of fn, over `repeat` rounds of at least `min_time` seconds each."""
    fn()  # warm up: first-use tables, page faults
    best = float("inf")
    for _ in range(repeat):
        calls = 0
        start = time.perf_counter()
        while True:
            fn()
            calls += 1
            elapsed = time.perf_counter() - start
            if elapsed >= min_time:
                break
        best = min(best, elapsed / calls)
    return best


def best_interleaved(fns, repeat=7, min_time=0.1):
    """Best wall time of one call of each of fns (a dict of name: function): the rounds of the
    functions alternate, so a machine that slows down or speeds up meanwhile affects every
    one of them alike. Returns a dict of name: seconds."""
    for fn in fns.values():
        fn()  # warm up: first-use tables, page faults
    best = {name: float("inf") for name in fns}
    for round_ in range(repeat):
        names = list(fns)
        if round_ % 2:
            names.reverse()
        for name in names:
            calls = 0
            start = time.perf_counter()
            while True:
                fns[name]()
                calls += 1
                elapsed = time.perf_counter() - start
                if elapsed >= min_time:
                    break
            best[name] = min(best[name], elapsed / calls)
    return best


def ptr(array, ctype=ctypes.c_void_p):
    """A ctypes pointer to a NumPy array's data."""
    return ctypes.cast(array.ctypes.data, ctypes.POINTER(ctype) if ctype is not ctypes.c_void_p else ctype)


def cf32(n):
    return np.zeros(n, dtype=np.complex64)


class Table:
    """Prints rows of: what, our figure, the reference's figure, the ratio (ours / reference)."""

    def __init__(self, title, unit):
        self.title, self.unit = title, unit
        print(f"\n{title}")
        print(f"  {'benchmark':44s} {'quennel':>12s} {'reference':>12s} {'ratio':>8s}   ({unit})")

    def row(self, name, ours, reference=None, ref_name=""):
        if reference:
            print(f"  {name:44s} {ours:12.2f} {reference:12.2f} {ours / reference:7.2f}x   vs {ref_name}")
        else:
            print(f"  {name:44s} {ours:12.2f}")
