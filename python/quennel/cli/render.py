"""quennel render: stream a scene into a capture."""

import argparse
import json
import math
import time

import numpy as np

from .._native import kettara_lib
from ..recipe import (BYTES_PER_SAMPLE, OPTION_DEFAULTS, RecipeError, blue_keywords, dumps, file_sha512,
                      new_recipe, sigmf_global)
from ..recipe import recipe as read_recipe
from ._capture import Writer, write_sigmf_meta
from ._common import (FORMATS, CliError, InputRefused, Progress, add_capture_hints, format_from_name,
                      input_capture, output_capture, read_text)
from ._scene import Composer, refusal_reason

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
    parser.add_argument("--detached", action="store_true",
                        help="BLUE: OUT is the header file; the samples go to NAME.det beside it")


def _overrides_object(text: str) -> dict:
    try:
        value = json.loads(text, parse_constant=lambda name: float("nan"))
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"not JSON: {error}") from None
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError("give a JSON object, e.g. '{\"snr\": 6, \"gains\": [0, -3]}'")
    return value


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "render", help="render a scene into a capture",
        description="Compose SCENE (JSON, '-' for standard input) and write it as a capture, with its "
                    "recipe: the scene text, the options that change the samples, the quennel version "
                    "and a checksum of the data (SigMF: global keys, BLUE: keywords, raw and CSV: "
                    "--recipe FILE). SigMF captures are annotated with every burst of the scene. Peak "
                    "level and clipping are reported at the end. With --snr, --seed or --overrides the "
                    "scene is rendered through a plan, as Plan.render does.",
        epilog="examples: quennel render scene.json -o capture.blue --sample-type ci16 --fc 433.92e6; "
               "quennel render --from capture.blue -o low.blue --snr 3")
    parser.add_argument("scene", metavar="SCENE", nargs="?", help="scene file (not with --from)")
    parser.add_argument("--from", dest="from_capture", metavar="CAPTURE",
                        help="render the recipe of CAPTURE (or of a recipe .json file) again; options "
                             "given here replace the recorded ones")
    add_output_options(parser, required=True)
    parser.add_argument("--samples", dest="limit", type=int, metavar="N",
                        help="stop after N samples (needed for a scene that repeats for ever)")
    overrides = parser.add_argument_group("overrides (rendering through a plan)")
    overrides.add_argument("--snr", dest="override_snr", metavar="DB", type=float,
                           help="SNR of the reference source of every segment, dB")
    overrides.add_argument("--seed", dest="override_seed", metavar="N", type=int,
                           help="seed of every noise source and timing draw")
    overrides.add_argument("--overrides", type=_overrides_object, metavar="JSON",
                           help="render overrides: a JSON object of \"gains\", \"phases\", \"enable\", "
                                "\"snr\", \"seed\" (--snr and --seed replace its keys)")
    parser.add_argument("--recipe", metavar="FILE",
                        help="also write the recipe as JSON to FILE (the only record a raw or CSV capture has)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary")
    # None marks an option not given, which --from then takes from the recipe.
    parser.set_defaults(run=run, sample_type=None, endian=None, fc=None, t0=None, atten=None, detached=None)


def run(args) -> None:
    if args.from_capture is None:
        if args.scene is None:
            raise CliError("give a SCENE file, or --from CAPTURE")
        return render_scene(read_text(args.scene, "scene"), args.scene, args)
    if args.scene is not None:
        raise CliError("give a SCENE file or --from CAPTURE, not both")
    source = args.from_capture
    try:
        recorded = (read_recipe(None, source) if source.lower().endswith(".json")
                    else read_recipe(input_capture(source)))
    except RecipeError as error:
        raise InputRefused(str(error)) from None
    return render_scene(recorded["scene"], f"the scene recorded in {source}", args, recorded["options"])


def capture_options(args, recorded: dict | None = None) -> tuple[str, dict]:
    """(path to write, recorded options) from the command line; options it does not give
    come from the recorded ones, or take their defaults."""
    recorded = recorded or OPTION_DEFAULTS
    given = {name: getattr(args, name, None) for name in ("sample_type", "endian", "detached", "atten", "fc", "t0")}
    options = {name: recorded[name] if value is None else value for name, value in given.items()}
    options["format"] = args.format or format_from_name(args.output) or recorded["format"]
    path, options["format"] = output_capture(args.output, options["format"])
    if options["detached"] and options["format"] != "blue":
        if args.detached:
            raise CliError("--detached is for BLUE captures")
        options["detached"] = False
    if options["detached"] and path.endswith(".det"):
        raise CliError(f"name the header file of a detached capture, not its payload {path!r}")
    limit = getattr(args, "limit", None)
    if limit is not None and limit < 0:
        raise CliError("--samples must not be negative")
    options["samples"] = recorded["samples"] if limit is None else limit
    overrides = dict(recorded["overrides"] if getattr(args, "overrides", None) is None else args.overrides)
    snr, seed = getattr(args, "override_snr", None), getattr(args, "override_seed", None)
    if snr is not None:
        if not math.isfinite(snr):
            raise CliError("--snr must be a finite number of dB")
        overrides["snr"] = snr
    if seed is not None:
        if not 0 <= seed < 1 << 64:
            raise CliError("--seed must be from 0 to 2^64-1")
        overrides["seed"] = seed
    try:
        dumps(overrides)
    except ValueError:
        raise CliError("--overrides must hold finite numbers only (not NaN or infinities)") from None
    options["overrides"] = overrides
    for name in ("atten", "fc", "t0"):
        if not math.isfinite(options[name]):
            raise CliError(f"--{name} must be a finite number")
    return path, options


