"""run_simulation(): one boarding of the puzzle, its outcome and its failures."""

from __future__ import annotations

import json
import os

import pytest

from conftest import panic_type, within_sigma
from tavrin_puzzles import Planes


@pytest.mark.parametrize(
    ("passengers", "seats", "cols"),
    [
        pytest.param(1, 1, "ABCDEF", id="one-seat"),
        pytest.param(1, 50, "ABCDEF", id="many-seats"),
        pytest.param(1, 6, "Ä" * 6, id="equal-letters"),
    ],
)
def test_single_passenger_always_sits_right(passengers: int, seats: int, cols: str) -> None:
    """With one passenger every boarding returns True."""
    plane = Planes(passengers, seats, cols)
    results = [plane.run_simulation() for _ in range(200)]
    assert all(result is True for result in results)


@pytest.mark.parametrize(
    ("passengers", "seats", "cols"),
    [
        pytest.param(2, 2, "ABCDEF", id="two"),
        pytest.param(3, 3, "ABCDEF", id="three"),
        pytest.param(100, 100, "ABCDEF", id="default"),
        pytest.param(2, 50, "ABCDEF", id="two-of-fifty-seats"),
        pytest.param(10, 60, "ABCDEF", id="ten-of-sixty-seats"),
        pytest.param(10, 10, "AAAAAA", id="equal-letters"),
    ],
)
def test_last_passenger_right_about_half_the_time(passengers: int, seats: int, cols: str) -> None:
    """For two or more passengers the last one finds their seat in about half of all boardings."""
    trials = 3000
    plane = Planes(passengers, seats, cols)
    results = [plane.run_simulation() for _ in range(trials)]
    assert all(type(result) is bool for result in results)
    assert within_sigma(results.count(True), trials, 0.5)


@pytest.mark.parametrize(
    ("passengers", "seats", "cols", "configure", "message"),
    [
        pytest.param(0, 0, "ABCDEF", {}, "no entry found for key", id="empty-plane"),
        pytest.param(0, 5, "ABCDEF", {}, "no entry found for key", id="no-passengers"),
        pytest.param(3, 3, "ABCDEF", {"passengers": 4}, "Seat on a plane", id="passengers-raised"),
        pytest.param(5, 5, "ABCDEF", {"seats": 2}, "Seat on a plane", id="seats-lowered"),
    ],
)
def test_boarding_panics(
    passengers: int, seats: int, cols: str, configure: dict, message: str, capfd: pytest.CaptureFixture[str]
) -> None:
    """Impossible boardings raise PanicException with the model's message and report it."""
    plane = Planes(passengers, seats, cols)
    for name, value in configure.items():
        setattr(plane, name, value)
    capfd.readouterr()
    with pytest.raises(panic_type()) as excinfo:
        plane.run_simulation()
    assert excinfo.value.args == (message,)
    assert message in capfd.readouterr().err


@pytest.mark.parametrize(
    ("cols", "seat"),
    [pytest.param("ABC", 4, id="three-letters"), pytest.param("", 1, id="no-letters")],
)
def test_short_cols_panic(cols: str, seat: int) -> None:
    """A column list too short for the seats fails the boarding before anybody boards."""
    plane = Planes(4, 4, cols)
    with pytest.raises(panic_type()) as excinfo:
        plane.run_simulation()
    assert f"seat {seat}" in str(excinfo.value)


@pytest.mark.parametrize("method", ["run_simulation", "generate_seating"])
@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda plane, name: getattr(plane, name)(1), id="positional"),
        pytest.param(lambda plane, name: getattr(plane, name)(x=1), id="keyword"),
        pytest.param(lambda plane, name: getattr(plane, name)(*[], **{"iterations": 1}), id="unpacked-keyword"),
        pytest.param(lambda plane, name: getattr(Planes, name)(), id="unbound-no-receiver"),
        pytest.param(lambda plane, name: getattr(Planes, name)(5), id="unbound-wrong-receiver"),
        pytest.param(lambda plane, name: getattr(Planes, name)("plane"), id="unbound-str-receiver"),
    ],
)
def test_arguments_refused(method: str, call) -> None:
    """The methods without parameters refuse arguments and foreign receivers with TypeError."""
    plane = Planes(2, 2)
    with pytest.raises(TypeError):
        call(plane, method)
    assert (plane.passengers, plane.seats, plane.cols) == (2, 2, list("ABCDEF"))


def test_unbound_call_with_plane() -> None:
    """Calling through the class with a plane as receiver works like the bound call."""
    assert Planes.run_simulation(Planes(1, 1)) is True
    assert Planes.generate_seating(Planes(1, 1)) == {1: "1A"}


@pytest.mark.parametrize(
    "configure",
    [
        pytest.param({"passengers": 0}, id="no-passengers"),
        pytest.param({"passengers": 8}, id="too-many"),
        pytest.param({"cols": []}, id="no-letters"),
    ],
)
def test_plane_usable_after_failed_boarding(configure: dict) -> None:
    """After a panic the plane can be read, assigned and boarded again."""
    plane = Planes(2, 2)
    for name, value in configure.items():
        setattr(plane, name, value)
    with pytest.raises(panic_type()):
        plane.run_simulation()
    assert plane.seats == 2
    plane.passengers = 1
    plane.seats = 1
    plane.cols = ["Z"]
    assert plane.run_simulation() is True
    assert plane.generate_seating() == {1: "1Z"}


def test_record_untouched() -> None:
    """A boarding leaves the plane's attributes as they were."""
    plane = Planes(7, 20, "ABCDEFG")
    for _ in range(20):
        plane.run_simulation()
    assert (plane.passengers, plane.seats, plane.cols) == (7, 20, list("ABCDEFG"))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="os.fork is not available")
def test_forked_child_draws_differently() -> None:
    """Parent and child draw different seatings after a fork: the generator is reseeded."""
    seats = 50
    plane = Planes(seats, seats)
    plane.generate_seating()  # the parent's generator is seeded and holds buffered output
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            seating = plane.generate_seating()
            data = json.dumps([seating[p] for p in range(1, seats + 1)]).encode()
            os.write(write_end, data)
            os.close(write_end)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    seating = plane.generate_seating()
    parent = [seating[p] for p in range(1, seats + 1)]
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    child = json.loads(data)
    assert sorted(child) == sorted(parent)
    assert child != parent
