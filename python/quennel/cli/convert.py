"""quennel convert: any capture the reader opens into any format the writer writes."""

import datetime
import json
import logging
import math
import sys

import numpy as np

from .._progress import Progress
from ..capture import (
    ENDIANS,
    FORMATS,
    SAMPLE_TYPES,
    STANDARD_OUTPUT,
    STANDARD_STREAM,
    WRITTEN_SAMPLE_TYPES,
    Writer,
    capture_bytes,
    capture_companions,
    capture_keywords,
    detached_payload,
    input_capture,
    keyword_value,
    open_reader,
    output_capture,
    payload_shortfall,
    sigmf_meta_path,
    spooled_input,
    write_sigmf_meta,
    written_sample_type,
)
from ..errors import UsageError
from ..outputs import Outputs, check_space
from ..units import frequency
from ._common import add_raw_format, describe, start_time

BLOCK = 1 << 16
log = logging.getLogger(__name__)
KEYWORDS_KEY = "quennel:keywords"


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "convert", help="convert a capture to another format or sample type",
        description="Copy the samples of IN into OUT, carrying sample rate, centre frequency and start "
                    "time, the keywords of IN (as keywords into BLUE, into the metadata of SigMF under "
                    f"global \"{KEYWORDS_KEY}\") and, from SigMF to SigMF, the annotations. Raw and CSV "
                    "carry no metadata. OUT is never IN (nor the other file of a SigMF pair); it is "
                    "written under a temporary name and renamed into place once complete, so a failure, "
                    "a full disk or a signal leaves nothing; an existing OUT is replaced only with --force.",
        epilog="example: quennel convert capture.blue capture.sigmf-data --sample-type cf32")
    parser.add_argument("input", metavar="IN", help="capture to read ('-': raw or CSV samples from standard input, "
                                                    "read to its end first)")
    parser.add_argument("output", metavar="OUT", help="capture to write; format from the name unless --format "
                                                      "('-': raw or CSV samples to standard output)")
    parser.add_argument("--format", choices=FORMATS, help="format of OUT")
    parser.add_argument("--sample-type", choices=WRITTEN_SAMPLE_TYPES,
                        help="sample type of OUT (default: the one a raw name implies, as for --in-sample-type; "
                             "else that of IN)")
    parser.add_argument("--endian", choices=ENDIANS, default="le", help="byte order of OUT (default le)")
    parser.add_argument("--in-sample-type", choices=SAMPLE_TYPES,
                        help="sample type of a headerless (raw or CSV) IN (default: the one a raw name implies, "
                             ".cs8 ci8, .cs16 ci16, .cf32 and .cfile cf32; else cf32)")
    parser.add_argument("--in-endian", choices=ENDIANS, default="le", help="byte order of a headerless raw IN")
    add_raw_format(parser, "--in-format")
    parser.add_argument("--atten", type=float, default=0.0, help="attenuation in dB before conversion")
    declared = parser.add_argument_group("what OUT declares (replacing what IN declares, or declaring what a "
                                         "headerless IN lacks)")
    declared.add_argument("--fs", metavar="RATE", type=frequency, help="sample rate, Hz (e.g. 2.4M)")
    declared.add_argument("--fc", metavar="HZ", type=frequency, help="centre frequency, Hz (e.g. 433.92M)")
    declared.add_argument("--t0", metavar="T0", type=start_time, help="start time, UNIX seconds or 'now'")
    parser.add_argument("-f", "--force", action="store_true",
                        help="replace an existing OUT, and write it even when the file system seems to lack the room "
                             "(OUT is never IN)")
    parser.set_defaults(run=run)


