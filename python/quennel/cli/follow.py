"""quennel follow: read a capture that another program is still writing."""

import ctypes
import signal
import time

from .._native import tolvane_lib
from .._progress import Progress
from ..capture import open_reader
from ..interrupt import interrupt as flag
from ..units import si, whole_count
from ._common import add_capture_hints, add_raw_format

BLOCK = 1 << 16
STATUS = {"eof": 0, "timeout": 3, "interrupted": 130, "truncated": 1}
_ENDINGS = {
    "eof": "the writer closed the capture",
    "timeout": "no new samples within the timeout",
    "interrupted": "stopped on request",
    "truncated": "the capture became shorter than what was read (cut, or written anew)",
}


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "follow", help="follow a capture while it is being written",
        description="Read CAPTURE as another program writes it, showing the samples received and "
                    "the rate, until the writer closes it (BLUE captures carry an end-of-capture "
                    "marker), no new samples arrive within --timeout, the capture becomes shorter "
                    "than what was read (its writer cut it or began it anew: \"truncated\"), or "
                    "Ctrl-C / SIGTERM. "
                    "quennel render and gen put a capture under its name only once it is complete; "
                    "give them --live to write it in place for following (a GNU Radio capture_sink "
                    "always writes in place).",
        exit_status="exit status:\n  0    the writer closed the capture\n"
                    "  1    failure (the message says why), or the capture was truncated\n"
                    "  2    usage error\n  3    no new samples within --timeout\n  130  stopped by Ctrl-C or SIGTERM")
    parser.add_argument("capture", metavar="CAPTURE", help="capture file being written")
    add_capture_hints(parser)
    add_raw_format(parser)
    parser.add_argument("--timeout", type=whole_count, default=0, metavar="MS",
                        help="give up when no samples arrive for MS milliseconds (default 0: wait for ever)")
    parser.add_argument("--grace", type=whole_count, default=500, metavar="MS",
                        help="after Ctrl-C, wait up to MS milliseconds for the writer to close the capture "
                             "(default 500; 0 waits for the end-of-capture marker)")
    parser.set_defaults(run=run, own_signals=True)


class _SignalGuard:
    """Ctrl-C and SIGTERM raise the process-wide interrupt flag, which stops the follow-read,
    instead of ending the process; the previous handlers come back on exit."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __enter__(self):
        # Python's own SIGINT handler would turn the signal into KeyboardInterrupt after the
        # read; ignoring it at the Python level leaves the guard's handler alone in charge.
        self._python_handlers = {sig: signal.signal(sig, signal.SIG_IGN) for sig in self.SIGNALS}
        signals = (ctypes.c_int * len(self.SIGNALS))(*self.SIGNALS)
        self._guard = tolvane_lib().qn_interrupt_guard_create(signals, len(self.SIGNALS), 0)
        if not self._guard:
            self._restore_python_handlers()
            raise OSError("cannot install the signal handlers")
        return self

    def __exit__(self, *exc):
        tolvane_lib().qn_interrupt_guard_destroy(self._guard)
        self._restore_python_handlers()
        flag.resume()

    def _restore_python_handlers(self):
        for sig, handler in self._python_handlers.items():
            signal.signal(sig, handler if handler is not None else signal.SIG_DFL)


def run(args) -> int:
    received = 0
    start = time.monotonic()
    with open_reader(args.capture, args.sample_type, args.endian, args.in_format) as reader:
        reader.follow_timeout_ms = max(args.timeout, 0)
        reader.follow_grace_ms = max(args.grace, 0)
        status = Progress(f"follow {args.capture}:", None)
        with _SignalGuard():
            stop_deadline = None
            while True:
                received += len(reader.read_follow(BLOCK))
                ending = reader.ending
                if ending != "none":
                    break
                status.update(received)
                # Samples that keep arriving never let the read wait, so a stop request is
                # also honoured here once the grace has run out.
                if flag.interrupted():
                    now = time.monotonic()
                    stop_deadline = stop_deadline or now + args.grace / 1000
                    if args.grace > 0 and now >= stop_deadline:
                        ending = "interrupted"
                        break
        status.finish()
    elapsed = time.monotonic() - start
    rate = f", {si(received / elapsed, 'sample/s')}" if elapsed > 0 else ""
    if not args.quiet:
        print(f"{ending}: {_ENDINGS[ending]}; {received} samples in {elapsed:.2f} s{rate}")
    return STATUS[ending]
