"""Signal-processing primitives: oscillator, noise, FIR, polyphase interpolation and the
built-in resampler, each in Msamples/s beside the same work done with NumPy or SciPy."""


import numpy as np
import scipy.signal

from _common import Table, best_interleaved, best_seconds, kettara_lib

N = 1 << 16  # samples per call, the advisory chunk of the generators


def msps(samples, seconds):
    return samples / seconds / 1e6


def test_signal(n):
    rng = np.random.default_rng(5)
    return (rng.standard_normal(2 * n, dtype=np.float32)).view(np.complex64)


def bench_oscillator(lib, table):
    freq = 0.0123
    lo = lib.lo_create(freq)
    out = np.empty(N, dtype=np.complex64)
    ours = best_seconds(lambda: lib.lo_steps(lo, N, out.ctypes.data, N))
    ramp = np.arange(N, dtype=np.float32) * np.float32(2 * np.pi * freq)
    reference = best_seconds(lambda: np.exp(1j * (ramp + np.float32(0.5))))
    table.row("lo_steps (tone)", msps(N, ours), msps(N, reference), "numpy exp(1j * phase ramp)")
    lib.lo_destroy(lo)


def bench_noise(lib, table):
    noise = lib.awgn_create(1, 1.0)
    out = np.empty(N, dtype=np.complex64)
    rng = np.random.default_rng(1)
    scratch = np.empty(2 * N, dtype=np.float32)
    t = best_interleaved({
        "ours": lambda: lib.awgn_generate(noise, N, out.ctypes.data, N),
        # complex64 noise from NumPy: standard normal float32 pairs, viewed as complex64
        "numpy": lambda: rng.standard_normal(2 * N, dtype=np.float32, out=scratch).view(np.complex64),
    }, repeat=9)
    table.row("awgn_generate (complex noise)", msps(N, t["ours"]), msps(N, t["numpy"]),
              "numpy standard_normal")
    lib.awgn_destroy(noise)


def bench_fir(lib, table):
    taps = np.empty(65, dtype=np.float32)
    lib.wfm_rrc_taps(8, 4, taps.ctypes.data, 0.35)
    fir = lib.fir_create_real(taps.ctypes.data, 65)
    x = test_signal(N)
    out = np.empty(N, dtype=np.complex64)
    ours = best_seconds(lambda: lib.fir_execute(fir, x.ctypes.data, N, out.ctypes.data))
    reference = best_seconds(lambda: scipy.signal.lfilter(taps, [1.0], x))
    table.row("fir_execute (65 real taps)", msps(N, ours), msps(N, reference), "scipy lfilter")
    lib.fir_destroy(fir)


def bench_interpolator(lib, table):
    sps, span = 8, 6
    per_phase = 2 * span + 1
    bank = np.empty(sps * per_phase, dtype=np.float32)
    lib.wfm_rrc_polyphase_bank(sps, span, bank.ctypes.data, 0.35)
    taps = np.empty(2 * sps * span + 1, dtype=np.float32)
    lib.wfm_rrc_taps(sps, span, taps.ctypes.data, 0.35)
    taps *= np.float32(np.sqrt(sps))
    resamp = lib.resamp_create_custom(sps, per_phase, bank.ctypes.data, float(sps))
    symbols = test_signal(N // sps)
    out = np.empty(N, dtype=np.complex64)
    ours = best_seconds(lambda: lib.resamp_interp_fill(resamp, symbols.ctypes.data, out.ctypes.data, N))
    reference = best_seconds(lambda: scipy.signal.upfirdn(taps, symbols, up=sps))
    table.row("resamp_interp_fill (RRC, 8 sps; outputs)", msps(N, ours), msps(N, reference), "scipy upfirdn")
    lib.resamp_destroy(resamp)


def bench_resampler(lib, table):
    resamp = lib.resamp_create(0.75)
    x = test_signal(N)
    out = np.empty(N, dtype=np.complex64)
    ours = best_seconds(lambda: lib.resamp_execute(resamp, x.ctypes.data, N, out.ctypes.data, N))
    reference = best_seconds(lambda: scipy.signal.resample_poly(x, 3, 4))
    table.row("resamp_execute (built-in, rate 0.75; inputs)", msps(N, ours), msps(N, reference),
              "scipy resample_poly")
    lib.resamp_destroy(resamp)


def main():
    lib = kettara_lib()
    table = Table("Signal-processing primitives", "Msamples/s")
    for bench in (bench_oscillator, bench_noise, bench_fir, bench_interpolator, bench_resampler):
        bench(lib, table)


if __name__ == "__main__":
    main()
