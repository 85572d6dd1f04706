"""Capture reader throughput: a 100-million-sample ci16 and cf32 BLUE file read into
complex64 at unit scale, beside numpy.fromfile plus the same conversion, both into a
new array and into a reused output buffer; and an RTL-SDR style cu8 raw file."""

import os
import shutil
import tempfile

import numpy as np

from _common import Table, best_interleaved, tolvane_lib

SAMPLES = 100_000_000
CHUNK = 1 << 20
HEADER = 512


def write_capture(lib, path, stype, components):
    assert lib.write_blue_header(path.encode(), stype, 0, SAMPLES, 0, 1e6, 0.0, float(HEADER), 0.0) == 0
    with open(path, "ab") as f:
        components.tofile(f)


def read_ours(lib, path, out=None, stype=0):
    out = np.empty(SAMPLES, dtype=np.complex64) if out is None else out
    reader = lib.tolvane_create(path.encode(), stype, 0)
    base, done = out.ctypes.data, 0
    while done < SAMPLES:
        got = lib.tolvane_read(reader, CHUNK, base + 8 * done, SAMPLES - done)
        if got == 0:
            break
        done += got
    lib.tolvane_destroy(reader)
    assert done == SAMPLES
    return out


SCALE16 = np.float32(1.0 / 32767.0)


def numpy_ci16(path, out=None):
    raw = np.fromfile(path, dtype="<i2", offset=HEADER)
    if out is None:  # fromfile, astype, scale: three passes
        return (raw.astype(np.float32) * SCALE16).view(np.complex64)
    np.multiply(raw, SCALE16, out=out.view(np.float32))  # NumPy's best: one conversion pass into out
    return out


def numpy_cf32(path, out=None):
    if out is None:
        return np.fromfile(path, dtype="<f4", offset=HEADER).view(np.complex64)
    with open(path, "rb") as f:  # the wire bytes are the samples: read straight into out
        f.seek(HEADER)
        f.readinto(memoryview(out).cast("B"))
    return out


CU8 = 5  # the sample type code of cu8
CU8_HALF = np.float32(127.5)


def numpy_cu8(path):
    """Offset binary (c - 127.5) / 127.5, in float32 arithmetic: NumPy's fastest form of it."""
    raw = np.fromfile(path, dtype=np.uint8)
    return ((raw.astype(np.float32) - CU8_HALF) / CU8_HALF).view(np.complex64)


def cu8_row(lib, table, workdir, rng):
    path = os.path.join(workdir, "capture.cu8")
    rng.integers(0, 256, 2 * SAMPLES, dtype=np.uint8).tofile(path)
    ours, ref = read_ours(lib, path, stype=CU8), numpy_cu8(path)
    assert np.allclose(ours, ref, rtol=0, atol=1e-7)
    del ours, ref
    t = best_interleaved({"ours": lambda: read_ours(lib, path, stype=CU8), "numpy": lambda: numpy_cu8(path)},
                         repeat=5, min_time=0.0)
    table.row("read cu8 raw, new array", SAMPLES / t["ours"] / 1e6, SAMPLES / t["numpy"] / 1e6,
              "numpy.fromfile + convert")
    os.remove(path)


def main():
    lib = tolvane_lib()
    rng = np.random.default_rng(1)
    table = Table(f"Capture reader, {SAMPLES // 1_000_000} M samples from a BLUE file into complex64", "Msamples/s")
    workdir = tempfile.mkdtemp(prefix="bench_capture_read_")
    try:
        cases = [
            ("ci16", 3, lambda: rng.integers(-32768, 32768, 2 * SAMPLES, dtype=np.int16), numpy_ci16),
            ("cf32", 0, lambda: rng.standard_normal(2 * SAMPLES, dtype=np.float32), numpy_cf32),
        ]
        for name, stype, make, numpy_read in cases:
            path = os.path.join(workdir, f"capture_{name}.blue")
            write_capture(lib, path, stype, make())
            ours, ref = read_ours(lib, path), numpy_read(path)
            assert np.array_equal(ours, ref) if name == "cf32" else np.allclose(ours, ref, rtol=1e-6, atol=0)
            del ours, ref
            # Each result is dropped at once, so every round allocates (and faults in) afresh.
            t = best_interleaved({"ours": lambda: read_ours(lib, path), "numpy": lambda: numpy_read(path)},
                                 repeat=5, min_time=0.0)
            table.row(f"read {name} BLUE, new array", SAMPLES / t["ours"] / 1e6, SAMPLES / t["numpy"] / 1e6,
                      "numpy.fromfile + convert")
            out = np.empty(SAMPLES, dtype=np.complex64)
            t = best_interleaved({"ours": lambda: read_ours(lib, path, out), "numpy": lambda: numpy_read(path, out)},
                                 repeat=5, min_time=0.0)
            table.row(f"read {name} BLUE, into an out= buffer", SAMPLES / t["ours"] / 1e6,
                      SAMPLES / t["numpy"] / 1e6, "numpy, same buffer")
            del out
            os.remove(path)
        cu8_row(lib, table, workdir, rng)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
