"""Render plans: Plan.at in an SNR/seed sweep beside NumPy, render and build scaling over threads."""

import threading

import numpy as np

import kettara
from _common import Table, best_interleaved, kettara_lib

N = 1 << 20
SOURCES = [
    '{"type": "qpsk", "snr": 10, "sps": 4, "seed": 2}',
    '{"type": "tone", "freq": 0.1, "level": -3}',
    '{"type": "chirp", "freq": -0.2, "f_end": 0.2, "level": -6}',
    '{"type": "bpsk", "sps": 8, "level": -10, "seed": 3}',
]
SCENE = '{"segments": [{"num_samples": %d, "sum": [%s]}]}' % (N, ", ".join(SOURCES))
SWEEP = [(snr, seed) for snr in (0.0, 5.0, 10.0, 15.0) for seed in (1, 2, 3)]


def numpy_sweep(caches, gains, floor_db, rng):
    """The same loop in NumPy: the cached waveforms summed with gains plus a noise floor."""
    out = None
    for snr, _seed in SWEEP:
        out = caches[0] * gains[0]
        for cache, gain in zip(caches[1:], gains[1:]):
            out += cache * gain
        amplitude = np.float32(10 ** ((floor_db(snr)) / 20) * np.sqrt(0.5))
        noise = rng.standard_normal(2 * N, dtype=np.float32).view(np.complex64)
        out += noise * amplitude
    return out


def sweep_rates(table):
    plan = kettara.Plan(SCENE)
    # The noise-free waveform of each cache, and its gain, as the NumPy loop's inputs.
    n = plan.n_sources()
    caches = []
    for j in range(n):
        enable = [int(i == j) for i in range(n)]
        caches.append(plan.render('{"enable": %s, "snr": 1000}' % enable))
    gains = [np.float32(10 ** (level / 20)) for level in (0.0, -3.0, -6.0, -10.0)]
    rng = np.random.default_rng(1)
    out = np.empty(plan.length(), np.complex64)
    lib = kettara_lib()
    noise = np.empty(N, np.complex64)

    def ours():
        for snr, seed in SWEEP:
            plan.at(snr, seed)

    def ours_out():
        for snr, seed in SWEEP:
            plan.at(snr, seed, out=out)

    def noise_alone():
        for _snr, seed in SWEEP:
            lib.awgn(seed, N, noise.ctypes.data, 0.5)

    t = best_interleaved({
        "ours": ours, "ours_out": ours_out, "noise": noise_alone,
        "numpy": lambda: numpy_sweep(caches, gains, lambda snr: -(snr - 6.0206), rng),
    }, repeat=9, min_time=0.0)
    samples = N * len(SWEEP)
    rate = {name: samples / seconds / 1e6 for name, seconds in t.items()}
    table.row("Plan.at sweep, 4 sources + floor", rate["ours"], rate["numpy"], "NumPy sum + default_rng")
    table.row("Plan.at(out=) sweep, 4 sources + floor", rate["ours_out"], rate["numpy"], "NumPy sum + default_rng")
    table.row("Plan.at sweep vs pure noise generation", rate["ours"], rate["noise"], "awgn alone, same length")
    table.row("Plan.at(out=) sweep vs pure noise generation", rate["ours_out"], rate["noise"],
              "awgn alone, same length")
    return plan


def thread_scaling(table, plan):
    renders = 16

    def run(threads, reuse):
        def work(seeds):
            out = np.empty(plan.length(), np.complex64) if reuse else None
            for seed in seeds:
                plan.at(5.0, seed, out=out)

        chunks = [range(t, renders, threads) for t in range(threads)]
        workers = [threading.Thread(target=work, args=(c,)) for c in chunks]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    for reuse in (False, True):
        t = best_interleaved({1: lambda: run(1, reuse), 2: lambda: run(2, reuse)}, repeat=9, min_time=0.0)
        samples = renders * N
        table.row("Plan.at%s from 2 Python threads" % ("(out=)" if reuse else ""),
                  samples / t[2] / 1e6, samples / t[1] / 1e6, "1 thread")


# Eight shaped sources of equal cost, so the work divides evenly between processors.
BUILD_SCENE = '{"segments": [{"num_samples": %d, "sum": [%s]}]}' % (
    N, ", ".join('{"type": "qpsk", "pulse": "rrc", "sps": 8, "level": -9, "seed": %d}' % s for s in range(1, 9)))


def build_scaling(table):
    lib = kettara_lib()
    scene = BUILD_SCENE.encode()

    def build(threads):
        lib.kettara_destroy(lib.kettara_prepare_threads(scene, threads))

    t = best_interleaved({1: lambda: build(1), 2: lambda: build(2)}, repeat=9, min_time=0.0)
    table.row("plan build, 8 RRC sources, 2 processors (builds/s)", 1 / t[2], 1 / t[1], "1 processor")


if __name__ == "__main__":
    table = Table("Render plans", "Msamples/s unless stated")
    plan = sweep_rates(table)
    thread_scaling(table, plan)
    build_scaling(table)
