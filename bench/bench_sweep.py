"""Monte-Carlo sweeps: realisations per second locally and on a 2-worker Dask cluster."""

import json
import os
import time

from _common import Table

from quennel.cli.sweep import power_and_peak
from quennel.sweep import sweep

SCENE = json.dumps({"segments": [{"sum": [
    {"type": "qpsk", "snr": 6, "pulse": "rrc", "sps": 8},
    {"type": "tone", "freq": 0.1, "level": -10},
    {"type": "chirp", "freq": -0.2, "f_end": 0.2, "level": -6}], "num_samples": 1 << 16}]})
TINY = json.dumps({"segments": [{"type": "bpsk", "snr": 6, "num_samples": 16}]})
SNRS = [0.0, 5.0, 10.0]


def rate(trials, **kwargs):
    sweep(SCENE, power_and_peak, SNRS[:1], 2, progress=False, **kwargs)  # warm up
    start = time.perf_counter()
    sweep(SCENE, power_and_peak, SNRS, trials, progress=False, **kwargs)
    return len(SNRS) * trials / (time.perf_counter() - start)


def main():
    cpus = os.cpu_count() or 1
    table = Table(f"Sweeps of a 3-source scene of {1 << 16} samples per realisation", "realisations/s")
    one = rate(40, threads=1)
    table.row("local, 1 thread", one)
    table.row(f"local, {cpus} threads", rate(40, threads=cpus), one, "1 thread")
    try:
        import distributed
    except ImportError:
        print("  (dask.distributed not installed: cluster figures skipped)")
        return
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        table.row("LocalCluster, 2 worker processes", rate(40, client=client), one, "1 local thread")
        tasks = 200
        start = time.perf_counter()
        sweep(TINY, power_and_peak, [0.0], tasks, client=client, batch_size=1, progress=False)
        per_task = (time.perf_counter() - start) / tasks
        print(f"  overhead per task on the cluster (tiny realisations, one per task): {per_task * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
