"""Interval methods against scipy and statsmodels, closed forms at any count, and the exact
coverage of the Clopper-Pearson interval; the confidence sequence against its definition in
80 digits, and its chance of ever missing, exactly and simulated."""

from __future__ import annotations

import math
import random
from fractions import Fraction
from statistics import NormalDist
from typing import Any

import pytest

from tavrin_estimate._intervals import ANYTIME, METHODS, ConfidenceInterval, proportion_ci

from .support import needs

COUNTS = [
    (k, n)
    for n in (1, 2, 3, 10, 37, 1000, 10**5)
    for k in sorted({0, 1, 2, n // 3, n // 2, n - 1, n})
    if 0 <= k <= n
]
LEVELS = (0.5, 0.95, 0.999999)
FIXED_METHODS = [method for method in METHODS if method != ANYTIME]


def scipy_interval(k: int, n: int, level: float, method: str) -> tuple[float, float]:
    from scipy import stats

    if method == "jeffreys":  # binomtest has no Jeffreys interval: its definition, directly
        tail = (1 - level) / 2
        return stats.beta.ppf(tail, k + 0.5, n - k + 0.5), stats.beta.isf(tail, k + 0.5, n - k + 0.5)
    name = {"wilson": "wilson", "clopper-pearson": "exact"}[method]
    found: Any = stats.binomtest(k, n).proportion_ci(confidence_level=level, method=name)
    return found.low, found.high


@needs("scipy")
@needs("statsmodels")
@pytest.mark.parametrize("method", FIXED_METHODS)
def test_every_method_agrees_with_scipy_and_statsmodels(method: str) -> None:
    """Over a grid of counts and three levels, each end agrees with statsmodels to 1e-13 of its
    value (a few units in the last place), and with scipy to what scipy's own rounding allows:
    its exact interval stops its root finder at 2e-12, and its Wilson interval takes z from
    1/2 + level/2 rounded, up to 2e-12 off at the level 0.999999. The grid stops at 10^5:
    beyond, scipy's beta quantiles drift (at k = 1 of 10^9 the upper end is 2e-8 off a
    60-digit root of the binomial tail, which this package matches); the closed forms and the
    normal limit below check the largest counts instead.
"""
    from statsmodels.stats.proportion import proportion_confint

    named = {"wilson": "wilson", "clopper-pearson": "beta", "jeffreys": "jeffreys"}[method]
    # Only statsmodels' Wilson ends are not clamped to 0 and 1: they may come out 1e-17 beyond.
    rounding = 1e-15 if method == "wilson" else 0.0
    scipy_relative, scipy_absolute = {"wilson": (1e-13, 5e-12), "clopper-pearson": (1e-13, 4e-12)}.get(method, (1e-13, 0.0))
    for k, n in COUNTS:
        for level in LEVELS:
            ours = proportion_ci(k, n, level, method)
            assert isinstance(ours, ConfidenceInterval) and 0.0 <= ours.low < ours.high <= 1.0
            expected = proportion_confint(k, n, alpha=1 - level, method=named)
            assert ours == pytest.approx(expected, rel=1e-13, abs=rounding), (k, n, level)
            assert ours == pytest.approx(scipy_interval(k, n, level, method), rel=scipy_relative, abs=scipy_absolute)


@pytest.mark.parametrize("n", [2, 7, 10**6, 10**9, 10**12, 10**15, 10**18, 10**30])
def test_clopper_pearson_ends_with_a_closed_form_at_any_count(n: int) -> None:
    """The ends that the beta quantiles give in closed form, to 1e-14 of their value at every
    count: at k = 0 the upper end 1 - (alpha/2)^(1/n), at k = 1 the lower end
    1 - (1 - alpha/2)^(1/n), and their mirror images at k = n and n - 1. Ends near 0 of a
    huge count are where the float nearest 1 - x would have lost digits."""
    for level in (0.3, 0.95, 1 - 1e-9):
        tail = (1 - level) / 2
        for k, end, log_root in ((0, 1, math.log(tail)), (1, 0, math.log1p(-tail))):
            root = math.exp(log_root / n)  # (alpha/2)^(1/n) or (1 - alpha/2)^(1/n)
            assert proportion_ci(k, n, level, "clopper-pearson")[end] == pytest.approx(-math.expm1(log_root / n), rel=1e-14, abs=0)
            assert proportion_ci(n - k, n, level, "clopper-pearson")[1 - end] == pytest.approx(root, rel=1e-14, abs=0)
        assert proportion_ci(0, n, level, "clopper-pearson").low == 0.0 and proportion_ci(n, n, level, "clopper-pearson").high == 1.0


@pytest.mark.parametrize("method", ["clopper-pearson", "jeffreys"])
def test_beta_intervals_tend_to_the_normal_one_at_huge_counts(method: str) -> None:
    """At k = n/2 of 10^18 (no skew) both beta intervals are p +- z sd to 1e-6 of their width,
    a few units in the last place of the ends."""
    n, k = 10**18, 10**18 // 2
    low, high = proportion_ci(k, n, 0.95, method)
    sd = math.sqrt(0.25 / n)
    z = NormalDist().inv_cdf(0.975)
    assert low == pytest.approx(0.5 - z * sd, abs=1e-6 * sd) and high == pytest.approx(0.5 + z * sd, abs=1e-6 * sd)


# The edge of the confidence sequence: every magnitude from one boarding to 10^30, and the
# counts where S / n lies within a few units in the last place of 1 (2^52 to 2^55 trials).
SEQUENCE_COUNTS = [
    (k, n)
    for n in sorted({*(10**j for j in range(31)), 2, 3, 37, *(2**j for j in range(52, 56)), 3 * 2**53})
    for k in sorted({0, 1, 2, 3, 5, n // 3, n // 2, n - 5, n - 3, n - 2, n - 1, n})
    if 0 <= k <= n
]


@needs("mpmath")
def test_the_sequence_solves_its_definition_at_any_count() -> None:
    """Each end p of the sequence is where the mixture B(S + 1/2, F + 1/2) / B(1/2, 1/2) /
    (p^S (1 - p)^F) meets 1 / alpha, computed from that definition with mpmath in 80 digits:
    the Newton step to the true root is below 1e-13 of the end (of 1 - end near 1) plus two
    ulps, from one boarding to 10^30 (where 1 - 10^-30 rounds to 1), with none to a few
    successes or failures; every interval holds S / n, and an end that rounds to 1 before
    all successes does so outwards: the float below 1, if past S / n, is still inside."""
    import mpmath

    def log_excess(k: int, n: int, level: float, end: float) -> Any:
        p, half = mpmath.mpf(end), mpmath.mpf(1) / 2
        log_mixture = (mpmath.loggamma(k + half) + mpmath.loggamma(n - k + half) - mpmath.loggamma(n + 1)
                       - mpmath.log(mpmath.pi) - k * mpmath.log(p) - (n - k) * mpmath.log1p(-p))
        return log_mixture + mpmath.log(1 - mpmath.mpf(level))

    for k, n in SEQUENCE_COUNTS:
        for level in LEVELS:
            low, high = proportion_ci(k, n, level, ANYTIME)
            assert 0.0 <= low <= k / n <= high <= 1.0 and (low == 0.0) == (k == 0), (k, n, level)
            with mpmath.workdps(80):
                below_one = math.nextafter(1.0, 0.0)
                if high == 1.0 and k < n and n * mpmath.mpf(below_one) > k:
                    assert log_excess(k, n, level, below_one) < 0, (k, n, level)
                for end in {low, high} - {0.0, 1.0}:
                    p = mpmath.mpf(end)
                    step = log_excess(k, n, level, end) * p * (1 - p) / (n * p - k)
                    assert abs(step) <= 1e-13 * min(end, 1.0 - end) + 2 * math.ulp(end), (k, n, level, end)


def ever_missed(n: int, p: Fraction, level: float, method: str) -> Fraction:
    """The exact probability that the interval of the first m of n Bernoulli(p) trials misses p
    at some m <= n, looked at after every trial: by dynamic programming over the successes of
    the runs that have not missed yet."""
    alive = {0: Fraction(1)}
    for m in range(1, n + 1):
        grown: dict[int, Fraction] = {}
        for k, chance in alive.items():
            grown[k + 1] = grown.get(k + 1, Fraction(0)) + chance * p
            grown[k] = grown.get(k, Fraction(0)) + chance * (1 - p)
        intervals = {k: proportion_ci(k, m, level, method) for k in grown}
        alive = {k: chance for k, chance in grown.items() if intervals[k].low <= p <= intervals[k].high}
    return 1 - sum(alive.values(), Fraction(0))


@pytest.mark.parametrize("p", [Fraction(1, 2), Fraction(1, 10)])
def test_the_sequence_misses_at_any_time_in_at_most_alpha_of_runs(p: Fraction) -> None:
    """Exactly, for every look at 1 to 150 trials: the 95% sequence misses p at some look with
    a probability of at most 5% (3.2% at p = 1/2), where Wilson's (which holds at one fixed
    count) misses in more than a third of the runs."""
    assert ever_missed(150, p, 0.95, ANYTIME) <= 1 - Fraction(0.95)
    assert ever_missed(150, p, 0.95, "wilson") > Fraction(1, 3)


def test_watched_runs_stay_covered_by_the_sequence_alone() -> None:
    """Simulated: 100 runs of a fair coin looked at after each of 50 blocks of 4096 flips (exact
    binomial counts, as popcounts of random bits). A 95% sequence that missed in 5% of runs
    would miss in more than 16 of them with a chance below 1e-5; Wilson misses in about a
    third (benchmarks/bench_anytime.py runs 2,000 runs of 1,000 looks)."""
    rng = random.Random(27)
    missed = {ANYTIME: 0, "wilson": 0}
    for _ in range(100):
        heads, flips, seen = 0, 0, set()
        for _ in range(50):
            heads += bin(rng.getrandbits(4096)).count("1")
            flips += 4096
            for method in missed:
                low, high = proportion_ci(heads, flips, 0.95, method)
                if not low <= 0.5 <= high:
                    seen.add(method)
        for method in seen:
            missed[method] += 1
    assert missed[ANYTIME] <= 16 and missed["wilson"] >= 17, missed


def coverage(n: int, intervals: list[ConfidenceInterval], p: float) -> Fraction:
    """The exact probability that the interval of Binomial(n, p) successes holds p."""
    num, den = p.as_integer_ratio()
    held = sum(math.comb(n, k) * num**k * (den - num) ** (n - k) for k, (low, high) in enumerate(intervals) if low <= p <= high)
    return Fraction(held, den**n)


def lowest_coverage(n: int, level: float, method: str) -> Fraction:
    """The least coverage over a grid of p and, where it jumps, at every end of an interval
    and its two neighbouring floats."""
    intervals = [proportion_ci(k, n, level, method) for k in range(n + 1)]
    points = {i / 256 for i in range(1, 256)}
    for end in {end for interval in intervals for end in interval} - {0.0, 1.0}:
        points |= {math.nextafter(end, 0.0), end, math.nextafter(end, 1.0)}
    return min(coverage(n, intervals, p) for p in points)


@pytest.mark.parametrize("level", [0.8, 0.95, 0.99])
def test_clopper_pearson_coverage_is_never_below_the_level(level: float) -> None:
    """Computed exactly, in integers, for n = 1 to 30 and 60; the same computation finds the
    Wilson interval below its level, so the check can fail."""
    for n in [*range(1, 31), 60]:
        assert lowest_coverage(n, level, "clopper-pearson") >= Fraction(level), n
    assert min(lowest_coverage(n, level, "wilson") for n in range(1, 31)) < Fraction(level)


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((1, 2, 0.95, "exact"), ValueError, "'exact' elsewhere is 'clopper-pearson'"),
        ((1, 2, 0.95, "agresti-coull"), ValueError, "use one of wilson, clopper-pearson, jeffreys, anytime"),
        ((1, 2, 0.95, None), TypeError, "method must be a str"),
        ((1, 2, 1.0, "wilson"), ValueError, "strictly between 0 and 1"),
        ((1, 2, math.nan, "jeffreys"), ValueError, "strictly between 0 and 1"),
        ((3, 2, 0.95, "wilson"), ValueError, "between 0 and iterations"),
        ((-1, 2, 0.95, "wilson"), ValueError, "between 0 and iterations"),
        ((True, 2, 0.95, "wilson"), TypeError, "successes must be an int"),
        ((1, 2.0, 0.95, "wilson"), TypeError, "iterations must be an int"),
    ],
)
def test_bad_arguments_are_refused(arguments: tuple[Any, ...], error: type, message: str) -> None:
    """Clear errors for bad counts, levels and method names; nothing counted gives (0, 1)."""
    with pytest.raises(error, match=message):
        proportion_ci(*arguments)
    assert all(proportion_ci(0, 0, 0.95, method) == (0.0, 1.0) for method in METHODS)
