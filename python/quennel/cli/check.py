"""quennel check: find the mistakes the scene library would pass over in silence."""

from ..errors import QuennelError
from ..scene import Composer
from ..schema import scene_problems
from ._common import Namespace, Subparsers, read_text


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "check", help="check scenes against the scene language",
        description="Check each SCENE (JSON, '-' for standard input) against the scene language's "
                    "schema and print one line per problem: where it is (a JSON path), what was found, "
                    "what is allowed there and, for a near miss, the name that was probably meant. A "
                    "scene the schema allows is also composed, to report what the scene library refuses "
                    "(framing, noise levels). The scene library itself reads leniently (a misspelt key or "
                    "name takes its default), and render, gen and sweep print the same problems as "
                    "warnings (errors with --strict). The schema ships with quennel as "
                    "quennel/schemas/scene.schema.json: name it under \"$schema\" in a scene and editors "
                    "complete and check its keys.",
        epilog="exit status: 0 no problem, 1 a problem found or a scene unreadable. "
               "example: quennel check scene.json other.json")
    parser.add_argument("scenes", metavar="SCENE", nargs="+", help="scene files")
    parser.set_defaults(run=run)


def run(args: Namespace) -> int | None:
    failed = False
    for name in args.scenes:
        for line in scene_report(name):
            print(line)
            failed = True
    return 1 if failed else None


def scene_report(name: str) -> list[str]:
    """The problem lines of one scene file."""
    try:
        text = read_text(name, "scene")
    except QuennelError as error:
        return [str(error)]
    problems = scene_problems(text)
    if problems:
        return [f"{name}: {problem}" for problem in problems]
    try:
        Composer(text, name).close()
    except QuennelError as error:
        return [str(error) if str(error).startswith(name) else f"{name}: {error}"]
    return []
