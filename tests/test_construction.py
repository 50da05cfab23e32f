"""The Planes constructor: defaults, argument binding, conversions, None rules, validation."""

from __future__ import annotations

import re

import pytest

from conftest import Index, cpython_only, gc_collect, panic_type, pypy_only
from tavrin_puzzles import Planes

U64_MAX = 2**64 - 1


def state(plane: Planes) -> tuple[int, int, list[str]]:
    return plane.passengers, plane.seats, plane.cols


def test_defaults() -> None:
    """Without arguments a plane has 100 passengers, 100 seats and columns A to F."""
    plane = Planes()
    assert state(plane) == (100, 100, ["A", "B", "C", "D", "E", "F"])
    assert type(plane) is Planes
    assert type(plane.passengers) is int and type(plane.seats) is int


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        pytest.param((5, 6, "XY"), {}, (5, 6, ["X", "Y"]), id="positional"),
        pytest.param((), {"passengers": 5, "seats": 6, "cols": "XY"}, (5, 6, ["X", "Y"]), id="keyword"),
        pytest.param((), {"cols": "XY", "seats": 6, "passengers": 5}, (5, 6, ["X", "Y"]), id="keyword-reordered"),
        pytest.param((5,), {"cols": "XY"}, (5, 100, ["X", "Y"]), id="mixed-skipping-seats"),
        pytest.param((5, 6), {"cols": "XY"}, (5, 6, ["X", "Y"]), id="mixed"),
        pytest.param((7,), {}, (7, 100, list("ABCDEF")), id="passengers-only"),
        pytest.param((), {"seats": 150}, (100, 150, list("ABCDEF")), id="seats-only"),
        pytest.param((), {"cols": "GH"}, (100, 100, ["G", "H"]), id="cols-only"),
        pytest.param((), {}, (100, 100, list("ABCDEF")), id="empty-kwargs"),
        pytest.param((5, 5), {}, (5, 5, list("ABCDEF")), id="equal-counts"),
        pytest.param((0, 0), {}, (0, 0, list("ABCDEF")), id="empty-plane"),
        pytest.param((0, 7), {}, (0, 7, list("ABCDEF")), id="no-passengers"),
        pytest.param((U64_MAX, U64_MAX), {}, (U64_MAX, U64_MAX, list("ABCDEF")), id="u64-max"),
        pytest.param((True, True), {}, (1, 1, list("ABCDEF")), id="bool"),
        pytest.param((False, Index(3)), {}, (0, 3, list("ABCDEF")), id="index-object"),
        pytest.param((Index(2**63), Index(U64_MAX)), {}, (2**63, U64_MAX, list("ABCDEF")), id="index-large"),
        pytest.param((), {"cols": ""}, (100, 100, []), id="empty-cols"),
    ],
)
def test_accepted_arguments(args: tuple, kwargs: dict, expected: tuple) -> None:
    """Positional, keyword and mixed arguments are bound and converted as given."""
    plane = Planes(*args, **kwargs)
    assert state(plane) == expected
    assert type(plane.passengers) is int and type(plane.seats) is int


def test_int_subclass_accepted() -> None:
    """An int subclass converts to its value and reads back as a plain int."""

    class Count(int):
        pass

    plane = Planes(Count(3), Count(4))
    assert state(plane)[:2] == (3, 4)
    assert type(plane.passengers) is int and type(plane.seats) is int


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


