"""Batches of work on a dask.distributed cluster, with the object they share (a plan, a
dataset) shipped to every worker once as bytes and rebuilt there once per worker process.

A task carries a whole batch and returns its results in one piece, so that neither the
scheduler's per-task cost nor the transfer of many small results dominates.
"""

from __future__ import annotations

import hashlib
import threading
from collections import OrderedDict
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from ._progress import Progress

_worker_objects: OrderedDict[str, Any] = OrderedDict()
_worker_objects_lock = threading.Lock()
_WORKER_OBJECTS_KEPT = 4


def map_batches(client: Any, shared: bytes, build: Callable[[bytes], Any],
                work: Callable[[Any, Any], Any], batches: Sequence[Any], progress: bool = False) -> list[Any]:
    """``work(build(shared), batch)`` of every batch, in order, run on the cluster.

    ``build`` and ``work`` must pickle by reference (module-level functions, or
    functools.partial of them); ``shared`` is broadcast to every worker before the tasks
    are submitted, and each worker process builds its object from it once.
    """
    futures = _submit(client, shared, build, work, batches)
    if progress:
        from distributed import as_completed

        with Progress("sweep", len(futures), unit="batch") as bar:
            for _ in as_completed(futures):  # type: ignore[no-untyped-call]
                bar.advance(1)
    results: list[Any] = client.gather(futures)
    return results


def iter_batches(client: Any, shared: bytes, build: Callable[[bytes], Any], work: Callable[[Any, Any], Any],
                 batches: Sequence[Any]) -> Iterator[tuple[int, Any]]:
    """(index, result) of each batch as map_batches makes them, in the order they finish,
    so that the caller keeps only the results in flight."""
    from distributed import as_completed

    futures = _submit(client, shared, build, work, batches)
    index = {future.key: k for k, future in enumerate(futures)}
    for future in as_completed(futures):  # type: ignore[no-untyped-call]
        yield index[future.key], future.result()
        future.release()


def _submit(client: Any, shared: bytes, build: Callable[[bytes], Any], work: Callable[[Any, Any], Any],
            batches: Sequence[Any]) -> list[Any]:
    shared_id = hashlib.sha256(shared).hexdigest()
    shipped = client.scatter(shared, broadcast=True)
    futures: list[Any] = client.map(_run_remote, batches, shared=shipped, shared_id=shared_id, build=build,
                                    work=work, pure=False)
    return futures


def batch_count(client: Any, tasks_per_worker: int = 2) -> int:
    """How many batches keep every worker thread of the cluster busy: few, as each costs a
    round trip through the scheduler."""
    threads: int = sum(client.nthreads().values())
    return max(1, tasks_per_worker * threads)


def _run_remote(batch: Any, *, shared: bytes, shared_id: str, build: Callable[[bytes], Any],
                work: Callable[[Any, Any], Any]) -> Any:
    return work(_worker_object(shared_id, shared, build), batch)


def _worker_object(shared_id: str, shared: bytes, build: Callable[[bytes], Any]) -> Any:
    """This worker process's object built from shared, kept for the next batches."""
    key = f"{getattr(build, '__qualname__', build)!s}:{shared_id}"
    with _worker_objects_lock:
        value = _worker_objects.get(key)
        if value is None:
            value = build(shared)
            _worker_objects[key] = value
            while len(_worker_objects) > _WORKER_OBJECTS_KEPT:
                _worker_objects.popitem(last=False)
        else:
            _worker_objects.move_to_end(key)
        return value
