"""Module initialisation, registration of the class and the PanicException type."""

from __future__ import annotations

import copy
import functools
import importlib
import os
import pickle
import shutil
import subprocess
import sys
import weakref

import pytest

import tavrin_puzzles
from conftest import IS_PYPY, cpython_only, panic_type
from tavrin_puzzles import Planes

CLASS_SIGNATURE = "(passengers=100, seats=100, cols=...)"


def test_module_contents() -> None:
    """The module is named tavrin_puzzles, documented, and exports exactly Planes."""
    assert tavrin_puzzles.__name__ == "tavrin_puzzles"
    assert isinstance(tavrin_puzzles.__doc__, str) and tavrin_puzzles.__doc__.strip()
    assert type(tavrin_puzzles.__all__) is list
    assert tavrin_puzzles.__all__ == ["Planes"]
    assert tavrin_puzzles.Planes is Planes
    public = sorted(name for name in vars(tavrin_puzzles) if not name.startswith("_"))
    assert public == ["Planes"]


def test_module_exports_only_its_init_function() -> None:
    """The module's dynamic symbol table defines PyInit_tavrin_puzzles and nothing else."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm (binutils) to read the dynamic symbol table")
    # nm is no Python program: keep a preloaded sanitizer runtime out of it.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    listing = subprocess.run(
        [nm, "-D", "--defined-only", tavrin_puzzles.__file__], capture_output=True, text=True, check=True, env=env
    )
    assert [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()] == ["PyInit_tavrin_puzzles"]


def test_import_after_removal_keeps_class_and_all(monkeypatch: pytest.MonkeyPatch) -> None:
    """After removal from sys.modules a new import exposes the same class and one __all__ entry."""
    monkeypatch.delitem(sys.modules, "tavrin_puzzles")
    again = importlib.import_module("tavrin_puzzles")
    assert again.Planes is Planes
    assert again.__all__ == ["Planes"]


@cpython_only
def test_import_after_removal_returns_same_module(monkeypatch: pytest.MonkeyPatch) -> None:
    """After removal from sys.modules the cached module object itself comes back."""
    monkeypatch.delitem(sys.modules, "tavrin_puzzles")
    assert importlib.import_module("tavrin_puzzles") is tavrin_puzzles


def test_class_identity() -> None:
    """The class is called Planes, claims the builtins module and derives from object only."""
    assert Planes.__name__ == "Planes"
    assert Planes.__qualname__ == "Planes"
    assert Planes.__module__ == "builtins"
    assert Planes.__bases__ == (object,)
    assert Planes.__init__ is object.__init__
    assert repr(Planes()).startswith("<builtins.Planes object at ")


def test_class_signature_and_doc() -> None:
    """The class publishes its constructor signature and a documentation sentence without it."""
    assert Planes.__text_signature__ == CLASS_SIGNATURE
    assert isinstance(Planes.__doc__, str) and Planes.__doc__.strip()
    assert "--" not in Planes.__doc__
    assert CLASS_SIGNATURE not in Planes.__doc__


@pytest.mark.parametrize(
    ("name", "signature"),
    [
        ("run_simulation", "($self)"),
        ("run_simulations", "($self, iterations)"),
        ("generate_seating", "($self)"),
    ],
)
def test_method_docs(name: str, signature: str) -> None:
    """Each method's documentation is its signature only, so __doc__ holds nothing."""
    method = getattr(Planes, name)
    assert callable(method)
    assert method.__doc__ is None
    if not IS_PYPY:
        assert method.__text_signature__ == signature


@cpython_only
@pytest.mark.parametrize(
    ("name", "parameters"),
    [("run_simulation", []), ("run_simulations", ["iterations"]), ("generate_seating", [])],
)
def test_bound_method_signatures(name: str, parameters: list[str]) -> None:
    """inspect sees the parameters of the bound methods."""
    import inspect

    signature = inspect.signature(getattr(Planes(), name))
    assert list(signature.parameters) == parameters


@pytest.mark.parametrize("name", ["passengers", "seats", "cols"])
def test_attributes_are_class_descriptors(name: str) -> None:
    """Each attribute is a getset descriptor of the class with getter and setter."""
    descriptor = Planes.__dict__[name]
    assert type(descriptor).__name__ == "getset_descriptor"
    assert hasattr(descriptor, "__get__") and hasattr(descriptor, "__set__")


