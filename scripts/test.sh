#!/usr/bin/env bash
# The whole test suite from nothing: Debian packages, the C++ unit tests of the model as a
# 64-bit and as a 32-bit program, then the module built for CPython and for PyPy and the
# pytest suite run under each.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_apt_packages

for arch in 64 32; do
    build="$ROOT/build/cpp$arch"
    flags=""
    [ "$arch" = 32 ] && flags="-m32"
    log "C++ unit tests of the model, ${arch}-bit"
    cmake -S "$ROOT" -B "$build" -G Ninja -DTAVRIN_BUILD_EXTENSION=OFF -DTAVRIN_BUILD_TESTS=ON \
        -DTAVRIN_WERROR=ON -DCMAKE_CXX_FLAGS="$flags" -Wno-deprecated >/dev/null
    cmake --build "$build" -j2
    ctest --test-dir "$build" --output-on-failure -j2
done

ensure_venv cpython python3
ensure_venv pypy pypy3
install_module cpython
install_module pypy

log "pytest under CPython"
"$ROOT/.venv-cpython/bin/python" -m pytest "$ROOT/tests"
log "pytest under PyPy"
"$ROOT/.venv-pypy/bin/python" -m pytest "$ROOT/tests"
