"""run_simulations(iterations): binding its argument, its result, and the worker count the
environment may set. The conversion of iterations is in test_conversions.py, failed boardings
in test_methods.py; the batch's own properties (every iteration boarded once, a whole number of
parts, one half for the default plane, no thread left) are checked on the model in C++."""

from __future__ import annotations

import json

import pytest

from conftest import LIMIT_HELPERS, caps_address_space, is_fraction_of, run_child
from tavrin_puzzles import Planes

WORKERS_VARIABLE = "TAVRIN_PUZZLES_WORKER_THREADS"


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda plane: plane.run_simulations(10), id="positional"),
        pytest.param(lambda plane: plane.run_simulations(iterations=10), id="keyword"),
        pytest.param(lambda plane: plane.run_simulations(*[10]), id="unpacked-positional"),
        pytest.param(lambda plane: plane.run_simulations(iterations=10), id="unpacked-keyword"),
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


def test_big_plane() -> None:
    """A cabin of a million seats boards on the worker threads as a small one does: the module
    sets their stacks itself, also where the C library's default is small (128 KiB on musl)."""
    assert is_fraction_of(Planes(10**6, 10**6).run_simulations(6), 6)


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
    """The worker count is read when each call starts: a positive number up to 1024 runs the
    batch, any other value makes that call raise PanicException naming the variable, and the
    plane stays usable."""
    child = run_child(
        f"""
        import json, os
        from tavrin_puzzles import Planes
        plane = Planes(1, 1)
        outcomes = []
        for value in ("0", "1", "abc", "3", "2x", "16", "00", None, "1025"):
            if value is None:
                os.environ.pop("{WORKERS_VARIABLE}", None)
            else:
                os.environ["{WORKERS_VARIABLE}"] = value
            try:
                outcomes.append([plane.run_simulations(20), Planes(0, 0).run_simulations(7), Planes(2, 2).run_simulations(300)])
            except BaseException as exc:
                outcomes.append([type(exc).__module__, type(exc).__name__, list(exc.args)])
            plane.seats = 1
        print(json.dumps(outcomes))
        """,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    outcomes = json.loads(child.stdout)
    for value, outcome in zip(("0", "abc", "2x", "00", "1025"), outcomes[0::2]):
        module, name, args = outcome
        assert (module, name) == ("pyo3_runtime", "PanicException"), value
        assert len(args) == 1 and args[0].startswith("Failed to create Tokio runtime: ") and WORKERS_VARIABLE in args[0]
    for single, failing, pair in outcomes[1::2]:
        assert (single, failing) == (1.0, 0.0)
        assert 0.0 < pair < 1.0 and is_fraction_of(pair, 300)
    assert child.stderr.count("no entry found for key") == 7 * 4
