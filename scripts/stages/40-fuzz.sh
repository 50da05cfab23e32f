#!/usr/bin/env bash
# Lane: glibc (these share .venv-cpython and .venv-pypy and the module builds in them)
# Property-based tests of the entries that take arguments (tests/test_fuzz.py) with the
# "small" profile under CPython and PyPy; every pytest run has the "tiny" one. By hand:
# TAVRIN_PUZZLES_FUZZ=large .venv-pypy/bin/python -m pytest tests/test_fuzz.py
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

ensure_venv cpython python3
ensure_venv pypy pypy3
install_module cpython
install_module pypy

for name in cpython pypy; do
    log "fuzzing under $name"
    TAVRIN_PUZZLES_FUZZ=small "$ROOT/.venv-$name/bin/python" -m pytest "$ROOT/tests/test_fuzz.py" \
        --hypothesis-show-statistics
done
