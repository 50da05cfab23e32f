"""The installed distribution: one version everywhere, and the console command."""

from __future__ import annotations

import re
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import tavrin_estimate

ROOT = Path(__file__).resolve().parents[2]
COMMAND = Path(sys.executable).parent / "tavrin-estimate"
TIMEOUT_SECONDS = 120


def run(*arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(arguments, capture_output=True, text=True, timeout=TIMEOUT_SECONDS)


def test_one_version_from_pyproject_to_the_command_line() -> None:
    """pyproject.toml's version is the distribution's, the package's __version__ and what
    --version prints, the same from the console command and from python -m."""
    written = re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.MULTILINE)
    assert written is not None
    assert tavrin_estimate.__version__ == metadata.version("tavrin_puzzles") == written[1]
    shown = [run(str(COMMAND), "--version"), run(sys.executable, "-m", "tavrin_estimate", "--version")]
    assert [done.returncode for done in shown] == [0, 0], [done.stderr for done in shown]
    assert written[1] in shown[0].stdout and shown[0].stdout.split(None, 1)[1:] == shown[1].stdout.split(None, 1)[1:]


def test_the_console_command_is_python_m() -> None:
    """The same run of one seed prints the same result either way (but for its rate), and the
    same usage error."""
    arguments = ("1500", "--seed", "7", "--passengers", "10", "--seats", "10")
    outputs = [run(str(COMMAND), *arguments), run(sys.executable, "-m", "tavrin_estimate", *arguments)]
    assert [done.returncode for done in outputs] == [0, 0], [done.stderr for done in outputs]
    texts = [re.sub(r"\nrate .*", "", done.stdout) for done in outputs]
    assert texts[0] == texts[1] and "boardings  1,500," in texts[0]
    refused = [run(str(COMMAND), "-1"), run(sys.executable, "-m", "tavrin_estimate", "-1")]
    assert [done.returncode for done in refused] == [2, 2] and "not a whole number" in refused[0].stderr
