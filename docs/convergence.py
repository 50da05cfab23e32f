"""Draw how an estimate converges: the running fraction and its Wilson interval band against the
number of boardings (log scale), next to the exact answer. Needs matplotlib.

    python docs/convergence.py                       # writes docs/convergence.png
    python docs/convergence.py --iterations 1e5 --output /tmp/c.png
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path
from typing import List, Optional

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt  # noqa: E402

from tavrin_estimate import Estimate, estimate  # noqa: E402

HERE = Path(__file__).resolve().parent
POINTS_PER_DECADE = 12


def checkpoints(total: int) -> List[int]:
    """Boarding counts at which the running estimate is read: log-spaced from 10 to total."""
    steps = max(1, math.ceil(math.log10(max(total, 10)) * POINTS_PER_DECADE))
    marks = {min(total, max(1, round(10 ** (i / POINTS_PER_DECADE)))) for i in range(POINTS_PER_DECADE, steps + 1)}
    return sorted(marks | {total})


def draw(total: int, passengers: int, seats: int, confidence: float, output: Path) -> Estimate:
    running: Optional[Estimate] = None
    xs: List[int] = []
    fractions: List[float] = []
    lows: List[float] = []
    highs: List[float] = []
    for mark in checkpoints(total):
        done = running.iterations if running is not None else 0
        # Each step continues the run from where the last one stopped, so the curve is one run.
        running = estimate(mark, passengers, seats, confidence=confidence, resume=running) if mark > done else running
        assert running is not None
        low, high = running.interval
        xs.append(running.iterations)
        fractions.append(running.fraction)
        lows.append(low)
        highs.append(high)
    assert running is not None

    exact = running.exact
    centre = float(exact) if exact is not None else running.fraction
    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 6.5), dpi=110,
                                         gridspec_kw={"height_ratios": [3, 2]})
    top.fill_between(xs, lows, highs, color="tab:blue", alpha=0.25, linewidth=0,
                     label=f"{confidence:.0%} Wilson interval")
    top.plot(xs, fractions, color="tab:blue", linewidth=1.5, label="running estimate")
    if exact is not None:
        top.axhline(centre, color="black", linestyle="--", linewidth=1, label=f"exact answer {exact}")
    top.set_ylim(max(0.0, centre - 0.25), min(1.0, centre + 0.25))
    top.set_ylabel("last passenger in own seat")
    top.set_title(f"One run of {running.iterations:,} boardings, {passengers} passengers, {seats} seats")
    top.legend(loc="upper right")

    # The same run on a log scale of distance: the band narrows as 1 / sqrt(boardings).
    half_widths = [(high - low) / 2 for low, high in zip(lows, highs)]
    errors = [abs(fraction - centre) for fraction in fractions]
    bottom.plot(xs, half_widths, color="tab:blue", linewidth=1.5, label="half-width of the interval")
    reference = "exact answer" if exact is not None else "final estimate"
    bottom.plot(xs, errors, color="tab:orange", linewidth=1, label=f"distance of the estimate from the {reference}")
    bottom.set_yscale("log")
    bottom.set_ylim(max(min(half_widths) / 30, 1e-7), 1.0)
    bottom.set_ylabel("distance")
    bottom.set_xlabel("boardings (log scale)")
    bottom.legend(loc="lower left")
    for axes in (top, bottom):
        axes.set_xscale("log")
        axes.set_xlim(xs[0], xs[-1])
        axes.grid(True, which="major", alpha=0.3)
    figure.tight_layout()
    figure.savefig(output)
    plt.close(figure)
    return running


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iterations", type=lambda text: int(float(text)), default=10**7)
    parser.add_argument("--passengers", type=int, default=100)
    parser.add_argument("--seats", type=int, default=100)
    parser.add_argument("--confidence", type=float, default=0.95)
    parser.add_argument("--output", type=Path, default=HERE / "convergence.png")
    args = parser.parse_args(argv)
    result = draw(args.iterations, args.passengers, args.seats, args.confidence, args.output)
    print(f"{args.output}: {result.iterations:,} boardings, estimate {result.fraction:.5f}")


if __name__ == "__main__":
    main()
