"""What the subcommands share: reading argument files, capture options, one-line summaries."""

import argparse
import sys
import time
from argparse import ArgumentParser, Namespace, _ArgumentGroup
from typing import TYPE_CHECKING, Any

from ..capture import ENDIANS, SAMPLE_TYPES
from ..errors import QuennelError

if TYPE_CHECKING:
    from argparse import _SubParsersAction

    Subparsers = _SubParsersAction[ArgumentParser]
else:
    Subparsers = Any

__all__ = ["Namespace", "Subparsers"]


def read_text(path: str, what: str) -> str:
    """The text of a file ("-" reads standard input)."""
    if path == "-":
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8") as file:
            return file.read()
    except FileNotFoundError:
        raise QuennelError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise QuennelError(f"{path}: is a folder, not a {what}") from None
    except UnicodeDecodeError:
        raise QuennelError(f"{path}: not a {what} (not UTF-8 text)") from None
    except OSError as error:
        raise QuennelError(f"{path}: {error.strerror}") from None


def start_time(text: str) -> float:
    """A start time option: UNIX seconds, or 'now'."""
    if text == "now":
        return time.time()
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not UNIX seconds or 'now': {text!r}") from None


def add_capture_hints(parser: ArgumentParser | _ArgumentGroup) -> None:
    """--sample-type and --endian: what a headerless capture holds."""
    parser.add_argument("--sample-type", choices=SAMPLE_TYPES,
                        help="sample type of a headerless (raw or CSV) capture (default: the one a raw name "
                             "implies, as SDR programs name files: .cs8 ci8, .cs16 ci16, .cu8 cu8 (RTL-SDR), .cf32 and .cfile "
                             "cf32; "
                             "else cf32); integer types take 2^(n-1)-1 (32767 for ci16) as full scale, where the "
                             "SigMF reference library takes 2^(n-1)")
    parser.add_argument("--endian", choices=ENDIANS, default="le",
                        help="byte order of a headerless raw capture (default le)")


def add_raw_format(parser: ArgumentParser | _ArgumentGroup, flag: str = "--format") -> None:
    """The option that reads a capture of any name as raw samples."""
    parser.add_argument(flag, dest="in_format", choices=("raw",),
                        help="read a capture whose content is not CSV, BLUE or SigMF as raw samples whatever "
                             "its name (without it only .iq, .raw, .bin, .dat, .cfile, .cs8, .cs16, .cf32 ... "
                             "names are)")


def describe(path: str, fmt: str, sample_type: str, summary: dict[str, Any]) -> str:
    """One line on a written capture: size, format, peak and clipping."""
    peak = summary["peak_dbfs"]
    peak_text = "silent" if peak == float("-inf") else f"peak {peak:.2f} dBFS"
    if summary["clipped"]:
        clip_text = f"CLIPPED {summary['clip_fraction']:.3%} of components"
    else:
        clip_text = "no clipping" if sample_type.startswith("ci") else "float samples, no clipping"
    shown = "standard output" if path == "-" else path
    return f"wrote {summary['samples']} samples to {shown} ({fmt}, {sample_type}): {peak_text}, {clip_text}"