def _subclass_by_statement() -> type:
    class Sub(Planes):
        pass

    return Sub


@pytest.mark.parametrize(
    "make_subclass",
    [
        pytest.param(_subclass_by_statement, id="class-statement"),
        pytest.param(lambda: type("Sub", (Planes,), {}), id="type-call"),
    ],
)
def test_not_subclassable(make_subclass) -> None:
    """Defining a subclass of Planes raises TypeError."""
    with pytest.raises(TypeError):
        make_subclass()


@pytest.mark.parametrize("name", ["foo", "Passengers", "__dict__", "run_simulation"])
def test_unknown_attribute_refused(name: str) -> None:
    """Assigning a name other than passengers, seats or cols raises AttributeError."""
    plane = Planes()
    with pytest.raises(AttributeError):
        setattr(plane, name, 1)
    if name == "foo":
        with pytest.raises(AttributeError):
            getattr(plane, name)
        with pytest.raises(AttributeError):
            delattr(plane, name)
    assert (plane.passengers, plane.seats, plane.cols) == (100, 100, list("ABCDEF"))


@pytest.mark.parametrize(
    ("copier", "shown_as"),
    [
        pytest.param(copy.copy, "builtins.Planes", id="copy"),
        pytest.param(copy.deepcopy, "builtins.Planes", id="deepcopy"),
        pytest.param(lambda plane: copy.deepcopy([plane]), "builtins.Planes", id="deepcopy-inside-list"),
        *(
            pytest.param(functools.partial(pickle.dumps, protocol=protocol),
                         "Planes" if protocol < 2 else "builtins.Planes", id=f"pickle-{protocol}")
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1)
        ),
        pytest.param(lambda plane: plane.__reduce__(), "Planes", id="reduce"),
    ],
)
def test_copy_and_pickle_refused(copier, shown_as: str) -> None:
    """Copying or pickling a plane raises TypeError, never a silent default-valued copy."""
    plane = Planes(3, 4, "XY")
    with pytest.raises(TypeError) as excinfo:
        copier(plane)
    assert str(excinfo.value) == f"cannot pickle '{shown_as}' object"
    assert (plane.passengers, plane.seats, plane.cols) == (3, 4, ["X", "Y"])


@cpython_only
def test_no_instance_dict() -> None:
    """Instances carry no __dict__."""
    assert not hasattr(Planes(), "__dict__")


@cpython_only
def test_weak_reference_refused() -> None:
    """Creating a weak reference to a Planes object raises TypeError."""
    with pytest.raises(TypeError):
        weakref.ref(Planes())


def test_panic_exception_not_exported() -> None:
    """PanicException is reachable only through a caught instance, not from the module."""
    assert not hasattr(tavrin_puzzles, "PanicException")
    assert "PanicException" not in dir(tavrin_puzzles)


def test_panic_exception_type() -> None:
    """PanicException is pyo3_runtime.PanicException, documented, derived from BaseException."""
    panic = panic_type()
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__name__ == "PanicException"
    assert panic.__qualname__ == "PanicException"
    assert panic.__mro__ == (panic, BaseException, object)
    assert not issubclass(panic, Exception)
    assert isinstance(panic.__doc__, str) and panic.__doc__.strip()


def test_panic_escapes_except_exception() -> None:
    """An except Exception clause lets PanicException through; except BaseException catches it."""
    caught_by_exception = False
    try:
        try:
            Planes(seats=None)
        except Exception:
            caught_by_exception = True
    except BaseException as exc:
        assert type(exc) is panic_type()
        assert isinstance(exc, BaseException) and not isinstance(exc, Exception)
        assert exc.args == ("Expected seats",)
        assert str(exc) == "Expected seats"
        assert exc.__traceback__ is not None
    else:
        pytest.fail("Planes(seats=None) raised nothing")
    assert not caught_by_exception


def test_panic_type_is_created_once() -> None:
    """Panics from different entries share one PanicException type."""
    plane = Planes(0, 0)
    with pytest.raises(BaseException) as from_method:
        plane.run_simulation()
    with pytest.raises(BaseException) as from_constructor:
        Planes(cols=None)
    assert type(from_method.value) is type(from_constructor.value) is panic_type()
