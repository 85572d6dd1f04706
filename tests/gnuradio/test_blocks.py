"""The GNU Radio blocks in real flowgraphs (Debian's GNU Radio, on the system Python)."""

import inspect
import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pmt
import pytest
from gnuradio import blocks, gr
from quennel.capture import Writer
from quennel.gnuradio import capture_sink, capture_source, scene_source
from quennel.interrupt import interrupt
from quennel.scene import Composer

import kettara
import tolvane

BURSTS = ('{"segments": [{"fs": 1e6, "num_samples": 3000, "delay_samples": 100, "off_samples": [50, 400],'
          ' "repeats": 3, "sum": [{"type": "tone", "freq": 1e5}, {"type": "bpsk", "snr": 8, "sps": 4}]},'
          ' {"fs": 1e6, "type": "chirp", "freq": -2e5, "f_end": 2e5, "snr": 12, "num_samples": 2000}]}')
REPEATING = ('{"repeat": true, "segments": [{"type": "qpsk", "snr": 10, "num_samples": 700,'
             ' "off_samples": 300, "repeats": 2}]}')


def run(*chain):
    """Connects the blocks in a chain, runs the flowgraph to its end, returns the last block.
    (The flowgraph does not keep Python blocks alive: the chain holds them while it runs.)"""
    top = gr.top_block()
    top.connect(*chain)
    top.run()
    return chain[-1]


def collected(sink) -> np.ndarray:
    return np.array(sink.data(), dtype=np.complex64)


def burst_tags(sink) -> list[tuple[int, dict]]:
    return [(tag.offset, pmt.to_python(tag.value)) for tag in sink.tags() if pmt.symbol_to_string(tag.key) == "annotation"]


def expected_bursts(scene: str, seed=None, shift: int = 0) -> list[tuple[int, str, int]]:
    """(first sample, label, sample count) of every burst of the first pass, from the
    annotations a SigMF capture of the scene gets."""
    from quennel.gnuradio._streams import scene_bursts

    with Composer(scene) as composer:
        return [(offset + shift, a["core:label"], a["core:sample_count"]) for offset, a in scene_bursts(composer, seed)]


def summary(tags) -> list[tuple[int, str, int]]:
    return [(offset, a["core:label"], a["core:sample_count"]) for offset, a in tags]


@pytest.mark.parametrize("overrides", [{}, {"snr": 3.5}, {"seed": 1234}, {"snr": -2.0, "seed": 77}])
def test_scene_source_is_the_plan_render_with_tags_at_burst_starts(overrides):
    reference = kettara.Plan(BURSTS).render(json.dumps(overrides) if overrides else "")
    sink = run(scene_source(BURSTS, **overrides), blocks.head(gr.sizeof_gr_complex, 10**6),
               blocks.vector_sink_c())
    assert collected(sink).tobytes() == reference.tobytes()
    tags = burst_tags(sink)
    assert summary(tags) == expected_bursts(BURSTS, overrides.get("seed"))
    assert len(tags) == 3 * 2 + 1
    chirp = tags[-1][1]
    assert (chirp["core:freq_lower_edge"], chirp["core:freq_upper_edge"]) == (-2e5, 2e5)
    assert chirp["sondrel:snr"] == overrides.get("snr", 12) and chirp["sondrel:seed"] == overrides.get("seed", 1)
    assert tags[1][1]["core:label"] == "bpsk" and tags[1][1]["sondrel:snr"] == 8  # a sum keeps its stated SNRs
    for offset, annotation in tags:  # every burst starts where the scene's samples stop being silent or noise-only
        assert annotation["core:sample_count"] > 0 and offset < reference.size


IMPAIRED = json.dumps({"segments": [{
    "fs": 1e6, "type": "qpsk", "snr": 12, "num_samples": 5000, "off_samples": 200, "repeats": 2,
    "channel": {"freq_drift": 2e6, "clock_ppm": 30, "multipath": {"delays": [0, 1.5]},
                "fading": {"model": "rayleigh", "doppler": 500}},
    "frontend": {"iq_imbalance": {"gain_db": 0.5, "phase_deg": 2}, "dc_offset": [0.01, 0]}}]})


