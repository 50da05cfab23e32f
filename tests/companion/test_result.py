"""The result: Wilson interval, closed-form answer, combination, text and JSON forms."""

from __future__ import annotations

import dataclasses
import math
from fractions import Fraction
from statistics import NormalDist

import pytest

from .support import NEAR_CERTAIN
from tavrin_estimate import Estimate, estimate, exact_answer, wilson_interval


def test_wilson_interval_is_the_inverted_score_test() -> None:
    """For every count of 60 boardings and every p on a grid, the interval covers p exactly when
    |k/n - p| <= z sqrt(p(1 - p)/n); plus a value worked out by hand and the empty case."""
    n = 60
    for confidence in (0.5, 0.95, 0.999):
        z = NormalDist().inv_cdf(0.5 + confidence / 2)
        for k in range(n + 1):
            low, high = wilson_interval(k, n, confidence)
            assert 0.0 <= low <= k / n <= high <= 1.0
            for p in (i / 97 for i in range(1, 97)):
                distance, limit = abs(k / n - p), z * math.sqrt(p * (1 - p) / n)
                if abs(distance - limit) > 1e-9:  # away from the boundary, where rounding decides
                    assert (low <= p <= high) == (distance < limit), (confidence, k, p)
    # 0 of 10 at 95%: the upper end is z^2 / (n + z^2) = 3.8415 / 13.8415.
    assert wilson_interval(0, 10, 0.95) == (0.0, pytest.approx(0.27753, abs=1e-5))
    assert wilson_interval(0, 0, 0.95) == (0.0, 1.0)


@pytest.mark.parametrize(
    "passengers, seats, cols, exact",
    [
        (1, 1, "A", Fraction(1)),
        (1, 40, "ABCDEF", Fraction(1)),
        (2, 2, "AB", Fraction(1, 2)),
        (3, 3, "ABC", Fraction(1, 2)),  # as many letters as seats is enough
        (5, 40, "123456", Fraction(1, 2)),  # digits as letters: labels still differ
        (4, 9, "AAAAAA", Fraction(1, 2)),  # repeated letters
        (7, 7, "ABCDEFGH", Fraction(1, 2)),  # letters past the sixth are never used
        (30, 100, "ABCDEF", Fraction(1, 2)),  # empty seats never enter the boarding
        (0, 0, "", None),
        (0, 5, "ABCDEF", None),
        (3, 4, "ABC", None),  # seat 4 has no letter
        (1, 1, "", None),
    ],
)
def test_exact_answer_holds_on_the_module(passengers: int, seats: int, cols: str, exact: Fraction | None) -> None:
    """The closed form agrees with 4000 boardings of the module (interval at near certainty);
    a plane without one is refused by estimate() before anything runs."""
    assert exact_answer(passengers, seats, cols) == exact
    if exact is None:
        with pytest.raises(ValueError, match="no boarding can complete"):
            estimate(10, passengers, seats, cols)
        return
    result = estimate(4000, passengers, seats, cols, confidence=NEAR_CERTAIN)
    assert result.exact == exact
    low, high = result.interval
    assert low <= exact <= high
    if exact == 1:
        assert result.successes == result.iterations


def test_interval_coverage_over_many_small_estimates() -> None:
    """400 estimates of 100 boardings each: the 95% interval covers 1/2 in a count whose chance
    of falling outside the accepted range is below 1e-6 (both binomial tails, computed below)."""
    runs, n, confidence = 400, 100, 0.95
    # The interval covers 1/2 when |k - n/2| <= z sqrt(n)/2, so its true coverage is a sum of
    # binomial probabilities (about 0.943 here: the count is discrete).
    z = NormalDist().inv_cdf(0.5 + confidence / 2)
    coverage = sum(math.comb(n, k) for k in range(n + 1) if abs(k - n / 2) <= z * math.sqrt(n) / 2) / 2**n
    assert abs(coverage - confidence) < 0.02

    def tail_below(m: int) -> float:
        return sum(math.comb(runs, i) * coverage**i * (1 - coverage) ** (runs - i) for i in range(m))

    lowest = max(m for m in range(runs + 1) if tail_below(m) < 0.5e-6)
    highest = min(m for m in range(runs + 1) if 1 - tail_below(m + 1) < 0.5e-6)
    covered = 0
    for _ in range(runs):
        result = estimate(n, 2, 2, "AB", confidence=confidence)
        assert result.iterations == n
        low, high = result.interval
        covered += low <= 0.5 <= high
    assert lowest <= covered <= highest, (covered, lowest, highest)


def test_results_add_up_and_survive_json() -> None:
    """Two results of one plane add counts and time; a different plane or confidence refuses;
    JSON gives back an equal result; a result cannot be changed in place."""
    a = Estimate(100, 100, "ABCDEF", successes=30, iterations=50, elapsed=1.5, interrupted=True)
    b = Estimate(100, 100, "ABCDEF", successes=20, iterations=50, elapsed=0.5)
    total = a + b
    assert (total.successes, total.iterations, total.elapsed) == (50, 100, 2.0)
    assert total.interval == wilson_interval(50, 100, 0.95) and total.rate == 50.0
    assert total.interrupted
    with pytest.raises(ValueError, match="different configurations"):
        a + dataclasses.replace(b, cols="UVWXYZ")
    with pytest.raises(ValueError, match="confidence"):
        a + b.with_confidence(0.99)
    assert Estimate.from_json(total.to_json()) == total
    for text in ("[]", "{", '{"format": "something else"}', total.to_json().replace('"successes": 50', '"successes": "50"')):
        with pytest.raises(ValueError):
            Estimate.from_json(text)
    with pytest.raises(dataclasses.FrozenInstanceError):
        total.successes = 3  # type: ignore[misc]
    with pytest.raises(ValueError, match="exceed"):
        Estimate(2, 2, "AB", successes=3, iterations=2)


def test_text_shows_estimate_interval_exact_and_rate() -> None:
    """str() is what the command line prints: counts, estimate, interval, exact value, rate,
    and a mark on a partial result."""
    text = str(Estimate(100, 100, "ABCDEF", successes=499_950, iterations=1_000_000, elapsed=0.5))
    assert "1,000,000" in text and "499,950" in text
    assert "estimate   0.49995\n" in text
    assert "interval   [0.49897, 0.50093] at 0.95 confidence" in text
    assert "exact      1/2 (0.5), inside the interval" in text
    assert "rate       2,000,000 boardings/s" in text
    assert "INTERRUPTED" not in text
    partial = str(Estimate(0, 0, "", successes=0, iterations=0, interrupted=True))
    assert partial.startswith("INTERRUPTED") and "not known" in partial
