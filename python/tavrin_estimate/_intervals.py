"""Confidence intervals of a binomial proportion: Wilson's score interval, the Clopper-Pearson
("exact") interval and the equal-tailed Jeffreys interval, without scipy; and a confidence
sequence ("anytime", see anytime() below), which stays valid however often it is looked at.

The two beta intervals are quantiles of beta distributions: Clopper-Pearson's ends are the
alpha/2 quantile of Beta(k, n - k + 1) and the 1 - alpha/2 quantile of Beta(k + 1, n - k);
Jeffreys' are the two quantiles of the posterior Beta(k + 1/2, n - k + 1/2) (statsmodels'
convention: no end is clamped at k = 0 or k = n). A quantile is found by Newton's method on
the logarithm of the regularised incomplete beta function I_x(a, b), kept inside a bracket
that it narrows and bisects (in the logarithm of x where the bracket spans orders of
magnitude) whenever a step would leave it.

I_x(a, b) is the continued fraction of Numerical Recipes / DLMF 8.17.22 times the factor
x^a (1-x)^b / (a B(a, b)), taken on the side of the mean where the fraction converges, and
always for the smaller tail, so a tail of 1e-10 keeps its relative precision. The factor is
computed without any power of x or any log-gamma of a large number: with mu = a + b,
p = a / mu, q = b / mu and d = x - p (exactly, from the exact ratio a / mu),

    x^a (1-x)^b / B(a, b) = sqrt(mu p q / 2 pi) exp(-S(a) - S(b) + S(mu) - a g(d/p) - b g(-d/q))

where g(u) = u - log(1 + u) >= 0 and S is Stirling's remainder of log-gamma. Every term is
accurate to a few units in the last place whatever a and b are. An upper tail at x < 1/2 runs
its fraction in decimals, where 1 - x is exact (see _upper_fraction). The ends come out within
a few units in the last place of the true quantiles, at 10 boardings as at 10^30.
"""

from __future__ import annotations

import math
import operator
from decimal import Decimal, localcontext
from fractions import Fraction
from statistics import NormalDist
from typing import NamedTuple, Tuple, TypeVar, Union

METHODS = ("wilson", "clopper-pearson", "jeffreys", "anytime")
DEFAULT_METHOD = "wilson"
# The confidence sequence: the interval for a run that is watched, stopped at will or stopped
# on a precision target.
ANYTIME = "anytime"

# Other names of the same intervals, for the error message: scipy calls Clopper-Pearson
# "exact", statsmodels calls it "beta".
_KNOWN_ELSEWHERE = {"exact": "clopper-pearson", "beta": "clopper-pearson", "jeffrey": "jeffreys"}

_HALF_LOG_TWO_PI = 0.5 * math.log(2.0 * math.pi)
# Below this the log-gamma of the library is accurate enough to give Stirling's remainder.
_STIRLING_SERIES_FROM = 10.0
# Stirling's series for log-gamma: the coefficients B_2k / (2k (2k - 1)) of x^(1 - 2k).
_STIRLING = (1 / 12, -1 / 360, 1 / 1260, -1 / 1680, 1 / 1188, -691 / 360360)

_FRACTION_TOLERANCE = 1e-16
_FRACTION_TERMS = 1_000_000  # right at the mean of Beta(5e11, 5e11) it takes about 35,000
_TINY = 1e-300
# Digits of the decimal arithmetic of an upper tail, beyond the digits of the larger parameter.
_DECIMAL_DIGITS = 34
_QUANTILE_STEPS = 400
# Standard deviations from the mean beyond which a tail of a beta distribution counts as 0:
# no heavier there than a gamma distribution's of shape 1/2 (the least shape here, Jeffreys'),
# it is below 1e-18 at 60, less than the least tail a level below 1 can ask (5.5e-17).
_FAR = 60.0
_LOG_LARGEST = 700.0  # exp() of more overflows


class ConfidenceInterval(NamedTuple):
    """The ends of a confidence interval of a proportion."""

    low: float
    high: float


Number = Union[int, Fraction]


def z_score(confidence_level: float) -> float:
    """The two-sided standard normal quantile of `confidence_level`, from the tail (1 - level)/2,
    which is exact in floats where 1/2 + level/2 would be rounded."""
    return -NormalDist().inv_cdf((1.0 - confidence_level) / 2.0)


