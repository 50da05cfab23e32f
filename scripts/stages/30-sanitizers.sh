#!/usr/bin/env bash
# The sanitizers. The module built with AddressSanitizer and UndefinedBehaviorSanitizer, in a
# venv of its own (.venv-asan), and the pytest suite run against it under CPython; then the
# C++ tests of the worker pool, the batch and the per-thread generator built with
# ThreadSanitizer. Reports go to files, so that one in a child process whose output a test
# captured is counted too; any report fails the stage.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

reports="$ROOT/build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"

# Prints every report and fails when there is one.
check_reports() {
    local found
    found=$(find "$reports" -type f | wc -l)
    printf '==> %s: %d sanitizer report(s)\n' "$1" "$found"
    if ((found)); then
        find "$reports" -type f -exec cat {} +
        exit 1
    fi
}

ensure_venv asan python3
log "building tavrin_puzzles with AddressSanitizer and UndefinedBehaviorSanitizer into $ROOT/.venv-asan"
(cd "$ROOT" && PATH="$ROOT/.venv-asan/bin:$PATH" "$ROOT/.venv-asan/bin/python" -m pip install -q \
    --no-build-isolation --config-settings=build-dir=build/asan \
    --config-settings=cmake.define.TAVRIN_SANITIZE=address --config-settings=cmake.define.TAVRIN_WERROR=ON .)

log "pytest under CPython with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer"
# The interpreter is not instrumented: the runtime must come first, and libstdc++ with it, or
# the runtime's __cxa_throw interceptor finds no real function to call on the first throw.
# PYTHONMALLOC=malloc sends the interpreter's allocations through the checked malloc.
# Children the tests start inherit all of it.
(
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
    export PYTHONMALLOC=malloc
    export ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan"
    export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan-suppressions.txt:print_suppressions=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
    "$ROOT/.venv-asan/bin/python" -m pytest "$ROOT/tests"
)
check_reports "AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer"

build="$ROOT/build/tsan"
log "C++ tests of the pool, the batch and the generator with ThreadSanitizer"
# Warnings are the ordinary builds' business: instrumented code draws false ones from GCC.
cmake -S "$ROOT" -B "$build" -G Ninja -DTAVRIN_BUILD_EXTENSION=OFF -DTAVRIN_BUILD_TESTS=ON \
    -DTAVRIN_SANITIZE=thread -Wno-deprecated >/dev/null
cmake --build "$build" -j2
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
    ctest --test-dir "$build" --output-on-failure -j2
check_reports "ThreadSanitizer"
