"""Impairments measured on composed scenes: phase-noise spectrum, fading statistics, and the
command line's refusal of a value a channel cannot take."""

import json
import subprocess
import sys

import numpy as np
import pytest
from scipy import signal, special, stats

from quennel.scene import Composer


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
