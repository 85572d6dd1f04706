"""quennel info: what a capture declares."""

import datetime
import json
import math

from ..capture import input_capture, open_reader, payload_shortfall, spooled_input
from ..recipe import NoRecipe, RecipeError, blue_recipe_tags
from ..recipe import recipe as read_recipe
from ..scene import scene_sources
from ..units import si
from ._common import add_capture_hints, add_raw_format

_FIELDS = ("file_type", "sample_type", "mode", "endian", "fs", "fs_source", "fc", "fc_source", "t0", "t0_source",
           "num_samples", "trailing_bytes")


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "info", help="show what a capture declares",
        description="Show what the reader knows of CAPTURE: file type, sample type, mode, byte order, "
                    "sample rate, centre frequency and start time with where each came from, sample "
                    "count, trailing bytes, the capture segments of a capture that was retuned, "
                    "keywords, the recipe in short and, for BLUE, the header fields.")
    parser.add_argument("capture", metavar="CAPTURE", help="capture file (raw, CSV, BLUE or SigMF; '-': raw or CSV samples "
                                                            "from standard input)")
    add_capture_hints(parser)
    add_raw_format(parser)
    parser.add_argument("--recipe", metavar="FILE", help="the recipe file of a raw or CSV capture")
    parser.add_argument("--json", action="store_true", help="print the facts as one JSON object")
    parser.set_defaults(run=run)


def capture_facts(path: str, sample_type: str | None = None, endian: str = "le", recipe_file: str | None = None,
                  fmt: str | None = None) -> dict:
    """Everything the reader knows of a capture, by property name, and its recipe: a dict,
    None when it has none, or the reason it cannot be used. A capture whose data holds
    fewer samples than it declares has them as "declared_samples" beside "num_samples"."""
    with open_reader(path, sample_type, endian, fmt) as reader:
        facts = {name: getattr(reader, name) for name in _FIELDS}
        facts["keywords"] = reader.keywords
        facts["header"] = reader.header
        facts["captures"] = reader.captures
        shortfall = payload_shortfall(input_capture(path), reader)
    if shortfall:
        facts["declared_samples"], facts["num_samples"] = shortfall
    if recipe_file is None and facts["file_type"] in ("raw", "csv"):
        facts["recipe"] = None
    else:
        try:
            facts["recipe"] = read_recipe(input_capture(path), recipe_file)
        except NoRecipe:
            facts["recipe"] = None
        except RecipeError as error:
            facts["recipe"] = str(error)
    return facts


def _db(value: float) -> str:
    return f"{value:g} dB"


def _source_text(source: dict) -> str:
    """A scene source in short: its type, level and SNR."""
    details = []
    level, snr = source.get("level"), source.get("snr")
    if isinstance(level, (int, float, list)) and level != 0:
        details.append(f"level {_number_text(level)}")
    if isinstance(snr, (int, float, list)) and not (isinstance(snr, (int, float)) and snr >= 100):
        details.append(f"snr {_number_text(snr)}")
    kind = source.get("type", "?")
    return f"{kind if isinstance(kind, str) else '?'}" + (f" ({', '.join(details)})" if details else "")


