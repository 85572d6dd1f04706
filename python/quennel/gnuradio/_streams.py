"""What scene_source streams, without GNU Radio: a scene's samples and its bursts.

A burst is (stream offset, annotation): the SigMF annotation the capture library writes
for one source of one segment instance, without "core:sample_start" (the offset says it).
"""

import json
import math

import numpy as np

import kettara

from ..capture import sigmf_meta_text
from ..errors import SceneError, UsageError
from ..scene import TIMING_RANGES, TYPE_NAMES, Composer, scene_text
from ..schema import check_scene

NOISE = TYPE_NAMES.index("noise")

_SAMPLE_START = "core:sample_start"


def _overrides(snr, seed) -> dict:
    """The render overrides given; refused when a plan would not take them as meant."""
    overrides = {}
    if snr is not None:
        if isinstance(snr, bool) or not isinstance(snr, (int, float)) or not math.isfinite(snr):
            raise UsageError(f"snr must be a finite number of dB, not {snr!r}")
        overrides["snr"] = float(snr)
    if seed is not None:
        if isinstance(seed, bool) or not isinstance(seed, int):
            raise UsageError(f"seed must be an integer, not {seed!r}")
        overrides["seed"] = seed & 0xFFFFFFFF  # a plan uses the low 32 bits
    return overrides


def scene_bursts(composer: Composer, seed: int | None = None, snr: float | None = None) -> list[tuple[int, dict]]:
    """The bursts of the first pass of a scene, in stream order, as a plan renders them with
    these overrides. With a seed, the ranged gaps are drawn with it and the first source of
    every segment is annotated with it. An SNR is the SNR of every segment's lone noisy
    source (in a sum it moves the shared noise floor; the sum's sources keep their stated SNRs)."""
    segments, _records = composer.annotated_segments()  # the segments point into _records
    for index in range(composer.n_segments):
        sources = segments[index].sources
        if seed is not None and segments[index].n_sources:
            sources[0].seed = seed & 0xFFFFFFFF
        if snr is not None and segments[index].n_sources == 1 and sources[0].type != NOISE and sources[0].snr < 100:
            sources[0].snr = snr
    text = sigmf_meta_text("cf32", "le", segments, composer.n_segments)
    if text is None:
        raise MemoryError("cannot build the scene's annotations")
    return [(int(a.pop(_SAMPLE_START)), a) for a in json.loads(text)["annotations"]]


def _one_pass(text: str) -> str:
    """The scene text without its repetition: one pass of a repeating scene."""
    try:
        scene = json.loads(text)
    except ValueError as error:
        raise SceneError(f"the scene is not JSON: {error}") from None
    scene.pop("repeat", None)
    scene.pop("continuous", None)
    return json.dumps(scene)


class SceneStream:
    """A scene's samples, pulled in blocks, endless when the scene repeats.

    Without overrides the scene library's composer streams it (any scene, its own seed
    advance over passes). With an SNR or seed override, a render plan renders one pass at
    a time with those overrides; passes of a repeating scene whose seed advances use the
    seed plus the pass number (the plan's anchor seed when no seed is given).
    """

    def __init__(self, scene, snr: float | None = None, seed: int | None = None, strict: bool = False):
        overrides = _overrides(snr, seed)
        text = scene_text(scene)
        composer = Composer(text)
        check_scene(text, "scene_source", strict)
        self.repeats = composer.repeats_forever
        self._seed_advance = composer.seed_advance
        self._overrides = overrides
        self._ranged_timing = any(s.range_flags & TIMING_RANGES for s in composer.segments())
        self._composer = composer
        self._position = 0  # samples handed out
        self._pass = 0  # passes started
        self._pending: list[tuple[int, dict]] = []  # bursts not yet handed out, in stream order
        if self._overrides:
            self._plan = kettara.Plan(_one_pass(text) if self.repeats else text)
            self._samples = np.empty(0, np.complex64)  # the pass being handed out
            self._used = 0
        else:
            self._plan = None
            self._pass_length = composer.pass_length() if self.repeats and not self._ranged_timing else None
            self._first_pass = scene_bursts(composer)
            self._queue_pass(0)

    def read(self, out: np.ndarray) -> int:
        """Fills the start of out (complex64) with the next samples; 0 once the scene ended."""
        if self._plan is None:
            produced = self._composer.read(out)
            self._position += produced
            while self._pass_length and self._pass * self._pass_length < self._position:
                self._queue_pass(self._pass * self._pass_length)
            return produced
        if self._used == self._samples.size and not self._render_next_pass():
            return 0
        produced = min(out.size, self._samples.size - self._used)
        out[:produced] = self._samples[self._used:self._used + produced]
        self._used += produced
        self._position += produced
        return produced

    def retune(self, **change) -> None:
        """Replaces the "snr" or "seed" override from the next pass on; refused (UsageError)
        for a scene streamed by the composer, which has no passes to change."""
        if self._plan is None:
            raise UsageError("snr and seed change while running only for a scene_source made with an snr or seed")
        overrides = _overrides(change.get("snr", self._overrides.get("snr")),
                               change.get("seed", self._overrides.get("seed")))
        self._overrides = overrides

    def bursts_before(self, stop: int) -> list[tuple[int, dict]]:
        """The bursts starting before stream offset stop not yet handed out."""
        count = 0
        while count < len(self._pending) and self._pending[count][0] < stop:
            count += 1
        due, self._pending = self._pending[:count], self._pending[count:]
        return due

    def _queue_pass(self, start: int) -> None:
        """Queues the bursts of the composer's next pass, starting at stream offset start.
        Passes after the first are tagged only when every pass has the same timing."""
        if self._pass == 0 or self._pass_length:
            self._pending += [(start + offset, dict(annotation)) for offset, annotation in self._first_pass]
        self._pass += 1

    def _render_next_pass(self) -> bool:
        """Renders the plan's next pass; False when the scene has ended."""
        if self._pass > 0 and not self.repeats:
            return False
        overrides = dict(self._overrides)
        if self._pass > 0 and self._seed_advance:
            overrides["seed"] = (overrides.get("seed", self._plan.anchor_seed()) + self._pass) & 0xFFFFFFFF
        samples = self._plan.render(json.dumps(overrides))
        if samples.size == 0:  # a pass of nothing would never end
            return False
        self._pending += [(self._position + offset, annotation)
                          for offset, annotation in scene_bursts(self._composer, overrides.get("seed"),
                                                                 overrides.get("snr"))]
        self._samples, self._used = samples, 0
        self._pass += 1
        return True

    def close(self) -> None:
        self._composer.close()
        if self._plan is not None:
            self._plan.close()
