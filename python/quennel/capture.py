"""Captures through the capture library's C interface: names and formats, opening,
writing, SigMF sidecars and keywords."""

import contextlib
import ctypes
import json
import os
import shutil
import struct
import sys
import tempfile

import numpy as np

from ._native import libc, names, take_text, tolvane_lib
from .errors import CaptureError, UsageError, os_error_text

FORMATS = names("_enum_Reader_ftype")  # index = file type code of the capture library
SAMPLE_TYPES = names("_enum_Reader_stype")  # index = sample type code
WRITTEN_SAMPLE_TYPES = SAMPLE_TYPES[:7]  # the complex types come first; real ones are only read
ENDIANS = names("_enum_Reader_endian")

BYTES_PER_SAMPLE = dict(zip(SAMPLE_TYPES, (8, 16, 8, 4, 2, 2, 4, 4, 8, 4, 2, 1, 1, 2)))
BLUE_DATA_START = 512  # the writer's attached BLUE payload follows the 512-byte header
_KEYWORD_FORMATS = {"B": "b", "I": "h", "L": "i", "T": "i", "X": "q", "F": "f", "D": "d"}

_EXTENSION_FORMATS = {
    ".sigmf-data": "sigmf", ".sigmf-meta": "sigmf", ".sigmf": "sigmf",
    ".blue": "blue", ".tmp": "blue", ".prm": "blue", ".cdif": "blue",
    ".csv": "csv",
    ".raw": "raw", ".iq": "raw", ".bin": "raw", ".dat": "raw", ".cfile": "raw",
    ".cf32": "raw", ".cf64": "raw", ".ci32": "raw", ".ci16": "raw", ".ci8": "raw",
    ".cs16": "raw", ".cs8": "raw", ".cu8": "raw", ".cu16": "raw",
}
RAW_EXTENSIONS = tuple(extension for extension, fmt in _EXTENSION_FORMATS.items() if fmt == "raw")
# The sample type a raw capture's extension names, as SDR programs name their files.
_EXTENSION_SAMPLE_TYPES = {".cs8": "ci8", ".ci8": "ci8", ".cs16": "ci16", ".ci16": "ci16", ".ci32": "ci32",
                           ".cf32": "cf32", ".cfile": "cf32", ".cf64": "cf64", ".cu8": "cu8", ".cu16": "cu16"}


STANDARD_STREAM = "-"  # as a capture path: standard input or output, for raw and CSV samples
STANDARD_OUTPUT = "/dev/stdout"

# ---- names ----

def format_from_name(path: str) -> str | None:
    """The capture format a file name implies, or None."""
    return _EXTENSION_FORMATS.get(os.path.splitext(path)[1].lower())


def output_capture(path: str, fmt: str | None) -> tuple[str, str]:
    """(path to write, format): the format given, or the one the name's extension implies.

    A SigMF capture is written as NAME.sigmf-data beside NAME.sigmf-meta, so naming either
    file (or NAME.sigmf) writes both."""
    if path == STANDARD_STREAM:
        if fmt not in ("raw", "csv"):
            raise UsageError("standard output (-) takes raw or CSV samples: give --format raw or --format csv")
        if sys.stdout.isatty():
            raise UsageError("standard output is a terminal: redirect it (> FILE, | PROGRAM) or name a file")
        return path, fmt
    base, extension = os.path.splitext(path)
    extension = extension.lower()
    if fmt is None:
        fmt = format_from_name(path)
        if fmt is None:
            raise UsageError(f"cannot tell the capture format of {path!r} from its name; "
                             "give --format raw|csv|blue|sigmf")
    if fmt == "sigmf":
        if extension in (".sigmf-meta", ".sigmf"):
            return base + ".sigmf-data", fmt
        if extension != ".sigmf-data":
            raise UsageError(f"a SigMF capture is named NAME.sigmf-data, not {path!r}")
    return path, fmt


def _extension(path: str) -> str:
    return os.path.splitext(path)[1].lower()


