"""The GNU Radio blocks, on GNU Radio's own Python block API.

Everything that can fail on bad input happens in the constructors, which raise; work()
never raises into the scheduler: a failure there is logged and ends the stream.
"""

import json
import math

import numpy as np
import pmt
from gnuradio import gr

import tolvane

from ..capture import (
    ENDIANS,
    WRITTEN_SAMPLE_TYPES,
    Writer,
    capture_data_path,
    output_capture,
    sigmf_meta_path,
    write_sigmf_meta,
)
from ..errors import QuennelError, UsageError
from ._streams import SceneStream

ANNOTATION = "annotation"  # tag key of one burst: its SigMF annotation as a dictionary
_SAMPLE_START = "core:sample_start"
_SAMPLE_COUNT = "core:sample_count"
_EDGES = ("core:freq_lower_edge", "core:freq_upper_edge")
WORK_DONE = -1  # the end of a stream (the Python gateway takes a plain int, not gr.WORK_DONE)
FOLLOW_POLL_MS = 100  # the longest a follow-mode work call waits, so that a stop is seen soon

# A flowgraph does not own its Python blocks: one made inline, tb.connect(src, capture_sink(path)),
# would be collected while the scheduler still calls into it. Every block stays here from its
# construction until its flowgraph stops it.
_alive: dict[int, object] = {}


def _keep(block) -> None:
    _alive[id(block)] = block


def _release(block) -> None:
    _alive.pop(id(block), None)


def _annotation_tag(annotation: dict):
    """An annotation as a PMT dictionary; members PMT cannot hold are left out."""
    value = pmt.make_dict()
    for key, member in reversed(annotation.items()):  # a PMT dictionary lists the latest first
        try:
            value = pmt.dict_add(value, pmt.intern(key), pmt.to_pmt(member))
        except (TypeError, ValueError, OverflowError):
            continue
    return value


def _check_choice(name: str, value: str, choices) -> None:
    if value not in choices:
        raise UsageError(f"{name} must be one of {', '.join(choices)}, not {value!r}")


class scene_source(gr.sync_block):
    """Quennel Scene Source: streams a scene's samples.

    Args:
        scene: scene JSON text, or the name of a file holding it
        snr: SNR override in dB, as a render plan takes it (None: the scene's own)
        seed: noise seed override (None: the scene's own seeds)

    Output: gr_complex samples, bit for bit what a render plan of the scene renders with
    the same overrides; a scene that repeats streams for ever, any other ends with it.

    Tags: at the first sample of every burst (one source of one segment instance), the
    key "annotation" with the burst's SigMF annotation as a dictionary: "core:label"
    (source type), "core:sample_count", "core:freq_lower_edge", "core:freq_upper_edge"
    (cycles per sample times the scene's rate) and the generator's "sondrel:" values
    (snr, snr_mode, sps, seed, pn_length, pn_poly). An SNR override is the snr of a
    segment's lone noisy source; in a sum it moves the shared noise floor and the sources
    keep the SNRs the scene states. Passes after the first of a repeating scene whose gap
    lengths are drawn are tagged only with overrides (the plan then draws every pass alike).

    A scene that does not parse, or that the render plan refuses when overrides are
    given, raises ValueError or RuntimeError with the scene library's message. The problems
    quennel check finds in a scene (a misspelt key, a value of the wrong type, an unknown
    name) are logged as warnings, or raise ValueError with strict.
    """

    def __init__(self, scene, snr=None, seed=None, strict=False):
        self._stream = SceneStream(scene, snr, seed, strict)
        gr.sync_block.__init__(self, name="quennel_scene_source", in_sig=None, out_sig=[np.complex64])
        self._srcid = pmt.intern("quennel_scene_source")
        _keep(self)

    def set_snr(self, snr):
        """Changes the SNR override from the next pass of the scene (see set_seed)."""
        self._retune(snr=snr)

    def set_seed(self, seed):
        """Changes the seed override from the next pass of the scene. Only a scene_source
        made with an snr or seed renders pass by pass and can be retuned; for any other
        the change is refused with a logged error, as is a value that is not a number."""
        self._retune(seed=seed)

    def _retune(self, **change):
        try:
            self._stream.retune(**change)
        except QuennelError as error:
            gr.logger("quennel_scene_source").error(str(error))

    def stop(self):
        _release(self)
        return True

    def work(self, input_items, output_items):
        try:
            produced = self._stream.read(output_items[0])
        except Exception as error:  # pylint: disable=broad-except
            gr.logger("quennel_scene_source").error(f"stopped: {error}")
            return WORK_DONE
        if produced == 0:
            return WORK_DONE
        for offset, annotation in self._stream.bursts_before(self.nitems_written(0) + produced):
            self.add_item_tag(0, offset, pmt.intern(ANNOTATION), _annotation_tag(annotation), self._srcid)
        return produced


