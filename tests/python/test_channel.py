"""Impairments measured on composed scenes: phase-noise spectrum, fading statistics, and the
command line's refusal of a value a channel cannot take."""

import json
import subprocess
import sys

import numpy as np
import pytest
from quennel.scene import Composer
from scipy import signal, special, stats


def compose(scene: dict) -> np.ndarray:
    blocks = []
    with Composer(json.dumps(scene)) as composer:
        while True:
            block = np.empty(1 << 16, np.complex64)
            n = composer.read(block)
            if n == 0:
                return np.concatenate(blocks)
            blocks.append(block[:n])


def carrier(channel: dict, n: int, seed: int = 1) -> np.ndarray:
    """A unit carrier at 0 Hz through the channel: the channel's own rotation and gain."""
    return compose({"segments": [{"type": "tone", "num_samples": n, "seed": seed, "channel": channel}]})


@pytest.mark.parametrize("dbc_hz, offset", [(-80.0, 1e-2), (-60.0, 1e-3)])
def test_phase_noise_density_and_slope(dbc_hz, offset):
    phase = np.unwrap(np.angle(carrier({"phase_noise": {"dbc_hz": dbc_hz, "offset": offset}}, 1 << 21)))
    freqs, psd = signal.welch(phase, fs=1.0, window="hann", nperseg=1 << 16, detrend="linear",
                              return_onesided=False, scaling="density")
    measured = []
    for f in (1e-3, 1e-2, 1e-1):
        band = (freqs > f * 0.9) & (freqs < f * 1.1)
        measured.append(10 * np.log10(np.mean(psd[band])))
        assert abs(measured[-1] - (dbc_hz + 20 * np.log10(offset / f))) < 1.0, f
    assert abs((measured[2] - measured[0]) / 2 + 20) < 1.0


def test_white_floor_adds_its_density():
    phase = np.angle(carrier({"phase_noise": {"dbc_hz": -200, "offset": 0.01, "floor_dbc_hz": -50}}, 1 << 18))
    assert 10 * np.log10(np.var(phase)) == pytest.approx(-50, abs=0.2)


def fading_gains(model: dict, seeds=range(1, 9), n=1 << 19) -> list[np.ndarray]:
    return [carrier({"fading": model}, n, seed) for seed in seeds]


def test_rayleigh_envelope_and_doppler_autocorrelation():
    fd = 0.004
    gains = fading_gains({"model": "rayleigh", "doppler": fd})
    # Samples far apart are nearly independent: every 400th, pooled over the seeds.
    envelope = np.concatenate([np.abs(g[::400]) for g in gains])
    assert stats.kstest(envelope, stats.rayleigh(scale=np.sqrt(0.5)).cdf).pvalue > 0.01
    first_zero = int(2.405 / (2 * np.pi * fd))
    for lag in range(0, first_zero + 1, 10):
        r = np.mean([np.vdot(g[:-lag or None], g[lag:]) / np.vdot(g, g) for g in gains])
        assert abs(r.real - special.j0(2 * np.pi * fd * lag)) < 0.05, lag


def test_rician_envelope_follows_rice_with_its_k():
    k_db = 6.0
    k = 10 ** (k_db / 10)
    gains = fading_gains({"model": "rician", "doppler": 0.004, "k_db": k_db})
    envelope = np.concatenate([np.abs(g[::400]) for g in gains])
    sigma = np.sqrt(1 / (2 * (k + 1)))
    rice = stats.rice(np.sqrt(k / (k + 1)) / sigma, scale=sigma)
    assert stats.kstest(envelope, rice.cdf).pvalue > 0.01


