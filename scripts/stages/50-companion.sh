#!/usr/bin/env bash
# The companion module tavrin_estimate: its optional dependencies in the x86-64 venvs, mypy
# --strict, the convergence picture drawn into a temporary folder as a smoke test, and its
# tests (tests/companion, which the python stage leaves out) under CPython and PyPy.
# dask.distributed installs under PyPy 3.9 but cannot be imported there (psutil's extension
# needs PyErr_FormatV, which PyPy's C API lacks), so the Dask tests run under CPython only.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

CPYTHON_EXTRAS=("dask[distributed]" tqdm matplotlib mypy)
# Wheels only: a dependency without a PyPy wheel is skipped by its tests rather than compiled.
PYPY_EXTRAS=(tqdm matplotlib)

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

ensure_venv cpython python3
ensure_venv pypy pypy3
ensure_extras cpython -- "${CPYTHON_EXTRAS[@]}"
ensure_extras pypy --only-binary :all: -- "${PYPY_EXTRAS[@]}"
install_module cpython
install_module pypy

log "mypy --strict over the companion and its scripts"
"$ROOT/.venv-cpython/bin/python" -m mypy --strict --cache-dir "$ROOT/build/mypy" \
    "$ROOT/python/tavrin_estimate" "$ROOT/docs/convergence.py" "$ROOT/benchmarks/bench_estimate.py"

picture_dir="$(mktemp -d)"
trap 'rm -rf "$picture_dir"' EXIT
for name in cpython pypy; do
    python="$ROOT/.venv-$name/bin/python"
    if "$python" -c "import matplotlib" 2>/dev/null; then
        log "the convergence picture under $name, into a temporary folder"
        "$python" "$ROOT/docs/convergence.py" --iterations 20000 --output "$picture_dir/$name.png"
        [ -s "$picture_dir/$name.png" ]
    else
        log "no matplotlib under $name: the convergence picture is drawn under CPython only"
    fi
done

log "companion tests under CPython"
"$ROOT/.venv-cpython/bin/python" -m pytest "$ROOT/tests/companion"
log "companion tests under PyPy"
"$ROOT/.venv-pypy/bin/python" -m pytest "$ROOT/tests/companion"
