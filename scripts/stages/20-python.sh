#!/usr/bin/env bash
# Lane: glibc (these share .venv-cpython and .venv-pypy and the module builds in them)
# The module built for CPython 3.11 and PyPy 3.9 on x86-64, and the pytest suite under each.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

ensure_venv cpython python3
ensure_venv pypy pypy3
install_module cpython
install_module pypy

log "pytest under CPython"
"$ROOT/.venv-cpython/bin/python" -m pytest "$ROOT/tests"
log "pytest under PyPy"
"$ROOT/.venv-pypy/bin/python" -m pytest "$ROOT/tests"
