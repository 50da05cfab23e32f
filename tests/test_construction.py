"""The Planes constructor: defaults, argument binding, the order of its checks, validation.
The conversions of each argument are in test_conversions.py."""

from __future__ import annotations

import re

import pytest

from conftest import DEFAULT_COLS, U64_MAX, cpython_only, gc_collect, panic_type, pypy_only, state
from tavrin_puzzles import Planes


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        pytest.param((5, 6, "XY"), {}, (5, 6, ["X", "Y"]), id="positional"),
        pytest.param((), {"passengers": 5, "seats": 6, "cols": "XY"}, (5, 6, ["X", "Y"]), id="keyword"),
        pytest.param((), {"cols": "XY", "seats": 6, "passengers": 5}, (5, 6, ["X", "Y"]), id="keyword-reordered"),
        pytest.param((5,), {"cols": "XY"}, (5, 100, ["X", "Y"]), id="mixed-skipping-seats"),
        pytest.param((5, 6), {"cols": "XY"}, (5, 6, ["X", "Y"]), id="mixed"),
        pytest.param((7,), {}, (7, 100, DEFAULT_COLS), id="passengers-only"),
        pytest.param((), {"seats": 150}, (100, 150, DEFAULT_COLS), id="seats-only"),
        pytest.param((), {"cols": "GH"}, (100, 100, ["G", "H"]), id="cols-only"),
        pytest.param((), {}, (100, 100, DEFAULT_COLS), id="defaults"),
        pytest.param((5, 5), {}, (5, 5, DEFAULT_COLS), id="equal-counts"),
        pytest.param((0, 0), {}, (0, 0, DEFAULT_COLS), id="empty-plane"),
        pytest.param((0, 7), {}, (0, 7, DEFAULT_COLS), id="no-passengers"),
        pytest.param((), {"cols": ""}, (100, 100, []), id="empty-cols"),
    ],
)
def test_accepted_arguments(args: tuple, kwargs: dict, expected: tuple) -> None:
    """Positional, keyword and mixed arguments are bound and converted as given."""
    plane = Planes(*args, **kwargs)
    assert type(plane) is Planes
    assert state(plane) == expected


@pytest.mark.parametrize(
    ("cols", "expected"),
    [
        pytest.param("ABCDEFGH", list("ABCDEFGH"), id="eight-letters"),
        pytest.param("AAAAAA", ["A"] * 6, id="six-equal"),
        pytest.param("ÄÖ", ["Ä", "Ö"], id="two-byte"),
        pytest.param("日本", ["日", "本"], id="three-byte"),
        pytest.param("🛫✈", ["🛫", "✈"], id="four-and-three-byte"),
        pytest.param("e\u0301", ["e", "\u0301"], id="combining-mark"),
        pytest.param("A\x00B", ["A", "\x00", "B"], id="nul-character"),
    ],
)
def test_cols_split_by_code_point(cols: str, expected: list[str]) -> None:
    """The cols text is split into one entry per Unicode code point."""
    assert Planes(cols=cols).cols == expected


PANIC = BaseException  # stands for PanicException, which the module only shows when raised


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        pytest.param((None, None), {}, PANIC, "Expected passengers", id="passengers-none-first"),
        pytest.param((None, 5, None), {}, PANIC, "Expected passengers", id="passengers-before-cols-none"),
        pytest.param((None, None, None), {}, PANIC, "Expected passengers", id="all-three-none"),
        pytest.param((), {"seats": None, "cols": None}, PANIC, "Expected seats", id="seats-before-cols-none"),
        pytest.param((5, 5, None), {}, PANIC, "Expected cols for each row on the plane", id="cols-none"),
        pytest.param((6, 5, None), {}, PANIC, "Expected cols for each row on the plane", id="cols-none-before-count-check"),
        pytest.param((None, 0), {}, PANIC, "Expected passengers", id="passengers-none-despite-small-seats"),
        pytest.param((None, "x"), {}, TypeError, "argument 'seats': ", id="seats-str-after-none"),
        pytest.param((None, 2.0), {}, TypeError, "argument 'seats': ", id="seats-float-after-none"),
        pytest.param((None, -1), {}, OverflowError, None, id="seats-negative-after-none"),
        pytest.param((None, 2**64), {}, OverflowError, None, id="seats-too-big-after-none"),
        pytest.param((None, None, 7), {}, TypeError, "argument 'cols': ", id="cols-int-after-nones"),
        pytest.param((None, 5, ["A"]), {}, TypeError, "argument 'cols': ", id="cols-list-after-none"),
        pytest.param((5, None, b"AB"), {}, TypeError, "argument 'cols': ", id="cols-bytes-after-none"),
        pytest.param((None, 5, "A\ud800"), {}, UnicodeEncodeError, None, id="cols-surrogate-after-none"),
        pytest.param((6, 5, 7), {}, TypeError, "argument 'cols': ", id="cols-before-count-check"),
        pytest.param((6, 5, "\udfff"), {}, UnicodeEncodeError, None, id="surrogate-before-count-check"),
        pytest.param(("x", "y"), {}, TypeError, "argument 'passengers': ", id="passengers-first"),
        pytest.param((-1, "y"), {}, OverflowError, None, id="passengers-overflow-first"),
        pytest.param((5, "y", 3), {}, TypeError, "argument 'seats': ", id="seats-before-cols"),
        pytest.param((), {"cols": 3, "passengers": "x"}, TypeError, "argument 'passengers': ", id="parameter-order-not-keyword-order"),
    ],
)
def test_checks_in_parameter_order(args: tuple, kwargs: dict, error: type, message: str | None) -> None:
    """Every argument is converted before the count check, in parameter order: the first
    conversion that fails decides. An explicit None fails fatally when its turn comes."""
    with pytest.raises(BaseException) as excinfo:
        Planes(*args, **kwargs)
    if error is PANIC:
        assert type(excinfo.value) is panic_type() and excinfo.value.args == (message,)
    elif message is None:
        assert type(excinfo.value) is error and not str(excinfo.value).startswith("argument ")
    else:
        assert type(excinfo.value) is error and str(excinfo.value).startswith(message)


