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
from conftest import DEFAULT_COLS, IS_PYPY, cpython_only, panic_type, state
from tavrin_puzzles import Planes

CLASS_SIGNATURE = "(passengers=100, seats=100, cols=...)"


def test_module_contents() -> None:
    """The module is named tavrin_puzzles, documented, and exports Planes and nothing else."""
    assert tavrin_puzzles.__name__ == "tavrin_puzzles"
    assert isinstance(tavrin_puzzles.__doc__, str) and tavrin_puzzles.__doc__.strip()
    assert type(tavrin_puzzles.__all__) is list
    assert tavrin_puzzles.__all__ == ["Planes"]
    assert tavrin_puzzles.Planes is Planes
    public = sorted(name for name in vars(tavrin_puzzles) if not name.startswith("_"))
    assert public == ["Planes"]  # PanicException, too, is reachable only through a caught instance
    assert not hasattr(tavrin_puzzles, "PanicException")


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


FREE_THREADED = bool(__import__("sysconfig").get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded interpreter can run without the GIL")
def test_imports_leave_the_gil_off() -> None:
    """Both native modules declare that they run without the GIL: importing them on a
    free-threaded interpreter neither turns it back on nor warns."""
    from conftest import run_child

    child = run_child(
        "import sys, warnings\n"
        "warnings.simplefilter('error')\n"
        "import tavrin_puzzles, tavrin_estimate._kernel\n"
        "print(sys._is_gil_enabled())\n",
        env_update={"PYTHON_GIL": ""},
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "False"


def test_import_after_removal(monkeypatch: pytest.MonkeyPatch) -> None:
    """After removal from sys.modules a new import exposes the same class and one __all__ entry;
    CPython even hands back the cached module object itself."""
    monkeypatch.delitem(sys.modules, "tavrin_puzzles")
    again = importlib.import_module("tavrin_puzzles")
    assert again.Planes is Planes
    assert again.__all__ == ["Planes"]
    if not IS_PYPY:
        assert again is tavrin_puzzles


def test_class_identity() -> None:
    """The class is called Planes, claims the builtins module, derives from object only, and
    publishes its constructor signature and a documentation sentence without it."""
    assert (Planes.__name__, Planes.__qualname__, Planes.__module__) == ("Planes", "Planes", "builtins")
    assert Planes.__bases__ == (object,)
    assert repr(Planes()).startswith("<builtins.Planes object at ")
    # PyPy 7.3 for Python 3.11 cuts the signature from the doc of a class made by
    # PyType_FromSpec but reports __text_signature__ None; PyPy 3.9 and 8 keep it.
    drops = IS_PYPY and sys.version_info >= (3, 11) and sys.pypy_version_info < (8,)
    assert Planes.__text_signature__ == (None if drops else CLASS_SIGNATURE)
    assert isinstance(Planes.__doc__, str) and Planes.__doc__.strip()
    assert "--" not in Planes.__doc__ and CLASS_SIGNATURE not in Planes.__doc__


@pytest.mark.parametrize(
    ("name", "signature", "parameters"),
    [
        ("run_simulation", "($self)", []),
        ("run_simulations", "($self, iterations)", ["iterations"]),
        ("generate_seating", "($self)", []),
    ],
)
def test_method_signatures(name: str, signature: str, parameters: list[str]) -> None:
    """Each method's documentation is its signature only, so __doc__ holds nothing; on CPython
    inspect sees the parameters of the bound method."""
    assert getattr(Planes, name).__doc__ is None
    if not IS_PYPY:
        import inspect

        assert getattr(Planes, name).__text_signature__ == signature
        assert list(inspect.signature(getattr(Planes(), name)).parameters) == parameters


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
    assert state(plane) == (100, 100, DEFAULT_COLS)


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
    assert state(plane) == (3, 4, ["X", "Y"])


@cpython_only
def test_no_instance_dict_nor_weak_references() -> None:
    """Instances carry no __dict__, and a weak reference to one raises TypeError."""
    assert not hasattr(Planes(), "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(Planes())


def test_panic_exception_type() -> None:
    """PanicException is pyo3_runtime.PanicException, documented, derived from BaseException
    alone, so that an except Exception clause lets it through; it carries the message."""
    panic = panic_type()
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__name__ == "PanicException"
    assert panic.__qualname__ == "PanicException"
    assert panic.__mro__ == (panic, BaseException, object)
    assert isinstance(panic.__doc__, str) and panic.__doc__.strip()
    with pytest.raises(BaseException) as excinfo:
        try:
            Planes(seats=None)
        except Exception:  # lets PanicException through
            pytest.fail("except Exception caught PanicException")
    assert type(excinfo.value) is panic
    assert excinfo.value.args == ("Expected seats",) and str(excinfo.value) == "Expected seats"
    assert excinfo.value.__traceback__ is not None
