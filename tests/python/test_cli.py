"""The quennel command line, run as a user runs it: a separate process per command."""

import ctypes
import json
import signal
import struct
import subprocess
import sys
import time
import warnings
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import kettara
import tolvane

FRAME_ON_WAVEFORM = ("--acq-code/--sync frame a waveform, and a frame needs an explicit payload: use --type bits "
                     "with --bits (--modulation bpsk|qpsk), or --type dsss to spread it")
FRAME_NO_PAYLOAD = "a frame needs a payload: --type bits with --acq-code/--sync also needs --bits"
FRAME_RS_DEPTH = "--rs-depth must be 1, 2, 3, 4, 5 or 8 (CCSDS 131.0-B-3 4.3.5.1)"
FRAME_RS_FILL = ("--rs-depth needs the payload (plus its CRC, if any) to be exactly 223*depth octets — virtual "
                 "fill is not implemented, so a short frame is refused rather than padded")


def quennel(*args, cwd=None, stdin=None, check_status=None):
    """Runs `python -m quennel ARGS`; returns (status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-m", "quennel", *map(str, args)], cwd=cwd, input=stdin,
                          capture_output=True, text=True, timeout=120)
    if check_status is not None:
        assert done.returncode == check_status, done.stderr
    return done.returncode, done.stdout, done.stderr


def template_text():
    return quennel("template", check_status=0)[1]


def read_all(path, **hints):
    """(samples, what the reader declares) of a capture."""
    with tolvane.Reader(str(path), **hints) as reader:
        facts = SimpleNamespace(**{name: getattr(reader, name) for name in (
            "file_type", "sample_type", "fs", "fc", "t0", "num_samples", "keywords")})
        return reader.read(max(reader.num_samples, 1)), facts


def assert_valid_sigmf(meta_path):
    from sigmf.validate import validate

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        validate(json.loads(meta_path.read_text()))


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


# --- help and usage ----------------------------------------------------------------------

@pytest.mark.parametrize("command, option", [
    ("template", "example scene"), ("gen", "--rs-depth"), ("render", "--sample-type"), ("info", "--json"),
    ("verify", "--recipe"),
    ("follow", "--grace"), ("convert", "--in-sample-type"), ("plot", "--nfft"),
])
def test_every_subcommand_has_help(command, option):
    status, out, _ = quennel(command, "--help")
    assert status == 0 and option in out and "usage: quennel " + command in out
    assert command in quennel("--help", check_status=0)[1]


def test_gen_help_says_which_randomiser_receivers_expect():
    text = " ".join(quennel("gen", "--help", check_status=0)[1].split())
    assert "legacy is the 255-bit sequence most deployed telemetry receivers expect" in text
    assert "ccsds is the 2^17-1 sequence" in text


def test_the_quennel_command_sits_beside_the_interpreter():
    """`quennel ...` as printed works once the environment's bin folder is on the path."""
    command = Path(sys.executable).parent / "quennel"
    done = subprocess.run([command, "--version"], capture_output=True, text=True, timeout=60, check=True)
    assert done.stdout.startswith("quennel ")


def test_usage_errors_are_one_line():
    for args in ([], ["frobnicate"], ["gen", "--type", "sawtooth"], ["render", "x.json"]):
        status, _, err = quennel(*args)
        assert status == 2 and len(err.splitlines()) == 1 and "--help" in err, (args, err)


# --- template and gen --------------------------------------------------------------------

def test_template_is_the_example_scene():
    scene = json.loads(template_text())
    tone, bits, mixed = scene["segments"]
    assert (tone["type"], tone["freq"], tone["snr"], tone["num_samples"]) == ("tone", 100000, 20, 10000)
    assert (bits["modulation"], bits["pattern"], bits["pulse"], bits["off_samples"]) == ("qpsk", "1011000110", "rrc", 2000)
    assert [s["type"] for s in mixed["sum"]] == ["bpsk", "tone"] and mixed["sum"][1]["seed"] == 2
    assert all(segment["fs"] == 1000000 for segment in scene["segments"])


