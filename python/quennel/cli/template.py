"""quennel template: print the example scene."""

from ..scene import template_json
from ._common import Namespace, Subparsers


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "template", help="print an example scene",
        description="Print an example scene (a tone; QPSK bits with RRC shaping; BPSK plus a tone) "
                    "as JSON, a starting point for your own scenes.")
    parser.set_defaults(run=run)


def run(args: Namespace) -> None:
    print(template_json(), end="\n")
