"""The result of an estimate: exact counts, the Wilson score interval, the puzzle's closed-form
answer where the boarding rules give one, and the text and JSON forms of a result.

A result holds only whole counts and the configuration they belong to; everything derived
(fraction, interval, rate) is computed from them, so two results of one configuration add up
exactly and a saved result reloads to the same value.
"""

from __future__ import annotations

import dataclasses
import json
import math
import operator
from fractions import Fraction
from statistics import NormalDist
from typing import Any, Dict, Optional, Tuple

DEFAULT_CONFIDENCE = 0.95

# The tag and version of the JSON form; a file without them is not one of ours.
FILE_FORMAT = "tavrin_estimate result"
FILE_VERSION = 1

# Letters that seat labels use at most: seat k takes the letter at (k - 1) mod 6.
COLUMNS_PER_ROW = 6


def exact_answer(passengers: int, seats: int, cols: str) -> Optional[Fraction]:
    """The probability that the last passenger sits in their own seat, where it is known.

    Every boarding that completes draws only among the seats on its tickets: the seats no
    ticket names never enter the free-seat list, so a cabin with more seats than passengers
    behaves as one with exactly `passengers` seats, and column letters only name seats (labels
    differ by their numbers whatever the letters). With one passenger the only free seat is
    their own: 1. With n >= 2 passengers, the last passenger finds either their own seat or the
    first passenger's (every other passenger's seat was taken by its owner or, earlier, by
    someone displaced). Whichever of these two seats is taken first decides: the first
    passenger's means nobody else is displaced any more, the last passenger's means they miss
    it. Every random draw before that picks each of the two with the same probability, so the
    answer is 1/2 for every n >= 2.

    None for a configuration in which no boarding completes: nobody boards (0 passengers),
    more passengers than seats, or too few column letters to label the seats.
    """
    if passengers < 1 or passengers > seats or len(cols) < min(seats, COLUMNS_PER_ROW):
        return None
    return Fraction(1) if passengers == 1 else Fraction(1, 2)


def z_score(confidence: float) -> float:
    """The two-sided standard normal quantile of `confidence`."""
    return NormalDist().inv_cdf(0.5 + confidence / 2.0)


def wilson_interval(successes: int, iterations: int, confidence: float) -> Tuple[float, float]:
    """The Wilson score interval of a binomial proportion; (0, 1) when nothing was counted.

    It is the set of p for which |successes / iterations - p| <= z * sqrt(p (1 - p) / iterations),
    so it stays inside [0, 1] and keeps a sensible width at 0 or all successes.
    """
    if iterations == 0:
        return (0.0, 1.0)
    z = z_score(confidence)
    n = float(iterations)
    p = successes / iterations
    z2n = z * z / n
    centre = (p + z2n / 2.0) / (1.0 + z2n)
    half = z / (1.0 + z2n) * math.sqrt(p * (1.0 - p) / n + z2n / (4.0 * n))
    # At 0 or all successes one end is exactly 0 or 1; rounding must not push it past.
    low = 0.0 if successes == 0 else max(0.0, centre - half)
    high = 1.0 if successes == iterations else min(1.0, centre + half)
    return (low, high)


