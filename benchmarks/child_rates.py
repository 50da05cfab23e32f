"""Measurements that bench_simulations.py runs in another interpreter and reads back as JSON.

    python child_rates.py simulations BUDGET N...   boardings per second of
        Planes(n, n).run_simulations(...) on one worker, for each n (as bench_simulations measures)
    python child_rates.py seating BUDGET N...       best microseconds per call of
        Planes(n, n).generate_seating() and of pure_boarding.generate_seating(n, n), for each n,
        timed in alternating rounds
"""

from __future__ import annotations

import json
import os
import sys
import time
from pathlib import Path

os.environ["TAVRIN_PUZZLES_WORKER_THREADS"] = "1"

import tavrin_puzzles

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_simulations import module_rate
from pure_boarding import generate_seating as pure_generate_seating

ROUNDS = 5


def seating_microseconds(seats: int, budget: float) -> tuple[float, float]:
    """Best microseconds per call of the module's and the plain version, in alternating rounds."""
    planes = tavrin_puzzles.Planes(seats, seats)
    calls = {"module": planes.generate_seating, "pure": lambda: pure_generate_seating(seats, seats)}
    repeats = max(10, int(20_000 / seats))
    best = {name: float("inf") for name in calls}
    deadline = time.perf_counter() + budget
    rounds = 0
    while rounds < 2 * ROUNDS or time.perf_counter() < deadline:
        for name, call in calls.items():
            start = time.perf_counter()
            for _ in range(repeats):
                call()
            best[name] = min(best[name], (time.perf_counter() - start) / repeats * 1e6)
        rounds += 1
        if rounds >= 50 * ROUNDS:
            break
    return best["module"], best["pure"]


def main() -> None:
    mode, budget, sizes = sys.argv[1], float(sys.argv[2]), [int(n) for n in sys.argv[3:]]
    if mode == "simulations":
        print(json.dumps({n: module_rate(n, budget) for n in sizes}))
    elif mode == "seating":
        print(json.dumps({n: seating_microseconds(n, budget) for n in sizes}))
    else:
        sys.exit(f"unknown mode {mode!r}")


if __name__ == "__main__":
    main()
