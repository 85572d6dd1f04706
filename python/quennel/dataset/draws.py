"""The draws of a dataset: every drawn value of example i is a pure function of the
description's seed, i and the name of the value, so an example never depends on which
examples were drawn before it, nor where.

The derivation, all on unsigned 64 bits with wrap-around:

- the example key is ``mix(seed + (i + 1) * 0x9E3779B97F4A7C15)``, where ``mix`` is the
  SplitMix64 finaliser (as in :func:`quennel.sweep.trial_seed`, kept to 64 bits);
- a value named ``path`` (for instance ``"bursts/0/source/freq"``) takes
  ``u = mix(key XOR fnv1a64(path) + 0x9E3779B97F4A7C15) >> 11``, a 53-bit integer, where
  ``fnv1a64`` is the 64-bit FNV-1a hash of the path's UTF-8 bytes;
- a real range [lo, hi] gives ``lo + u * ((hi - lo) * 2**-53)``, evaluated in that order
  (as scenes draw their ranges); an integer range gives ``lo + floor(u * (hi - lo + 1) * 2**-53)``,
  each of lo..hi equally often; a choice among n values takes value ``floor(u * n * 2**-53)``.
"""

from __future__ import annotations

import functools

_MASK64 = (1 << 64) - 1
_GOLDEN = 0x9E3779B97F4A7C15
_FNV_OFFSET = 0xCBF29CE484222325
_FNV_PRIME = 0x100000001B3
_UNIT = 2.0 ** -53


def mix(x: int) -> int:
    """The SplitMix64 finaliser."""
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & _MASK64
    return x ^ (x >> 31)


def example_key(seed: int, index: int) -> int:
    """The key of every draw of example `index` of a dataset with this seed."""
    return mix((seed + (index + 1) * _GOLDEN) & _MASK64)


@functools.lru_cache(maxsize=1 << 12)  # the same few paths come back in every example
def fnv1a64(text: str) -> int:
    h = _FNV_OFFSET
    for byte in text.encode():
        h = ((h ^ byte) * _FNV_PRIME) & _MASK64
    return h


class Draws:
    """The drawn values of one example."""

    def __init__(self, seed: int, index: int):
        self.key = example_key(seed, index)

    def bits53(self, path: str) -> int:
        return mix(((self.key ^ fnv1a64(path)) + _GOLDEN) & _MASK64) >> 11

    def real(self, path: str, lo: float, hi: float) -> float:
        return lo + self.bits53(path) * ((hi - lo) * _UNIT)

    def integer(self, path: str, lo: int, hi: int) -> int:
        return min(lo + int(self.bits53(path) * float(hi - lo + 1) * _UNIT), hi)

    def index(self, path: str, count: int) -> int:
        return min(int(self.bits53(path) * count * _UNIT), count - 1)

    def weighted(self, path: str, weights: list[float]) -> int:
        """An index drawn with probability proportional to its weight (some weight > 0)."""
        target = self.real(path, 0.0, sum(weights))
        total = 0.0
        for k, weight in enumerate(weights):
            total += weight
            if target < total:
                return k
        return max(k for k, weight in enumerate(weights) if weight > 0)
