"""Monte-Carlo sweeps: realisations per second locally and on Dask, and the cost of one realisation on a
Dask worker beside a local thread."""

import json
import os
import time

import kettara
from _common import Table

from quennel.cli.sweep import power_and_peak
from quennel.sweep import realisations, run_batch, sweep

SCENE = json.dumps({"segments": [{"sum": [
    {"type": "qpsk", "snr": 6, "pulse": "rrc", "sps": 8},
    {"type": "tone", "freq": 0.1, "level": -10},
    {"type": "chirp", "freq": -0.2, "f_end": 0.2, "level": -6}], "num_samples": 1 << 16}]})
TINY = json.dumps({"segments": [{"type": "bpsk", "snr": 6, "num_samples": 16}]})
SNRS = [0.0, 5.0, 10.0]


def seconds(trials, **kwargs):
    """Wall time of a sweep of `trials` realisations per SNR."""
    start = time.perf_counter()
    sweep(SCENE, power_and_peak, SNRS, trials, progress=False, **kwargs)
    return time.perf_counter() - start


def rates(trials, runs, repeat=3):
    """Realisations per second of each of runs (name: sweep keywords), best of interleaved rounds."""
    for kwargs in runs.values():
        sweep(SCENE, power_and_peak, SNRS[:1], 2, progress=False, **kwargs)  # warm up
    best = {name: float("inf") for name in runs}
    for _ in range(repeat):
        for name, kwargs in runs.items():
            best[name] = min(best[name], seconds(trials, **kwargs))
    return {name: len(SNRS) * trials / t for name, t in best.items()}


def realisation_seconds(blob, trials):
    """Wall time of one realisation and its metric inside a batch, where the batch runs: the
    cost on a worker without the cluster's shipping and scheduling."""
    plan = kettara.PlanFromBlob(blob)
    batch = realisations([5.0], trials)
    run_batch(plan, power_and_peak, batch)  # warm up: buffers, first-use tables
    start = time.perf_counter()
    run_batch(plan, power_and_peak, batch)
    return (time.perf_counter() - start) / trials


def main():
    cpus = os.cpu_count() or 1
    table = Table(f"Sweeps of a 3-source scene of {1 << 16} samples per realisation", "realisations/s")
    local = rates(40, {"one": {"threads": 1}, "all": {"threads": cpus}})
    table.row("local, 1 thread", local["one"])
    table.row(f"local, {cpus} threads", local["all"], local["one"], "1 thread")
    try:
        import distributed
    except ImportError:
        print("  (dask.distributed not installed: cluster figures skipped)")
        return
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        blob = kettara.Plan(SCENE).save()
        best = {"dask": float("inf"), "local": float("inf")}
        for _ in range(5):
            best["dask"] = min(best["dask"], client.submit(realisation_seconds, blob, 40, pure=False).result())
            best["local"] = min(best["local"], realisation_seconds(blob, 40))
        table.row("realisation cost on a Dask worker (realisations/s)", 1 / best["dask"], 1 / best["local"],
                  "a local thread")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        # Enough realisations (a second of work on one thread) for the cluster's fixed costs
        # (shipping the plan, a round trip per task) to be what they are in real sweeps: small.
        two = rates(800, {"dask": {"client": client}, "local": {"threads": 1}})
        table.row("LocalCluster, 2 worker processes", two["dask"], two["local"], "1 local thread")
        tasks = 200
        start = time.perf_counter()
        sweep(TINY, power_and_peak, [0.0], tasks, client=client, batch_size=1, progress=False)
        per_task = (time.perf_counter() - start) / tasks
        print(f"  overhead per task on the cluster (tiny realisations, one per task): {per_task * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
