"""Scenes through the scene library's C interface: composing, writing scene text, framing
checks, and where every instance falls."""

import ctypes
import json
import math

import numpy as np

from .._native import ComposeSpan, SegmentSpec, SourceSpec, kettara_lib, take_text
from ._common import CliError, FramingError

TYPE_NAMES = ("tone", "noise", "pn", "bpsk", "qpsk", "chirp", "bits", "symbols", "dsss")
SYMBOL_TYPES = ("pn", "bpsk", "qpsk", "bits", "symbols", "dsss")
MODE_NAMES = ("auto", "fs", "ebno", "esno")
MODULATIONS = ("none", "bpsk", "qpsk")
RANDOMISE_NAMES = ("off", "ccsds", "legacy")
CRC_NAMES = ("none", "crc16")
TIMING_RANGES = 0x10 | 0x20 | 0x40  # ranged num_samples, off_samples, delay_samples
MAX_LISTED_INSTANCES = 1 << 20


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


def _integer(obj: dict, key: str, default: int) -> int:
    """A scene count or code, truncated; values no integer can hold give 0."""
    value = _number(obj, key, default)
    return int(value) if math.isfinite(value) else 0


def _int32(obj: dict, key: str, default: int) -> int:
    """A 32-bit scene field: truncated and clamped to the 32-bit range."""
    return max(min(_integer(obj, key, default), 2**31 - 1), -(2**31))


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _bit_array(text) -> tuple[ctypes.Array | None, int]:
    if not isinstance(text, str):
        return None, 0
    bits = bytes(1 if c == "1" else 0 for c in text if c in "01")
    return (ctypes.c_uint8 * max(len(bits), 1)).from_buffer_copy(bits or b"\0"), len(bits)


