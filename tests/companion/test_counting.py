"""Exact counts from the kernel's fractions, and the sizes of consecutive calls."""

from __future__ import annotations

import random

import pytest

from tavrin_estimate import count_from_fraction
from tavrin_estimate._counting import MAX_EXACT_CALL, CallSizer
from tavrin_puzzles import Planes


def test_count_recovered_from_every_fraction_the_module_returns() -> None:
    """For every batch size from 1 to 600 the module's fraction is k / n for exactly the k
    recovered, and a plane whose boardings all succeed gives back n itself."""
    two = Planes(2, 2, "AB")
    for n in range(1, 601):
        fraction = two.run_simulations(n)
        k = count_from_fraction(fraction, n)
        assert 0 <= k <= n and k / n == fraction
    one = Planes(1, 1, "A")
    for n in (1, 7, 4096, 99_991):
        assert count_from_fraction(one.run_simulations(n), n) == n


def test_count_recovered_near_two_to_the_53() -> None:
    """Where neighbouring fractions k / n and (k + 1) / n are closest, each still maps back to
    its own k, up to the largest size a call may have."""
    rng = random.Random(20261207)
    for n in (2**53 - 1, 2**53 - 3, 2**52 + 1, 3 * 2**50 + 7):
        ks = [0, 1, n // 2, n // 2 + 1, n - 1, n] + [rng.randrange(n + 1) for _ in range(2000)]
        for k in ks:
            assert count_from_fraction(k / n, n) == k


@pytest.mark.parametrize(
    "fraction, iterations",
    [(0.3, 4), (float("nan"), 4), (-0.25, 4), (1.25, 4), (0.5, 0), (0.5, MAX_EXACT_CALL + 1)],
)
def test_count_refuses_what_no_batch_returns(fraction: float, iterations: int) -> None:
    """A fraction that is no k / n, or a size past exact recovery, is an error, not a guess."""
    with pytest.raises(ValueError):
        count_from_fraction(fraction, iterations)


def test_call_sizes_grow_from_small_towards_the_target() -> None:
    """Calls start small, grow at most eightfold per step, then follow the measured rate."""
    sizer = CallSizer(target=0.2)
    assert sizer.size == 64
    sizer.measured(64, 1e-6)  # a tiny call timed as nearly free
    assert sizer.size == 512
    sizer.measured(512, 0.1)  # 5120 per second: 1024 in 0.2 s
    assert sizer.size == 1024
    sizer.measured(1024, 0.0)  # no measurable time at all
    assert sizer.size == 8192
    limited = CallSizer(target=10.0, first=2**52, limit=MAX_EXACT_CALL)
    limited.measured(2**52, 1e-3)
    assert limited.size == MAX_EXACT_CALL
