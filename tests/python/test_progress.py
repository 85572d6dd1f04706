"""The progress display, seen on a terminal: drawn after half a second, cleared at the end,
never for quick tasks, with -q, or off a terminal."""

import fcntl
import os
import pty
import struct
import subprocess
import sys
import termios
import threading
import time

import pytest

LONG = '{"repeat": true, "segments": [{"type": "noise", "num_samples": 100000}]}'


def stderr_on_a_terminal(args, cwd):
    """(status, what the command drew on its standard error, a pseudo-terminal of 100 columns).
    Its samples go to a pipe that is first read after a second, so that a long task has
    certainly run for longer than the half second before a progress display is drawn."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # 24 rows of 100 columns
    child = subprocess.Popen([sys.executable, "-m", "quennel", *args], cwd=cwd, stdout=subprocess.PIPE,
                             stderr=slave)
    os.close(slave)
    reader = threading.Thread(target=lambda: (time.sleep(1.0), child.stdout.read()))
    reader.start()
    drawn = b""
    while True:
        try:
            chunk = os.read(master, 1 << 16)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        drawn += chunk
    os.close(master)
    reader.join()
    return child.wait(timeout=120), drawn.decode(errors="replace")


@pytest.mark.parametrize("samples, extra, drawn", [
    (40_000_000, [], True), (40_000_000, ["-q"], False), (1000, [], False),
])
def test_render_draws_its_progress_only_on_long_runs_and_clears_it(tmp_path, samples, extra, drawn):
    (tmp_path / "scene.json").write_text(LONG)
    status, text = stderr_on_a_terminal(["render", "scene.json", "-o", "-", "--format", "raw", "--sample-type",
                                         "ci8", "--samples", str(samples), *extra], tmp_path)
    assert status == 0
    progress, summary, _ = text.partition("wrote ")  # the summary follows on standard error, unless -q
    assert bool(summary) == ("-q" not in extra)
    if not drawn:
        assert progress == ""
        return
    assert "render:" in progress and "sample/s" in progress and "%|" in progress
    assert progress.endswith("\r") and progress.rsplit("\r", 2)[-2].strip() == ""  # blanked at the end


def test_no_progress_off_a_terminal(tmp_path):
    (tmp_path / "scene.json").write_text(LONG)
    done = subprocess.run([sys.executable, "-m", "quennel", "render", "scene.json", "-o", "x.cs8", "--samples",
                           str(40_000_000)], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stderr == ""
