"""Progress of a run: boardings done of the total, the rate, the running interval (the
confidence sequence unless another method is asked, since a display is looked at again and
again) and, for a precision target, the time it is likely to take still.

Where it shows:
- in a notebook with tqdm installed, tqdm.auto's widget;
- on a terminal, a tqdm bar, or without tqdm one line redrawn in place;
- anywhere else (a log file, a pipe, a batch job's output), one plain line at most every
  LOG_SECONDS, whatever is installed: a bar redrawn with carriage returns would fill the file.
Output that fails (standard error closed or gone, a broken pipe), or a display that fails
in any other way, stops the display with one warning; the run goes on and ends as it would
without it.
"""

from __future__ import annotations

import importlib
import math
import sys
import time
import warnings
from typing import Any, Callable, Optional, TextIO, Tuple

from ._counting import MAX_BOARDING
from ._intervals import ANYTIME, DEFAULT_METHOD, check_method, proportion_ci, z_score

# What writing to a stream that is gone raises: OSError (a broken pipe, EBADF), ValueError (a
# closed file object), AttributeError (PyPy's closed standard streams, or sys.stderr = None).
OUTPUT_FAILURES = (OSError, ValueError, AttributeError)

TERMINAL_SECONDS = 0.5
LOG_SECONDS = 5.0


class Progress:
    """The interface of every reporter; this one shows nothing."""

    def update(self, successes: int, iterations: int) -> None:
        """The running totals, resumed boardings included."""

    def close(self) -> None:
        """The run has ended; leave the last state on screen."""


def duration(seconds: float) -> str:
    """A short, rounded form of a duration: 45s, 3m05s, 2h07m."""
    whole = round(seconds)
    if whole < 60:
        return f"{whole}s"
    if whole < 3600:
        return f"{whole // 60}m{whole % 60:02d}s"
    return f"{whole // 3600}h{whole % 3600 // 60:02d}m"


def boardings_for_half_width(successes: int, iterations: int, confidence: float, half_width: float,
                             method: str = DEFAULT_METHOD, most: Optional[int] = None) -> Optional[int]:
    """About how many boardings in all give an interval of that half-width.

    Parameters
    ----------
    successes, iterations : int
        The counts so far.
    confidence : float
        Of the interval.
    half_width : float
        The target.
    method : str, default "wilson"
        The interval's method.
    most : int, optional
        The boardings the run counts at most: a target that needs more gives `most`.

    Returns
    -------
    int or None
        Judged from the fraction so far: the normal approximation, which the fixed-count
        methods agree with at such counts; for the confidence sequence ("anytime"), whose
        width shrinks a little slower, the count at which its interval of that fraction is
        that narrow. None before the fraction says anything (no success or no failure yet),
        or for a target beyond any run, which counts at most 2**64 - 1 boardings (`most` for
        a target beyond `most`).

    Examples
    --------
    >>> boardings_for_half_width(500, 1000, 0.95, 0.001)
    960365
    >>> boardings_for_half_width(500, 1000, 0.95, 0.001, "anytime") > 4 * 960365
    True
    >>> boardings_for_half_width(500, 1000, 0.95, 1e-200, "anytime", most=10**9)
    1000000000
    """
    if not 0 < successes < iterations:
        return None
    p = successes / iterations
    # The square of a ratio, not a ratio of squares: a half-width of 1e-200 squares to 0. A
    # target that no run reaches (1e-30 asks about 10^60 boardings) is told apart before the
    # sequence, wider than the normal interval and so needing more still, is asked about such
    # a count.
    limit = MAX_BOARDING if most is None else most
    ratio = z_score(confidence) * math.sqrt(p * (1.0 - p)) / half_width
    if not ratio * ratio < limit:
        return most
    needed = max(1, math.ceil(ratio * ratio))
    if method == ANYTIME:
        # n times the squared half-width grows only as log n: a few rounds settle it.
        for _ in range(8):
            low, high = proportion_ci(round(p * needed), needed, confidence, ANYTIME)
            ratio = (high - low) / 2.0 / half_width
            if not needed * ratio * ratio < limit:
                return most
            grown = max(1, math.ceil(needed * ratio * ratio))
            if abs(grown - needed) <= needed // 1000:
                return grown
            needed = grown
    return needed


