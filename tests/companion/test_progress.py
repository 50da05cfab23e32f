"""Progress display: which one shows where, its throttle and text, the time left to a precision
target, and output that fails without failing the run."""

from __future__ import annotations

import io
import sys
import types
import warnings
from typing import Any

import pytest

from tavrin_estimate import _progress, estimate
from tavrin_estimate._intervals import proportion_ci
from tavrin_estimate._progress import (
    LOG_SECONDS,
    PlainProgress,
    Progress,
    TqdmProgress,
    boardings_for_half_width,
    make_progress,
)

from .support import needs


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


class Clock:
    def __init__(self) -> None:
        self.now = 0.0

    def __call__(self) -> float:
        return self.now


def fake_tqdm_auto(module: str) -> types.ModuleType:
    """A stand-in for tqdm.auto whose bar class comes from `module` ("tqdm.notebook" when
    tqdm.auto found a notebook) and draws nothing."""
    bar = type("tqdm", (), {"__module__": module, "__init__": lambda self, **kwargs: None})
    return types.SimpleNamespace(tqdm=bar)  # type: ignore[return-value]


@pytest.mark.parametrize(
    "stream, tqdm_auto, shown",
    [
        (io.StringIO(), None, "plain lines"),
        (io.StringIO(), "tqdm.std", "plain lines"),  # a log file gets no bar, tqdm or not
        (io.StringIO(), "tqdm.notebook", "tqdm"),  # the widget in a notebook
        (Terminal(), "tqdm.std", "tqdm"),
        (Terminal(), None, "plain redrawn"),
    ],
)
def test_the_display_suits_where_it_shows(stream: io.StringIO, tqdm_auto: str | None, shown: str,
                                          monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "tqdm.auto", fake_tqdm_auto(tqdm_auto) if tqdm_auto else None)
    reporter = make_progress(True, 100, 0, 0.95, stream=stream)
    kind = {TqdmProgress: "tqdm", PlainProgress: "plain redrawn" if isinstance(stream, Terminal) else "plain lines"}
    assert kind[type(reporter)] == shown
    assert type(make_progress(False, 100, 0, 0.95, stream=stream)) is Progress


def test_a_log_gets_a_line_every_few_seconds_with_the_method_s_interval() -> None:
    """Updates every second for 12 s give lines at 0, 5 and 10 s and a last one at the end, no
    carriage return; each shows the count, the rate and the interval of the method asked."""
    out, clock = io.StringIO(), Clock()
    reporter = PlainProgress(out, 13_000, 0, 0.9, "clopper-pearson", None, clock)
    for second in range(13):
        clock.now = second + 1e-9
        reporter.update(second * 400, second * 1000)
    reporter.close()
    lines = out.getvalue().splitlines()
    assert len(lines) == 4 and "\r" not in out.getvalue() and LOG_SECONDS == 5.0
    low, high = proportion_ci(4800, 12_000, 0.9, "clopper-pearson")
    assert lines[-1].startswith("12,000/13,000 boardings (92%), 1,000/s, 0.4000")
    assert f"[{low:.4f}" in lines[-1] and f"{high:.4f}] clopper-pearson" in lines[-1]


