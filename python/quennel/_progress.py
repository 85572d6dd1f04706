"""The progress display of long tasks: one line on standard error, drawn by tqdm."""

import logging
import sys
from types import TracebackType
from typing import TextIO

from tqdm import tqdm

DELAY_S = 0.5  # quick tasks never draw


class Progress:
    """A task's progress on standard error: drawn only on a terminal, only once the task has
    run for half a second, cleared when it ends, and never while the package's log is held
    to errors (quennel -q)."""

    def __init__(self, label: str, total: int | None, unit: str = "sample", stream: TextIO | None = None) -> None:
        stream = stream or sys.stderr
        shown = stream.isatty() and logging.getLogger("quennel").isEnabledFor(logging.WARNING)
        self.done = 0
        self._bar = tqdm(total=total, desc=label, unit=unit, unit_scale=True, delay=DELAY_S, leave=False,
                         file=stream, disable=not shown, dynamic_ncols=True)

    def update(self, done: int) -> None:
        """The task has done this many units in all."""
        self.advance(done - self.done)

    def advance(self, count: int) -> None:
        """The task has done count more units."""
        self.done += count
        self._bar.update(count)

    def finish(self) -> None:
        self._bar.close()

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.finish()
