"""Monte-Carlo sweeps: a user function over the (snr, trial) realisations of one scene.

Every realisation is ``Plan.at(snr, seed)``, with the seed derived from a base seed and
the trial index alone, so a sweep gives the same table wherever and in whatever order its
realisations run: on local threads (rendering releases the interpreter lock) or on a
``dask.distributed`` cluster, to which the plan travels once per worker as its blob.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import math
import os
import sys
import threading
from collections import OrderedDict
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Union

import numpy as np

import kettara

Metric = Callable[[np.ndarray, float], Union[float, int, Mapping[str, Union[float, int]]]]

_MASK64 = (1 << 64) - 1


def trial_seed(base_seed: int, trial: int) -> int:
    """The noise seed of one trial: a SplitMix64 mix of the base seed and the trial index.

    Plans use the low 32 bits of a seed, so that is what this returns. Every SNR of a
    sweep reuses the seeds of the same trials (common random numbers), which makes curves
    over SNR smooth.
    """
    x = (base_seed + (trial + 1) * 0x9E3779B97F4A7C15) & _MASK64
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & _MASK64
    return (x ^ (x >> 31)) & 0xFFFFFFFF


def realisations(snrs: Iterable[float], trials: int, base_seed: int = 0) -> list[tuple[float, int, int]]:
    """(snr, trial, seed) of every realisation, SNR-major: the rows of a sweep's table."""
    seeds = [trial_seed(base_seed, t) for t in range(trials)]
    return [(float(snr), t, seeds[t]) for snr in snrs for t in range(trials)]


_thread_buffers = threading.local()


def _samples_buffer(length: int) -> np.ndarray:
    """This thread's render buffer of `length` samples, reused from call to call: a fresh
    array per realisation would cost its page faults every time."""
    buffer = getattr(_thread_buffers, "samples", None)
    if buffer is None or buffer.size != length:
        buffer = _thread_buffers.samples = np.empty(length, np.complex64)
    return buffer


def run_batch(plan: kettara.Plan, fn: Metric, batch: Sequence[tuple[float, int, int]]) -> list[Any]:
    """The metric of each realisation of a batch, in order; the realisations of one thread
    are rendered into one reused buffer."""
    out = _samples_buffer(plan.length())
    return [fn(plan.at(snr, seed, out=out), snr) for snr, _, seed in batch]


def sweep(scene: Union[str, kettara.Plan], fn: Metric, snrs: Iterable[float], trials: int, *,
          base_seed: int = 0, threads: int | None = None, client: Any = None,
          batch_size: int | None = None, progress: bool | None = None) -> np.ndarray:
    """Run ``fn(samples, snr)`` over every (snr, trial) realisation of a scene.

    Parameters
    ----------
    scene : str or kettara.Plan
        Scene JSON text, or a plan built from it.
    fn : callable
        Metric of one realisation: ``fn(samples, snr)`` returning a number (column
        "value") or a mapping of column names to numbers (the same names every time).
        ``samples`` lives in a buffer that the next realisation of the same thread
        overwrites: copy it to keep it.
    snrs : iterable of float
        SNRs in dB, as ``Plan.at`` takes them.
    trials : int
        Realisations per SNR; trial t uses the seed ``trial_seed(base_seed, t)``.
    base_seed : int
        Base of the trial seeds.
    threads : int, optional
        Local worker threads (default: the processor count). Ignored with a client.
    client : dask.distributed.Client, optional
        Runs the batches on that cluster instead: the plan is shipped once to every
        worker as its blob and rebuilt there.
    batch_size : int, optional
        Realisations per task (default: a few tasks per worker).
    progress : bool, optional
        Show progress (default: when standard error is a terminal).

    Returns
    -------
    numpy.ndarray
        Structured array, one row per (snr, trial), SNR-major: "snr", "trial", "seed",
        then the metric's columns.
    """
    if trials < 0:
        raise ValueError("trials must not be negative")
    plan = scene if isinstance(scene, kettara.Plan) else kettara.Plan(scene)
    rows = realisations(snrs, trials, base_seed)
    if progress is None:
        progress = sys.stderr.isatty()
    workers = _worker_count(client, threads)
    batches = _batches(rows, batch_size or max(1, math.ceil(len(rows) / (4 * workers))))
    if client is None:
        results = _run_local(plan, fn, batches, workers, progress)
    else:
        results = _run_dask(client, plan, fn, batches, progress)
    return _table(rows, results)