@pytest.mark.parametrize(
    ("passengers", "seats"),
    [(6, 5), (1, 0), (101, 100), (U64_MAX, U64_MAX - 1), (2**32 + 7, 2**32 + 6)],
)
def test_more_passengers_than_seats(passengers: int, seats: int) -> None:
    """More passengers than seats raises ValueError naming both numbers."""
    with pytest.raises(ValueError) as excinfo:
        Planes(passengers, seats)
    assert type(excinfo.value) is ValueError
    message = str(excinfo.value)
    assert re.search(rf"(?<!\d){passengers}(?!\d)", message)
    assert re.search(rf"(?<!\d){seats}(?!\d)", message)


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        pytest.param(
            (1, 2, "A", 4), {}, "Planes.__new__() takes from 0 to 3 positional arguments but 4 were given", id="four-positional"
        ),
        pytest.param(
            (1, 2, "A", 4, 5), {}, "Planes.__new__() takes from 0 to 3 positional arguments but 5 were given", id="five-positional"
        ),
        pytest.param(
            (1, 2, "A", 4), {"seat": 1}, "Planes.__new__() takes from 0 to 3 positional arguments but 4 were given", id="positional-count-first"
        ),
        pytest.param((), {"seat": 5}, "Planes.__new__() got an unexpected keyword argument 'seat'", id="unknown-keyword"),
        pytest.param(("x",), {"seat": 5}, "Planes.__new__() got an unexpected keyword argument 'seat'", id="binding-before-conversion"),
        pytest.param((None,), {"Cols": "A"}, "Planes.__new__() got an unexpected keyword argument 'Cols'", id="binding-before-none-check"),
        pytest.param((5,), {"passengers": 5}, "Planes.__new__() got multiple values for argument 'passengers'", id="passengers-twice"),
        pytest.param((1, 2, "A"), {"cols": "B"}, "Planes.__new__() got multiple values for argument 'cols'", id="cols-twice"),
        pytest.param((5,), {"foo": 1, "passengers": 2}, "Planes.__new__() got an unexpected keyword argument 'foo'", id="first-keyword-decides-unknown"),
        pytest.param((5,), {"passengers": 2, "foo": 1}, "Planes.__new__() got multiple values for argument 'passengers'", id="first-keyword-decides-twice"),
    ],
)
def test_argument_parser_errors(args: tuple, kwargs: dict, message: str) -> None:
    """Wrong numbers or names of arguments raise TypeError with the parser's messages."""
    with pytest.raises(TypeError) as excinfo:
        Planes(*args, **kwargs)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message


def test_new_called_directly() -> None:
    """Planes.__new__(Planes, ...) builds a plane like calling the class."""
    assert state(Planes.__new__(Planes)) == (100, 100, DEFAULT_COLS)
    assert state(Planes.__new__(Planes, 3, cols="XY")) == (3, 100, ["X", "Y"])


@pytest.mark.parametrize("target", [int, object, str, Exception, 5, "Planes"])
def test_new_with_foreign_type_refused(target: object) -> None:
    """Planes.__new__ with anything but Planes as the class raises TypeError."""
    with pytest.raises(TypeError):
        Planes.__new__(target)


@cpython_only
def test_object_new_refused() -> None:
    """object.__new__(Planes) raises TypeError on CPython."""
    with pytest.raises(TypeError):
        object.__new__(Planes)


@pypy_only
def test_object_new_gives_safe_empty_plane() -> None:
    """object.__new__(Planes) on PyPy gives an empty plane that can be read, used, changed and freed."""
    plane = object.__new__(Planes)
    assert state(plane) == (0, 0, [])
    assert plane.generate_seating() == {}
    with pytest.raises(panic_type()) as excinfo:
        plane.run_simulation()
    assert excinfo.value.args == ("no entry found for key",)
    plane.cols = ["X", "Y"]
    plane.seats = 2
    plane.passengers = 1
    assert state(plane) == (1, 2, ["X", "Y"])
    assert plane.generate_seating()[1] in {"1X", "2Y"}
    del plane
    planes = [object.__new__(Planes) for _ in range(100)]
    for index, plane in enumerate(planes):
        if index % 2:
            plane.cols = ["Q"] * index
    del planes, plane
    gc_collect()


def test_many_planes_freed() -> None:
    """Creating and dropping many planes with column lists leaves the process sound."""
    planes = [Planes(i, i + 1, "ÄB" * (i % 5)) for i in range(2000)]
    assert [p.seats for p in planes[:3]] == [1, 2, 3]
    del planes
    gc_collect()
    assert state(Planes(2, 3, "ÄB")) == (2, 3, ["Ä", "B"])
