"""Waveform synthesiser throughput beside NumPy/SciPy versions of the same waveforms."""


import numpy as np
from scipy import signal

from _common import Table, best_seconds, cf32, kettara_lib

from quennel._native import names

N = 1 << 20
TONE, BPSK, QPSK, CHIRP = (names("TYPE_NAMES").index(name) for name in ("tone", "bpsk", "qpsk", "chirp"))
MODE_FS = names("MODE_NAMES").index("fs")




def rrc(lib, sps, span, beta):
    taps = np.zeros(2 * sps * span + 1, dtype=np.float32)
    lib.wfm_rrc_taps(sps, span, taps.ctypes.data, beta)
    return taps


def ours(lib, wtype, nsps, freq, snr, f_end=0.0, span=0):
    synth = lib.wfm_synth_create(wtype, MODE_FS, 5, nsps, 23, 0, 1.0, freq, snr, f_end, 0)
    if span:
        taps = rrc(lib, nsps, span, 0.35)
        lib.wfm_synth_set_rrc(synth, taps.ctypes.data, taps.size)
    if wtype == CHIRP:
        lib.wfm_synth_set_chirp_span(synth, N)
    out = cf32(N)
    seconds = best_seconds(lambda: lib.wfm_synth_steps(synth, out.ctypes.data, N))
    lib.wfm_synth_destroy(synth)
    return N / seconds / 1e6


def numpy_noise(rng, amplitude):
    return (amplitude * (rng.standard_normal(N) + 1j * rng.standard_normal(N))).astype(np.complex64)


def numpy_tone(rng, freq=0.013):
    n = np.arange(N)
    return (np.exp(2j * np.pi * freq * n) + numpy_noise(rng, 0.07)).astype(np.complex64)


def numpy_symbols(rng, taps, sps, qpsk):
    nsym = N // sps
    if qpsk:
        syms = ((rng.integers(0, 2, nsym) * 2 - 1) + 1j * (rng.integers(0, 2, nsym) * 2 - 1)) * np.sqrt(0.5)
    else:
        syms = (rng.integers(0, 2, nsym) * 2 - 1).astype(np.complex128)
    if taps is None:
        base = np.repeat(syms, sps)
    else:
        base = signal.upfirdn(taps * np.sqrt(sps), syms, up=sps)[:N]
    return (base * np.exp(2j * np.pi * 0.01 * np.arange(base.size)) + numpy_noise(rng, 0.2)).astype(np.complex64)


def numpy_chirp(f0=-0.2, f1=0.3):
    k = np.arange(N, dtype=np.float64)
    phase = np.cumsum(f0 + (f1 - f0) * k / N)
    return np.exp(2j * np.pi * phase).astype(np.complex64)


def main():
    lib = kettara_lib()
    rng = np.random.default_rng(1)
    taps8 = rrc(lib, 8, 8, 0.35).astype(np.float64)
    taps6 = rrc(lib, 6, 8, 0.35).astype(np.float64)
    rows = [
        ("tone + noise", ours(lib, TONE, 1, 0.013, 20.0), lambda: numpy_tone(rng), "NumPy exp + normal"),
        ("bpsk 4 sps rect + carrier + noise", ours(lib, BPSK, 4, 0.01, 10.0),
         lambda: numpy_symbols(rng, None, 4, False), "NumPy repeat"),
        ("qpsk 8 sps rrc + carrier + noise", ours(lib, QPSK, 8, 0.01, 10.0, span=8),
         lambda: numpy_symbols(rng, taps8, 8, True), "SciPy upfirdn"),
        ("qpsk 6 sps rrc (fir) + carrier + noise", ours(lib, QPSK, 6, 0.01, 10.0, span=8),
         lambda: numpy_symbols(rng, taps6, 6, True), "SciPy upfirdn"),
        ("chirp", ours(lib, CHIRP, 1, -0.2, 100.0, f_end=0.3), numpy_chirp, "NumPy cumsum + exp"),
    ]
    table = Table(f"Waveform synthesiser, {N} samples per call", "Msamples/s")
    for name, ours_msps, reference, ref_name in rows:
        table.row(name, ours_msps, N / best_seconds(reference, repeat=3) / 1e6, ref_name)


if __name__ == "__main__":
    main()