def test_cols_str_subclass_accepted() -> None:
    """A str subclass is accepted for cols and split like a str."""

    class Letters(str):
        pass

    assert Planes(cols=Letters("XYZ")).cols == ["X", "Y", "Z"]


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        pytest.param((None,), {}, "Expected passengers", id="passengers"),
        pytest.param((), {"passengers": None}, "Expected passengers", id="passengers-keyword"),
        pytest.param((None, None), {}, "Expected passengers", id="passengers-and-seats"),
        pytest.param((None, 5, None), {}, "Expected passengers", id="passengers-and-cols"),
        pytest.param((None, None, None), {}, "Expected passengers", id="all-three"),
        pytest.param((5, None), {}, "Expected seats", id="seats"),
        pytest.param((), {"seats": None, "cols": None}, "Expected seats", id="seats-and-cols"),
        pytest.param((5, 5, None), {}, "Expected cols for each row on the plane", id="cols"),
        pytest.param((6, 5, None), {}, "Expected cols for each row on the plane", id="cols-before-count-check"),
        pytest.param((None, 0), {}, "Expected passengers", id="passengers-despite-small-seats"),
    ],
)
def test_none_arguments(args: tuple, kwargs: dict, message: str) -> None:
    """An explicit None fails fatally, examined in parameter order and before the count check."""
    with pytest.raises(panic_type()) as excinfo:
        Planes(*args, **kwargs)
    assert excinfo.value.args == (message,)


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "prefix"),
    [
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
def test_conversions_precede_checks(args: tuple, kwargs: dict, error: type, prefix: str | None) -> None:
    """Every argument is converted before any check; the first failing conversion is raised."""
    with pytest.raises(BaseException) as excinfo:
        Planes(*args, **kwargs)
    assert type(excinfo.value) is error
    message = str(excinfo.value)
    if prefix is None:
        assert not message.startswith("argument ")
    else:
        assert message.startswith(prefix)


@pytest.mark.parametrize("name", ["passengers", "seats"])
@pytest.mark.parametrize(
    "value",
    [
        pytest.param(3.0, id="float"),
        pytest.param(2.5, id="fraction"),
        pytest.param("7", id="str"),
        pytest.param([1], id="list"),
        pytest.param(object(), id="object"),
        pytest.param(Index("five"), id="index-returning-str"),
        pytest.param(1j, id="complex"),
    ],
)
def test_count_type_error_prefixed(name: str, value: object) -> None:
    """A count without an integer value raises TypeError prefixed with the argument's name."""
    with pytest.raises(TypeError) as excinfo:
        Planes(**{name: value})
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith(f"argument '{name}': ")
    assert len(str(excinfo.value)) > len(f"argument '{name}': ")


@pytest.mark.parametrize("name", ["passengers", "seats"])
@pytest.mark.parametrize("value", [-1, 2**64, 10**20, -(2**70), Index(-1), Index(2**64)])
def test_count_overflow_unprefixed(name: str, value: object) -> None:
    """A negative count or one above 2**64 - 1 raises the interpreter's OverflowError unchanged."""
    with pytest.raises(OverflowError) as excinfo:
        Planes(**{name: value})
    assert type(excinfo.value) is OverflowError
    assert not str(excinfo.value).startswith("argument ")


@pytest.mark.parametrize(
    ("value", "error"),
    [
        pytest.param([], "'list' object cannot be converted to 'PyString'", id="list"),
        pytest.param(["A", "B"], "'list' object cannot be converted to 'PyString'", id="list-of-letters"),
        pytest.param(5, "'int' object cannot be converted to 'PyString'", id="int"),
        pytest.param(b"AB", "'bytes' object cannot be converted to 'PyString'", id="bytes"),
        pytest.param(("A",), "'tuple' object cannot be converted to 'PyString'", id="tuple"),
    ],
)
def test_cols_must_be_str(value: object, error: str) -> None:
    """A cols value that is not a str raises TypeError naming its type and the target PyString."""
    with pytest.raises(TypeError) as excinfo:
        Planes(cols=value)
    assert str(excinfo.value) == f"argument 'cols': {error}"


@pytest.mark.parametrize("cols", ["\ud800", "AB\udc00", "\udfffA"])
def test_cols_lone_surrogate(cols: str) -> None:
    """A cols text with a lone surrogate raises the interpreter's UnicodeEncodeError unchanged."""
    with pytest.raises(UnicodeEncodeError) as excinfo:
        Planes(cols=cols)
    assert excinfo.value.object == cols
    assert excinfo.value.reason == "surrogates not allowed"
    assert not str(excinfo.value).startswith("argument ")


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
    assert state(Planes.__new__(Planes)) == (100, 100, list("ABCDEF"))
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
