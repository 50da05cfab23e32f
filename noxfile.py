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

import shutil

import nox

nox.needs_version = ">=2025.2.9"
# The scripts make and fill the venvs.
nox.options.default_venv_backend = "none"

# The interpreters on PATH that the suite runs under, and the venv each gets: those of the
# python stage (CPython 3.11 and PyPy) and of the package stage for the others.
CANDIDATES = {
    "3.10": ("python3.10", "cpython310"),
    "3.11": ("python3.11", "cpython"),
    "3.12": ("python3.12", "cpython312"),
    "3.13": ("python3.13", "cpython313"),
    "3.13t": ("python3.13t", "cpython313t"),
    "3.14": ("python3.14", "cpython314"),
    "3.15": ("python3.15", "cpython315"),
    "pypy": ("pypy3", "pypy"),
}
FOUND = {name: (executable, venv) for name, (executable, venv) in CANDIDATES.items() if shutil.which(executable)}

# What the python stage does for each of its interpreters: a venv made and filled by
# scripts/common.sh, the module built into it, then pytest over tests/.
SUITE = """
source scripts/common.sh
ensure_venv "$1" "$2"
install_module "$1"
"$ROOT/.venv-$1/bin/python" -m pytest "$ROOT/tests" "${@:3}"
"""


@nox.session
@nox.parametrize("interpreter", list(FOUND), ids=list(FOUND))
def tests(session: nox.Session, interpreter: str) -> None:
    """The pytest suite under one Python found on PATH (extra arguments go to pytest)."""
    executable, venv = FOUND[interpreter]
    session.run("bash", "-c", SUITE, "suite", venv, shutil.which(executable) or executable, *session.posargs,
                external=True)


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
