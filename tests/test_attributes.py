"""The passengers, seats and cols attributes: reading, assigning, refusing deletion."""

from __future__ import annotations

import collections

import pytest

from conftest import Index
from tavrin_puzzles import Planes

U64_MAX = 2**64 - 1


def state(plane: Planes) -> tuple[int, int, list[str]]:
    return plane.passengers, plane.seats, plane.cols


class Count(int):
    """An int subclass."""


class TypeErrorWithCause:
    """__index__ raises a TypeError that has an explicit cause."""

    def __index__(self) -> int:
        raise TypeError("no count here") from KeyError("inner")


class TypeErrorSubclass(TypeError):
    """A TypeError subclass, which the argument prefix must leave alone."""


class RaisesSubclass:
    def __index__(self) -> int:
        raise TypeErrorSubclass("custom failure")


class RaisesValueError:
    def __index__(self) -> int:
        raise ValueError("not today")


@pytest.mark.parametrize("name", ["passengers", "seats"])
@pytest.mark.parametrize(
    ("value", "expected"),
    [
        pytest.param(0, 0, id="zero"),
        pytest.param(7, 7, id="small"),
        pytest.param(2**32, 2**32, id="beyond-32-bits"),
        pytest.param(U64_MAX, 18446744073709551615, id="u64-max"),
        pytest.param(True, 1, id="true"),
        pytest.param(False, 0, id="false"),
        pytest.param(Index(5), 5, id="index"),
        pytest.param(Index(U64_MAX), U64_MAX, id="index-u64-max"),
        pytest.param(Count(9), 9, id="int-subclass"),
    ],
)
def test_count_assignment(name: str, value: object, expected: int) -> None:
    """Integers, bools and objects with __index__ are stored and read back as plain ints."""
    plane = Planes(3, 3, "XYZ")
    setattr(plane, name, value)
    assert getattr(plane, name) == expected
    assert type(getattr(plane, name)) is int
    other = "seats" if name == "passengers" else "passengers"
    assert getattr(plane, other) == 3
    assert plane.cols == ["X", "Y", "Z"]


@pytest.mark.parametrize("name", ["passengers", "seats"])
@pytest.mark.parametrize(
    "value",
    [
        pytest.param(3.0, id="float"),
        pytest.param(2.5, id="fraction"),
        pytest.param("7", id="str"),
        pytest.param(None, id="none"),
        pytest.param([4], id="list"),
        pytest.param(Index("five"), id="index-returning-str"),
        pytest.param(Index(5.0), id="index-returning-float"),
    ],
)
def test_count_type_error_prefixed(name: str, value: object) -> None:
    """A value without an integer value raises TypeError prefixed with the name; nothing changes."""
    plane = Planes(3, 4, "XY")
    with pytest.raises(TypeError) as excinfo:
        setattr(plane, name, value)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith(f"argument '{name}': ")
    assert state(plane) == (3, 4, ["X", "Y"])


@pytest.mark.parametrize("name", ["passengers", "seats"])
@pytest.mark.parametrize("value", [-1, 2**64, 10**20, -(2**64), Index(-3), Index(10**20)])
def test_count_overflow_unprefixed(name: str, value: object) -> None:
    """An out-of-range integer raises OverflowError without prefix and leaves the value unchanged."""
    plane = Planes(3, 4)
    with pytest.raises(OverflowError) as excinfo:
        setattr(plane, name, value)
    assert type(excinfo.value) is OverflowError
    assert not str(excinfo.value).startswith("argument ")
    assert state(plane) == (3, 4, list("ABCDEF"))


@pytest.mark.parametrize("name", ["passengers", "seats"])
def test_prefixed_error_keeps_cause(name: str) -> None:
    """The prefixed TypeError replaces the original message but keeps its cause."""
    plane = Planes(3, 4)
    with pytest.raises(TypeError) as excinfo:
        setattr(plane, name, TypeErrorWithCause())
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == f"argument '{name}': no count here"
    assert type(excinfo.value.__cause__) is KeyError
    assert excinfo.value.__cause__.args == ("inner",)
    assert state(plane) == (3, 4, list("ABCDEF"))


@pytest.mark.parametrize("name", ["passengers", "seats"])
@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        pytest.param(RaisesSubclass(), TypeErrorSubclass, "custom failure", id="type-error-subclass"),
        pytest.param(RaisesValueError(), ValueError, "not today", id="value-error"),
    ],
)
def test_other_errors_pass_unchanged(name: str, value: object, error: type, message: str) -> None:
    """Only an exact TypeError gets the prefix; other failures of __index__ pass unchanged."""
    plane = Planes(3, 4)
    with pytest.raises(error) as excinfo:
        setattr(plane, name, value)
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message
    assert state(plane) == (3, 4, list("ABCDEF"))


def test_counts_unchecked_against_each_other() -> None:
    """The setters accept more passengers than seats; nothing is raised until seats are assigned."""
    plane = Planes(3, 3)
    plane.passengers = 4
    assert state(plane)[:2] == (4, 3)
    plane.seats = 0
    assert state(plane)[:2] == (4, 0)


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
    ],
)
def test_cols_assignment(value: object, expected: list[str]) -> None:
    """A sequence of one-character strings replaces the column list."""
    plane = Planes(2, 2)
    plane.cols = value
    assert plane.cols == expected
    assert all(type(letter) is str for letter in plane.cols)
    assert state(plane)[:2] == (2, 2)


def test_cols_from_getitem_sequence() -> None:
    """A sequence class with only __getitem__ (no length) is iterated and accepted."""

    class Letters:
        def __getitem__(self, index: int) -> str:
            return "PQR"[index]

    plane = Planes()
    plane.cols = Letters()
    assert plane.cols == ["P", "Q", "R"]


def test_cols_length_is_only_a_hint() -> None:
    """A sequence claiming a huge length is taken for the items it really yields."""

    class Boastful:
        def __len__(self) -> int:
            return 2**40

        def __getitem__(self, index: int) -> str:
            return "AB"[index]

    plane = Planes()
    plane.cols = Boastful()
    assert plane.cols == ["A", "B"]


def test_cols_str_subclass_items() -> None:
    """Items that are str subclasses are accepted."""

    class Letter(str):
        pass

    plane = Planes()
    plane.cols = [Letter("M"), Letter("N")]
    assert plane.cols == ["M", "N"]
    assert all(type(letter) is str for letter in plane.cols)


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
        pytest.param([1], TypeError, "argument 'cols': 'int' object cannot be converted to 'PyString'", id="int-item"),
        pytest.param(["A", None], TypeError, "argument 'cols': 'NoneType' object cannot be converted to 'PyString'", id="none-item"),
        pytest.param([b"A"], TypeError, "argument 'cols': 'bytes' object cannot be converted to 'PyString'", id="bytes-item"),
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


@pytest.mark.parametrize("value", [["\ud800"], ["A", "\udfff"]])
def test_cols_item_lone_surrogate(value: list[str]) -> None:
    """A lone surrogate item raises the interpreter's UnicodeEncodeError unchanged."""
    plane = Planes(2, 2, "XY")
    with pytest.raises(UnicodeEncodeError) as excinfo:
        plane.cols = value
    assert excinfo.value.reason == "surrogates not allowed"
    assert not str(excinfo.value).startswith("argument ")
    assert plane.cols == ["X", "Y"]


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