def test_a_precision_target_shows_the_time_left() -> None:
    """At p = 1/2 after 10,000 boardings in 1 s, a half-width of 0.001 at 95% needs about
    960,365 boardings by Wilson: 95 s more; the anytime interval reaches it where it says. A
    tqdm bar takes that as its total, so its own time left agrees."""
    out, clock = Terminal(), Clock()
    plain = PlainProgress(out, 10**9, 0, 0.95, "wilson", 0.001, clock)
    clock.now = 1.0
    plain.update(5000, 10_000)
    assert "+-0.001 in about 1m35s" in out.getvalue()
    plain.update(5_000_000, 10_000_000)
    plain.close()
    assert "+-0.001 reached" in out.getvalue().rsplit("\r", 1)[-1]
    bars: list[Any] = []
    bar_class = type("Bar", (), {"__init__": lambda self, **kw: bars.append(self),
                                 "set_postfix_str": lambda self, text, refresh: None,
                                 "update": lambda self, n: None, "close": lambda self: None})
    TqdmProgress(bar_class, out, 10**9, 0, 0.95, "wilson", 0.001, clock).update(5000, 10_000)
    TqdmProgress(bar_class, out, 10**9, 0, 0.95, "anytime", 0.001, clock).update(5000, 10_000)
    low, high = proportion_ci(bars[1].total // 2, bars[1].total, 0.95, "anytime")
    assert bars[0].total == 960_365 and (high - low) / 2 == pytest.approx(0.001, rel=1e-3)


def broken_estimate(*args: Any, **kwargs: Any) -> int:
    raise ZeroDivisionError("float division by zero")


@pytest.mark.parametrize("half_width", [1e-30, 1e-100, 1e-160, 1e-200, "a display that fails"])
def test_a_target_beyond_any_run_or_a_failing_display_leaves_the_run_as_it_would_be(
        half_width: float | str, monkeypatch: pytest.MonkeyPatch) -> None:
    """A target no run reaches ("never stop early") takes the run's total as its goal, at any
    smallness (its square underflows from 1e-162); a display that fails at what it computes
    gives one warning. Either way a resumed run with the display ends as it does without."""
    failing = half_width == "a display that fails"
    if failing:
        monkeypatch.setattr(_progress, "boardings_for_half_width", broken_estimate)
    target = 1e-3 if failing else float(half_width)
    partial = estimate(20_000, 10, 10, seed=8, block_size=1000)
    quiet = estimate(60_000, 10, 10, seed=8, block_size=1000, resume=partial, half_width=target)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        shown = estimate(60_000, 10, 10, seed=8, block_size=1000, resume=partial, half_width=target, progress=True)
    assert shown.parts == quiet.parts and shown.iterations == 60_000
    assert [str(w.message).split(":")[0] for w in caught] == (["progress display stopped, the run goes on"] if failing else [])
    if not failing:
        assert boardings_for_half_width(5000, 10_000, 0.95, target, "anytime", most=60_000) == 60_000
        assert boardings_for_half_width(5000, 10_000, 0.95, target) is None


class Failing(Terminal):
    """A terminal whose writes start failing as an output that is gone does."""

    failure: Exception | None = None

    def write(self, text: str) -> int:
        if self.failure is not None:
            raise self.failure
        return super().write(text)


FAILURES = {
    "broken pipe": BrokenPipeError(32, "Broken pipe"),
    "closed": ValueError("I/O operation on closed file."),
    "gone": AttributeError("'NoneType' object has no attribute 'write'"),  # PyPy's closed stderr
}


@pytest.mark.parametrize("bar", [pytest.param("tqdm", marks=needs("tqdm")), "plain"])
@pytest.mark.parametrize("failure", FAILURES)
def test_failed_output_stops_the_display_with_one_warning(bar: str, failure: str) -> None:
    """The first failed write gives one RuntimeWarning, nothing is raised, later updates and
    close() write nothing (tqdm drops a closed stream by itself, silently)."""
    stream, clock = Failing(), Clock()
    if bar == "tqdm":
        from tqdm import tqdm

        reporter: Any = TqdmProgress(tqdm, stream, 1000, 0, 0.95, "wilson", None, clock)
    else:
        reporter = PlainProgress(stream, 1000, 0, 0.95, "wilson", None, clock)
    reporter.update(1, 2)
    stream.failure = FAILURES[failure]
    written = len(stream.getvalue())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for step in range(1, 6):
            clock.now = step
            reporter.update(step, 2 * step)
        reporter.close()
        stream.failure = None
        reporter.update(10, 20)
        reporter.close()
    assert len(caught) == (0 if (bar, failure) == ("tqdm", "closed") else 1)
    assert all("progress display stopped, the run goes on" in str(w.message) for w in caught)
    assert stream.getvalue()[written:] == ""


def closed() -> io.StringIO:
    stream = io.StringIO()
    stream.close()
    return stream


def test_a_run_with_its_standard_error_closed_completes(monkeypatch: pytest.MonkeyPatch,
                                                        capsys: pytest.CaptureFixture[str]) -> None:
    """estimate(progress=True) whose standard error is closed counts every boarding asked;
    with standard error captured (no terminal) it writes plain lines ending with the final count
    and the anytime interval, named, even with tqdm installed, and nothing on standard output."""
    shown = estimate(30_000, 10, 10, progress=True, seed=5, method="jeffreys")
    captured = capsys.readouterr()
    low, high = shown.proportion_ci(method="anytime")
    assert captured.out == "" and "30,000/30,000 boardings (100%)" in captured.err and "\r" not in captured.err
    assert f"{shown.fraction:.4f} [{low:.4f}, {high:.4f}] anytime" in captured.err
    monkeypatch.setattr(sys, "stderr", closed())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert estimate(30_000, 10, 10, progress=True, seed=5).successes == shown.successes
