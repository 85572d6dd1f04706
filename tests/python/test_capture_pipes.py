"""Captures that arrive through a pipe: every container reads the same samples from a
FIFO fed by another process as from the file, seeking containers are refused, and a
followed FIFO ends when its writer does."""

import errno
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from quennel.capture import Writer

import tolvane

TYPES = ["cf32", "cf64", "ci32", "ci16", "ci8"]
RAMP = ((np.arange(700) - 350) * (1 - 0.5j) / 400).astype(np.complex64)


def write_capture(path, fmt, sample_type, samples, **metadata):
    writer = Writer(str(path), fmt, sample_type=sample_type, **metadata)
    writer.write(samples)
    writer.close()
    return path


def write_csv(path, samples):
    path.write_text("".join(f"{float(s.real)!r},{float(s.imag)!r}\n" for s in samples.astype(np.complex128)))
    return path


def feed_fifo(tmp_path, source, chunk=None, pause=0.0):
    """A FIFO that another process fills with the bytes of source, chunk bytes at a time."""
    fifo = tmp_path / "feed.fifo"
    os.mkfifo(fifo)
    program = textwrap.dedent(f"""
        import sys, time
        data = open({str(source)!r}, "rb").read()
        step = {chunk or 0} or len(data) or 1
        with open({str(fifo)!r}, "wb", buffering=0) as out:
            for at in range(0, len(data), step):
                out.write(data[at:at + step])
                time.sleep({pause})
    """)
    return fifo, subprocess.Popen([sys.executable, "-c", program])


def read_all(path, follow=False, **hints):
    with tolvane.Reader(path, **hints) as reader:
        parts = []
        while True:
            part = reader.read_follow(256) if follow else reader.read(256)
            if part.size == 0:
                return np.concatenate(parts or [part]), reader.ending, reader.file_type
            parts.append(part)


def capture_cases(tmp_path):
    """(name, file, reader hints) for every container and type a pipe can carry."""
    cases = []
    for stype in TYPES + ["cu8", "cu16"]:
        cases.append((f"raw {stype}", write_capture(tmp_path / f"a.{stype}", "raw", stype, RAMP), stype))
    for stype in TYPES:
        cases.append((f"blue {stype}", write_capture(tmp_path / f"a_{stype}.blue", "blue", stype, RAMP), "cf32"))
    cases.append(("raw ri16, a real type", tmp_path / "a.cf32", "ri16"))
    cases += [
        ("raw shorter than the detection head", write_capture(tmp_path / "short.iq", "raw", "cf32", RAMP[:10]),
         "cf32"),
        ("raw with a partial last sample", tmp_path / "odd.iq", "ci16"),
        ("csv", write_csv(tmp_path / "rows.dat", RAMP[:100] * 0 + np.arange(100) / 200 * 1j), "cf32"),
        ("csv ci16 codes", write_csv(tmp_path / "codes.csv", np.round(RAMP * 3000)), "ci16"),
        ("empty", tmp_path / "empty.bin", "cf32"),
    ]
    (tmp_path / "odd.iq").write_bytes(RAMP[:40].tobytes() + b"\x01\x02\x03")
    (tmp_path / "empty.bin").write_bytes(b"")
    return cases


def test_every_container_reads_the_same_samples_from_a_fifo(tmp_path):
    for name, path, stype in capture_cases(tmp_path):
        expected, _, file_type = read_all(path, sample_type=stype)
        fifo, feeder = feed_fifo(tmp_path, path, chunk=300)
        got, _, fifo_type = read_all(fifo, sample_type=stype)
        assert feeder.wait(timeout=60) == 0
        os.unlink(fifo)
        assert fifo_type == file_type, name
        assert got.size == expected.size and np.array_equal(got, expected), name
        assert expected.size > 0 or name == "empty", name


@pytest.mark.parametrize("detached", [False, True])
def test_a_blue_capture_that_needs_seeking_is_refused_on_a_fifo(tmp_path, detached):
    # An extended header (written for fc) lies after the samples; a detached payload elsewhere.
    path = write_capture(tmp_path / "x.blue", "blue", "ci16", RAMP, fc=1e9) if not detached else tmp_path / "x.blue"
    if detached:
        writer = Writer(str(path), "blue", sample_type="ci16", detached=True)
        writer.write(RAMP)
        writer.close()
    fifo, feeder = feed_fifo(tmp_path, path)
    with pytest.raises(OSError) as refused:
        tolvane.Reader(fifo)
    feeder.kill()
    feeder.wait()
    assert refused.value.errno == errno.ESPIPE
    assert refused.value.strerror == ("Illegal seek (a pipe cannot deliver this capture: it needs seeking for a "
                                      "detached BLUE payload or an extended header)")
    assert refused.value.filename == str(fifo)


@pytest.mark.parametrize("fmt", ["raw", "csv", "blue"])
def test_following_a_fifo_ends_with_its_writer(tmp_path, fmt):
    samples = RAMP[:300]
    path = (write_csv(tmp_path / "f.csv", samples) if fmt == "csv"
            else write_capture(tmp_path / f"f.{fmt}", fmt, "ci16", samples))
    expected, _, _ = read_all(path, sample_type="ci16")
    # Pieces that split samples and rows, with pauses the follower waits through.
    fifo, feeder = feed_fifo(tmp_path, path, chunk=333, pause=0.05)
    got, ending, _ = read_all(fifo, follow=True, sample_type="ci16")
    assert feeder.wait(timeout=60) == 0
    assert ending == "eof"
    assert np.array_equal(got, expected)


def test_a_read_lets_a_pipe_writer_thread_of_the_same_process_run(tmp_path):
    # Opening and reading both block on the FIFO until the writer thread has written: with
    # the interpreter lock held, that thread could never run.
    fifo = tmp_path / "t.fifo"
    os.mkfifo(fifo)
    program = textwrap.dedent(f"""
        import threading, numpy as np, tolvane
        data = (np.arange(5000) / 5000).astype(np.complex64)
        def feed():
            with open({str(fifo)!r}, "wb") as out:
                out.write(data.tobytes())
        threading.Thread(target=feed).start()
        with tolvane.Reader({str(fifo)!r}) as reader:
            got = reader.read(5000)
        print(got.size, bool(np.array_equal(got, data)))
    """)
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.split()) == (0, ["5000", "True"]), done.stderr