def written_sample_type(path: str, fmt: str, given: str | None, default: str = "cf32") -> str:
    """The sample type to write the capture at path with: the one a raw capture's name
    implies (x.cs8: ci8, x.cs16: ci16, x.cu8: cu8, x.cf32 and x.cfile: cf32), else given, else
    default. A given type the name contradicts is refused."""
    extension = _extension(path)
    if fmt != "raw":
        return given or default
    implied = _EXTENSION_SAMPLE_TYPES.get(extension)
    if implied and given and given != implied:
        raise UsageError(f"{path}: {extension} names {implied} samples, not {given}; drop --sample-type "
                         "or rename the output")
    return implied or given or default


def read_sample_type(path: str, given: str | None) -> str:
    """The sample type to read a headerless capture at path as: given, else the one its
    name implies (see written_sample_type), else cf32."""
    extension = _extension(path)
    return given or _EXTENSION_SAMPLE_TYPES.get(extension, "cf32")


def capture_data_path(path: str) -> str:
    """The file the reader opens for path (NAME.sigmf-meta and NAME.sigmf mean the data file)."""
    base, extension = os.path.splitext(path)
    return base + ".sigmf-data" if extension.lower() in (".sigmf-meta", ".sigmf") else path


def input_capture(path: str) -> str:
    """The file the reader opens for path, which must exist (see capture_data_path)."""
    path = capture_data_path(path)
    if not os.path.exists(path):
        raise CaptureError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CaptureError(f"{path}: is a folder, not a capture")
    return path


def detached_payload(header_path: str) -> str:
    """The payload file beside a detached BLUE header file: its base name + ".det"."""
    return os.path.splitext(header_path)[0] + ".det"


def sigmf_meta_path(data_path: str) -> str:
    return os.path.splitext(data_path)[0] + ".sigmf-meta"


def capture_companions(fmt: str, detached: bool = False):
    """The function listing the files the writer puts beside a capture's named file (the
    SigMF sidecar, a detached BLUE payload), or None when there are none."""
    if fmt == "sigmf":
        return lambda path: [sigmf_meta_path(path)]
    if fmt == "blue" and detached:
        return lambda path: [detached_payload(path)]
    return None


def capture_bytes(fmt: str, sample_type: str, count: int) -> int:
    """The bytes count samples take in a binary capture (the BLUE header included)."""
    header = BLUE_DATA_START if fmt == "blue" else 0
    return header + count * BYTES_PER_SAMPLE[sample_type]


# ---- reading ----

@contextlib.contextmanager
def spooled_input(path: str):
    """path itself, or for "-" a temporary file holding the whole of standard input (raw or
    CSV samples, raw ones read as the name .iq implies: cf32 unless told otherwise)."""
    if path != STANDARD_STREAM:
        yield path
        return
    with tempfile.TemporaryDirectory(prefix="quennel-stdin-") as folder:
        copy = os.path.join(folder, "standard-input.iq")
        with open(copy, "wb") as file:
            shutil.copyfileobj(sys.stdin.buffer, file, 1 << 20)
        yield copy


def open_reader(path: str, sample_type: str | None = None, endian: str = "le", fmt: str | None = None):
    """A tolvane.Reader on the capture at path, or a CaptureError saying why not.

    sample_type and endian describe a headerless capture (see read_sample_type). Content
    that is not CSV, BLUE or SigMF is taken for raw samples only under a raw name (x.iq,
    x.cs16 ...) or when fmt is "raw"."""
    import tolvane

    path = input_capture(path)
    sample_type = read_sample_type(path, sample_type)
    try:
        reader = tolvane.Reader(path, sample_type=sample_type, endian=endian)
    except OSError as error:
        raise CaptureError(os_error_text(error)) from None
    except ValueError as error:
        raise CaptureError(f"{path}: {error}") from None
    if reader.file_type == "raw" and fmt != "raw" and _extension(path) not in RAW_EXTENSIONS:
        reader.close()
        raise CaptureError(f"{path}: not a capture quennel can read: the content is not CSV, BLUE or SigMF, and "
                           f"raw samples are read only from {', '.join(RAW_EXTENSIONS)} files or with "
                           "--format raw")
    return reader