def test_gen_writes_the_options_as_scene_keys():
    _, out, _ = quennel("gen", "--type", "bits", "--bits", "1100_1010 1111", "--modulation", "qpsk",
                        "--acq-code", "1010", "--acq-reps", "3", "--sync", "111000", "--crc", "none",
                        "--snr", "-3.5", "--snr-mode", "ebno", "--level", "-6", "--sps", "4", "--pulse", "rrc",
                        "--rrc-beta", "0.25", "--fs", "2e6", "--samples", "4000", "--off", "100", "--delay", "50",
                        "--repeats", "3", "--seed", "4294967297", check_status=0)
    source = json.loads(out)["segments"][0]
    expected = {"type": "bits", "fs": 2e6, "pattern": "110010101111", "modulation": "qpsk", "acq_code": "1010",
                "acq_reps": 3, "sync": "111000", "crc": "none", "snr": -3.5, "snr_mode": "ebno", "level": -6,
                "sps": 4, "pulse": "rrc", "rrc_beta": 0.25, "rrc_span": 8, "num_samples": 4000,
                "off_samples": 100, "delay_samples": 50, "repeats": 3, "seed": 1}
    assert {key: source.get(key) for key in expected} == expected


def test_gen_continuous_dsss_and_symbols():
    dsss = json.loads(quennel("gen", "--type", "dsss", "--data-code", "1110010", "--symbol-rate", "1000",
                              "--bits", "10", check_status=0)[1])["segments"][0]
    assert (dsss["data_code"], dsss["payload"], dsss["symbol_rate"]) == ("1110010", "10", 1000)
    symbols = json.loads(quennel("gen", "--type", "symbols", "--symbols", "1,0,0,-1", check_status=0)[1])
    assert symbols["segments"][0]["symbols"] == [1, 0, 0, -1]


@pytest.mark.parametrize("args, message", [
    (["--type", "qpsk", "--sync", "1100"], FRAME_ON_WAVEFORM),
    (["--type", "tone", "--acq-code", "10"], FRAME_ON_WAVEFORM),
    (["--type", "bits", "--sync", "1100"], FRAME_NO_PAYLOAD),
    (["--type", "bits", "--bits", "1", "--asm", "--rs-depth", "6"], FRAME_RS_DEPTH),
    (["--type", "bits", "--bits", "1", "--rs-depth", "-1"], FRAME_RS_DEPTH),
    (["--type", "bits", "--bits", "1" * 1784, "--rs-depth", "1"], FRAME_RS_FILL),
])
def test_gen_refuses_framing_with_the_exact_message(args, message, tmp_path):
    for output in ([], ["-o", tmp_path / "x.sigmf-data"]):
        status, out, err = quennel("gen", *args, *output)
        assert (status, out, err) == (2, "", message + "\n")
    assert not (tmp_path / "x.sigmf-data").exists()


def test_gen_reads_long_payloads_from_a_file_and_renders(tmp_path):
    (tmp_path / "payload.txt").write_text("1" * 1768 + "\n")
    capture = tmp_path / "tm.blue"
    status, out, _ = quennel("gen", "--type", "bits", "--bits", "@payload.txt", "--asm", "--rs-depth", "1",
                             "--randomise", "ccsds", "--conv", "--samples", "5000", "-o", capture, cwd=tmp_path)
    assert status == 0 and out.startswith(f"wrote 5000 samples to {capture}")


# --- render ------------------------------------------------------------------------------

@pytest.mark.parametrize("name, file_type", [("t.sigmf-data", "sigmf"), ("t.blue", "blue"), ("t.csv", "csv"),
                                             ("t.iq", "raw"), ("t.out", "blue")])
