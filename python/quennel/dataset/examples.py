"""One example: its drawn scene, its samples rendered through the scene library, its labels.

The example's timeline is cut wherever a burst starts or ends; each stretch where some
burst or background source plays is the on part of one segment of the scene, summing the
background sources and the bursts present there with the noise floor last; stretches
where only the floor plays are the segments' lead-in and off gaps, through which the
floor's noise runs on. A source present in several segments starts again in each (its
phase and its symbol stream restart at the cut).

Each burst is placed at its level above the floor (its stated SNR converted to a
per-sample SNR as its snr_mode says) and carries no noise of its own: the floor is one
unit-power noise source per segment, at the level of the background's first noise source
(0 dB when there is none and some source states an SNR), seeded afresh in every segment.

The samples are the sum of each source of each segment composed alone, in the scene's
source order: the library sums a segment's sources in that order too, one float multiply
and one float add per component, so the sum is the composed scene's samples bit for bit,
and each burst's own samples (and so its measured power) come for free.
"""

from __future__ import annotations

import functools
import json
import math
import threading
from dataclasses import dataclass
from typing import Any

import numpy as np

from .._native import kettara_lib
from ..errors import SceneError
from ..scene import MODE_NAMES, TYPE_NAMES, Composer, diagnose
from .description import DatasetError, Description
from .draws import Draws
from .labels import burst_labels, db

NO_NOISE_SNR = 100.0
FRAMED_TYPES = frozenset({"bits", "dsss"})  # sources whose frame may set their length
_SEED_RANGE = (0, (1 << 32) - 1)


@dataclass
class Burst:
    class_name: str
    source: dict[str, Any]  # drawn, as the scene plays it
    start: int
    count: int
    snr: float | None  # stated
    level: float
    snr_mode: str = "auto"


@dataclass
class Example:
    index: int
    scene: dict[str, Any]
    bursts: list[Burst]
    noise_level: float | None
    segments: list[Segment]


def draw_example(description: Description, index: int) -> Example:
    """Example `index`: its bursts, background and scene, drawn from the seed and index alone."""
    if not 0 <= index < description.examples:
        raise IndexError(f"example {index} is outside 0..{description.examples - 1}")
    draws = Draws(description.seed, index)
    length, fs = description.length, description.fs
    bursts = _draw_bursts(description, draws)
    background = [_seeded(draw(draws, f"background/{k}"), draws, f"background/{k}/seed")
                  for k, draw in enumerate(description.draw_background)]
    floor_source = next((s for s in background if s["type"] == "noise"), None)
    if floor_source is not None:
        background.remove(floor_source)
        noise_level: float | None = float(floor_source.get("level", 0.0))
    elif any(_stated_snr(b.source) is not None for b in bursts) or any(_stated_snr(s) is not None
                                                                        for s in background):
        noise_level = 0.0
    else:
        noise_level = None
    for burst in bursts:
        burst.snr = _stated_snr(burst.source)
        burst.snr_mode = str(burst.source.get("snr_mode", "auto"))
        burst.source, burst.level = _placed(burst.source, noise_level, fs)
    background = [_placed(source, noise_level, fs)[0] for source in background]
    segments = _segments(length, bursts, background, noise_level, draws)
    return Example(index, _scene(segments, fs), bursts, noise_level, segments)


def _draw_bursts(description: Description, draws: Draws) -> list[Burst]:
    length = description.length
    count = int(description.draw_bursts(draws, "bursts/count"))
    weights = [description.classes[k].weight for k in description.burst_classes]
    bursts = []
    for k in range(count):
        path = f"bursts/{k}"
        entry = description.classes[description.burst_classes[draws.weighted(path + "/class", weights)]]
        source = _seeded(entry.draw_source(draws, path + "/source"), draws, path + "/seed")
        if entry.samples is not None:
            samples = int(entry.draw_samples(draws, path + "/samples"))
        elif entry.symbols is not None:
            symbols = int(entry.draw_symbols(draws, path + "/symbols"))
            samples = symbols * max(int(source.get("sps", 8)), 1)
        else:
            samples = length
        samples = _played_count(entry.name, source, min(samples, length), description)
        start = None if entry.start is None else int(entry.draw_start(draws, path + "/start"))
        bursts.append(Burst(entry.name, source, -1 if start is None else start, samples, None, 0.0))
    if description.overlap:
        for k, burst in enumerate(bursts):
            if burst.start < 0:
                burst.start = draws.integer(f"bursts/{k}/start", 0, length - burst.count)
            burst.count = max(0, min(burst.count, length - burst.start))
        return [b for b in bursts if b.count > 0]
    return _placed_apart(bursts, length, draws)