def payload_shortfall(path: str, reader) -> tuple[int, int] | None:
    """(declared, present): the samples a BLUE header or SigMF metadata declares and those
    the data holds, when it holds fewer (a cut copy, a writer that died); else None."""
    if reader.file_type == "blue":
        declared, present = reader.declared_samples, reader.num_samples
        return (declared, present) if present < declared else None
    if reader.file_type == "sigmf":
        declared = _sigmf_described_samples(sigmf_meta_path(path))
        return (declared, reader.num_samples) if declared > reader.num_samples else None
    return None


def _sigmf_described_samples(meta_path: str) -> int:
    """The end of the last sample SigMF metadata describes (captures and annotations); 0 when
    it cannot be read."""
    try:
        with open(meta_path, encoding="utf-8") as file:
            document = json.load(file)
        entries = list(document.get("captures", [])) + list(document.get("annotations", []))
    except (OSError, ValueError, AttributeError, TypeError):
        return 0
    end = 0
    for entry in entries:
        if isinstance(entry, dict):
            start, count = entry.get("core:sample_start", 0), entry.get("core:sample_count", 0)
            if isinstance(start, int) and isinstance(count, int) and not isinstance(count, bool):
                end = max(end, start + max(count, 0))
    return end


def capture_keywords(path: str) -> list[tuple[str, str, bytes, int]]:
    """The keywords of a capture with their type letters: (tag, letter, values in host
    byte order, count), in file order."""
    lib = tolvane_lib()
    reader = lib.tolvane_create(os.fsencode(path), 0, 0)
    if not reader:
        return []
    try:
        keywords = []
        for index in range(lib.tolvane_num_keywords(reader)):
            entry = lib.tolvane_keyword(reader, index).contents
            data = ctypes.string_at(entry.data, entry.count * entry.elem_size) if entry.data else b""
            keywords.append((entry.tag.decode(errors="replace"), entry.type.decode(), data, entry.count))
        return keywords
    finally:
        lib.tolvane_destroy(reader)


def keyword_value(letter: str, data: bytes, count: int):
    """A keyword's value as JSON can hold it: text, a number, or a list of numbers."""
    if letter == "A":
        return data.decode(errors="replace")
    values = list(struct.unpack(f"={count}{_KEYWORD_FORMATS[letter]}", data))
    return values[0] if count == 1 else values


# ---- writing ----

