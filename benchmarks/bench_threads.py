"""Python threads calling the module at once: what a free-threaded interpreter gains.

    python benchmarks/bench_threads.py [--budget SECONDS] [--passengers N] [--threads K...]

Each of K Python threads calls `run_simulation()` and `generate_seating()` in turn, on a plane
of its own and, in a second row, all on one shared plane (whose shared borrows run side by side).
It prints the calls per second of all threads together and the speed-up over one thread,
measured in alternating rounds in one process, with the best round of each kept. On a
free-threaded interpreter (3.13t, 3.14t) the threads truly run at once and K threads on K free
processors approach a speed-up of K; with the GIL only one runs at a time, about 1.
"""

from __future__ import annotations

import argparse
import os
import sys
import sysconfig
import threading
import time

from tavrin_puzzles import Planes

ROUNDS = 3


def calls_per_second(threads: int, shared: bool, passengers: int, budget: float) -> float:
    """Calls of both methods per second over `threads` threads running for `budget` seconds."""
    one = Planes(passengers, passengers)
    planes = [one if shared else Planes(passengers, passengers) for _ in range(threads)]
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def work(index: int) -> None:
        plane = planes[index]
        start.wait()
        calls = 0
        while not stop.is_set():
            plane.run_simulation()
            plane.generate_seating()
            calls += 2
        counts[index] = calls

    workers = [threading.Thread(target=work, args=(index,)) for index in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(budget)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - began)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--budget", type=float, default=0.5, help="seconds per measurement (default 0.5)")
    parser.add_argument("--passengers", type=int, default=100, help="passengers and seats of the plane (default 100)")
    parser.add_argument(
        "--threads", type=int, nargs="+", default=[1, 2, 4], help="thread counts to measure (default 1 2 4)"
    )
    options = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the GIL"
    print(
        f"{sys.implementation.name} {sys.version.split()[0]}, {build}, GIL {'on' if gil else 'off'} at run time, "
        f"{len(os.sched_getaffinity(0))} processors; plane of {options.passengers}"
    )
    counts = sorted({1, *options.threads})
    best = {(k, shared): 0.0 for k in counts for shared in (False, True)}
    for _ in range(ROUNDS):
        for key, rate in best.items():
            best[key] = max(rate, calls_per_second(key[0], key[1], options.passengers, options.budget))
    print(f"{'threads':>7} {'own planes, calls/s':>20} {'speed-up':>8} {'one plane, calls/s':>19} {'speed-up':>8}")
    for k in counts:
        own, one = best[(k, False)], best[(k, True)]
        print(f"{k:>7} {own:>20,.0f} {own / best[(1, False)]:>7.2f}x {one:>19,.0f} {one / best[(1, True)]:>7.2f}x")


if __name__ == "__main__":
    main()
