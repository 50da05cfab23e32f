"""run_simulations(iterations): the parallel batch, its result, arguments and failures."""

from __future__ import annotations

import json
import math
import os
import threading
import time

import pytest

from conftest import LIMIT_HELPERS, Index, caps_address_space, panic_type, run_child
from tavrin_puzzles import Planes

WORKERS_VARIABLE = "TAVRIN_PUZZLES_WORKER_THREADS"


def is_fraction_of(value: float, iterations: int) -> bool:
    """Tell whether value is k / iterations, as computed in double precision, for a whole k."""
    k = round(value * iterations)
    return 0 <= k <= iterations and k / iterations == value


def thread_ids() -> set[str]:
    return set(os.listdir("/proc/self/task"))


def threads_left_over(before: set[str]) -> set[str]:
    """Threads that exist now but did not before, after a grace period for the kernel.

    A joined thread can stay listed for an instant after the join returns, until the kernel
    has reaped it, so one immediate reading could still see it.
    """
    for _ in range(200):
        new = thread_ids() - before
        if not new:
            return new
        time.sleep(0.01)
    return thread_ids() - before


def test_zero_iterations_is_nan() -> None:
    """No iterations give NaN."""
    result = Planes().run_simulations(0)
    assert type(result) is float
    assert math.isnan(result)


def test_one_iteration_is_zero_or_one() -> None:
    """One iteration gives exactly 0.0 or 1.0."""
    plane = Planes(5, 5)
    results = {plane.run_simulations(1) for _ in range(20)}
    assert results <= {0.0, 1.0}
    assert all(type(result) is float for result in results)


def test_four_iterations_give_quarters() -> None:
    """Four iterations give a whole number of quarters."""
    plane = Planes(4, 4)
    results = [plane.run_simulations(4) for _ in range(30)]
    assert set(results) <= {0.0, 0.25, 0.5, 0.75, 1.0}
    assert len(set(results)) >= 2


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda plane: plane.run_simulations(10), id="positional"),
        pytest.param(lambda plane: plane.run_simulations(iterations=10), id="keyword"),
        pytest.param(lambda plane: plane.run_simulations(*[10]), id="unpacked-positional"),
        pytest.param(lambda plane: plane.run_simulations(**{"iterations": 10}), id="unpacked-keyword"),
        pytest.param(lambda plane: plane.run_simulations(Index(10)), id="index"),
        pytest.param(lambda plane: Planes.run_simulations(plane, 10), id="unbound"),
    ],
)
def test_argument_forms(call, capfd: pytest.CaptureFixture[str]) -> None:
    """Every way of passing ten iterations runs exactly ten boardings."""
    assert call(Planes(1, 1)) == 1.0
    failing = Planes(0, 0)
    capfd.readouterr()
    assert call(failing) == 0.0
    assert capfd.readouterr().err.count("no entry found for key") == 10


@pytest.mark.parametrize(("value", "count"), [(True, 1), (False, 0), (Index(3), 3)])
def test_iterations_from_bool_and_index(value: object, count: int, capfd: pytest.CaptureFixture[str]) -> None:
    """Booleans and __index__ objects give their integer number of iterations."""
    capfd.readouterr()
    result = Planes(0, 0).run_simulations(value)
    if count == 0:
        assert math.isnan(result)
    else:
        assert result == 0.0
    assert capfd.readouterr().err.count("no entry found for key") == count


@pytest.mark.parametrize("value", [-1, 2**64, -(2**64), 10**30, Index(-1)])
def test_iterations_overflow_unprefixed(value: object) -> None:
    """A negative count or one above 2**64 - 1 raises OverflowError without prefix."""
    with pytest.raises(OverflowError) as excinfo:
        Planes().run_simulations(value)
    assert type(excinfo.value) is OverflowError
    assert not str(excinfo.value).startswith("argument ")


