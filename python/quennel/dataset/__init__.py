"""Labelled datasets of synthetic captures, drawn from one description.

Example i is a scene drawn from the description's seed and i alone (the derivation is in
:mod:`quennel.dataset.draws`) and rendered by the scene library, so it is the same bytes
whatever the order, the threads, the workers or the machine that make it::

    from quennel.dataset import Dataset

    ds = Dataset("classes.json")
    samples, labels = ds[17]          # complex64 samples, a dict of labels
    batch = ds.batch(0, 256)          # examples 0..255 as one (256, length) array

A ``Dataset`` holds no state but its description, so several threads may read it at once,
and it pickles, so PyTorch's DataLoader workers can share it (PyTorch is not needed by
quennel)::

    import torch.utils.data
    loader = torch.utils.data.DataLoader(Dataset("classes.json"), batch_size=64, num_workers=4,
                                         collate_fn=lambda items: items)

``quennel dataset explain SPEC --example I`` prints the scene of example I, which
``quennel render`` renders to the same samples; ``quennel dataset SPEC -o OUT`` stores a
dataset (see :mod:`quennel.dataset.store`).
"""

from __future__ import annotations

import json
from typing import Any

import numpy as np

from .description import DatasetError, Description, load
from .examples import Example, draw_example, labels, render

__all__ = ["Dataset", "DatasetError", "Description", "load"]


class Dataset:
    """The examples of a dataset description (JSON text, parsed JSON or a file name)."""

    def __init__(self, description: Any):
        self.description = load(description)

    def __len__(self) -> int:
        return self.description.examples

    def __getitem__(self, index: int) -> tuple[np.ndarray, dict[str, Any]]:
        return self.example(self._index(index))

    def __iter__(self) -> Any:
        return (self.example(i) for i in range(len(self)))

    def __reduce__(self) -> tuple[Any, tuple[str]]:
        return (Dataset, (self.description.text,))

    def draw(self, index: int) -> Example:
        """Example `index` as drawn: its scene, bursts and floor."""
        return draw_example(self.description, self._index(index))

    def scene(self, index: int) -> dict[str, Any]:
        """The drawn scene of example `index`."""
        return self.draw(index).scene

    def scene_text(self, index: int) -> str:
        return json.dumps(self.scene(index), indent=2, allow_nan=False) + "\n"

    def example(self, index: int, out: np.ndarray | None = None) -> tuple[np.ndarray, dict[str, Any]]:
        """Example `index`: its samples (into out when given) and its labels."""
        drawn = self.draw(index)
        d = self.description
        samples, powers = render(drawn, d.length, d.fs, out)
        return samples, labels(drawn, powers, d.fs)

    def batch(self, start: int, count: int) -> tuple[np.ndarray, list[dict[str, Any]]]:
        """Examples start..start+count-1 as one (count, length) complex64 array, with their labels."""
        if count < 0 or start < 0 or start + count > len(self):
            raise IndexError(f"examples {start}..{start + count - 1} are not all within 0..{len(self) - 1}")
        samples = np.empty((count, self.description.length), np.complex64)
        labelled = [self.example(start + k, samples[k])[1] for k in range(count)]
        return samples, labelled

    def _index(self, index: int) -> int:
        if not isinstance(index, (int, np.integer)) or isinstance(index, bool):
            raise TypeError(f"examples are indexed by whole numbers, not {type(index).__name__}")
        index = int(index)
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError(f"example {index} is outside 0..{len(self) - 1}")
        return index
