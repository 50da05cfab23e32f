"""Arguments whose Python hooks misbehave: sequences whose __len__ fails, str subclasses that lie
about their length, and __index__ hooks that call the module again until the recursion limit.
Str subclasses on every route a text takes are in test_conversions.py."""

from __future__ import annotations

import pytest

from conftest import lying_str, state
from tavrin_puzzles import Planes


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
