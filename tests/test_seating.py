"""generate_seating(): seat labels, the random assignment and its failures."""

from __future__ import annotations

import collections
import json
import re

import pytest

from conftest import LIMIT_HELPERS, caps_address_space, panic_type, run_child, within_sigma
from tavrin_puzzles import Planes


def label(number: int, cols: str = "ABCDEF") -> str:
    """The label of seat `number`: the number followed by the letter cols[(number - 1) % 6]."""
    return f"{number}{cols[(number - 1) % 6]}"


def test_default_plane_labels() -> None:
    """The default plane gives passengers 1 to 100 the labels 1A, 2B, ... 100D, each once."""
    seating = Planes().generate_seating()
    assert type(seating) is dict
    assert sorted(seating) == list(range(1, 101))
    assert all(type(key) is int for key in seating)
    assert all(type(value) is str for value in seating.values())
    assert sorted(seating.values()) == sorted(label(n) for n in range(1, 101))
    assert {"1A", "2B", "6F", "7A", "8B", "10D", "12F", "99C", "100D"} <= set(seating.values())


@pytest.mark.parametrize(
    ("passengers", "seats", "cols"),
    [
        pytest.param(0, 0, "ABCDEF", id="empty-plane"),
        pytest.param(0, 0, "", id="empty-plane-no-cols"),
        pytest.param(0, 5, "ABCDEF", id="no-passengers"),
        pytest.param(0, 6, "ABCDEF", id="no-passengers-full-row"),
    ],
)
def test_empty_seating(passengers: int, seats: int, cols: str) -> None:
    """Without passengers the result is an empty dict, whatever the cabin."""
    assert Planes(passengers, seats, cols).generate_seating() == {}


@pytest.mark.parametrize(
    ("passengers", "seats", "cols"),
    [
        pytest.param(3, 10, "ABCDEF", id="fewer-passengers"),
        pytest.param(1, 1, "ABCDEF", id="single"),
        pytest.param(3, 3, "ABC", id="three-columns-exactly"),
        pytest.param(12, 12, "AAAAAA", id="six-equal-letters"),
        pytest.param(24, 24, "ABCDEFGH", id="eight-letters"),
        pytest.param(6, 6, "ÄÖÜßéñ", id="two-byte-letters"),
        pytest.param(7, 7, "日本語🛫✈ə", id="multi-byte-letters"),
        pytest.param(2, 2, "A\x00", id="nul-letter"),
        pytest.param(13, 100, "XYZUVW", id="hundred-seats"),
        pytest.param(5000, 5000, "ABCDEF", id="five-thousand-seats"),
    ],
)
def test_labels_follow_the_columns(passengers: int, seats: int, cols: str) -> None:
    """Each passenger gets a distinct label of the cabin, built from the first six letters."""
    seating = Planes(passengers, seats, cols).generate_seating()
    assert sorted(seating) == list(range(1, passengers + 1))
    values = list(seating.values())
    assert len(set(values)) == passengers
    assert set(values) <= {label(n, cols) for n in range(1, seats + 1)}
    if passengers == seats:
        assert set(values) == {label(n, cols) for n in range(1, seats + 1)}


@pytest.mark.parametrize("cols", ["\n\t ,;|", "/\n\t ,;", "\x00\x1f\u2028\x85 \n"])
def test_separator_like_letters_and_passenger_order(cols: str) -> None:
    """Whitespace, punctuation and line breaks label seats like any letter; keys come in passenger order."""
    seating = Planes(30, 40, cols).generate_seating()
    assert list(seating) == list(range(1, 31))
    assert len(set(seating.values())) == 30
    assert set(seating.values()) <= {label(n, cols) for n in range(1, 41)}


def test_single_seat_is_always_1a() -> None:
    """One passenger on one seat always gets 1A."""
    plane = Planes(1, 1)
    assert all(plane.generate_seating() == {1: "1A"} for _ in range(50))


