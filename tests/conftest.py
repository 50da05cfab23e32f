"""Helpers shared by the Python test suite of tavrin_puzzles (CPython and PyPy)."""

from __future__ import annotations

import functools
import gc
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

from tavrin_puzzles import Planes

IS_PYPY = sys.implementation.name == "pypy"

cpython_only = pytest.mark.skipif(
    IS_PYPY, reason="PyPy's cpyext cannot offer this; the module has no way to change it"
)
pypy_only = pytest.mark.skipif(not IS_PYPY, reason="exercises the path of the binding that only PyPy needs")

# AddressSanitizer reserves terabytes of address space for its shadow memory at start-up.
UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
caps_address_space = pytest.mark.skipif(
    UNDER_ADDRESS_SANITIZER, reason="AddressSanitizer's shadow memory needs more address space than any cap leaves"
)
ends_threads_at_exit = pytest.mark.skipif(
    UNDER_ADDRESS_SANITIZER,
    reason="AddressSanitizer cannot follow the forced unwind of a thread that the interpreter ends at exit "
    "(it trips on the stack poisoning of the frames skipped), and such a thread's interpreter state is never freed",
)

# A child interpreter gets this long before it counts as hung; it is a guard, not a measure.
CHILD_TIMEOUT_SECONDS = 120

U64_MAX = 2**64 - 1
DEFAULT_COLS = list("ABCDEF")


@functools.cache
def panic_type() -> type:
    """Return the PanicException type, which the module only shows through a raised instance."""
    try:
        Planes(passengers=None)
    except BaseException as exc:  # PanicException derives from BaseException only
        if type(exc).__name__ != "PanicException":
            raise
        return type(exc)
    raise AssertionError("Planes(passengers=None) raised nothing")


def gc_collect() -> None:
    """Run the collector until deallocations are done; PyPy frees C objects only here."""
    for _ in range(3):
        gc.collect()


def state(plane: Planes) -> tuple[int, int, list[str]]:
    """The three attributes of a plane, for comparing a whole record at once."""
    return plane.passengers, plane.seats, plane.cols


def configured(plane: Planes, **changes: object) -> Planes:
    """Assign `changes` to the plane's attributes in the order given and return the plane.

    The setters check nothing against each other, so this reaches records that the constructor
    refuses (more passengers than seats)."""
    for name, value in changes.items():
        setattr(plane, name, value)
    return plane


def is_fraction_of(value: float, iterations: int) -> bool:
    """Tell whether value is k / iterations, as computed in double precision, for a whole k."""
    k = round(value * iterations)
    return 0 <= k <= iterations and k / iterations == value


def run_child(code: str, env_update: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter of the same kind, capturing its output as text."""
    env = dict(os.environ)
    if env_update:
        env.update(env_update)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=CHILD_TIMEOUT_SECONDS,
        check=False,
    )


class Count(int):
    """An int subclass."""


def lying_str(length: int) -> type:
    """A str subclass whose __len__ claims `length`."""
    return type("Lying", (str,), {"__len__": lambda self: length})


class Index:
    """An object that is no int but has an integer value through __index__."""

    def __init__(self, value: object) -> None:
        self.value = value

    def __index__(self) -> object:
        return self.value


def set_capped_limit(name: str, value: int) -> None:
    """Set the resource limit `name` (soft and hard) to `value` bytes.

    The value is capped at RLIM_INFINITY where that is positive: 32-bit PyPy masks larger values
    with it, so 2**33 would become 0. On 64-bit interpreters RLIM_INFINITY is -1.
    """
    import resource

    if resource.RLIM_INFINITY > 0:
        value = min(value, resource.RLIM_INFINITY)
    resource.setrlimit(getattr(resource, name), (value, value))


def mapped_bytes() -> int:
    """Return the size of the calling process's address space in use."""
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


# Source of the helpers above, for child interpreters that set their own limits.
LIMIT_HELPERS = "import os\n" + inspect.getsource(set_capped_limit) + inspect.getsource(mapped_bytes)
