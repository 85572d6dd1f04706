import gc
import os
import signal
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import quennel.interrupt.interrupt as shared
from quennel._native import tolvane_lib

import tolvane

SAMPLES = (np.arange(16) * (1 + 0.5j) / 16).astype(np.complex64)


@pytest.fixture
def raw_path(tmp_path):
    path = tmp_path / "capture.bin"
    SAMPLES.tofile(path)
    return path


def test_module_surface():
    assert tolvane.__doc__ == "Tolvane module."
    assert [n for n in dir(tolvane) if not n.startswith("__")] == ["Reader"]
    with pytest.raises(TypeError):
        type("Sub", (tolvane.Reader,), {})


@pytest.mark.parametrize("kwargs, message", [
    ({"sample_type": "CF32"},
     "sample_type must be one of \"cf32\", \"cf64\", \"ci32\", \"ci16\", \"ci8\", \"cu8\", \"cu16\", "
     "\"rf32\", \"rf64\", \"ri32\", \"ri16\", \"ri8\", \"ru8\", \"ru16\", got 'CF32'"),
    ({"endian": "little"}, "endian must be one of \"le\", \"be\", got 'little'"),
    ({"sample_type": "x", "endian": "y"},
     "sample_type must be one of \"cf32\", \"cf64\", \"ci32\", \"ci16\", \"ci8\", \"cu8\", \"cu16\", "
     "\"rf32\", \"rf64\", \"ri32\", \"ri16\", \"ri8\", \"ru8\", \"ru16\", got 'x'"),
])
def test_hint_errors(raw_path, kwargs, message):
    with pytest.raises(ValueError) as err:
        tolvane.Reader(raw_path, **kwargs)
    assert str(err.value) == message


def _unreadable(tmp_path):
    folder = tmp_path / "open"
    folder.mkdir(mode=0o755)
    (folder / "secret.iq").write_bytes(bytes(8))
    (folder / "secret.iq").chmod(0)
    return folder / "secret.iq"


def _sigmf_without_meta(tmp_path):
    (tmp_path / "lone.sigmf-data").write_bytes(bytes(8))
    return tmp_path / "lone.sigmf-data"


@pytest.mark.parametrize("make, error, names", [
    (lambda d: d / "absent.bin", FileNotFoundError, lambda d: d / "absent.bin"),
    (lambda d: d, IsADirectoryError, lambda d: d),
    (_unreadable, PermissionError, lambda d: d / "open" / "secret.iq"),
    (_sigmf_without_meta, FileNotFoundError, lambda d: d / "lone.sigmf-meta"),
])
def test_files_the_file_system_refuses_raise_its_oserror(tmp_path, make, error, names):
    """The error of the file system, naming the file it refused (for a SigMF data file, its
    metadata file); an unreadable file is tried without root's privileges."""
    path, expected = make(tmp_path), names(tmp_path)
    if error is PermissionError and os.geteuid() == 0:
        code = (f"import os, tolvane\nos.setuid(65534)\ntry:\n    tolvane.Reader({str(path)!r})\n"
                f"except PermissionError as e:\n    print(e.filename)")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert done.stdout.strip() == str(expected), done.stderr
        return
    with pytest.raises(error) as raised:
        tolvane.Reader(path)
    assert raised.value.filename == str(expected)


def test_captures_refused_for_what_they_hold_keep_the_library_text(tmp_path):
    (tmp_path / "short.blue").write_bytes(b"BLUE and no whole header")
    with pytest.raises(ValueError, match="^cannot open capture: no such file"):
        tolvane.Reader(tmp_path / "short.blue")


def test_read_whole_raw_capture_by_path_types(raw_path):
    for path in (raw_path, str(raw_path), bytes(raw_path)):
        with tolvane.Reader(path) as reader:
            assert (reader.file_type, reader.sample_type, reader.mode, reader.endian) == (
                "raw", "cf32", "complex", "le")
            assert (reader.fs, reader.fs_source, reader.fc_source, reader.t0_source) == (
                0.0, "none", "none", "none")
            assert reader.num_samples == 16 and reader.trailing_bytes == 0
            assert reader.keywords == {} and reader.header == {}
            first = reader.read(10)
            rest = reader.read(10)
            assert first.dtype == np.complex64 and first.shape == (10,)
            np.testing.assert_array_equal(np.concatenate([first, rest]), SAMPLES)
            assert reader.read(4).size == 0
            reader.reset()
            np.testing.assert_array_equal(reader.read(count=3), SAMPLES[:3])
            assert reader.read(0).size == 0
            assert reader.read_max_out(7) == 7 and reader.read_follow_max_out(9) == 9


