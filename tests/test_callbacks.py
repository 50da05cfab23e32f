"""Arguments whose Python hooks misbehave: str subclasses that lie about or fail in __len__,
and __index__ hooks that call the module again until the recursion limit."""

from __future__ import annotations

import pytest

from conftest import IS_PYPY, gc_collect
from tavrin_puzzles import Planes


def state(plane: Planes) -> tuple[int, int, list[str]]:
    return plane.passengers, plane.seats, plane.cols


def lying_str(length: int) -> type:
    """A str subclass whose __len__ claims `length`."""
    return type("Lying", (str,), {"__len__": lambda self: length})


class FailingLen(str):
    """A str subclass whose __len__ raises."""

    def __len__(self) -> int:
        raise RuntimeError("no length today")


@pytest.mark.parametrize(
    ("error", "raised"), [(TypeError, False), (OverflowError, False), (KeyError, True), (KeyboardInterrupt, True)]
)
def test_cols_length_error(error: type, raised: bool) -> None:
    """A __len__ that raises TypeError or OverflowError gives no length (the items decide);
    any other error ends the assignment, the plane unchanged."""

    class Letters:
        def __len__(self) -> int:
            raise error("len")

        def __getitem__(self, index: int) -> str:
            return "PQ"[index]

    plane = Planes(2, 2, "XY")
    if raised:
        with pytest.raises(error):
            plane.cols = Letters()
        assert state(plane) == (2, 2, ["X", "Y"])
    else:
        plane.cols = Letters()
        assert plane.cols == ["P", "Q"]


# Each way a str reaches the module: (how to pass it, what the plane holds afterwards).
STR_ROUTES = {
    "constructor-positional": (lambda plane, text: Planes(2, 2, text), lambda result: result.cols),
    "constructor-keyword": (lambda plane, text: Planes(cols=text), lambda result: result.cols),
    "setter-item": (lambda plane, text: setattr(plane, "cols", ["Q", text]), lambda result: None),
}


@pytest.mark.parametrize("route", sorted(STR_ROUTES))
@pytest.mark.parametrize("claimed", [1, 5])
def test_str_subclass_read_by_its_text(route: str, claimed: int) -> None:
    """A str subclass is read by its real text, not by the length its __len__ claims."""
    call, read = STR_ROUTES[route]
    plane = Planes(2, 2, "XY")
    text = lying_str(claimed)("R" if route == "setter-item" else "ABC")
    result = call(plane, text)
    expected = ["Q", "R"] if route == "setter-item" else ["A", "B", "C"]
    assert (read(result) if result is not None else plane.cols) == expected


def test_str_subclass_item_too_long_despite_its_len() -> None:
    """An item whose __len__ says 1 but which holds two letters is refused."""
    plane = Planes(2, 2, "XY")
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        plane.cols = [lying_str(1)("QR")]
    assert state(plane) == (2, 2, ["X", "Y"])


def test_str_subclass_keyword_name() -> None:
    """A keyword name that is a str subclass with a lying __len__ still names its parameter."""
    assert Planes(**{lying_str(1)("cols"): "XY"}).cols == ["X", "Y"]


@pytest.mark.parametrize("route", sorted(STR_ROUTES) + ["keyword-name"])
def test_str_subclass_with_failing_len(route: str) -> None:
    """CPython reads the text; PyPy can hand such an object to native code only through its
    __len__, so there its error arrives instead. Neither crashes, now or at the next garbage
    collection, nor changes the plane."""
    plane = Planes(2, 2, "XY")
    if route == "keyword-name":
        def call(plane, text):
            return Planes(**{FailingLen("cols"): text})
        read = STR_ROUTES["constructor-keyword"][1]
    else:
        call, read = STR_ROUTES[route]
    text = FailingLen("R" if route == "setter-item" else "AB")
    if IS_PYPY:
        with pytest.raises(RuntimeError, match="^no length today$"):
            call(plane, text)
        assert state(plane) == (2, 2, ["X", "Y"])
    else:
        result = call(plane, text)
        expected = ["Q", "R"] if route == "setter-item" else ["A", "B"]
        assert (read(result) if result is not None else plane.cols) == expected
    gc_collect()


# Each entry that converts an argument through __index__, called again from that __index__.
REENTRIES = {
    "run_simulations": lambda plane, value: plane.run_simulations(value),
    "constructor": lambda plane, value: Planes(value, 10**6),
    "passengers-setter": lambda plane, value: setattr(plane, "passengers", value),
    # __len__ and then __getitem__ call again: one level each, not two branches per level.
    "cols-setter": lambda plane, value: setattr(plane, "cols", value),
}


@pytest.mark.parametrize("entry", sorted(REENTRIES))
def test_recursion_through_hooks_raises_recursion_error(entry: str) -> None:
    """Unbounded recursion through __index__ or __len__ and __getitem__ ends in
    RecursionError; the plane stays usable."""
    call = REENTRIES[entry]
    plane = Planes(2, 2, "XY")

    class Recursive:
        def __index__(self) -> int:
            return call(plane, self)

        __len__ = __index__

        def __getitem__(self, index: int) -> str:
            return call(plane, self)

    with pytest.raises(RecursionError):
        call(plane, Recursive())
    assert state(plane) == (2, 2, ["X", "Y"])
    plane.passengers = 1  # the borrow is free again
    assert plane.run_simulations(4) == 1.0
