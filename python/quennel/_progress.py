"""The progress display of long tasks."""

import sys
import time
from typing import TextIO

from .units import si


class Progress:
    """A one-line progress bar on stderr, drawn only on a terminal and only once a task
    has run for a moment, so quick commands and redirected output stay clean."""

    DELAY_S = 0.5
    PERIOD_S = 0.1
    WIDTH = 30

    def __init__(self, label: str, total: int | None, stream: TextIO | None = None):
        self.label = label
        self.total = total  # None: unknown, shown as a count
        self.stream = stream or sys.stderr
        self.enabled = self.stream.isatty()
        self.start = time.monotonic()
        self.last_draw = 0.0
        self.drawn_width = 0

    def update(self, done: int) -> None:
        now = time.monotonic()
        if not self.enabled or now - self.start < self.DELAY_S or now - self.last_draw < self.PERIOD_S:
            return
        self.last_draw = now
        rate = si(done / (now - self.start), "sample/s")
        if not self.total:
            self.draw(f"{self.label} {done} samples  {rate}")
            return
        fraction = min(done / self.total, 1.0)
        filled = int(fraction * self.WIDTH)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.draw(f"{self.label} [{bar}] {fraction:4.0%}  {rate}")

    def draw(self, line: str) -> None:
        self.stream.write("\r" + line.ljust(self.drawn_width))
        self.stream.flush()
        self.drawn_width = max(self.drawn_width, len(line))

    def finish(self) -> None:
        if self.drawn_width:
            self.stream.write("\r" + " " * self.drawn_width + "\r")
            self.stream.flush()
