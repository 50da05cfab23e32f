"""Conversions of arguments, once for every entry that makes them: integers for the passengers
and seats of the constructor and the setters and for the iterations of run_simulations; texts
for the constructor's cols and for each item the cols setter takes."""

from __future__ import annotations

import math
import sys

import pytest

from conftest import IS_PYPY, U64_MAX, Count, Index, gc_collect, lying_str, panic_type, state
from tavrin_puzzles import Planes

BEFORE = (0, 0, ["X", "Y"])


def plane_before() -> Planes:
    return Planes(*BEFORE[:2], "".join(BEFORE[2]))


def assigned(plane: Planes, name: str, value: object) -> int:
    setattr(plane, name, value)
    return getattr(plane, name)


def batch_size(result: float, capfd: pytest.CaptureFixture[str]) -> int:
    """The number of boardings a batch on the empty plane ran: each fails and reports once."""
    count = capfd.readouterr().err.count("no entry found for key")
    assert type(result) is float
    assert math.isnan(result) if count == 0 else result == 0.0
    return count


# Each entry that converts an integer: (its parameter, how it is called on the plane BEFORE,
# the value it took). Only the setters may change the plane.
INTEGER_ENTRIES = {
    "passengers-positional": ("passengers", lambda plane, value, capfd: Planes(value, U64_MAX).passengers),
    "passengers-keyword": ("passengers", lambda plane, value, capfd: Planes(seats=U64_MAX, passengers=value).passengers),
    "seats-positional": ("seats", lambda plane, value, capfd: Planes(0, value).seats),
    "seats-keyword": ("seats", lambda plane, value, capfd: Planes(seats=value, passengers=0).seats),
    "passengers-setter": ("passengers", lambda plane, value, capfd: assigned(plane, "passengers", value)),
    "seats-setter": ("seats", lambda plane, value, capfd: assigned(plane, "seats", value)),
    "iterations-positional": ("iterations", lambda plane, value, capfd: batch_size(plane.run_simulations(value), capfd)),
    "iterations-keyword": ("iterations", lambda plane, value, capfd: batch_size(plane.run_simulations(iterations=value), capfd)),
}

ACCEPTED = {
    "zero": (0, 0),
    "small": (7, 7),
    "beyond-32-bits": (2**32, 2**32),
    "u64-max": (U64_MAX, U64_MAX),
    "true": (True, 1),
    "false": (False, 0),
    "index": (Index(5), 5),
    "index-2-63": (Index(2**63), 2**63),
    "index-u64-max": (Index(U64_MAX), U64_MAX),
    "int-subclass": (Count(9), 9),
}


@pytest.mark.parametrize(
    ("entry", "value", "expected"),
    [
        pytest.param(entry, value, expected, id=f"{entry}-{case}")
        for entry, (name, _) in INTEGER_ENTRIES.items()
        for case, (value, expected) in ACCEPTED.items()
        if name != "iterations" or expected <= 10  # a longer batch would take too long
    ],
)
def test_integer_accepted(entry: str, value: object, expected: int, capfd: pytest.CaptureFixture[str]) -> None:
    """Ints, bools, int subclasses and __index__ objects give their value as a plain int."""
    name, call = INTEGER_ENTRIES[entry]
    plane = plane_before()
    capfd.readouterr()
    got = call(plane, value, capfd)
    assert type(got) is int and got == expected
    after = list(BEFORE)
    if entry.endswith("setter"):
        after[["passengers", "seats"].index(name)] = expected
    assert state(plane) == tuple(after)


class TypeErrorWithCause:
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


PREFIXED = "argument '{name}': ..."  # the argument's name, then the interpreter's own message
UNPREFIXED = "..."  # the interpreter's own message alone

REFUSED = [
    pytest.param(3.0, TypeError, PREFIXED, id="float"),
    pytest.param(2.5, TypeError, PREFIXED, id="fraction"),
    pytest.param("7", TypeError, PREFIXED, id="str"),
    pytest.param([1], TypeError, PREFIXED, id="list"),
    pytest.param(object(), TypeError, PREFIXED, id="object"),
    pytest.param(1j, TypeError, PREFIXED, id="complex"),
    pytest.param(Index("five"), TypeError, PREFIXED, id="index-returning-str"),
    pytest.param(Index(5.0), TypeError, PREFIXED, id="index-returning-float"),
    pytest.param(None, TypeError, PREFIXED, id="none"),
    pytest.param(-1, OverflowError, UNPREFIXED, id="negative"),
    pytest.param(-(2**64), OverflowError, UNPREFIXED, id="negative-beyond-64-bits"),
    pytest.param(2**64, OverflowError, UNPREFIXED, id="2-64"),
    pytest.param(10**30, OverflowError, UNPREFIXED, id="far-beyond-64-bits"),
    pytest.param(Index(-1), OverflowError, UNPREFIXED, id="index-negative"),
    pytest.param(Index(2**64), OverflowError, UNPREFIXED, id="index-2-64"),
    # The prefix replaces the message of an exact TypeError but keeps its cause.
    pytest.param(TypeErrorWithCause(), TypeError, "argument '{name}': no count here", id="type-error-with-cause"),
    pytest.param(RaisesSubclass(), TypeErrorSubclass, "custom failure", id="type-error-subclass"),
    pytest.param(RaisesValueError(), ValueError, "not today", id="value-error"),
]


