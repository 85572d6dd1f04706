"""Read errors are not the end of a capture. Captures are read through a FUSE file system
whose reads fail with EIO from 1 MiB on: the binding raises the OSError of the error with
the path and the sample it stopped at, and every command exits 1 naming it."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from quennel.capture import Writer

import tolvane

FAIL_FROM = 1 << 20
SAMPLES = 300_000
HERE = Path(__file__).parent


@pytest.fixture
def failing_folder(tmp_path):
    """(source, mounted): files put in source are read through mounted, failing from FAIL_FROM."""
    try:
        import fuse  # noqa: F401
    except (ImportError, OSError) as error:
        pytest.skip(f"no FUSE library here ({error})")
    if not os.path.exists("/dev/fuse"):
        pytest.skip("no /dev/fuse here")
    source, mounted = tmp_path / "source", tmp_path / "mounted"
    source.mkdir()
    mounted.mkdir()
    server = subprocess.Popen([sys.executable, HERE / "failing_fs.py", source, mounted, str(FAIL_FROM)],
                              stderr=subprocess.PIPE, text=True)
    for _ in range(400):  # until the mount is up, or the server gave up
        if os.path.ismount(mounted) or server.poll() is not None:
            break
        time.sleep(0.05)
    if not os.path.ismount(mounted):
        server.kill()
        pytest.skip(f"cannot mount a FUSE file system here: {server.communicate()[1].strip()}")
    yield source, mounted
    server.terminate()
    server.wait(timeout=60)


def ramp(n):
    k = np.arange(n, dtype=np.float32) / n
    return (k + 1j * (1 - k)).astype(np.complex64)


def write_capture(folder, name, fmt, sample_type):
    writer = Writer(str(folder / name), fmt, sample_type)
    writer.write(ramp(SAMPLES))
    writer.close()


def quennel(*args, cwd):
    done = subprocess.run([sys.executable, "-m", "quennel", *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=300)
    return done.returncode, done.stderr


# (file, format, sample type, the sample the error stops at: the whole samples before 1 MiB)
CAPTURES = [
    ("x.iq", "raw", "cf32", FAIL_FROM // 8),
    ("x.sigmf-data", "sigmf", "cf32", FAIL_FROM // 8),
    ("x.blue", "blue", "ci16", (FAIL_FROM - 512) // 4),
]


@pytest.mark.parametrize("name, fmt, sample_type, stop", CAPTURES)
@pytest.mark.parametrize("block", [65536, SAMPLES])  # stream reads, and one read shared by threads
def test_reads_raise_the_error_with_path_and_sample(failing_folder, name, fmt, sample_type, stop, block):
    source, mounted = failing_folder
    write_capture(source, name, fmt, sample_type)
    with tolvane.Reader(source / name, sample_type=sample_type) as reader:
        expected = reader.read(SAMPLES)
    path = mounted / name
    got = []
    with tolvane.Reader(path, sample_type=sample_type) as reader:
        with pytest.raises(OSError) as raised:
            while len(samples := reader.read(block)):
                got.append(samples)
        assert (raised.value.errno, raised.value.filename, raised.value.sample) == (5, str(path), stop)
        assert f"(reading sample {stop})" in str(raised.value)
        with pytest.raises(OSError):  # kept: nothing after the gap passes for what follows
            reader.read(block)
    got = np.concatenate(got) if got else np.zeros(0, np.complex64)
    assert len(got) <= stop and np.array_equal(got, expected[:len(got)])


def test_commands_exit_1_naming_the_error(failing_folder):
    source, mounted = failing_folder
    write_capture(source, "x.iq", "raw", "cf32")
    scene = source / "scene.json"
    scene.write_text(json.dumps({"segments": [{"fs": 1e6, "num_samples": SAMPLES, "type": "tone", "freq": 1e4}]}))
    for output in ("c.sigmf-data", "c.blue"):  # the recipe: in the metadata file, after the samples
        status, err = quennel("render", scene, "-o", source / output, cwd=source)
        assert status == 0, err
    cases = [
        (["convert", mounted / "x.iq", source / "y.iq"], f"{mounted / 'x.iq'}: Input/output error (reading sample"),
        (["verify", mounted / "c.sigmf-data"], "Input/output error (reading sample"),
        (["verify", mounted / "c.blue"], f"{mounted / 'c.blue'}: Input/output error"),
        (["info", mounted / "c.blue"], "Input/output error"),
    ]
    for args, fragment in cases:
        status, err = quennel(*args, cwd=source)
        assert status == 1 and fragment in err and len(err.splitlines()) == 1, (args, err)