class _Display(Progress):
    """What both displays share: the throttle, the text, and a failed output turned into one
    warning. Subclasses draw."""

    def __init__(
        self,
        total: int,
        initial: int,
        confidence: float,
        method: str,
        half_width: Optional[float],
        seconds: float,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.total = total
        self.initial = initial
        self.confidence = confidence
        self.method = method
        self.half_width = half_width
        self.seconds = seconds
        self.clock = clock
        self.started = clock()
        self.shown_at: Optional[float] = None
        self.latest: Optional[Tuple[int, int]] = None
        self.shown: Optional[Tuple[int, int]] = None
        self.failed = False

    def update(self, successes: int, iterations: int) -> None:
        if self.failed:
            return
        self.latest = (successes, iterations)
        now = self.clock()
        if self.shown_at is not None and now - self.shown_at < self.seconds and iterations < self.total:
            return
        self.shown_at = now
        self._show(successes, iterations)

    def close(self) -> None:
        if self.failed:
            return
        if self.latest is not None and self.latest != self.shown:
            self._show(*self.latest)
        if not self.failed:
            self._guarded(self._finish)

    def _show(self, successes: int, iterations: int) -> None:
        self.shown = (successes, iterations)
        try:
            summary = self.summary(successes, iterations)
        except Exception as exc:  # a display that cannot say what it shows ends, not the run
            self.failed = True
            try:
                self._finish()
            except OUTPUT_FAILURES:
                self._abandon()
            _warn(f"progress display stopped, the run goes on: {exc!r}")
            return
        self._guarded(lambda: self._draw(successes, iterations, summary))

    def _guarded(self, draw: Callable[[], None]) -> None:
        try:
            draw()
        except OUTPUT_FAILURES as exc:
            self.failed = True
            self._abandon()
            _warn(f"progress display stopped, the run goes on: {exc!r}")

    def rate(self, iterations: int) -> float:
        elapsed = self.clock() - self.started
        return (iterations - self.initial) / elapsed if elapsed > 0 else 0.0

    def goal(self, successes: int, iterations: int) -> Optional[int]:
        """The boardings the run will likely end at: the total, or fewer for a precision target."""
        if self.half_width is None:
            return None
        needed = boardings_for_half_width(successes, iterations, self.confidence, self.half_width, self.method,
                                          most=self.total)
        return None if needed is None else max(iterations, min(self.total, needed))

    def summary(self, successes: int, iterations: int) -> str:
        if iterations == 0:
            return "no boardings yet"
        low, high = proportion_ci(successes, iterations, self.confidence, self.method)
        width = high - low
        digits = 6 if not width > 0 else min(12, max(4, 2 - math.floor(math.log10(width))))
        text = f"{successes / iterations:.{digits}f} [{low:.{digits}f}, {high:.{digits}f}] {self.method}"
        if self.half_width is not None:
            goal = self.goal(successes, iterations)
            if (high - low) / 2.0 <= self.half_width:
                text += f", +-{self.half_width:g} reached"
            elif iterations >= self.total:
                text += f", +-{self.half_width:g} not reached"
            elif goal is not None and self.rate(iterations) > 0:
                text += f", +-{self.half_width:g} in about {duration((goal - iterations) / self.rate(iterations))}"
        return text

    def _draw(self, successes: int, iterations: int, summary: str) -> None:
        raise NotImplementedError

    def _finish(self) -> None:
        """After the last drawing."""

    def _abandon(self) -> None:
        """After a failed output: nothing more may be written."""


class TqdmProgress(_Display):
    """A tqdm bar (tqdm.auto's widget in a notebook). With a precision target its total is the
    boardings the target likely needs, so that its own time left is the run's."""

    def __init__(self, bar_class: Any, stream: TextIO, total: int, initial: int, confidence: float,
                 method: str, half_width: Optional[float], clock: Callable[[], float] = time.monotonic) -> None:
        super().__init__(total, initial, confidence, method, half_width, TERMINAL_SECONDS, clock)
        self.done = initial
        self.bar = bar_class(total=total, initial=initial, unit=" boardings", unit_scale=True,
                             dynamic_ncols=True, file=stream, smoothing=0.1)

    def _draw(self, successes: int, iterations: int, summary: str) -> None:
        goal = self.goal(successes, iterations)
        if goal is not None:
            self.bar.total = goal
        self.bar.set_postfix_str(summary, refresh=False)
        self.bar.update(iterations - self.done)
        self.done = iterations

    def _finish(self) -> None:
        self.bar.close()

    def _abandon(self) -> None:
        self.bar.disable = True  # so that neither close() nor the collector writes again


class PlainProgress(_Display):
    """One line redrawn in place on a terminal; elsewhere a new line at most every
    LOG_SECONDS, so that a log file does not fill up."""

    def __init__(self, stream: TextIO, total: int, initial: int, confidence: float, method: str,
                 half_width: Optional[float], clock: Callable[[], float] = time.monotonic) -> None:
        self.stream = stream
        self.terminal = _is_terminal(stream)
        super().__init__(total, initial, confidence, method, half_width,
                         TERMINAL_SECONDS if self.terminal else LOG_SECONDS, clock)
        self.last = ""

    def _draw(self, successes: int, iterations: int, summary: str) -> None:
        share = iterations / self.total if self.total else 1.0
        line = (f"{iterations:,}/{self.total:,} boardings ({share:.0%}), {self.rate(iterations):,.0f}/s, "
                f"{summary}")
        if self.terminal:
            self.stream.write("\r" + line + " " * max(0, len(self.last) - len(line)))
        else:
            self.stream.write(line + "\n")
        self.last = line
        self.stream.flush()

    def _finish(self) -> None:
        if self.terminal and self.last:
            self.stream.write("\n")
            self.stream.flush()


def _warn(message: str) -> None:
    try:
        warnings.warn(message, RuntimeWarning, stacklevel=5)
    except Exception:  # warnings turned into errors: the run still goes on
        pass


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except OUTPUT_FAILURES:
        return False


def _tqdm_bar(terminal: bool) -> Any:
    """tqdm.auto's bar where it is a notebook widget or the stream is a terminal; else None."""
    try:
        auto = importlib.import_module("tqdm.auto")
    except ImportError:
        return None
    bar = auto.tqdm
    widget = any(cls.__module__ == "tqdm.notebook" for cls in bar.__mro__)
    return bar if widget or terminal else None


def make_progress(
    enabled: bool,
    total: int,
    initial: int,
    confidence: float,
    *,
    method: str = ANYTIME,
    half_width: Optional[float] = None,
    stream: Optional[TextIO] = None,
) -> Progress:
    """The reporter for a run of at most `total` boardings of which `initial` are done.

    Parameters
    ----------
    enabled : bool
        False gives a reporter that shows nothing.
    total : int
        Boardings the run counts at most.
    initial : int
        Boardings already counted.
    confidence : float
        Of the interval shown.
    method : str, default "anytime"
        The interval shown: by default the confidence sequence, the one interval that stays
        valid for a display watched all along.
    half_width : float, optional
        A precision target, whose likely time left is shown.
    stream : TextIO, optional
        Where to write; by default standard error.

    Returns
    -------
    Progress
        tqdm's widget in a notebook, a bar or a line redrawn in place on a terminal, plain
        lines anywhere else.
    """
    method = check_method(method)
    if not enabled:
        return Progress()
    out = stream if stream is not None else sys.stderr
    if out is None:  # no standard error at all (pythonw, a closed descriptor at start-up)
        return Progress()
    bar = _tqdm_bar(_is_terminal(out))
    if bar is not None:
        try:
            return TqdmProgress(bar, out, total, initial, confidence, method, half_width)
        except OUTPUT_FAILURES as exc:
            _warn(f"no progress bar, the run goes on: {exc!r}")
            return Progress()
    return PlainProgress(out, total, initial, confidence, method, half_width)
