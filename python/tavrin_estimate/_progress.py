"""Progress of a run on standard error: a tqdm bar when tqdm is installed, plain lines
otherwise. Both show boardings done of the total, the rate and the running interval."""

from __future__ import annotations

import importlib
import sys
import time
from typing import Any, Optional, TextIO

from ._result import wilson_interval


class Progress:
    """The interface of both reporters; this one shows nothing."""

    def update(self, successes: int, iterations: int) -> None:
        """The running totals, resumed boardings included."""

    def close(self) -> None:
        """The run has ended; leave the last state on screen."""


def _summary(successes: int, iterations: int, confidence: float) -> str:
    if iterations == 0:
        return "no boardings yet"
    low, high = wilson_interval(successes, iterations, confidence)
    return f"{successes / iterations:.5f} [{low:.5f}, {high:.5f}]"


class TqdmProgress(Progress):
    def __init__(self, tqdm: Any, total: int, initial: int, confidence: float) -> None:
        self._confidence = confidence
        self._done = initial
        self._bar = tqdm(
            total=total,
            initial=initial,
            unit=" boardings",
            unit_scale=True,
            dynamic_ncols=True,
            file=sys.stderr,
            smoothing=0.1,
        )

    def update(self, successes: int, iterations: int) -> None:
        self._bar.set_postfix_str(_summary(successes, iterations, self._confidence), refresh=False)
        self._bar.update(iterations - self._done)
        self._done = iterations

    def close(self) -> None:
        self._bar.close()


class PlainProgress(Progress):
    """One line redrawn in place on a terminal; elsewhere a new line at most every few
    seconds, so that a log file does not fill up."""

    TERMINAL_INTERVAL = 0.5
    LOG_INTERVAL = 5.0

    def __init__(self, total: int, initial: int, confidence: float, stream: Optional[TextIO] = None) -> None:
        self._stream = stream if stream is not None else sys.stderr
        self._terminal = self._stream.isatty()
        self._interval = self.TERMINAL_INTERVAL if self._terminal else self.LOG_INTERVAL
        self._total = total
        self._initial = initial
        self._confidence = confidence
        self._started = time.perf_counter()
        self._shown_at: Optional[float] = None
        self._last = ""

    def update(self, successes: int, iterations: int) -> None:
        now = time.perf_counter()
        if self._shown_at is not None and now - self._shown_at < self._interval and iterations < self._total:
            return
        self._shown_at = now
        elapsed = now - self._started
        rate = (iterations - self._initial) / elapsed if elapsed > 0 else 0.0
        share = iterations / self._total if self._total else 1.0
        line = (
            f"{iterations:,}/{self._total:,} boardings ({share:.0%}), {rate:,.0f}/s, "
            f"{_summary(successes, iterations, self._confidence)}"
        )
        if self._terminal:
            padding = " " * max(0, len(self._last) - len(line))
            self._stream.write("\r" + line + padding)
        else:
            self._stream.write(line + "\n")
        self._last = line
        self._stream.flush()

    def close(self) -> None:
        if self._terminal and self._last:
            self._stream.write("\n")
            self._stream.flush()


def make_progress(enabled: bool, total: int, initial: int, confidence: float) -> Progress:
    """The reporter for a run of `total` boardings of which `initial` are already done."""
    if not enabled:
        return Progress()
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return PlainProgress(total, initial, confidence)
    return TqdmProgress(tqdm, total, initial, confidence)
