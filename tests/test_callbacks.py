"""Arguments whose Python hooks misbehave: sequences whose __len__ fails, str subclasses that lie
about their length, and __index__ hooks that call the module again until the recursion limit.
Str subclasses on every route a text takes are in test_conversions.py."""

from __future__ import annotations

import pytest

from conftest import lying_str, panic_type, state
from tavrin_puzzles import Planes


def letters_with_len(length) -> object:
    """Two letters, P and Q, read by index, behind the __len__ given."""
    return type("Letters", (), {"__len__": length, "__getitem__": lambda self, index: "PQ"[index]})()


def raising(error: type):
    def length(self) -> int:
        raise error("len")

    return length


class NegativeLength(list):
    """A list whose __len__ says -1, which the interpreter turns into ValueError."""

    def __len__(self) -> int:
        return -1


@pytest.mark.parametrize(
    ("make", "outcome"),
    [
        pytest.param(lambda: letters_with_len(raising(TypeError)), ["P", "Q"], id="type-error"),
        pytest.param(lambda: letters_with_len(raising(OverflowError)), ["P", "Q"], id="overflow-error"),
        pytest.param(lambda: letters_with_len(raising(RuntimeError)), ["P", "Q"], id="runtime-error"),
        pytest.param(lambda: letters_with_len(raising(KeyError)), ["P", "Q"], id="key-error"),
        pytest.param(lambda: NegativeLength(["A", "B"]), ["A", "B"], id="negative"),
        pytest.param(lambda: letters_with_len(raising(MemoryError)), MemoryError, id="memory-error"),
        pytest.param(lambda: letters_with_len(lambda self: len(self)), RecursionError, id="recursing"),
        pytest.param(lambda: letters_with_len(raising(KeyboardInterrupt)), KeyboardInterrupt, id="keyboard-interrupt"),
        pytest.param(lambda: letters_with_len(raising(SystemExit)), SystemExit, id="system-exit"),
        pytest.param(lambda: letters_with_len(raising(panic_type())), panic_type(), id="panic"),
    ],
)
def test_cols_length_error(make, outcome) -> None:
    """The length only sizes the reservation: an Exception from it means no length and the
    items decide; MemoryError, RecursionError and what is no Exception end the assignment,
    the plane unchanged."""
    plane = Planes(2, 2, "XY")
    if isinstance(outcome, list):
        plane.cols = make()
        assert plane.cols == outcome
    else:
        with pytest.raises(outcome):
            plane.cols = make()
        assert state(plane) == (2, 2, ["X", "Y"])


def test_str_subclass_item_too_long_despite_its_len() -> None:
    """An item whose __len__ says 1 but which holds two letters is refused."""
    plane = Planes(2, 2, "XY")
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        plane.cols = [lying_str(1)("QR")]
    assert state(plane) == (2, 2, ["X", "Y"])


def test_str_subclass_keyword_name() -> None:
    """A keyword name that is a str subclass with a lying __len__ still names its parameter."""
    assert Planes(**{lying_str(1)("cols"): "XY"}).cols == ["X", "Y"]


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
