"""Scenes through the scene library's C interface: loading, composing, writing scene text,
framing checks, why a scene is refused, and where every instance falls."""

import ctypes
import json
import os

import numpy as np

from ._native import (
    RANGE_DELAY_SAMPLES,
    RANGE_NUM_SAMPLES,
    RANGE_OFF_SAMPLES,
    ComposeSpan,
    SegmentSpec,
    SourceSpec,
    kettara_lib,
    names,
    take_text,
)
from .errors import FramingError, ImpairmentError, SceneError, UsageError

TYPE_NAMES = names("TYPE_NAMES")
SYMBOL_TYPES = ("pn", "bpsk", "qpsk", "bits", "symbols", "dsss", "8psk", "16psk", "32psk", "64psk", "16qam", "64qam",
                "256qam", "1024qam", "oqpsk", "pi4qpsk", "ook", "4ask", "8ask", "32qam", "128qam", "16apsk",
                "32apsk")
MODE_NAMES = names("MODE_NAMES")
MODULATIONS = names("BITMOD_NAMES")
RANDOMISE_NAMES = ("off", "ccsds", "legacy")  # the library has no table of these
CRC_NAMES = names("CRC_NAMES")
TIMING_RANGES = RANGE_NUM_SAMPLES | RANGE_OFF_SAMPLES | RANGE_DELAY_SAMPLES
MAX_LISTED_INSTANCES = 1 << 20


def scene_text(scene) -> str:
    """Scene JSON given as text, as a parsed object, or as the name of a file holding it."""
    if isinstance(scene, dict):
        return json.dumps(scene)
    if isinstance(scene, str) and scene.lstrip().startswith("{"):
        return scene
    try:
        path = os.fspath(scene)
    except TypeError:
        raise TypeError(f"scene must be scene JSON text, a parsed scene or a file name, not {scene!r}") from None
    try:
        with open(path, encoding="utf-8") as file:
            return file.read()
    except (OSError, UnicodeDecodeError) as error:
        raise SceneError(f"{scene}: cannot read the scene ({error})") from None


def template_json() -> str:
    """The example scene."""
    lib = kettara_lib()
    return take_text(lib.wfm_spec_template_json(), lib.cJSON_free)


def _number(obj: dict, key: str, default: float) -> float:
    """A scene number (the lower bound of a [lo, hi] range); anything else gives default."""
    value = obj.get(key)
    if isinstance(value, list) and len(value) == 2 and all(_is_number(v) for v in value):
        value = value[0]
    return float(value) if _is_number(value) else default


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def frame_error(text: str) -> str | None:
    """The library's message for the first source of the scene text whose framing it refuses."""
    message = kettara_lib().wfm_spec_frame_error(text.encode())
    return message.decode() if message else None


def impairment_refusal(text: str) -> str | None:
    """The library's reason for refusing a "channel" or "frontend" value of the scene text."""
    lib = kettara_lib()
    data = text.encode()
    size = lib.kettara_refusal(data, None, 0)
    if size == 0:
        return None
    buffer = ctypes.create_string_buffer(size + 1)
    lib.kettara_refusal(data, buffer, size + 1)
    reason = buffer.value.decode()
    return reason if '"channel"' in reason or '"frontend"' in reason else None


def one_source_scene_json(source: dict, fs: float, num_samples: int, off_samples: int = 0,
                          delay_samples: int = 0, repeats: int = 1) -> str:
    """Scene text of one segment playing one source; FramingError when its framing is refused."""
    segment = {**source, "fs": fs, "num_samples": num_samples, "off_samples": off_samples,
               "delay_samples": delay_samples, "repeats": repeats}
    try:
        text = json.dumps({"segments": [segment]}, allow_nan=False)
    except ValueError:
        raise UsageError("options take finite numbers (not inf or nan)") from None
    message = frame_error(text)
    if message:
        raise FramingError(message)
    reason = impairment_refusal(text)
    if reason:
        raise ImpairmentError(reason)
    lib = kettara_lib()
    normalised = take_text(lib.wfm_spec_normalise(text.encode()), lib.cJSON_free)
    if normalised is None:
        raise UsageError("the options do not make a scene")
    return normalised


