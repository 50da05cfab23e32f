"""Draw what watching a run costs a fixed-count interval: one seeded run read after every block,
with the running 95% Wilson interval and the confidence sequence ("anytime") around the exact
answer, and red marks at the blocks where Wilson's interval left the answer out. Both are
scaled by sqrt(n), so Wilson's band keeps one width and the sequence's grows as sqrt(log n).
Needs matplotlib.

The run and the picture are fixed by the seed and carry no date or version, so the committed
docs/anytime.png is what

    python docs/anytime.py --update-docs

writes (with matplotlib as pinned by the test scripts); without --update-docs the picture goes
to build/docs/anytime.png, or to --output PATH (.png or .svg). Seed 1, as for the convergence
picture, happens to be one of the runs (about half of them) that Wilson's interval misleads.
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from _figures import add_output_options, chosen_output, save  # first: matplotlib without a display

# isort: split

import matplotlib.pyplot as plt

from tavrin_estimate import estimate
from tavrin_estimate._intervals import proportion_ci

SEED = 1
# Two passengers board fastest, and the answer is 1/2 as for any plane of two or more.
PLANE = (2, 2, "AB")

Reading = Tuple[int, int]  # boardings, successes


def readings(total: int, block_size: int, seed: int) -> List[Reading]:
    """The running count after every block of one run, from the per-block counts it keeps."""
    result = estimate(total, *PLANE, seed=seed, block_size=block_size)
    (span,) = result.parts[0].spans
    counts = span.block_counts()
    assert counts is not None
    running: List[Reading] = []
    successes = 0
    for block, count in enumerate(counts):
        successes += count
        running.append((min((block + 1) * block_size, total), successes))
    return running


def draw(running: List[Reading], seed: int, confidence: float, output: Path) -> int:
    """Draw the picture; returns the number of blocks at which Wilson's interval missed 1/2."""
    xs = [n for n, _ in running]
    scale = [math.sqrt(n) for n in xs]
    centre = [(k / n - 0.5) * root for (n, k), root in zip(running, scale)]
    bands: Dict[str, Tuple[List[float], List[float]]] = {}
    for method in ("wilson", "anytime"):
        ends = [proportion_ci(k, n, confidence, method) for n, k in running]
        bands[method] = ([(low - 0.5) * root for (low, _), root in zip(ends, scale)],
                         [(high - 0.5) * root for (_, high), root in zip(ends, scale)])
    missed = [i for i, (low, high) in enumerate(zip(*bands["wilson"])) if not low <= 0.0 <= high]
    figure, axes = plt.subplots(figsize=(11, 4.8), dpi=110)
    axes.fill_between(xs, *bands["anytime"], color="tab:green", alpha=0.2, linewidth=0,
                      label=f"{confidence:.0%} confidence sequence (anytime)")
    axes.fill_between(xs, *bands["wilson"], color="tab:blue", alpha=0.3, linewidth=0,
                      label=f"{confidence:.0%} Wilson interval (one fixed count)")
    axes.plot(xs, centre, color="black", linewidth=1.0, label="running estimate")
    axes.axhline(0.0, color="black", linestyle="--", linewidth=1, label="the exact answer 1/2")
    axes.plot([xs[i] for i in missed], [0.0] * len(missed), linestyle="none", marker="|", markersize=12,
              color="tab:red", label=f"Wilson leaves 1/2 out\n({len(missed):,} of {len(xs):,} blocks)")
    axes.set_xscale("log")
    axes.set_xlim(xs[0], xs[-1])
    axes.set_xlabel("boardings (log scale), read after every block")
    axes.set_ylabel("(estimate - 1/2) x sqrt(boardings)")
    axes.set_title(f"One run of {xs[-1]:,} boardings (seed {seed}, {PLANE[0]} passengers)")
    axes.grid(True, which="major", alpha=0.3)
    # Beside the axes, where it hides none of the bands.
    axes.legend(loc="center left", bbox_to_anchor=(1.02, 0.5), borderaxespad=0.0, fontsize="small")
    figure.tight_layout()
    save(figure, output)
    return len(missed)


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iterations", type=lambda text: int(float(text)), default=10**7)
    parser.add_argument("--block-size", type=int, default=2000)
    parser.add_argument("--confidence", type=float, default=0.95)
    parser.add_argument("--seed", type=int, default=SEED)
    add_output_options(parser, "anytime")
    args = parser.parse_args(argv)
    output = chosen_output(args, "anytime")
    missed = draw(readings(args.iterations, args.block_size, args.seed), args.seed, args.confidence, output)
    print(f"{output}: seed {args.seed}, Wilson's interval left 1/2 out at {missed:,} blocks")


if __name__ == "__main__":
    main()
