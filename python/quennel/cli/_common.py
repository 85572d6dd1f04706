"""What the subcommands share: errors, capture formats and names, progress display."""

import os
import sys
import time

from .._native import names

FORMATS = names("_enum_Reader_ftype")  # index = file type code of the capture library
SAMPLE_TYPES = names("_enum_Reader_stype")  # index = sample type code
ENDIANS = names("_enum_Reader_endian")

_EXTENSION_FORMATS = {
    ".sigmf-data": "sigmf", ".sigmf-meta": "sigmf", ".sigmf": "sigmf",
    ".blue": "blue", ".tmp": "blue", ".prm": "blue", ".cdif": "blue",
    ".csv": "csv",
    ".raw": "raw", ".iq": "raw", ".bin": "raw", ".dat": "raw", ".cfile": "raw",
    ".cf32": "raw", ".cf64": "raw", ".ci32": "raw", ".ci16": "raw", ".ci8": "raw",
    ".cs16": "raw", ".cs8": "raw",
}


class CliError(Exception):
    """A failure reported to the user as one line on stderr, with an exit status."""

    status = 1


class InputRefused(CliError):
    """Input that cannot be used as given (a damaged recipe, a scene a plan refuses)."""

    status = 2


class FramingError(CliError):
    """Framing options the scene library refuses; the message is the library's own."""

    status = 2


def format_from_name(path: str) -> str | None:
    """The capture format a file name implies, or None."""
    return _EXTENSION_FORMATS.get(os.path.splitext(path)[1].lower())


def output_capture(path: str, fmt: str | None) -> tuple[str, str]:
    """(path to write, format): the format from --format or from the name's extension.

    A SigMF capture is written as NAME.sigmf-data beside NAME.sigmf-meta, so naming either
    file (or NAME.sigmf) writes both."""
    base, extension = os.path.splitext(path)
    extension = extension.lower()
    if fmt is None:
        fmt = format_from_name(path)
        if fmt is None:
            raise CliError(f"cannot tell the capture format of {path!r} from its name; "
                           "give --format raw|csv|blue|sigmf")
    if fmt == "sigmf":
        if extension in (".sigmf-meta", ".sigmf"):
            return base + ".sigmf-data", fmt
        if extension != ".sigmf-data":
            raise CliError(f"a SigMF capture is named NAME.sigmf-data, not {path!r}")
    return path, fmt


def capture_data_path(path: str) -> str:
    """The file the reader opens for path (NAME.sigmf-meta and NAME.sigmf mean the data file)."""
    base, extension = os.path.splitext(path)
    return base + ".sigmf-data" if extension.lower() in (".sigmf-meta", ".sigmf") else path


def input_capture(path: str) -> str:
    """The file the reader opens for path, which must exist (see capture_data_path)."""
    path = capture_data_path(path)
    if not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CliError(f"{path}: is a folder, not a capture")
    return path


def open_reader(path: str, sample_type: str = "cf32", endian: str = "le"):
    """A tolvane.Reader on the capture at path, or a CliError saying why not."""
    import tolvane

    path = input_capture(path)
    try:
        return tolvane.Reader(path, sample_type=sample_type, endian=endian)
    except (ValueError, OSError) as error:
        raise CliError(f"{path}: {error}") from None


def read_text(path: str, what: str) -> str:
    """The text of a file ("-" reads standard input)."""
    if path == "-":
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8") as file:
            return file.read()
    except FileNotFoundError:
        raise CliError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise CliError(f"{path}: is a folder, not a {what}") from None
    except UnicodeDecodeError:
        raise CliError(f"{path}: not a {what} (not UTF-8 text)") from None
    except OSError as error:
        raise CliError(f"{path}: {error.strerror}") from None


def add_capture_hints(parser) -> None:
    """--sample-type and --endian: what a headerless capture holds."""
    parser.add_argument("--sample-type", choices=SAMPLE_TYPES, default="cf32",
                        help="sample type of a headerless (raw or CSV) capture (default cf32); integer "
                             "types take 2^(n-1)-1 (32767 for ci16) as full scale, where the SigMF reference "
                             "library takes 2^(n-1)")
    parser.add_argument("--endian", choices=ENDIANS, default="le",
                        help="byte order of a headerless raw capture (default le)")


def si(value: float, unit: str) -> str:
    """value with an SI prefix: 2400000 Hz -> '2.4 MHz'."""
    magnitude = abs(value)
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if magnitude >= factor:
            return f"{value / factor:.6g} {prefix}{unit}"
    return f"{value:.6g} {unit}"


class Progress:
    """A one-line progress bar on stderr, drawn only on a terminal and only once a task
    has run for a moment, so quick commands and redirected output stay clean."""

    DELAY_S = 0.5
    PERIOD_S = 0.1
    WIDTH = 30

    def __init__(self, label: str, total: int | None, stream=None):
        self.label = label
        self.total = total  # None: unknown, shown as a count
        self.stream = stream or sys.stderr
        self.enabled = self.stream.isatty()
        self.start = time.monotonic()
        self.last_draw = 0.0
        self.drawn_width = 0

    def update(self, done: int) -> None:
        now = time.monotonic()
        if not self.enabled or now - self.start < self.DELAY_S or now - self.last_draw < self.PERIOD_S:
            return
        self.last_draw = now
        rate = si(done / (now - self.start), "sample/s")
        if not self.total:
            self.draw(f"{self.label} {done} samples  {rate}")
            return
        fraction = min(done / self.total, 1.0)
        filled = int(fraction * self.WIDTH)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.draw(f"{self.label} [{bar}] {fraction:4.0%}  {rate}")

    def draw(self, line: str) -> None:
        self.stream.write("\r" + line.ljust(self.drawn_width))
        self.stream.flush()
        self.drawn_width = max(self.drawn_width, len(line))

    def finish(self) -> None:
        if self.drawn_width:
            self.stream.write("\r" + " " * self.drawn_width + "\r")
            self.stream.flush()
