"""Counting ranges of boardings as tasks: on a thread of this process, on a Dask cluster, or on
any concurrent.futures.Executor (a process pool, mpi4py's MPIPoolExecutor, a Dask client's
get_executor()), all by one loop.

A task counts the boardings [start, stop) of one seed with the seeded kernel and returns the
exact count and the count of each block it touched. Its result depends only on its arguments,
so a task run again after its worker died gives the same count, and tasks may finish in any
order: each finished range is kept as it arrives. Tasks are cut at block boundaries and sized
from the rates the tasks measure: about CALL_SECONDS on this machine, so that Ctrl-C answers
at once (but at least as many blocks as the kernel's threads count side by side, about a third
of a second at any plane size where they have vector lanes), and at least TASK_SECONDS on an executor (longer on a large one, see
MAX_TASKS_PER_SECOND), so that the scheduler's own cost per task stays small. On this machine a
block longer than MAX_CALL_SECONDS is counted in calls that end inside it, each going on from
the word of the block's stream where the last one stopped.
"""

from __future__ import annotations

import concurrent.futures
import contextvars
import math
import os
import platform
import sys
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Set, Tuple

from . import _kernel
from ._counting import Holdings, counts_from_bytes, seed_key, touched_blocks
from ._interrupt import StopRequest
from ._intervals import anytime
from ._progress import Progress
from ._result import Provenance
from ._store import Checkpointer
from ._version import __version__

# A local call lasts about this long: short enough that Ctrl-C answers at once, long enough
# that handing the next call to the kernel costs nothing.
CALL_SECONDS = 0.2
# A task on an executor lasts at least this long: far above the few milliseconds a scheduler
# spends on a task, far below a scheduler's patience with a busy worker.
TASK_SECONDS = 1.0
# On a LocalCluster the driver and the scheduler spend about 5 ms of processor time on a task,
# a worker about 4 ms: on a large cluster tasks last longer, so that they are asked for at
# most this many a second (200 worker threads: tasks of 4 s, a quarter of one processor).
MAX_TASKS_PER_SECOND = 50.0
# A local call of whole blocks (at least one per processor) lasts at most about this long; a
# block that one thread takes longer over is counted in calls that end inside it.
MAX_CALL_SECONDS = 1.0
# Tasks in flight per worker thread, so that no worker waits for the next between two.
TASKS_PER_THREAD = 2
# Near the end tasks shrink with what is left, down to this fraction of a full one.
TAIL_DIVISOR = 16
# A task is at most this many times the size of the one measured before it.
GROWTH = 8
# How often the loop looks at the stop request, the clock and the cluster's size.
POLL_SECONDS = 0.05
WIDTH_REFRESH_SECONDS = 1.0

WORKER_THREADS_VARIABLE = "TAVRIN_PUZZLES_WORKER_THREADS"

# Where a caller that reports precision stops (the command line) collects them: for each run
# that a half-width target ended, its stopping point and the boardings counted past it that the
# result leaves out (by calls under way when the target was reached, or resumed from a result).
PRECISION_STOPS: contextvars.ContextVar[Optional[List[Tuple[int, int]]]] = contextvars.ContextVar(
    "precision_stops", default=None)

# successes, per-block counts, seconds spent counting, block function used
TaskResult = Tuple[int, bytes, float, str]
# boardings [start, stop), and whether their count is kept (else they only lead up to a later task)
Task = Tuple[int, int, bool]


def count_range(
    passengers: int, seats: int, cols: str, key: bytes, block_size: int, start: int, stop: int, threads: int
) -> TaskResult:
    """The task: count the boardings [start, stop) of the seed whose key is `key` on `threads`
    kernel threads (0: the process's own budget), passed to the kernel, never through the
    environment."""
    started = time.perf_counter()
    successes, blocks = _kernel.count(passengers, seats, cols, key, block_size, start, stop, threads=threads)
    return successes, blocks, time.perf_counter() - started, _kernel.block_functions()[0]