def _number_text(value) -> str:
    if isinstance(value, list):
        return "[" + ", ".join(_number_text(v) for v in value[:2]) + "] dB"
    return _db(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else "?"


MAX_LISTED_SEGMENTS = 8


def recipe_lines(recipe) -> list[str]:
    """The recipe in short: producer, sources per segment, overrides and output options."""
    if recipe is None:
        return ["none"]
    if isinstance(recipe, str):
        return [f"unusable: {recipe}"]
    sha = recipe["sha512"]
    lines = [f"{recipe['producer']} {recipe['version']}, scene of {len(recipe['scene'].encode())} bytes"
             + (f", sha512 {sha[:16]}..." if sha else "")]
    try:
        segments = scene_sources(json.loads(recipe["scene"]))
    except (ValueError, RecursionError):
        segments = []
    for index, sources in enumerate(segments[:MAX_LISTED_SEGMENTS]):
        lines.append(f"segment {index + 1}: " + (", ".join(_source_text(s) for s in sources) or "empty"))
    if len(segments) > MAX_LISTED_SEGMENTS:
        lines.append(f"... and {len(segments) - MAX_LISTED_SEGMENTS} more segments")
    options = recipe["options"]
    overrides = options["overrides"]
    lines.append("overrides: " + (", ".join(f"{key} {json.dumps(value)}" for key, value in overrides.items())
                                  if overrides else "none"))
    samples = "all samples" if options["samples"] is None else f"first {options['samples']} samples"
    detached = " (detached)" if options["detached"] else ""
    lines.append(f"written as {options['format']}{detached} {options['sample_type']} {options['endian']}, "
                 f"atten {_db(options['atten'])}, {samples}")
    return lines


def _utc(t0: float) -> str:
    try:
        moment = datetime.datetime.fromtimestamp(t0, datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return f"{t0!r} s"
    return moment.strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def _source(name: str) -> str:
    return "" if name == "none" else f"  (from {name})"


def _segment_text(segment: dict) -> str:
    """A capture segment in short: its first sample, frequency, start and index."""
    parts = [f"from sample {segment['sample_start']}"]
    if segment["frequency"] is not None:
        parts.append(si(segment["frequency"], "Hz"))
    if segment["datetime"] is not None:
        parts.append(segment["datetime"])
    if segment["global_index"] is not None:
        parts.append(f"global index {segment['global_index']}")
    return ", ".join(parts)


def _value(value) -> str:
    return repr(value) if isinstance(value, str) else str(value)


def run(args) -> None:
    with spooled_input(args.capture) as path:
        facts = capture_facts(path, args.sample_type, args.endian, args.recipe, args.in_format)
    if args.json:
        print(json.dumps(facts, default=str))
        return
    lines = [("file", args.capture), ("file type", facts["file_type"]),
             ("sample type", f"{facts['sample_type']}, {facts['mode']}, "
                             f"{'big' if facts['endian'] == 'be' else 'little'}-endian")]
    fs = facts["fs"]
    lines.append(("sample rate", (si(fs, "Hz") if facts["fs_source"] != "none" else "not declared")
                  + _source(facts["fs_source"])))
    lines.append(("centre freq", (si(facts["fc"], "Hz") if facts["fc_source"] != "none" else "not declared")
                  + _source(facts["fc_source"])))
    lines.append(("start time", (_utc(facts["t0"]) if facts["t0_source"] != "none" else "not declared")
                  + _source(facts["t0_source"])))
    count = facts["num_samples"]
    duration = f"  ({count / fs:.6g} s)" if fs > 0 and math.isfinite(fs) else ""
    if "declared_samples" in facts:
        lines.append(("samples", f"declared {facts['declared_samples']}, present {count} (cut){duration}"))
    else:
        lines.append(("samples", f"{count}{duration}"))
    lines.append(("trailing", f"{facts['trailing_bytes']} bytes"
                  + ("  (a partial sample: wrong --sample-type, or a cut capture)" if facts["trailing_bytes"] else "")))
    if len(facts["captures"]) > 1:  # retunes: every segment with where it starts
        lines.extend(("captures" if i == 0 else "", _segment_text(segment))
                     for i, segment in enumerate(facts["captures"]))
    lines.extend(("recipe" if i == 0 else "", text) for i, text in enumerate(recipe_lines(facts["recipe"])))
    recorded = blue_recipe_tags() if facts["recipe"] else ()
    facts["keywords"] = {tag: value for tag, value in facts["keywords"].items() if tag not in recorded}
    for title in ("keywords", "header"):
        entries = facts[title]
        if entries:
            lines.extend((title if i == 0 else "", f"{tag} = {_value(value)}")
                         for i, (tag, value) in enumerate(entries.items()))
        elif title == "keywords":
            lines.append((title, "none"))
    for label, text in lines:
        print(f"{label:<12} {text}")