def check_method(method: object) -> str:
    """The method's name, or a ValueError that lists the names known."""
    if not isinstance(method, str):
        raise TypeError(f"method must be a str, not {type(method).__name__}")
    if method not in METHODS:
        hint = ""
        if method.lower() in _KNOWN_ELSEWHERE:
            hint = f" (what is called {method!r} elsewhere is {_KNOWN_ELSEWHERE[method.lower()]!r} here)"
        raise ValueError(f"unknown interval method {method!r}{hint}: use one of {', '.join(METHODS)}")
    return method


def proportion_ci(
    successes: int, iterations: int, confidence_level: float = 0.95, method: str = DEFAULT_METHOD
) -> ConfidenceInterval:
    """The two-sided interval of the proportion successes / iterations at `confidence_level`.

    Parameters
    ----------
    successes, iterations : int
        The counts, 0 <= `successes` <= `iterations`.
    confidence_level : float, default 0.95
        Strictly between 0 and 1.
    method : {"wilson", "clopper-pearson", "jeffreys", "anytime"}, default "wilson"
        The score interval; the exact interval (its coverage never below the level, at the
        price of width); the equal-tailed interval of the posterior from Jeffreys' prior; or a
        confidence sequence (the chance that it misses the proportion at any count of a run at
        all is at most 1 - level, so it may be watched and the run stopped on what it shows).

    Returns
    -------
    ConfidenceInterval
        (low, high); (0, 1) when nothing was counted.

    Raises
    ------
    TypeError
        A count or level of the wrong type.
    ValueError
        Counts or a level out of range, or an unknown method.

    Examples
    --------
    >>> [round(end, 4) for end in proportion_ci(5000, 10000)]
    [0.4902, 0.5098]
    >>> [round(end, 4) for end in proportion_ci(5000, 10000, method="anytime")]
    [0.4802, 0.5198]
    """
    successes, iterations = _count("successes", successes), _count("iterations", iterations)
    if not 0 <= successes <= iterations:
        raise ValueError(f"successes must lie between 0 and iterations ({iterations}), got {successes}")
    if isinstance(confidence_level, bool) or not isinstance(confidence_level, (int, float)):
        raise TypeError(f"confidence_level must be a number, not {type(confidence_level).__name__}")
    if not 0.0 < confidence_level < 1.0:
        raise ValueError(f"confidence_level must lie strictly between 0 and 1, got {confidence_level!r}")
    method = check_method(method)
    if iterations == 0:
        return ConfidenceInterval(0.0, 1.0)
    if method == "wilson":
        return ConfidenceInterval(*wilson(successes, iterations, confidence_level))
    if method == ANYTIME:
        return ConfidenceInterval(*anytime(successes, iterations, confidence_level))
    tail = (1.0 - confidence_level) / 2.0
    k, n = successes, iterations
    if method == "clopper-pearson":
        low = 0.0 if k == 0 else beta_quantile(k, n - k + 1, tail)
        high = 1.0 if k == n else beta_quantile(k + 1, n - k, tail, upper=True)
    else:
        half = Fraction(1, 2)
        low = beta_quantile(k + half, n - k + half, tail)
        high = beta_quantile(k + half, n - k + half, tail, upper=True)
    return ConfidenceInterval(low, high)


