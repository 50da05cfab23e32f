"""Helpers shared by the companion module's tests."""

from __future__ import annotations

import importlib

import pytest

# Statistical checks in these tests take their intervals at this confidence, so that one of
# them fails by chance with probability at most 1 - NEAR_CERTAIN.
NEAR_CERTAIN = 1 - 1e-9


def needs(module: str) -> pytest.MarkDecorator:
    """Skip unless the optional dependency `module` is installed and imports here (under PyPy
    3.9, dask.distributed installs but fails to import)."""
    try:
        importlib.import_module(module)
    except ImportError as exc:
        return pytest.mark.skip(reason=f"the optional dependency {module} cannot be imported: {exc}")
    return pytest.mark.skipif(False, reason="")
