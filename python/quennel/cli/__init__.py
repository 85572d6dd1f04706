"""The quennel command line.

Each subcommand lives in its own module, listed in SUBCOMMANDS; a module provides
`add_parser(subparsers)`, which adds its parser and sets `run(args)` as its default. `run`
returns the exit status (None for 0) and reports failures by raising QuennelError.
"""

import argparse
import contextlib
import importlib
import signal
import sys
import threading

from ..errors import FramingError, QuennelError

SUBCOMMANDS = (
    "quennel.cli.template",
    "quennel.cli.gen",
    "quennel.cli.render",
    "quennel.cli.info",
    "quennel.cli.verify",
    "quennel.cli.follow",
    "quennel.cli.convert",
    "quennel.cli.plot",
    "quennel.cli.sweep",
)


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line that points at the help."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quennel", description="Test signals for radio work: render scenes, "
                     "write, read, follow, convert and plot captures.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    subparsers.required = True
    for name in SUBCOMMANDS:
        importlib.import_module(name).add_parser(subparsers)
    return parser


def _version() -> str:
    from .. import __version__

    return __version__


class Stopped(BaseException):
    """A signal that ends the command: raised in the main thread so that unfinished outputs
    are removed on the way out."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


STOPPING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


def _raise_stopped(signum, _frame):
    raise Stopped(signum)


@contextlib.contextmanager
def _stopping_signals_raise():
    """SIGTERM and SIGHUP raise Stopped while the command runs (SIGINT raises
    KeyboardInterrupt already); the previous handlers come back after."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {sig: signal.signal(sig, _raise_stopped) for sig in STOPPING_SIGNALS}
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    try:
        with _stopping_signals_raise():
            return args.run(args) or 0
    except FramingError as error:
        print(error, file=sys.stderr)  # the scene library's own words, which name our options
        return error.status
    except QuennelError as error:
        print(f"quennel {args.command}: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print(f"quennel {args.command}: interrupted", file=sys.stderr)
        return 130
    except Stopped as stop:
        print(f"quennel {args.command}: stopped by {signal.Signals(stop.signum).name}", file=sys.stderr)
        return 128 + stop.signum
    except BrokenPipeError:
        # The reader of our output went away (quennel template | head); say nothing more.
        sys.stderr.close()
        return 1
