"""A progress bar for long batches, drawn on standard error.

On a terminal the bar is redrawn in place (carriage return) a few times a
second. When it is forced onto a file or a pipe it writes whole lines instead,
at most one a second, so a log stays readable; the last state is always
written.
"""
from __future__ import annotations

import time
from typing import TextIO

BAR_WIDTH = 28


def _duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    if seconds < 60:
        return f"{seconds}s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes}m{seconds:02d}s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours}h{minutes:02d}m"


class Progress:
    def __init__(self, total: int, stream: TextIO, *, in_place: bool, clock=time.monotonic):
        self.total = total
        self.stream = stream
        self.in_place = in_place
        self.clock = clock
        self.start = clock()
        self.last_draw: float | None = None
        self.last_width = 0
        self.interval = 0.1 if in_place else 1.0

    def line(self, done: int, now: float) -> str:
        elapsed = max(now - self.start, 1e-9)
        rate = done / elapsed
        share = done / self.total if self.total else 1.0
        filled = int(share * BAR_WIDTH)
        bar = "#" * filled + "-" * (BAR_WIDTH - filled)
        text = f"[{bar}] {share * 100:5.1f}%  {done:,}/{self.total:,} queries  {rate:,.0f} q/s"
        if done < self.total and done > 0:
            text += f"  ETA {_duration((self.total - done) / rate)}"
        else:
            text += f"  {_duration(elapsed)}"
        return text

    def update(self, done: int, *, final: bool = False) -> None:
        now = self.clock()
        if not final and self.last_draw is not None and now - self.last_draw < self.interval:
            return
        self.last_draw = now
        text = self.line(done, now)
        if self.in_place:
            pad = " " * max(self.last_width - len(text), 0)
            self.stream.write("\r" + text + pad + ("\n" if final else ""))
            self.last_width = len(text)
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def abandon(self) -> None:
        """Ends an in-place bar's line so that a following message starts on
        its own line."""
        if self.in_place and self.last_draw is not None:
            self.stream.write("\n")
            self.stream.flush()
