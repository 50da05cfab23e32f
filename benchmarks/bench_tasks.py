"""What a task costs on a Dask LocalCluster, and what that predicts for a large cluster.

    .venv-cpython/bin/python benchmarks/bench_tasks.py [--workers 2] [--tasks 2000] [--iterations 2e7]

1. Tiny tasks (one boarding of a one-seat plane each) through the estimate's own task loop,
   `--tasks` of them with the usual number in flight: the processor time the driver with the
   scheduler (one process on a LocalCluster) and the workers spend on a task besides counting.
2. One estimate of `--iterations` boardings of the default plane locally and on the cluster
   (one thread per worker process, and locally as many kernel threads), the same seed: the
   counts must agree, and the rates show what the tasks cost in a real run.
3. The prediction for 10^12 boardings of the default plane on 100 workers of two threads:
   tasks last max(TASK_SECONDS, threads / MAX_TASKS_PER_SECOND) there; each costs its worker
   thread the worker time of 1 on top of counting, and the scheduler must start threads / task
   length tasks a second, each costing the driver and scheduler time of 1.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import importlib
import os
import sys
import time
from typing import Any, Dict, List, Optional, Tuple

from tavrin_estimate import estimate, seed_key
from tavrin_estimate._executors import MAX_TASKS_PER_SECOND, TASK_SECONDS, TASKS_PER_THREAD, count_range


def tiny_tasks(client: Any, tasks: int, threads: int) -> Tuple[float, float, float]:
    """Per tiny task, with TASKS_PER_THREAD tasks in flight per worker thread: the wall time, and
    the processor time of this process (driver and scheduler) and of the workers."""
    executor = client.get_executor(pure=False)
    key = seed_key(1)
    pending: Dict[concurrent.futures.Future[Any], int] = {}
    submitted = 0
    workers_before = sum(client.run(time.process_time).values())
    started, cpu = time.perf_counter(), time.process_time()
    while submitted < tasks or pending:
        while submitted < tasks and len(pending) < TASKS_PER_THREAD * threads:
            pending[executor.submit(count_range, 1, 1, "A", key, 1, submitted, submitted + 1, 1)] = submitted
            submitted += 1
        done, _ = concurrent.futures.wait(pending, return_when="FIRST_COMPLETED")
        for future in done:
            future.result()
            del pending[future]
    wall, cpu = time.perf_counter() - started, time.process_time() - cpu
    workers = sum(client.run(time.process_time).values()) - workers_before
    return wall / tasks, cpu / tasks, workers / tasks


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--tasks", type=int, default=2000)
    parser.add_argument("--iterations", type=lambda text: int(float(text)), default=2 * 10**7)
    args = parser.parse_args(argv)
    try:
        distributed: Any = importlib.import_module("distributed")  # untyped
    except ImportError:
        sys.exit("needs dask.distributed")

    print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
    os.environ["TAVRIN_PUZZLES_WORKER_THREADS"] = "1"
    estimate(10**5, seed=1, client=False)  # the first call's start-up
    single = estimate(2 * 10**6, seed=1, client=False)
    print(f"one kernel thread, default plane: {single.rate:,.0f} boardings/s")

    cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0")
    with cluster, distributed.Client(cluster) as client:
        tiny_tasks(client, 200, args.workers)  # start-up, imports
        wall, driver, worker = tiny_tasks(client, args.tasks, args.workers)
        print(f"{args.tasks} tiny tasks on {args.workers} worker processes: {wall * 1e3:.2f} ms of wall time per task,"
              f" processor time per task {driver * 1e3:.2f} ms in the driver and scheduler, {worker * 1e3:.2f} ms"
              " in the workers")
        os.environ["TAVRIN_PUZZLES_WORKER_THREADS"] = str(args.workers)
        counts = []
        for name, where in (("local", False), ("cluster", client)):
            result = estimate(args.iterations, seed=2, client=where)
            counts.append(result.successes)
            print(f"{args.iterations:,} boardings, seed 2, {name}: {result.successes:,} successes,"
                  f" {result.rate:,.0f} boardings/s")
        assert counts[0] == counts[1], "the cluster's count differs from the local one"
    print(f"load average after: {os.getloadavg()[0]:.2f}")

    threads, total = 200, 10**12
    task = max(TASK_SECONDS, threads / MAX_TASKS_PER_SECOND)
    efficiency = task / (task + worker)
    hours = total / (threads * single.rate * efficiency) / 3600
    print(
        f"prediction, 10^12 boardings on 100 workers of 2 threads: tasks of {task:g} s"
        f" ({total / (single.rate * task):,.0f} of them), {threads / task:.0f} a second, costing the driver and"
        f" scheduler {threads / task * driver:.2f} processors; task efficiency {efficiency:.4f};"
        f" {hours:.2f} h at {single.rate:,.0f} boardings/s per thread"
    )


if __name__ == "__main__":
    main()
