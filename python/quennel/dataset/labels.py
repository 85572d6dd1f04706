"""What a burst's labels say about its source, one entry per source type.

A new source type slots in with one entry in TYPE_LABELS: a function of the drawn source
(and the sample rate) giving its modulation class and order, its samples per symbol and
its occupied bandwidth. Sources of types without an entry are labelled "unknown" with
the whole band as bandwidth.
"""

from __future__ import annotations

import functools
import json
import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

# The share of a burst's power that its labelled band holds.
CONTAINED_POWER = 0.995
_SPECTRUM_POINTS = 1 << 16


@dataclass(frozen=True)
class TypeLabels:
    modulation: str
    order: int
    sps: int  # samples per symbol (per chip for spread sources); 0 where there are no symbols
    bandwidth: float  # in cycles per sample
    centre_offset: float = 0.0  # of the band's centre from "freq", in cycles per sample


def _sps(source: dict[str, Any]) -> int:
    return max(int(source.get("sps", 8)), 1)


def pulse_bandwidth(source: dict[str, Any]) -> float:
    """The band in cycles per sample that holds CONTAINED_POWER of a symbol stream's power:
    (1 + beta) / sps for root-raised-cosine pulses; for rectangular pulses the share of
    the sps-sample pulse's spectrum, found numerically; never more than the whole band."""
    sps = _sps(source)
    if source.get("pulse") == "rrc":
        return min((1.0 + float(source.get("rrc_beta", 0.35))) / sps, 1.0)
    return _rect_bandwidth(sps)


@functools.lru_cache(maxsize=64)
def _rect_bandwidth(sps: int) -> float:
    f = (np.arange(_SPECTRUM_POINTS // 2) + 0.5) / _SPECTRUM_POINTS  # one half of the band
    spectrum = (np.sin(np.pi * f * sps) / (sps * np.sin(np.pi * f))) ** 2
    share = np.cumsum(spectrum) / np.sum(spectrum)
    edge = int(np.searchsorted(share, CONTAINED_POWER)) + 1
    return min(2.0 * edge / _SPECTRUM_POINTS, 1.0)


def _symbol_stream(modulation: str, order: int) -> Callable[[dict[str, Any]], TypeLabels]:
    return lambda source: TypeLabels(modulation, order, _sps(source), pulse_bandwidth(source))


def _bits(source: dict[str, Any]) -> TypeLabels:
    modulation = source.get("modulation", "bpsk")
    order = {"none": 2, "qpsk": 4}.get(modulation, 2)
    return TypeLabels("psk" if modulation in ("bpsk", "qpsk") else "none", order, _sps(source),
                      pulse_bandwidth(source))


def _explicit_symbols(source: dict[str, Any]) -> TypeLabels:
    values = source.get("symbols", [])
    points = {(values[k], values[k + 1]) for k in range(0, len(values) - 1, 2)}
    return TypeLabels("symbols", len(points), _sps(source), pulse_bandwidth(source))


def _chirp(source: dict[str, Any]) -> TypeLabels:
    start, end = float(source.get("freq", 0.0)), float(source.get("f_end", 0.0))
    return TypeLabels("chirp", 0, 0, abs(end - start), (start + end) / 2 - start)


TYPE_LABELS: dict[str, Callable[[dict[str, Any]], TypeLabels]] = {
    "tone": lambda source: TypeLabels("tone", 0, 0, 0.0),
    "noise": lambda source: TypeLabels("noise", 0, 0, 1.0),
    "pn": _symbol_stream("psk", 2),
    "bpsk": _symbol_stream("psk", 2),
    "qpsk": _symbol_stream("psk", 4),
    "chirp": _chirp,
    "bits": _bits,
    "symbols": _explicit_symbols,
    "dsss": _symbol_stream("dsss", 2),
}


def type_labels(source: dict[str, Any], fs: float) -> TypeLabels:
    """The labels of a drawn source; frequencies come back in cycles per sample."""
    label = TYPE_LABELS.get(source["type"])
    labels = label(source) if label else TypeLabels("unknown", 0, 0, 1.0)
    if source["type"] == "chirp":  # a chirp's frequencies are in the unit of fs
        return TypeLabels(labels.modulation, labels.order, labels.sps, labels.bandwidth / fs,
                          labels.centre_offset / fs)
    return labels


def burst_labels(burst: Any, fs: float, measured_snr: float | None) -> dict[str, Any]:
    """One burst's labels; frequencies in the unit of fs."""
    source = burst.source
    labels = type_labels(source, fs)
    centre = float(source.get("freq", 0.0)) + labels.centre_offset * fs
    half = labels.bandwidth * fs / 2
    return {"class": burst.class_name, "type": source["type"], "modulation": labels.modulation,
            "order": labels.order, "freq": float(source.get("freq", 0.0)),
            "symbol_rate": fs / labels.sps if labels.sps else 0.0, "sps": labels.sps,
            "bandwidth": labels.bandwidth * fs, "freq_lower": centre - half, "freq_upper": centre + half,
            "snr": burst.snr, "snr_mode": burst.snr_mode if burst.snr is not None else None,
            "measured_snr": measured_snr, "level": burst.level, "start": burst.start, "count": burst.count,
            "impairments": _impairments(source)}


# Source keys that hold a burst's impairments, as drawn.
IMPAIRMENT_KEYS = ("channel", "frontend")


def _impairments(source: dict[str, Any]) -> str | None:
    """The burst's drawn impairments as JSON text (one column in a table), None without any."""
    drawn = {key: source[key] for key in IMPAIRMENT_KEYS if key in source}
    return json.dumps(drawn, sort_keys=True) if drawn else None


def db(ratio: float) -> float:
    return 10.0 * math.log10(ratio) if ratio > 0 else -math.inf
