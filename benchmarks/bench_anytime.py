"""What the confidence sequence ("anytime") costs and what it buys.

- width: its half-width over Wilson's at p = 1/2 and 95%, at 10^4 to 10^12 boardings;
- time: one interval of the sequence against one block of boardings counted by the kernel (the
  default plane and block size, on every thread of this machine), measured side by side: a run
  with a precision target or a progress display computes one per block at most;
- coverage: many simulated runs of a fair coin, each looked at after every block (binomial
  counts drawn by numpy from a seeded generator): the share of runs in which each interval
  leaves 1/2 out at some look, and Wilson's at the last look alone.

    python benchmarks/bench_anytime.py [--runs 2000] [--looks 1000] [--block 65536] [--seed 27]

The coverage part takes a few minutes at the defaults (about 50 us per interval of the
sequence); --runs 0 skips it.
"""

from __future__ import annotations

import argparse
import math
import time
from typing import List, Optional, Set

from tavrin_estimate import _kernel, default_block_size, seed_key
from tavrin_estimate._intervals import ANYTIME, proportion_ci

COUNTS = [10**4, 10**6, 10**8, 10**10, 10**12]


def widths(confidence: float) -> None:
    print(f"half-width at p = 1/2, {confidence:.0%}: the sequence's, Wilson's, and their ratio")
    for n in COUNTS:
        low, high = proportion_ci(n // 2, n, confidence, ANYTIME)
        w_low, w_high = proportion_ci(n // 2, n, confidence, "wilson")
        print(f"  n = 10^{round(math.log10(n)):<3} {(high - low) / 2:.4e}  {(w_high - w_low) / 2:.4e}"
              f"  {(high - low) / (w_high - w_low):.3f}")


def cost(confidence: float, repeats: int = 2000) -> None:
    block = default_block_size(100)
    key = seed_key(1)
    # Alternating, so that both see the same load on a shared machine.
    interval_seconds: List[float] = []
    block_seconds: List[float] = []
    for round_ in range(5):
        started = time.perf_counter()
        for i in range(repeats):
            n = (round_ * repeats + i + 1) * block
            proportion_ci(n // 2 - i, n, confidence, ANYTIME)
        interval_seconds.append((time.perf_counter() - started) / repeats)
        started = time.perf_counter()
        _kernel.count(100, 100, "ABCDEF", key, block, round_ * block * 8, (round_ + 1) * block * 8, threads=0)
        block_seconds.append((time.perf_counter() - started) / 8)
    one, counted = min(interval_seconds), min(block_seconds)
    print(f"one interval of the sequence: {one * 1e6:.1f} us; one block of {block:,} boardings"
          f" (100 seats, all threads): {counted * 1e3:.1f} ms; ratio {one / counted:.3%}")


def coverage(runs: int, looks: int, block: int, seed: int, confidence: float) -> None:
    import numpy as np

    counts = np.random.Generator(np.random.PCG64(seed)).binomial(block, 0.5, size=(runs, looks))
    missed = {ANYTIME: 0, "wilson": 0}
    wilson_at_end = 0
    started = time.perf_counter()
    for run in range(runs):
        heads = 0
        seen: Set[str] = set()
        for look in range(looks):
            heads += int(counts[run, look])
            boardings = (look + 1) * block
            for method in missed:
                if method in seen:
                    continue
                low, high = proportion_ci(heads, boardings, confidence, method)
                if not low <= 0.5 <= high:
                    seen.add(method)
        low, high = proportion_ci(heads, looks * block, confidence, "wilson")
        wilson_at_end += not low <= 0.5 <= high
        for method in seen:
            missed[method] += 1
    print(f"{runs:,} runs of a fair coin, looked at after each of {looks:,} blocks of {block:,}"
          f" ({time.perf_counter() - started:.0f} s):")
    for method, count in missed.items():
        share = count / runs
        error = math.sqrt(share * (1 - share) / runs)
        print(f"  {method:8} left 1/2 out at some look in {count:,} runs: {share:.2%} (+- {1.96 * error:.2%})")
    print(f"  wilson   left 1/2 out at the last look in {wilson_at_end:,} runs: {wilson_at_end / runs:.2%}")


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--looks", type=int, default=1000)
    parser.add_argument("--block", type=int, default=65536)
    parser.add_argument("--seed", type=int, default=27)
    parser.add_argument("--confidence", type=float, default=0.95)
    args = parser.parse_args(argv)
    widths(args.confidence)
    cost(args.confidence)
    if args.runs > 0:
        coverage(args.runs, args.looks, args.block, args.seed, args.confidence)


if __name__ == "__main__":
    main()