@pytest.mark.parametrize("value", [2.5, 10.0, "10", None, [10], Index("ten"), 1j])
def test_iterations_type_error_prefixed(value: object) -> None:
    """A value without an integer value raises TypeError naming the argument iterations."""
    with pytest.raises(TypeError) as excinfo:
        Planes().run_simulations(value)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith("argument 'iterations': ")


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        pytest.param((), {}, "Planes.run_simulations() missing 1 required positional argument: 'iterations'", id="missing"),
        pytest.param((1, 2), {}, "Planes.run_simulations() takes 1 positional arguments but 2 were given", id="two-positional"),
        pytest.param((1, 2, 3), {}, "Planes.run_simulations() takes 1 positional arguments but 3 were given", id="three-positional"),
        pytest.param((5,), {"iterations": 5}, "Planes.run_simulations() got multiple values for argument 'iterations'", id="twice"),
        pytest.param((), {"iteration": 5}, "Planes.run_simulations() got an unexpected keyword argument 'iteration'", id="unknown-keyword"),
        pytest.param((5,), {"foo": 1}, "Planes.run_simulations() got an unexpected keyword argument 'foo'", id="extra-keyword"),
        pytest.param((), {"foo": 1, "iterations": 5}, "Planes.run_simulations() got an unexpected keyword argument 'foo'", id="unknown-before-valid"),
        pytest.param((5,), {"iterations": 5, "foo": 1}, "Planes.run_simulations() got multiple values for argument 'iterations'", id="first-keyword-decides"),
        pytest.param((1, 2), {"foo": 1}, "Planes.run_simulations() takes 1 positional arguments but 2 were given", id="count-before-keywords"),
        pytest.param(("x",), {"foo": 1}, "Planes.run_simulations() got an unexpected keyword argument 'foo'", id="binding-before-conversion"),
    ],
)
def test_argument_parser_errors(args: tuple, kwargs: dict, message: str) -> None:
    """Wrong numbers or names of arguments raise TypeError with the parser's messages."""
    with pytest.raises(TypeError) as excinfo:
        Planes().run_simulations(*args, **kwargs)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    ("passengers", "seats", "cols", "configure", "marker"),
    [
        pytest.param(0, 0, "ABCDEF", {}, "no entry found for key", id="empty-plane"),
        pytest.param(0, 5, "ABCDEF", {}, "no entry found for key", id="no-passengers"),
        pytest.param(3, 3, "ABCDEF", {"passengers": 4}, "Seat on a plane", id="too-many-passengers"),
        pytest.param(3, 3, "ABCDEF", {"cols": []}, "seat 1", id="no-letters"),
        pytest.param(4, 4, "ABC", {}, "seat 4", id="three-letters"),
    ],
)
def test_failed_boardings_count_as_false(
    passengers: int, seats: int, cols: str, configure: dict, marker: str, capfd: pytest.CaptureFixture[str]
) -> None:
    """Failing boardings return 0.0, raise nothing and write one diagnostic each to stderr."""
    plane = Planes(passengers, seats, cols)
    for name, value in configure.items():
        setattr(plane, name, value)
    before = (plane.passengers, plane.seats, plane.cols)
    capfd.readouterr()
    assert plane.run_simulations(10) == 0.0
    captured = capfd.readouterr()
    assert captured.out == ""
    assert sum(marker in line for line in captured.err.splitlines()) == 10
    assert (plane.passengers, plane.seats, plane.cols) == before


@pytest.mark.parametrize(
    ("configure", "expected"),
    [
        pytest.param({"passengers": 1}, 1.0, id="one-passenger"),
        pytest.param({"cols": []}, 0.0, id="no-letters"),
        pytest.param({"seats": 1, "passengers": 1, "cols": ["Ω"]}, 1.0, id="all-three"),
        pytest.param({"passengers": 101}, 0.0, id="too-many-passengers"),
    ],
)
def test_attributes_set_before_the_call_are_used(configure: dict, expected: float) -> None:
    """Values assigned before the call take effect, and the call changes none of them."""
    plane = Planes()
    for name, value in configure.items():
        setattr(plane, name, value)
    before = (plane.passengers, plane.seats, plane.cols)
    assert plane.run_simulations(25) == expected
    assert (plane.passengers, plane.seats, plane.cols) == before


def test_default_plane_close_to_half() -> None:
    """The default plane gives a fraction within five standard deviations of one half."""
    iterations = 20000
    plane = Planes()
    result = plane.run_simulations(iterations)
    assert is_fraction_of(result, iterations)
    assert abs(result - 0.5) <= 5 * math.sqrt(0.25 / iterations)
    assert (plane.passengers, plane.seats, plane.cols) == (100, 100, list("ABCDEF"))


def test_two_calls_in_a_row() -> None:
    """Consecutive calls each run their own batch, also after a batch full of failures."""
    plane = Planes(0, 0)
    assert plane.run_simulations(5) == 0.0
    plane.seats = 1
    plane.passengers = 1
    assert plane.run_simulations(5) == 1.0
    plane.passengers = 2
    plane.seats = 2
    first = plane.run_simulations(400)
    second = plane.run_simulations(400)
    assert all(is_fraction_of(value, 400) and 0.0 < value < 1.0 for value in (first, second))


