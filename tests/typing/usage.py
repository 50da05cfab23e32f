"""Typed use of tavrin_puzzles, checked by `mypy --strict` against the installed stubs.

Every call here is one the module accepts; each line marked `type: ignore` is one it refuses at
run time, and mypy reports an unused ignore if the stubs stop refusing it.
"""

from __future__ import annotations

from typing import Dict, List

from tavrin_puzzles import Planes


class Count:
    """Not an int, but an integer through __index__, which the module accepts."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def estimate(passengers: int, iterations: int) -> float:
    planes = Planes(passengers, Count(passengers), cols="ABCDEF")
    planes.passengers = Count(passengers - 1)
    planes.seats = True
    planes.seats = passengers
    planes.cols = ("A", "B", "C", "D", "E", "F")
    planes.cols = ["Ä", "B", "C", "D", "E", "F"]
    letters: List[str] = planes.cols
    seating: Dict[int, str] = planes.generate_seating()
    last_seated: bool = planes.run_simulation()
    assert len(letters) == 6 and len(seating) == planes.passengers and last_seated in (True, False)
    return planes.run_simulations(iterations) + planes.run_simulations(iterations=Count(iterations))


def refused() -> None:
    Planes(cols=["A", "B"])  # type: ignore[arg-type]
    Planes(2.5)  # type: ignore[arg-type]
    Planes(None)  # type: ignore[arg-type]
    Planes(1, 1, "A", 4)  # type: ignore[call-arg]
    planes = Planes()
    planes.cols = {"A": 1}  # type: ignore[assignment]
    planes.seats = "100"  # type: ignore[assignment]
    planes.run_simulations()  # type: ignore[call-arg]
    planes.run_simulation(1)  # type: ignore[call-arg]
    seating: Dict[str, str] = planes.generate_seating()  # type: ignore[assignment]


class Derived(Planes):  # type: ignore[misc]
    """The class is final at run time (TypeError) and in the stubs."""
