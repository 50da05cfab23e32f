#!/usr/bin/env bash
# Lane: musl (these share the musl interpreters, their venvs, zig and the musl builds)
# The C++ unit tests of the model as a static 32-bit x86 musl program: Clang with libc++ and
# musl from PyPI's ziglang, warnings as errors. GoogleTest is built from Debian's sources with
# the same compiler.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

ensure_apt_packages libgtest-dev cmake ninja-build file
PIP_TOOLS=(ziglang)
ensure_venv tools python3

build="$ROOT/build/cpp-musl"
zig="$("$ROOT/.venv-tools/bin/python" -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).parent / "zig")')"
mkdir -p "$build/bin"
# CMake wants one program per compiler; zig keeps its caches (its libc++ and musl builds
# among them) inside the build folder.
for tool in cc c++; do
    cat >"$build/bin/zig-$tool" <<EOF
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="$build/zig-cache" ZIG_LOCAL_CACHE_DIR="$build/zig-cache"
exec "$zig" $tool -target x86-linux-musl "\$@"
EOF
    chmod +x "$build/bin/zig-$tool"
done

log "C++ unit tests of the model, 32-bit x86 musl (zig $("$zig" version))"
cmake -S "$ROOT" -B "$build" -G Ninja -DTAVRIN_BUILD_EXTENSION=OFF -DTAVRIN_BUILD_TESTS=ON \
    -DTAVRIN_WERROR=ON -DCMAKE_C_COMPILER="$build/bin/zig-cc" -DCMAKE_CXX_COMPILER="$build/bin/zig-c++" \
    -DCMAKE_CXX_SCAN_FOR_MODULES=OFF -Wno-deprecated >/dev/null
cmake --build "$build" -j2
file "$build/tests/cpp/model_tests" | grep -q "ELF 32-bit.*Intel 80386.*statically linked" || {
    log "model_tests is not a static i386 program: $(file -b "$build/tests/cpp/model_tests")"
    exit 1
}
ctest --test-dir "$build" --output-on-failure -j2
