"""A small progress bar for the command line (no dependency)."""
from __future__ import annotations

import sys
import time
from typing import IO, Optional


class Progress:
    """Counts finished steps of `total` and shows them on a stream.

    On a terminal the bar redraws itself in place; elsewhere (a log file, a
    pipe) every step is one line, so that the record stays readable.
    """

    def __init__(self, total: int, label: str, *, stream: Optional[IO[str]] = None,
                 enabled: bool = True, width: int = 28) -> None:
        self.total = max(int(total), 1)
        self.label = label
        self.stream = sys.stderr if stream is None else stream
        self.enabled = enabled
        self.width = width
        self.done = 0
        self.start = time.monotonic()
        self.tty = bool(getattr(self.stream, "isatty", lambda: False)())
        if self.enabled and self.tty:
            self._draw("")

    def step(self, what: str = "") -> None:
        self.done = min(self.done + 1, self.total)
        if not self.enabled:
            return
        if self.tty:
            self._draw(what)
            if self.done == self.total:
                self.stream.write("\n")
        else:
            tail = f" {what}" if what else ""
            self.stream.write(f"{self.label}: {self.done}/{self.total}{tail}\n")
        self.stream.flush()

    def _draw(self, what: str) -> None:
        filled = int(round(self.width * self.done / self.total))
        bar = "#" * filled + "-" * (self.width - filled)
        elapsed = time.monotonic() - self.start
        tail = f" {what}" if what else ""
        self.stream.write(f"\r{self.label} [{bar}] {self.done}/{self.total} "
                          f"{elapsed:5.1f} s{tail}\033[K")
        self.stream.flush()
