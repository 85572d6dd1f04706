"""Monte-Carlo sweeps: a user function over the (snr, trial) realisations of one scene.

Every realisation is ``Plan.at(snr, seed)``, with the seed derived from a base seed and
the trial index alone, so a sweep gives the same table wherever and in whatever order its
realisations run: on local threads (rendering releases the interpreter lock) or on a
``dask.distributed`` cluster, to which the plan travels once per worker as its blob and
from which every task brings back the columns of a whole batch of realisations.
"""

from __future__ import annotations

import concurrent.futures
import functools
import json
import math
import os
import sys
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np

import kettara

from ._cluster import batch_count, map_batches
from ._progress import Progress
from .schema import check_scene

Metric = Callable[[np.ndarray, float], float | int | Mapping[str, float | int]]

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


def realisation(plan: kettara.Plan, snr: float, seed: int, out: np.ndarray, fresh_fading: bool = False) -> np.ndarray:
    """One realisation into out: ``Plan.at(snr, seed)``, or with fresh_fading that render with
    the fading sources faded afresh from the same seed."""
    if fresh_fading:
        return plan.render(json.dumps({"snr": snr, "seed": seed, "fading_seed": seed}), out=out)
    return plan.at(snr, seed, out=out)


def run_batch(plan: kettara.Plan, fn: Metric, batch: Sequence[tuple[float, int, int]],
              fresh_fading: bool = False) -> list[Any]:
    """The metric of each realisation of a batch, in order; the realisations of one thread
    are rendered into one reused buffer."""
    out = _samples_buffer(plan.length())
    return [fn(realisation(plan, snr, seed, out, fresh_fading), snr) for snr, _, seed in batch]


def batch_columns(plan: kettara.Plan, fn: Metric, batch: Sequence[tuple[float, int, int]],
                  fresh_fading: bool = False) -> np.ndarray:
    """The metric columns of a batch's realisations as one structured array: one object to
    bring back from a worker instead of one per realisation."""
    return _columns(run_batch(plan, fn, batch, fresh_fading))


def sweep(scene: str | kettara.Plan, fn: Metric, snrs: Iterable[float], trials: int, *,
          base_seed: int = 0, threads: int | None = None, client: Any = None,
          batch_size: int | None = None, progress: bool | None = None, fresh_fading: bool = False,
          strict: bool = False) -> np.ndarray:
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
        Realisations per task (default: a few tasks per local thread, two per cluster
        worker thread).
    progress : bool, optional
        Show progress (default: when standard error is a terminal).
    fresh_fading : bool
        Fade the scene's fading sources afresh in every trial, from the trial's seed (the
        render override "fading_seed"); by default every trial meets the scene's own fading.
    strict : bool
        Scene text with problems (a misspelt key, a value of the wrong type, an unknown
        name: what ``quennel check`` reports) raises quennel.errors.SceneError instead of
        being warned of through ``logging``. A plan given as the scene is not checked.

    Returns
    -------
    numpy.ndarray
        Structured array, one row per (snr, trial), SNR-major: "snr", "trial", "seed",
        then the metric's columns.
    """
    if trials < 0:
        raise ValueError("trials must not be negative")
    plan = scene if isinstance(scene, kettara.Plan) else kettara.Plan(scene)
    if not isinstance(scene, kettara.Plan):
        check_scene(scene, "scene", strict)
    rows = realisations(snrs, trials, base_seed)
    if progress is None:
        progress = sys.stderr.isatty()
    if client is None:
        workers = max(1, threads or os.cpu_count() or 1)
        batches = _batches(rows, batch_size or math.ceil(len(rows) / (4 * workers)))
        results = _run_local(plan, fn, batches, workers, progress, fresh_fading)
    else:
        batches = _batches(rows, batch_size or math.ceil(len(rows) / batch_count(client)))
        results = map_batches(client, plan.save(), kettara.PlanFromBlob,
                              functools.partial(_metric_batch, fn, fresh_fading), batches, progress)
    return _table(rows, results)


def _metric_batch(fn: Metric, fresh_fading: bool, plan: kettara.Plan,
                  batch: Sequence[tuple[float, int, int]]) -> np.ndarray:
    return batch_columns(plan, fn, batch, fresh_fading)


def _batches(rows: list, size: int) -> list[list]:
    size = max(1, size)
    return [rows[i:i + size] for i in range(0, len(rows), size)]


def _run_local(plan, fn, batches, workers, progress, fresh_fading=False) -> list[np.ndarray]:
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(batch_columns, plan, fn, batch, fresh_fading) for batch in batches]
        if progress:
            with Progress("sweep", sum(len(b) for b in batches), unit="realisation") as bar:
                for future in concurrent.futures.as_completed(futures):
                    bar.advance(len(future.result()))
        return [future.result() for future in futures]


def _columns(results: list[Any]) -> np.ndarray:
    """Results of one batch as a structured array, its columns typed by the first result."""
    columns = _metric_columns(results[0]) if results else []
    table = np.zeros(len(results), dtype=columns)
    for name, _ in columns:
        if name == "value" and not isinstance(results[0], Mapping):
            table[name] = results
        else:
            table[name] = [result[name] for result in results]
    return table


def _table(rows, batches: list[np.ndarray]) -> np.ndarray:
    """The sweep's table: the realisations' keys beside the batches' metric columns (typed
    by the first batch)."""
    columns = [] if not batches or batches[0].dtype.names is None else \
        [(name, batches[0].dtype[name]) for name in batches[0].dtype.names]
    dtype = [("snr", "f8"), ("trial", "i8"), ("seed", "u8")] + columns
    table = np.zeros(len(rows), dtype=dtype)
    if rows:
        snr, trial, seed = zip(*rows)
        table["snr"], table["trial"], table["seed"] = snr, trial, seed
    start = 0
    for batch in batches:
        for name, _ in columns:
            table[name][start:start + batch.size] = batch[name]
        start += batch.size
    return table


def _metric_columns(first) -> list[tuple[str, str]]:
    def kind(v):
        return "i8" if isinstance(v, (int, np.integer)) and not isinstance(v, bool) else "f8"
    if isinstance(first, Mapping):
        return [(str(name), kind(value)) for name, value in first.items()]
    return [("value", kind(first))]