def test_command_line_refuses_a_channel_value_with_its_reason(tmp_path):
    scene = tmp_path / "bad.json"
    scene.write_text(json.dumps({"segments": [{"type": "tone", "num_samples": 10,
                                               "channel": {"fading": {"model": "rayleigh", "doppler": 0.7}}}]}))
    done = subprocess.run([sys.executable, "-m", "quennel", "render", str(scene), "-o", str(tmp_path / "x.cf32")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2
    assert '"doppler" must be below half the sample rate' in done.stderr


def test_gen_writes_the_impairment_options_into_the_scene():
    done = subprocess.run([sys.executable, "-m", "quennel", "gen", "--type", "qpsk", "--fs", "1000", "--freq-drift", "2",
                           "--clock-ppm=-15", "--phase-noise=-70,5", "--fading", "rician,3,6",
                           "--iq-imbalance", "0.5,2"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    segment = json.loads(done.stdout)["segments"][0]
    assert segment["channel"] == {"phase_noise": {"dbc_hz": -70, "offset": 5}, "freq_drift": 2, "clock_ppm": -15,
                                  "fading": {"model": "rician", "doppler": 3, "k_db": 6, "sinusoids": 16}}
    assert segment["frontend"] == {"iq_imbalance": {"gain_db": 0.5, "phase_deg": 2}}
    refused = subprocess.run([sys.executable, "-m", "quennel", "gen", "--fs", "1000", "--fading", "rayleigh,600"],
                             capture_output=True, text=True, timeout=120)
    assert refused.returncode == 2
    assert '"doppler" must be below half the sample rate' in refused.stderr


def test_sigmf_annotations_record_the_impairments_and_the_band_a_drift_covers():
    import ctypes
    import warnings

    from quennel._native import kettara_lib, libc, tolvane_lib
    from sigmf.validate import validate

    channel = {"freq_drift": 5000, "multipath": {"delays": [0, 2]}}
    scene = {"segments": [{"type": "tone", "fs": 1e6, "freq": 1000, "num_samples": 200000, "channel": channel,
                           "frontend": {"dc_offset": [0.5, 0]}}]}
    kettara = kettara_lib()
    composer = kettara.wfm_compose_from_json(json.dumps(scene).encode())
    assert composer
    try:
        n = ctypes.c_uint64()
        segments = kettara.wfm_compose_segments(composer, ctypes.byref(n), None, None)
        text = tolvane_lib().wfm_sigmf_meta_json(0, 0, segments, n.value, 0.0, 0.0, 0.0)
        doc = json.loads(ctypes.string_at(text).decode())
        libc().free(text)
    finally:
        kettara.wfm_compose_destroy(composer)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        validate(doc)
    tone = doc["annotations"][0]
    assert tone["quennel:channel"] == {"freq_drift": 5000, "multipath": {"delays": [0, 2]}}
    assert tone["quennel:frontend"] == {"dc_offset": [0.5, 0]}
    # 5 kHz per second over 0.2 s: the tone sweeps from 1 kHz to 2 kHz.
    assert (tone["core:freq_lower_edge"], tone["core:freq_upper_edge"]) == pytest.approx((1000, 2000))
    assert {"name": "quennel", "version": "1.0.0", "optional": True} in doc["global"]["core:extensions"]


def test_a_recipe_with_impairment_overrides_verifies(tmp_path):
    scene = tmp_path / "faded.json"
    scene.write_text(json.dumps({"segments": [{"type": "qpsk", "snr": 10, "num_samples": 4000, "channel": {
        "multipath": {"delays": [0, 1.5]}, "fading": {"model": "rayleigh", "doppler": 0.01}}}]}))
    capture = tmp_path / "x.sigmf-data"
    run = [sys.executable, "-m", "quennel"]
    rendered = subprocess.run(run + ["render", str(scene), "-o", str(capture), "--overrides",
                                     '{"fading_seed": 7, "freq_offsets": [0.01]}'],
                              capture_output=True, text=True, timeout=120)
    assert rendered.returncode == 0, rendered.stderr
    verified = subprocess.run(run + ["verify", str(capture), "-q"], capture_output=True, text=True, timeout=120)
    assert verified.returncode == 0, verified.stderr


def test_a_sweep_fades_afresh_per_trial_when_asked():
    from quennel.sweep import sweep

    scene = json.dumps({"segments": [{"type": "tone", "snr": 20, "num_samples": 2000,
                                      "channel": {"fading": {"model": "rayleigh", "doppler": 0.001}}}]})

    def power(samples, snr):
        return float(np.mean(np.abs(samples) ** 2))

    same = sweep(scene, power, [100.0], 6, threads=2)
    fresh = sweep(scene, power, [100.0], 6, threads=2, fresh_fading=True)
    # Without fresh fading every trial meets the one fading of the scene: the same power.
    assert np.ptp(same["value"]) < 1e-6
    assert np.ptp(fresh["value"]) > 0.05