def _played_count(class_name: str, source: dict[str, Any], count: int, description: Description) -> int:
    """The burst's length as the scene library plays it: a framed source lasts its frame."""
    if source["type"] not in FRAMED_TYPES:
        return count
    unseeded = json.dumps({k: v for k, v in source.items() if k != "seed"}, sort_keys=True)
    played = _frame_length(unseeded, count, description.fs)
    if played > description.length:
        raise DatasetError(f"class {class_name}: its frame lasts {played} samples, more than the example's "
                           f"length {description.length}")
    return played


@functools.lru_cache(maxsize=1 << 10)
def _frame_length(source_text: str, count: int, fs: float) -> int:
    """Samples a source plays in a segment of count samples (its seed does not matter)."""
    text = json.dumps({"segments": [{**json.loads(source_text), "num_samples": count, "fs": fs}]})
    with Composer(text, "a drawn source") as composer:
        return int(composer.segments()[0].num_samples)


def _placed_apart(bursts: list[Burst], length: int, draws: Draws) -> list[Burst]:
    """Bursts one after another in drawn order with drawn gaps between them; the bursts
    that do not fit after the ones before them are left out."""
    kept: list[Burst] = []
    for burst in bursts:
        if sum(b.count for b in kept) + burst.count <= length and burst.count > 0:
            kept.append(burst)
    free = length - sum(b.count for b in kept)
    cuts = sorted(draws.integer(f"bursts/{k}/gap", 0, free) for k in range(len(kept)))
    used = 0
    for cut, burst in zip(cuts, kept):
        burst.start = cut + used
        used += burst.count
    return kept


def _seeded(source: dict[str, Any], draws: Draws, path: str) -> dict[str, Any]:
    """The source with a drawn seed when it names none, so that its data differs per example."""
    if "seed" in source:
        return source
    return {**source, "seed": draws.integer(path, *_SEED_RANGE)}


def _stated_snr(source: dict[str, Any]) -> float | None:
    snr = source.get("snr")
    return float(snr) if isinstance(snr, (int, float)) and snr < NO_NOISE_SNR else None


def _placed(source: dict[str, Any], noise_level: float | None, fs: float) -> tuple[dict[str, Any], float]:
    """The source as the scene plays it: a stated SNR becomes a level above the floor."""
    snr = _stated_snr(source)
    played = {k: v for k, v in source.items() if k not in ("snr", "snr_mode")}
    if snr is None or noise_level is None:
        level = float(source.get("level", 0.0))
    else:
        level = noise_level + per_sample_snr(source, snr, fs)
    played["level"] = level
    return played, level


def per_sample_snr(source: dict[str, Any], snr: float, fs: float) -> float:
    """The stated SNR of a source referred to one sample, as the scene library refers it."""
    mode = source.get("snr_mode", "auto")
    mode_code = MODE_NAMES.index(mode) if mode in MODE_NAMES else 0
    type_code = TYPE_NAMES.index(source["type"])
    sps = int(source.get("sps", 8))
    code_len = sum(c in "01" for c in source.get("data_code", "")) if source["type"] == "dsss" else 0
    rate = float(source.get("symbol_rate", 0.0)) if source["type"] == "dsss" else 0.0
    samples_per_symbol = fs / rate if rate > 0 else 0.0
    value: float = kettara_lib().wfm_snr_over_fs(mode_code, type_code, sps, code_len, samples_per_symbol, snr)
    return value


@dataclass
class Segment:
    """One segment of an example's scene: a lead-in gap, an on part where its sources
    play, an off gap; the noise floor (the last source) runs on through the gaps."""

    start: int
    delay: int
    count: int
    off: int
    sources: list[dict[str, Any]]
    owners: list[int | None]  # the burst each source plays, None for background and floor

    def scene_segment(self, sources: list[dict[str, Any]], fs: float) -> dict[str, Any]:
        segment: dict[str, Any] = {"sum": sources} if len(sources) > 1 else dict(sources[0])
        segment.update(num_samples=self.count, fs=fs)
        if self.delay:
            segment["delay_samples"] = self.delay
        if self.off:
            segment["off_samples"] = self.off
        return segment