def scene_sources(scene) -> list[list[dict]]:
    """The source objects of each segment of parsed scene JSON (empty lists where unusable)."""
    segments = scene.get("segments") if isinstance(scene, dict) else None
    if not isinstance(segments, list):
        return []
    result = []
    for segment in segments:
        if not isinstance(segment, dict):
            result.append([])
        elif isinstance(segment.get("sum"), list):
            result.append([s if isinstance(s, dict) else {} for s in segment["sum"]])
        else:
            result.append([segment])
    return result


def diagnose(text: str, name: str) -> SceneError:
    """Why the scene library refused a scene, as precisely as can be told."""
    try:
        scene = json.loads(text)
    except json.JSONDecodeError as error:
        return SceneError(f"{name}: not a scene: invalid JSON ({error.msg} at line {error.lineno}, "
                          f"column {error.colno})")
    message = frame_error(text)
    if message:
        return FramingError(message)
    if not isinstance(scene, dict) or not isinstance(scene.get("segments"), list) or not scene["segments"]:
        return SceneError(f"{name}: not a scene: it needs a non-empty \"segments\" array")
    for index, sources in enumerate(scene_sources(scene)):
        segment = scene["segments"][index]
        if not isinstance(segment, dict):
            return SceneError(f"{name}: segment {index + 1} is not an object")
        if "sum" in segment and "type" in segment:
            return SceneError(f"{name}: segment {index + 1} has both \"sum\" and \"type\"")
        if not sources:
            return SceneError(f"{name}: segment {index + 1} has an empty \"sum\"")
        for source in sources:
            if source.get("type") not in TYPE_NAMES:
                return SceneError(f"{name}: segment {index + 1}: a source needs \"type\", one of "
                                  + ", ".join(TYPE_NAMES))
    reason = impairment_refusal(text)
    if reason:
        return ImpairmentError(f"{name}: {reason}")
    return SceneError(f"{name}: the scene cannot be composed (in a sum, only the first source "
                      "with an snr may have a level other than 0)")


def plan_refusal(error: RuntimeError, name: str) -> SceneError:
    """Why kettara.Plan refused the scene: the reason the library attached to the error."""
    return SceneError(f"{name}: the scene cannot have a render plan: {refusal_reason(error)}")


def refusal_reason(error: RuntimeError) -> str:
    """The reason the library attached to a refused kettara.Plan."""
    return "; ".join(getattr(error, "__notes__", ())) or "the plan could not be built"


