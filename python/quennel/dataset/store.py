"""A dataset stored in a folder, made chunk by chunk, resumable.

Zarr (the default) lays out the folder as::

    OUT/dataset.json        the recipe: producer, version, the description as given
    OUT/samples.zarr        examples x length complex64, one chunk per `chunk` examples,
                            uncompressed
    OUT/examples.parquet    one row per example: its first burst's labels, its floor
    OUT/bursts.parquet      one row per burst: example, time and frequency box, labels
    OUT/.chunks/N.json      the labels of finished chunk N

SigMF (``fmt="sigmf"``) writes ``example-NNNNNNN.sigmf-data`` and ``.sigmf-meta`` (one
annotation per burst, with its labels) per example and ``dataset.sigmf-collection``.

Every file is written under a temporary name and renamed into place (Zarr writes its
chunks that way too), and a chunk's labels are committed only after its samples: a
chunk whose labels are there is finished, and a rerun skips it. A run stopped at any
point, even by SIGKILL, loses at most the chunks in flight, and the resumed run writes
the same bytes as one that was never stopped, since example i depends on i alone.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import json
import os
import re
from collections.abc import Iterator
from typing import Any

import numpy as np

from .. import __version__
from .._progress import Progress
from ..capture import replace_file
from ..errors import QuennelError
from . import Dataset
from .description import Description, load

RECIPE_FILE = "dataset.json"
SAMPLES = "samples.zarr"
CHUNKS = ".chunks"
FORMATS = ("zarr", "sigmf")
DEFAULT_CHUNK_BYTES = 8 << 20
SIGMF_VERSION = "1.2.0"


class StoreError(QuennelError):
    """An output folder that cannot take the dataset; nothing in it was changed."""


def recipe(description: Description, fmt: str, chunk: int) -> dict[str, Any]:
    return {"dataset": 1, "producer": "quennel", "version": __version__, "format": fmt, "chunk": chunk,
            "description": description.to_json()}


def default_chunk(description: Description) -> int:
    return max(1, min(description.examples, DEFAULT_CHUNK_BYTES // (8 * description.length)))


def write(description: Any, out: str, fmt: str = "zarr", threads: int = 1, client: Any = None,
          chunk: int | None = None) -> dict[str, Any]:
    """Writes (or finishes writing) the dataset into the folder out, with a progress bar on
    a terminal; returns its recipe."""
    d = load(description)
    chunk = chunk or default_chunk(d)
    chunks = [(start, min(chunk, d.examples - start)) for start in range(0, d.examples, chunk)]
    wanted = recipe(d, fmt, chunk)
    _claim(out, wanted)
    _remove_leftovers(out)
    sink: _Sink = _ZarrSink(out, d, chunk) if fmt == "zarr" else _SigmfSink(out, d)
    todo = [k for k in range(len(chunks)) if not sink.finished(k, *chunks[k])]
    bar = Progress("dataset", d.examples * d.length)
    done = d.examples - sum(chunks[k][1] for k in todo)
    for k, samples, labelled in _made(d, [chunks[k] for k in todo], todo, threads, client):
        sink.commit(k, chunks[k][0], samples, labelled)
        done += chunks[k][1]
        bar.update(done * d.length)
    sink.close(chunks)
    bar.finish()
    return wanted


def _claim(out: str, wanted: dict[str, Any]) -> None:
    """Makes out the dataset's folder: new or empty, or holding this very dataset (resumed)."""
    recipe_path = os.path.join(out, RECIPE_FILE)
    if os.path.exists(out) and not os.path.isdir(out):
        raise StoreError(f"{out}: exists and is not a folder")
    if os.path.isdir(out) and os.listdir(out):
        try:
            with open(recipe_path, encoding="utf-8") as file:
                found = json.load(file)
        except (OSError, ValueError):
            raise StoreError(f"{out}: holds something else than a dataset; give an empty or new folder") from None
        if found != wanted:
            raise StoreError(f"{out}: holds another dataset (its description, format or chunking differ)")
        return
    try:
        os.makedirs(out, exist_ok=True)
        replace_file(recipe_path, json.dumps(wanted, indent=2) + "\n")
    except OSError as error:
        raise StoreError(f"{out}: cannot create the dataset ({error.strerror})") from None


_LEFTOVER = re.compile(r"\.(tmp\d+(_\d+)?|[0-9a-f]{32}\.partial)$")


def _remove_leftovers(out: str) -> None:
    """Removes the temporary files of a run that was stopped while writing them."""
    for folder, _, names in os.walk(out):
        for name in names:
            if _LEFTOVER.search(name):
                os.unlink(os.path.join(folder, name))


def _dataset_from_text(text: bytes) -> Dataset:
    return Dataset(text.decode())


def _remote_chunk(ds: Dataset, span: tuple[int, int]) -> tuple[np.ndarray, list[dict[str, Any]]]:
    return ds.batch(*span)


def _made(d: Description, spans: list[tuple[int, int]], keys: list[int], threads: int,
          client: Any) -> Iterator[tuple[int, np.ndarray, list[dict[str, Any]]]]:
    """(key, samples, labels) of each span as it is finished, made on threads or a cluster."""
    if client is not None:
        from .._cluster import iter_batches

        for index, (samples, labelled) in iter_batches(client, d.text.encode(), _dataset_from_text,
                                                       _remote_chunk, spans):
            yield keys[index], samples, labelled
        return
    ds = Dataset(d)
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, threads)) as pool:
        futures = {pool.submit(ds.batch, *span): key for span, key in zip(spans, keys)}
        for future in concurrent.futures.as_completed(futures):
            samples, labelled = future.result()
            yield futures[future], samples, labelled