def test_an_impaired_scene_streams_as_it_composes_and_its_tags_name_the_channel():
    composed = []
    with Composer(IMPAIRED) as composer:
        block = np.empty(3000, np.complex64)
        while n := composer.read(block):
            composed.append(block[:n].copy())
    reference = kettara.Plan(IMPAIRED).render("")
    assert np.concatenate(composed).tobytes() == reference.tobytes()
    sink = run(scene_source(IMPAIRED), blocks.head(gr.sizeof_gr_complex, 10**6), blocks.vector_sink_c())
    assert collected(sink).tobytes() == reference.tobytes()
    first = burst_tags(sink)[0][1]
    assert first["quennel:channel"]["fading"]["model"] == "rayleigh"
    assert first["quennel:frontend"]["dc_offset"] == [0.01, 0]


def test_a_scene_file_or_parsed_scene_streams_like_its_text(tmp_path):
    path = tmp_path / "scene.json"
    path.write_text(BURSTS)
    reference = kettara.Plan(BURSTS).render("")
    for scene in (str(path), path, json.loads(BURSTS)):
        sink = run(scene_source(scene), blocks.vector_sink_c())
        assert collected(sink).tobytes() == reference.tobytes()


def test_a_repeating_scene_streams_past_its_length():
    with Composer(REPEATING) as composer:
        length = composer.pass_length()
        wanted = 3 * length + 123
        reference = np.empty(wanted, np.complex64)
        assert composer.read(reference) == wanted
    sink = run(scene_source(REPEATING), blocks.head(gr.sizeof_gr_complex, wanted), blocks.vector_sink_c())
    assert collected(sink).tobytes() == reference.tobytes()
    first = expected_bursts(REPEATING)
    assert summary(burst_tags(sink)) == [burst for shift in (0, length, 2 * length, 3 * length)
                                         for burst in expected_bursts(REPEATING, shift=shift) if burst[0] < wanted]
    assert len(first) == 2


def test_a_repeating_scene_with_overrides_renders_pass_after_pass():
    plan = kettara.Plan(REPEATING.replace('"repeat": true, ', ""))
    one_pass = plan.render('{"snr": 4}')
    sink = run(scene_source(REPEATING, snr=4), blocks.head(gr.sizeof_gr_complex, 2 * one_pass.size + 10),
               blocks.vector_sink_c())
    samples = collected(sink)
    assert samples[:one_pass.size].tobytes() == one_pass.tobytes()
    assert samples[one_pass.size:2 * one_pass.size].tobytes() == one_pass.tobytes()  # no seed advance: passes repeat
    advancing = REPEATING.replace('"repeat": true', '"repeat": true, "seed_advance": "noise"')
    sink = run(scene_source(advancing, snr=4, seed=9), blocks.head(gr.sizeof_gr_complex, 2 * one_pass.size),
               blocks.vector_sink_c())
    samples = collected(sink)
    assert samples[:one_pass.size].tobytes() == plan.render('{"snr": 4, "seed": 9}').tobytes()
    assert samples[one_pass.size:].tobytes() == plan.render('{"snr": 4, "seed": 10}').tobytes()
    assert summary(burst_tags(sink)) == expected_bursts(REPEATING, 9) + expected_bursts(REPEATING, 10, one_pass.size)


@pytest.mark.parametrize("kept, annotated", [
    (4500, [(0, 3000), (3000, 1500)]),
    (3000, [(0, 3000)]),
    (2999, [(0, 2999)]),
    (6000, [(0, 3000), (3000, 3000)]),
])
def test_capture_sink_annotates_only_the_samples_written(tmp_path, kept, annotated):
    path = tmp_path / "cut.sigmf-data"
    run(scene_source('{"segments": [{"type": "tone", "num_samples": 3000, "repeats": 2}]}'),
        blocks.head(gr.sizeof_gr_complex, kept), capture_sink(str(path)))
    meta = json.loads((tmp_path / "cut.sigmf-meta").read_text())
    assert [(a["core:sample_start"], a["core:sample_count"]) for a in meta["annotations"]] == annotated
    assert path.stat().st_size == kept * 8


