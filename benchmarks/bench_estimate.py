"""What the companion costs: boardings per second of `tavrin_estimate.estimate(N)` against one
plain `Planes(p, p).run_simulations(N)` call of the same total, on this machine and on a
LocalCluster of two worker processes of one thread each, measured in interleaved rounds.

    .venv-cpython/bin/python benchmarks/bench_estimate.py [--iterations 1e7] [--rounds 3]

Targets: at least 0.95x the plain call locally, at least 0.9x on the cluster.
"""

from __future__ import annotations

import argparse
import importlib
import statistics
import sys
import time
from typing import Any, Callable, Dict, List, Optional

from tavrin_estimate import estimate
from tavrin_puzzles import Planes

LOCAL_TARGET = 0.95
CLUSTER_TARGET = 0.9


def timed(run: Callable[[int], int], iterations: int) -> float:
    """Boardings per second of one run, which must report the full count."""
    started = time.perf_counter()
    counted = run(iterations)
    seconds = time.perf_counter() - started
    if counted != iterations:
        raise RuntimeError(f"a run counted {counted} boardings instead of {iterations}")
    return iterations / seconds


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iterations", type=lambda text: int(float(text)), default=10**7)
    parser.add_argument("--passengers", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-cluster", action="store_true", help="skip the LocalCluster column")
    args = parser.parse_args(argv)
    n, p = args.iterations, args.passengers
    planes = Planes(p, p)

    def plain(k: int) -> int:
        planes.run_simulations(k)
        return k

    runs: Dict[str, Callable[[int], int]] = {
        "plain run_simulations": plain,
        "estimate, local": lambda k: estimate(k, p, p).iterations,
    }
    cluster: Any = None
    client: Any = None
    if not args.no_cluster:
        try:
            distributed: Any = importlib.import_module("distributed")
        except ImportError:
            print("dask.distributed is not installed: no cluster column", file=sys.stderr)
        else:
            cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
            client = distributed.Client(cluster)
            runs["estimate, 2-process LocalCluster"] = lambda k: estimate(k, p, p, client=client).iterations

    try:
        # One short run of each first: imports, worker start-up, first allocations.
        for run in runs.values():
            run(min(n, 100_000))
        rates: Dict[str, List[float]] = {name: [] for name in runs}
        for _ in range(args.rounds):
            for name, run in runs.items():
                rates[name].append(timed(run, n))
    finally:
        if client is not None:
            client.close()
            cluster.close()

    baseline = statistics.median(rates["plain run_simulations"])
    print(f"{n:,} boardings of {p} passengers, {p} seats; median of {args.rounds} interleaved rounds\n")
    print("| run | boardings/s (median) | min | max | against the plain call | target |")
    print("|---|---:|---:|---:|---:|---|")
    for name, values in rates.items():
        median = statistics.median(values)
        target = {"estimate, local": LOCAL_TARGET}.get(name, CLUSTER_TARGET if "Cluster" in name else None)
        verdict = "" if target is None else f">= {target}x: {'met' if median / baseline >= target else 'MISSED'}"
        print(f"| {name} | {median:,.0f} | {min(values):,.0f} | {max(values):,.0f} | {median / baseline:.3f}x | {verdict} |")


if __name__ == "__main__":
    main()
