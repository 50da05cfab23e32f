"""estimate(): a run of many boardings as a sequence of short kernel calls, on this machine or
on a Dask cluster, whose counts add up exactly and which stops cleanly on Ctrl-C."""

from __future__ import annotations

import dataclasses
import time
from typing import TYPE_CHECKING, Optional

from tavrin_puzzles import Planes

from ._counting import CallSizer, count_from_fraction
from ._interrupt import StopRequest
from ._progress import Progress, make_progress
from ._result import DEFAULT_CONFIDENCE, Estimate, as_count, check_confidence

if TYPE_CHECKING:
    from distributed import Client

# A local call lasts about this long: short enough that Ctrl-C answers at once (the kernel
# cannot be interrupted), long enough that starting its worker pool costs nothing.
CALL_SECONDS = 0.2


class EstimateInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped an estimate. `result` holds every boarding counted until then, flagged
    as interrupted; pass it as `resume=` to a later estimate() to go on from there."""

    def __init__(self, result: Estimate) -> None:
        super().__init__(result)
        self.result = result

    def __str__(self) -> str:
        return f"interrupted after {self.result.iterations:,} boardings\n{self.result}"


class Tally:
    """Running totals of one run, with its stop request and its progress reporter. The two
    counts change in one assignment, so an exception between two bytecodes cannot leave
    one counted without the other."""

    def __init__(self, stop: StopRequest, progress: Progress, base: Estimate) -> None:
        self.stop = stop
        self.progress = progress
        self.counts = (base.successes, base.iterations)

    def add(self, successes: int, iterations: int) -> None:
        self.counts = (self.counts[0] + successes, self.counts[1] + iterations)
        self.progress.update(*self.counts)


def _is_panic(exc: BaseException) -> bool:
    # The module does not export its PanicException type; it derives from BaseException only.
    return type(exc).__name__ == "PanicException"


def _probe(planes: Planes, description: str) -> bool:
    """One boarding on this thread, so that a plane on which no boarding can complete is refused
    up front (the kernel would count every one of them as a failure and report each on
    standard error) rather than run to a meaningless 0."""
    try:
        return planes.run_simulation()
    except BaseException as exc:
        if not _is_panic(exc):
            raise
        raise ValueError(f"no boarding can complete on a plane of {description}: {exc}") from None


def _run_local(planes: Planes, todo: int, tally: Tally) -> None:
    sizer = CallSizer(CALL_SECONDS)
    done = 0
    while done < todo and not tally.stop.requested:
        n = min(sizer.size, todo - done)
        started = time.perf_counter()
        fraction = planes.run_simulations(n)
        seconds = time.perf_counter() - started
        tally.add(count_from_fraction(fraction, n), n)
        done += n
        sizer.measured(n, seconds)


def estimate(
    iterations: int,
    passengers: int = 100,
    seats: int = 100,
    cols: str = "ABCDEF",
    *,
    confidence: float = DEFAULT_CONFIDENCE,
    progress: bool = False,
    client: Optional[Client] = None,
    resume: Optional[Estimate] = None,
) -> Estimate:
    """Estimate how often the last passenger finds their own seat, over `iterations` boardings.

    The boardings run as a sequence of `Planes.run_simulations` calls of about a fifth of a
    second each, whose exact counts are summed; with `client` (a `dask.distributed.Client`)
    they run as tasks on its cluster instead. `progress=True` shows a bar on standard error
    (tqdm when installed, plain lines otherwise).

    `resume` is an earlier result of the same plane, usually an interrupted one: its boardings
    count towards `iterations`, which is then the total wanted, and only the rest are run.

    Ctrl-C stops the run within about one call and raises `EstimateInterrupted` (a
    KeyboardInterrupt) whose `result` holds everything counted so far. ValueError for a plane
    on which no boarding can complete (no passengers, too few column letters, more passengers
    than seats), before anything runs.
    """
    wanted = as_count("iterations", iterations)
    passengers = as_count("passengers", passengers)
    seats = as_count("seats", seats)
    if not isinstance(cols, str):
        raise TypeError(f"cols must be a str, not {type(cols).__name__}")
    confidence = check_confidence(confidence)
    base = Estimate(passengers, seats, cols, 0, 0, confidence=confidence)
    if resume is not None:
        if not isinstance(resume, Estimate):
            raise TypeError(f"resume must be an Estimate, not {type(resume).__name__}")
        # The addition checks that the plane is the same.
        base = base + resume.with_confidence(confidence)
    planes = Planes(passengers, seats, cols)
    description = f"{passengers} passengers, {seats} seats and cols {cols!r}"

    started = time.perf_counter()
    first = _probe(planes, description)
    todo = max(0, wanted - base.iterations)
    with StopRequest() as stop:
        reporter = make_progress(progress, max(wanted, base.iterations), base.iterations, confidence)
        tally = Tally(stop, reporter, base)
        try:
            if todo > 0:
                # The probe was a boarding like any other: it counts.
                tally.add(int(first), 1)
                if client is None:
                    _run_local(planes, todo - 1, tally)
                else:
                    from ._cluster import run_on_cluster

                    run_on_cluster(client, passengers, seats, cols, todo - 1, tally)
        except KeyboardInterrupt:
            # Raised only by an application's own SIGINT handler, which was left in place:
            # the call (or the tasks) in progress are lost, everything counted is kept.
            stop.request()
        finally:
            reporter.close()
    successes, done = tally.counts
    result = dataclasses.replace(
        base,
        successes=successes,
        iterations=done,
        elapsed=base.elapsed + (time.perf_counter() - started),
        interrupted=done < wanted,
    )
    # Ctrl-C during the last call still stops the caller, with a complete result.
    if stop.requested:
        raise EstimateInterrupted(result)
    return result