def test_unused_letters_never_appear() -> None:
    """Letters after the sixth never label a seat."""
    plane = Planes(0, 60, "ABCDEFGH")
    plane.passengers = 60
    values = set(plane.generate_seating().values())
    assert not any(value.endswith(("G", "H")) for value in values)
    assert len(values) == 60


@pytest.mark.parametrize(
    ("passengers", "seats", "cols", "seat", "count"),
    [
        pytest.param(4, 4, "ABC", 4, 3, id="three-letters-four-seats"),
        pytest.param(0, 4, "ABC", 4, 3, id="no-passengers-still-labels"),
        pytest.param(1, 1, "", 1, 0, id="no-letters"),
        pytest.param(0, 1, "", 1, 0, id="no-letters-no-passengers"),
        pytest.param(100, 100, "ABCDE", 5 + 1, 5, id="five-letters"),
        pytest.param(2, 2, "A", 2, 1, id="one-letter"),
    ],
)
def test_cols_too_short(passengers: int, seats: int, cols: str, seat: int, count: int) -> None:
    """A column list too short for the seats panics, naming the unlabelled seat and the letter count."""
    plane = Planes(passengers, seats, cols)
    with pytest.raises(panic_type()) as excinfo:
        plane.generate_seating()
    assert len(excinfo.value.args) == 1
    message = str(excinfo.value)
    assert re.search(rf"\bseat {seat}(?!\d)", message), message
    assert re.search(rf"(?<!\d){count}(?!\d)", message.replace(f"seat {seat}", "")), message


@pytest.mark.parametrize(
    ("passengers", "seats"),
    [pytest.param(4, 3, id="one-over"), pytest.param(1, 0, id="no-seats"), pytest.param(100, 99, id="default-like")],
)
def test_more_passengers_than_seats(passengers: int, seats: int) -> None:
    """More passengers than seats, reached through the setters, panics with "Seat on a plane"."""
    plane = Planes(seats, seats)
    plane.passengers = passengers
    with pytest.raises(panic_type()) as excinfo:
        plane.generate_seating()
    assert excinfo.value.args == ("Seat on a plane",)


def test_short_cols_reported_before_missing_seats() -> None:
    """Labels are built before passengers are seated, so short cols wins over too many passengers."""
    plane = Planes(3, 3, "AB")
    plane.passengers = 4
    with pytest.raises(panic_type()) as excinfo:
        plane.generate_seating()
    assert "seat 3" in str(excinfo.value)


def test_panic_report_on_stderr(capfd: pytest.CaptureFixture[str]) -> None:
    """A panic writes a report carrying its message to standard error."""
    capfd.readouterr()
    plane = Planes(3, 3)
    plane.passengers = 4
    with pytest.raises(panic_type()):
        plane.generate_seating()
    assert "Seat on a plane" in capfd.readouterr().err


@pytest.mark.parametrize(
    "configure",
    [
        pytest.param({"cols": ["A"]}, id="short-cols"),
        pytest.param({"passengers": 9}, id="too-many-passengers"),
    ],
)
def test_plane_usable_after_panic(configure: dict) -> None:
    """After a panic the plane can be assigned and used again: no borrow is left behind."""
    plane = Planes(3, 3)
    for name, value in configure.items():
        setattr(plane, name, value)
    for _ in range(3):
        with pytest.raises(panic_type()):
            plane.generate_seating()
    plane.seats = 9
    plane.passengers = 9
    plane.cols = ["K", "L", "M", "N", "O", "P"]
    assert (plane.passengers, plane.seats) == (9, 9)
    assert sorted(plane.generate_seating().values()) == sorted(label(n, "KLMNOP") for n in range(1, 10))


def test_new_dict_each_call() -> None:
    """Every call returns a new dict that the caller may change freely."""
    plane = Planes(5, 5)
    first = plane.generate_seating()
    first.clear()
    first["x"] = "y"
    second = plane.generate_seating()
    assert second is not first
    assert sorted(second) == [1, 2, 3, 4, 5]


def test_record_untouched() -> None:
    """Generating a seating leaves the plane's attributes as they were."""
    plane = Planes(7, 20, "ABCDEFG")
    plane.generate_seating()
    assert (plane.passengers, plane.seats, plane.cols) == (7, 20, list("ABCDEFG"))


