"""run_simulation(): one boarding's outcome reaching Python. Its failures are in test_methods.py;
the outcome's distribution is checked on the model in C++."""

from __future__ import annotations

import pytest

from tavrin_puzzles import Planes


@pytest.mark.parametrize(("passengers", "seats", "cols"), [(1, 1, "ABCDEF"), (1, 50, "ABCDEF"), (1, 6, "Ä" * 6)])
def test_single_passenger_always_sits_right(passengers: int, seats: int, cols: str) -> None:
    """With one passenger every boarding returns True."""
    plane = Planes(passengers, seats, cols)
    assert all(plane.run_simulation() is True for _ in range(50))


@pytest.mark.parametrize(("passengers", "seats", "cols"), [(2, 2, "ABCDEF"), (10, 60, "AAAAAA")])
def test_both_outcomes_are_bools(passengers: int, seats: int, cols: str) -> None:
    """With two or more passengers the last one sometimes finds their seat and sometimes not."""
    plane = Planes(passengers, seats, cols)
    results = [plane.run_simulation() for _ in range(200)]
    assert all(type(result) is bool for result in results)
    assert set(results) == {True, False}
