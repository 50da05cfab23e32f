"""What a checkpoint costs: the time of one atomic save of a result file (written, flushed to
the disk, renamed, the folder flushed), and the rate of `estimate()` saving after every call
against the same run saving never, in interleaved rounds. The cost of the default interval
(60 s) follows as the time of one save over 60 s.

    .venv-cpython/bin/python benchmarks/bench_checkpoint.py [--iterations 2e7] [--rounds 3] [--folder DIR]

The folder (default: the current one) decides the figure: a save costs what its file system's
fsync costs.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from typing import Callable, List, Optional

from tavrin_estimate import Estimate, estimate
from tavrin_estimate._result import FILE_FORMAT, FILE_VERSION
from tavrin_estimate._store import DEFAULT_CHECKPOINT_SECONDS, ResultFile

SEED = 1


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iterations", type=lambda text: int(float(text)), default=2 * 10**7)
    parser.add_argument("--passengers", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--folder", default=".")
    args = parser.parse_args(argv)
    n: int = args.iterations
    p: int = args.passengers

    with tempfile.TemporaryDirectory(dir=args.folder, prefix=".bench-checkpoint-") as folder:
        file = ResultFile(os.path.join(folder, "run.json"), kind=FILE_FORMAT, versions={FILE_VERSION})
        file.open()
        saves: List[float] = []

        def save(result: Estimate) -> None:
            started = time.perf_counter()
            file.save(result.to_dict())
            saves.append(time.perf_counter() - started)

        def run(checkpoint: Optional[Callable[[Estimate], None]]) -> float:
            started = time.perf_counter()
            result = estimate(n, p, p, seed=SEED, checkpoint=checkpoint, checkpoint_seconds=0.0)
            seconds = time.perf_counter() - started
            if result.iterations != n:
                raise RuntimeError(f"a run counted {result.iterations} boardings instead of {n}")
            return n / seconds

        plain: List[float] = []
        saving: List[float] = []
        for _ in range(args.rounds):
            plain.append(run(None))
            saving.append(run(save))
        file.close()

    rate = statistics.median(plain)
    save_seconds = statistics.median(saves)
    per_run = len(saves) / args.rounds
    print(f"{n:,} boardings of {p} passengers, median of {args.rounds} rounds, folder {os.path.abspath(args.folder)}")
    print(f"  no checkpoints            {rate:>14,.0f} boardings/s")
    print(f"  a checkpoint every call   {statistics.median(saving):>14,.0f} boardings/s ({per_run:.0f} saves a run)")
    print(f"  one save: median {save_seconds * 1e3:.2f} ms, slowest {max(saves) * 1e3:.2f} ms,"
          f" the time of {save_seconds * rate:,.0f} boardings")
    print(f"  at one save every {DEFAULT_CHECKPOINT_SECONDS:g} s: {save_seconds / DEFAULT_CHECKPOINT_SECONDS:.4%} of the run")


if __name__ == "__main__":
    main()