def test_python_threads_call_in_turn() -> None:
    """Several Python threads calling on shared and own planes all get sound results."""
    shared = Planes(10, 10)
    results: dict[str, list[float]] = {}
    errors: list[BaseException] = []
    barrier = threading.Barrier(4)

    def work(name: str) -> None:
        try:
            barrier.wait()
            own = Planes(1, 1)
            values = []
            for _ in range(5):
                values.append(shared.run_simulations(200))
                values.append(own.run_simulations(3))
            results[name] = values
        except BaseException as exc:  # noqa: BLE001 - handed to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(f"t{i}",)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert len(results) == 4
    for values in results.values():
        assert values[1::2] == [1.0] * 5
        assert all(is_fraction_of(value, 200) and 0.0 < value < 1.0 for value in values[0::2])
    assert (shared.passengers, shared.seats) == (10, 10)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc/self/task")
def test_worker_threads_end_with_the_call() -> None:
    """No thread started by a call outlives it."""
    before = thread_ids()
    plane = Planes(20, 20)
    for iterations in (0, 1, 50, 500):
        plane.run_simulations(iterations)
        assert threads_left_over(before) == set()
    Planes(0, 0).run_simulations(4)
    assert threads_left_over(before) == set()


@pytest.mark.parametrize("value", ["0", "abc", "2x", "00", "1025"])
def test_invalid_worker_count_panics(value: str) -> None:
    """A worker count of 0, above 1024 or no number makes the call raise PanicException naming the variable."""
    child = run_child(
        """
        import json
        from tavrin_puzzles import Planes
        plane = Planes(1, 1)
        try:
            plane.run_simulations(5)
        except BaseException as exc:
            outcome = [type(exc).__module__, type(exc).__name__, list(exc.args)]
        else:
            outcome = ["returned"]
        plane.seats = 2
        outcome.append(plane.seats)
        print(json.dumps(outcome))
        """,
        {WORKERS_VARIABLE: value},
    )
    assert child.returncode == 0, child.stderr[-2000:]
    module, name, args, seats = json.loads(child.stdout)
    assert (module, name) == ("pyo3_runtime", "PanicException")
    assert len(args) == 1
    assert args[0].startswith("Failed to create Tokio runtime: ")
    assert WORKERS_VARIABLE in args[0]
    assert seats == 2


@pytest.mark.parametrize("value", ["1", "3", "16"])
def test_valid_worker_count_runs(value: str) -> None:
    """A positive worker count runs the batch normally."""
    child = run_child(
        """
        import json
        from tavrin_puzzles import Planes
        print(json.dumps([Planes(1, 1).run_simulations(20), Planes(0, 0).run_simulations(7), Planes(2, 2).run_simulations(300)]))
        """,
        {WORKERS_VARIABLE: value},
    )
    assert child.returncode == 0, child.stderr[-2000:]
    single, failing, pair = json.loads(child.stdout)
    assert (single, failing) == (1.0, 0.0)
    assert 0.0 < pair < 1.0 and is_fraction_of(pair, 300)
    assert child.stderr.count("no entry found for key") == 7


@caps_address_space
def test_no_more_workers_than_iterations() -> None:
    """A batch starts no more workers than it has boardings: 1024 thread stacks would not fit here."""
    child = run_child(
        f"""
        import json
        exec({LIMIT_HELPERS!r})
        set_capped_limit("RLIMIT_AS", mapped_bytes() + 512 * 2 ** 20)
        from tavrin_puzzles import Planes
        print(json.dumps([Planes(1, 1).run_simulations(3), Planes(0, 0).run_simulations(2)]))
        """,
        {WORKERS_VARIABLE: "1024"},
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert json.loads(child.stdout) == [1.0, 0.0]


def test_worker_count_read_at_each_call() -> None:
    """The worker count is read when the call starts, so fixing it lets the next call succeed."""
    child = run_child(
        f"""
        import json, os
        from tavrin_puzzles import Planes
        plane = Planes(1, 1)
        outcomes = []
        for value in ("0", "2", "x", None):
            if value is None:
                os.environ.pop("{WORKERS_VARIABLE}", None)
            else:
                os.environ["{WORKERS_VARIABLE}"] = value
            try:
                outcomes.append(plane.run_simulations(4))
            except BaseException as exc:
                outcomes.append(type(exc).__name__)
        print(json.dumps(outcomes))
        """,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert json.loads(child.stdout) == ["PanicException", 1.0, "PanicException", 1.0]