def _check_count(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return value


def check_confidence(confidence: object) -> float:
    """The confidence as a float strictly between 0 and 1, or a clear error."""
    if isinstance(confidence, bool) or not isinstance(confidence, (int, float)):
        raise TypeError(f"confidence must be a number, not {type(confidence).__name__}")
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must lie strictly between 0 and 1, got {confidence!r}")
    return float(confidence)


@dataclasses.dataclass(frozen=True)
class Estimate:
    """How often the last passenger found their own seat, over `iterations` boardings of one
    configuration. Immutable; `a + b` pools two results of the same configuration and
    confidence (counts and elapsed time summed, interval recomputed, interrupted if either
    part was; estimate(..., resume=a) instead continues a run and flags only its own end)."""

    passengers: int
    seats: int
    cols: str
    successes: int
    iterations: int
    elapsed: float = 0.0
    confidence: float = DEFAULT_CONFIDENCE
    interrupted: bool = False

    def __post_init__(self) -> None:
        for name in ("passengers", "seats", "successes", "iterations"):
            _check_count(name, getattr(self, name))
        if not isinstance(self.cols, str):
            raise TypeError(f"cols must be a str, not {type(self.cols).__name__}")
        if self.successes > self.iterations:
            raise ValueError(f"successes ({self.successes}) exceed iterations ({self.iterations})")
        if isinstance(self.elapsed, bool) or not isinstance(self.elapsed, (int, float)):
            raise TypeError(f"elapsed must be a number, not {type(self.elapsed).__name__}")
        if not (self.elapsed >= 0.0 and math.isfinite(self.elapsed)):
            raise ValueError(f"elapsed must be a finite number of seconds, got {self.elapsed!r}")
        check_confidence(self.confidence)
        if not isinstance(self.interrupted, bool):
            raise TypeError(f"interrupted must be a bool, not {type(self.interrupted).__name__}")
        # Normalised so that equal results compare and serialise equal.
        object.__setattr__(self, "elapsed", float(self.elapsed))
        object.__setattr__(self, "confidence", float(self.confidence))

    @property
    def fraction(self) -> float:
        """successes / iterations, correctly rounded; NaN for no iterations."""
        return self.successes / self.iterations if self.iterations else math.nan

    @property
    def interval(self) -> Tuple[float, float]:
        """The Wilson score interval (low, high) at `confidence`."""
        return wilson_interval(self.successes, self.iterations, self.confidence)

    @property
    def rate(self) -> float:
        """Boardings per second of wall-clock time; NaN when no time was measured."""
        return self.iterations / self.elapsed if self.elapsed > 0.0 else math.nan

    @property
    def exact(self) -> Optional[Fraction]:
        """The closed-form answer for this configuration, or None where none is known."""
        return exact_answer(self.passengers, self.seats, self.cols)

    @property
    def configuration(self) -> Tuple[int, int, str]:
        return (self.passengers, self.seats, self.cols)

    def with_confidence(self, confidence: float) -> Estimate:
        """The same counts with the interval taken at another confidence."""
        return dataclasses.replace(self, confidence=check_confidence(confidence))

    def __add__(self, other: object) -> Estimate:
        if not isinstance(other, Estimate):
            return NotImplemented
        if other.configuration != self.configuration:
            raise ValueError(
                f"cannot add results of different configurations: {_describe(*self.configuration)}"
                f" and {_describe(*other.configuration)}"
            )
        if other.confidence != self.confidence:
            raise ValueError(
                f"cannot add results at confidence {self.confidence} and {other.confidence};"
                " use with_confidence() on one of them first"
            )
        return dataclasses.replace(
            self,
            successes=self.successes + other.successes,
            iterations=self.iterations + other.iterations,
            elapsed=self.elapsed + other.elapsed,
            interrupted=self.interrupted or other.interrupted,
        )

    def __str__(self) -> str:
        low, high = self.interval
        digits = _digits(low, high)
        lines = []
        if self.interrupted:
            lines.append("INTERRUPTED: a partial result")
        lines.append(f"plane      {_describe(*self.configuration)}")
        lines.append(
            f"boardings  {self.iterations:,}, the last passenger in their own seat in {self.successes:,}"
        )
        lines.append(f"estimate   {self.fraction:.{digits}f}")
        lines.append(f"interval   [{low:.{digits}f}, {high:.{digits}f}] at {self.confidence:.4g} confidence")
        exact = self.exact
        if exact is None:
            lines.append("exact      not known for this plane")
        else:
            where = "inside" if low <= exact <= high else "OUTSIDE"
            lines.append(f"exact      {exact} ({float(exact):g}), {where} the interval")
        lines.append(f"rate       {self.rate:,.0f} boardings/s over {self.elapsed:.3g} s")
        return "\n".join(lines)

    def to_json(self) -> str:
        """The result as a JSON object; from_json() reads it back to an equal result."""
        fields: Dict[str, Any] = {"format": FILE_FORMAT, "version": FILE_VERSION}
        fields.update(dataclasses.asdict(self))
        return json.dumps(fields, indent=2) + "\n"

    @classmethod
    def from_json(cls, text: str) -> Estimate:
        """Read a result written by to_json(); ValueError for anything else."""
        try:
            fields = json.loads(text)
        except ValueError as exc:
            raise ValueError(f"not a saved estimate (not JSON: {exc})") from None
        if not isinstance(fields, dict) or fields.get("format") != FILE_FORMAT:
            raise ValueError("not a saved estimate (no format tag)")
        if fields.get("version") != FILE_VERSION:
            raise ValueError(f"saved estimate of unknown version {fields.get('version')!r}")
        names = {field.name for field in dataclasses.fields(cls)}
        missing = names - fields.keys()
        if missing:
            raise ValueError(f"saved estimate lacks {', '.join(sorted(missing))}")
        try:
            return cls(**{name: fields[name] for name in names})
        except TypeError as exc:
            raise ValueError(f"saved estimate is damaged: {exc}") from None


def _describe(passengers: int, seats: int, cols: str) -> str:
    return f"{passengers} passengers, {seats} seats, cols {cols!r}"


def _digits(low: float, high: float) -> int:
    """Decimals that show the interval's width to two significant digits."""
    width = high - low
    if not width > 0.0:
        return 6
    return min(12, max(4, 1 - math.floor(math.log10(width)) + 1))


def as_count(name: str, value: object) -> int:
    """A non-negative whole number from anything with an integer value (bools refused)."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if number < 0:
        raise ValueError(f"{name} must not be negative, got {number}")
    return number
