"""The companion module's tests run in their own stage (scripts/stages/50-companion.sh), which
installs the optional dependencies first. `pytest tests` leaves this folder out, so the suite
that runs under every interpreter does not run these twice; name the folder (or a file in it)
to run them: `pytest tests/companion`."""

from __future__ import annotations

import signal
from pathlib import Path
from typing import Iterator

import pytest

HERE = Path(__file__).resolve().parent


@pytest.fixture(autouse=True)
def python_sigint_handler() -> Iterator[None]:
    """Python's own SIGINT handler for every test, as an interactive run has it: a runner that
    was started with SIGINT ignored (the background job of a shell script, as CI may start it)
    would leave the tests of Ctrl-C nothing to stop."""
    previous = signal.getsignal(signal.SIGINT)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    if previous is not None:
        signal.signal(signal.SIGINT, previous)


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

