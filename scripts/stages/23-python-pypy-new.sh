#!/usr/bin/env bash
# The module built for Debian's newer PyPy 3.11 (trixie's 7.3.19 and unstable's 8.0.x), run
# on each suite's own loader and C library from a private root in the cache (see
# scripts/pypy-new.sh), and the whole pytest suite under each, tests/companion included.
# TAVRIN_PYPY_SUITES names the suites to take (default: unstable, the newest; "trixie unstable"
# for both).
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
source "$ROOT/scripts/pypy-new.sh"

read -r -a suites <<<"${TAVRIN_PYPY_SUITES:-unstable}"

ensure_apt_packages g++ binutils
for suite in "${suites[@]}"; do
    # tqdm is the one optional dependency of the companion's tests that installs here: Dask's
    # psutil, scipy and statsmodels have no wheel for PyPy 3.11, and mpi4py is compiled for
    # CPython only (stage 50); the tests that need them are skipped.
    pypy_new_venv "$suite" tqdm
    install_module "pypy-$suite"
    pypy_new_check_module "$suite"
done

for suite in "${suites[@]}"; do
    python="$ROOT/.venv-pypy-$suite/bin/python"
    version="$("$python" -c 'import sys; print("%d.%d.%d" % sys.pypy_version_info[:3])')"
    log "pytest under $suite's PyPy $version"
    "$python" -c 'import sys, platform; print(sys.version.replace("\n", " "), platform.libc_ver())'
    "$python" -m pytest "$ROOT/tests"
    log "companion tests under $suite's PyPy $version"
    TAVRIN_STRESS_ROUNDS="$STRESS_ROUNDS_BEYOND" "$python" -m pytest "$ROOT/tests/companion"
done
