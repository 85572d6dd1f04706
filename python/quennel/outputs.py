"""Output files written whole or not at all.

Each file of a task is written under a temporary name in the folder of its final name and
renamed into place once every file of the task is complete; when the task fails or is
stopped, the temporary files are removed and nothing of it is left under a final name.
"""

import os
import types
from collections.abc import Callable, Iterable

from .errors import QuennelError, UsageError

DECIMAL_UNITS = ("B", "kB", "MB", "GB", "TB", "PB", "EB")


def size_text(count: int) -> str:
    """A byte count as people read it: 8.0 TB, 77 GB, 512 B."""
    value, unit = float(count), 0
    while value >= 999.5 and unit + 1 < len(DECIMAL_UNITS):
        value, unit = value / 1000, unit + 1
    if unit == 0:
        return f"{count} B"
    return f"{value:.1f} {DECIMAL_UNITS[unit]}" if value < 9.95 else f"{value:.0f} {DECIMAL_UNITS[unit]}"


def free_bytes(path: str) -> int:
    """Bytes an unprivileged writer may still use on the file system that holds path's folder."""
    stats = os.statvfs(os.path.dirname(os.path.abspath(path)))
    return stats.f_bavail * stats.f_frsize


def check_space(path: str, needed: int) -> None:
    """Refuses an output of needed bytes that the file system holding path has no room for."""
    try:
        free = free_bytes(path)
    except OSError:
        return  # a folder that cannot be asked is reported when the file is created
    if needed > free:
        raise QuennelError(f"{path}: needs {size_text(needed)}, {size_text(free)} free "
                           "(give --force to write it anyway)")


def same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


class Outputs:
    """The files one task writes, each under a temporary name until commit() renames them all
    into place. Leaving a `with` block by an exception (a signal's included) removes them.

    An existing file is replaced only when force is given; a file that is one of the task's
    inputs is never written. In place, files are written under their final names (for readers
    that follow a capture while it is written) and a failure leaves what was written."""

    def __init__(self, force: bool = False, in_place: bool = False, inputs: Iterable[str] = ()):
        self.force, self.in_place, self.inputs = force, in_place, list(inputs)
        self._renames: list[tuple[str, str]] = []  # (temporary, final), companions before their main file

    def add(self, final: str, companions: Callable[[str], list[str]] | None = None) -> str:
        """The name to write final under. companions(name) lists the files a writer puts beside
        name (a SigMF sidecar, a detached payload); they move with it."""
        names = [final] + (companions(final) if companions else [])
        for name in names:
            self._check(name)
        if self.in_place:
            return final
        temp = self._temporary_name(final)
        moved = [temp] + (companions(temp) if companions else [])
        self._renames += list(zip(moved[1:], names[1:])) + [(temp, final)]
        return temp

    def _check(self, name: str) -> None:
        for source in self.inputs:
            if same_file(name, source):
                raise UsageError(f"{name} is the input {source} itself; name another output")
        if os.path.lexists(name) and not self.force:
            if os.path.isdir(name):
                raise UsageError(f"{name}: is a folder")
            raise UsageError(f"{name} exists: give --force (-f) to replace it")

    def _temporary_name(self, final: str) -> str:
        """A fresh name beside final with final's extension (writers derive companions from it)."""
        folder, base = os.path.split(final)
        stem, extension = os.path.splitext(base)
        taken = {temp for temp, _ in self._renames}
        for attempt in range(1000):
            temp = os.path.join(folder, f".{stem}.part{os.getpid()}-{attempt}{extension}")
            if temp not in taken and not os.path.lexists(temp):
                return temp
        raise QuennelError(f"{final}: no free temporary name beside it")

    def commit(self) -> None:
        """Renames every file into place (companions before the file that names them)."""
        try:
            for temp, final in self._renames:
                if os.path.lexists(temp):
                    os.replace(temp, final)
        except OSError as error:
            self.discard()
            raise QuennelError(f"{final}: cannot put the output in place: {error.strerror}") from None
        self._renames = []

    def discard(self) -> None:
        """Removes the temporary files written so far."""
        for temp, _ in self._renames:
            try:
                os.unlink(temp)
            except OSError:
                pass
        self._renames = []

    def __enter__(self) -> "Outputs":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: types.TracebackType | None) -> None:
        if kind is None:
            self.commit()
        else:
            self.discard()
