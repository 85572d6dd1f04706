"""quennel info: what a capture declares."""

import datetime
import json
import math

from ._common import add_capture_hints, open_reader, si

_FIELDS = ("file_type", "sample_type", "mode", "endian", "fs", "fs_source", "fc", "fc_source", "t0", "t0_source",
           "num_samples", "trailing_bytes")


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "info", help="show what a capture declares",
        description="Show what the reader knows of CAPTURE: file type, sample type, mode, byte order, "
                    "sample rate, centre frequency and start time with where each came from, sample "
                    "count, trailing bytes, keywords and, for BLUE, the header fields.")
    parser.add_argument("capture", metavar="CAPTURE", help="capture file (raw, CSV, BLUE or SigMF)")
    add_capture_hints(parser)
    parser.add_argument("--json", action="store_true", help="print the facts as one JSON object")
    parser.set_defaults(run=run)


def capture_facts(path: str, sample_type: str = "cf32", endian: str = "le") -> dict:
    """Everything the reader knows of a capture, by property name."""
    with open_reader(path, sample_type, endian) as reader:
        facts = {name: getattr(reader, name) for name in _FIELDS}
        facts["keywords"] = reader.keywords
        facts["header"] = reader.header
    return facts


def _utc(t0: float) -> str:
    try:
        moment = datetime.datetime.fromtimestamp(t0, datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return f"{t0!r} s"
    return moment.strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def _source(name: str) -> str:
    return "" if name == "none" else f"  (from {name})"


def _value(value) -> str:
    return repr(value) if isinstance(value, str) else str(value)


def run(args) -> None:
    facts = capture_facts(args.capture, args.sample_type, args.endian)
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
    lines.append(("samples", f"{count}{duration}"))
    lines.append(("trailing", f"{facts['trailing_bytes']} bytes"
                  + ("  (a partial sample: wrong --sample-type, or a cut capture)" if facts["trailing_bytes"] else "")))
    for title in ("keywords", "header"):
        entries = facts[title]
        if entries:
            lines.extend((title if i == 0 else "", f"{tag} = {_value(value)}")
                         for i, (tag, value) in enumerate(entries.items()))
        elif title == "keywords":
            lines.append((title, "none"))
    for label, text in lines:
        print(f"{label:<12} {text}")
