"""The quennel command line.

Each subcommand lives in its own module, listed in SUBCOMMANDS; a module provides
`add_parser(subparsers)`, which adds its parser and sets `run(args)` as its default. `run`
returns the exit status (None for 0) and reports failures by raising QuennelError. Every
subcommand has -q/--quiet, -v/--verbose and --version, and its help ends with its exit
statuses (EXIT_STATUS unless it passes exit_status= to add_parser).
"""

import argparse
import contextlib
import importlib
import logging
import signal
import sys
import threading

from ..errors import FramingError, QuennelError, os_error_text

SUBCOMMANDS = (
    "quennel.cli.template",
    "quennel.cli.gen",
    "quennel.cli.render",
    "quennel.cli.check",
    "quennel.cli.info",
    "quennel.cli.verify",
    "quennel.cli.follow",
    "quennel.cli.convert",
    "quennel.cli.plot",
    "quennel.cli.sweep",
    "quennel.cli.dataset",
)


EXIT_STATUS = """exit status:
  0    success
  1    failure: a file that cannot be read or written, a scene or capture that cannot be used, no room
  2    usage error: an option or argument that cannot be used as given (the message says which)
  130  stopped by Ctrl-C (143 by SIGTERM, 129 by SIGHUP); unfinished outputs are removed"""


class _Formatter(argparse.HelpFormatter):
    """Wraps each line of a text on its own; lines that start with a space are kept as they are."""

    def _fill_text(self, text, width, indent):
        fill = super()._fill_text
        return "\n".join(indent + line if line.startswith(" ") or not line else fill(line, width, indent)
                         for line in text.splitlines())


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line that points at the help."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, formatter_class=_Formatter, **kwargs)

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _CommandParser(_Parser):
    """A subcommand's parser: the options every command has, and its exit statuses after its help."""

    def __init__(self, *args, exit_status: str = EXIT_STATUS, epilog: str | None = None, **kwargs):
        super().__init__(*args, epilog=f"{epilog}\n\n{exit_status}" if epilog else exit_status, **kwargs)
        self.add_argument("-q", "--quiet", action="store_true",
                          help="errors only: no summary, warnings or progress display")
        self.add_argument("-v", "--verbose", action="count", default=0,
                          help="say more on standard error (-vv: debugging detail)")
        self.add_argument("--version", action="version", version=f"quennel {_version()}")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quennel", description="Test signals for radio work: render scenes, "
                     "write, read, follow, convert and plot captures.", epilog=EXIT_STATUS)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_CommandParser)
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
def _stopping_signals_raise(args):
    """SIGTERM and SIGHUP raise Stopped while the command runs (SIGINT raises
    KeyboardInterrupt already), unless the command handles them itself (args.own_signals);
    the previous handlers come back after."""
    if getattr(args, "own_signals", False) or threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {sig: signal.signal(sig, _raise_stopped) for sig in STOPPING_SIGNALS}
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def _log_to_stderr(command: str, quiet: bool, verbose: int) -> None:
    """The package's log messages go to standard error as "quennel COMMAND: message"."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(f"quennel {command}: %(message)s"))
    log = logging.getLogger("quennel")
    log.handlers = [handler]
    log.propagate = False
    log.setLevel(logging.ERROR if quiet else (logging.WARNING, logging.INFO, logging.DEBUG)[min(verbose, 2)])


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    _log_to_stderr(args.command, args.quiet, args.verbose)
    try:
        with _stopping_signals_raise(args):
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
    except OSError as error:
        # A file that failed under the command, such as a read error in a capture.
        print(f"quennel {args.command}: {os_error_text(error)}", file=sys.stderr)
        return 1