@pytest.mark.parametrize("name, sample_type, tolerance", [
    ("capture.sigmf-data", "cf32", 0.0),
    ("capture.blue", "ci16", 1.5 / 32767),
    ("capture.blue", "cf32", 0.0),
])
def test_capture_sink_then_capture_source_round_trips(tmp_path, name, sample_type, tolerance):
    path = str(tmp_path / name)
    reference = kettara.Plan(BURSTS).render("") * np.float32(0.25)
    run(scene_source(BURSTS), blocks.multiply_const_cc(0.25),
        capture_sink(path, sample_type, samp_rate=1e6, center_freq=433.92e6, start_time=1700000000.5))
    sink = run(capture_source(path), blocks.vector_sink_c())
    samples = collected(sink)
    assert samples.size == reference.size
    assert np.max(np.abs(samples - reference)) <= tolerance
    facts = {pmt.symbol_to_string(tag.key): tag.value for tag in sink.tags() if tag.offset == 0}
    assert pmt.to_double(facts["rx_rate"]) == 1e6 and pmt.to_double(facts["rx_freq"]) == 433.92e6
    if name.endswith(".blue"):  # BLUE stores the start time; SigMF's datetime is not read back
        seconds = pmt.tuple_ref(facts["rx_time"], 0)
        assert (pmt.to_uint64(seconds), pmt.to_double(pmt.tuple_ref(facts["rx_time"], 1))) == (1700000000, 0.5)
        assert burst_tags(sink) == []
    else:
        assert "rx_time" not in facts
        tags = burst_tags(sink)
        assert summary(tags) == expected_bursts(BURSTS)
        chirp = tags[-1][1]  # the capture is at 433.92 MHz: so are its annotations
        assert (chirp["core:freq_lower_edge"], chirp["core:freq_upper_edge"]) == (433.72e6, 434.12e6)


def test_capture_source_tags_only_the_annotations_it_can_place(tmp_path):
    path = str(tmp_path / "plain.sigmf-data")
    writer = Writer(path, "sigmf", fs=2e6)
    writer.write(np.ones(100, np.complex64))
    writer.close()
    sink = run(capture_source(path.replace(".sigmf-data", ".sigmf-meta")), blocks.vector_sink_c())
    assert collected(sink).size == 100
    assert {pmt.symbol_to_string(tag.key) for tag in sink.tags()} == {"rx_rate"}
    meta = tmp_path / "plain.sigmf-meta"
    document = json.loads(meta.read_text())
    document["annotations"] = [{"core:sample_start": 5, "core:label": "ok", "x:nested": {"a": [1, 2]}, "x:none": None},
                               {"core:sample_start": -1}, {"core:sample_start": "7"}, {"core:sample_start": True},
                               {"core:label": "nowhere"}, "not an object"]
    meta.write_text(json.dumps(document))
    sink = run(capture_source(path), blocks.vector_sink_c())
    assert collected(sink).size == 100
    assert [(offset, a["core:label"]) for offset, a in burst_tags(sink)] == [(5, "ok")]


WRITER = textwrap.dedent("""
    import sys, time
    import numpy as np
    from quennel.capture import Writer
    writer = Writer(sys.argv[1], "blue", "ci16", fs=1e6)
    samples = (np.arange(5000) % 200 / 400).astype(np.complex64) * (1 + 1j)
    start = 0
    for count in (1, 999, 7, 2500, 3, 1490):
        writer.write(samples[start:start + count])
        writer.flush()
        start += count
        if count == 1:
            print("ready", flush=True)
        time.sleep(0.15)
    writer.close()
""")


def test_follow_gets_every_sample_then_ends_when_the_writer_closes(tmp_path):
    path = str(tmp_path / "growing.blue")
    process = subprocess.Popen([sys.executable, "-c", WRITER, path], stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline() == "ready\n"
        sink = run(capture_source(path, follow=True), blocks.vector_sink_c())
    finally:
        assert process.wait(timeout=30) == 0
    with tolvane.Reader(path) as reader:
        written = reader.read(10000)
    assert written.size == 5000
    assert collected(sink).tobytes() == written.tobytes()


@pytest.mark.parametrize("how", ["flowgraph stop", "process interrupt flag"])
def test_a_follow_that_waits_on_a_capture_that_never_grows_ends_promptly(tmp_path, how):
    path = tmp_path / "stalled.iq"
    path.write_bytes(np.ones(64, np.complex64).tobytes())
    top = gr.top_block()
    source, sink = capture_source(str(path), follow=True), blocks.vector_sink_c()
    top.connect(source, sink)
    top.start()
    deadline = time.monotonic() + 5
    while len(sink.data()) < 64 and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)  # the source now waits for samples that never come
    began = time.monotonic()
    if how == "flowgraph stop":
        ender = threading.Thread(target=lambda: (top.stop(), top.wait()))
    else:
        interrupt.interrupt()
        ender = threading.Thread(target=top.wait)
    try:
        ender.start()
        ender.join(timeout=5)
    finally:
        interrupt.resume()
    assert not ender.is_alive()
    assert time.monotonic() - began < 1.0
    assert len(sink.data()) == 64


