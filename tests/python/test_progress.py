"""The progress display, seen on a terminal: drawn after half a second, cleared at the end,
never for quick tasks, with -q, or off a terminal."""

import fcntl
import os
import pty
import struct
import subprocess
import sys
import termios

import pytest

LONG = '{"repeat": true, "segments": [{"type": "noise", "num_samples": 100000}]}'


def stderr_on_a_terminal(args, cwd):
    """(status, what the command drew on its standard error, a pseudo-terminal of 100 columns)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # 24 rows of 100 columns
    child = subprocess.Popen([sys.executable, "-m", "quennel", *args], cwd=cwd, stdout=subprocess.DEVNULL,
                             stderr=slave)
    os.close(slave)
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
    return child.wait(timeout=120), drawn.decode(errors="replace")


@pytest.mark.parametrize("samples, extra, drawn", [
    (40_000_000, [], True), (40_000_000, ["-q"], False), (1000, [], False),
])
def test_render_draws_its_progress_only_on_long_runs_and_clears_it(tmp_path, samples, extra, drawn):
    (tmp_path / "scene.json").write_text(LONG)
    status, text = stderr_on_a_terminal(["render", "scene.json", "-o", "x.cs8", "--samples", str(samples),
                                         *extra], tmp_path)
    assert status == 0
    if not drawn:
        assert text == ""
        return
    assert "render:" in text and "sample/s" in text and "%|" in text
    assert text.endswith("\r") and text.rsplit("\r", 2)[-2].strip() == ""  # the line is blanked at the end


def test_no_progress_off_a_terminal(tmp_path):
    (tmp_path / "scene.json").write_text(LONG)
    done = subprocess.run([sys.executable, "-m", "quennel", "render", "scene.json", "-o", "x.cs8", "--samples",
                           str(40_000_000)], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stderr == ""
