"""Outputs are written whole or not at all: refused over an input or an existing file,
refused when the file system lacks the room, and removed when a command fails or is
stopped by a signal. Each case runs the command line as a separate process."""

import os
import resource
import signal
import subprocess
import sys
import time

import pytest
from quennel.outputs import size_text
from test_cli import quennel

SCENE = '{"segments": [{"type": "tone", "freq": 1000, "fs": 1e6, "num_samples": 300000}]}'  # 2.4 MB as cf32
ENDLESS = '{"repeat": true, "segments": [{"type": "noise", "num_samples": 100000}]}'


@pytest.mark.parametrize("count, text", [
    (0, "0 B"), (999, "999 B"), (1000, "1.0 kB"), (2_400_000, "2.4 MB"), (9_949_999, "9.9 MB"),
    (77_000_000_000, "77 GB"), (8_000_000_000_000, "8.0 TB"), (999_499_999, "999 MB"), (999_500_000, "1.0 GB"),
])
def test_sizes_read_as_people_write_them(count, text):
    assert size_text(count) == text


@pytest.fixture
def captures(tmp_path):
    """A raw capture, a SigMF pair, and a link to the raw capture."""
    (tmp_path / "scene.json").write_text('{"segments": [{"type": "tone", "num_samples": 1000}]}')
    for name in ("x.iq", "p.sigmf-data"):
        quennel("render", "scene.json", "-o", name, cwd=tmp_path, check_status=0)
    os.symlink("x.iq", tmp_path / "link.iq")
    return tmp_path


@pytest.mark.parametrize("source, target, message", [
    ("x.iq", "x.iq", "x.iq is the input x.iq"), ("x.iq", "./x.iq", "./x.iq is the input x.iq"),
    ("x.iq", "link.iq", "link.iq is the input x.iq"), ("link.iq", "x.iq", "x.iq is the input link.iq"),
    ("p.sigmf-data", "p.sigmf-meta", "p.sigmf-data is the input p.sigmf-data"),
    ("p.sigmf-meta", "p.sigmf", "p.sigmf-data is the input p.sigmf-data"),
])
def test_convert_never_writes_over_its_input(captures, source, target, message):
    before = {name: (captures / name).read_bytes() for name in ("x.iq", "p.sigmf-data", "p.sigmf-meta")}
    status, out, err = quennel("convert", source, target, "--force", cwd=captures)
    assert (status, out, err) == (2, "", f"quennel convert: {message} itself; name another output\n")
    assert {name: (captures / name).read_bytes() for name in before} == before


@pytest.mark.parametrize("command", [
    ["render", "scene.json", "-o", "{out}"], ["gen", "--samples", "100", "-o", "{out}"],
    ["convert", "x.iq", "{out}"], ["plot", "x.iq", "-o", "{out}"],
    ["sweep", "scene.json", "--snr", "0:0:1", "--trials", "1", "-o", "{out}"],
])
def test_an_existing_output_is_replaced_only_with_force(captures, command):
    out = "old.png" if command[0] == "plot" else "old.csv" if command[0] == "sweep" else "old.iq"
    (captures / out).write_bytes(b"keep me")
    args = [part.format(out=out) for part in command]
    assert quennel(*args, cwd=captures) == (2, "", f"quennel {command[0]}: {out} exists: give --force (-f) to "
                                                     "replace it\n")
    assert (captures / out).read_bytes() == b"keep me"
    quennel(*args, "--force", cwd=captures, check_status=0)
    assert (captures / out).read_bytes() != b"keep me"
    assert sorted(os.listdir(captures)) == sorted(["scene.json", "x.iq", "p.sigmf-data", "p.sigmf-meta",
                                                   "link.iq", out])


def test_a_failing_recipe_file_leaves_no_capture(tmp_path):
    (tmp_path / "scene.json").write_text(SCENE)
    status, _, err = quennel("render", "scene.json", "-o", "x.sigmf-data", "--recipe", "nofolder/x.json",
                             cwd=tmp_path)
    assert (status, err) == (1, "quennel render: nofolder/x.json: cannot write the recipe: No such file or "
                                "directory\n")
    assert os.listdir(tmp_path) == ["scene.json"]


@pytest.fixture
def small_file_system(tmp_path):
    """(folder, limit of the child process): a 1 MiB tmpfs mounted on the folder when this
    test may mount, else a 1 MiB file-size limit for the child."""
    folder = tmp_path / "small"
    folder.mkdir()
    try:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(folder)],
                                 capture_output=True).returncode == 0
    except OSError:  # no mount command
        mounted = False
    yield folder, None if mounted else 1 << 20
    if mounted:
        subprocess.run(["umount", str(folder)], check=True)


def _limited(limit):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write beyond the limit then fails with EFBIG
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply if limit else None


@pytest.mark.parametrize("name", ["x.iq", "x.sigmf-data", "x.blue", "x.csv"])
def test_a_full_disk_leaves_nothing_behind(small_file_system, name):
    folder, limit = small_file_system
    (folder.parent / "scene.json").write_text(SCENE)
    command = [sys.executable, "-m", "quennel", "render", "../scene.json", "-o", name]
    if limit is None and name != "x.csv":  # the size of a CSV capture is not known in advance
        done = subprocess.run(command, cwd=folder, capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (1, f"quennel render: {name}: needs 2.4 MB, 1.0 MB free "
                                                     "(give --force to write it anyway)\n")
        assert os.listdir(folder) == []
    done = subprocess.run(command + ["--force"], cwd=folder, capture_output=True, text=True, timeout=120,
                          preexec_fn=_limited(limit))
    assert (done.returncode, done.stderr) == (1, f"quennel render: {name}: write failed (disk full?)\n")
    assert os.listdir(folder) == []


@pytest.mark.parametrize("sig, status, message", [
    (signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "stopped by SIGTERM"),
    (signal.SIGHUP, 129, "stopped by SIGHUP"),
])
@pytest.mark.parametrize("name", ["x.sigmf-data", "x.blue", "x.iq"])
def test_a_signal_mid_write_leaves_nothing_behind(tmp_path, sig, status, message, name):
    (tmp_path / "scene.json").write_text(ENDLESS)
    child = subprocess.Popen([sys.executable, "-m", "quennel", "render", "scene.json", "-o", name, "--samples",
                              str(10 ** 9), "--sample-type", "ci8", "--force", "--recipe", "x.json"],
                             cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not any(f.endswith(name[1:]) and f.startswith(".x.part") and os.path.getsize(tmp_path / f)
                      for f in os.listdir(tmp_path)):
            assert time.monotonic() < deadline and child.poll() is None, "the render never started writing"
            time.sleep(0.01)
        child.send_signal(sig)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert (child.returncode, out, err) == (status, "", f"quennel render: {message}\n")
    assert os.listdir(tmp_path) == ["scene.json"]


def test_a_live_render_writes_in_place(tmp_path):
    """--live keeps the capture under its name while it is written, for followers."""
    (tmp_path / "scene.json").write_text(ENDLESS)
    child = subprocess.Popen([sys.executable, "-m", "quennel", "render", "scene.json", "-o", "live.blue",
                              "--samples", str(10 ** 9), "--sample-type", "ci8", "--force", "--live"],
                             cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not ((tmp_path / "live.blue").exists() and (tmp_path / "live.blue").stat().st_size > 1 << 20):
            assert time.monotonic() < deadline and child.poll() is None, "the render never started writing"
            time.sleep(0.01)
        assert sorted(os.listdir(tmp_path)) == ["live.blue", "scene.json"]
        child.send_signal(signal.SIGTERM)
        child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 143 and (tmp_path / "live.blue").exists()
