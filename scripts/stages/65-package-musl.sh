#!/usr/bin/env bash
# Lane: musl (these share the musl interpreters, their venvs, zig and the musl builds)
# The package for musl users: a musllinux wheel for x86-64 and one for i686, built with the
# musl interpreters of scripts/musl.sh, repaired and tagged by auditwheel under them, checked
# for their tags and for what they need from the system, installed with pip into a fresh venv
# of each interpreter and tried there with the README's examples, as 60-package does for glibc.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
source "$ROOT/scripts/musl.sh"

OUT="$ROOT/build/scripts/package-musl"
ensure_apt_packages "${MUSL_APT_PACKAGES[@]}"
musl_tools

mkdir -p "$OUT/raw" "$OUT/wheelhouse" "$OUT/stamps"
expected=() rebuilt=()
for arch in "${MUSL_ARCHES[@]}"; do
    musl_venv "$arch"
    platform="musllinux_1_2_$(musl_machine "$arch")"
    expected+=("cp311-cp311-$platform")
    key="$(musl_inputs_hash "$arch")"
    if [ -n "$key" ] && [ "$(cat "$OUT/stamps/$arch" 2>/dev/null)" = "$key" ] &&
        compgen -G "$OUT/wheelhouse/*-$platform.whl" >/dev/null; then
        log "the $arch musl wheel is not rebuilt: its sources, interpreter and tools are as when it was built (hash $key)"
        continue
    fi
    rebuilt+=("$arch")
    rm -rf "$OUT/stamps/$arch" "$OUT/raw/$arch" "$OUT"/wheelhouse/*-"$platform".whl
    log "building the $arch musl wheel"
    musl_build_module "$arch" wheel --no-deps -w "$OUT/raw/$arch"
    log "repairing and tagging the $arch musl wheel with auditwheel, under the musl interpreter"
    musl_run "$arch" env PATH="$(musl_venv_of "$arch")/bin:$ROOT/build/musl/bin:$PATH" auditwheel repair \
        -w "$OUT/wheelhouse" "$OUT/raw/$arch"/*.whl 2>&1 |
        { grep -E "New filename tags|Fixed-up wheel|rror" || true; }
    [ -z "$key" ] || printf '%s\n' "$key" >"$OUT/stamps/$arch"
done

log "checking the musl wheels' tags and what they need from the system"
TAVRIN_WHEELHOUSE="$OUT/wheelhouse" TAVRIN_WHEEL_TAGS="${expected[*]}" \
    "$(musl_venv_of x86_64)/bin/python" -m pytest --noconftest "$ROOT/tests/package/wheel_checks.py"

# A user's first minutes: a new venv of the interpreter, pip install of the wheel, then the
# README's examples by doctest. The venv of an unchanged wheel is kept from the run that built it.
for arch in "${MUSL_ARCHES[@]}"; do
    musl_python "$arch"
    fresh="$OUT/fresh-$arch"
    if [[ " ${rebuilt[*]} " == *" $arch "* ]] || ! venv_whole "$fresh" ||
        [ "$(sed -n 's/^home = //p' "$fresh/pyvenv.cfg")" != "$(dirname "$MUSL_PYTHON")" ]; then
        rm -rf "$fresh"
        log "pip install of the $(musl_machine "$arch") musllinux wheel into a fresh venv of CPython on $arch musl"
        musl_run "$arch" "$MUSL_PYTHON" -m venv "$fresh"
        musl_run "$arch" "$fresh/bin/python" -m pip install --no-index --no-deps \
            "$OUT"/wheelhouse/*-musllinux_1_2_"$(musl_machine "$arch")".whl 2>&1 | { grep -v "^WARNING: " || true; }
        touch "$fresh/.venv-whole"
    else
        log "the README's examples in the venv where the last run installed the unchanged $arch musl wheel"
    fi
    check_private_symbols musl_run "$arch" "$fresh/bin/python"
    if ! (cd "$OUT" && musl_run "$arch" "$fresh/bin/python" "$ROOT/tests/package/readme_examples.py" "$ROOT/README.md" \
        2>"$OUT/stderr-$arch.txt"); then
        cat "$OUT/stderr-$arch.txt"
        exit 1
    fi
done
