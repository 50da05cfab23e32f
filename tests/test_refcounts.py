"""Reference counts of argument objects survive failing and succeeding calls (CPython only)."""

from __future__ import annotations

import sys
from typing import Callable

import pytest

from conftest import IS_PYPY, Index, panic_type
from tavrin_puzzles import Planes

pytestmark = pytest.mark.skipif(
    IS_PYPY, reason="PyPy reports reference counts with an offset that means something else"
)

REPEATS = 100


def fresh_objects() -> dict[str, object]:
    """Objects made at run time, so no constant or cache shares their counts."""
    big = int("1" + "0" * 18)  # fits in 64 bits, far beyond the small-int cache
    return {
        "big": big,
        "huge": big * big * big,  # beyond 64 bits
        "negative": -big,
        "float": float(big),
        "text": "".join(["7", "7"]),
        "letters": "".join(["日", "本"]),
        "surrogate": "".join(["A", "\ud800"]),
        "letter_list": [chr(0x65E5), chr(0x672C)],
        "int_list": [big, big + 1],
        "long_item_list": ["".join(["A", "B"])],
        "index": Index(int("5")),
        "bad_index": Index("".join(["f", "ive"])),
    }


def repeat_expecting(call: Callable[[], object], error: type | None) -> None:
    for _ in range(REPEATS):
        if error is None:
            call()
            continue
        try:
            call()
        except BaseException as exc:  # PanicException is not an Exception
            if type(exc) is not error:
                raise
        else:
            raise AssertionError("the call did not fail")


FAILING_CALLS = {
    "constructor-overflow": (lambda o, p: Planes(o["huge"]), OverflowError, ["huge"]),
    "constructor-negative": (lambda o, p: Planes(5, o["negative"]), OverflowError, ["negative"]),
    "constructor-float": (lambda o, p: Planes(o["float"], 5), TypeError, ["float"]),
    "constructor-str-count": (lambda o, p: Planes(None, o["text"]), TypeError, ["text"]),
    "constructor-cols-list": (lambda o, p: Planes(5, 6, o["letter_list"]), TypeError, ["letter_list"]),
    "constructor-surrogate": (lambda o, p: Planes(cols=o["surrogate"]), UnicodeEncodeError, ["surrogate"]),
    "constructor-too-many": (lambda o, p: Planes(o["big"], 5, o["letters"]), ValueError, ["big", "letters"]),
    "constructor-none": (lambda o, p: Planes(o["big"], None, o["letters"]), "panic", ["big", "letters"]),
    "constructor-parser": (lambda o, p: Planes(o["big"], o["big"], o["letters"], o["big"]), TypeError, ["big", "letters"]),
    "constructor-keyword": (lambda o, p: Planes(seat=o["big"]), TypeError, ["big"]),
    "constructor-bad-index": (lambda o, p: Planes(o["bad_index"]), TypeError, ["bad_index"]),
    "setter-float": (lambda o, p: setattr(p, "passengers", o["float"]), TypeError, ["float"]),
    "setter-overflow": (lambda o, p: setattr(p, "seats", o["huge"]), OverflowError, ["huge"]),
    "setter-cols-str": (lambda o, p: setattr(p, "cols", o["letters"]), TypeError, ["letters"]),
    "setter-cols-ints": (lambda o, p: setattr(p, "cols", o["int_list"]), TypeError, ["int_list", "big"]),
    "setter-cols-long-item": (lambda o, p: setattr(p, "cols", o["long_item_list"]), ValueError, ["long_item_list"]),
    "setter-cols-surrogate": (lambda o, p: setattr(p, "cols", [o["surrogate"]]), UnicodeEncodeError, ["surrogate"]),
    "setter-bad-index": (lambda o, p: setattr(p, "passengers", o["bad_index"]), TypeError, ["bad_index"]),
    "iterations-str": (lambda o, p: p.run_simulations(o["text"]), TypeError, ["text"]),
    "iterations-overflow": (lambda o, p: p.run_simulations(iterations=o["huge"]), OverflowError, ["huge"]),
    "iterations-twice": (lambda o, p: p.run_simulations(o["big"], iterations=o["big"]), TypeError, ["big"]),
    "iterations-surplus": (lambda o, p: p.run_simulations(o["big"], o["text"]), TypeError, ["big", "text"]),
}


