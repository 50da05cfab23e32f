"""Helpers shared by the Python test suite of tavrin_puzzles (CPython and PyPy)."""

from __future__ import annotations

import functools
import gc
import math
import os
import resource
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

# A child interpreter gets this long before it counts as hung; it is a guard, not a measure.
CHILD_TIMEOUT_SECONDS = 120

# Statistical checks accept deviations up to this many standard deviations.
SIGMA_BOUND = 5.0


@functools.lru_cache(maxsize=None)
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


def within_sigma(successes: int, trials: int, probability: float) -> bool:
    """Tell whether a binomial count lies within SIGMA_BOUND standard deviations of its mean."""
    sd = math.sqrt(trials * probability * (1.0 - probability))
    return abs(successes - trials * probability) <= SIGMA_BOUND * sd


def capped_rlimit(limit: int) -> int:
    """Return `limit` as this interpreter can pass it to resource.setrlimit.

    32-bit PyPy masks a limit with its own RLIM_INFINITY (2**32 - 1), so 2**33 would become 0;
    there anything above RLIM_INFINITY means "unlimited" anyway. On interpreters where
    RLIM_INFINITY is -1 every non-negative limit passes unchanged.
    """
    infinity = resource.RLIM_INFINITY
    return min(limit, infinity) if infinity > 0 else limit


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


class Index:
    """An object that is no int but has an integer value through __index__."""

    def __init__(self, value: object) -> None:
        self.value = value

    def __index__(self) -> object:
        return self.value
