#!/usr/bin/env bash
# The C++ unit tests of the model, as a 64-bit and as a 32-bit (-m32) program.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

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
