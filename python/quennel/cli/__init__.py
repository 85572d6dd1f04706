"""The quennel command line.

Each subcommand lives in its own module, listed in SUBCOMMANDS; a module provides
`add_parser(subparsers)`, which adds its parser and sets `run(args)` as its default. `run`
returns the exit status (None for 0) and reports failures by raising QuennelError.
"""

import argparse
import importlib
import sys

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


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    try:
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
    except BrokenPipeError:
        # The reader of our output went away (quennel template | head); say nothing more.
        sys.stderr.close()
        return 1