def count_from(
    passengers: int, seats: int, cols: str, key: bytes, block_size: int, start: int, stop: int, threads: int,
    positions: Dict[int, int],
) -> TaskResult:
    """count_range() for calls on this machine, which may end inside a block: a call that starts
    inside one goes on from the word of its stream recorded in `positions` by the call that
    ended there, and records where it ends in turn."""
    started = time.perf_counter()
    plane = (passengers, seats, cols, key, block_size)
    position = positions.pop(start, None) if start % block_size else 0
    if position is None:  # no call here ended there: the block's beginning is run first
        position = _kernel.count(*plane, start - start % block_size, start, threads=threads, position=0)[2]
    successes, blocks, end = _kernel.count(*plane, start, stop, threads=threads, position=position)
    if stop % block_size:
        positions[stop] = end
    return successes, blocks, time.perf_counter() - started, _kernel.block_functions()[0]


def processors() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # pragma: no cover - every Linux has it
        return os.cpu_count() or 1


def local_threads() -> int:
    """The kernel's thread budget in this process: the variable when it is set, else the
    processors this process may run on."""
    text = os.environ.get(WORKER_THREADS_VARIABLE, "").strip()
    if text.isdigit() and int(text) > 0:
        return int(text)
    return processors()


def provenance(block_function: str, threads: int, runner: str) -> Provenance:
    return Provenance(
        version=__version__,
        python=f"{platform.python_implementation()} {platform.python_version()}",
        machine=platform.machine(),
        block_function=block_function,
        threads=threads,
        runner=runner,
    )


class Backend:
    """Where tasks run: `submit` hands one over, `width` is how many to keep in flight."""

    name = "local"
    threads_per_task = 0
    # Local calls are short and cannot be cancelled: on a stop the loop waits for them and
    # keeps their counts. Remote tasks are cancelled instead.
    drain_on_stop = True
    # Calls run one after another here, so one may go on inside a block where the last ended.
    splits_blocks = True

    def __init__(self) -> None:
        self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="tavrin-estimate")

    def submit(self, fn: Callable[..., TaskResult], *args: Any) -> concurrent.futures.Future[TaskResult]:
        return self._pool.submit(fn, *args)

    def width(self) -> int:
        return TASKS_PER_THREAD

    def task_seconds(self) -> float:
        return CALL_SECONDS

    def threads(self) -> int:
        return local_threads()

    def processors(self) -> int:
        """The threads that really run a call at once, which size the calls: threads beyond
        the processors take turns and end a call no sooner."""
        return min(self.threads(), processors())

    def blocks_at_once(self, seats: int) -> int:
        """The blocks a call counts side by side, which size the calls: a kernel thread
        counts as many blocks at once as it has lanes, and a call of fewer per thread would
        leave them idle."""
        return self.processors() * _kernel.lanes(seats)

    def close(self, outstanding: Set[concurrent.futures.Future[TaskResult]]) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)


class ExecutorBackend(Backend):
    """Any concurrent.futures.Executor; each task runs on one kernel thread, so the executor's
    workers are its parallelism."""

    threads_per_task = 1
    drain_on_stop = False
    splits_blocks = False

    def __init__(self, executor: concurrent.futures.Executor) -> None:
        self._executor = executor
        self.name = f"executor {type(executor).__module__}.{type(executor).__qualname__}"
        self._workers = _executor_workers(executor)

    def submit(self, fn: Callable[..., TaskResult], *args: Any) -> concurrent.futures.Future[TaskResult]:
        return self._executor.submit(fn, *args)

    def width(self) -> int:
        return TASKS_PER_THREAD * self._workers

    def task_seconds(self) -> float:
        return max(TASK_SECONDS, self._workers / MAX_TASKS_PER_SECOND)

    def threads(self) -> int:
        return 1

    def processors(self) -> int:
        return 1

    def blocks_at_once(self, seats: int) -> int:
        # Tasks of a second or more hold enough blocks for a thread's lanes anyway.
        return self.processors()

    def close(self, outstanding: Set[concurrent.futures.Future[TaskResult]]) -> None:
        for future in outstanding:
            future.cancel()