def _capture_tags(reader, path: str) -> list[tuple[int, str, object]]:
    """(offset, key, PMT value) of what a capture declares, in offset order: sample rate,
    centre frequency and start time at the first sample, then the SigMF annotations."""
    tags = []
    if reader.fs_source != "none":
        tags.append((0, "rx_rate", pmt.from_double(reader.fs)))
    if reader.fc_source != "none":
        tags.append((0, "rx_freq", pmt.from_double(reader.fc)))
    for segment in reader.captures[1:]:  # each retune, where its segment starts
        if segment["frequency"] is not None:
            tags.append((segment["sample_start"], "rx_freq", pmt.from_double(segment["frequency"])))
    if reader.t0_source != "none":
        whole = math.floor(reader.t0)
        tags.append((0, "rx_time", pmt.make_tuple(pmt.from_uint64(int(whole)), pmt.from_double(reader.t0 - whole))))
    if reader.file_type == "sigmf":
        for annotation in _sigmf_annotations(path):
            start = annotation.pop(_SAMPLE_START)
            tags.append((start, ANNOTATION, _annotation_tag(annotation)))
    return sorted(tags, key=lambda tag: tag[0])


def _sigmf_annotations(data_path: str) -> list[dict]:
    """The annotations of a SigMF capture's sidecar that say where they start."""
    try:
        with open(sigmf_meta_path(data_path), encoding="utf-8") as file:
            annotations = json.load(file).get("annotations")
    except (OSError, ValueError, AttributeError):
        return []
    if not isinstance(annotations, list):
        return []
    return [a for a in annotations
            if isinstance(a, dict) and type(a.get(_SAMPLE_START)) is int and a[_SAMPLE_START] >= 0]


class capture_source(gr.sync_block):
    """Quennel Capture Source: reads a capture as gr_complex samples at unit scale.

    Args:
        path: the capture; raw, CSV, BLUE or SigMF, told apart by content (NAME.sigmf-meta
            and NAME.sigmf name the SigMF data file)
        follow: follow a capture that is still being written: wait for more samples and
            end when its writer closes it (a BLUE capture's end marker; raw and SigMF
            captures carry none and are followed until the flowgraph stops)
        sample_type: wire sample type of a headerless capture (cf32, cf64, ci32, ci16, ci8)
        endian: byte order of a headerless capture (le, be)

    Tags at the first sample: "rx_rate" (Hz), "rx_freq" (Hz) and "rx_time" ((whole
    seconds, fraction), UNIX time), each when the capture declares it; for SigMF, "rx_freq"
    again at each retune (a later captures segment with its own frequency), and the key
    "annotation" with each annotation (a dictionary) at its first sample.

    A capture that cannot be opened, or an unknown sample type or byte order, raises
    ValueError or OSError with the capture library's message.
    """

    def __init__(self, path, follow=False, sample_type="cf32", endian="le"):
        path = capture_data_path(str(path))
        self._reader = tolvane.Reader(path, sample_type=sample_type, endian=endian)
        self._follow = bool(follow)
        if self._follow:  # bounded waits, also once the process's interrupt flag is raised
            self._reader.follow_timeout_ms = FOLLOW_POLL_MS
            self._reader.follow_grace_ms = FOLLOW_POLL_MS
        self._tags = _capture_tags(self._reader, path)
        gr.sync_block.__init__(self, name="quennel_capture_source", in_sig=None, out_sig=[np.complex64])
        self._srcid = pmt.intern("quennel_capture_source")
        _keep(self)

    def work(self, input_items, output_items):
        out = output_items[0]
        try:
            produced = self._read(out)
        except Exception as error:  # pylint: disable=broad-except
            gr.logger("quennel_capture_source").error(f"stopped: {error}")
            return WORK_DONE
        if produced is None:
            return WORK_DONE
        self._add_tags(self.nitems_written(0) + produced)
        return produced

    def _read(self, out: np.ndarray) -> int | None:
        """Samples read into out; None at the end of the capture. While following, an empty
        poll returns 0 so that the scheduler can stop the block between polls."""
        if not self._follow:
            produced = len(self._reader.read(len(out), out=out))
            return produced or None
        produced = len(self._reader.read_follow(len(out), out=out))
        if produced == 0 and self._reader.ending != "timeout":
            return None  # "eof" from the writer, or "interrupted" by the process's interrupt flag
        return produced

    def _add_tags(self, stop: int) -> None:
        count = 0
        while count < len(self._tags) and self._tags[count][0] < stop:
            offset, key, value = self._tags[count]
            self.add_item_tag(0, offset, pmt.intern(key), value, self._srcid)
            count += 1
        del self._tags[:count]

    def stop(self):
        self._reader.close()
        _release(self)
        return True


