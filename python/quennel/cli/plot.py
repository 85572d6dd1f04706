"""quennel plot: power spectral density, spectrogram and constellation of a capture or a scene."""

import ctypes
import json
import os
from dataclasses import dataclass

import numpy as np

from .._native import kettara_lib
from ..capture import input_capture, open_reader
from ..errors import QuennelError, UsageError
from ..outputs import Outputs
from ..scene import SYMBOL_TYPES, TYPE_NAMES, Composer
from ..units import si, whole_count
from ._common import add_capture_hints, add_raw_format, read_text

MAX_SCATTER = 20000
MAX_SPANS_SEARCHED = 1 << 16


@dataclass
class Signal:
    samples: np.ndarray
    fs: float  # 0 when unknown: axes are then in cycles per sample and samples
    fc: float
    title: str


@dataclass
class SymbolSource:
    """Where a symbol source plays and how it was shaped, for its constellation."""

    start: int
    count: int
    sps: int
    freq_norm: float
    rrc_beta: float | None
    rrc_span: int


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "plot", help="plot spectrum, spectrogram and constellation",
        description="Draw the power spectral density (Welch), a spectrogram and, for symbol sources, a "
                    "constellation of a capture or a scene (a .json file, or any text starting with "
                    "'{'), into a PNG.",
        epilog="example: quennel plot capture.sigmf-data -o capture.png --size 1600x1000")
    parser.add_argument("input", metavar="CAPTURE_OR_SCENE", help="capture file or scene JSON")
    parser.add_argument("-o", "--output", required=True, metavar="PNG", help="image to write")
    parser.add_argument("-f", "--force", action="store_true", help="replace an existing PNG")
    parser.add_argument("--samples", type=whole_count, default=1 << 20, metavar="N",
                        help="analyse at most the first N samples (default 1048576)")
    parser.add_argument("--nfft", type=whole_count, default=1024, help="FFT length (default 1024)")
    parser.add_argument("--size", default="1200x900", metavar="WxH", help="image size in pixels (default 1200x900)")
    parser.add_argument("--sps", type=whole_count,
                        help="samples per symbol: a constellation of the whole capture (scenes, and SigMF "
                             "captures annotated with their scene, know their symbol sources)")
    parser.add_argument("--rrc-beta", type=float,
                        help="the capture's symbols are RRC-shaped with this roll-off (default rectangular)")
    add_capture_hints(parser)
    add_raw_format(parser)
    parser.set_defaults(run=run)


def _size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise UsageError(f"--size must be WIDTHxHEIGHT in pixels, not {text!r}") from None
    if not (400 <= width <= 10000 and 300 <= height <= 10000):
        raise UsageError("--size must be between 400x300 and 10000x10000")
    return width, height


def _is_scene(path: str) -> bool:
    if path.lower().endswith(".json") or path == "-":
        return True
    try:
        with open(path, "rb") as file:
            return file.read(256).lstrip().startswith(b"{")
    except OSError:
        return False


def run(args) -> None:
    size = _size(args.size)
    if args.nfft < 16:
        raise UsageError("--nfft must be at least 16")
    if args.samples < 1:
        raise UsageError("--samples must be at least 1")
    with Outputs(args.force) as outputs:
        image = outputs.add(args.output)
        signal, symbols = _signal_and_symbols(args)
        try:
            draw(signal, symbols, image, size, args.nfft)
        except OSError as error:
            raise QuennelError(f"{args.output}: {error.strerror or error}") from None
    if not args.quiet:
        print(f"wrote {args.output} ({size[0]}x{size[1]})")


def _signal_and_symbols(args) -> tuple[Signal, SymbolSource | None]:
    """The samples to plot and the symbol source to draw a constellation of, if any."""
    if _is_scene(args.input):
        signal, symbols = _scene_signal(args.input, args.samples)
    else:
        signal = _capture_signal(args)
        if args.sps:
            symbols = SymbolSource(0, len(signal.samples), args.sps, 0.0, args.rrc_beta, 8)
        else:
            symbols = _annotated_symbol_source(args.input, signal, args.rrc_beta)
    if len(signal.samples) == 0:
        raise QuennelError(f"{args.input}: no samples to plot")
    return signal, symbols


