"""Datasets drawn from a description: the draws, the examples' scenes and samples, their labels."""

import copy
import json
import pickle
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from quennel.dataset import Dataset, DatasetError
from quennel.dataset.draws import Draws, example_key, fnv1a64
from quennel.dataset.examples import compose_into

N = 1 << 16
DESCRIPTION = {
    "seed": 7, "examples": 40, "length": 4096,
    "classes": [
        {"name": "qpsk", "weight": 2, "symbols": [64, 400],
         "source": {"type": "qpsk", "sps": {"choice": [2, 4, 8]}, "freq": [-0.3, 0.3], "snr": [0, 30],
                    "pulse": "rrc"}},
        {"name": "tone", "samples": [500, 3000], "source": {"type": "tone", "freq": [-0.4, 0.4], "snr": [0, 20]}},
        {"name": "chirp", "weight": 0, "source": {"type": "chirp", "freq": -0.1, "f_end": 0.1}}],
    "background": [{"type": "noise", "level": [-3, 3]}, {"type": "tone", "freq": 0.45, "level": -20}],
    "per_example": {"bursts": [0, 3], "overlap": True}}


def composed(scene: dict, length: int) -> np.ndarray:
    samples = np.empty(length, np.complex64)
    compose_into(json.dumps(scene), samples)
    return samples


def test_draws_follow_the_documented_derivation():
    assert example_key(0, 0) == 0xE220A8397B1DCDAF  # the first SplitMix64 output of seed 0
    assert (fnv1a64(""), fnv1a64("a")) == (0xCBF29CE484222325, 0xAF63DC4C8601EC8C)
    draws = Draws(5, 3)
    assert draws.real("x", 2.0, 2.0) == 2.0 and draws.integer("x", 4, 4) == 4
    values = [Draws(5, i).integer("n", 1, 3) for i in range(3000)]
    assert set(values) == {1, 2, 3} and min(values.count(v) for v in (1, 2, 3)) > 900
    assert Draws(5, 3).real("x", 0, 1) == draws.real("x", 0, 1) != draws.real("y", 0, 1)
    assert all(Draws(5, i).weighted("w", [0.0, 1.0, 0.0]) == 1 for i in range(200))


def test_an_example_is_its_scene_rendered_whatever_came_before_and_wherever_it_is_made():
    ds = Dataset(DESCRIPTION)
    forward = [ds[i] for i in range(len(ds))]
    again = pickle.loads(pickle.dumps(ds))
    results: dict[int, bytes] = {}

    def read(indices):
        for i in indices:
            results[i] = again[i][0].tobytes()

    workers = [threading.Thread(target=read, args=(range(len(ds))[k::3],)) for k in range(3)]
    [w.start() for w in workers]
    [w.join() for w in workers]
    batch, labels = Dataset(json.dumps(DESCRIPTION)).batch(5, 10)
    for i in reversed(range(len(ds))):
        samples, label = forward[i]
        assert samples.dtype == np.complex64 and samples.shape == (4096,)
        assert samples.tobytes() == results[i] == composed(ds.scene(i), 4096).tobytes()
        assert label["example"] == i
        if 5 <= i < 15:
            assert batch[i - 5].tobytes() == samples.tobytes() and labels[i - 5] == label
    assert ds[-1][0].tobytes() == forward[-1][0].tobytes()
    counts = [label["n_bursts"] for _, label in forward]
    assert set(counts) == {0, 1, 2, 3}
    classes = {b["class"] for _, label in forward for b in label["bursts"]}
    assert classes == {"qpsk", "tone"}  # a class of weight 0 never plays


def test_bursts_apart_do_not_overlap_and_fit_their_stated_lengths():
    description = copy.deepcopy(DESCRIPTION)
    description["per_example"] = {"bursts": 3, "overlap": False, "classes": ["qpsk"]}
    description["examples"] = 20
    ds = Dataset(description)
    for i in range(len(ds)):
        bursts = ds[i][1]["bursts"]
        spans = sorted((b["start"], b["start"] + b["count"]) for b in bursts)
        assert all(a[1] <= b[0] for a, b in zip(spans, spans[1:])) and spans[-1][1] <= 4096
        for burst in bursts:
            assert burst["count"] % burst["sps"] == 0 and 64 <= burst["count"] // burst["sps"] <= 400
            assert burst["sps"] in (2, 4, 8) and -0.3 <= burst["freq"] < 0.3 and 0 <= burst["snr"] < 30


SOURCES = [
    {"type": "tone", "freq": 0.1},
    {"type": "pn", "sps": 4, "freq": 0.05},
    {"type": "bpsk", "sps": 8, "freq": -0.2},
    {"type": "bpsk", "sps": 1},
    {"type": "qpsk", "sps": 4, "pulse": "rrc", "freq": 0.1},
    {"type": "qpsk", "sps": 2, "pulse": "rrc", "rrc_beta": 0.2, "freq": 0.4},
    {"type": "chirp", "freq": -0.2, "f_end": 0.1},
    {"type": "bits", "pattern": "1011001110001", "sps": 8},
    {"type": "bits", "pattern": "1011001110001", "sps": 4, "modulation": "qpsk"},
    {"type": "symbols", "symbols": [1, 0, 0, 1, -1, 0, 0, -1], "sps": 4},
    {"type": "dsss", "data_code": "1110010", "pattern": "10110", "sps": 2},
]


def one_class(source: dict, **extra) -> Dataset:
    return Dataset({"seed": 3, "examples": 2, "length": N, "classes": [{"name": "c", "source": source}], **extra})