def _segments(length: int, bursts: list[Burst], background: list[dict[str, Any]], noise_level: float | None,
              draws: Draws) -> list[Segment]:
    """The timeline cut wherever a burst starts or ends; a stretch where only the floor
    plays becomes a gap of the next segment (or of the last)."""
    cuts = sorted({0, length} | {b.start for b in bursts} | {b.start + b.count for b in bursts})
    segments: list[Segment] = []
    gap_start = 0
    for a, b in zip(cuts, cuts[1:]):
        sources = list(background)
        owners: list[int | None] = [None] * len(background)
        for k, burst in enumerate(bursts):
            if burst.start <= a and b <= burst.start + burst.count:
                sources.append(burst.source)
                owners.append(k)
        if not sources:
            continue
        if noise_level is not None:
            sources.append({"type": "noise", "level": noise_level,
                            "seed": draws.integer(f"noise/{len(segments)}", *_SEED_RANGE)})
            owners.append(None)
        segments.append(Segment(gap_start, a - gap_start, b - a, 0, sources, owners))
        gap_start = b
    if not segments:  # only the floor, or nothing at all (a silent tone: its gain is exactly 0)
        floor = {"type": "noise", "level": noise_level, "seed": draws.integer("noise/0", *_SEED_RANGE)} \
            if noise_level is not None else {"type": "tone", "level": -1000}
        return [Segment(0, 0, length, 0, [floor], [None])]
    segments[-1].off = length - gap_start
    return segments


def _scene(segments: list[Segment], fs: float) -> dict[str, Any]:
    return {"segments": [segment.scene_segment(segment.sources, fs) for segment in segments]}


_scratch = threading.local()


def _scratch_buffer(count: int) -> np.ndarray:
    buffer = getattr(_scratch, "samples", None)
    if buffer is None or buffer.size < count:
        buffer = _scratch.samples = np.empty(max(count, 4096), np.complex64)
    return buffer[:count]


def compose_into(text: str, out: np.ndarray) -> None:
    """Composes scene text into out (complex64, contiguous), which it fills exactly."""
    lib = kettara_lib()
    handle = lib.wfm_compose_from_json(text.encode())
    if not handle:
        raise diagnose(text, "the drawn scene")
    try:
        written = lib.wfm_compose_execute(handle, out.ctypes.data, out.size)
    finally:
        lib.wfm_compose_destroy(handle)
    if written != out.size:
        raise SceneError(f"the drawn scene gave {written} samples, not {out.size}")


def render(example: Example, length: int, fs: float, out: np.ndarray | None = None) -> tuple[np.ndarray, list[float]]:
    """The example's samples (into out when given) and each burst's mean power."""
    samples = np.empty(length, np.complex64) if out is None else out
    energy = [0.0] * len(example.bursts)
    for segment in example.segments:
        span = segment.delay + segment.count + segment.off
        target = samples[segment.start:segment.start + span]
        for j, (source, owner) in enumerate(zip(segment.sources, segment.owners)):
            part = target if j == 0 else _scratch_buffer(span)
            compose_into(json.dumps({"segments": [segment.scene_segment([source], fs)]}), part)
            if owner is not None:
                on = part[segment.delay:segment.delay + segment.count]
                energy[owner] += float(np.vdot(on, on).real)
            if j:
                target += part
    return samples, [e / b.count if b.count else 0.0 for e, b in zip(energy, example.bursts)]


def labels(example: Example, powers: list[float], fs: float) -> dict[str, Any]:
    """The example's labels: its first burst's at the top (the class of a classification
    example), every burst's under "bursts"."""
    noise_power = _gain(example.noise_level) ** 2 if example.noise_level is not None else 0.0
    bursts = []
    for burst, power in zip(example.bursts, powers):
        measured = None
        if burst.snr is not None and example.noise_level is not None and noise_power > 0:
            # the burst's level stands its per-sample SNR above the floor; the stated SNR is
            # that plus what its snr_mode refers it to
            measured = db(power / noise_power) + burst.snr - (burst.level - example.noise_level)
        bursts.append(burst_labels(burst, fs, measured))
    top = dict(bursts[0]) if bursts else {}
    return {"example": example.index, **top, "noise_level": example.noise_level, "n_bursts": len(bursts),
            "bursts": bursts}


def _gain(level: float) -> float:
    """The gain the scene library applies for a level: computed in double, kept as a float."""
    return float(np.float32(math.exp(2.302585092994046 * (level * 0.05))))
