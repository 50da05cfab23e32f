"""Helpers shared by the companion module's tests."""

from __future__ import annotations

import importlib
import os
import platform
import random
import signal
import subprocess
import sys
import warnings

import pytest

from tavrin_estimate import _estimate, _executors
from tavrin_estimate._progress import Progress

# Statistical checks in these tests take their intervals at this confidence, so that one of
# them fails by chance with a probability of about 1 - NEAR_CERTAIN (the Wilson interval's
# coverage is close to, not exactly, its confidence).
NEAR_CERTAIN = 1 - 1e-9


def needs(module: str) -> pytest.MarkDecorator:
    """Skip unless the optional dependency `module` is installed and imports here (under PyPy
    3.9, dask.distributed installs but fails to import). What the import warns of is the
    dependency's own affair, not a failure of the test. A module that would turn the GIL of a
    free-threaded Python back on, for the rest of the suite, is not imported: its test skips."""
    gil_was_off = not getattr(sys, "_is_gil_enabled", lambda: True)()
    if gil_was_off and module not in sys.modules:
        probe = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", f"import {module}"],
                               capture_output=True, text=True, check=False)
        if probe.returncode:
            lines = probe.stderr.strip().splitlines() or ["no message"]
            return pytest.mark.skip(reason=f"the optional dependency {module} cannot be imported here: {lines[-1]}")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            importlib.import_module(module)
    except ImportError as exc:
        return pytest.mark.skip(reason=f"the optional dependency {module} cannot be imported: {exc}")
    return pytest.mark.skipif(False, reason="")


class InterruptAfter(Progress):
    """Sends SIGINT to this process once `updates` progress updates have arrived, which is
    while a run is certainly in progress."""

    def __init__(self, updates: int) -> None:
        self.left = updates
        self.seen = 0

    def update(self, successes: int, iterations: int) -> None:
        self.seen = iterations
        self.left -= 1
        if self.left == 0:
            os.kill(os.getpid(), signal.SIGINT)


def interrupting(monkeypatch: pytest.MonkeyPatch, updates: int) -> InterruptAfter:
    """Make estimate() report its progress to an InterruptAfter, which this returns."""
    reporter = InterruptAfter(updates)
    monkeypatch.setattr(_estimate, "make_progress", lambda *args, **kwargs: reporter)
    return reporter


def one_block_calls(monkeypatch: pytest.MonkeyPatch) -> None:
    """Count local runs in calls of one block, so that a run is still going at every
    interruption however many processors and vector lanes this machine has (a call otherwise
    holds a block for each lane of each processor: 64 blocks with AVX-512 on two processors)."""
    monkeypatch.setattr(_executors, "CALL_SECONDS", 0.0)
    monkeypatch.setattr(_executors.Backend, "blocks_at_once", lambda self, seats: 1)


def random_moments(seed: int, rounds: int) -> tuple[random.Random, range]:
    """The generator and the rounds of a test that stops child processes at random moments.
    Each interpreter draws moments of its own (its name and version join the seed), so that the
    interpreters of one whole run try different ones; TAVRIN_STRESS_ROUNDS, when set, replaces
    `rounds` (the test command asks for fewer under the interpreters beyond the first two)."""
    wanted = os.environ.get("TAVRIN_STRESS_ROUNDS")
    if wanted is not None:
        rounds = int(wanted)
    # sys.version names a free-threaded build as such.
    return random.Random(f"{seed} {platform.python_implementation()} {sys.version}"), range(rounds)
