"""Labelled datasets: examples per second beside rendering the same drawn scenes alone, over threads and
on a Dask cluster."""

import concurrent.futures
import json
import time

import numpy as np
from _common import Table

from quennel.dataset import Dataset
from quennel.dataset.examples import compose_into

LENGTH = 4096
EXAMPLES = 400


def description(examples):
    wide = {"freq": [-0.3, 0.3], "snr": [0, 30]}
    sources = [
        {"type": "qpsk", "sps": {"choice": [2, 4, 8]}, "pulse": "rrc", **wide},
        {"type": "qpsk", "sps": [2, 8], **wide},
        {"type": "bpsk", "sps": {"choice": [4, 8]}, "pulse": "rrc", "rrc_beta": [0.2, 0.5], **wide},
        {"type": "bpsk", "sps": [2, 16], **wide},
        {"type": "pn", "sps": [2, 8], "pn_length": {"choice": [7, 9, 11]}, **wide},
        {"type": "tone", **wide},
        {"type": "chirp", "freq": [-0.4, 0.0], "f_end": [0.0, 0.4], "snr": [0, 30]},
        {"type": "bits", "pattern": "1100101011110000", "sps": [2, 8], **wide},
        {"type": "bits", "pattern": "1100101011110000", "modulation": "qpsk", "sps": [2, 8], "pulse": "rrc", **wide},
        {"type": "symbols", "symbols": [1, 0, 0, 1, -1, 0, 0, -1], "sps": [2, 8], **wide},
    ]
    return {"seed": 1, "examples": examples, "length": LENGTH,
            "classes": [{"name": f"class{k}", "symbols": [64, 400], "source": s} for k, s in enumerate(sources)],
            "background": [{"type": "noise", "level": [-3, 3]}]}


def best(fn, rounds=3):
    fn()
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return EXAMPLES / min(times)


def main():
    ds = Dataset(description(EXAMPLES))
    scenes = [json.dumps(ds.scene(i)) for i in range(EXAMPLES)]
    out = np.empty(LENGTH, np.complex64)

    def render_alone():
        for text in scenes:
            compose_into(text, out)

    def on_threads(threads):
        chunk = EXAMPLES // (4 * threads)
        with concurrent.futures.ThreadPoolExecutor(threads) as pool:
            list(pool.map(lambda start: ds.batch(start, chunk), range(0, EXAMPLES, chunk)))

    table = Table(f"Datasets of {LENGTH}-sample examples, 10 classes, 1 burst each", "examples/s")
    rate = {"alone": best(render_alone), "one": best(lambda: on_threads(1)), "two": best(lambda: on_threads(2))}
    table.row("Dataset.batch, 1 thread", rate["one"], rate["alone"], "rendering the drawn scenes alone")
    table.row("Dataset.batch, 2 threads", rate["two"], rate["one"], "1 thread")
    try:
        import distributed
    except ImportError:
        print("  (dask.distributed not installed: cluster figures skipped)")
        return
    from quennel.dataset.store import _made

    d = ds.description
    spans = [(start, 25) for start in range(0, EXAMPLES, 25)]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        cluster_rate = best(lambda: list(_made(d, spans, list(range(len(spans))), 1, client)))
    table.row("LocalCluster, 2 worker processes", cluster_rate, rate["one"], "1 local thread")


if __name__ == "__main__":
    main()
