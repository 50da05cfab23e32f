"""Helpers shared by the companion module's tests."""

from __future__ import annotations

import importlib.util

import pytest

# Statistical checks in these tests take their intervals at this confidence, so that one of
# them fails by chance with probability at most 1 - NEAR_CERTAIN.
NEAR_CERTAIN = 1 - 1e-9


def needs(module: str) -> pytest.MarkDecorator:
    """Skip unless the optional dependency `module` is installed."""
    missing = importlib.util.find_spec(module) is None
    return pytest.mark.skipif(missing, reason=f"needs the optional dependency {module}, which is not installed")
