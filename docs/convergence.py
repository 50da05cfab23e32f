"""Draw how one seeded run converges: its distance from the exact answer scaled by sqrt(n), with
the interval band (about as wide at ten boardings as at ten million), and below, the distance
and the interval's half-width against the 1/sqrt(n) slope on log scales. Needs matplotlib.

The run is seeded, and the picture is written without a date or a software version in it, so
the same seed and matplotlib draw the same bytes: the committed docs/convergence.png is what

    python docs/convergence.py --update-docs

writes (with matplotlib as pinned by the test scripts). Without --update-docs the picture goes
to build/docs/convergence.png, or to --output PATH (.png or .svg).
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path
from typing import List, Optional, Sequence

from _figures import add_output_options, chosen_output, save  # first: matplotlib without a display

# isort: split

import matplotlib.pyplot as plt

from tavrin_estimate import Estimate, estimate

SEED = 1
POINTS_PER_DECADE = 12


def checkpoints(total: int) -> List[int]:
    """Boarding counts at which the running estimate is read: log-spaced from 10 to total."""
    steps = max(1, math.ceil(math.log10(max(total, 10)) * POINTS_PER_DECADE))
    marks = {min(total, max(1, round(10 ** (i / POINTS_PER_DECADE)))) for i in range(POINTS_PER_DECADE, steps + 1)}
    return sorted(marks | {total})


def run(total: int, passengers: int, seats: int, confidence: float, seed: int) -> List[Estimate]:
    """The run read at every checkpoint; each step continues the last, so the curve is one run."""
    readings: List[Estimate] = []
    for mark in checkpoints(total):
        last = readings[-1] if readings else None
        readings.append(estimate(mark, passengers, seats, seed=seed, confidence=confidence, resume=last))
    return readings


def draw(readings: Sequence[Estimate], confidence: float, output: Path) -> None:
    final = readings[-1]
    exact = final.exact
    centre = float(exact) if exact is not None else final.fraction
    reference = f"the exact answer {exact}" if exact is not None else "the final estimate"
    xs = [r.iterations for r in readings]
    roots = [math.sqrt(n) for n in xs]
    scaled = [(r.fraction - centre) * root for r, root in zip(readings, roots)]
    lows = [(r.interval[0] - centre) * root for r, root in zip(readings, roots)]
    highs = [(r.interval[1] - centre) * root for r, root in zip(readings, roots)]

    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(11, 7), dpi=110,
                                         gridspec_kw={"height_ratios": [1, 1]})
    top.fill_between(xs, lows, highs, color="tab:blue", alpha=0.25, linewidth=0,
                     label=f"{confidence:.0%} Wilson interval")
    top.plot(xs, scaled, color="tab:blue", linewidth=1.5, label="running estimate")
    top.axhline(0.0, color="black", linestyle="--", linewidth=1, label=reference)
    top.set_ylabel("(estimate - answer) x sqrt(boardings)")
    top.set_title(f"One run of {final.iterations:,} boardings (seed {final.seed}), "
                  f"{final.passengers} passengers, {final.seats} seats")
    # The legends beside the axes, where they hide none of the lines.
    top.legend(loc="center left", bbox_to_anchor=(1.02, 0.5), borderaxespad=0.0, fontsize="small")

    # The same run on log scales: both distances fall as 1 / sqrt(boardings).
    half_widths = [(r.interval[1] - r.interval[0]) / 2 for r in readings]
    distances = [abs(r.fraction - centre) for r in readings]
    floor = min(min(half_widths), min((d for d in distances if d > 0), default=1.0)) / 10
    bottom.plot(xs, half_widths, color="tab:blue", linewidth=1.5, label="half-width of the interval")
    # A distance of exactly 0 has no place on a log scale: a gap in the line, a mark at the floor.
    bottom.plot(xs, [d if d > 0 else math.nan for d in distances], color="tab:orange", linewidth=1,
                label=f"distance of the estimate\nfrom {reference}")
    zeros = [n for n, d in zip(xs, distances) if d == 0]
    if zeros:
        bottom.plot(zeros, [floor] * len(zeros), linestyle="none", marker="v", color="tab:orange",
                    label="estimate exactly on the answer")
    spread = math.sqrt(centre * (1.0 - centre)) if 0.0 < centre < 1.0 else 0.5
    bottom.plot(xs, [spread / root for root in roots], color="gray", linestyle=":", linewidth=1.2,
                label=f"{spread:.2g} / sqrt(boardings):\none standard error, slope -1/2")
    bottom.set_yscale("log")
    bottom.set_ylim(floor / 2, 1.0)
    bottom.set_ylabel("distance")
    bottom.set_xlabel("boardings (log scale)")
    bottom.legend(loc="center left", bbox_to_anchor=(1.02, 0.5), borderaxespad=0.0, fontsize="small")
    for axes in (top, bottom):
        axes.set_xscale("log")
        axes.set_xlim(xs[0], xs[-1])
        axes.grid(True, which="major", alpha=0.3)
    figure.tight_layout()
    save(figure, output)


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iterations", type=lambda text: int(float(text)), default=10**7, metavar="N",
                        help="boardings of the run drawn (1e7 or 10000000), default 1e7")
    parser.add_argument("--passengers", type=int, default=100, metavar="N", help="default 100")
    parser.add_argument("--seats", type=int, default=100, metavar="N", help="default 100")
    parser.add_argument("--confidence", type=float, default=0.95, metavar="C",
                        help="of the interval band, default 0.95")
    parser.add_argument("--seed", type=int, default=SEED, metavar="S",
                        help=f"the run's seed, default {SEED} (the committed picture's)")
    add_output_options(parser, "convergence")
    args = parser.parse_args(argv)
    output = chosen_output(args, "convergence")
    readings = run(args.iterations, args.passengers, args.seats, args.confidence, args.seed)
    draw(readings, args.confidence, output)
    print(f"{output}: {readings[-1].iterations:,} boardings of seed {args.seed}, estimate {readings[-1].fraction:.5f}")


if __name__ == "__main__":
    main()