def render_scene(text: str, name: str, args, recorded: dict | None = None) -> None:
    """Writes the scene text as the capture the output options describe, with its recipe,
    and reports."""
    path, options = capture_options(args, recorded)
    fmt = options["format"]
    recipe = new_recipe(text, options)
    with scene_composer(text, name, recorded is not None) as composer:
        write_samples = scene_stream(composer, options, name)
        writer = scene_writer(path, fmt, composer, options)
        try:
            write_samples(writer)
            if fmt == "blue":
                _record_in_blue(writer, recipe)
            summary = writer.close()
        except BaseException:
            writer.abandon()
            raise
        if fmt != "blue":
            recipe["sha512"] = file_sha512(path)
        if fmt == "sigmf":
            segments, _records = composer.annotated_segments()  # the segments point into _records
            write_sigmf_meta(writer, segments, composer.n_segments, extra_global=sigmf_global(recipe))
    recipe_file = getattr(args, "recipe", None)
    if recipe_file:
        _write_recipe_file(recipe_file, recipe)
    if not getattr(args, "quiet", False):
        print(describe(path, fmt, options["sample_type"], summary))


def scene_writer(path: str, fmt: str, composer: Composer, options: dict) -> Writer:
    """A writer for the scene's samples with the recorded options (the scene's headroom
    is added to the attenuation)."""
    return Writer(path, fmt, options["sample_type"], options["endian"], fs=composer.sample_rate(),
                  fc=options["fc"], t0=options["t0"], atten_db=options["atten"] + _headroom(composer.text),
                  detached=options["detached"] and fmt == "blue")


def scene_stream(composer: Composer, options: dict, name: str):
    """A function that writes the scene's samples into a writer as the options ask:
    composed, or rendered through a plan when there are overrides; at most
    options["samples"] of them. Refusals come here, before any file is created."""
    limit = options["samples"]
    if options["overrides"]:
        samples = plan_render(composer.text, options["overrides"])
        samples = samples if limit is None else samples[:limit]
        return lambda writer: writer.write(samples)
    if composer.repeats_forever and limit is None:
        raise CliError(f"{name} repeats for ever: give --samples N")
    length = None if composer.repeats_forever else composer.pass_length()
    goal = length if limit is None else limit if length is None else min(limit, length)
    return lambda writer: _stream(composer, writer, goal)


def scene_composer(text: str, name: str, recorded: bool) -> Composer:
    """The composer of scene text; a recorded scene that cannot be composed is a damaged recipe."""
    try:
        return Composer(text, name)
    except CliError as error:
        if not recorded:
            raise
        raise InputRefused(f"the recorded scene cannot be rendered: {error}") from None


def plan_render(text: str, overrides: dict) -> np.ndarray:
    """The scene rendered through a plan with the overrides, exactly as Plan.render."""
    import kettara

    try:
        plan = kettara.Plan(text)
    except (RuntimeError, ValueError) as error:
        reason = refusal_reason(error) if isinstance(error, RuntimeError) else str(error)
        raise InputRefused(f"overrides need a render plan, and the scene cannot have one: {reason}") from None
    with plan:
        return plan.render(dumps(overrides))


def _record_in_blue(writer: Writer, recipe: dict) -> None:
    """Adds the recipe's keywords, with the checksum of the payload written so far."""
    writer.flush()
    recipe["sha512"] = file_sha512(writer.data_file, writer.data_start,
                                   writer.samples * BYTES_PER_SAMPLE[writer.sample_type])
    for tag, letter, data, count in blue_keywords(recipe):
        if not writer.add_keyword(tag, letter, data, count):
            raise CliError(f"{writer.path}: the recipe keyword {tag} cannot be stored in BLUE "
                           f"({len(data)} bytes)")


def _write_recipe_file(path: str, recipe: dict) -> None:
    try:
        with open(path, "w", encoding="utf-8") as file:
            file.write(json.dumps(recipe, indent=2, allow_nan=False) + "\n")
    except OSError as error:
        raise CliError(f"{path}: cannot write the recipe: {error.strerror}") from None


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