def _scene_signal(path: str, limit: int) -> tuple[Signal, SymbolSource | None]:
    with Composer(read_text(path, "scene"), path) as composer:
        samples = np.empty(limit, dtype=np.complex64)
        samples = samples[: composer.read(samples)]
        fs = composer.sample_rate()
        symbols = _first_symbol_source(composer, len(samples))
    return Signal(samples, fs, 0.0, os.path.basename(path)), symbols


def _first_symbol_source(composer: Composer, available: int) -> SymbolSource | None:
    segments = composer.segments()
    for span in composer.spans(limit=MAX_SPANS_SEARCHED):
        segment = segments[span.segment]
        start = span.start + span.delay
        if start >= available or span.num == 0:
            continue
        for k in range(segment.n_sources):
            source = segment.sources[k]
            if TYPE_NAMES[source.type] in SYMBOL_TYPES:
                fs = segment.fs or 1.0
                beta = source.rrc_beta if source.pulse_rrc and source.rrc_span > 0 else None
                return SymbolSource(start, min(span.num, available - start), max(source.sps, 1),
                                    source.freq / fs, beta, source.rrc_span)
    return None


def _annotated_symbol_source(path: str, signal: Signal, rrc_beta: float | None) -> SymbolSource | None:
    """The first symbol source a SigMF capture's annotations describe (the captures quennel
    writes annotate every burst of their scene)."""
    meta = os.path.splitext(input_capture(path))[0] + ".sigmf-meta"
    try:
        with open(meta, encoding="utf-8") as file:
            annotations = json.load(file).get("annotations", [])
    except (OSError, ValueError, AttributeError):
        return None
    for note in annotations:
        try:
            if note.get("core:label") not in SYMBOL_TYPES or signal.fs <= 0:
                continue
            start, count = int(note["core:sample_start"]), int(note["core:sample_count"])
            centre = (note["core:freq_lower_edge"] + note["core:freq_upper_edge"]) / 2 - signal.fc
            sps = int(note["sondrel:sps"])
        except (KeyError, TypeError, ValueError, AttributeError):
            continue
        if start < len(signal.samples) and count > 0 and sps > 0:
            return SymbolSource(start, min(count, len(signal.samples) - start), sps, centre / signal.fs, rrc_beta, 8)
    return None


def _capture_signal(args) -> Signal:
    with open_reader(args.input, args.sample_type, args.endian, args.in_format) as reader:
        fs = reader.fs if reader.fs_source != "none" else 0.0
        fc = reader.fc if reader.fc_source != "none" else 0.0
        blocks, count = [], 0
        while count < args.samples and len(block := reader.read(min(1 << 16, args.samples - count))):
            blocks.append(block)
            count += len(block)
    samples = np.concatenate(blocks) if blocks else np.empty(0, np.complex64)
    return Signal(samples, fs, fc, os.path.basename(args.input))


