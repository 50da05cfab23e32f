"""Checks of everything a run is given, made in Python before the kernel sees any of it, so that
a plane on which no boarding can complete, a value out of range or a confidence without a
quantile is refused with a sentence a person can read instead of a native diagnostic, an
OverflowError traceback or a failure at the very end of a long run."""

from __future__ import annotations

import operator
import sys

# The kernel takes every count as an unsigned 64-bit integer.
MAX_COUNT = 2**64 - 1
# A seat list holds at most 2^32 - 1 seats: the uniform draw takes bounds below 2^32. The
# kernel refuses more on every target, and memory may allow fewer (the kernel's MemoryError).
MAX_SEATS = 2**32 - 1
# Seat k is labelled with the letter at (k - 1) mod 6, so at most six letters are ever used.
COLUMNS_PER_ROW = 6


def check_count(name: str, value: object, *, least: int = 0, most: int = MAX_COUNT) -> int:
    """`value` as an int from `least` to `most`: TypeError for anything but an integer (bools
    too), ValueError outside the range."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if number < least:
        raise ValueError(f"{name} must be at least {least:,}, got {number:,}")
    if number > most:
        if most == MAX_COUNT:
            raise ValueError(f"{name} must be below 2**64, got {number:,}")
        raise ValueError(f"{name} must be at most {most:,}, got {number:,}")
    return number


def check_iterations(value: object) -> int:
    """The number of boardings asked: at least 1, below 2^64."""
    return check_count("iterations", value, least=1)


def check_plane(passengers: object, seats: object, cols: object) -> tuple[int, int, str]:
    """(passengers, seats, cols) of a plane on which every boarding can complete, or the
    reason why none can: TypeError for a wrong type, ValueError otherwise."""
    passengers = check_count("passengers", passengers)
    seats = check_count("seats", seats)
    if not isinstance(cols, str):
        raise TypeError(f"cols must be a str, not {type(cols).__name__}")
    if passengers == 0:
        raise ValueError("a plane with 0 passengers has no last passenger")
    if passengers > seats:
        raise ValueError(f"{passengers} passengers do not fit in {seats} seats")
    if seats > MAX_SEATS:
        raise ValueError(f"cannot hold {seats} seats: at most {MAX_SEATS} fit")
    needed = min(seats, COLUMNS_PER_ROW)
    if len(cols) < needed:
        raise ValueError(f"{seats} seats need {needed} column letters, got {len(cols)}")
    try:
        cols.encode("utf-8")
    except UnicodeEncodeError as exc:
        raise ValueError(f"cols holds {cols[exc.start]!r}, which is no character (a lone surrogate)") from None
    return passengers, seats, cols


def check_confidence(value: object) -> float:
    """The confidence as a float c with 0 < c < 1 whose two-sided quantile exists: 0.5 + c/2
    must stay below 1 in floating point (0.99999999999999994 rounds to 1 there)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"confidence must be a number, not {type(value).__name__}")
    confidence = float(value)
    if not 0.0 < confidence < 1.0:  # NaN fails here too
        raise ValueError(f"confidence must lie strictly between 0 and 1, got {value!r}")
    if not 0.5 + confidence / 2.0 < 1.0:
        raise ValueError(
            f"confidence {value!r} is too close to 1: its interval would be unbounded"
            f" (at most {_largest_confidence()!r})"
        )
    return confidence


def _largest_confidence() -> float:
    """The largest float c for which 0.5 + c/2 < 1."""
    # 1 - 2**-52 gives 1 - 2**-53, the float just below 1; the next float up, 1 - 2**-53,
    # gives 1 - 2**-54, which rounds to 1.
    return 1.0 - sys.float_info.epsilon
