"""quennel render: stream a scene into a capture."""

import argparse
import math
import time

import numpy as np

from .._native import kettara_lib
from ._capture import Writer, write_sigmf_meta
from ._common import FORMATS, CliError, Progress, add_capture_hints, output_capture, read_text
from ._scene import Composer

BLOCK = 1 << 16


def _start_time(text: str) -> float:
    if text == "now":
        return time.time()
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not UNIX seconds or 'now': {text!r}") from None


def add_output_options(parser, required: bool) -> None:
    """The options of a rendered capture (shared with gen -o)."""
    parser.add_argument("-o", "--output", metavar="OUT", required=required,
                        help="capture to write; the format follows from the name (.sigmf-data, .blue, "
                             ".csv, .iq/.raw/.bin) unless --format is given")
    parser.add_argument("--format", choices=FORMATS, help="capture format")
    add_capture_hints(parser)
    parser.add_argument("--fc", metavar="HZ", type=float, default=0.0, help="centre frequency to declare, Hz")
    parser.add_argument("--t0", metavar="T0", type=_start_time, default=0.0,
                        help="start time to declare, UNIX seconds or 'now' (default none)")
    parser.add_argument("--atten", metavar="DB", type=float, default=0.0,
                        help="attenuation in dB before conversion (added to the scene's headroom)")


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "render", help="render a scene into a capture",
        description="Compose SCENE (JSON, '-' for standard input) and write it as a capture. SigMF "
                    "captures are annotated with every burst of the scene. Peak level and clipping "
                    "are reported at the end.",
        epilog="example: quennel render scene.json -o capture.blue --sample-type ci16 --fc 433.92e6")
    parser.add_argument("scene", metavar="SCENE", help="scene file")
    add_output_options(parser, required=True)
    parser.add_argument("--samples", dest="limit", type=int, metavar="N",
                        help="stop after N samples (needed for a scene that repeats for ever)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary")
    parser.set_defaults(run=run)


def run(args) -> None:
    return render_scene(read_text(args.scene, "scene"), args.scene, args)


def render_scene(text: str, name: str, args) -> None:
    """Writes the scene text as the capture the output options describe, and reports."""
    path, fmt = output_capture(args.output, args.format)
    limit = getattr(args, "limit", None)
    if limit is not None and limit < 0:
        raise CliError("--samples must not be negative")
    with Composer(text, name) as composer:
        if composer.repeats_forever and limit is None:
            raise CliError(f"{name} repeats for ever: give --samples N")
        length = None if composer.repeats_forever else composer.pass_length()
        goal = length if limit is None else limit if length is None else min(limit, length)
        headroom = _headroom(text)
        writer = Writer(path, fmt, args.sample_type, args.endian, fs=composer.sample_rate(), fc=args.fc,
                        t0=args.t0, atten_db=args.atten + headroom)
        try:
            _stream(composer, writer, goal)
            summary = writer.close()
        except BaseException:
            writer.abandon()
            raise
        if fmt == "sigmf":
            segments, _records = composer.annotated_segments()  # the segments point into _records
            write_sigmf_meta(writer, segments, composer.n_segments)
    if not getattr(args, "quiet", False):
        print(describe(path, fmt, args.sample_type, summary))


def _stream(composer: Composer, writer: Writer, goal: int | None) -> None:
    """Writes goal samples of the scene, or all of it when goal is None."""
    progress = Progress("render", goal)
    block = np.empty(BLOCK if goal is None else min(BLOCK, max(goal, 1)), dtype=np.complex64)
    done = 0
    while goal is None or done < goal:
        produced = composer.read(block if goal is None else block[: min(BLOCK, goal - done)])
        if produced == 0:
            break
        writer.write(block[:produced])
        done += produced
        progress.update(done)
    progress.finish()


def _headroom(text: str) -> float:
    """The scene's "headroom" in dB (0 when absent or not a finite number)."""
    value = kettara_lib().wfm_spec_headroom(text.encode())
    return value if math.isfinite(value) else 0.0


def describe(path: str, fmt: str, sample_type: str, summary: dict) -> str:
    """One line on a written capture: size, format, peak and clipping."""
    peak = summary["peak_dbfs"]
    peak_text = "silent" if peak == float("-inf") else f"peak {peak:.2f} dBFS"
    if summary["clipped"]:
        clip_text = f"CLIPPED {summary['clip_fraction']:.3%} of components"
    else:
        clip_text = "no clipping" if sample_type.startswith("ci") else "float samples, no clipping"
    return f"wrote {summary['samples']} samples to {path} ({fmt}, {sample_type}): {peak_text}, {clip_text}"