@pytest.mark.parametrize("case", sorted(FAILING_CALLS))
def test_failing_calls_keep_counts(case: str) -> None:
    """A call that fails leaves the counts of its argument objects and of the plane unchanged."""
    call, error, names = FAILING_CALLS[case]
    if error == "panic":
        error = panic_type()
    objects = fresh_objects()
    plane = Planes(1, 1)
    watched = [objects[name] for name in names] + [plane]
    before = [sys.getrefcount(obj) for obj in watched]
    repeat_expecting(lambda: call(objects, plane), error)
    assert [sys.getrefcount(obj) for obj in watched] == before


SUCCEEDING_CALLS = {
    "constructor": (lambda o, p: Planes(o["big"], o["big"], o["letters"]), ["big", "letters"]),
    "constructor-keywords": (lambda o, p: Planes(seats=o["big"], cols=o["letters"]), ["big", "letters"]),
    "constructor-index": (lambda o, p: Planes(o["index"], o["index"]), ["index"]),
    "setter-count": (lambda o, p: setattr(p, "seats", o["big"]), ["big"]),
    "setter-index": (lambda o, p: setattr(p, "seats", o["index"]), ["index"]),
    "setter-cols": (lambda o, p: setattr(p, "cols", o["letter_list"]), ["letter_list"] + ["letter_list[0]"]),
    "getters": (lambda o, p: (p.passengers, p.seats, p.cols), []),
    "generate-seating": (lambda o, p: p.generate_seating(), []),
    "run-simulation": (lambda o, p: p.run_simulation(), []),
    "run-simulations": (lambda o, p: p.run_simulations(o["index"]), ["index"]),
}


@pytest.mark.parametrize("case", sorted(SUCCEEDING_CALLS))
def test_succeeding_calls_keep_counts(case: str) -> None:
    """A call that succeeds keeps no reference to its arguments or to the plane."""
    call, names = SUCCEEDING_CALLS[case]
    objects = fresh_objects()
    objects["letter_list[0]"] = objects["letter_list"][0]
    plane = Planes(1, 1)
    watched = [objects[name] for name in names] + [plane]
    before = [sys.getrefcount(obj) for obj in watched]
    repeat_expecting(lambda: call(objects, plane), None)
    assert [sys.getrefcount(obj) for obj in watched] == before


@pytest.mark.parametrize(
    ("configure", "method"),
    [
        pytest.param({"cols": []}, "generate_seating", id="seating-short-cols"),
        pytest.param({"passengers": 0}, "run_simulation", id="boarding-no-passengers"),
        pytest.param({"passengers": 5}, "run_simulation", id="boarding-too-many"),
    ],
)
def test_panicking_methods_keep_plane_count(configure: dict, method: str) -> None:
    """A method that panics releases its reference to the plane."""
    plane = Planes(1, 1)
    for name, value in configure.items():
        setattr(plane, name, value)
    before = sys.getrefcount(plane)
    repeat_expecting(getattr(plane, method), panic_type())
    assert sys.getrefcount(plane) == before


def test_class_count_restored_after_instances_die() -> None:
    """Each instance releases its reference to the class when it is freed."""
    before = sys.getrefcount(Planes)
    planes = [Planes(1, 2, "AB") for _ in range(1000)]
    assert sys.getrefcount(Planes) > before
    del planes
    assert sys.getrefcount(Planes) == before


def test_results_are_owned_by_the_caller() -> None:
    """Returned objects hold exactly the references the caller sees."""
    # The counts of objects that Python itself made and holds the same way: getrefcount counts
    # its argument of a local name until 3.13 (2 for one local), and no longer from 3.14 on (1).
    made = {1: "".join("AB")}
    one_local = sys.getrefcount(made)
    made_list = list(made.values())
    in_dict_and_list = sys.getrefcount(made_list[0])
    plane = Planes(3, 3)
    letters = plane.cols
    assert sys.getrefcount(letters) == one_local
    seating = plane.generate_seating()
    assert sys.getrefcount(seating) == one_local
    labels = list(seating.values())
    counts = [sys.getrefcount(labels[i]) for i in range(len(labels))]
    assert counts == [in_dict_and_list] * len(labels)