def _count(name: str, value: object) -> int:
    """A whole number from an int or anything with an integer value (numpy's), bools refused."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None


def wilson(successes: int, iterations: int, confidence_level: float) -> Tuple[float, float]:
    """The Wilson score interval, for iterations >= 1.

    It is the set of p for which |successes / iterations - p| <= z sqrt(p (1 - p) / iterations),
    so it stays inside [0, 1] and keeps a sensible width at 0 or all successes.
    """
    z = z_score(confidence_level)
    n = float(iterations)
    p = successes / iterations
    z2n = z * z / n
    centre = (p + z2n / 2.0) / (1.0 + z2n)
    half = z / (1.0 + z2n) * math.sqrt(p * (1.0 - p) / n + z2n / (4.0 * n))
    # At 0 or all successes one end is exactly 0 or 1; rounding must not push it past.
    low = 0.0 if successes == 0 else max(0.0, centre - half)
    high = 1.0 if successes == iterations else min(1.0, centre + half)
    return (low, high)


def _stirling_remainder(x: float) -> float:
    """log Gamma(x) - ((x - 1/2) log x - x + log sqrt(2 pi)), for x > 0."""
    if x < _STIRLING_SERIES_FROM:
        return math.lgamma(x) - ((x - 0.5) * math.log(x) - x + _HALF_LOG_TWO_PI)
    inverse_square = 1.0 / (x * x)
    total = 0.0
    for coefficient in reversed(_STIRLING):
        total = total * inverse_square + coefficient
    return total / x


def _log1p_excess(u: float) -> float:
    """u - log(1 + u) for |u| <= 1/2, where the two terms nearly cancel."""
    # log(1 + u) = 2 atanh(v) with v = u / (2 + u), and u - 2v = u v.
    v = u / (2.0 + u)
    v2 = v * v
    term = v * v2
    total = 0.0
    k = 3
    while True:
        step = term / k
        total += step
        if abs(step) <= 1e-17 * abs(total):
            break
        term *= v2
        k += 2
    return u * v - 2.0 * total


def _log_beta_factor(a: Number, b: Number, x: float) -> float:
    """log(x^a (1-x)^b / B(a, b)) for 0 < x < 1, without the cancellations of the plain form."""
    # d and mu from the exact ratios, in integers (Fractions would cost more than the rest).
    a_top, a_under = a.numerator, a.denominator
    b_top, b_under = b.numerator, b.denominator
    x_top, x_under = x.as_integer_ratio()
    mu_top = a_top * b_under + b_top * a_under
    d = (x_top * mu_top - a_top * b_under * x_under) / (x_under * mu_top)
    fa, fb = float(a), float(b)
    mu = mu_top / (a_under * b_under)
    p, q = fa / mu, fb / mu
    log_front = 0.5 * math.log(fa * fb / mu) - _HALF_LOG_TWO_PI
    log_front -= _stirling_remainder(fa) + _stirling_remainder(fb) - _stirling_remainder(mu)
    # a log(x / p) + b log((1 - x) / q) = -a g(d / p) - b g(-d / q), g(u) = u - log(1 + u): the
    # series where 1 + u is near 1, the logarithms themselves where x or 1 - x is far from p or q
    # (there 1 + u computed from u would lose the digits of x).
    u, v = d / p, -d / q
    excess_x = _log1p_excess(u) if abs(u) <= 0.5 else u - (math.log(x) - math.log(p))
    excess_y = _log1p_excess(v) if abs(v) <= 0.5 else v - (math.log1p(-x) - math.log(q))
    return log_front - fa * excess_x - fb * excess_y


def _log_beta(a: float, b: float) -> float:
    """log B(a, b), in the same terms as the factor above (no log-gamma of a large number)."""
    mu = a + b
    stirling = _stirling_remainder(a) + _stirling_remainder(b) - _stirling_remainder(mu)
    return _HALF_LOG_TWO_PI - 0.5 * math.log(a * b / mu) - a * math.log1p(b / a) - b * math.log1p(a / b) + stirling


def _mean_and_spread(a: float, b: float) -> Tuple[float, float]:
    mu = a + b
    return a / mu, math.sqrt(a / mu * (b / mu) / (mu + 1.0))


_Real = TypeVar("_Real", float, Decimal)


def _continued_fraction(a: _Real, b: _Real, x: _Real, one: _Real) -> _Real:
    """The continued fraction of I_x(a, b) (modified Lentz), for x below (a + 1) / (a + b + 2),
    in floats or, given Decimal arguments, in the precision of the current decimal context."""
    tiny = type(one)(_TINY)
    tolerance = type(one)(_FRACTION_TOLERANCE)

    def nonzero(value: _Real) -> _Real:
        return value if abs(value) > tiny else tiny

    c = one
    d = one / nonzero(one - (a + b) * x / (a + one))
    result = d
    for m in range(1, _FRACTION_TERMS):
        m2 = 2 * m
        for numerator in (
            m * (b - m) * x / ((a + m2 - one) * (a + m2)),
            -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + one)),
        ):
            d = one / nonzero(one + numerator * d)
            c = nonzero(one + numerator / c)
            result *= d * c
        if abs(d * c - one) <= tolerance:
            return result
    raise ArithmeticError(f"the incomplete beta fraction did not converge for a={a}, b={b}, x={x}")


def _upper_fraction(a: Number, b: Number, x: float) -> float:
    """The continued fraction of I_(1-x)(b, a), the upper tail. Where x < 1/2 the float nearest
    1 - x has lost x's last digits, and the fraction (whose terms then nearly cancel, up to
    about b times) would magnify that loss: it is evaluated in decimals carrying 1 - x exactly."""
    if x >= 0.5:
        return _continued_fraction(float(b), float(a), 1.0 - x, 1.0)
    with localcontext() as context:
        context.prec = _DECIMAL_DIGITS + max(0, math.ceil(math.log10(float(b))))
        da, db = (Decimal(v.numerator) / Decimal(v.denominator) for v in (Fraction(a), Fraction(b)))
        one = Decimal(1)
        return float(_continued_fraction(db, da, one - Decimal(x), one))


def log_tails(a: Number, b: Number, x: float) -> Tuple[float, float, float]:
    """(log I_x(a, b), log(1 - I_x(a, b)), log of the beta density at x), for 0 < x < 1: the
    smaller tail from its continued fraction, the other as its complement."""
    log_factor = _log_beta_factor(a, b, x)
    fa, fb = float(a), float(b)
    log_density = log_factor - math.log(x) - math.log1p(-x)
    mean, spread = _mean_and_spread(fa, fb)
    if abs(x - mean) > _FAR * spread:
        # Too far out for the fraction to converge soon, and for its tail to matter.
        return (-math.inf, 0.0, log_density) if x < mean else (0.0, -math.inf, log_density)
    if x < (fa + 1.0) / (fa + fb + 2.0):
        log_lower = log_factor - math.log(fa) + math.log(_continued_fraction(fa, fb, x, 1.0))
        return log_lower, _log1m_exp(log_lower), log_density
    log_upper = log_factor - math.log(fb) + math.log(_upper_fraction(a, b, x))
    return _log1m_exp(log_upper), log_upper, log_density


def _log1m_exp(log_value: float) -> float:
    """log(1 - exp(log_value)) for log_value <= 0."""
    if log_value > -0.6931471805599453:  # log(1/2)
        return math.log(-math.expm1(log_value)) if log_value < 0.0 else -math.inf
    return math.log1p(-math.exp(log_value))


def beta_quantile(a: Number, b: Number, tail: float, upper: bool = False) -> float:
    """The x in (0, 1) with I_x(a, b) = tail, or with 1 - I_x(a, b) = tail when `upper`, for
    a, b > 0 and 0 < tail < 1. x is found as itself, never as 1 minus another number, so an
    end near 0 keeps every digit."""
    fa, fb = float(a), float(b)
    target = math.log(tail)
    mean, spread = _mean_and_spread(fa, fb)
    x = mean + NormalDist().inv_cdf(1.0 - tail if upper else tail) * spread
    if not 0.0 < x < 1.0:
        # Near 0, I_x(a, b) is about x^a / (a B(a, b)); near 1, 1 - I_x(a, b) is about
        # (1 - x)^b / (b B(a, b)).
        near = fb if upper else fa
        x = math.exp(min(0.0, (target + math.log(near) + _log_beta(fa, fb)) / near))
        x = min(max(1.0 - x if upper else x, math.ulp(0.0)), 1.0 - math.ulp(1.0) / 2.0)
    # The tail falls as x rises when it is the upper one: Newton's step and the bracket turn.
    sign = -1.0 if upper else 1.0
    low, high = 0.0, 1.0
    for _ in range(_QUANTILE_STEPS):
        log_lower, log_upper, log_density = log_tails(a, b, x)
        log_tail = log_upper if upper else log_lower
        if log_tail == target:
            return x
        if (log_tail < target) != upper:
            low = x
        else:
            high = x
        # Newton on log(tail at x) - log(tail), whose slope is +-density / (tail at x).
        step = math.nan  # a bisection, where the tail or the density is out of range
        if math.isfinite(log_tail) and log_tail - log_density < _LOG_LARGEST:
            step = sign * (log_tail - target) * math.exp(log_tail - log_density)
        if abs(step) <= 2.0 * math.ulp(x):
            return x
        candidate = x - step
        if not low < candidate < high:
            candidate = _bisect(low, high)
            if not low < candidate < high:  # the bracket is down to neighbouring numbers
                return candidate
        x = candidate
    raise ArithmeticError(f"no quantile {tail} found for Beta({fa}, {fb})")


def _bisect(low: float, high: float) -> float:
    """The middle of the bracket, geometric where it spans more than a factor of four."""
    floor = max(low, math.ulp(0.0))
    if high > 4.0 * floor:
        return math.sqrt(floor) * math.sqrt(high)
    return low + (high - low) / 2.0


# The prior of the confidence sequence's mixture: Beta(1/2, 1/2), see anytime().
_PRIOR = Fraction(1, 2)
_LOG_PRIOR_BETA = math.log(math.pi)  # log B(1/2, 1/2)
_SEQUENCE_STEPS = 200


def _log_mixture(posterior: Tuple[Fraction, Fraction], p: float) -> float:
    """The log of the mixture martingale B(a + S, b + F) / B(a, b) / (p^S (1 - p)^F).

    Parameters
    ----------
    posterior : tuple of Fraction
        (a + S, b + F), with a = b = 1/2 and F = n - S.
    p : float
        The proportion tested, 0 < p < 1.

    Returns
    -------
    float
        The logarithm, written as a log p + b log(1 - p) minus the log of the beta factor
        p^(a+S) (1-p)^(b+F) / B(a + S, b + F): the two huge terms of the plain form, each
        about n times the entropy, never meet, so the value keeps its digits at any count.
    """
    factor = _log_beta_factor(posterior[0], posterior[1], p)
    return 0.5 * (math.log(p) + math.log1p(-p)) - factor - _LOG_PRIOR_BETA


def anytime(successes: int, iterations: int, confidence_level: float) -> Tuple[float, float]:
    """The confidence sequence of a proportion after `iterations` >= 1 trials.

    The p at which Robbins' beta-binomial mixture martingale stays below 1 / alpha (Howard,
    Ramdas, McAuliffe and Sekhon, Annals of Statistics 2021).

    Parameters
    ----------
    successes : int
        Successes, from 0 to `iterations`.
    iterations : int
        Trials, at least 1.
    confidence_level : float
        1 - alpha, strictly between 0 and 1.

    Returns
    -------
    tuple of float
        (low, high): the ends of the interval.

    Raises
    ------
    ArithmeticError
        No end found within the steps allowed (never seen).

    Notes
    -----
    For the true p, M_n(p) = integral of prod_i (theta^x_i (1 - theta)^(1 - x_i)) / (p^x_i
    (1 - p)^(1 - x_i)) over a Beta(a, b) prior of theta = B(a + S, b + F) / (B(a, b) p^S (1 - p)^F)
    is a nonnegative martingale with mean 1, so by Ville's inequality it ever reaches 1 / alpha
    with probability at most alpha: the sets {p : M_n(p) < 1 / alpha} hold p at every n at
    once with probability at least 1 - alpha, whenever the run is looked at or stopped. Each
    set is an interval around S / n (log M_n is convex in p, and at most 0 at S / n).

    The prior is Beta(1/2, 1/2) (Jeffreys', the Krichevsky-Trofimov mixture): it favours no
    proportion and no count, and has no parameter to tune. Its log-likelihood falls short of
    the best p's by at most (log n) / 2 + log 2 whatever the data, so its width over Wilson's
    grows only as sqrt(log n): 2.0 times at 10^4 trials, 3.0 at 10^12. A prior tuned to one
    count (concentrated around the p tested, as confseq's bernoulli_confidence_interval does)
    is narrower near that count, about 1.55 times Wilson's, and wider away from it (tuned to
    10^6: 4.6 times at 10^4, 1.8 at 10^8): runs here span many orders of magnitude, and a
    run stopped early by its user or its precision target would pay most where it stops.

    Each end solves log M_n(p) = log(1 / alpha) by Newton's method in the logarithm of p (the
    lower end) or of 1 - p (the upper end), where the function is convex and the steps are
    safe from the outer side; it is kept inside a bracket that it bisects if a step would
    leave it. At 0 or all successes the end that is not 0 or 1 has a closed form.

    Examples
    --------
    >>> [round(end, 5) for end in anytime(49776, 100000, 0.95)]
    [0.49106, 0.50446]
    >>> anytime(0, 10, 0.95)[0]
    0.0
    """
    n, s = iterations, successes
    log_level = -math.log(1.0 - confidence_level)
    if s == 0 or s == n:
        # log M_n = log B(a, b + n) - log B(a, b) - n log(1 - p) (or log p): a closed form.
        log_root = (_log_beta(0.5, n + 0.5) - _LOG_PRIOR_BETA - log_level) / n
        return (0.0, -math.expm1(log_root)) if s == 0 else (math.exp(log_root), 1.0)
    centre = s / n
    if centre == 1.0:
        # So few failures that S / n rounds to 1: the mirror image, whose ends near 0 the
        # search finds, then as near 1 as floats go.
        low, high = anytime(n - s, n, confidence_level)
        return (1.0 - high, 1.0 - low)
    posterior = (s + _PRIOR, n - s + _PRIOR)
    # log M_n at S / n is at most 0: the distance to the threshold gives the normal start.
    spread = math.sqrt(2.0 * centre * (1.0 - centre) * (log_level - _log_mixture(posterior, centre)) / n)
    return (_sequence_end(s, n, posterior, log_level, centre, centre - spread, False),
            _sequence_end(s, n, posterior, log_level, centre, centre + spread, True))


def _sequence_end(successes: int, iterations: int, posterior: Tuple[Fraction, Fraction], log_level: float,
                  centre: float, start: float, upper: bool) -> float:
    """The root of log M_n(p) = log_level between 0 and `centre`, or between `centre` and 1.

    Parameters
    ----------
    successes, iterations : int
        S and n, 0 < S < n.
    posterior : tuple of Fraction
        (1/2 + S, 1/2 + n - S).
    log_level : float
        log(1 / alpha).
    centre : float
        S / n, where log M_n is below `log_level`.
    start : float
        The first guess; the middle of the bracket when it lies outside.
    upper : bool
        Whether the end sought is above `centre`.

    Returns
    -------
    float
        The end.

    Raises
    ------
    ArithmeticError
        No end found within the steps allowed.
    """
    # inner: the side of the root towards the centre, where log M_n is below the level.
    inner, outer = centre, (1.0 if upper else 0.0)
    p = start
    if not min(inner, outer) < p < max(inner, outer):
        p = _bisect(*sorted((inner, outer)))
        if not min(inner, outer) < p < max(inner, outer):
            # No float between S / n and 1 (a few failures in 2^53 trials or more): the end
            # rounds outwards, to 1.
            return outer
    for _ in range(_SEQUENCE_STEPS):
        excess = _log_mixture(posterior, p) - log_level
        if excess == 0.0:
            return p
        if excess < 0.0:
            inner = p
        else:
            outer = p
        # The slope of log M_n in log p is (n p - S) / (1 - p); in log(1 - p), (S - n p) / p.
        # n p - S, which floats make 0 where p is within an ulp or two of S / n.
        scaled = iterations * p
        gap = scaled - successes
        if abs(gap) <= 8.0 * math.ulp(scaled):
            gap = _exact_gap(p, successes, iterations)
        if upper:
            step = excess * p / -gap
            candidate = p - (1.0 - p) * math.expm1(-step)
        else:
            step = excess * (1.0 - p) / gap
            candidate = p * math.exp(-step)
        if abs(candidate - p) <= 2.0 * math.ulp(p):
            return candidate
        if not min(inner, outer) < candidate < max(inner, outer):
            candidate = _bisect(*sorted((inner, outer)))
            if not min(inner, outer) < candidate < max(inner, outer):
                return outer  # neighbouring floats: the end rounds outwards
        p = candidate
    raise ArithmeticError(f"no end of the confidence sequence found for {successes} of {iterations}")


def _exact_gap(p: float, successes: int, iterations: int) -> float:
    """n p - S exactly rounded, where the floats' rounding could reach 0 or the wrong sign (p
    is never S / n itself: it lies strictly past a float next to it)."""
    top, under = p.as_integer_ratio()
    return (iterations * top - successes * under) / under