class DaskBackend(ExecutorBackend):
    """A dask.distributed Client, through its own Executor; the width follows the cluster's
    thread count as workers come and go."""

    def __init__(self, client: Any) -> None:
        self._client = client
        super().__init__(client.get_executor(pure=False))
        self.name = f"dask.distributed {getattr(client.scheduler, 'address', '')}".rstrip()
        self._seen_at = -math.inf

    def width(self) -> int:
        if time.monotonic() - self._seen_at > WIDTH_REFRESH_SECONDS:
            self._workers = max(1, sum(self._client.nthreads().values()))
            self._seen_at = time.monotonic()
        return TASKS_PER_THREAD * self._workers

    def close(self, outstanding: Set[concurrent.futures.Future[TaskResult]]) -> None:
        # The outstanding tasks only: the executor's shutdown cancels the finished ones too,
        # which the scheduler answers on the client's connection as it closes (a CommClosedError
        # traceback in the scheduler's log at the end of every run).
        super().close(outstanding)


def _executor_workers(executor: concurrent.futures.Executor) -> int:
    """The number of tasks an executor runs at once, where it says; else the processors here."""
    for name in ("num_workers", "_max_workers"):
        value = getattr(executor, name, None)
        if isinstance(value, int) and value > 0:
            return value
    return os.cpu_count() or 1


def current_client() -> Any:
    """The Dask client active in the calling context (a `with Client(...)` block, or the
    default client), as dask's own functions find it; None when dask.distributed was never
    imported or no client is active. dask is not imported here."""
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        return distributed.Client.current(allow_global=True)
    except ValueError:
        return None


def choose_backend(client: Any, executor: Optional[concurrent.futures.Executor]) -> Backend:
    if client is not None and client is not False and executor is not None:
        raise ValueError("give client= or executor=, not both")
    if executor is not None:
        if not isinstance(executor, concurrent.futures.Executor):
            raise TypeError(f"executor must be a concurrent.futures.Executor, not {type(executor).__name__}")
        return ExecutorBackend(executor)
    if client is None:
        client = current_client()
    if client is None or client is False:
        return Backend()
    if not hasattr(client, "get_executor"):
        raise TypeError(f"client must be a dask.distributed Client, not {type(client).__name__}")
    return DaskBackend(client)


class BlockSizer:
    """Task sizes from the measured rate of one kernel thread's block, so that a task lasts
    about `target` seconds on `threads` blocks at once (the processors that really run it, times
    the blocks each counts side by side in its lanes), growing at most
    GROWTH times per step so that one noisy timing of a small task cannot make the next one
    huge. Tasks are whole blocks, at least `threads`, unless `within_blocks` allows tasks
    inside a block and one block on one thread would last more than MAX_CALL_SECONDS."""

    def __init__(self, target: float, block_size: int, threads: int, within_blocks: bool = False) -> None:
        self.target = target
        self.block_size = block_size
        self.least = max(1, threads)
        self.within_blocks = within_blocks
        self.per_thread = 0.0  # boardings a second on one thread; 0 before the first timing
        self.most = math.inf

    def first(self, seconds_per_boarding: float) -> None:
        """Size from the time of one boarding on one thread (which includes a call's fixed
        cost, so the size errs small)."""
        self.per_thread = 1.0 / max(seconds_per_boarding, 1e-9)

    def measured(self, boardings: int, blocks: int, seconds: float) -> None:
        """A task of `boardings` boardings touching `blocks` blocks took `seconds`."""
        if seconds > 0.0:
            self.per_thread = boardings / seconds / min(self.least, max(1, blocks))
        self.most = (boardings if self.inside_blocks else max(boardings, self.block_size)) * GROWTH

    @property
    def inside_blocks(self) -> bool:
        """Whether the next task ends inside a block."""
        return self.within_blocks and self.block_size > self.per_thread * MAX_CALL_SECONDS

    @property
    def blocks(self) -> int:
        """Whole blocks in the next task."""
        return max(self.least, int(min(self.most, self.per_thread * self.least * self.target) / self.block_size))

    @property
    def boardings(self) -> int:
        """Boardings in the next task inside a block."""
        return max(1, int(min(self.most, self.per_thread * self.target)))


