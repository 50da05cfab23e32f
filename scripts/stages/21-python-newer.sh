#!/usr/bin/env bash
# Lane: newer (the package stage uses these venvs too, under their locks)
# The module built for the other CPythons of scripts/cpython.sh (3.10, 3.12 to 3.15 and the
# free-threaded 3.13t to 3.15t, those this machine has or can build), and the pytest suite and
# the companion's tests under each. The companion's optional dependencies are installed where
# they have wheels for the interpreter; the tests that need the others skip. On a free-threaded
# build the suite runs with the GIL off, as importing the modules leaves it: a module that
# failed to declare that it runs without the GIL would turn it back on, which the stage checks
# first.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
source "$ROOT/scripts/cpython.sh"

EXTRAS=("dask[distributed]" tqdm matplotlib pillow numpy scipy statsmodels)

# ensure_extras NAME: installs each of EXTRAS that has a wheel for the venv's interpreter, one
# by one, so that one without a wheel leaves the others installed; the marker holds the list
# and the pinned versions' hash, so a change installs again on the next run. scipy and
# statsmodels are the interval tests' references, whose beta quantiles are as exact as those
# tests ask from scipy 1.17 and statsmodels 0.15 on, which need Python 3.11: under 3.10 they
# are left out (with the releases for it a Jeffreys end came out 2e-13 off) and those tests
# skip.
ensure_extras() {
    local venv="$ROOT/.venv-$1" package missing=() extras=() older=0
    "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' || older=1
    for package in "${EXTRAS[@]}"; do
        ((older)) && [[ "$package" == scipy || "$package" == statsmodels ]] || extras+=("$package")
    done
    [ "$(cat "$venv/.companion-extras" 2>/dev/null)" != "${extras[*]} $(constraints_hash)" ] || return 0
    log "installing the companion's optional dependencies that have wheels into $venv"
    for package in "${extras[@]}"; do
        pip_in "$venv/bin/python" install -q --only-binary :all: "$package" >/dev/null || missing+=("$package")
    done
    ((${#missing[@]} == 0)) || log "no wheel of ${missing[*]} (or of what they need) for $venv: the tests that need them skip"
    printf '%s' "${extras[*]} $(constraints_hash)" >"$venv/.companion-extras"
}

tested=() unavailable=()
for version in "${CPYTHON_VERSIONS[@]}"; do
    if ! cpython_find "$version"; then
        unavailable+=("$version")
        continue
    fi
    name="$(cpython_venv_name "$version")"
    # A venv made by another interpreter (one rebuilt, or pyenv's newer release) is made anew.
    if [ "$(sed -n 's/^home = //p' "$ROOT/.venv-$name/pyvenv.cfg" 2>/dev/null)" != "$(dirname "$CPYTHON_INTERPRETER")" ]; then
        with_lock "venv-$name" rm -rf "$ROOT/.venv-$name"
    fi
    ensure_venv "$name" "$CPYTHON_INTERPRETER"
    with_lock "venv-$name" ensure_extras "$name"
    install_module "$name"
    tested+=("$version")
done

# The check of install_module cannot pass by mistake: a module that imports _Py_IsFinalizing,
# which CPython 3.13 no longer exports (the name the binding used before 3.13's public one), is
# refused there, and named.
if [[ " ${tested[*]} " == *" 3.13 "* ]]; then
    log "the private-symbol check refuses a module importing _Py_IsFinalizing under CPython 3.13"
    fake="$(mktemp -d)"
    mkdir "$fake/tavrin_estimate"
    : >"$fake/tavrin_estimate/__init__.py"
    printf 'extern int _Py_IsFinalizing(void);\nint finalizing(void) { return _Py_IsFinalizing(); }\n' |
        gcc -shared -fPIC -x c - -o "$fake/tavrin_puzzles.cpython-313-x86_64-linux-gnu.so"
    printf 'int nothing(void) { return 0; }\n' | gcc -shared -fPIC -x c - -o "$fake/tavrin_estimate/_kernel.cpython-313-x86_64-linux-gnu.so"
    if refusal="$(export PYTHONPATH="$fake" && check_private_symbols "$ROOT/.venv-cpython313/bin/python" 2>&1)" ||
        [[ "$refusal" != *"imports _Py_IsFinalizing"* ]]; then
        printf '%s\n' "$refusal"
        fail "the private-symbol check accepted a module importing _Py_IsFinalizing under CPython 3.13"
    fi
    printf '%s\n' "$refusal"
    rm -rf "$fake"
fi

# Every interpreter's suites run, whatever an earlier one did; the failures are named at the end.
failures=()
for version in "${tested[@]}"; do
    python="$ROOT/.venv-$(cpython_venv_name "$version")/bin/python"
    if [[ "$version" == *t ]]; then
        log "CPython $version: the GIL stays off after importing tavrin_puzzles and tavrin_estimate._kernel"
        env -u PYTHON_GIL "$python" -W error::RuntimeWarning -c 'import sys, tavrin_puzzles, tavrin_estimate._kernel
assert not sys._is_gil_enabled(), "importing the modules turned the GIL on"' || failures+=("the GIL under $version")
    fi
    log "pytest under CPython $version"
    "$python" -c 'import sys, sysconfig; print(sys.version.split()[0], "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the GIL", sys.executable)'
    env -u PYTHON_GIL "$python" -m pytest "$ROOT/tests" || failures+=("pytest under $version")
    log "companion tests under CPython $version"
    env -u PYTHON_GIL TAVRIN_STRESS_ROUNDS="$STRESS_ROUNDS_BEYOND" "$python" -m pytest "$ROOT/tests/companion" ||
        failures+=("companion tests under $version")
done
((${#failures[@]} == 0)) || fail "$(IFS=,; printf '%s' "${failures[*]}" | sed 's/,/, /g') failed"

if ((${#unavailable[@]})); then
    STAGE_NOTE="not tested: CPython ${unavailable[*]}, which this machine can neither find nor build"
fi
