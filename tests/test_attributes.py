"""The passengers, seats and cols attributes: reading, assigning, refusing deletion. The
conversions of counts and of single letters are in test_conversions.py."""

from __future__ import annotations

import collections

import pytest

from conftest import state
from tavrin_puzzles import Planes


def test_counts_unchecked_against_each_other() -> None:
    """The setters accept more passengers than seats; nothing is raised until seats are assigned."""
    plane = Planes(3, 3)
    plane.passengers = 4
    assert state(plane)[:2] == (4, 3)
    plane.seats = 0
    assert state(plane)[:2] == (4, 0)


class GetitemOnly:
    """A sequence with __getitem__ and no length, which is iterated by index."""

    def __getitem__(self, index: int) -> str:
        return "PQR"[index]


class Boastful(GetitemOnly):
    """A sequence that claims a huge length: the length is only a hint."""

    def __len__(self) -> int:
        return 2**40


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        pytest.param(["X", "Y"], ["X", "Y"], id="list"),
        pytest.param(("X", "Y"), ["X", "Y"], id="tuple"),
        pytest.param([], [], id="empty-list"),
        pytest.param((), [], id="empty-tuple"),
        pytest.param(["Ä", "日", "🛫"], ["Ä", "日", "🛫"], id="non-ascii"),
        pytest.param(list("ABCDEFGH"), list("ABCDEFGH"), id="eight"),
        pytest.param(["A"] * 6, ["A"] * 6, id="repeated"),
        pytest.param(collections.deque(["Q", "R"]), ["Q", "R"], id="deque"),
        pytest.param(["\x00"], ["\x00"], id="nul"),
        pytest.param(GetitemOnly(), ["P", "Q", "R"], id="getitem-only"),
        pytest.param(Boastful(), ["P", "Q", "R"], id="length-only-a-hint"),
    ],
)
def test_cols_assignment(value: object, expected: list[str]) -> None:
    """A sequence of one-character strings replaces the column list."""
    plane = Planes(2, 2)
    plane.cols = value
    assert plane.cols == expected
    assert all(type(letter) is str for letter in plane.cols)
    assert state(plane)[:2] == (2, 2)


@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        pytest.param("AB", TypeError, "argument 'cols': Can't extract `str` to `Vec`", id="str"),
        pytest.param("", TypeError, "argument 'cols': Can't extract `str` to `Vec`", id="empty-str"),
        pytest.param("A", TypeError, "argument 'cols': Can't extract `str` to `Vec`", id="one-letter-str"),
        pytest.param(5, TypeError, "argument 'cols': 'int' object cannot be converted to 'Sequence'", id="int"),
        pytest.param(None, TypeError, "argument 'cols': 'NoneType' object cannot be converted to 'Sequence'", id="none"),
        pytest.param({"A": 1}, TypeError, "argument 'cols': 'dict' object cannot be converted to 'Sequence'", id="dict"),
        pytest.param({"A"}, TypeError, "argument 'cols': 'set' object cannot be converted to 'Sequence'", id="set"),
        pytest.param((c for c in "AB"), TypeError, "argument 'cols': 'generator' object cannot be converted to 'Sequence'", id="generator"),
        pytest.param(["A", None], TypeError, "argument 'cols': 'NoneType' object cannot be converted to 'PyString'", id="none-item"),
        pytest.param(b"AB", TypeError, "argument 'cols': 'int' object cannot be converted to 'PyString'", id="bytes"),
        pytest.param(bytearray(b"AB"), TypeError, "argument 'cols': 'int' object cannot be converted to 'PyString'", id="bytearray"),
        pytest.param(range(3), TypeError, "argument 'cols': 'int' object cannot be converted to 'PyString'", id="range"),
        pytest.param(range(10**12), TypeError, "argument 'cols': 'int' object cannot be converted to 'PyString'", id="huge-range"),
        pytest.param(["AB"], ValueError, "expected a string of length 1", id="two-letters"),
        pytest.param([""], ValueError, "expected a string of length 1", id="empty-item"),
        pytest.param(["A", "B", "CD"], ValueError, "expected a string of length 1", id="last-too-long"),
        pytest.param(["e\u0301"], ValueError, "expected a string of length 1", id="combining-pair"),
    ],
)
def test_cols_assignment_refused(value: object, error: type, message: str) -> None:
    """Values that are no sequence of one-character strings are refused; cols stays unchanged."""
    plane = Planes(2, 2, "XY")
    with pytest.raises(error) as excinfo:
        plane.cols = value
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message
    assert state(plane) == (2, 2, ["X", "Y"])


def test_cols_iteration_error_passes_unchanged() -> None:
    """An error raised while iterating the value ends the assignment with that error."""

    class Broken:
        def __len__(self) -> int:
            return 3

        def __getitem__(self, index: int) -> str:
            if index == 1:
                raise RuntimeError("sequence broke")
            return "K"

    plane = Planes(2, 2, "XY")
    with pytest.raises(RuntimeError, match="^sequence broke$"):
        plane.cols = Broken()
    assert plane.cols == ["X", "Y"]


@pytest.mark.parametrize("name", ["passengers", "seats", "cols"])
@pytest.mark.parametrize("how", ["del-statement", "delattr"])
def test_delete_refused(name: str, how: str) -> None:
    """Deleting an attribute raises AttributeError "can't delete attribute" and changes nothing."""
    plane = Planes(3, 4, "XY")
    with pytest.raises(AttributeError) as excinfo:
        if how == "delattr":
            delattr(plane, name)
        elif name == "passengers":
            del plane.passengers
        elif name == "seats":
            del plane.seats
        else:
            del plane.cols
    assert type(excinfo.value) is AttributeError
    assert str(excinfo.value) == "can't delete attribute"
    assert state(plane) == (3, 4, ["X", "Y"])


def test_cols_read_is_a_copy() -> None:
    """Each read of cols gives a new list; changing it does not change the plane."""
    plane = Planes(cols="ABC")
    first = plane.cols
    assert plane.cols is not first
    first.append("Z")
    first[0] = "Q"
    assert plane.cols == ["A", "B", "C"]


def test_cols_assignment_copies_the_value() -> None:
    """Changing the list after assigning it does not change the plane."""
    letters = ["A", "B"]
    plane = Planes()
    plane.cols = letters
    letters.append("C")
    letters[0] = "Z"
    assert plane.cols == ["A", "B"]


def test_reassignment_replaces_values() -> None:
    """Repeated assignments each replace the previous value."""
    plane = Planes(1, 1)
    for round_number in range(50):
        plane.seats = round_number + 10
        plane.passengers = round_number
        plane.cols = ["Ω"] * (round_number % 7)
    assert state(plane) == (49, 59, ["Ω"] * (49 % 7))


@pytest.mark.parametrize("name", ["passengers", "seats", "cols"])
@pytest.mark.parametrize(
    "use",
    [
        pytest.param(lambda descriptor: descriptor.__get__(5, int), id="get"),
        pytest.param(lambda descriptor: descriptor.__set__(5, 3), id="set"),
        pytest.param(lambda descriptor: descriptor.__set__("plane", ["A"]), id="set-cols-like"),
        pytest.param(lambda descriptor: descriptor.__delete__(5), id="delete"),
    ],
)
def test_descriptor_refuses_foreign_objects(name: str, use) -> None:
    """The class's attribute descriptors refuse objects that are not planes with TypeError."""
    with pytest.raises(TypeError):
        use(Planes.__dict__[name])