class SourceRecord:
    """A SourceSpec built from the keys of one scene source object, keeping its bit arrays
    alive. It serves the framing check and scene writing; the sample path always goes
    through the library's own parser."""

    def __init__(self, obj: dict):
        kind = obj.get("type")
        spec = SourceSpec(type=TYPE_NAMES.index(kind) if kind in TYPE_NAMES else 0)
        spec.freq = _number(obj, "freq", 0.0)
        spec.f_end = _number(obj, "f_end", 0.0)
        spec.snr = _number(obj, "snr", 100.0)
        spec.level = _number(obj, "level", 0.0)
        spec.snr_mode = MODE_NAMES.index(obj["snr_mode"]) if obj.get("snr_mode") in MODE_NAMES else 0
        spec.seed = _integer(obj, "seed", 1) & 0xFFFFFFFF
        spec.sps = _int32(obj, "sps", 8)
        spec.pn_length = _int32(obj, "pn_length", 7)
        spec.pn_poly = _integer(obj, "pn_poly", 0)
        spec.lfsr = 1 if obj.get("lfsr") == "fibonacci" else 0
        spec.background = 1 if obj.get("background") is True else 0
        if kind == "bits":
            modulation = obj.get("modulation", "bpsk")
            spec.modulation = MODULATIONS.index(modulation) if modulation in MODULATIONS else 1
        self._keep = []
        payload = obj.get("payload", obj.get("pattern")) if kind == "dsss" else obj.get("pattern")
        if kind in ("bits", "dsss"):
            self._bits(spec, "pattern", payload)
        self._bits(spec, "acq_code", obj.get("acq_code"))
        self._bits(spec, "sync", obj.get("sync"))
        spec.acq_reps = max(_integer(obj, "acq_reps", 1), 0)
        spec.crc = 0 if obj.get("crc") == "none" else 1
        spec.rs_depth = _int32(obj, "rs_depth", 0)
        randomise = obj.get("randomise")
        spec.randomise = (RANDOMISE_NAMES.index(randomise) if randomise in RANDOMISE_NAMES else 0) \
            if isinstance(randomise, str) else int(randomise is True)
        spec.asm_ = 1 if obj.get("asm") is True else 0
        spec.conv = 1 if obj.get("conv") is True else 0
        if kind == "dsss":
            self._bits(spec, "data_code", obj.get("data_code"))
            spec.symbol_rate = _number(obj, "symbol_rate", 0.0)
            spec.data_none = 1 if obj.get("data") == "none" else 0
        if kind == "symbols":
            self._symbols(spec, obj.get("symbols"))
        if obj.get("pulse") == "rrc":
            spec.pulse_rrc = 1
            spec.rrc_beta = _number(obj, "rrc_beta", 0.35)
            spec.rrc_span = _int32(obj, "rrc_span", 8)
        self.spec = spec

    def _bits(self, spec: SourceSpec, field: str, text) -> None:
        array, length = _bit_array(text)
        if array is None:
            return
        self._keep.append(array)
        setattr(spec, field, ctypes.cast(array, type(getattr(spec, field))))
        setattr(spec, field + "_len", length)

    def _symbols(self, spec: SourceSpec, values) -> None:
        if not isinstance(values, list) or len(values) < 2:
            return
        floats = [float(v) if _is_number(v) else 0.0 for v in values[: len(values) // 2 * 2]]
        array = (ctypes.c_float * len(floats))(*floats)
        self._keep.append(array)
        spec.symbols = ctypes.cast(array, ctypes.POINTER(ctypes.c_float))
        spec.n_symbols = len(floats) // 2

    def frame_error(self) -> str | None:
        """The library's message when the framing options are refused, else None."""
        message = kettara_lib().wfm_source_frame_error(ctypes.byref(self.spec))
        return message.decode() if message else None


def one_source_scene_json(source: dict, fs: float, num_samples: int, off_samples: int = 0,
                          delay_samples: int = 0, repeats: int = 1) -> str:
    """Scene text of one segment playing one source; FramingError when its framing is refused."""
    record = SourceRecord(source)
    message = record.frame_error()
    if message:
        raise FramingError(message)
    segment = SegmentSpec(sources=ctypes.pointer(record.spec), n_sources=1, fs=fs, num_samples=num_samples,
                          off_samples=off_samples, delay_samples=delay_samples, repeats=repeats)
    lib = kettara_lib()
    return take_text(lib.wfm_spec_to_json(ctypes.byref(segment), 1, 0, 0, 0, 0.0), lib.cJSON_free)


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


def diagnose(text: str, name: str) -> CliError:
    """Why the scene library refused a scene, as precisely as can be told."""
    try:
        scene = json.loads(text)
    except json.JSONDecodeError as error:
        return CliError(f"{name}: not a scene: invalid JSON ({error.msg} at line {error.lineno}, "
                        f"column {error.colno})")
    if not isinstance(scene, dict) or not isinstance(scene.get("segments"), list) or not scene["segments"]:
        return CliError(f"{name}: not a scene: it needs a non-empty \"segments\" array")
    for index, sources in enumerate(scene_sources(scene)):
        segment = scene["segments"][index]
        if not isinstance(segment, dict):
            return CliError(f"{name}: segment {index + 1} is not an object")
        if "sum" in segment and "type" in segment:
            return CliError(f"{name}: segment {index + 1} has both \"sum\" and \"type\"")
        if not sources:
            return CliError(f"{name}: segment {index + 1} has an empty \"sum\"")
        for source in sources:
            if source.get("type") not in TYPE_NAMES:
                return CliError(f"{name}: segment {index + 1}: a source needs \"type\", one of "
                                + ", ".join(TYPE_NAMES))
            message = SourceRecord(source).frame_error()
            if message:
                return FramingError(message)
    return CliError(f"{name}: the scene cannot be composed (in a sum, only the first source "
                    "with an snr may have a level other than 0)")


class Composer:
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

    def close(self) -> None:
        if self._handle:
            self._lib.wfm_compose_destroy(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()
