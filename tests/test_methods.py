"""What the three methods share: they read the record as it is at the call and leave it as it
was, and they meet the records the model cannot seat or board alike. generate_seating() and
run_simulation() raise PanicException with the model's message after writing a report to
standard error; run_simulations() counts each failed boarding as not true and reports it."""

from __future__ import annotations

import re

import pytest

from conftest import DEFAULT_COLS, configured, panic_type, state
from tavrin_puzzles import Planes

METHODS = ["generate_seating", "run_simulation", "run_simulations"]


def call(plane: Planes, method: str) -> object:
    return plane.run_simulations(10) if method == "run_simulations" else getattr(plane, method)()


def short_cols(seat: int, letters: int) -> re.Pattern:
    """The failure for a seat without column letter names the seat and the number of letters."""
    return re.compile(rf"\bseat {seat}(?!\d)\D.*(?<!\d){letters}(?!\d)")


SEAT_ON_A_PLANE = "Seat on a plane"

# Records the model cannot seat or board: (passengers, seats, cols, then assigned, the failure
# of the seating or None where it is empty, which makes the boarding fail on "no entry found for
# key"). Columns are checked first, before the seats are shuffled and then handed out.
FAILING = {
    "empty-plane": (0, 0, "ABCDEF", {}, None),
    "no-passengers": (0, 5, "ABCDEF", {}, None),
    "passengers-raised": (3, 3, "ABCDEF", {"passengers": 4}, SEAT_ON_A_PLANE),
    "seats-lowered": (5, 5, "ABCDEF", {"seats": 2}, SEAT_ON_A_PLANE),
    "no-seats": (0, 0, "ABCDEF", {"passengers": 1}, SEAT_ON_A_PLANE),
    "one-over-a-hundred": (99, 99, "ABCDEF", {"passengers": 100}, SEAT_ON_A_PLANE),
    "three-letters": (4, 4, "ABC", {}, short_cols(4, 3)),
    "five-letters": (100, 100, "ABCDE", {}, short_cols(6, 5)),
    "one-letter": (2, 2, "A", {}, short_cols(2, 1)),
    "no-letters": (1, 1, "", {}, short_cols(1, 0)),
    "letters-removed": (3, 3, "ABCDEF", {"cols": []}, short_cols(1, 0)),
    "no-passengers-still-labels": (0, 4, "ABC", {}, short_cols(4, 3)),
    "no-passengers-no-letters": (0, 1, "", {}, short_cols(1, 0)),
    "short-cols-before-too-many-passengers": (3, 3, "AB", {"passengers": 4}, short_cols(3, 2)),
}


def names_failure(text: str, failure: str | re.Pattern) -> bool:
    return failure in text if isinstance(failure, str) else failure.search(text) is not None


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("case", FAILING)
def test_failing_records(case: str, method: str, capfd: pytest.CaptureFixture[str]) -> None:
    """Seating and boarding fail with the model's message and a report each; a batch returns
    0.0 with one report per boarding. The plane stays as it was and usable: no borrow is left."""
    passengers, seats, cols, changes, seating_failure = FAILING[case]
    plane = configured(Planes(passengers, seats, cols), **changes)
    before = state(plane)
    failure = seating_failure or "no entry found for key"
    for _ in range(2):
        capfd.readouterr()
        if method == "generate_seating" and seating_failure is None:
            assert plane.generate_seating() == {}
        elif method == "run_simulations":
            assert plane.run_simulations(10) == 0.0
            captured = capfd.readouterr()
            assert captured.out == ""
            assert sum(names_failure(line, failure) for line in captured.err.splitlines()) == 10
        else:
            with pytest.raises(panic_type()) as excinfo:
                call(plane, method)
            assert len(excinfo.value.args) == 1 and str(excinfo.value) == excinfo.value.args[0]
            if isinstance(failure, str):
                assert excinfo.value.args == (failure,)
            else:
                assert failure.search(excinfo.value.args[0]), excinfo.value.args[0]
            assert names_failure(capfd.readouterr().err, failure)
        assert state(plane) == before
    configured(plane, seats=9, passengers=9, cols=list("KLMNOP"))
    assert sorted(plane.generate_seating().values()) == sorted(f"{n}{'KLMNOP'[(n - 1) % 6]}" for n in range(1, 10))
    assert plane.run_simulation() in (True, False)


@pytest.mark.parametrize("method", METHODS)
def test_record_left_as_it_was(method: str) -> None:
    """A call changes none of the attributes."""
    plane = Planes(7, 20, "ABCDEFG")
    for _ in range(3):
        call(plane, method)
    assert state(plane) == (7, 20, list("ABCDEFG"))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "changes",
    [pytest.param({"passengers": 1}, id="one-passenger"), pytest.param({"seats": 1, "passengers": 1, "cols": ["Ω"]}, id="all-three")],
)
def test_assigned_values_take_effect(method: str, changes: dict) -> None:
    """Values assigned before the call are the ones it uses: a lone passenger always sits right."""
    plane = configured(Planes(), **changes)
    expected = {"generate_seating": 1, "run_simulation": True, "run_simulations": 1.0}[method]
    result = call(plane, method)
    assert (len(result) if method == "generate_seating" else result) == expected
    if "cols" in changes:
        assert plane.generate_seating() == {1: "1Ω"}


@pytest.mark.parametrize("method", ["run_simulation", "generate_seating"])
@pytest.mark.parametrize(
    "wrong_call",
    [
        pytest.param(lambda plane, name: getattr(plane, name)(1), id="positional"),
        pytest.param(lambda plane, name: getattr(plane, name)(x=1), id="keyword"),
        pytest.param(lambda plane, name: getattr(plane, name)(*[], iterations=1), id="unpacked-keyword"),
        pytest.param(lambda plane, name: getattr(Planes, name)(), id="unbound-no-receiver"),
        pytest.param(lambda plane, name: getattr(Planes, name)(5), id="unbound-wrong-receiver"),
        pytest.param(lambda plane, name: getattr(Planes, name)("plane"), id="unbound-str-receiver"),
    ],
)
def test_arguments_refused(method: str, wrong_call) -> None:
    """The methods without parameters refuse arguments and foreign receivers with TypeError."""
    plane = Planes(2, 2)
    with pytest.raises(TypeError):
        wrong_call(plane, method)
    assert state(plane) == (2, 2, DEFAULT_COLS)


def test_unbound_call_with_plane() -> None:
    """Calling through the class with a plane as receiver works like the bound call."""
    assert Planes.run_simulation(Planes(1, 1)) is True
    assert Planes.generate_seating(Planes(1, 1)) == {1: "1A"}
