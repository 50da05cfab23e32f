"""estimate() on this machine and on executors: one seed gives one count however the work is
split, stopped and resumed; precision targets; Ctrl-C; failures; bad arguments."""

from __future__ import annotations

import concurrent.futures
import itertools
import json
import random
import shutil
import signal
import subprocess
import sys
from array import array
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

from tavrin_estimate import Estimate, EstimateFailed, EstimateInterrupted, Part, Span, _executors, _kernel, estimate
from tavrin_estimate._counting import Holdings, counts_to_bytes
from tavrin_estimate._intervals import proportion_ci

from .support import interrupting, one_block_calls

PLANE = (12, 14, "ABCDEF")
SEED = 2**100 + 12345
BLOCK = 1024
# Not a whole number of blocks: the last block is partial.
TOTAL = 200_003


@pytest.fixture(scope="module")
def reference() -> Estimate:
    """The run every other way of counting the same boardings must reproduce."""
    result = estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK)
    assert result.iterations == TOTAL and result.seed == SEED and not result.interrupted
    assert result.parts[0].has_block_counts
    return result


class FailingExecutor(concurrent.futures.ThreadPoolExecutor):
    """A pool whose `fail_at`-th task fails as a task whose worker died for good does, is
    cancelled as a cluster that restarted cancels it, or is refused as a pool shut down by
    another thread refuses it."""

    def __init__(self, fail_at: int, how: str = "fails") -> None:
        super().__init__(max_workers=2)
        self.fail_at = fail_at
        self.how = how
        self.submitted = 0

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> concurrent.futures.Future[Any]:
        self.submitted += 1
        if self.submitted == self.fail_at:
            if self.how == "shut down":
                self.shutdown(wait=False)
                return super().submit(fn, *args, **kwargs)
            failed: concurrent.futures.Future[Any] = concurrent.futures.Future()
            if self.how == "cancelled":
                failed.cancel()
                failed.set_running_or_notify_cancel()
            else:
                failed.set_exception(RuntimeError("worker lost"))
            return failed
        return super().submit(fn, *args, **kwargs)


@pytest.fixture(params=["1 thread", "2 threads", "7 threads", "process pool", "thread pool"])
def split(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> Iterator[tuple[dict[str, Any], int]]:
    """Ways to split one run, with the threads each kernel call gets: the kernel's worker
    threads, or tasks on an executor (one thread each)."""
    name: str = request.param
    if name.endswith(("thread", "threads")):
        monkeypatch.setenv("TAVRIN_PUZZLES_WORKER_THREADS", name.split()[0])
        yield {}, int(name.split()[0])
        return
    pool = concurrent.futures.ProcessPoolExecutor if name == "process pool" else concurrent.futures.ThreadPoolExecutor
    with pool(max_workers=3) as executor:
        yield {"executor": executor}, 1


def test_the_count_does_not_depend_on_the_split(reference: Estimate, split: tuple[dict[str, Any], int]) -> None:
    """The same seed gives the same count, ranges and per-block counts on 1, 2 and 7 kernel
    threads, on a process pool and on a thread pool of tasks; the result records the threads."""
    arguments, threads = split
    again = estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, **arguments)
    assert again.parts == reference.parts
    assert again.provenance[0].threads == threads


def test_interrupted_and_resumed_anywhere_gives_the_same_count(
    reference: Estimate, monkeypatch: pytest.MonkeyPatch
) -> None:
    """Runs stopped by Ctrl-C at several points and by totals inside blocks, each resumed from
    the last, end with exactly the boardings and counts of one uninterrupted run."""
    partial = estimate(1, *PLANE, seed=SEED, block_size=BLOCK)
    for total in (BLOCK + 1, 5 * BLOCK - 3):
        partial = estimate(total, *PLANE, resume=partial)
        assert partial.parts[0].ranges == ((0, total),)
    one_block_calls(monkeypatch)
    for updates in (2, 5, 3):
        reporter = interrupting(monkeypatch, updates)
        with pytest.raises(EstimateInterrupted) as stopped:
            estimate(TOTAL, *PLANE, resume=partial, progress=True)
        assert stopped.value.result.iterations >= reporter.seen > partial.iterations
        partial = stopped.value.result
        assert partial.interrupted and partial.seed == SEED
    monkeypatch.undo()
    final = estimate(TOTAL, *PLANE, resume=partial)
    assert final.parts == reference.parts and not final.interrupted


