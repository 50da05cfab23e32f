#!/usr/bin/env python3
# /// script
# dependencies = ["nox>=2025.2.9"]
# ///
"""A contributor's sessions; each runs the test command's own scripts rather than a copy of them.

    nox                      # lint, then the test suite under every Python found here
    nox -s "tests(3.12)"     # the suite under one of them (nox -l lists the sessions)
    nox -s docs              # the documentation site, as the docs stage builds and checks it
    nox -s stages -- cpp     # any stages of scripts/test.sh, here those whose names hold "cpp"

The scripts keep their venvs in the work tree (.venv-NAME), with the tools of pyproject.toml's
dependency groups at the versions of scripts/constraints.txt, and build the module into them;
nox itself makes no venv.
"""

from __future__ import annotations

import re
import shutil
from pathlib import Path

import nox

nox.needs_version = ">=2025.2.9"
# The scripts make and fill the venvs.
nox.options.default_venv_backend = "none"

# The interpreters of the package stage: Debian's python3 and pypy3 (the python stage's), and
# the newer CPythons of scripts/cpython.sh, each found on this machine or built by that script.
NEWER = re.search(r"^CPYTHON_VERSIONS=\(([^)]*)\)", Path("scripts/cpython.sh").read_text(), re.MULTILINE)
INTERPRETERS = ["python3", "pypy3", *(NEWER.group(1).split() if NEWER else [])]

# Sets the venv's name and interpreter as the stages do, or says that there is none.
FIND = """
source scripts/common.sh
source scripts/cpython.sh
case "$1" in
    python3) echo cpython python3 ;;
    pypy3) echo pypy pypy3 ;;
    *) cpython_interpreter "$1" >&2 && echo "$(cpython_venv_name "$1")" "$CPYTHON_INTERPRETER" ;;
esac
"""
# What the python stage does for each of its interpreters: a venv made and filled by
# scripts/common.sh, the module built into it, then pytest over tests/.
SUITE = """
source scripts/common.sh
ensure_venv "$1" "$2"
install_module "$1"
"$ROOT/.venv-$1/bin/python" -m pytest "$ROOT/tests" "${@:3}"
"""


@nox.session
@nox.parametrize("interpreter", INTERPRETERS, ids=INTERPRETERS)
def tests(session: nox.Session, interpreter: str) -> None:
    """The pytest suite under one interpreter, skipped where there is none (arguments go to pytest)."""
    if interpreter in ("python3", "pypy3") and shutil.which(interpreter) is None:
        session.skip(f"no {interpreter} on PATH")
    found = session.run("bash", "-c", FIND, "find", interpreter, external=True, silent=True, success_codes=[0, 1])
    lines = str(found or "").strip().splitlines()
    words = lines[-1].split() if lines else []
    if len(words) != 2:
        session.skip(f"this machine can neither find nor build {interpreter}")
    session.run("bash", "-c", SUITE, "suite", *words, *session.posargs, external=True)


@nox.session
def lint(session: nox.Session) -> None:
    """The pre-commit hooks on every tracked file and sp-repo-review (the lint stage)."""
    session.run("bash", "scripts/test.sh", "lint", external=True)


@nox.session(default=False)
def docs(session: nox.Session) -> None:
    """The documentation site built and checked (the docs stage); it lands in build/docs/html."""
    session.run("bash", "scripts/test.sh", "docs", external=True)


@nox.session(default=False)
def stages(session: nox.Session) -> None:
    """The stages of scripts/test.sh whose names hold one of the arguments (all without any)."""
    session.run("bash", "scripts/test.sh", *session.posargs, external=True)


if __name__ == "__main__":
    nox.main()
