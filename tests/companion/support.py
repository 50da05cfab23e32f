"""Helpers shared by the companion module's tests."""

from __future__ import annotations

import importlib
import os
import signal

import pytest

from tavrin_estimate import _estimate
from tavrin_estimate._progress import Progress

# Statistical checks in these tests take their intervals at this confidence, so that one of
# them fails by chance with a probability of about 1 - NEAR_CERTAIN (the Wilson interval's
# coverage is close to, not exactly, its confidence).
NEAR_CERTAIN = 1 - 1e-9


def needs(module: str) -> pytest.MarkDecorator:
    """Skip unless the optional dependency `module` is installed and imports here (under PyPy
    3.9, dask.distributed installs but fails to import)."""
    try:
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