def test_render_writes_the_composed_scene(tmp_path, name, file_type):
    scene = tmp_path / "scene.json"
    scene.write_text(template_text())
    extra = ["--format", "blue"] if name.endswith(".out") else []
    status, out, _ = quennel("render", scene, "-o", tmp_path / name, *extra)
    assert status == 0 and out.startswith(f"wrote 30000 samples to {tmp_path / name} ({file_type}, cf32)")
    samples, reader = read_all(tmp_path / name)
    assert reader.file_type == file_type and len(samples) == 30000
    if file_type != "csv":  # CSV keeps 9 decimals
        np.testing.assert_array_equal(samples, kettara.Plan(scene.read_text()).render(""))
    assert np.mean(np.abs(samples[:10000]) ** 2) == pytest.approx(1.01, rel=0.05)  # tone at SNR 20


def test_render_annotates_sigmf_with_the_stated_sources(tmp_path):
    scene = tmp_path / "scene.json"
    scene.write_text(template_text())
    quennel("render", scene, "-o", tmp_path / "t.sigmf", "--fc", "1e9", "--t0", "1700000000.25", check_status=0)
    meta = json.loads((tmp_path / "t.sigmf-meta").read_text())
    assert meta["captures"] == [{"core:sample_start": 0, "core:datetime": "2023-11-14T22:13:20.250000Z",
                                 "core:frequency": 1e9}]
    notes = [(n["core:label"], n["core:sample_start"], n["core:sample_count"], n["sondrel:snr"])
             for n in meta["annotations"]]
    # The shared noise floor of the sum is not a source of the scene; SNRs are those stated.
    assert notes == [("tone", 0, 10000, 20), ("bits", 10000, 8000, 30), ("bpsk", 20000, 10000, 20),
                     ("tone", 20000, 10000, 10)]


def test_render_integer_capture_with_attenuation_and_headroom(tmp_path):
    scene = tmp_path / "scene.json"
    scene.write_text(json.dumps({"headroom": 6, "segments": [
        {"type": "tone", "fs": 48000, "freq": 1000, "num_samples": 4800}]}))
    status, out, _ = quennel("render", scene, "-o", tmp_path / "t.blue", "--sample-type", "ci16",
                             "--atten", "6", "--fc", "433.92e6")
    assert status == 0 and "no clipping" in out and "peak -12.0" in out
    samples, reader = read_all(tmp_path / "t.blue")
    assert (reader.sample_type, reader.fs, reader.fc) == ("ci16", 48000, 433.92e6)
    assert np.max(np.abs(samples)) == pytest.approx(10 ** (-12 / 20), abs=2e-3)
    status, out, _ = quennel("render", scene, "-o", tmp_path / "loud.blue", "--sample-type", "ci8", "--atten", "-12")
    assert status == 0 and "CLIPPED" in out


def test_render_repeating_scene_needs_a_length(tmp_path):
    scene = tmp_path / "loop.json"
    scene.write_text(json.dumps({"repeat": True, "segments": [{"type": "noise", "num_samples": 1000}]}))
    status, _, err = quennel("render", scene, "-o", tmp_path / "x.iq")
    assert status == 2 and err == f"quennel render: {scene} repeats for ever: give --samples N\n"
    quennel("render", scene, "-o", tmp_path / "x.iq", "--samples", 12345, check_status=0)
    samples, _ = read_all(tmp_path / "x.iq")
    assert len(samples) == 12345 and np.array_equal(samples[:1000], samples[1000:2000])


def test_render_refuses_a_bad_frame_in_a_scene_file(tmp_path):
    scene = tmp_path / "bad.json"
    scene.write_text(json.dumps({"segments": [{"sum": [{"type": "tone"}, {"type": "chirp", "sync": "1"}],
                                               "num_samples": 10}]}))
    assert quennel("render", scene, "-o", tmp_path / "x.iq") == (2, "", FRAME_ON_WAVEFORM + "\n")


# --- info, convert ----------------------------------------------------------------------

def _blue_with_keywords(path):
    from quennel.capture import Writer

    writer = Writer(str(path), "blue", "ci16", "be", fs=2e6, fc=100e6, t0=1700000000.5)
    writer.add_keyword("OPERATOR", "A", b"quennel", 7)
    writer.add_keyword("GAINS", "D", struct.pack("=2d", 1.5, -2.0), 2)
    writer.add_keyword("CHANNEL", "L", struct.pack("=i", 7), 1)
    writer.write(np.exp(2j * np.pi * 0.01 * np.arange(1000)).astype(np.complex64) * 0.5)
    writer.close()


