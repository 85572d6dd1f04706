"""quennel render: stream a scene into a capture."""

import argparse
import json
import math
import sys

from ..capture import FORMATS, STANDARD_STREAM, format_from_name, input_capture, output_capture, written_sample_type
from ..errors import UsageError
from ..recipe import OPTION_DEFAULTS, dumps
from ..recipe import recipe as read_recipe
from ..render import render_capture
from ..units import frequency, whole_count
from ._common import add_capture_hints, describe, read_text, start_time


def add_output_options(parser, required: bool) -> None:
    """The options of a rendered capture (shared with gen -o)."""
    parser.add_argument("-o", "--output", metavar="OUT", required=required,
                        help="capture to write; the format follows from the name (.sigmf-data, .blue, "
                             ".csv, .iq/.raw/.bin) unless --format is given")
    parser.add_argument("--format", choices=FORMATS, help="capture format")
    add_capture_hints(parser)
    parser.add_argument("--fc", metavar="HZ", type=frequency, default=0.0, help="centre frequency to declare, Hz")
    parser.add_argument("--t0", metavar="T0", type=start_time, default=0.0,
                        help="start time to declare, UNIX seconds or 'now' (default none)")
    parser.add_argument("--atten", metavar="DB", type=float, default=0.0,
                        help="attenuation in dB before conversion (added to the scene's headroom)")
    parser.add_argument("--detached", action="store_true",
                        help="BLUE: OUT is the header file; the samples go to NAME.det beside it")
    parser.add_argument("-f", "--force", action="store_true",
                        help="replace an existing OUT, and write it even when the file system seems to lack "
                             "the room")
    parser.add_argument("--live", action="store_true",
                        help="write OUT under its own name as it goes, so that quennel follow (or a GNU Radio "
                             "capture_source with follow) can read it while it is written; a failure then leaves "
                             "what was written. Without it OUT (with its metadata and --recipe file) appears only "
                             "once complete")
    add_strict_option(parser)


def add_strict_option(parser) -> None:
    """--strict: the scene's problems (as quennel check finds them) are errors, not warnings."""
    parser.add_argument("--strict", action="store_true",
                        help="refuse a scene with problems (a misspelt key, a value of the wrong type, an "
                             "unknown name, as quennel check reports them) or a render of 0 samples, instead "
                             "of warning and going on")


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
                    "scene is rendered through a plan, as Plan.render does, streamed in blocks: memory does "
                    "not grow with the scene's length. The capture, its metadata and "
                    "the recipe file are written under temporary names beside OUT and renamed into place "
                    "once all are complete; a failure, a full disk or a signal leaves none of them (see "
                    "--live). An existing OUT is replaced only with --force, and a capture of known size "
                    "that needs more room than the file system has free is refused unless --force.",
        epilog="examples: quennel render scene.json -o capture.blue --sample-type ci16 --fc 433.92e6; "
               "quennel render --from capture.blue -o low.blue --snr 3")
    parser.add_argument("scene", metavar="SCENE", nargs="?", help="scene file (not with --from)")
    parser.add_argument("--from", dest="from_capture", metavar="CAPTURE",
                        help="render the recipe of CAPTURE (or of a recipe .json file) again; options "
                             "given here replace the recorded ones")
    add_output_options(parser, required=True)
    parser.add_argument("--samples", dest="limit", type=whole_count, metavar="N",
                        help="stop after N samples (needed for a scene that repeats for ever)")
    overrides = parser.add_argument_group("overrides (rendering through a plan)")
    overrides.add_argument("--snr", dest="override_snr", metavar="DB", type=float,
                           help="SNR of the reference source of every segment, dB")
    overrides.add_argument("--seed", dest="override_seed", metavar="N", type=int,
                           help="seed of every noise source (ranged gaps are drawn afresh with it)")
    overrides.add_argument("--overrides", type=_overrides_object, metavar="JSON",
                           help="render overrides: a JSON object of \"gains\", \"phases\", \"enable\", "
                                "\"snr\", \"seed\" (--snr and --seed replace its keys)")
    parser.add_argument("--recipe", metavar="FILE",
                        help="also write the recipe as JSON to FILE (the only record a raw or CSV capture has)")
    # None marks an option not given, which --from then takes from the recipe.
    parser.set_defaults(run=run, sample_type=None, endian=None, fc=None, t0=None, atten=None, detached=None)


def run(args) -> None:
    if args.from_capture is None:
        if args.scene is None:
            raise UsageError("give a SCENE file, or --from CAPTURE")
        return render_scene(read_text(args.scene, "scene"), args.scene, args)
    if args.scene is not None:
        raise UsageError("give a SCENE file or --from CAPTURE, not both")
    source = args.from_capture
    recorded = read_recipe(None, source) if source.lower().endswith(".json") else read_recipe(input_capture(source))
    return render_scene(recorded["scene"], f"the scene recorded in {source}", args, recorded["options"])


def capture_options(args, recorded: dict | None = None) -> tuple[str, dict]:
    """(path to write, recorded options) from the command line; options it does not give
    come from the recorded ones, or take their defaults."""
    recorded = recorded or OPTION_DEFAULTS
    given = {name: getattr(args, name, None) for name in ("sample_type", "endian", "detached", "atten", "fc", "t0")}
    options = {name: recorded[name] if value is None else value for name, value in given.items()}
    options["format"] = args.format or format_from_name(args.output) or recorded["format"]
    path, options["format"] = output_capture(args.output, options["format"])
    options["sample_type"] = written_sample_type(path, options["format"], given["sample_type"],
                                                 recorded["sample_type"])
    if options["detached"] and options["format"] != "blue":
        if args.detached:
            raise UsageError("--detached is for BLUE captures")
        options["detached"] = False
    if options["detached"] and path.endswith(".det"):
        raise UsageError(f"name the header file of a detached capture, not its payload {path!r}")
    limit = getattr(args, "limit", None)
    if limit is not None and limit < 0:
        raise UsageError("--samples must not be negative")
    options["samples"] = recorded["samples"] if limit is None else limit
    overrides = dict(recorded["overrides"] if getattr(args, "overrides", None) is None else args.overrides)
    snr, seed = getattr(args, "override_snr", None), getattr(args, "override_seed", None)
    if snr is not None:
        if not math.isfinite(snr):
            raise UsageError("--snr must be a finite number of dB")
        overrides["snr"] = snr
    if seed is not None:
        if not 0 <= seed < 1 << 64:
            raise UsageError("--seed must be from 0 to 2^64-1")
        overrides["seed"] = seed
    try:
        dumps(overrides)
    except ValueError:
        raise UsageError("--overrides must hold finite numbers only (not NaN or infinities)") from None
    options["overrides"] = overrides
    for name in ("atten", "fc", "t0"):
        if not math.isfinite(options[name]):
            raise UsageError(f"--{name} must be a finite number")
    return path, options


def render_scene(text: str, name: str, args, recorded: dict | None = None) -> None:
    """Writes the scene text as the capture the output options describe, with its recipe,
    and reports."""
    path, options = capture_options(args, recorded)
    summary = render_capture(text, name, path, options, recorded is not None, getattr(args, "recipe", None),
                             force=args.force, in_place=args.live, strict=getattr(args, "strict", False))
    if not getattr(args, "quiet", False):  # beside samples on standard output, the summary goes to standard error
        print(describe(path, options["format"], options["sample_type"], summary),
              file=sys.stderr if path == STANDARD_STREAM else sys.stdout)