def test_read_into_out_buffers(raw_path):
    with tolvane.Reader(raw_path) as reader:
        out = np.zeros((2, 4), dtype=np.complex64)
        view = reader.read(3, out=out)
        assert view.shape == (3,) and view.base is out
        np.testing.assert_array_equal(out.ravel()[:3], SAMPLES[:3])
        with pytest.raises(ValueError) as err:
            reader.read(5, out=np.zeros(4, dtype=np.complex64))
        assert str(err.value) == "out has 4 elements, need >= 5"
        bad_outs = [np.zeros(8, dtype=np.complex128), np.zeros(16, dtype=np.complex64)[::2],
                    np.zeros(8, dtype=">c8"), [0j] * 8]
        readonly = np.zeros(8, dtype=np.complex64)
        readonly.flags.writeable = False
        for bad in bad_outs + [readonly]:
            with pytest.raises(TypeError) as err:
                reader.read(2, out=bad)
            assert str(err.value) == "out must be a writable, C-contiguous ndarray of the output dtype"
        with pytest.raises(ValueError):
            reader.read(-1)


def test_closed_reader(raw_path):
    reader = tolvane.Reader(raw_path)
    assert reader.close() is None
    assert reader.close() is None
    assert reader.destroy() is None
    for use in (lambda: reader.fs, lambda: reader.read(1), lambda: reader.keywords,
                lambda: reader.read_max_out(1), reader.reset, lambda: reader.ending):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            use()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        reader.follow_timeout_ms = 5


def test_context_manager_closes_on_error(raw_path):
    with pytest.raises(KeyError):
        with tolvane.Reader(raw_path) as reader:
            raise KeyError("body")
    with pytest.raises(RuntimeError):
        reader.read(1)


def test_follow_budgets_keep_low_32_bits(raw_path):
    with tolvane.Reader(raw_path) as reader:
        assert (reader.follow_timeout_ms, reader.follow_grace_ms, reader.ending) == (0, 0, "none")
        reader.follow_timeout_ms = -1
        reader.follow_grace_ms = 2**32 + 7
        assert (reader.follow_timeout_ms, reader.follow_grace_ms) == (4294967295, 7)


def test_follow_timeout_on_a_raw_capture(raw_path):
    with tolvane.Reader(raw_path) as reader:
        reader.follow_timeout_ms = 100
        np.testing.assert_array_equal(reader.read_follow(32), SAMPLES)
        assert reader.ending == "none"
        assert reader.read_follow(4).size == 0
        assert reader.ending == "timeout"


@pytest.mark.parametrize("name, content, cut", [
    ("capture.bin", SAMPLES.tobytes(), 8 * 10),
    ("capture.csv", "".join(f"{k},0\n" for k in range(16)).encode(), 4),
])
def test_a_followed_capture_cut_or_written_anew_ends_truncated(tmp_path, name, content, cut):
    """What follows a truncation is not the continuation of what was read: the follow ends."""
    path = tmp_path / name
    path.write_bytes(content)
    with tolvane.Reader(path) as reader:
        reader.follow_timeout_ms = 100
        assert reader.read_follow(32).size == 16
        with open(path, "r+b") as file:
            file.truncate(cut)
        assert reader.read_follow(4).size == 0
        assert reader.ending == "truncated"


def test_interrupt_flag_from_another_thread_ends_a_follow(raw_path):
    with tolvane.Reader(raw_path) as reader:
        reader.read(16)
        reader.follow_grace_ms = 50
        shared.resume()
        timer = threading.Timer(0.15, shared.interrupt)
        timer.start()
        try:
            assert reader.read_follow(1).size == 0
            assert reader.ending == "interrupted"
        finally:
            timer.join()
            shared.resume()


def test_close_while_following_takes_effect_when_the_read_returns(raw_path):
    reader = tolvane.Reader(raw_path)
    reader.read(16)
    reader.follow_timeout_ms = 300
    result = {}
    worker = threading.Thread(target=lambda: result.update(samples=reader.read_follow(1)))  # noqa: F821 (del below)
    worker.start()
    time.sleep(0.1)
    with pytest.raises(RuntimeError):
        reader.read(1)
    reader.close()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        reader.fs
    worker.join()
    assert result["samples"].size == 0
    del reader
    gc.collect()


def test_no_reference_leaks_on_error_paths(raw_path):
    out = np.zeros(4, dtype=np.complex64)
    before = sys.getrefcount(out)
    with tolvane.Reader(raw_path) as reader:
        for _ in range(50):
            with pytest.raises(ValueError):
                reader.read(5, out=out)
            reader.read(2, out=out)
    gc.collect()
    assert sys.getrefcount(out) == before