def test_info_shows_what_the_capture_declares(tmp_path):
    _blue_with_keywords(tmp_path / "k.blue")
    status, out, _ = quennel("info", tmp_path / "k.blue")
    assert status == 0
    for line in ("file type    blue", "sample type  ci16, complex, big-endian", "sample rate  2 MHz  (from xdelta)",
                 "centre freq  100 MHz  (from FREQ)", "start time   2023-11-14T22:13:20.500000Z  (from timecode)",
                 "samples      1000  (0.0005 s)", "OPERATOR = 'quennel'", "GAINS = [1.5, -2.0]", "CHANNEL = 7",
                 "header       version = 'BLUE'"):
        assert line in out, line
    facts = json.loads(quennel("info", tmp_path / "k.blue", "--json", check_status=0)[1])
    assert facts["num_samples"] == 1000 and facts["keywords"]["CHANNEL"] == 7 and facts["header"]["format"] == "CI"


def test_info_of_a_headerless_capture_uses_the_hints(tmp_path):
    (tmp_path / "x.bin").write_bytes(b"\0" * 10)
    facts = json.loads(quennel("info", tmp_path / "x.bin", "--sample-type", "ci16", "--json", check_status=0)[1])
    assert (facts["file_type"], facts["num_samples"], facts["trailing_bytes"]) == ("raw", 2, 2)


def test_convert_carries_metadata_and_keywords(tmp_path):
    _blue_with_keywords(tmp_path / "k.blue")
    original, _ = read_all(tmp_path / "k.blue")

    quennel("convert", tmp_path / "k.blue", tmp_path / "k.sigmf-data", "--sample-type", "cf32", check_status=0)
    samples, reader = read_all(tmp_path / "k.sigmf-data")
    assert np.array_equal(samples, original) and (reader.fs, reader.fc) == (2e6, 100e6)
    glob = json.loads((tmp_path / "k.sigmf-meta").read_text())["global"]
    assert glob["quennel:keywords"] == {"FREQ": 100e6, "RF_FREQ": 100e6, "OPERATOR": "quennel",
                                        "GAINS": [1.5, -2.0], "CHANNEL": 7}
    assert {"name": "quennel", "version": "1.0.0", "optional": True} in glob["core:extensions"]
    assert_valid_sigmf(tmp_path / "k.sigmf-meta")

    quennel("convert", tmp_path / "k.sigmf-data", tmp_path / "k.csv", "-q", check_status=0)
    assert np.allclose(read_all(tmp_path / "k.csv")[0], original, atol=1e-8)

    quennel("convert", tmp_path / "k.blue", tmp_path / "copy.blue", check_status=0)
    samples, reader = read_all(tmp_path / "copy.blue")
    assert np.array_equal(samples, original) and reader.sample_type == "ci16" and reader.t0 == 1700000000.5
    assert reader.keywords == {"FREQ": 100e6, "RF_FREQ": 100e6, "OPERATOR": "quennel", "GAINS": [1.5, -2.0],
                               "CHANNEL": 7}


def test_convert_between_sigmf_captures_keeps_annotations_and_start_time(tmp_path):
    scene = tmp_path / "scene.json"
    scene.write_text(template_text())
    quennel("render", scene, "-o", tmp_path / "a.sigmf-data", "--t0", "1700000000.25", "--fc", "1e9",
            check_status=0)
    quennel("convert", tmp_path / "a.sigmf-data", tmp_path / "b.sigmf-data", "--sample-type", "ci16",
            "--endian", "be", check_status=0)
    before, after = (json.loads((tmp_path / name).read_text()) for name in ("a.sigmf-meta", "b.sigmf-meta"))
    assert after["annotations"] == before["annotations"] and len(after["annotations"]) == 4
    assert after["captures"] == before["captures"] and after["global"]["core:datatype"] == "ci16_be"
    assert_valid_sigmf(tmp_path / "b.sigmf-meta")