def test_first_passenger_seat_is_uniform() -> None:
    """Over many calls passenger 1 gets every seat about equally often, and seatings differ."""
    calls, seats = 3000, 10
    plane = Planes(seats, seats)
    firsts: collections.Counter[str] = collections.Counter()
    lasts: collections.Counter[str] = collections.Counter()
    distinct = set()
    for _ in range(calls):
        seating = plane.generate_seating()
        firsts[seating[1]] += 1
        lasts[seating[seats]] += 1
        distinct.add(tuple(seating[p] for p in range(1, seats + 1)))
    assert set(firsts) == set(lasts) == {label(n) for n in range(1, seats + 1)}
    for counter in (firsts, lasts):
        for count in counter.values():
            assert within_sigma(count, calls, 1 / seats), counter
    # 3000 draws among 10! orders repeat about once by chance.
    assert len(distinct) >= calls - 10


@caps_address_space
def test_huge_seat_counts_fail_cleanly() -> None:
    """A seat count too large to hold raises PanicException or MemoryError instead of crashing."""
    child = run_child(
        f"""
        import json
        exec({LIMIT_HELPERS!r})
        set_capped_limit("RLIMIT_AS", 8 * 1024 ** 3)
        from tavrin_puzzles import Planes
        outcomes = []
        for seats in (2**64 - 1, 2**40, 2**33):
            plane = Planes(1, seats)
            for method in ("generate_seating", "run_simulation"):
                try:
                    getattr(plane, method)()
                    outcomes.append("returned")
                except BaseException as exc:
                    outcomes.append(type(exc).__name__)
            outcomes.append(repr(plane.run_simulations(2)))
            plane.seats = 1
            outcomes.append(repr(plane.generate_seating()))
        print(json.dumps(outcomes))
        """
    )
    assert child.returncode == 0, child.stderr[-2000:]
    outcomes = json.loads(child.stdout)
    assert len(outcomes) == 12
    for index in range(0, 12, 4):
        assert outcomes[index] in {"PanicException", "MemoryError"}
        assert outcomes[index + 1] in {"PanicException", "MemoryError"}
        assert outcomes[index + 2] == "0.0"
        assert outcomes[index + 3] == "{1: '1A'}"


@caps_address_space
def test_seatings_beyond_the_memory_budget_fail_cleanly() -> None:
    """Seatings whose seat list or dict would not fit under the limit raise PanicException up front.

    A billion passengers under 4 GiB used to kill the process: the seat list fitted, then a new
    thread's storage or the dict did not. The limit counts for threads new to the module too.
    """
    child = run_child(
        f"""
        import json, threading
        exec({LIMIT_HELPERS!r})
        from tavrin_puzzles import Planes

        def attempt(count):
            try:
                return len(Planes(count, count).generate_seating())
            except BaseException as exc:
                return [type(exc).__name__, str(exc)]

        outcomes = []
        set_capped_limit("RLIMIT_AS", 4 * 1024 ** 3)
        outcomes.append(attempt(10 ** 9))
        thread = threading.Thread(target=lambda: outcomes.append(attempt(10 ** 9)))
        thread.start()
        thread.join()
        set_capped_limit("RLIMIT_AS", mapped_bytes() + 768 * 2 ** 20)
        outcomes.append(attempt(4 * 10 ** 6))
        outcomes.append(attempt(10 ** 6))
        print(json.dumps(outcomes))
        """
    )
    assert child.returncode == 0, child.stderr[-2000:]
    billion, billion_in_thread, seat_list_fits, fits = json.loads(child.stdout)
    for outcome in (billion, billion_in_thread):
        assert outcome[0] == "PanicException"
        assert re.fullmatch(r"cannot hold 1000000000 (seats|passengers): at most \d+ fit", outcome[1])
    assert seat_list_fits[0] == "PanicException"
    assert re.fullmatch(r"cannot hold 4000000 passengers: at most \d+ fit", seat_list_fits[1])
    assert fits == 10 ** 6
