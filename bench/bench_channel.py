"""Impaired composition beside NumPy, and what the plan overrides of impairments cost."""

import json

import numpy as np

from _common import Table, best_interleaved, best_seconds, composer_msps, kettara_lib

import kettara

N = 1 << 18
BLOCK = 1 << 16
SPS = 4
DOPPLER = 0.001
PATHS = ([0, 3, 8], [0, -3, -6])
K_DB = 6.0
SINUSOIDS = 16

CHANNEL = {"phase_noise": {"dbc_hz": -80, "offset": 0.01}, "freq_drift": 1e-7,
           "multipath": {"delays": PATHS[0], "gains_db": PATHS[1]},
           "fading": {"model": "rician", "doppler": DOPPLER, "k_db": K_DB, "sinusoids": SINUSOIDS}}


def scene(repeat: bool) -> str:
    return json.dumps({"repeat": repeat, "segments": [{"type": "qpsk", "sps": SPS, "num_samples": N,
                                                        "channel": CHANNEL}]})


def numpy_chain():
    """The same chain: QPSK, Wiener phase noise, drift, three Rician sum-of-sinusoids taps."""
    rng = np.random.default_rng(1)
    n = np.arange(N)
    sigma = np.sqrt(10 ** (-80 / 10)) * 2 * np.pi * 0.01
    k = 10 ** (K_DB / 10)
    gains = 10 ** (np.array(PATHS[1]) / 20)
    gains /= np.sqrt(np.sum(gains ** 2))

    def fading():
        theta = rng.uniform(0, 2 * np.pi)
        alpha = (2 * np.pi * np.arange(SINUSOIDS) + theta) / SINUSOIDS
        phi = rng.uniform(0, 2 * np.pi, SINUSOIDS)
        scatter = np.exp(1j * (2 * np.pi * DOPPLER * np.outer(n, np.cos(alpha)) + phi)).sum(axis=1)
        return np.sqrt(1 / (k + 1) / SINUSOIDS) * scatter + np.sqrt(k / (k + 1)) * np.exp(1j * rng.uniform(0, 6.28))

    def run():
        bits = rng.integers(0, 2, size=(N // SPS, 2))
        x = np.repeat(((1 - 2 * bits[:, 0]) + 1j * (1 - 2 * bits[:, 1])) * 0.70710677, SPS)
        phase = np.cumsum(sigma * rng.standard_normal(N)) + 2 * np.pi * np.cumsum(1e-7 * n)
        x = x * np.exp(1j * phase)
        y = np.zeros(N, complex)
        for delay, g in zip(PATHS[0], gains):
            y[delay:] += g * x[:N - delay] * fading()[delay:]
        return y.astype(np.complex64)

    return N / best_seconds(run, repeat=3) / 1e6


def override_costs():
    plan = kettara.Plan(scene(False))
    out = np.empty(plan.length(), np.complex64)
    seeds = iter(range(1, 1 << 30))
    best = best_interleaved({
        "at": lambda: plan.at(10.0, next(seeds), out=out),
        "fading_seed": lambda: plan.render(json.dumps({"fading_seed": next(seeds)}), out=out),
        "freq_offsets": lambda: plan.render('{"freq_offsets": [0.001]}', out=out),
    })
    return best["at"], best["fading_seed"], best["freq_offsets"]


def main():
    lib = kettara_lib()
    table = Table("Impaired composition", "Msamples/s")
    table.row("qpsk + phase noise + drift + 3-tap rician", composer_msps(lib, scene(True), N, BLOCK), numpy_chain(), "NumPy")
    at, refade, offsets = override_costs()
    costs = Table("Plan overrides of impairments", "ms per render")
    costs.row("render with fading_seed", refade * 1e3, at * 1e3, "Plan.at")
    costs.row("render with freq_offsets", offsets * 1e3, at * 1e3, "Plan.at")


if __name__ == "__main__":
    main()
