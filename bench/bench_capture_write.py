"""Capture writer throughput: cf32 samples to a ci16 BLUE capture, beside NumPy's scale, clip,
astype(int16) and tofile of the same samples, measured in the same run, interleaved.

Two targets: a file in a RAM-backed directory (/dev/shm when there is one, else the system
temporary directory), where both sides also pay the kernel's page-cache copy, and /dev/null,
which leaves only the conversion and the write calls. A disk's write-back speed would cap
both sides alike, so no file goes to disk when RAM can hold it; every file is removed."""

import os
import sys
import tempfile

import numpy as np

from _common import Table, best_seconds, tolvane_lib

from quennel._native import names

BLUE, CI16 = names("_enum_Reader_ftype").index("blue"), names("_enum_Reader_stype").index("ci16")
FULL_SCALE = np.float32(32767.0)


def test_samples(n):
    rng = np.random.default_rng(1)
    samples = np.empty(n, dtype=np.complex64)
    block = 1 << 20
    for start in range(0, n, block):  # in blocks, to keep the temporaries small
        m = min(block, n - start)
        samples[start:start + m].view(np.float32)[:] = rng.standard_normal(2 * m, dtype=np.float32) * 0.3
    return samples


def measure(lib, samples, ours_path, numpy_path):
    n = samples.size

    def ours():
        writer = lib.wfm_writer_create(ours_path.encode(), BLUE, CI16, 0, 0, 0, 1e6, 0.0, 0.0, 0.0)
        stored = lib.wfm_writer_write(writer, samples.ctypes.data, n)
        if lib.wfm_writer_close(writer) != 0 or stored != n:
            sys.exit("capture writer failed")

    def reference():
        scaled = samples.view(np.float32) * FULL_SCALE
        np.clip(scaled, -FULL_SCALE, FULL_SCALE, out=scaled)
        scaled.astype(np.int16).tofile(numpy_path)

    t_ours = t_ref = float("inf")
    for _ in range(4):  # interleaved, so both meet the same machine load
        t_ours = min(t_ours, best_seconds(ours, repeat=1, min_time=0))
        t_ref = min(t_ref, best_seconds(reference, repeat=1, min_time=0))
    return n / t_ours / 1e6, n / t_ref / 1e6


def main(n=int(os.environ.get("QUENNEL_BENCH_CAPTURE_SAMPLES", 100_000_000))):
    samples = test_samples(n)
    lib = tolvane_lib()
    ram = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="quennel_bench_", dir=ram) as tmp:
        ours_path, numpy_path = os.path.join(tmp, "ours.blue"), os.path.join(tmp, "numpy.ci16")
        to_file = measure(lib, samples, ours_path, numpy_path)
        # Both sides give the same codes (truncation against rounding: one step at most).
        count = 2 * min(n, 1 << 16)
        ours_codes = np.fromfile(ours_path, dtype=np.int16, offset=512, count=count).astype(np.int32)
        assert np.max(np.abs(ours_codes - np.fromfile(numpy_path, dtype=np.int16, count=count))) <= 1
    to_null = measure(lib, samples, os.devnull, os.devnull)

    table = Table(f"Capture writer, {n / 1e6:g} M samples cf32 -> ci16 BLUE", "Msamples/s")
    where = "RAM-backed file" if ram else "temporary file"
    table.row(f"write to a {where}", *to_file, "NumPy scale+clip+astype+tofile")
    table.row("write to /dev/null (no storage)", *to_null, "NumPy scale+clip+astype+tofile")


if __name__ == "__main__":
    main()