class Writer:
    """A capture being written; close() finishes it and reports how it went."""

    def __init__(self, path: str, fmt: str, sample_type: str = "cf32", endian: str = "le",
                 fs: float = 0.0, fc: float = 0.0, t0: float = 0.0, atten_db: float = 0.0, detached: bool = False,
                 name: str | None = None):
        """A detached BLUE capture (fmt "blue") has its header at path and its samples in
        NAME.det beside it. Messages call the capture name (default path): the name it
        will have when path is a temporary one."""
        self.path, self.fmt, self.sample_type, self.endian = path, fmt, sample_type, endian
        self.name = name or path
        self.fs, self.fc, self.t0 = fs, fc, t0
        self._lib = tolvane_lib()
        stype, big_endian = SAMPLE_TYPES.index(sample_type), int(endian == "be")
        if detached:
            # The sample data: the payload file, or the attached payload after the header.
            self.data_file, self.data_start = detached_payload(path), 0
            self._handle = self._lib.wfm_writer_create_detached(os.fsencode(path), stype, big_endian, 0, fs, fc,
                                                                atten_db, t0)
        else:
            self.data_file, self.data_start = path, BLUE_DATA_START if fmt == "blue" else 0
            self._handle = self._lib.wfm_writer_create(os.fsencode(path), FORMATS.index(fmt), stype, big_endian,
                                                       0, 0, fs, fc, atten_db, t0)
        if not self._handle:
            raise CaptureError(f"{self.name}: cannot create the capture")
        self._lib.wfm_writer_track_clipping(self._handle, 1)
        self.samples = 0

    def write(self, samples: np.ndarray) -> None:
        samples = np.ascontiguousarray(samples, dtype=np.complex64)
        stored = self._lib.wfm_writer_write(self._handle, samples.ctypes.data, samples.size)
        self.samples += stored
        if stored != samples.size:
            raise CaptureError(f"{self.name}: write failed (disk full?)")

    def flush(self) -> None:
        """Hands what was written to the file system, for readers following the capture."""
        if self._lib.wfm_writer_flush(self._handle) != 0:
            raise CaptureError(f"{self.name}: write failed")

    def add_keyword(self, tag: str, type_letter: str, values: bytes, count: int) -> bool:
        """Adds a BLUE keyword (values in host byte order); False when it is refused."""
        return self._lib.wfm_writer_add_keyword(self._handle, tag.encode(), type_letter.encode(), values,
                                                count) == 0

    def close(self) -> dict:
        """Finishes the capture; returns the peak and clipping it saw."""
        if not self._handle:
            return {}
        lib, handle = self._lib, self._handle
        summary = {"samples": self.samples, "peak_dbfs": lib.wfm_writer_get_peak_dbfs(handle),
                   "clipped": bool(lib.wfm_writer_get_clipped(handle)),
                   "clip_fraction": lib.wfm_writer_clip_fraction(handle)}
        self._handle = None
        if lib.wfm_writer_close(handle) != 0:
            raise CaptureError(f"{self.name}: the capture could not be finished")
        return summary

    def abandon(self) -> None:
        """Closes after a failure; the capture is left as far as it got."""
        if self._handle:
            self._lib.wfm_writer_close(self._handle)
            self._handle = None


def replace_file(path: str, text: str) -> None:
    """Writes text to a fresh temporary file beside path and renames it into place, so that
    path holds either what it held before or the whole new text."""
    for attempt in range(100):
        temp = f"{path}.tmp{os.getpid()}_{attempt}"
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
    else:
        raise FileExistsError(f"{path}: no free temporary name beside it")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as file:
            file.write(text)
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def sigmf_meta_text(sample_type: str, endian: str, segments=None, count: int = 0, fs: float = 0.0,
                    fc: float = 0.0, t0: float = 0.0) -> str | None:
    """The capture library's SigMF metadata text, annotating every burst of the given scene
    segments (none when segments is None); None when it cannot be built."""
    lib = tolvane_lib()
    return take_text(lib.wfm_sigmf_meta_json(SAMPLE_TYPES.index(sample_type), int(endian == "be"), segments,
                                             count, fs, fc, t0), libc().free)


def write_sigmf_meta(writer: Writer, segments=None, count: int = 0, extra_global: dict | None = None,
                     annotations: list | None = None, extensions: list = ()) -> None:
    """Replaces the sidecar of a finished SigMF capture by one annotating the scene's segments
    (or holding the given annotations), with extra_global members in "global". Extensions
    are declared for the given ones and for the namespaces of the extra members (other than
    "core", which is SigMF's own)."""
    text = sigmf_meta_text(writer.sample_type, writer.endian, segments, count, writer.fs, writer.fc, writer.t0)
    if text is None:
        raise CaptureError(f"{writer.name}: cannot build the SigMF metadata")
    if extra_global or annotations is not None or extensions:
        document = json.loads(text)
        glob = document["global"]
        declared = glob.setdefault("core:extensions", [])
        wanted = list(extensions) + [{"name": key.split(":", 1)[0], "version": "1.0.0", "optional": True}
                                     for key in extra_global or {} if not key.startswith("core:")]
        for extension in wanted:
            if isinstance(extension, dict) and all(e.get("name") != extension.get("name") for e in declared):
                declared.append(extension)
        glob.update(extra_global or {})
        if annotations is not None:
            document["annotations"] = annotations
        text = json.dumps(document)
    try:
        replace_file(sigmf_meta_path(writer.path), text)
    except OSError as error:
        raise CaptureError(f"{sigmf_meta_path(writer.name)}: {error.strerror or error}") from None
