#!/usr/bin/env bash
# Lane: glibc (these share .venv-cpython and .venv-pypy and the module builds in them)
# The companion module tavrin_estimate: its optional dependencies and test tools in the x86-64
# venvs, mypy (strict, as pyproject.toml sets it), the convergence picture drawn under PyPy (the
# docs stage draws both pictures again from their seeds under CPython and compares them byte
# for byte with the committed ones), and its tests (tests/companion, which the python stage
# leaves out) under CPython and PyPy.
# dask.distributed installs under PyPy 3.9 but cannot be imported there (psutil's extension
# needs PyErr_FormatV, which PyPy's C API lacks), so the Dask tests run under CPython only; so
# do the comparisons with scipy and statsmodels, the schema checks of the result files
# (jsonschema) and the MPI test (mpi4py compiled against Debian's MPICH, run with MPICH's own
# mpiexec).
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

# Their versions are pinned in scripts/constraints.txt: the picture's bytes depend on
# matplotlib and on Pillow (its PNG writer and zlib), the interval tests on scipy's beta
# quantiles and on mpmath (the confidence sequence's definition in 80 digits).
CPYTHON_EXTRAS=("dask[distributed]" tqdm matplotlib pillow numpy scipy statsmodels mpi4py mypy jsonschema mpmath)
# Under CPython each of these must import, or the stage fails rather than skip their tests.
CPYTHON_IMPORTS="distributed, tqdm, matplotlib, scipy, statsmodels, mpi4py.futures, jsonschema, mpmath"
# Wheels only: a dependency without a PyPy wheel is skipped by its tests rather than compiled.
PYPY_EXTRAS=(tqdm matplotlib pillow numpy mpmath)

# ensure_extras NAME PIP-OPTIONS... -- PACKAGE...: installs the packages once; the marker holds
# the list they were installed for and the pinned versions' hash, so a package added or a
# version changed later is installed on the next run.
ensure_extras() {
    local venv="$ROOT/.venv-$1" options=() packages=()
    shift
    while (($#)) && [ "$1" != "--" ]; do options+=("$1"); shift; done
    shift
    packages=("$@")
    if [ "$(cat "$venv/.companion-extras" 2>/dev/null)" != "${packages[*]} $(constraints_hash)" ]; then
        log "installing the companion's optional dependencies into $venv: ${packages[*]}"
        if pip_in "$venv/bin/python" install -q "${options[@]}" "${packages[@]}"; then
            printf '%s' "${packages[*]} $(constraints_hash)" >"$venv/.companion-extras"
        else
            log "not all of ${packages[*]} install into $venv; the tests that need them are skipped"
        fi
    fi
}

ensure_apt_packages mpich libmpich-dev
ensure_venv cpython python3
ensure_venv pypy pypy3
# mpi4py from its source, compiled with MPICH's compiler wrapper (whatever `mpicc` names).
MPICC=mpicc.mpich ensure_extras cpython --no-binary mpi4py -- "${CPYTHON_EXTRAS[@]}"
"$ROOT/.venv-cpython/bin/python" -c "import $CPYTHON_IMPORTS"
ensure_extras pypy --only-binary :all: -- "${PYPY_EXTRAS[@]}"
install_module cpython
install_module pypy

log "mypy over the companion and its scripts, with pyproject.toml's settings (strict) and files"
(cd "$ROOT" && "$ROOT/.venv-cpython/bin/python" -m mypy --config-file pyproject.toml --cache-dir build/mypy)

picture_dir="$(mktemp -d)"
trap 'rm -rf "$picture_dir"' EXIT
if "$ROOT/.venv-pypy/bin/python" -c "import matplotlib" 2>/dev/null; then
    log "the convergence picture under PyPy, a short run into a temporary folder"
    "$ROOT/.venv-pypy/bin/python" "$ROOT/docs/convergence.py" --iterations 20000 --output "$picture_dir/pypy.png"
    [ -s "$picture_dir/pypy.png" ]
else
    log "no matplotlib under PyPy: the pictures are drawn under CPython only, by the docs stage"
fi

log "companion tests under CPython"
"$ROOT/.venv-cpython/bin/python" -m pytest "$ROOT/tests/companion"
log "companion tests under PyPy"
"$ROOT/.venv-pypy/bin/python" -m pytest "$ROOT/tests/companion"