def welch_psd(x: np.ndarray, nfft: int) -> tuple[np.ndarray, np.ndarray]:
    """(normalised frequencies, power density per unit of normalised frequency), averaged
    over Hann-windowed segments with half overlap, centred on 0."""
    n = min(nfft, len(x))
    window = np.hanning(n) if n > 1 else np.ones(1)
    starts = range(0, len(x) - n + 1, max(n // 2, 1))
    power = np.zeros(n)
    for start in starts:
        power += np.abs(np.fft.fft(x[start:start + n] * window)) ** 2
    power /= len(starts) * np.sum(window ** 2)
    return np.fft.fftshift(np.fft.fftfreq(n)), np.fft.fftshift(power)


def spectrogram(x: np.ndarray, nfft: int, max_columns: int = 800) -> np.ndarray:
    """Power in dB, frequency rows (centred on 0) by time columns."""
    n = min(nfft, len(x))
    hop = max(n // 2, (len(x) - n) // max_columns + 1, 1)
    starts = np.arange(0, len(x) - n + 1, hop)
    frames = np.stack([x[s:s + n] for s in starts]) * np.hanning(n)
    power = np.abs(np.fft.fftshift(np.fft.fft(frames, axis=1), axes=1)) ** 2 / n
    return 10 * np.log10(power.T + 1e-20)


def symbol_points(x: np.ndarray, source: SymbolSource) -> np.ndarray:
    """Symbols of a source: carrier removed, matched filter, sampled at the strongest phase,
    normalised to unit power."""
    segment = x[source.start:source.start + source.count].astype(np.complex128)
    segment = segment * np.exp(-2j * np.pi * source.freq_norm * np.arange(len(segment)))
    if source.rrc_beta is not None:
        taps = (ctypes.c_float * (2 * source.sps * source.rrc_span + 1))()
        kettara_lib().wfm_rrc_taps(source.sps, source.rrc_span, taps, source.rrc_beta)
        taps = np.array(taps, dtype=np.float64)
    else:
        taps = np.ones(source.sps)
    filtered = np.convolve(segment, taps, mode="valid")
    if len(filtered) < source.sps:
        return np.empty(0, np.complex128)
    phase = int(np.argmax([np.mean(np.abs(filtered[p::source.sps]) ** 2) for p in range(source.sps)]))
    points = filtered[phase::source.sps]
    rms = np.sqrt(np.mean(np.abs(points) ** 2))
    return points / rms if rms > 0 else points


def draw(signal: Signal, symbols: SymbolSource | None, output: str, size: tuple[int, int], nfft: int) -> None:
    try:
        from matplotlib.figure import Figure
        from matplotlib.ticker import EngFormatter
    except ImportError:
        raise QuennelError("plotting needs matplotlib: pip install 'quennel[plot]'") from None
    x = signal.samples
    fs = signal.fs
    scale_f = fs if fs > 0 else 1.0
    dpi = 100
    figure = Figure(figsize=(size[0] / dpi, size[1] / dpi), dpi=dpi, layout="constrained")
    points = symbol_points(x, symbols) if symbols else None
    columns = 3 if points is not None and len(points) else 1
    grid = figure.add_gridspec(2, columns)
    title = f"{signal.title}: {len(x)} samples" + (f" at {si(fs, 'Hz')}" if fs > 0 else "")
    if signal.fc:
        title += f", centre {si(signal.fc, 'Hz')}"
    figure.suptitle(title)

    freqs, psd = welch_psd(x, nfft)
    axes = figure.add_subplot(grid[0, :])
    axes.plot(freqs * scale_f + signal.fc, 10 * np.log10(psd / scale_f + 1e-30), linewidth=0.8)
    axes.set_xlabel("frequency" if fs > 0 else "frequency (cycles/sample)")
    if fs > 0:
        axes.xaxis.set_major_formatter(EngFormatter(unit="Hz"))
    axes.set_ylabel(f"PSD (dB/{'Hz' if fs > 0 else 'cycle/sample'})")
    axes.set_title("power spectral density (Welch)")
    axes.grid(True, alpha=0.3)

    image = spectrogram(x, nfft)
    axes = figure.add_subplot(grid[1, : columns - 1] if columns > 1 else grid[1, 0])
    duration = len(x) / fs if fs > 0 else len(x)
    extent = (0.0, duration, -0.5 * scale_f + signal.fc, 0.5 * scale_f + signal.fc)
    floor = np.percentile(image, 5)
    mesh = axes.imshow(image, aspect="auto", origin="lower", extent=extent, vmin=floor, cmap="viridis")
    axes.set_xlabel("time" if fs > 0 else "sample")
    axes.set_ylabel("frequency" if fs > 0 else "frequency (cycles/sample)")
    if fs > 0:
        axes.xaxis.set_major_formatter(EngFormatter(unit="s"))
        axes.yaxis.set_major_formatter(EngFormatter(unit="Hz"))
    axes.set_title("spectrogram")
    figure.colorbar(mesh, ax=axes, label="dB")

    if columns > 1:
        axes = figure.add_subplot(grid[1, columns - 1])
        shown = points[:: max(len(points) // MAX_SCATTER, 1)]
        axes.scatter(shown.real, shown.imag, s=2, alpha=0.4)
        axes.set_aspect("equal")
        axes.set_xlim(-2, 2)
        axes.set_ylim(-2, 2)
        axes.set_title("constellation")
        axes.set_xlabel(f"{len(points)} symbols")
        axes.grid(True, alpha=0.3)
    figure.savefig(output, dpi=dpi, format="png")
