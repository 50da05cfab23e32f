"""The boardings of an estimate as tasks on a Dask cluster (dask.distributed, optional).

A kernel call holds its worker's interpreter lock from start to end, which also stops that
worker's event loop: a call longer than the scheduler's patience gets the worker declared dead.
So every task is one call of about TASK_SECONDS, sized from the rate the tasks themselves
measure, and each worker process keeps two tasks queued so it never waits for the scheduler
between them. A task returns its exact count, never a fraction, and builds its own `Planes`
(which cannot be pickled). The package must be installed on the workers.
"""

from __future__ import annotations

import math
import os
import queue
import threading
import time
from typing import TYPE_CHECKING, Any, Set, Tuple

from tavrin_puzzles import Planes

from ._counting import CallSizer, count_from_fraction

if TYPE_CHECKING:
    from distributed import Future

    from ._estimate import Tally

# Far below the scheduler's worker time-out (minutes) and the event loop's own warning (3 s);
# far above the few milliseconds that the scheduler spends on a task.
TASK_SECONDS = 1.0
TASKS_QUEUED_PER_WORKER = 2
TAIL_DIVISOR = 16
FIRST_TASK = 1024
TASK_GROWTH = 64
# How often the loop looks at the stop request and at the cluster's size.
POLL_SECONDS = 0.1
WORKERS_REFRESH_SECONDS = 1.0

WORKER_THREADS_VARIABLE = "TAVRIN_PUZZLES_WORKER_THREADS"

_budget_lock = threading.Lock()


def _use_thread_budget() -> None:
    """Give the kernel's worker pool the worker's own thread count, not every processor: each
    worker process is budgeted its `nthreads`, and the kernel reads the variable per call."""
    from distributed import get_worker

    budget = str(get_worker().state.nthreads)
    with _budget_lock:
        if os.environ.get(WORKER_THREADS_VARIABLE) != budget:
            os.environ[WORKER_THREADS_VARIABLE] = budget


def board(passengers: int, seats: int, cols: str, iterations: int) -> Tuple[int, int, float]:
    """The task: `iterations` boardings on one worker, as (successes, iterations, seconds)."""
    _use_thread_budget()
    planes = Planes(passengers, seats, cols)
    started = time.perf_counter()
    fraction = planes.run_simulations(iterations)
    seconds = time.perf_counter() - started
    return count_from_fraction(fraction, iterations), iterations, seconds


def run_on_cluster(client: Any, passengers: int, seats: int, cols: str, todo: int, tally: Tally) -> None:
    """Run `todo` boardings as tasks of `client`'s cluster (a distributed.Client, whose methods
    are untyped), adding each count to `tally` as it arrives. On a stop request the tasks that
    finished are counted and the rest cancelled."""
    finished: queue.Queue[Future[Tuple[int, int, float]]] = queue.Queue()
    pending: Set[Future[Tuple[int, int, float]]] = set()
    # A task's own timing leaves out the scheduler, so its rate is no worse than the local
    # first calls' and the sizes may climb faster: each step of the climb costs a round trip.
    sizer = CallSizer(TASK_SECONDS, first=FIRST_TASK, growth=TASK_GROWTH)
    submitted = 0
    workers = 1
    workers_seen_at = -math.inf

    def count(future: Future[Tuple[int, int, float]]) -> None:
        pending.discard(future)
        successes, iterations, seconds = future.result()
        tally.add(successes, iterations)
        sizer.measured(iterations, seconds)

    try:
        while True:
            if time.monotonic() - workers_seen_at > WORKERS_REFRESH_SECONDS:
                workers = max(1, len(client.nthreads()))
                workers_seen_at = time.monotonic()
            while not tally.stop.requested and submitted < todo and len(pending) < TASKS_QUEUED_PER_WORKER * workers:
                left = todo - submitted
                # Near the end tasks shrink with what is left (down to a sixteenth of a full
                # task), so the workers finish together instead of one running on alone.
                share = -(-left // (TASKS_QUEUED_PER_WORKER * workers))
                n = min(sizer.size, left, max(share, sizer.size // TAIL_DIVISOR))
                future = client.submit(board, passengers, seats, cols, n, pure=False)
                pending.add(future)
                future.add_done_callback(finished.put)
                submitted += n
            if not pending or tally.stop.requested:
                break
            try:
                count(finished.get(timeout=POLL_SECONDS))
            except queue.Empty:
                pass
        # Stopped early: keep what finished; the rest is cancelled below.
        for future in [f for f in pending if f.status == "finished"]:
            count(future)
    finally:
        if pending:
            client.cancel(list(pending))