def test_scene_source_warns_of_scene_problems_and_streams(caplog):
    sink = run(scene_source('{"segments": [{"type": "tone", "snrr": 3, "num_samples": 8}]}'), blocks.vector_sink_c())
    assert len(sink.data()) == 8
    assert [r.getMessage().split(';')[0] for r in caplog.records] == ['scene_source: $.segments[0].snrr: found the key "snrr"']


@pytest.mark.parametrize("make, error, message", [
    (lambda d: scene_source('{"segments": []}'), ValueError, 'non-empty "segments"'),
    (lambda d: scene_source(str(d / "missing.json")), ValueError, "cannot read the scene"),
    (lambda d: scene_source(42), TypeError, "scene must be scene JSON text"),
    (lambda d: scene_source(REPEATING, snr=float("nan")), ValueError, "snr must be a finite number"),
    (lambda d: scene_source(REPEATING, seed=2.5), ValueError, "seed must be an integer"),
    (lambda d: scene_source('{"segments": [{"type": "bits", "pattern": "1010", "num_samples": 10, "rs_depth": 6}]}'), ValueError,
     "--rs-depth must be 1, 2, 3, 4, 5 or 8"),
    (lambda d: scene_source('{"segments": [{"type": "tone", "num_samples": [10, 20]}]}', snr=3), RuntimeError,
     "kettara_prepare failed"),
    (lambda d: scene_source('{"segments": [{"type": "tone", "snrr": 3, "num_samples": 8}]}', strict=True),
     ValueError, 'scene_source: $.segments[0].snrr: found the key "snrr"'),
    (lambda d: capture_source(str(d / "missing.blue")), FileNotFoundError, "missing.blue"),
    (lambda d: capture_source(str(d / "missing.iq"), sample_type="CF32"), ValueError, "sample_type"),
    (lambda d: capture_sink(str(d / "x.unknown")), ValueError, "cannot tell the capture format"),
    (lambda d: capture_sink(str(d / "x.blue"), sample_type="cf16"), ValueError, "sample_type must be one of"),
    (lambda d: capture_sink(str(d / "x.blue"), endian="little"), ValueError, "endian must be one of"),
    (lambda d: capture_sink(str(d / "no" / "x.blue")), OSError, "cannot create the capture"),
])
def test_bad_input_raises_at_construction(tmp_path, make, error, message):
    with pytest.raises(error) as raised:
        make(tmp_path)
    if message:
        assert message in str(raised.value)


def test_gnuradio_companion_loads_the_block_definitions():
    from gnuradio.grc.core.platform import Platform

    platform = Platform(version=gr.version(), prefs=gr.prefs(),
                        version_parts=(gr.major_version(), gr.api_version(), gr.minor_version()))
    folder = os.path.join(os.path.dirname(__file__), "..", "..", "grc")
    platform.build_library([folder, *platform.config.block_paths])
    for block in ("quennel_scene_source", "quennel_capture_source", "quennel_capture_sink"):
        assert block in platform.blocks
        assert "quennel.gnuradio" in platform.blocks[block].templates["imports"]


@pytest.mark.parametrize("block, callbacks", [
    (scene_source, ["set_snr(${snr})", "set_seed(${seed})"]),
    (capture_source, []),
    (capture_sink, []),
])
def test_block_definitions_offer_every_parameter_and_the_running_changes(block, callbacks):
    import yaml

    path = os.path.join(os.path.dirname(__file__), "..", "..", "grc", f"quennel_{block.__name__}.block.yml")
    with open(path, encoding="utf-8") as file:
        definition = yaml.safe_load(file)
    assert [p["id"] for p in definition["parameters"]] == list(inspect.signature(block).parameters)
    assert definition["templates"].get("callbacks", []) == callbacks
    assert all(callable(getattr(block, call.split("(")[0])) for call in callbacks)