# A bound below says that a candidate's half-width exceeds the target only with these margins,
# far above the rounding of the bound and of the ends that anytime() computes (a few units in
# the last place of numbers at most 1).
_RELATIVE_MARGIN = 1e-9
_ABSOLUTE_MARGIN = 1e-15


class PrecisionTarget:
    """Decides where a run with a half-width target stops.

    At the first block boundary k (in block order from boarding 0, or the run's end) whose
    prefix [0, k) has a confidence sequence interval of at most that half-width. The sequence
    holds at every k at once, so stopping where it is narrow enough keeps its level, which a
    fixed-count interval would not. It reads the block counts of the range that starts at 0 as
    it grows, so the decision depends on the counts alone, never on the order tasks finish in.

    The sequence is solved (anytime(), a root search) only at the candidates that may qualify:
    a run of consecutive candidates whose half-widths a closed-form bound shows to be all above
    the target is passed over as a whole (see `_cannot_qualify`), halved until it is or until a
    single candidate is left. The half-width shrinks only over many candidates, so far from the
    stopping point whole calls' blocks pass at once.

    Parameters
    ----------
    half_width : float
        The target.
    confidence : float
        Of the confidence sequence.
    block_size : int
        Boardings per block.
    end : int
        The run's end, its last candidate.
    """

    def __init__(self, half_width: float, confidence: float, block_size: int, end: int) -> None:
        self.half_width = half_width
        self.confidence = confidence
        self.block_size = block_size
        self.end = end
        # The successes among [0, boardings): the last candidate passed.
        self.successes = 0
        self.boardings = 0
        self.found: Optional[int] = None
        # Where the next block's count is: an array of the run from 0, its index there, and the
        # successes of the array's blocks before it.
        self._chunk = 0
        self._offset = 0
        self._taken = 0
        self._log_level = -math.log(1.0 - confidence)
        self._wider = half_width * (1.0 + _RELATIVE_MARGIN) + _ABSOLUTE_MARGIN

    @property
    def decided(self) -> bool:
        """Whether the stopping point is known: found, or every candidate passed."""
        return self.found is not None or self.boardings >= self.end

    def check(self, holdings: Holdings, share: Callable[[int, int], int],
              stopping: Callable[[], bool] = lambda: False) -> Optional[int]:
        """The boarding to stop at, once known.

        Parameters
        ----------
        holdings : Holdings
            The counts so far.
        share : callable
            ``share(start, stop)``: the successes among boardings [start, stop) of one block,
            asked for the last candidate when the counts held go past it inside its block.
        stopping : callable
            Looked at between candidates: when it says True, the check ends and the next one
            goes on from there.

        Returns
        -------
        int or None
            The stopping point, or None while the counts from boarding 0 do not decide it.
        """
        first = holdings.first()
        if first is None:
            return None
        chunks = first.chunks
        assert chunks is not None
        size = self.block_size
        while self.boardings < self.end:
            if stopping():
                return None
            while self._chunk < len(chunks) and self._offset >= len(chunks[self._chunk]):
                self._chunk += 1
                self._offset = 0
                self._taken = 0
            if self._chunk == len(chunks):
                return None
            counts = chunks[self._chunk]
            left = len(counts) - self._offset
            whole = min(left, min(first.stop, self.end) // size - self.boardings // size)
            if whole > 0:
                # The successes of the whole blocks ahead, from the array's sum: the blocks that
                # are not (the last of the run from 0, or those beyond the end) are few or once.
                ahead = first.totals[self._chunk] - self._taken
                if whole < left:
                    ahead -= sum(counts[self._offset + whole:])
                self.found = self._scan(counts, whole, self.successes + ahead, stopping)
                if self.found is not None:
                    return self.found
                continue
            if first.stop < self.end:
                return None
            # The last candidate, inside a block: its count is the block's only where the
            # counts held end there.
            part = counts[self._offset] if first.stop == self.end else share(self.boardings, self.end)
            self._offset += 1
            self._taken += part
            self.successes += part
            self.boardings = self.end
            self.found = self.end if self._narrow(self.successes, self.end) else None
            return self.found
        return None

    def _scan(self, counts: Any, whole: int, successes: int, stopping: Callable[[], bool]) -> Optional[int]:
        """Pass the candidates at the ends of the next `whole` blocks of `counts`, after which
        the prefix counts `successes`; the first that qualifies, if any."""
        # (first, last) block indices of a run of candidates, and the successes up to its last
        # candidate when known; the leftmost run is on top.
        todo: List[Tuple[int, int, Optional[int]]] = [(self._offset, self._offset + whole, successes)]
        while todo:
            if stopping():
                return None
            low, high, after = todo.pop()
            if after is None:
                after = self.successes + sum(counts[low:high])
            nearest = self.boardings + self.block_size
            farthest = self.boardings + (high - low) * self.block_size
            if high - low > 1 and not self._cannot_qualify(self.successes, after, nearest, farthest):
                middle = (low + high) // 2
                todo.append((middle, high, after))
                todo.append((low, middle, None))
                continue
            single = high - low == 1
            self._offset = high
            self._taken += after - self.successes
            self.successes = after
            self.boardings = farthest
            if single and not self._cannot_qualify(after, after, farthest, farthest) and self._narrow(after, farthest):
                return farthest
        return None

    def _narrow(self, successes: int, boardings: int) -> bool:
        low, high = anytime(successes, boardings, self.confidence)
        return (high - low) / 2.0 <= self.half_width

    def _cannot_qualify(self, fewest: int, most: int, nearest: int, farthest: int) -> bool:
        """Whether every candidate k in [nearest, farthest] (>= 1) whose successes S_k lie in
        [fewest, most] has a half-width above the target, by a bound without root search.

        The sequence is {p : k KL(S_k/k, p) < log(1/alpha) + G}, where KL is the Kullback-
        Leibler divergence of Bernoulli laws and G = log(pi (S/k)^S (F/k)^F / B(1/2 + S, 1/2 + F))
        >= log(pi k / 2) / 2 (as Gamma(x + 1/2) <= sqrt(2 pi) x^x e^-x): the threshold is at
        least `reach` / k below. A point p at distance d from S/k is inside it when
        k KL < `reach`: KL <= d^2 / (2 v), v the least t(1 - t) between them, which shows the
        whole (S/k - w, S/k + w) inside, so the half-width is at least w; near 0 or 1, where v
        vanishes, KL(x, x - 2w) <= log(x / (x - 2w)) (and its mirror) shows one end at least 2w
        from S/k. w is the target and a margin.
        """
        w = self._wider
        reach = (self._log_level + 0.5 * math.log(0.5 * math.pi * nearest)) * (1.0 - _RELATIVE_MARGIN)
        low = fewest / farthest * (1.0 - _RELATIVE_MARGIN)
        high = min(1.0, most / nearest * (1.0 + _RELATIVE_MARGIN))
        below, above = low - w, high + w
        if below > 0.0 and above < 1.0:
            least = min(below * (1.0 - below), above * (1.0 - above))
            if 2.0 * least * reach > farthest * w * w:
                return True
        if low > 2.0 * w and -farthest * math.log1p(-2.0 * w / low) < reach:
            return True
        return 1.0 - high > 2.0 * w and -farthest * math.log1p(-2.0 * w / (1.0 - high)) < reach


class Run:
    """One seed's ranges counted through a backend into `holdings`."""

    def __init__(
        self,
        plane: Tuple[int, int, str],
        seed: int,
        holdings: Holdings,
        backend: Backend,
        stop: StopRequest,
        progress: Progress,
        target: Optional[PrecisionTarget] = None,
        checkpoint: Optional[Checkpointer] = None,
    ) -> None:
        self.plane = plane
        self.key = seed_key(seed)
        self.holdings = holdings
        self.backend = backend
        self.stop = stop
        self.progress = progress
        self.target = target
        self.checkpoint = checkpoint
        self.stop_at: Optional[int] = None
        self.failure: Optional[BaseException] = None
        self.block_functions: Set[str] = set()
        # Where in its block's stream each boarding that a local call ended at begins.
        self.positions: Dict[int, int] = {}

    def _keep(self, task: Task, result: TaskResult) -> None:
        start, stop, kept = task
        successes, blocks, _, block_function = result
        self.block_functions.add(block_function)
        if not kept:
            return
        self.holdings.add(start, stop, successes, counts_from_bytes(blocks))
        self.progress.update(self.holdings.successes, self.holdings.iterations)
        self._check_target()

    def _check_target(self) -> None:
        if self.target is not None and self.stop_at is None:
            self.stop_at = self.target.check(self.holdings, self._share, lambda: self.stop.requested)

    def _share(self, start: int, stop: int) -> int:
        """The successes among [start, stop), inside one block, counted here."""
        return int(_kernel.count(*self.plane, self.key, self.holdings.block_size, start, stop)[0])

    def _call(self, task: Task, threads: int) -> Tuple[Callable[..., TaskResult], Tuple[Any, ...]]:
        """The function that counts `task` on `threads` kernel threads, with its arguments:
        count_from where calls may end inside a block, else count_range."""
        arguments = (*self.plane, self.key, self.holdings.block_size, task[0], task[1], threads)
        if self.backend.splits_blocks:
            return count_from, (*arguments, self.positions)
        return count_range, arguments

    def _submit(self, task: Task) -> concurrent.futures.Future[TaskResult]:
        function, arguments = self._call(task, self.backend.threads_per_task)
        return self.backend.submit(function, *arguments)

    def probe(self, task: Task) -> float:
        """Count the first task, one boarding, on this thread, which checks that the plane
        boards here, and return how long it took."""
        function, arguments = self._call(task, 0)
        result = function(*arguments)
        self._keep(task, result)
        return result[2]

    def _tasks(self, todo: List[Tuple[int, int]], sizer: BlockSizer) -> Iterator[Task]:
        """Tasks over `todo` in order, each ending on a block boundary (or where `todo` does),
        of sizer.blocks blocks, fewer near the end so the workers finish together; or, inside a
        long block, of sizer.boardings. Where a range starts inside a block at a boarding no
        call here ended at, tasks whose counts are not kept run the block up to there first,
        so that no call runs longer than the others."""
        size = self.holdings.block_size
        left = sum(b - a for a, b in todo)
        planned = 0
        for low, high in todo:
            if self.backend.splits_blocks and low % size:
                at = max(low - low % size, planned)
                while at < low:
                    end = min(low, at + sizer.boardings)
                    yield at, end, False
                    at = end
            at = low
            while at < high:
                if sizer.inside_blocks:
                    end = min(high, at + sizer.boardings, (at // size + 1) * size)
                else:
                    share = -(-left // (self.backend.width() * size))
                    blocks = min(sizer.blocks, max(share, sizer.blocks // TAIL_DIVISOR, 1))
                    end = min(high, (at // size + blocks) * size)
                if sizer.per_thread <= 0.0:
                    end = at + 1  # the probe
                yield at, end, True
                left -= end - at
                at = end
            planned = high

    def count(self, todo: List[Tuple[int, int]]) -> None:
        """Count every range of `todo` (sorted, not held yet) unless stopped, failed or
        decided earlier; every task that finished is kept."""
        self._check_target()
        if not todo or self.stop_at is not None or self.stop.requested:
            self.backend.close(set())
            self._cut()
            return
        sizer = BlockSizer(self.backend.task_seconds(), self.holdings.block_size,
                           self.backend.blocks_at_once(self.plane[1]), self.backend.splits_blocks)
        tasks = self._tasks(todo, sizer)
        pending: Dict[concurrent.futures.Future[TaskResult], Task] = {}
        try:
            # Its errors (a plane that cannot board, a thread count the kernel refuses) are the
            # caller's: nothing was counted.
            sizer.first(self.probe(next(tasks)))
        except BaseException as exc:
            self.backend.close(set())
            if not isinstance(exc, KeyboardInterrupt):
                raise
            self.stop.request()  # an application's own SIGINT handler, as below
            return
        try:
            exhausted = self.stop_at is not None
            while True:
                while not (exhausted or self.stop.requested or self.stop_at is not None or self.failure):
                    if len(pending) >= self.backend.width():
                        break
                    task = next(tasks, None)
                    if task is None:
                        exhausted = True
                        break
                    pending[self._submit(task)] = task
                if not pending or self.stop.requested or self.stop_at is not None or self.failure:
                    break
                done, _ = concurrent.futures.wait(pending, timeout=POLL_SECONDS, return_when="FIRST_COMPLETED")
                for future in sorted(done, key=lambda f: pending[f]):
                    self._finish(future, pending.pop(future), sizer)
                if self.checkpoint is not None and done:
                    try:
                        self.checkpoint.maybe_save()
                    except Exception as exc:  # what the checkpointer does not take as a warning
                        self.failure = exc
        except KeyboardInterrupt:
            # Raised by an application's own SIGINT handler, which was left in place.
            self.stop.request()
        except Exception as exc:  # an executor that refuses tasks (shut down), or anything else between tasks
            if self.failure is None:
                self.failure = exc
        finally:
            self._wind_up(pending, sizer)
        self._cut()

    def _cut(self) -> None:
        """Drop every count at and beyond the stopping point, once there is one."""
        if self.stop_at is not None:
            assert self.target is not None
            counted = self.holdings.iterations
            self.holdings.cut(self.stop_at, self.target.successes)
            stops = PRECISION_STOPS.get()
            if stops is not None:
                stops.append((self.stop_at, counted - self.holdings.iterations))

    def _finish(self, future: concurrent.futures.Future[TaskResult], task: Task, sizer: Optional[BlockSizer]) -> None:
        try:
            result = future.result()
        except concurrent.futures.CancelledError as exc:
            if self.failure is None and not self.stop.requested and self.stop_at is None:
                self.failure = exc
            return
        except Exception as exc:  # the task's own error, or the executor's (a worker lost)
            if self.failure is None:
                self.failure = exc
            return
        keeping = time.perf_counter()
        self._keep(task, result)
        if sizer is not None:
            sizer.target = self.backend.task_seconds()  # a cluster's size may have changed
            # A call's work is its count and the keeping of its blocks here (the precision
            # target's check among it): both delay the next look at a stop request.
            seconds = result[2] + time.perf_counter() - keeping
            sizer.measured(task[1] - task[0], touched_blocks(task[0], task[1], self.holdings.block_size), seconds)

    def _wind_up(self, pending: Dict[concurrent.futures.Future[TaskResult], Task], sizer: BlockSizer) -> None:
        """Keep every task that has finished (after waiting for the local calls, which end
        soon), cancel the rest."""
        if self.backend.drain_on_stop and pending:
            for future in pending:
                future.cancel()  # those not started yet
            concurrent.futures.wait(pending)
        for future in sorted((f for f in pending if f.done()), key=lambda f: pending[f]):
            self._finish(future, pending.pop(future), None)
        try:
            self.backend.close(set(pending))
        except Exception:  # a closed client refuses to cancel: the real cause is kept instead
            pass