def write_blue(path, samples, fc=0.0, fs=0.0, keywords=()):
    """An attached cf32 BLUE capture written by the library's own writer."""
    lib = tolvane_lib()
    writer = lib.wfm_writer_create(str(path).encode(), 2, 0, 0, 0, 0, fs, fc, 0.0, 0.0)
    assert writer
    for tag, letter, values in keywords:
        assert lib.wfm_writer_add_keyword(writer, tag, letter, values.ctypes.data, values.size) == 0
    data = np.ascontiguousarray(samples, dtype=np.complex64)
    assert lib.wfm_writer_write(writer, data.ctypes.data, data.size) == data.size
    assert lib.wfm_writer_close(writer) == 0


def set_keyword_area(path, text):
    """Replaces the header's ASCII keyword area (92 bytes at 164, used length at 160)."""
    with open(path, "r+b") as f:
        f.seek(160)
        f.write(struct.pack("<i", len(text)))
        f.write(text.ljust(92, b"\0"))


def test_blue_keywords_and_header(tmp_path):
    path = tmp_path / "capture.blue"
    write_blue(path, SAMPLES, fc=1e9, fs=2e6, keywords=[
        (b"GAIN", b"D", np.array([1.5, 2.5])), (b"COUNT", b"L", np.array([7], dtype=np.int32))])
    with tolvane.Reader(path) as reader:
        assert (reader.file_type, reader.fs, reader.fs_source) == ("blue", 2e6, "xdelta")
        assert (reader.fc, reader.fc_source) == (1e9, "FREQ")
        keywords = reader.keywords
        assert keywords["GAIN"] == [1.5, 2.5] and keywords["COUNT"] == 7
        assert float(keywords["FREQ"]) == 1e9
        header = reader.header
        assert len(header) == 26 and list(header)[:3] == ["version", "head_rep", "data_rep"]
        assert header["version"] == "BLUE" and header["format"] == "CF"
        assert header["data_size"] == 16 * 8 and header["outbytes"] == [0.0] * 8
        np.testing.assert_array_equal(reader.read(100), SAMPLES)


def test_keyword_area_text_is_kept_whole(tmp_path):
    path = tmp_path / "capture.blue"
    write_blue(path, SAMPLES)
    set_keyword_area(path, b"NAME=\0NOTE=caf\xe9\0NAME=second\0")
    with tolvane.Reader(path) as reader:
        keywords = reader.keywords
        assert list(keywords) == ["NAME", "NOTE"]
        assert keywords["NAME"] == "second"
        assert keywords["NOTE"] == "caf\udce9"
        assert keywords["NOTE"].encode("utf-8", "surrogateescape") == b"caf\xe9"
    set_keyword_area(path, b"NAME=\0")
    with tolvane.Reader(path) as reader:
        assert reader.keywords == {"NAME": "\0"}


SIGINT_CHILD = r"""
import signal, sys, ctypes
import numpy as np
import tolvane
from quennel._native import tolvane_lib

previous = []
signal.signal(signal.SIGINT, lambda *a: previous.append(1))
lib = tolvane_lib()
signals = (ctypes.c_int * 1)(signal.SIGINT)
guard = lib.qn_interrupt_guard_create(signals, 1, 0)
with tolvane.Reader(sys.argv[1]) as reader:
    reader.read(1000)
    reader.follow_grace_ms = 200
    print("waiting", flush=True)
    got = reader.read_follow(1)
    print(got.size, reader.ending, flush=True)
lib.qn_interrupt_guard_destroy(guard)
print("previous handler ran" if previous else "previous handler missed", flush=True)
"""


def test_sigint_ends_a_follow_after_the_grace_and_reaches_the_previous_handler(raw_path):
    child = subprocess.Popen([sys.executable, "-c", SIGINT_CHILD, str(raw_path)],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "waiting"
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=20)
    assert child.returncode == 0
    assert out.splitlines() == ["0 interrupted", "previous handler ran"]


FIFO_CHILD = """
import sys, tolvane
try:
    print("opening", flush=True)
    tolvane.Reader(sys.argv[1])
    print("opened")
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""


# Opening a FIFO waits for a writer, detection for its first bytes: SIGINT ends either wait
# with KeyboardInterrupt, as it ends any blocking call in Python.
@pytest.mark.parametrize("writer", [False, True], ids=["no writer", "a writer that never writes"])
def test_sigint_while_opening_a_silent_fifo_raises_keyboard_interrupt(tmp_path, writer):
    import os

    fifo = tmp_path / "capture.iq"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", FIFO_CHILD, str(fifo)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "opening"
    held = os.open(fifo, os.O_WRONLY) if writer else None  # waits for the child's open
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=20)
    if held is not None:
        os.close(held)
    assert (child.returncode, out, err) == (0, "KeyboardInterrupt\n", "")
