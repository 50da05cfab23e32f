"""Whole counts from the kernel's fractions, and the sizes of the calls that produce them.

`Planes.run_simulations(n)` returns k / n rounded once to the nearest double. For n < 2^53 the
candidates k / n lie more than one unit in the last place apart, so they round to distinct
doubles, and the rounding error of each is below half of 1 / n: the nearest whole number to
fraction * n (computed exactly) is k. The recovered k is checked by dividing it again.
"""

from __future__ import annotations

import math
from fractions import Fraction

# Calls stay below this size, so that every count is recoverable from its fraction.
MAX_EXACT_CALL = 2**53 - 1


def count_from_fraction(fraction: float, iterations: int) -> int:
    """The whole k with k / iterations == fraction, for 1 <= iterations < 2^53.

    ValueError when no such k exists: the fraction did not come from that many boardings.
    """
    if not 1 <= iterations <= MAX_EXACT_CALL:
        raise ValueError(f"a count is recoverable only for 1 to 2**53 - 1 iterations, not {iterations}")
    if not (0.0 <= fraction <= 1.0):  # NaN fails here too
        raise ValueError(f"{fraction!r} is no fraction of {iterations} boardings")
    k = round(Fraction(fraction) * iterations)
    if k / iterations != fraction:
        raise ValueError(f"{fraction!r} is no fraction of {iterations} boardings")
    return k


class CallSizer:
    """Sizes of consecutive calls: the first small, each later one scaled from the measured
    rate of the last so that it lasts about `target` seconds, growing at most `growth` times
    per step so that one noisy timing of a tiny call cannot make the next one huge."""

    def __init__(self, target: float, first: int = 64, growth: int = 8, limit: int = MAX_EXACT_CALL) -> None:
        self.target = target
        self.growth = growth
        self.limit = limit
        self.size = max(1, min(first, limit))

    def measured(self, iterations: int, seconds: float) -> None:
        """Take the timing of a call of `iterations` boardings into the next size."""
        size = iterations * self.growth
        if seconds > 0.0:
            size = min(size, math.ceil(iterations / seconds * self.target))
        self.size = max(1, min(size, self.limit))
