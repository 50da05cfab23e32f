"""estimate(): a run of many boardings of one seed, counted by the seeded kernel in block
ranges on this machine, on a Dask cluster or on any executor, whose counts add up exactly,
which stops cleanly on Ctrl-C and which the same seed repeats exactly."""

from __future__ import annotations

import concurrent.futures
import math
import time
from typing import Any, Callable, Optional, Tuple

from ._counting import Holdings, check_block_size, check_seed, default_block_size, new_seed
from ._executors import PrecisionTarget, Run, choose_backend, provenance
from ._interrupt import StopRequest
from ._intervals import ANYTIME, DEFAULT_METHOD, check_method
from ._plane import check_confidence, check_iterations, check_plane
from ._progress import make_progress
from ._result import DEFAULT_CONFIDENCE, Estimate, Part, Provenance
from ._store import Checkpointer, check_checkpoint_seconds


class EstimateInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped an estimate; a `KeyboardInterrupt` that carries the partial result.

    Parameters
    ----------
    result : Estimate
        Every boarding counted until then, flagged as interrupted; kept as the attribute
        ``result``. Pass it as ``resume=`` to a later `estimate` to go on from there.

    Examples
    --------
    >>> from tavrin_estimate import EstimateInterrupted
    >>> issubclass(EstimateInterrupted, KeyboardInterrupt)
    True
    """

    def __init__(self, result: Estimate) -> None:
        super().__init__(result)
        self.result = result

    def __str__(self) -> str:
        return f"interrupted after {self.result.iterations:,} boardings\n{self.result}"


class EstimateFailed(RuntimeError):
    """A run could not go on: a task failed, a worker kept dying, the cluster's client closed,
    the executor refused the next task (shut down).

    Parameters
    ----------
    result : Estimate
        Every boarding counted until then, flagged as interrupted; kept as the attribute
        ``result``: resume from it.
    cause : BaseException
        The error that stopped the run, named in the message; `estimate` raises this
        exception from it, so it is also ``__cause__``.
    """

    def __init__(self, result: Estimate, cause: BaseException) -> None:
        super().__init__(f"the run stopped after {result.iterations:,} boardings: {_describe_error(cause)}")
        self.result = result


def _describe_error(cause: BaseException) -> str:
    if type(cause).__name__.endswith("CancelledError") and not str(cause):
        # What Dask reports for a task of a client that restarted or closed, or lost its scheduler.
        return "CancelledError: a task was cancelled by the cluster (its client restarted or closed, or its scheduler was lost)"
    return f"{type(cause).__name__}: {cause}" if str(cause) else type(cause).__name__


def _check_half_width(value: object) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"half_width must be a number, not {type(value).__name__}")
    if not (value > 0.0 and math.isfinite(value)):
        raise ValueError(f"half_width must be a positive number, got {value!r}")
    return float(value)


def _resumed_seed(resume: Estimate, seed: Optional[int]) -> Optional[int]:
    """The seed to continue: the one given, which the result must hold unless it holds none,
    or the result's only seed."""
    if seed is not None:
        if resume.parts and resume.part(seed) is None:
            held = ", ".join(str(s) for s in resume.seeds)
            raise ValueError(f"the result to resume holds seed {held}, not {seed}: a run continues with its own seed")
        return seed
    if len(resume.parts) > 1:
        raise ValueError(f"the result to resume pools {len(resume.parts)} seeds: pass seed= to say which to continue")
    return resume.seed