def _worker_count(client: Any, threads: int | None) -> int:
    if client is not None:
        return max(1, sum(client.nthreads().values()))
    return max(1, threads or os.cpu_count() or 1)


def _batches(rows: list, size: int) -> list[list]:
    return [rows[i:i + size] for i in range(0, len(rows), size)]


def _run_local(plan, fn, batches, workers, progress) -> list[Any]:
    bar = _ProgressBar(sum(len(b) for b in batches)) if progress else None
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(run_batch, plan, fn, batch) for batch in batches]
        if bar:
            for future in concurrent.futures.as_completed(futures):
                bar.advance(len(future.result()))
            bar.close()
        return [value for future in futures for value in future.result()]


def _run_dask(client, plan, fn, batches, progress) -> list[Any]:
    blob = plan.save()
    plan_id = hashlib.sha256(blob).hexdigest()
    shipped = client.scatter(blob, broadcast=True)
    futures = client.map(_run_remote_batch, batches, blob=shipped, plan_id=plan_id, fn=fn, pure=False)
    if progress:
        from distributed import progress as dask_progress
        dask_progress(futures)
    return [value for batch in client.gather(futures) for value in batch]


_worker_plans: OrderedDict[str, kettara.Plan] = OrderedDict()
_worker_plans_lock = threading.Lock()
_WORKER_PLANS_KEPT = 4


def _run_remote_batch(batch, *, blob: bytes, plan_id: str, fn: Metric) -> list[Any]:
    """A batch on a cluster worker, with the plan rebuilt once per worker process."""
    with _worker_plans_lock:
        plan = _worker_plans.get(plan_id)
        if plan is None:
            plan = kettara.PlanFromBlob(blob)
            _worker_plans[plan_id] = plan
            while len(_worker_plans) > _WORKER_PLANS_KEPT:
                _worker_plans.popitem(last=False)
        else:
            _worker_plans.move_to_end(plan_id)
    return run_batch(plan, fn, batch)


def _table(rows, results) -> np.ndarray:
    columns = _metric_columns(results[0]) if results else []
    dtype = [("snr", "f8"), ("trial", "i8"), ("seed", "u8")] + columns
    table = np.zeros(len(rows), dtype=dtype)
    if rows:
        snr, trial, seed = zip(*rows)
        table["snr"], table["trial"], table["seed"] = snr, trial, seed
    for name, _ in columns:
        if name == "value" and not isinstance(results[0], Mapping):
            table[name] = results
        else:
            table[name] = [result[name] for result in results]
    return table


def _metric_columns(first) -> list[tuple[str, str]]:
    def kind(v):
        return "i8" if isinstance(v, (int, np.integer)) and not isinstance(v, bool) else "f8"
    if isinstance(first, Mapping):
        return [(str(name), kind(value)) for name, value in first.items()]
    return [("value", kind(first))]


class _ProgressBar:
    """A one-line progress bar on standard error."""

    def __init__(self, total: int, width: int = 30):
        self.total, self.done, self.width = total, 0, width
        self._draw()

    def advance(self, n: int) -> None:
        self.done += n
        self._draw()

    def close(self) -> None:
        sys.stderr.write("\n")
        sys.stderr.flush()

    def _draw(self) -> None:
        filled = self.width * self.done // max(self.total, 1)
        sys.stderr.write(f"\rsweep [{'#' * filled}{'.' * (self.width - filled)}] {self.done}/{self.total}")
        sys.stderr.flush()
