"""Composer throughput: the template scene and a four-source sum, beside NumPy."""

import json

import numpy as np
from scipy import signal

from _common import Table, best_seconds, composer_msps, kettara_lib

from quennel._native import take_text

N = 1 << 20
BLOCK = 1 << 16
SPS = 8
BETA = 0.35
SPAN = 8

FOUR_SOURCES = {
    "repeat": True,
    "segments": [{
        "fs": 1.0, "num_samples": N,
        "sum": [
            {"type": "qpsk", "sps": SPS, "pulse": "rrc", "rrc_beta": BETA, "rrc_span": SPAN, "level": -3},
            {"type": "tone", "freq": 0.05, "level": -6},
            {"type": "chirp", "freq": -0.2, "f_end": 0.2, "level": -10},
            {"type": "bpsk", "sps": SPS, "freq": -0.1, "snr": 10},
        ],
    }],
}


def rrc_taps(sps, span, beta):
    t = np.arange(-span * sps, span * sps + 1) / sps
    taps = np.empty_like(t)
    for i, x in enumerate(t):
        if x == 0:
            taps[i] = 1 - beta + 4 * beta / np.pi
        elif abs(abs(4 * beta * x) - 1) < 1e-12:
            taps[i] = beta / np.sqrt(2) * ((1 + 2 / np.pi) * np.sin(np.pi / (4 * beta))
                                           + (1 - 2 / np.pi) * np.cos(np.pi / (4 * beta)))
        else:
            taps[i] = (np.sin(np.pi * x * (1 - beta)) + 4 * beta * x * np.cos(np.pi * x * (1 + beta))) / (
                np.pi * x * (1 - (4 * beta * x) ** 2))
    return taps / np.sqrt(np.sum(taps ** 2)) * np.sqrt(sps)


def numpy_four_sources():
    rng = np.random.default_rng(1)
    taps = rrc_taps(SPS, SPAN, BETA)
    n = np.arange(N)
    ten_log_sps = 10 * np.log10(SPS)
    noise_amp = np.sqrt(10 ** (-(10 - ten_log_sps) / 10) / 2)

    def run():
        bits = rng.integers(0, 2, size=(N // SPS, 2))
        sym = ((1 - 2 * bits[:, 0]) + 1j * (1 - 2 * bits[:, 1])) * np.float32(0.70710677)
        qpsk = signal.upfirdn(taps, sym.astype(np.complex64), up=SPS)[:N]
        tone = np.exp(2j * np.pi * 0.05 * n)
        phase = -0.2 * n + 0.5 * (0.4 / N) * n * n
        chirp = np.exp(2j * np.pi * phase)
        bpsk = np.repeat(1 - 2 * rng.integers(0, 2, size=N // SPS), SPS) * np.exp(-2j * np.pi * 0.1 * n)
        noise = noise_amp * (rng.standard_normal(N) + 1j * rng.standard_normal(N))
        total = 10 ** (-3 / 20) * qpsk + 10 ** (-6 / 20) * tone + 10 ** (-10 / 20) * chirp + bpsk + noise
        return total.astype(np.complex64)

    return N / best_seconds(run, repeat=3) / 1e6


def numpy_template():
    """The template's three segments (tone; RRC QPSK bits; RRC BPSK plus tone), with noise."""
    rng = np.random.default_rng(1)
    taps = rrc_taps(SPS, SPAN, BETA)
    seg = 10000
    n = np.arange(seg)

    def noise(m, snr_db):
        return np.sqrt(10 ** (-snr_db / 10) / 2) * (rng.standard_normal(m) + 1j * rng.standard_normal(m))

    def run():
        produced = 0
        while produced < N:
            a = np.exp(2j * np.pi * 0.1 * n) + noise(seg, 20)
            pattern = np.array([1, 0, 1, 1, 0, 0, 0, 1, 1, 0])
            bits = np.resize(pattern, 2 * 8000 // SPS).reshape(-1, 2)
            sym = np.exp(1j * (np.pi / 4 + np.pi / 2 * (bits[:, 0] * 2 + (bits[:, 0] ^ bits[:, 1]))))
            b = np.concatenate([signal.upfirdn(taps, sym, up=SPS)[:8000] + noise(8000, 30 - 9.03),
                                np.zeros(2000)])
            bp = signal.upfirdn(taps, 1 - 2 * rng.integers(0, 2, size=seg // SPS), up=SPS)[:seg]
            c = bp + np.exp(2j * np.pi * 0.2 * n) + noise(seg, 20 - 9.03)
            _ = np.concatenate([a, b, c]).astype(np.complex64)
            produced += 3 * seg

    return N / best_seconds(run, repeat=3) / 1e6


def main():
    lib = kettara_lib()
    template = json.loads(take_text(lib.wfm_spec_template_json(), lib.cJSON_free))
    template["repeat"] = True

    table = Table("Scene composition", "Msamples/s")
    table.row("template scene", composer_msps(lib, json.dumps(template), N, BLOCK), numpy_template(), "NumPy")
    table.row("sum: qpsk RRC + tone + chirp + bpsk snr", composer_msps(lib, json.dumps(FOUR_SOURCES), N, BLOCK),
              numpy_four_sources(), "NumPy/SciPy upfirdn")


if __name__ == "__main__":
    main()