def estimate(
    iterations: int,
    passengers: int = 100,
    seats: int = 100,
    cols: str = "ABCDEF",
    *,
    seed: Optional[int] = None,
    confidence: float = DEFAULT_CONFIDENCE,
    method: str = DEFAULT_METHOD,
    progress: bool = False,
    client: Any = None,
    executor: Optional[concurrent.futures.Executor] = None,
    resume: Optional[Estimate] = None,
    half_width: Optional[float] = None,
    block_size: Optional[int] = None,
    checkpoint: Optional[Callable[[Estimate], None]] = None,
    checkpoint_seconds: float = 60.0,
) -> Estimate:
    """Estimate how often the last passenger finds their own seat, from seeded boardings.

    Counts boardings 0 to ``iterations - 1`` of `seed` with the seeded kernel. The same seed,
    plane and block size give the same count on any number of threads, machines and
    interruptions (the count is defined on the reproducibility page of the documentation).

    Parameters
    ----------
    iterations : int
        Boardings to count, from 1 to 2**64 - 1; with `resume`, in total.
    passengers : int, default 100
        Passengers who board, at least 1.
    seats : int, default 100
        Seats of the plane, at least `passengers` and below 2**32.
    cols : str, default "ABCDEF"
        Column letters; the plane needs min(`seats`, 6) of them. They change no count.
    seed : int, optional
        A non-negative int below 2**4096 (a larger one is refused at once, as in files and on the
        command line). None draws 128 bits from the operating system, recorded in the result. With `resume`, the seed to continue (by default the result's only seed).
    confidence : float, default 0.95
        Confidence of the result's interval, strictly between 0 and 1.
    method : {"wilson", "clopper-pearson", "jeffreys", "anytime"}, default "wilson"
        The interval the result records and shows, beside the confidence sequence ("anytime");
        its `Estimate.interval` stays Wilson's whatever this is.
    progress : bool, default False
        Show the rate and the running confidence sequence ("anytime", which holds however often
        it is looked at) on standard error: tqdm's widget in a notebook, a bar on a terminal, one
        line every 5 s anywhere else.
    client : dask.distributed.Client or False, optional
        Run the boardings as tasks of about a second on this Dask cluster. By default the client
        active in the calling context, as dask finds it, when ``distributed`` has been imported;
        False for none.
    executor : concurrent.futures.Executor, optional
        Run the boardings as tasks on this executor instead (a process or thread pool,
        ``client.get_executor()``, ``mpi4py.futures.MPIPoolExecutor``).
    resume : Estimate, optional
        An earlier result of the same plane, usually an interrupted one: only the boardings of
        [0, `iterations`) it lacks are run, with its seed and block size, and the result holds
        both.
    half_width : float, optional
        Stop at the first block boundary where the confidence sequence's half-width is at most
        this (after `iterations` boardings at most): a stop chosen by looking at every block
        keeps the sequence's level, where it would not keep a fixed-count interval's. The
        stopping point depends on the counts alone; the result holds the boardings before it
        and their count, also when `resume` held more.
    block_size : int, optional
        Boardings per block, from 1 to 2**32 - 1; by default `default_block_size` of `seats`.
        Part of the result: another block size gives another (equally valid) count.
    checkpoint : callable, optional
        Called as ``checkpoint(partial)`` about every `checkpoint_seconds` with the result so
        far, flagged as interrupted.
    checkpoint_seconds : float, default 60.0
        Seconds between checkpoints, at least 0 (0: after every call).

    Returns
    -------
    Estimate
        The counts, the seed and the ranges of boardings counted, with the interval, the
        closed-form answer, the time taken and the provenance.

    Raises
    ------
    TypeError
        An argument of the wrong type.
    ValueError
        A value out of range, a plane on which no boarding can complete, or a `resume` of
        another plane, seed or block size; raised before anything runs.
    EstimateInterrupted
        Ctrl-C stopped the run (within about one call); its `result` holds everything counted.
    EstimateFailed
        A task failed, the cluster was lost or the executor was shut down; its `result` holds
        everything counted.

    See Also
    --------
    Estimate : the result.
    seed_key : the kernel's key of a seed.

    Examples
    --------
    >>> from tavrin_estimate import estimate
    >>> r = estimate(100_000, 10, 10, seed=42)
    >>> r.successes, r.iterations, r.seed
    (49776, 100000, 42)
    >>> half = estimate(50_000, 10, 10, seed=42)
    >>> estimate(100_000, 10, 10, resume=half).successes  # the same count, cut in two
    49776
    >>> stopped = estimate(10**9, 10, 10, seed=42, half_width=0.01, block_size=1000)
    >>> stopped.iterations, stopped.successes  # the first block boundary where the sequence is narrow enough
    (43000, 21571)
    """
    wanted = check_iterations(iterations)
    passengers, seats, cols = check_plane(passengers, seats, cols)
    confidence = check_confidence(confidence)
    method = check_method(method)
    target = _check_half_width(half_width)
    seconds = check_checkpoint_seconds(checkpoint_seconds)
    if seed is not None:
        seed = check_seed(seed)
    if block_size is not None:
        block_size = check_block_size(block_size)
    if resume is not None:
        if not isinstance(resume, Estimate):
            raise TypeError(f"resume must be an Estimate, not {type(resume).__name__}")
        if resume.configuration != (passengers, seats, cols):
            raise ValueError(
                f"cannot resume a result of different configurations: {resume.passengers} passengers,"
                f" {resume.seats} seats, cols {resume.cols!r}, not {passengers}, {seats}, {cols!r}"
            )
        seed = _resumed_seed(resume, seed)
    if seed is None:
        seed = new_seed()
    held = resume.part(seed) if resume is not None else None
    if held is not None:
        if block_size is not None and block_size != held.block_size:
            raise ValueError(
                f"the result to resume counted seed {seed} in blocks of {held.block_size:,}, not {block_size:,}"
            )
        block_size = held.block_size
    elif block_size is None:
        block_size = default_block_size(seats)
    if target is not None and held is not None and not held.has_block_counts:
        raise ValueError(
            "half_width needs the count of every block from boarding 0, which the result to resume"
            f" does not keep ({held.why_no_block_counts}); resume without half_width"
        )
    holdings = Holdings(block_size, held.spans if held is not None else ())
    precision = PrecisionTarget(target, confidence, block_size, wanted) if target is not None else None
    backend = choose_backend(client, executor)
    # The result keeps the other seeds' parts of `resume`, and this seed's in its place.
    others: Tuple[Part, ...] = resume.parts if resume is not None else ()
    before: Tuple[Provenance, ...] = resume.provenance if resume is not None else ()
    base_elapsed = resume.elapsed if resume is not None else 0.0
    todo = holdings.missing(wanted)

    started = time.perf_counter()
    with StopRequest() as stop:
        total = max(wanted, holdings.iterations)
        reporter = make_progress(progress, total, holdings.iterations, confidence, method=ANYTIME, half_width=target)
        run = Run((passengers, seats, cols), seed, holdings, backend, stop, reporter, precision)

        def result(interrupted: bool) -> Estimate:
            mine = Part(seed, block_size, holdings.spans())
            parts = (*others, mine) if held is None else tuple(mine if p.seed == seed else p for p in others)
            made = before
            if run.block_functions:
                functions = ", ".join(sorted(run.block_functions))
                made = tuple(dict.fromkeys((*before, provenance(functions, backend.threads(), backend.name))))
            return Estimate(
                passengers,
                seats,
                cols,
                parts,
                elapsed=base_elapsed + (time.perf_counter() - started),
                confidence=confidence,
                interrupted=interrupted,
                provenance=made,
                method=method,
            )

        if checkpoint is not None:
            run.checkpoint = Checkpointer(lambda: checkpoint(result(True)), seconds)
        try:
            run.count(todo)
        finally:
            reporter.close()
    stopped = stop.requested or run.failure is not None
    # A stop may come before the target has looked at every boarding counted: the result is
    # then unfinished too, and a resumed run looks on.
    unsettled = precision is not None and not precision.decided
    final = result(stopped and run.stop_at is None and (bool(holdings.missing(wanted)) or unsettled))
    if run.failure is not None:
        raise EstimateFailed(final, run.failure) from run.failure
    # Ctrl-C during the last call still stops the caller, with a complete result.
    if stop.requested:
        raise EstimateInterrupted(final)
    return final