@pytest.mark.parametrize("entry", sorted(INTEGER_ENTRIES))
@pytest.mark.parametrize(("value", "error", "message"), REFUSED)
def test_integer_refused(entry: str, value: object, error: type, message: str, capfd: pytest.CaptureFixture[str]) -> None:
    """Values without an integer value raise TypeError prefixed with the argument's name; values
    out of 0 to 2**64 - 1 and other failures of __index__ raise the interpreter's exception as
    it is. The constructor alone takes None as a fatal error. Nothing changes, nothing runs."""
    name, call = INTEGER_ENTRIES[entry]
    if value is None and entry.split("-")[0] in ("passengers", "seats") and not entry.endswith("setter"):
        error, message = panic_type(), f"Expected {name}"
    plane = plane_before()
    with pytest.raises(BaseException) as excinfo:
        call(plane, value, capfd)
    assert type(excinfo.value) is error
    text = str(excinfo.value)
    if message == PREFIXED:
        assert text.startswith(f"argument '{name}': ") and len(text) > len(f"argument '{name}': ")
    elif message == UNPREFIXED:
        assert not text.startswith("argument ")
    else:
        assert text == message.format(name=name)
    if isinstance(value, TypeErrorWithCause):
        assert type(excinfo.value.__cause__) is KeyError and excinfo.value.__cause__.args == ("inner",)
    assert state(plane) == BEFORE
    assert "no entry found for key" not in capfd.readouterr().err


# Each way a text reaches the module: (how to pass it, the column list that results).
TEXT_ROUTES = {
    "constructor-positional": (lambda plane, text: Planes(2, 2, text).cols, lambda text: list(text)),
    "constructor-keyword": (lambda plane, text: Planes(cols=text).cols, lambda text: list(text)),
    "setter-item": (lambda plane, text: [setattr(plane, "cols", ["Q", text]), plane.cols][1], lambda text: ["Q", text]),
}


def text_for(route: str, letters: str) -> str:
    """The constructor takes a whole text, the setter one letter per item."""
    return letters[-1] if route == "setter-item" else letters


@pytest.mark.parametrize("route", sorted(TEXT_ROUTES))
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(type("Letters", (str,), {}), id="str-subclass"),
        pytest.param(lying_str(1), id="claims-length-1"),
        pytest.param(lying_str(5), id="claims-length-5"),
    ],
)
def test_str_subclass_read_by_its_text(route: str, make: type) -> None:
    """A str subclass is read by its real text, not by the length its __len__ claims, and the
    letters read back are plain str."""
    call, expected = TEXT_ROUTES[route]
    text = text_for(route, "ABC")
    letters = call(Planes(2, 2, "XY"), make(text))
    assert letters == expected(text)
    assert all(type(letter) is str for letter in letters)


class FailingLen(str):
    """A str subclass whose __len__ raises."""

    def __len__(self) -> int:
        raise RuntimeError("no length today")


@pytest.mark.parametrize("route", sorted(TEXT_ROUTES) + ["keyword-name"])
def test_str_subclass_with_failing_len(route: str) -> None:
    """CPython and PyPy 8 read the text; older PyPy can hand such an object to native code only
    through its __len__, so there its error arrives instead. Neither crashes, now or at the next
    garbage collection, nor changes the plane."""
    if route == "keyword-name":
        call, expected = (lambda plane, text: Planes(**{FailingLen("cols"): text}).cols), list
        text = "AB"
    else:
        call, expected = TEXT_ROUTES[route]
        text = FailingLen(text_for(route, "AB"))
    plane = Planes(2, 2, "XY")
    if IS_PYPY and sys.pypy_version_info < (8,):
        with pytest.raises(RuntimeError, match="^no length today$"):
            call(plane, text)
        assert state(plane) == (2, 2, ["X", "Y"])
    else:
        assert call(plane, text) == expected(str(text))
    gc_collect()


@pytest.mark.parametrize("route", sorted(TEXT_ROUTES))
@pytest.mark.parametrize(
    ("value", "shown_as"),
    [
        pytest.param(5, "int", id="int"),
        pytest.param(b"AB", "bytes", id="bytes"),
        pytest.param([], "list", id="empty-list"),
        pytest.param(["A", "B"], "list", id="list-of-letters"),
        pytest.param(("A",), "tuple", id="tuple"),
    ],
)
def test_text_must_be_str(route: str, value: object, shown_as: str) -> None:
    """A value that is no str raises TypeError naming its type and the target PyString."""
    call, _ = TEXT_ROUTES[route]
    plane = Planes(2, 2, "XY")
    with pytest.raises(TypeError) as excinfo:
        call(plane, value)
    assert str(excinfo.value) == f"argument 'cols': '{shown_as}' object cannot be converted to 'PyString'"
    assert state(plane) == (2, 2, ["X", "Y"])


@pytest.mark.parametrize(
    ("route", "text"),
    [
        pytest.param(route, text, id=f"{route}-{text!a}")
        for route in sorted(TEXT_ROUTES)
        for text in ["\ud800", "\udfff", "AB\udc00", "\udfffA"]
        if route != "setter-item" or len(text) == 1
    ],
)
def test_lone_surrogate(route: str, text: str) -> None:
    """A text with a lone surrogate raises the interpreter's UnicodeEncodeError unchanged."""
    call, _ = TEXT_ROUTES[route]
    plane = Planes(2, 2, "XY")
    with pytest.raises(UnicodeEncodeError) as excinfo:
        call(plane, text)
    assert excinfo.value.object == text
    assert excinfo.value.reason == "surrogates not allowed"
    assert not str(excinfo.value).startswith("argument ")
    assert state(plane) == (2, 2, ["X", "Y"])