# --- follow -------------------------------------------------------------------------------

def _follow(*args):
    return subprocess.Popen([sys.executable, "-m", "quennel", "follow", *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_follow_reads_a_growing_capture_to_its_end(tmp_path):
    from quennel.capture import Writer

    path = tmp_path / "live.blue"
    writer = Writer(str(path), "blue", "cf32")
    block = np.ones(1000, np.complex64)
    writer.write(block)
    writer.flush()
    follower = _follow(path)
    for _ in range(3):
        time.sleep(0.25)
        writer.write(block)
        writer.flush()
    writer.close()
    out, err = follower.communicate(timeout=30)
    assert follower.returncode == 0 and out.startswith("eof: the writer closed the capture; 4000 samples"), err


def _wait_for_signal_guard(pid, timeout_s=30.0):
    """Waits until the process catches SIGTERM, which only the follower's guard does."""
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/status") as status:
            caught = next(int(line.split()[1], 16) for line in status if line.startswith("SigCgt:"))
        if caught & (1 << (signal.SIGTERM - 1)):
            return
        time.sleep(0.02)
    raise AssertionError("the follower never installed its signal guard")


@pytest.mark.parametrize("how, status, text", [
    ("timeout", 3, "timeout: no new samples within the timeout; 16 samples"),
    (signal.SIGINT, 130, "interrupted: stopped on request; 16 samples"),
    (signal.SIGTERM, 130, "interrupted: stopped on request; 16 samples"),
])
def test_follow_ends_on_a_timeout_or_a_signal(tmp_path, how, status, text):
    path = tmp_path / "still.iq"
    path.write_bytes(b"\0" * 128)
    follower = _follow(path, "--timeout", 300) if how == "timeout" else _follow(path, "--grace", 100)
    if how != "timeout":
        _wait_for_signal_guard(follower.pid)
        follower.send_signal(how)
    out, err = follower.communicate(timeout=30)
    assert (follower.returncode, err) == (status, "") and out.startswith(text)


def test_follow_of_a_capture_written_anew_says_truncated(tmp_path):
    path = tmp_path / "anew.iq"
    path.write_bytes(b"\0" * 128)
    follower = _follow(path, "--timeout", 20000)
    _wait_for_signal_guard(follower.pid)
    time.sleep(0.5)  # past its first read, which took the 16 samples there
    with open(path, "r+b") as file:  # begun anew: 4 samples
        file.truncate(0)
        file.write(b"\1" * 32)
    out, err = follower.communicate(timeout=60)
    assert (follower.returncode, err) == (1, "")
    assert out.startswith("truncated: the capture became shorter than what was read (cut, or written anew); 16 samples")


# --- plot and demo -----------------------------------------------------------------------

def test_plot_draws_png_of_the_requested_size(tmp_path):
    scene = tmp_path / "scene.json"
    scene.write_text(template_text())
    quennel("plot", scene, "-o", tmp_path / "scene.png", "--size", "640x480", check_status=0)
    assert png_size(tmp_path / "scene.png") == (640, 480)
    (tmp_path / "t.iq").write_bytes(np.ones(5000, np.complex64).tobytes())
    status, _, err = quennel("plot", tmp_path / "t.iq", "-o", tmp_path / "raw.png", "--sps", "4", "--size", "400x300")
    assert (status, err) == (0, "") and png_size(tmp_path / "raw.png") == (400, 300)


def test_demo_renders_reads_back_and_plots(tmp_path):
    done = subprocess.run([sys.executable, "-m", "quennel.demo"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert "read back demo-out/template.sigmf-data: sigmf, cf32" in done.stdout
    assert png_size(tmp_path / "demo-out" / "template.png") == (1200, 900)  # a capture plotted with its annotations
    assert read_all(tmp_path / "demo-out" / "template.sigmf-data")[1].num_samples == 30000


# --- bad arguments ------------------------------------------------------------------------

@pytest.fixture
def junk(tmp_path):
    (tmp_path / "notjson.json").write_text("{segments: oops")
    (tmp_path / "empty.json").write_text('{"segments": []}')
    (tmp_path / "notype.json").write_text('{"segments": [{"num_samples": 5}]}')
    (tmp_path / "orphan.sigmf-data").write_bytes(b"\0" * 16)
    (tmp_path / "ok.json").write_text('{"segments": [{"type": "tone", "num_samples": 5}]}')
    return tmp_path


@pytest.mark.parametrize("args, fragment", [
    (["render", "missing.json", "-o", "x.iq"], "missing.json: no such file"),
    (["render", "notjson.json", "-o", "x.iq"], "not a scene: invalid JSON"),
    (["render", "empty.json", "-o", "x.iq"], "non-empty \"segments\""),
    (["render", "notype.json", "-o", "x.iq"], "a source needs \"type\""),
    (["render", "ok.json", "-o", "x.wav"], "cannot tell the capture format"),
    (["render", "ok.json", "-o", "x.iq", "--format", "sigmf"], "a SigMF capture is named"),
    (["render", "ok.json", "-o", "nofolder/x.iq"], "cannot create the capture"),
    (["info", "missing.blue"], "missing.blue: no such file"),
    (["info", "orphan.sigmf-data"], "orphan.sigmf-meta: No such file or directory"),
    (["convert", "missing.iq", "x.iq"], "no such file"),
    (["follow", "."], "is a folder"),
    (["plot", "ok.json", "-o", "x.png", "--size", "big"], "--size must be"),
    (["plot", "missing.iq", "-o", "x.png"], "no such file"),
    (["gen", "--bits", "10x1"], "not a bit string"),
    (["gen", "--bits", "@missing.txt"], "argument --bits: missing.txt: no such file"),
    (["gen", "--samples", "1.5"], "not a whole count: '1.5'"),
    (["render", "ok.json", "-o", "-"], "standard output (-) takes raw or CSV samples"),
    (["convert", "missing.iq", "x.iq", "--fs", "fast"], "not a frequency: 'fast'"),
])
def test_bad_arguments_give_one_line_and_no_traceback(junk, args, fragment):
    status, out, err = quennel(*args, cwd=junk)
    assert status != 0 and out == "" and len(err.splitlines()) == 1 and fragment in err, err
    assert "Traceback" not in err


@pytest.mark.parametrize("rrc_beta", [None, 0.35])
def test_constellation_removes_the_carrier_and_finds_the_symbol_instants(rrc_beta):
    from quennel._native import kettara_lib
    from quennel.cli.plot import SymbolSource, symbol_points

    sps, span, freq = 8, 8, 0.05
    symbols = (np.random.default_rng(3).integers(0, 4, 600) * 2 + 1) * np.pi / 4
    impulses = np.zeros(len(symbols) * sps, np.complex128)
    impulses[3::sps] = np.exp(1j * symbols)  # symbol instants off the block start
    if rrc_beta is None:
        shaped = np.convolve(impulses, np.ones(sps))[: len(impulses)]
    else:
        taps = (ctypes.c_float * (2 * sps * span + 1))()
        kettara_lib().wfm_rrc_taps(sps, span, taps, rrc_beta)
        shaped = np.convolve(impulses, np.array(taps))
    x = (shaped * np.exp(2j * np.pi * freq * np.arange(len(shaped)))).astype(np.complex64)
    points = symbol_points(x, SymbolSource(0, len(x), sps, freq, rrc_beta, span))
    ideal = np.exp(1j * (np.arange(4) * 2 + 1) * np.pi / 4)
    distance = np.min(np.abs(points[:, None] - ideal[None, :]), axis=1)
    assert len(points) >= len(symbols) - 2 * span - 2 and np.percentile(distance, 95) < 0.05


@pytest.mark.parametrize("command, statuses", [
    ("render", ["0    success", "1    failure", "2    usage error", "130  stopped by Ctrl-C"]),
    ("convert", ["0    success", "2    usage error"]), ("sweep", ["0    success", "2    usage error"]),
    ("verify", ["0    bit-identical", "1    different", "2    cannot verify"]),
    ("follow", ["0    the writer closed the capture", "3    no new samples within --timeout"]),
])
def test_every_command_has_quiet_verbose_version_and_its_exit_statuses(command, statuses):
    out = quennel(command, "--help", check_status=0)[1]
    assert all(option in out for option in ("-q, --quiet", "-v, --verbose", "--version"))
    assert "\nexit status:\n" in out and all(f"\n  {line}" in out for line in statuses), out
    assert quennel(command, "--version", check_status=0)[1].startswith("quennel ")


def test_quiet_leaves_only_errors(tmp_path):
    scene = tmp_path / "scene.json"
    scene.write_text('{"segments": [{"type": "tone", "num_samples": 100}]}')
    assert quennel("render", scene, "-o", tmp_path / "x.blue", "-q") == (0, "", "")
    (tmp_path / "cut.blue").write_bytes((tmp_path / "x.blue").read_bytes()[:600])
    assert quennel("convert", tmp_path / "cut.blue", tmp_path / "y.iq", "-q") == (0, "", "")  # no truncation warning
    assert quennel("verify", tmp_path / "x.blue", "-q") == (0, "", "")
    status, out, err = quennel("verify", tmp_path / "cut.blue", "-q")
    assert (status, out) == (2, "") and err.startswith("quennel verify: ")  # errors still say why


@pytest.mark.parametrize("args, key, value", [
    (["--samples", "1e4"], "num_samples", 10000), (["--samples", "10k"], "num_samples", 10000),
    (["--fs", "2.4M"], "fs", 2400000), (["--fs", "2.4e6"], "fs", 2400000), (["--freq", "250k"], "freq", 250000),
    (["--freq", "433.92MHz", "--fs", "1G"], "freq", 433920000), (["--repeats", "1e1"], "repeats", 10),
])
def test_counts_take_exponents_and_frequencies_engineering_prefixes(args, key, value):
    assert json.loads(quennel("gen", *args, check_status=0)[1])["segments"][0][key] == value


def test_standard_streams_carry_raw_and_csv_samples_and_convert_declares_what_they_lack(tmp_path):
    (tmp_path / "scene.json").write_text('{"segments": [{"type": "tone", "freq": 1000, "num_samples": 500}]}')
    done = subprocess.run([sys.executable, "-m", "quennel", "render", "scene.json", "-o", "-", "--format", "raw",
                           "--sample-type", "ci16"], cwd=tmp_path, capture_output=True, timeout=120)
    assert done.returncode == 0 and len(done.stdout) == 500 * 4
    assert done.stderr.decode().startswith("wrote 500 samples to standard output (raw, ci16)")
    piped = subprocess.run([sys.executable, "-m", "quennel", "convert", "-", "x.sigmf-data", "--in-sample-type",
                            "ci16", "--fs", "2.4M", "--fc", "433.92M", "--t0", "1700000000"], cwd=tmp_path,
                           input=done.stdout, capture_output=True, timeout=120)
    assert piped.returncode == 0, piped.stderr
    samples, facts = read_all(tmp_path / "x.sigmf-data")
    assert (facts.num_samples, facts.fs, facts.fc, facts.sample_type) == (500, 2.4e6, 433.92e6, "ci16")
    meta = json.loads((tmp_path / "x.sigmf-meta").read_text())
    assert meta["captures"][0]["core:datetime"].startswith("2023-11-14T22:13:20")
    quennel("render", tmp_path / "scene.json", "-o", tmp_path / "again.cs16", check_status=0)
    assert np.array_equal(samples, read_all(tmp_path / "again.cs16", sample_type="ci16")[0])
    status, out, _ = quennel("info", "-", "--json", cwd=tmp_path, stdin="0.5,0.25\n-1,1\n")
    assert status == 0 and (json.loads(out)["file_type"], json.loads(out)["num_samples"]) == ("csv", 2)
