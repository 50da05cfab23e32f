#!/usr/bin/env bash
# The sanitizers. The module built with AddressSanitizer and UndefinedBehaviorSanitizer, in a
# venv of its own (.venv-asan), and the pytest suite run against it under CPython; then the
# C++ tests of the worker pool, the batch and the per-thread generator built with
# ThreadSanitizer. Reports go to files, so that one in a child process whose output a test
# captured is counted too; any report fails the stage, and every report is shown (its first
# lines, and where the whole of it is), however the stage ends.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

reports="$ROOT/build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"

shown=()

# show_new_reports: prints the first lines of each report not shown yet and where it is, and
# sets `found` to their number.
show_new_reports() {
    local report
    found=0
    while IFS= read -r report; do
        [[ " ${shown[*]} " != *" $report "* ]] || continue
        shown+=("$report")
        found=$((found + 1))
        printf '\n==> sanitizer report %s (%d lines); its first lines:\n' "$report" "$(wc -l <"$report")"
        head -n 30 "$report"
    done < <(find "$reports" -type f | sort)
}

# check_reports WHAT STATUS: shows the reports that WHAT wrote; fails the stage if there are
# any, or if WHAT ended with a STATUS other than 0.
check_reports() {
    show_new_reports
    printf '==> %s: exit status %d, %d sanitizer report(s)\n' "$1" "$2" "$found"
    local reason=""
    (($2 == 0)) || reason="$1 failed"
    ((found == 0)) || reason="${reason:+$reason; }$(count_reports "$found")"
    [ -z "$reason" ] || fail "$reason"
}

count_reports() { (($1 == 1)) && echo "1 sanitizer report" || echo "$1 sanitizer reports"; }

# A stage that ends early (a failed build, a signal) still shows the reports written so far,
# and fails if there are any.
reports_at_exit() {
    show_new_reports
    ((${#shown[@]})) || return 0
    STAGE_FAILURE="${STAGE_FAILURE:-$(count_reports ${#shown[@]})}"
    return 1
}
at_stage_exit reports_at_exit

ensure_venv asan python3
log "building tavrin_puzzles with AddressSanitizer and UndefinedBehaviorSanitizer into $ROOT/.venv-asan"
(cd "$ROOT" && PATH="$ROOT/.venv-asan/bin:$PATH" build_with_progress "$ROOT/build/asan/pip-install.txt" \
    pip_in "$ROOT/.venv-asan/bin/python" install --no-build-isolation --config-settings=build-dir=build/asan \
    --config-settings=cmake.define.TAVRIN_SANITIZE=address --config-settings=cmake.define.TAVRIN_WERROR=ON .)

# asan_pytest OUTPUT: the pytest suite against the sanitized module, its output shown and kept
# in OUTPUT. The interpreter is not instrumented: the runtime must come first, and libstdc++
# with it, or the runtime's __cxa_throw interceptor finds no real function to call on the first
# throw. PYTHONMALLOC=malloc sends the interpreter's allocations through the checked malloc.
# Children the tests start inherit all of it.
asan_pytest() {
    (
        export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
        export PYTHONMALLOC=malloc
        export ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan"
        export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan-suppressions.txt:print_suppressions=0"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
        "$ROOT/.venv-asan/bin/python" -m pytest "$ROOT/tests"
    ) 2>&1 | tee "$1"
}

# LeakSanitizer checks for leaks at exit from a tracer: a clone of the process with a pid of its
# own, which stops the process's threads with ptrace and reads their memory. It blocks every
# signal but the synchronous ones, and any of those that reaches it, whether a fault of its own
# or a SIGSEGV sent by some program to a pid that had meanwhile been given to the tracer (pids
# wrap around at 32768 on a busy machine), ends the check with "Tracer caught signal 11" and
# "LeakSanitizer has encountered a fatal error", and exit status 1. Such a check found nothing
# and checked nothing. tracer_crashed_alone OUTPUT STATUS tells whether a run failed in exactly
# that way, and only that: every test passed, and every report is such a crash and nothing else.
tracer_crashed_alone() {
    local report found=0
    (($2 == 1)) && grep -v '^$' "$1" | tail -n 1 | grep -E '^=+ [0-9]+ passed' | grep -qvE 'failed|error' || return 1
    while IFS= read -r report; do
        found=1
        grep -qE '^(==[0-9]+==)?Tracer caught signal 11: ' "$report" &&
            grep -qE '^==[0-9]+==LeakSanitizer has encountered a fatal error\.$' "$report" &&
            ! grep -qvE '^(==[0-9]+==)?(Tracer caught signal 11: |LeakSanitizer has encountered a fatal error\.$|HINT: )' "$report" ||
            return 1
    done < <(find "$reports" -type f)
    ((found))
}

log "pytest under CPython with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer"
output="$ROOT/build/asan-pytest.txt"
status=0
asan_pytest "$output" || status=$?
if tracer_crashed_alone "$output" "$status"; then
    show_new_reports
    first_run="$ROOT/build/sanitizer-reports-first-run"
    rm -rf "$first_run"
    mv "$reports" "$first_run"
    mkdir -p "$reports"
    shown=()
    printf '\n==> Every test passed, then LeakSanitizer'"'"'s tracer crashed (the report above, kept in %s):\n' "$first_run"
    printf '    the tool failed and checked nothing, so the run is repeated, once; whatever the repeat reports fails the stage.\n'
    STAGE_NOTE="LeakSanitizer's tracer crashed after the first ASan run had passed; the one retry was clean"
    log "pytest under CPython with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer, once more"
    status=0
    asan_pytest "$output" || status=$?
fi
check_reports "pytest under AddressSanitizer" "$status"

build="$ROOT/build/tsan"
log "C++ tests of the pool, the batch and the generator with ThreadSanitizer"
# Warnings are the ordinary builds' business: instrumented code draws false ones from GCC.
cmake -S "$ROOT" -B "$build" -G Ninja -DTAVRIN_BUILD_EXTENSION=OFF -DTAVRIN_BUILD_TESTS=ON \
    -DTAVRIN_SANITIZE=thread -Wno-deprecated >/dev/null
cmake --build "$build" -j2
status=0
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
    ctest --test-dir "$build" --output-on-failure -j2 || status=$?
check_reports "the C++ tests under ThreadSanitizer" "$status"
