"""Points the virtual environment at the build tree (usage: link-venv.py [PATH...]).

Writes a launcher in its bin folder for every command that pyproject.toml declares
(quennel), as an install of the package would, and, given paths, quennel-dev.pth into its
site-packages, so that it imports the freshly built modules and the quennel sources in place.
"""
import sys
import sysconfig
import tomllib
from pathlib import Path


def write_if_changed(path: Path, text: str, mode: int = 0o644) -> None:
    if not path.exists() or path.read_text() != text:
        path.write_text(text)
    path.chmod(mode)


def launcher(entry_point: str) -> str:
    module, function = entry_point.split(":")
    return (f"#!{sys.executable}\n"
            "import sys\n"
            f"from {module} import {function}\n"
            f"sys.exit({function}())\n")


if sys.argv[1:]:
    write_if_changed(Path(sysconfig.get_paths()["purelib"]) / "quennel-dev.pth",
                     "".join(f"{p}\n" for p in sys.argv[1:]))

project = tomllib.loads((Path(__file__).parent.parent / "pyproject.toml").read_text())["project"]
for command, entry_point in project.get("scripts", {}).items():
    write_if_changed(Path(sysconfig.get_paths()["scripts"]) / command, launcher(entry_point), 0o755)