# The workers import the script too (under another name), to find what the driver sends them.
MPI_SCRIPT = """
import json, sys
from mpi4py.futures import MPIPoolExecutor
from tavrin_estimate import estimate
if __name__ == "__main__":
    plane, seed, block, total = json.loads(sys.argv[1])
    with MPIPoolExecutor() as executor:
        result = estimate(total, *plane, seed=seed, block_size=block, executor=executor)
    print(json.dumps([result.to_dict()["parts"], result.provenance[0].runner]))
"""


def test_an_mpi_pool_counts_what_this_machine_counts(reference: Estimate, tmp_path: Path) -> None:
    """mpi4py's MPIPoolExecutor under `mpiexec -n 3` (a driver and two workers) gives the
    reference's count and blocks."""
    pytest.importorskip("mpi4py")
    if shutil.which("mpiexec") is None:
        pytest.skip("no mpiexec on this machine")
    script = tmp_path / "run.py"
    script.write_text(MPI_SCRIPT)
    arguments = json.dumps([PLANE, SEED, BLOCK, TOTAL])
    command = ["mpiexec", "-n", "3", sys.executable, "-m", "mpi4py.futures", str(script), arguments]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    parts, runner = json.loads(done.stdout.strip().splitlines()[-1])
    assert parts == reference.to_dict()["parts"] and "MPIPoolExecutor" in runner


def first_narrow_prefix(reference: Estimate, half_width: float) -> int:
    """Where a run with that target must stop: the first block end (or the run's end) at which
    the anytime interval of all boardings before it is narrow enough, from the reference's
    counts."""
    (span,) = reference.parts[0].spans
    counts = span.block_counts()
    assert counts is not None
    successes = 0
    for block, count in enumerate(counts):
        successes += count
        end = min((block + 1) * BLOCK, TOTAL)
        low, high = proportion_ci(successes, end, reference.confidence, "anytime")
        if (high - low) / 2 <= half_width:
            return end
    return TOTAL


