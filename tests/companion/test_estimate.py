"""estimate() on this machine: totals, continuing a run, Ctrl-C, progress, bad arguments."""

from __future__ import annotations

import os
import signal
import sys
from typing import Any

import pytest

from tavrin_estimate import EstimateInterrupted, estimate

from .support import interrupting, needs


def test_runs_exactly_the_boardings_asked_and_continues() -> None:
    """The total is the iterations asked, also when a run continues an earlier one, whose
    counts it keeps; a total already reached runs nothing more."""
    first = estimate(123_457, 10, 12, "ABCDEF")
    assert first.iterations == 123_457 and not first.interrupted
    assert first.elapsed > 0 and first.rate > 0
    more = estimate(200_001, 10, 12, "ABCDEF", resume=first, confidence=0.99)
    assert more.iterations == 200_001 and more.confidence == 0.99
    assert first.successes <= more.successes <= first.successes + (200_001 - 123_457)
    same = estimate(1000, 10, 12, "ABCDEF", resume=more)
    assert (same.successes, same.iterations) == (more.successes, more.iterations)
    assert estimate(0).iterations == 0
    with pytest.raises(ValueError, match="different configurations"):
        estimate(10, 11, 12, "ABCDEF", resume=first)


def raise_interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


@pytest.mark.parametrize("own_handler", [False, True], ids=["default-handler", "application-handler"])
def test_ctrl_c_stops_after_the_call_and_keeps_its_count(own_handler: bool, monkeypatch: pytest.MonkeyPatch) -> None:
    """SIGINT during a run ends it with everything counted so far, flagged as interrupted and
    carried on EstimateInterrupted, and leaves the SIGINT handler as it found it; with the
    application's own handler raising KeyboardInterrupt as well."""
    reporter = interrupting(monkeypatch, updates=4)
    if own_handler:
        signal.signal(signal.SIGINT, raise_interrupt)
    try:
        with pytest.raises(EstimateInterrupted) as stopped:
            estimate(10**12, 10, 10)
        assert signal.getsignal(signal.SIGINT) is (raise_interrupt if own_handler else signal.default_int_handler)
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    partial = stopped.value.result
    assert isinstance(stopped.value, KeyboardInterrupt)
    assert partial.interrupted and partial.iterations == reporter.seen
    assert 0 < partial.iterations < 10**8
    resumed = estimate(partial.iterations + 10, 10, 10, resume=partial)
    assert resumed.iterations == partial.iterations + 10 and not resumed.interrupted


@pytest.mark.parametrize("bar", [pytest.param("tqdm", marks=needs("tqdm")), "plain"])
def test_progress_shows_count_rate_and_interval(
    bar: str, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    """progress=True draws on standard error, with tqdm or, without it, plain lines that end
    with the final count and interval; nothing goes to standard output."""
    if bar == "plain":
        monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm now fails
    result = estimate(30_000, 10, 10, progress=True)
    captured = capsys.readouterr()
    low, high = result.interval
    assert captured.out == ""
    assert f"{result.fraction:.5f} [{low:.5f}, {high:.5f}]" in captured.err
    assert "boardings/s" in captured.err if bar == "tqdm" else "30,000/30,000 boardings (100%)" in captured.err


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({"iterations": 2.5}, TypeError),
        ({"iterations": True}, TypeError),
        ({"iterations": 10, "cols": ["A"]}, TypeError),
        ({"iterations": 10, "resume": "file.json"}, TypeError),
        ({"iterations": -1}, ValueError),
        ({"iterations": 10, "confidence": 1.0}, ValueError),
    ],
)
def test_bad_arguments_are_refused_before_any_run(arguments: dict[str, Any], error: type) -> None:
    """Arguments of a wrong type or out of range raise at once (the command line's own matrix
    covers the planes that cannot board)."""
    with pytest.raises(error):
        estimate(**arguments)