def _within(annotations: list[dict], written: int) -> list[dict]:
    """The annotations of the samples written, in sample order: those that start before the
    end, their counts clipped to it (a block upstream may have ended the stream mid-burst)."""
    kept = []
    for annotation in sorted(annotations, key=lambda a: a[_SAMPLE_START]):
        start, count = annotation[_SAMPLE_START], annotation.get(_SAMPLE_COUNT)
        if start >= written:
            break
        if isinstance(count, int) and not isinstance(count, bool) and start + count > written:
            annotation = {**annotation, _SAMPLE_COUNT: written - start}
        kept.append(annotation)
    return kept


class capture_sink(gr.sync_block):
    """Quennel Capture Sink: writes a gr_complex stream as a capture.

    Args:
        path: the capture to write; the format follows from the name (.sigmf-data,
            .blue, .csv, .iq/.raw/.bin ...) unless given
        sample_type: wire sample type (cf32, cf64, ci32, ci16, ci8); integer types are
            scaled so that 1.0 is full scale, and clip beyond it
        samp_rate: sample rate to declare, Hz (0: none)
        center_freq: centre frequency to declare, Hz (0: none)
        format: raw, csv, blue or sigmf (None: from the name)
        endian: byte order of binary samples (le, be)
        start_time: start time to declare, UNIX seconds (0: none)

    The capture is written under its name as the samples arrive (so that capture_source
    and quennel follow can read it while it is written) and finished when the flowgraph
    stops: a BLUE capture gets its end marker
    (so followers end), a SigMF capture its metadata; every "annotation" tag received (as
    scene_source sends them) becomes a SigMF annotation at its sample, its frequency edges
    moved from baseband by center_freq; annotations describe only the samples written (a
    burst cut short by the end of the stream is annotated up to that end).

    An unknown format, sample type or byte order, or a capture that cannot be created,
    raises ValueError or OSError.
    """

    def __init__(self, path, sample_type="cf32", samp_rate=0.0, center_freq=0.0, format=None,  # noqa: A002
                 endian="le", start_time=0.0):
        _check_choice("sample_type", sample_type, WRITTEN_SAMPLE_TYPES)
        _check_choice("endian", endian, ENDIANS)
        path, fmt = output_capture(str(path), format)
        self._writer = Writer(path, fmt, sample_type, endian, fs=float(samp_rate), fc=float(center_freq),
                              t0=float(start_time))
        self._annotations = [] if fmt == "sigmf" else None
        gr.sync_block.__init__(self, name="quennel_capture_sink", in_sig=[np.complex64], out_sig=None)
        _keep(self)

    def work(self, input_items, output_items):
        samples = input_items[0]
        try:
            if self._annotations is not None:
                self._collect_annotations(len(samples))
            self._writer.write(samples)
        except Exception as error:  # pylint: disable=broad-except
            gr.logger("quennel_capture_sink").error(f"stopped: {error}")
            return WORK_DONE
        return len(samples)

    def _collect_annotations(self, count: int) -> None:
        for tag in self.get_tags_in_window(0, 0, count, pmt.intern(ANNOTATION)):
            members = pmt.to_python(tag.value)
            if isinstance(members, dict):
                for edge in _EDGES:  # the stream is at baseband; the capture declares its frequency
                    if isinstance(members.get(edge), (int, float)):
                        members[edge] += self._writer.fc
                self._annotations.append({_SAMPLE_START: tag.offset, **members})

    def stop(self):
        """Finishes the capture (once); failures are logged, never raised."""
        _release(self)
        writer, self._writer = self._writer, None
        if writer is None:
            return True
        try:
            writer.close()
            if self._annotations:
                write_sigmf_meta(writer, annotations=_within(self._annotations, writer.samples))
        except QuennelError as error:
            gr.logger("quennel_capture_sink").error(str(error))
        return True
