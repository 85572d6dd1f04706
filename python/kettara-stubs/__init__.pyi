"""Render plans: a scene prepared once, re-rendered fast with other gains, phases, enables, SNR or seed."""

import os
from typing import final

import numpy as np
import numpy.typing as npt

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

@final
class Plan:
    """Plan — handle over `kettara`."""

    def __init__(self, spec_json: str, *, strict: bool = False) -> None:
        """Build the plan of a scene. A scene the library cannot plan raises RuntimeError
        "kettara_prepare failed" with the reason (rule, segment, what to do) as a note.
        With strict, a scene the scene schema finds problems in (a misspelt key, a value of
        the wrong type, an unknown name) raises quennel.errors.SceneError (a ValueError)
        first, and so do overrides that render() would ignore."""
    def render(self, overrides_json: str, /, *,
               out: npt.NDArray[np.complex64] | None = None) -> npt.NDArray[np.complex64]:
        """General render: apply a JSON override spec, return a cf32 array."""
    def at(self, snr: float, seed: int, /, *,
           out: npt.NDArray[np.complex64] | None = None) -> npt.NDArray[np.complex64]:
        """Scalar fast-path for the hot Monte-Carlo/SNR loop (no JSON parse)."""
    def length(self) -> int:
        """Worst-case materialized length in samples, every ranged gap at its hi bound."""
    def n_sources(self) -> int:
        """Number of cached signal sources across every segment, noise floors excluded."""
    def anchor_seed(self) -> int:
        """The noise seed that reproduces a full compose."""
    def save(self) -> bytes:
        """Serialize a Plan into blob (kettara_save_bytes(p) bytes)."""
    def dump(self, path: _Path) -> None:
        """Save a Plan to a file (kettara_save() bytes at path)."""
    def close(self) -> None:
        """Release the handle and free resources."""
    def __enter__(self) -> Plan: ...
    def __exit__(self, *args: object) -> None: ...

def PlanFromBlob(blob: bytes, /) -> Plan:
    """Construct a Plan via kettara_restore."""

def PlanFromFile(path: _Path, /) -> Plan:
    """Construct a Plan via kettara_load."""
