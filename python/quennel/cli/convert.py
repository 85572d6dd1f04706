"""quennel convert: any capture the reader opens into any format the writer writes."""

import datetime
import json
import logging
import math

import numpy as np

from .._progress import Progress
from ..capture import (
    ENDIANS,
    FORMATS,
    SAMPLE_TYPES,
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
    write_sigmf_meta,
    written_sample_type,
)
from ..outputs import Outputs, check_space
from ._common import add_raw_format, describe

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
    parser.add_argument("input", metavar="IN", help="capture to read")
    parser.add_argument("output", metavar="OUT", help="capture to write; format from the name unless --format")
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
    with open_reader(args.input, args.in_sample_type, args.in_endian, args.in_format) as reader:
        fs = reader.fs if reader.fs_source != "none" else 0.0
        fc = reader.fc if reader.fc_source != "none" else 0.0
        source_meta = _sigmf_document(args.input) if reader.file_type == "sigmf" else {}
        t0 = reader.t0 if reader.t0_source != "none" else _sigmf_start_time(source_meta)
        sample_type = written_sample_type(path, fmt, args.sample_type, reader.sample_type)
        _warn_if_truncated(args.input, reader)
        keywords = capture_keywords(input_capture(args.input)) if reader.keywords else []
        with Outputs(args.force, inputs=capture_files(input_capture(args.input), reader)) as outputs:
            data_path = outputs.add(path, capture_companions(fmt))
            if fmt != "csv" and not args.force:
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
    if not args.quiet:
        print(describe(path, fmt, sample_type, summary))


def _warn_if_truncated(name: str, reader) -> None:
    shortfall = payload_shortfall(input_capture(name), reader)
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