def test_scene_source_takes_a_new_snr_or_seed_from_the_next_pass():
    plan = kettara.Plan(REPEATING.replace('"repeat": true, ', ""))
    length = plan.render("{}").size
    source = scene_source(REPEATING, snr=4, seed=9)
    out = np.empty(length, np.complex64)
    assert source._stream.read(out) == length and out.tobytes() == plan.render('{"snr": 4, "seed": 9}').tobytes()
    source.set_snr(20)
    source.set_seed(3)
    assert source._stream.read(out) == length and out.tobytes() == plan.render('{"snr": 20, "seed": 3}').tobytes()
    source.set_snr("loud")  # refused with a logged error; the overrides stay
    assert source._stream.read(out) == length and out.tobytes() == plan.render('{"snr": 20, "seed": 3}').tobytes()


def test_blocks_made_inline_live_until_their_flowgraph_stops(tmp_path):
    script = textwrap.dedent(f"""
        import gc, weakref
        from gnuradio import blocks, gr
        from quennel.gnuradio import capture_sink, scene_source
        tb = gr.top_block()
        tb.connect(scene_source({REPEATING!r}), blocks.head(gr.sizeof_gr_complex, 200000),
                   capture_sink({str(tmp_path / "inline.sigmf-data")!r}))
        tb.start()
        for _ in range(20):
            gc.collect()
        tb.wait()
        from quennel.gnuradio import _blocks
        assert not _blocks._alive, _blocks._alive
        print("done")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "PYTHONFAULTHANDLER": "1"})
    assert (done.returncode, done.stdout) == (0, "done\n"), done.stderr
    assert (tmp_path / "inline.sigmf-data").stat().st_size == 200000 * 8
    assert json.loads((tmp_path / "inline.sigmf-meta").read_text())["annotations"]


def test_a_failing_write_ends_the_flowgraph_instead_of_raising_into_the_scheduler():
    top = gr.top_block()
    source, sink = scene_source(REPEATING), capture_sink("/dev/full", format="raw")
    top.connect(source, sink)
    runner = threading.Thread(target=top.run)
    runner.start()
    runner.join(timeout=10)
    assert not runner.is_alive()


def test_the_example_flowgraph_writes_an_annotated_sigmf_capture(tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "gnuradio_scene_to_capture.py")
    output = str(tmp_path / "scene.sigmf-data")
    printed = subprocess.run([sys.executable, example, "--snr", "6", "-o", output], capture_output=True, text=True,
                             timeout=60, check=True).stdout
    assert printed.splitlines()[0] == f"{output}: 120000 samples"
    with open(output.replace(".sigmf-data", ".sigmf-meta"), encoding="utf-8") as file:
        annotations = json.load(file)["annotations"]
    assert [(a["core:sample_start"], a["core:label"]) for a in annotations] == [
        (0, "tone"), (20000, "bpsk"), (20000, "tone"), (70000, "bpsk"), (70000, "tone")]
    assert annotations[0]["sondrel:snr"] == 6 and annotations[0]["core:freq_lower_edge"] == 433.92e6 + 1e5


def test_capture_source_tags_each_retune_of_a_sigmf_recording(tmp_path):
    base = tmp_path / "retuned"
    np.zeros(50000, np.complex64).tofile(f"{base}.sigmf-data")
    meta = {"global": {"core:datatype": "cf32_le", "core:sample_rate": 1e6, "core:version": "1.0.0"},
            "captures": [{"core:sample_start": 0, "core:frequency": 1e9},
                         {"core:sample_start": 40000, "core:frequency": 1.2e9}], "annotations": []}
    with open(f"{base}.sigmf-meta", "w") as file:
        json.dump(meta, file)
    sink = run(capture_source(f"{base}.sigmf-data"), blocks.vector_sink_c())
    tuned = [(tag.offset, pmt.to_double(tag.value)) for tag in sink.tags()
             if pmt.symbol_to_string(tag.key) == "rx_freq"]
    assert tuned == [(0, 1e9), (40000, 1.2e9)]
