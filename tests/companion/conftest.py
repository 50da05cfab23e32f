"""The companion module's tests run in their own stage (scripts/stages/50-companion.sh), which
installs the optional dependencies first. `pytest tests` leaves this folder out, so the suite
that runs under every interpreter does not run these twice; name the folder (or a file in it)
to run them: `pytest tests/companion`."""

from __future__ import annotations

from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent


def _named_on_command_line(config: pytest.Config) -> bool:
    for arg in config.args:
        target = Path(arg.split("::", 1)[0]).resolve()
        if target == HERE or HERE in target.parents:
            return True
    return False


def pytest_ignore_collect(collection_path: Path, config: pytest.Config) -> bool | None:
    if collection_path.name.startswith("test_") and not _named_on_command_line(config):
        return True
    return None