class _NativeHandle:
    """A handle of the scene library, released by close, on leaving a with-block or when collected."""

    _handle = None

    def _destroy(self, handle) -> None:
        raise NotImplementedError

    def close(self) -> None:
        if self._handle:
            self._destroy(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()


class PlanStream(_NativeHandle):
    """The render of scene text through a plan with overrides, as Plan.render gives it, read
    block by block: the plan's sources are synthesised as the render reaches them, so memory
    does not grow with the scene's length."""

    def __init__(self, text: str, overrides: str):
        self._lib = kettara_lib()
        self._handle = self._lib.kettara_stream_create(text.encode(), overrides.encode())
        if not self._handle:
            raise SceneError(f"overrides need a render plan, and the scene cannot have one: {stream_refusal(text)}")

    def length(self) -> int:
        """The render's length with every ranged gap at its upper bound."""
        return self._lib.kettara_stream_len(self._handle)

    def n_sources(self) -> int:
        """The plan's cached sources: the length of the override arrays."""
        return self._lib.kettara_stream_n_sources(self._handle)

    def read(self, out: np.ndarray) -> int:
        """Fills out (complex64) with the next samples; fewer only at the end of the render."""
        produced = self._lib.kettara_stream_read(self._handle, out.ctypes.data, out.size)
        if produced < out.size and self._lib.kettara_stream_failed(self._handle):
            raise MemoryError("the render ran out of memory for a source's synthesiser")
        return produced

    def _destroy(self, handle) -> None:
        self._lib.kettara_stream_destroy(handle)


def stream_refusal(text: str) -> str:
    """Why a streaming plan refuses the scene text."""
    lib = kettara_lib()
    data = text.encode()
    size = lib.kettara_stream_refusal(data, None, 0)
    if size == 0:
        return "the plan could not be built"
    out = ctypes.create_string_buffer(size + 1)
    lib.kettara_stream_refusal(data, out, size + 1)
    return out.value.decode()


class Composer(_NativeHandle):
    """A streaming composition of scene text."""

    def __init__(self, text: str, name: str = "scene"):
        self.text = text
        self._lib = kettara_lib()
        self._handle = self._lib.wfm_compose_from_json(text.encode())
        if not self._handle:
            raise diagnose(text, name)
        count = ctypes.c_uint64()
        repeat, continuous = ctypes.c_int32(), ctypes.c_int32()
        self._segments = self._lib.wfm_compose_segments(self._handle, ctypes.byref(count), ctypes.byref(repeat),
                                                        ctypes.byref(continuous))
        self.n_segments = count.value
        self.repeats_forever = bool(repeat.value or continuous.value)
        self.seed_advance = self._lib.wfm_compose_seed_advance(self._handle)  # 0 none, 1 noise, 2 all

    def segments(self) -> list[SegmentSpec]:
        """The segments as played (frame lengths applied, noise floors resolved)."""
        return [self._segments[i] for i in range(self.n_segments)]

    def read(self, out: np.ndarray) -> int:
        """Fills out (complex64) with the next samples; fewer only at the end of the scene."""
        return self._lib.wfm_compose_execute(self._handle, out.ctypes.data, out.size)

    def instances(self) -> int:
        """Instances of all segments in one pass."""
        return self._lib.wfm_compose_spans(self._segments, self.n_segments, None, 0)

    def spans(self, limit: int | None = None) -> list[ComposeSpan]:
        """Where each instance of each segment falls in the first pass (the first limit ones)."""
        count = self.instances() if limit is None else min(self.instances(), limit)
        spans = (ComposeSpan * count)()
        self._lib.wfm_compose_spans(self._segments, self.n_segments, spans, count)
        return list(spans)

    def pass_length(self) -> int | None:
        """Samples in one pass of the scene; None when that would take listing more drawn
        instance lengths than is reasonable."""
        segments = self.segments()
        if not any(segment.range_flags & TIMING_RANGES for segment in segments):
            return sum(max(s.repeats, 1) * (s.delay_samples + s.num_samples + s.off_samples) for s in segments)
        if self.instances() > MAX_LISTED_INSTANCES:
            return None
        return sum(span.delay + span.num + span.off for span in self.spans())

    def sample_rate(self) -> float:
        """The scene's sample rate, or 0 when its segments disagree."""
        rates = {segment.fs for segment in self.segments()}
        return rates.pop() if len(rates) == 1 else 0.0

    def annotated_segments(self) -> tuple[ctypes.Array, list]:
        """The segments as the scene states them, for capture annotations: the sources the
        scene names (not the shared noise floor added for a sum) with their own SNRs.
        Returns the array and the records it points into (keep them alive together)."""
        try:
            stated = scene_sources(json.loads(self.text))
        except ValueError:  # text the scene library reads but Python's JSON does not
            stated = []
        stated += [[]] * (self.n_segments - len(stated))
        segments = (SegmentSpec * self.n_segments)()
        keep = []
        for index, played in enumerate(self.segments()):
            count = min(len(stated[index]), played.n_sources) if stated[index] else played.n_sources
            sources = (SourceSpec * max(count, 1))()
            for k in range(count):
                sources[k] = SourceSpec.from_buffer_copy(played.sources[k])
                if stated[index]:
                    sources[k].snr = _number(stated[index][k], "snr", 100.0)
            segments[index] = SegmentSpec.from_buffer_copy(played)
            segments[index].sources = sources
            segments[index].n_sources = count
            keep.append(sources)
        return segments, keep

    def _destroy(self, handle) -> None:
        self._lib.wfm_compose_destroy(handle)
