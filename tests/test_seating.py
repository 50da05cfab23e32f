"""generate_seating(): seat labels, the random assignment reaching Python, and seatings too large
to hold. Failures shared with the other methods are in test_methods.py; the uniformity of the
assignment is checked on the model in C++."""

from __future__ import annotations

import json
import re

import pytest

from conftest import LIMIT_HELPERS, caps_address_space, run_child
from tavrin_puzzles import Planes


def label(number: int, cols: str = "ABCDEF") -> str:
    """The label of seat `number`: the number followed by the letter cols[(number - 1) % 6]."""
    return f"{number}{cols[(number - 1) % 6]}"


def test_default_plane_labels() -> None:
    """The default plane gives int passengers the str labels 1A, 2B, ... 100D."""
    seating = Planes().generate_seating()
    assert type(seating) is dict
    assert all(type(key) is int for key in seating)
    assert all(type(value) is str for value in seating.values())
    assert {"1A", "2B", "6F", "7A", "8B", "10D", "12F", "99C", "100D"} <= set(seating.values())


@pytest.mark.parametrize(
    ("passengers", "seats", "cols"),
    [
        pytest.param(100, 100, "ABCDEF", id="default"),
        pytest.param(3, 10, "ABCDEF", id="fewer-passengers"),
        pytest.param(1, 1, "ABCDEF", id="single"),
        pytest.param(0, 0, "", id="empty-plane-no-cols"),
        pytest.param(0, 6, "ABCDEF", id="no-passengers-full-row"),
        pytest.param(3, 3, "ABC", id="three-columns-exactly"),
        pytest.param(12, 12, "AAAAAA", id="six-equal-letters"),
        pytest.param(24, 24, "ABCDEFGH", id="eight-letters"),
        pytest.param(6, 6, "ÄÖÜßéñ", id="two-byte-letters"),
        pytest.param(7, 7, "日本語🛫✈ə", id="multi-byte-letters"),
        pytest.param(2, 2, "A\x00", id="nul-letter"),
        pytest.param(13, 100, "XYZUVW", id="hundred-seats"),
        pytest.param(30, 40, "\n\t ,;|", id="separators"),
        pytest.param(30, 40, "/\n\t ,;", id="separators-first"),
        pytest.param(30, 40, "\x00\x1f\u2028\x85 \n", id="control-and-line-breaks"),
    ],
)
def test_labels_follow_the_columns(passengers: int, seats: int, cols: str) -> None:
    """Passengers come in order, each with a distinct label of the cabin, built from the first
    six letters; whitespace, punctuation and line breaks label seats like any letter."""
    seating = Planes(passengers, seats, cols).generate_seating()
    assert list(seating) == list(range(1, passengers + 1))
    values = set(seating.values())
    assert len(values) == passengers
    assert values <= {label(n, cols) for n in range(1, seats + 1)}
    if passengers == seats:
        assert values == {label(n, cols) for n in range(1, seats + 1)}


def test_a_new_seating_each_call() -> None:
    """Every call draws anew and returns a new dict that the caller may change freely."""
    plane = Planes(20, 20)
    first = plane.generate_seating()
    seatings = {tuple(first.values())}
    first.clear()
    first["x"] = "y"
    for _ in range(30):
        seating = plane.generate_seating()
        assert seating is not first and list(seating) == list(range(1, 21))
        seatings.add(tuple(seating.values()))
    # Among 20! orders a repetition comes by chance about once in 10**16 runs.
    assert len(seatings) == 31


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