def _json_value(value):
    """Keyword values as strict JSON holds them (non-finite numbers become text)."""
    if isinstance(value, list):
        return [_json_value(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    return value


def keep_integer_codes(block, sample_type: str):
    """Samples read from an integer capture are code / full scale rounded to float, which may
    fall a hair below the code; the writer truncates toward zero, so such a sample would come
    out one code smaller. Growing magnitudes by 2^-20 (never past full scale) keeps every
    code of a ci16 or ci8 capture, and is far below one code of either."""
    if sample_type not in ("ci16", "ci8"):
        return block
    parts = block.view(np.float32)
    magnitude = np.abs(parts)
    grown = np.where(magnitude <= 1.0, np.minimum(magnitude * np.float32(1 + 2 ** -20), 1.0), magnitude)
    return np.copysign(grown, parts).view(np.complex64)


def run(args) -> None:
    path, fmt = output_capture(args.output, args.format)
    with spooled_input(args.input) as source:
        summary, sample_type = _convert(args, source, path, fmt)
    if not args.quiet:  # beside samples on standard output, the summary goes to standard error
        print(describe(path, fmt, sample_type, summary), file=sys.stderr if path == STANDARD_STREAM else sys.stdout)


def _convert(args, source: str, path: str, fmt: str) -> tuple[dict, str]:
    """Converts the capture at source into path; returns the writer's summary and the sample
    type written."""
    with open_reader(source, args.in_sample_type, args.in_endian, args.in_format) as reader:
        source_meta = _sigmf_document(source) if reader.file_type == "sigmf" else {}
        fs = _declared(args.fs, reader.fs if reader.fs_source != "none" else 0.0, "--fs")
        fc = _declared(args.fc, reader.fc if reader.fc_source != "none" else 0.0, "--fc")
        t0 = _declared(args.t0, reader.t0 if reader.t0_source != "none" else _sigmf_start_time(source_meta), "--t0")
        sample_type = written_sample_type(path, fmt, args.sample_type, reader.sample_type)
        _warn_if_truncated(args.input, input_capture(source), reader)
        keywords = capture_keywords(input_capture(source)) if reader.keywords else []
        with Outputs(args.force, inputs=capture_files(input_capture(source), reader)) as outputs:
            to_stdout = path == STANDARD_STREAM
            data_path = STANDARD_OUTPUT if to_stdout else outputs.add(path, capture_companions(fmt))
            if fmt != "csv" and not args.force and not to_stdout:
                check_space(path, capture_bytes(fmt, sample_type, reader.num_samples))
            writer = Writer(data_path, fmt, sample_type, args.endian, fs=fs, fc=fc, t0=t0, atten_db=args.atten,
                            name=path)
            summary = _copy(reader, writer, keywords)
            annotations = source_meta.get("annotations")
            if fmt == "sigmf" and (keywords or annotations):
                carried = {tag: _json_value(keyword_value(letter, data, count))
                           for tag, letter, data, count in keywords}
                write_sigmf_meta(writer, extra_global={KEYWORDS_KEY: carried} if carried else None,
                                 annotations=annotations if isinstance(annotations, list) else None,
                                 extensions=source_meta.get("global", {}).get("core:extensions", []))
    return summary, sample_type


def _declared(given: float | None, read: float, option: str) -> float:
    """What OUT declares: the value given, else the one IN declares (0: none)."""
    if given is None:
        return read
    if not math.isfinite(given):
        raise UsageError(f"{option} must be a finite number")
    return given


def _warn_if_truncated(name: str, path: str, reader) -> None:
    shortfall = payload_shortfall(path, reader)
    if shortfall:
        log.warning("%s declares %d samples and holds %d: it is truncated; converting the %d it holds",
                    name, *shortfall, shortfall[1])


def capture_files(path: str, reader) -> list[str]:
    """The files a capture opened by reader consists of: path, and its SigMF sidecar or
    detached BLUE payload."""
    if reader.file_type == "sigmf":
        return [path, sigmf_meta_path(path)]
    if reader.file_type == "blue" and reader.header.get("detached"):
        return [path, detached_payload(path)]
    return [path]


def _copy(reader, writer: Writer, keywords) -> dict:
    """Copies every sample (and, into BLUE, the keywords) into writer and finishes it;
    returns its summary."""
    try:
        if writer.fmt == "blue":
            _add_blue_keywords(writer, keywords, carried_fc=writer.fc != 0.0)
        progress = Progress("convert", reader.num_samples)
        while len(block := reader.read(BLOCK)):
            writer.write(keep_integer_codes(block, writer.sample_type))
            progress.update(writer.samples)
        progress.finish()
        return writer.close()
    except BaseException:
        writer.abandon()
        raise


def _sigmf_document(path: str) -> dict:
    """The metadata document of a SigMF capture; empty when it cannot be read as an object."""
    try:
        with open(sigmf_meta_path(input_capture(path)), encoding="utf-8") as file:
            document = json.load(file)
    except (OSError, ValueError):
        return {}
    return document if isinstance(document, dict) else {}


def _sigmf_start_time(document: dict) -> float:
    """UNIX seconds of the first capture's "core:datetime", 0 when there is none."""
    try:
        text = document["captures"][0]["core:datetime"]
        moment = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except (KeyError, IndexError, TypeError, AttributeError, ValueError):
        return 0.0
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.timestamp()


def _add_blue_keywords(writer: Writer, keywords, carried_fc: bool) -> None:
    for tag, letter, data, count in keywords:
        if tag in ("FREQ", "RF_FREQ") and carried_fc:
            continue  # the writer declares the centre frequency itself
        if not writer.add_keyword(tag, letter, data, count):
            log.warning("the keyword %r cannot be carried into BLUE; left out", tag)
