"""quennel verify: render a capture's recipe again and compare sample for sample."""

import os
import tempfile

import numpy as np

from ..capture import input_capture, open_reader
from ..recipe import data_sha512
from ..recipe import recipe as read_recipe
from ..render import scene_composer, scene_stream, scene_writer

BLOCK = 1 << 16


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "verify", help="check a capture against its recipe",
        description="Render the recipe recorded with CAPTURE again, convert it as the writer did and "
                    "compare sample for sample; check the recorded checksum of the data. Prints "
                    "\"bit-identical\" and exits 0, or lists the differences and exits 1. A capture "
                    "without a usable recipe exits 2.",
        epilog="example: quennel verify capture.sigmf-data; quennel verify capture.iq --recipe capture.json",
        exit_status="exit status:\n  0    bit-identical\n  1    different (the differences are listed)\n"
                    "  2    cannot verify: no usable recipe, or an option that cannot be used")
    parser.add_argument("capture", metavar="CAPTURE", help="capture written by quennel render")
    parser.add_argument("--recipe", metavar="FILE", help="the recipe file of a raw or CSV capture")
    parser.set_defaults(run=run)


def run(args) -> int:
    path = input_capture(args.capture)
    recorded = read_recipe(path, args.recipe)
    options = recorded["options"]
    with open_reader(path, options["sample_type"], options["endian"], options["format"]) as reader:
        held = reader.num_samples
    # One sample more than the capture holds tells a longer rendering, whatever the
    # recipe asks for (a damaged one may ask for a scene that repeats for ever).
    bound = held + 1 if options["samples"] is None else min(options["samples"], held + 1)
    with tempfile.TemporaryDirectory(prefix="quennel-verify-") as folder:
        # Raw (or CSV) at the recorded sample type converts exactly as every format did.
        again_format = "csv" if options["format"] == "csv" else "raw"
        again = os.path.join(folder, f"again.{again_format}")
        _render_again(recorded["scene"], {**options, "samples": bound}, again, again_format)
        report = compare(path, again, options["sample_type"], options["endian"], options["format"])
    lines = report.lines()
    checksum_ok = recorded["sha512"] is None or data_sha512(path) == recorded["sha512"]
    if not checksum_ok:
        lines.append("checksum: the data differs from the checksum recorded when it was written")
    if report.identical and checksum_ok:
        checksum = ", checksum matches" if recorded["sha512"] else ""
        if not args.quiet:
            print(f"bit-identical: {report.samples} samples{checksum}")
        return 0
    if not args.quiet:
        print("\n".join(lines))
    return 1


def _render_again(scene: str, options: dict, path: str, fmt: str) -> None:
    with scene_composer(scene, "the recorded scene", recorded=True) as composer:
        write_samples, _count = scene_stream(composer, options, "the recorded scene")
        writer = scene_writer(path, fmt, composer, options)
        try:
            write_samples(writer)
            writer.close()
        except BaseException:
            writer.abandon()
            raise


class Comparison:
    """Differences between two sample streams, gathered block by block."""

    def __init__(self):
        self.samples = 0  # compared pairs
        self.differing = 0
        self.first = None  # (index, recorded, rendered)
        self.largest = 0.0
        self.lengths = (0, 0)

    @property
    def identical(self) -> bool:
        return self.differing == 0 and self.lengths[0] == self.lengths[1]

    def add(self, recorded: np.ndarray, rendered: np.ndarray) -> None:
        n = min(len(recorded), len(rendered))
        recorded, rendered = recorded[:n], rendered[:n]
        differ = recorded.view(np.uint64) != rendered.view(np.uint64)  # bit patterns, NaN included
        count = int(np.count_nonzero(differ))
        if count:
            where = np.flatnonzero(differ)
            if self.first is None:
                i = int(where[0])
                self.first = (self.samples + i, complex(recorded[i]), complex(rendered[i]))
            gaps = np.abs(recorded[where].astype(np.complex128) - rendered[where].astype(np.complex128))
            self.largest = max(self.largest, float(np.max(gaps)) if not np.isnan(gaps).all() else float("nan"))
        self.differing += count
        self.samples += n

    def lines(self) -> list[str]:
        lines = []
        if self.differing:
            index, recorded, rendered = self.first
            lines.append(f"{self.differing} of {self.samples} samples differ; first at sample {index}: "
                         f"{recorded:.9g} in the capture, {rendered:.9g} from the recipe; "
                         f"largest difference {self.largest:.6g}")
        held, made = self.lengths
        if held < made:
            lines.append(f"the capture holds {held} samples, the recipe makes more")
        elif held > made:
            lines.append(f"the capture holds {held} samples, the recipe makes {made}")
        return lines


def compare(capture: str, again: str, sample_type: str, endian: str, fmt: str) -> Comparison:
    """Compares the samples of a capture with those rendered again, block by block."""
    result = Comparison()
    with (open_reader(capture, sample_type, endian, fmt) as recorded,
          open_reader(again, sample_type, endian) as rendered):
        totals = [0, 0]
        while True:
            a, b = recorded.read(BLOCK), rendered.read(BLOCK)
            if not len(a) and not len(b):
                break
            totals[0] += len(a)
            totals[1] += len(b)
            result.add(a, b)
            if not len(a) or not len(b):  # one ended: count the rest of the other
                rest = recorded if len(b) == 0 else rendered
                while len(more := rest.read(BLOCK)):
                    totals[0 if rest is recorded else 1] += len(more)
                break
        result.lengths = tuple(totals)
    return result