class _Sink:
    def finished(self, key: int, start: int, count: int) -> bool:
        raise NotImplementedError

    def commit(self, key: int, start: int, samples: np.ndarray, labelled: list[dict[str, Any]]) -> None:
        raise NotImplementedError

    def close(self, chunks: list[tuple[int, int]]) -> None:
        raise NotImplementedError


class _ZarrSink(_Sink):
    def __init__(self, out: str, d: Description, chunk: int):
        import zarr

        self.out = out
        self.labels_dir = os.path.join(out, CHUNKS)
        os.makedirs(self.labels_dir, exist_ok=True)
        path = os.path.join(out, SAMPLES)
        if os.path.exists(path):
            self.array = zarr.open_array(path, mode="r+")
        else:
            self.array = zarr.create_array(path, shape=(d.examples, d.length), chunks=(chunk, d.length),
                                           dtype="complex64", compressors=None, fill_value=0)

    def _labels_path(self, key: int) -> str:
        return os.path.join(self.labels_dir, f"{key}.json")

    def finished(self, key: int, start: int, count: int) -> bool:
        return os.path.exists(self._labels_path(key))

    def commit(self, key: int, start: int, samples: np.ndarray, labelled: list[dict[str, Any]]) -> None:
        self.array[start:start + samples.shape[0]] = samples
        replace_file(self._labels_path(key), json.dumps(labelled, allow_nan=True))

    def close(self, chunks: list[tuple[int, int]]) -> None:
        labelled = []
        for key in range(len(chunks)):
            with open(self._labels_path(key), encoding="utf-8") as file:
                labelled.extend(json.load(file))
        write_label_tables(self.out, labelled)


def write_label_tables(out: str, labelled: list[dict[str, Any]]) -> None:
    """examples.parquet (one row per example) and bursts.parquet (one row per burst)."""
    import pyarrow as pa  # type: ignore[import-untyped]
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

    examples = [{k: v for k, v in row.items() if k != "bursts"} for row in labelled]
    bursts = [{"example": row["example"], "burst": n, **burst} for row in labelled
              for n, burst in enumerate(row["bursts"])]
    for name, rows in (("examples.parquet", examples), ("bursts.parquet", bursts)):
        path = os.path.join(out, name)
        temp = f"{path}.tmp{os.getpid()}"
        pq.write_table(pa.Table.from_pylist(rows), temp)
        os.replace(temp, path)


class _SigmfSink(_Sink):
    def __init__(self, out: str, d: Description):
        self.out, self.d = out, d
        self.digits = max(6, len(str(d.examples - 1)))

    def name(self, index: int) -> str:
        return f"example-{index:0{self.digits}d}"

    def finished(self, key: int, start: int, count: int) -> bool:
        return all(os.path.exists(os.path.join(self.out, self.name(i) + ".sigmf-meta"))
                   for i in range(start, start + count))

    def commit(self, key: int, start: int, samples: np.ndarray, labelled: list[dict[str, Any]]) -> None:
        for k, labels in enumerate(labelled):
            base = os.path.join(self.out, self.name(start + k))
            data = samples[k].astype("<c8").tobytes()
            _replace_bytes(base + ".sigmf-data", data)
            replace_file(base + ".sigmf-meta", json.dumps(self.meta(labels, data), indent=2) + "\n")

    def meta(self, labels: dict[str, Any], data: bytes) -> dict[str, Any]:
        annotations = [{"core:sample_start": b["start"], "core:sample_count": b["count"],
                        "core:freq_lower_edge": b["freq_lower"], "core:freq_upper_edge": b["freq_upper"],
                        "core:label": b["class"],
                        **{f"quennel:{k}": v for k, v in b.items() if v is not None and k not in
                           ("start", "count", "freq_lower", "freq_upper")}}
                       for b in labels["bursts"]]
        return {"global": {"core:datatype": "cf32_le", "core:sample_rate": self.d.fs,
                           "core:version": SIGMF_VERSION, "core:sha512": hashlib.sha512(data).hexdigest(),
                           "core:recorder": f"quennel {__version__}",
                           "core:extensions": [{"name": "quennel", "version": "1.0.0", "optional": True}],
                           "quennel:example": labels["example"], "quennel:noise_level": labels["noise_level"]},
                "captures": [{"core:sample_start": 0}], "annotations": annotations}

    def close(self, chunks: list[tuple[int, int]]) -> None:
        streams = []
        for index in range(self.d.examples):
            meta = os.path.join(self.out, self.name(index) + ".sigmf-meta")
            with open(meta, "rb") as file:
                streams.append({"name": self.name(index), "hash": hashlib.sha512(file.read()).hexdigest()})
        collection = {"collection": {"core:version": SIGMF_VERSION, "core:description": "quennel dataset",
                                     "core:streams": streams}}
        replace_file(os.path.join(self.out, "dataset.sigmf-collection"), json.dumps(collection, indent=2) + "\n")


def _replace_bytes(path: str, data: bytes) -> None:
    temp = f"{path}.tmp{os.getpid()}"  # a leftover of a stopped run is removed by the next one
    with open(temp, "wb") as file:
        file.write(data)
    os.replace(temp, path)


def read_samples(out: str) -> np.ndarray:
    """The stored samples of a Zarr dataset."""
    import zarr

    return np.asarray(zarr.open_array(os.path.join(out, SAMPLES), mode="r")[:])