@pytest.mark.parametrize("source", SOURCES, ids=lambda s: f"{s['type']}-{s.get('pulse', 'rect')}-{s.get('sps')}")
def test_the_labelled_band_holds_the_burst_and_the_measured_snr_is_the_stated_one(source):
    samples, label = one_class(source)[0]
    start, count = label["start"], label["count"]
    burst = samples[start:start + count]
    power = np.abs(np.fft.fft(burst * np.hanning(count))) ** 2
    f = np.fft.fftfreq(count)
    margin = 2.0 / count  # the window's main lobe
    lower, upper = label["freq_lower"] - margin, label["freq_upper"] + margin
    inside = np.zeros(count, bool)
    for alias in (-1.0, 0.0, 1.0):  # a band beyond half the sample rate wraps around
        inside |= (f + alias >= lower) & (f + alias <= upper)
    assert power[inside].sum() >= 0.99 * power.sum()
    noisy = one_class({**source, "snr": 10}, background=[{"type": "noise", "level": -5}])
    for i in range(2):
        label = noisy[i][1]
        assert label["snr"] == 10 and label["noise_level"] == -5
        assert label["measured_snr"] == pytest.approx(10, abs=0.05)


def test_labels_name_the_modulation_order_and_symbol_timing():
    cases = [({"type": "tone"}, "tone", 0, 0), ({"type": "qpsk", "sps": 4}, "psk", 4, 4),
             ({"type": "bits", "pattern": "10", "modulation": "none", "sps": 2}, "none", 2, 2),
             ({"type": "symbols", "symbols": [1, 0, 0, 1, 1, 0], "sps": 3}, "symbols", 2, 3)]
    for source, modulation, order, sps in cases:
        label = Dataset({"examples": 1, "length": 64, "fs": 8e3,
                         "classes": [{"name": "x", "source": source}]})[0][1]
        assert (label["modulation"], label["order"], label["sps"]) == (modulation, order, sps)
        assert label["symbol_rate"] == (8e3 / sps if sps else 0.0)
        assert (label["start"], label["count"], label["noise_level"], label["snr"]) == (0, 64, None, None)


def test_drawn_impairments_are_labelled_and_rendered():
    ds = Dataset({"examples": 6, "length": 2048, "fs": 1e6, "classes": [{"name": "drifting", "source": {
        "type": "qpsk", "sps": 4, "snr": 15, "channel": {"freq_drift": [100.0, 5000.0]}}}]})
    drifts = set()
    for i in range(len(ds)):
        samples, label = ds[i]
        channel = json.loads(label["impairments"])["channel"]
        assert 100.0 <= channel["freq_drift"] < 5000.0
        drifts.add(channel["freq_drift"])
        assert ds.scene(i)["segments"][0]["sum"][0]["channel"] == channel
        assert samples.tobytes() == composed(ds.scene(i), 2048).tobytes()
    assert len(drifts) == 6
    assert Dataset(DESCRIPTION)[0][1]["impairments"] is None


@pytest.mark.parametrize("change, message", [
    ({"per_example": {"classes": ["qpsk", "fsk"]}}, 'unknown class name "fsk"'),
    ({"classes": [{"name": "a", "source": {"type": "tone", "freq": [0.3, 0.1]}}]}, "[0.3, 0.1] has lo > hi"),
    ({"classes": [{"name": "a", "weight": 0, "source": {"type": "tone"}}]}, "every class weight is 0"),
    ({"length": 0}, "length must be a whole number of at least 1"),
    ({"classes": [{"name": "a", "source": {"type": "fsk9"}}]}, 'unknown source type "fsk9"'),
    ({"classes": [{"name": "a", "samples": [9, 3], "source": {"type": "tone"}}]}, "[9, 3] has lo > hi"),
    ({"classes": [{"name": "a", "source": {"type": "tone", "level": {"choice": []}}}]}, "a choice is"),
    ({"colour": 1}, 'unknown key "colour"'),
])
def test_bad_descriptions_are_refused_with_the_reason(change, message):
    with pytest.raises(DatasetError) as refused:
        Dataset({**DESCRIPTION, **change})
    assert message in str(refused.value)


def test_the_schema_agrees_with_the_checks():
    jsonschema = pytest.importorskip("jsonschema")
    schema_path = Path(__file__).resolve().parents[2] / "python" / "quennel" / "dataset" / "dataset.schema.json"
    schema = json.loads(schema_path.read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    assert not list(validator.iter_errors({**DESCRIPTION, "$schema": str(schema_path)}))
    for bad in ({**DESCRIPTION, "length": 0}, {**DESCRIPTION, "colour": 1}, {"examples": 1, "length": 8}):
        assert list(validator.iter_errors(bad))


def test_explain_prints_the_scene_that_render_renders_to_the_same_samples(tmp_path):
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(DESCRIPTION))
    for index in (0, 13):
        explained = subprocess.run([sys.executable, "-m", "quennel", "dataset", "explain", str(spec), "--example",
                                    str(index)], capture_output=True, text=True, check=True).stdout
        (tmp_path / "scene.json").write_text(explained)
        subprocess.run([sys.executable, "-m", "quennel", "render", "scene.json", "-o", f"{index}.iq"],
                       cwd=tmp_path, capture_output=True, check=True)
        rendered = np.fromfile(tmp_path / f"{index}.iq", np.complex64)
        assert rendered.tobytes() == Dataset(DESCRIPTION)[index][0].tobytes()
    refused = subprocess.run([sys.executable, "-m", "quennel", "dataset", "explain", str(spec), "--example", "40"],
                             capture_output=True, text=True, check=False)
    assert refused.returncode != 0 and "--example 40 is outside 0..39" in refused.stderr