@pytest.mark.parametrize("how", ["local", "process pool", "interrupted"])
def test_a_precision_target_stops_at_the_same_block_whatever_the_split(
    how: str, reference: Estimate, monkeypatch: pytest.MonkeyPatch
) -> None:
    """half_width stops at the first block boundary whose prefix is narrow enough, counted in
    block order, so the stopping point and the count are those of the reference's blocks: also
    on a pool finishing tasks out of order and after an interruption."""
    target = 0.0075
    stop = first_narrow_prefix(reference, target)
    assert 10 * BLOCK < stop < TOTAL - 10 * BLOCK
    if how == "process pool":
        with concurrent.futures.ProcessPoolExecutor(max_workers=3) as executor:
            result = estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, half_width=target, executor=executor)
    else:
        resume = None
        if how == "interrupted":
            one_block_calls(monkeypatch)
            interrupting(monkeypatch, 3)
            with pytest.raises(EstimateInterrupted) as stopped:
                estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, half_width=target, progress=True)
            resume = stopped.value.result
            # It may hold boardings past the stop (a stop request breaks off the check that would
            # cut them, and calls hold many blocks): the resumed run must cut them.
            assert resume.interrupted or resume.iterations == stop  # or the target was met first
            monkeypatch.undo()
        result = estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, half_width=target, resume=resume)
    assert result.iterations == stop and not result.interrupted
    counts = reference.parts[0].spans[0].block_counts()
    assert counts is not None
    assert result.successes == sum(counts[: stop // BLOCK])
    low, high = result.proportion_ci(method="anytime")
    assert (high - low) / 2 <= target


@pytest.mark.parametrize("held", [[(0, TOTAL)], [(0, 40 * BLOCK), (60 * BLOCK, TOTAL)]], ids=["whole", "with-a-gap"])
def test_a_precision_target_met_inside_a_held_block_keeps_the_count_of_its_range(
    held: list[tuple[int, int]], reference: Estimate
) -> None:
    """Resumed from a result that holds boardings beyond `iterations`, which ends inside a
    block (all of them, or behind a gap that the run fills), a target first met at `iterations`
    stops there with the successes of [0, iterations), not of its whole block, and keeps nothing
    beyond: the result of a fresh run with that target."""
    end = 150 * BLOCK + 500
    fresh = estimate(end, *PLANE, seed=SEED, block_size=BLOCK)
    low, high = fresh.proportion_ci(method="anytime")
    target = (high - low) / 2
    assert first_narrow_prefix(reference, target) > 150 * BLOCK  # no block boundary before `end` stops
    counts = reference.parts[0].spans[0].block_counts()
    assert counts is not None
    spans = [counts[a // BLOCK: -(-b // BLOCK)] for a, b in held]
    resume = Estimate(*PLANE, (Part(SEED, BLOCK, tuple(
        Span(a, b, sum(part), counts_to_bytes(part)) for (a, b), part in zip(held, spans))),), interrupted=True)
    result = estimate(end, *PLANE, resume=resume, half_width=target)
    assert result.parts == fresh.parts and not result.interrupted


@pytest.mark.parametrize(
    "p, half_width, block_size",
    [(0.5, 0.05, 1), (0.03, 0.012, 1), (1.0, 0.003, 1), (0.0, 0.003, 3), (0.97, 0.02, 2), (0.5, 1e-30, 1)],
)
def test_a_precision_target_passes_over_only_candidates_that_cannot_qualify(
    p: float, half_width: float, block_size: int
) -> None:
    """The stopping point is the first candidate whose sequence, solved, is narrow enough, as
    if every candidate were solved, though runs of candidates that a bound shows too wide are
    passed over: inside, near 0 and 1 and with an unreachable target; also with the counts
    arriving in pieces in any order and checks broken off by stop requests, which the next
    check goes on from."""
    rng = random.Random(f"{p} {half_width}")
    end = 4000 * block_size + block_size // 2
    shares = [(low, min(end, low + block_size)) for low in range(0, end, block_size)]
    counts = array("I", (sum(rng.random() < p for _ in range(high - low)) for low, high in shares))
    expected, successes = None, 0
    for (_, high), count in zip(shares, counts):
        successes += count
        low_end, high_end = proportion_ci(successes, high, 0.95, "anytime")
        if (high_end - low_end) / 2 <= half_width:
            expected = high
            break
    cuts = sorted({0, len(shares), *rng.sample(range(1, len(shares)), 30)})
    pieces = list(zip(cuts, cuts[1:]))
    rng.shuffle(pieces)
    holdings = Holdings(block_size)
    target = _executors.PrecisionTarget(half_width, 0.95, block_size, end)
    found = None
    for first, last in pieces:
        holdings.add(shares[first][0], shares[last - 1][1], sum(counts[first:last]), counts[first:last])
        # A stop request at a random look, then a check that goes on to the end.
        for looks in (itertools.count(-rng.randrange(1, 40)), itertools.repeat(-1)):
            found = target.check(holdings, lambda low, high: pytest.fail("no share asked"), lambda: next(looks) >= 0)
        if found is not None:
            break
    assert found == expected and (found is None) == (expected is None)
    assert target.decided and target.successes == (successes if found else sum(counts))


@pytest.mark.parametrize("n", [1, 2, 10, 1000, 10**6, 10**9, 10**12, 10**15])
@pytest.mark.parametrize("confidence", [0.5, 0.95, 0.999999])
def test_the_bound_that_passes_candidates_over_never_passes_one_that_qualifies(n: int, confidence: float) -> None:
    """At counts from 1 to 10^15, inside and at the edges, a target at the half-width itself
    (or a hair above) is never said to be out of reach, while one a percent below it is, away
    from the edges and at a million boardings or more, so that runs of candidates are indeed
    passed over."""
    for s in sorted({min(n, max(0, c)) for c in (0, 1, 2, n // 3, n // 2, n - 2, n - 1, n)}):
        low, high = proportion_ci(s, n, confidence, "anytime")
        width = (high - low) / 2
        for factor in (1.0, 1.0 + 1e-6):
            target = _executors.PrecisionTarget(width * factor, confidence, 1, n)
            assert not target._cannot_qualify(s, s, n, n), (s, n, factor)
        if n >= 10**6 and s in (n // 3, n // 2):
            assert _executors.PrecisionTarget(width * 0.99, confidence, 1, n)._cannot_qualify(s, s, n, n)


def test_a_seed_drawn_from_the_system_is_recorded_and_replays() -> None:
    """Without a seed each run draws 128 bits of its own, and the recorded one repeats it."""
    first, second = (estimate(5000, *PLANE) for _ in range(2))
    assert first.seed is not None and second.seed is not None
    assert first.seed != second.seed and 0 <= first.seed < 2**128
    assert estimate(5000, *PLANE, seed=first.seed).parts == first.parts


@pytest.mark.parametrize(
    "how, cause, message",
    [
        ("fails", RuntimeError, "RuntimeError: worker lost"),
        ("cancelled", concurrent.futures.CancelledError, "CancelledError: a task was cancelled by the cluster"),
        ("shut down", RuntimeError, "RuntimeError: cannot schedule new futures after shutdown"),
    ],
)
def test_a_failing_task_stops_the_run_with_what_finished(how: str, cause: type, message: str,
                                                         reference: Estimate) -> None:
    """A task that fails or is cancelled, or an executor that refuses the next one, ends the run
    with EstimateFailed, raised from that error and saying what it was, carrying every range
    that did finish; resuming from it completes the same count."""
    with FailingExecutor(fail_at=6, how=how) as executor, pytest.raises(EstimateFailed) as failed:
        estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, executor=executor)
    partial = failed.value.result
    assert isinstance(failed.value.__cause__, cause) and message in str(failed.value)
    assert partial.interrupted and 0 < partial.iterations < TOTAL
    assert estimate(TOTAL, *PLANE, resume=partial).parts == reference.parts


def test_checkpoints_hold_resumable_partial_results(reference: Estimate) -> None:
    """checkpoint(partial) is called as the run goes on with results flagged as interrupted,
    each holding more, from any of which the run resumes to the same count."""
    saved: list[Estimate] = []
    final = estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, checkpoint=saved.append, checkpoint_seconds=0)
    assert final.parts == reference.parts
    assert len(saved) >= 3 and all(s.interrupted for s in saved)
    assert [s.iterations for s in saved] == sorted(s.iterations for s in saved)
    assert estimate(TOTAL, *PLANE, resume=saved[len(saved) // 2]).parts == reference.parts


def test_a_total_already_held_runs_nothing(reference: Estimate) -> None:
    """Resuming to a total the result already holds gives its counts back, at the new confidence."""
    same = estimate(1000, *PLANE, resume=reference, confidence=0.99)
    assert same.parts == reference.parts and same.confidence == 0.99 and not same.interrupted


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
            estimate(10**12, 10, 10, progress=True)
        assert signal.getsignal(signal.SIGINT) is (raise_interrupt if own_handler else signal.default_int_handler)
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    partial = stopped.value.result
    assert isinstance(stopped.value, KeyboardInterrupt)
    assert partial.interrupted and partial.iterations >= reporter.seen
    assert 0 < partial.iterations < 10**9
    resumed = estimate(partial.iterations + 10, 10, 10, resume=partial)
    assert resumed.iterations == partial.iterations + 10 and not resumed.interrupted


class RecordingKernel:
    """The kernel, recording the boardings [start, stop) of every call."""

    def __init__(self) -> None:
        self.calls: list[tuple[int, int]] = []
        self.block_functions = _kernel.block_functions
        self.lanes = _kernel.lanes

    def count(self, *args: Any, **options: Any) -> Any:
        self.calls.append((args[5], args[6]))
        return _kernel.count(*args, **options)


@pytest.mark.parametrize("long_blocks", [True, False], ids=["blocks-longer-than-a-call", "1000-worker-threads"])
def test_calls_last_about_their_target_whatever_the_blocks_and_threads(
    long_blocks: bool, reference: Estimate, monkeypatch: pytest.MonkeyPatch
) -> None:
    """Calls are sized by the processors that run them, not by a thread count far above them;
    a block longer than a call is counted in calls inside it, each going on in the block's
    stream where the last stopped (also after resuming inside a block): no boarding runs twice,
    and the counts are the same."""
    kernel = RecordingKernel()
    monkeypatch.setattr(_executors, "_kernel", kernel)
    monkeypatch.setattr(_executors, "CALL_SECONDS", 0.001)
    if long_blocks:
        monkeypatch.setattr(_executors, "MAX_CALL_SECONDS", 0.0)
    else:
        monkeypatch.setenv("TAVRIN_PUZZLES_WORKER_THREADS", "1000")
    partial = estimate(BLOCK + 7, *PLANE, seed=SEED, block_size=BLOCK)
    kernel.calls.clear()
    assert estimate(TOTAL, *PLANE, resume=partial).parts == reference.parts
    assert sum(stop - start for start, stop in kernel.calls) == TOTAL - BLOCK  # only [BLOCK, BLOCK + 7) twice
    touched = [-(-stop // BLOCK) - start // BLOCK for start, stop in kernel.calls[1:]]  # after the probe
    # A call holds at least the blocks its threads count side by side, on the processors alone.
    most = 8 * _executors.processors() * _kernel.lanes(PLANE[1])
    assert touched and max(touched) <= (1 if long_blocks else most)


TWO_SEEDS = Estimate(*PLANE, (Part(1, BLOCK, (Span(0, 10, 5),)), Part(2, BLOCK, (Span(0, 10, 5),))))
NO_COUNTS = Estimate(*PLANE, (Part(SEED, BLOCK, (Span(0, 10, 5),)),))


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"iterations": 2.5}, TypeError, "iterations"),
        ({"iterations": True}, TypeError, "iterations"),
        ({"iterations": 0}, ValueError, "iterations"),
        ({"iterations": 2**64}, ValueError, "iterations"),
        ({"iterations": 10, "cols": ["A"]}, TypeError, "cols"),
        ({"iterations": 10, "confidence": 1.0}, ValueError, "confidence"),
        ({"iterations": 10, "seed": -1}, ValueError, "seed"),
        ({"iterations": 10, "seed": "7"}, TypeError, "seed"),
        ({"iterations": 10, "seed": 2**4096}, ValueError, "a seed is below 2\\*\\*4096"),
        ({"iterations": 10, "half_width": 0.0}, ValueError, "half_width"),
        ({"iterations": 10, "half_width": float("nan")}, ValueError, "half_width"),
        ({"iterations": 10, "block_size": 0}, ValueError, "block_size"),
        ({"iterations": 10, "block_size": 2**32}, ValueError, "block_size"),
        ({"iterations": 10, "checkpoint_seconds": -1}, ValueError, "checkpoint_seconds"),
        ({"iterations": 10, "executor": "pool"}, TypeError, "Executor"),
        ({"iterations": 10, "client": object()}, TypeError, "Client"),
        ({"iterations": 10, "resume": "file.json"}, TypeError, "resume"),
        ({"iterations": 10, "resume": Estimate(5, 5, "ABCDEF")}, ValueError, "different configurations"),
        ({"iterations": 10, "resume": TWO_SEEDS}, ValueError, "pass seed="),
        ({"iterations": 10, "resume": TWO_SEEDS, "seed": 3}, ValueError, "not 3"),
        ({"iterations": 10, "resume": NO_COUNTS, "block_size": 64}, ValueError, "blocks of 1,024"),
        ({"iterations": 10, "resume": NO_COUNTS, "half_width": 0.1}, ValueError, "count of every block"),
    ],
)
def test_bad_arguments_are_refused_before_any_run(arguments: dict[str, Any], error: type, message: str) -> None:
    """Arguments of a wrong type or out of range, and results that cannot be resumed as asked,
    raise at once (the command line's matrix covers the planes that cannot board)."""
    with pytest.raises(error, match=message):
        estimate(**{"passengers": PLANE[0], "seats": PLANE[1], **arguments})
