#!/usr/bin/env bash
# The whole test suite from nothing. Each stage is a script in scripts/stages/; every stage
# installs what it needs and reuses it on later runs.
# `bash scripts/test.sh NAME...` runs only the stages whose names contain one of the words.
#
# Stages run side by side in lanes: a stage whose file has a line "# Lane: NAME" runs in lane
# NAME, after the stages of that lane with lower numbers (they share venvs or build folders);
# any other stage is a lane of its own. $TAVRIN_TEST_JOBS lanes run at once (default: the
# processors available). A stage's output is shown whole when it ends, then its last line,
# "==> stage NAME: passed" or "==> stage NAME: FAILED (reason)". Every stage runs even when an
# earlier one failed; then comes the time of each, and the last line names the stages that
# failed (and the exit status is 1) or says that all passed.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

trap 'printf "\n==> FAILED (%s failed); no stage was run\n" "$STAGE_STEP"' EXIT
ensure_apt_packages
trap - EXIT

jobs="${TAVRIN_TEST_JOBS:-$(nproc)}"
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
    printf '==> TAVRIN_TEST_JOBS must be a whole number from 1 up, not "%s"\n' "$jobs"
    exit 2
fi

started=$SECONDS
results="$(mktemp -d)"
trap 'rm -rf "$results"' EXIT
declare -A lane_stages=()
lanes=()
for stage in "$ROOT"/scripts/stages/[0-9]*.sh; do
    name="$(basename "$stage" .sh)"
    if (($#)); then
        wanted=0
        for word in "$@"; do [[ "$name" == *"$word"* ]] && wanted=1; done
        ((wanted)) || continue
    fi
    lane="$(sed -nE 's/^# Lane: ([A-Za-z0-9_-]+).*/\1/p' "$stage" | head -n 1)"
    lane="${lane:-$name}"
    [ -n "${lane_stages[$lane]:-}" ] || lanes+=("$lane")
    lane_stages[$lane]+="$stage "
done
if ((${#lanes[@]} == 0)); then
    printf '\n==> no stage name contains any of: %s\n' "$*"
    exit 2
fi

# run_stage FILE: runs one stage with its output in a log, then shows the log and the outcome
# in one piece (under a lock, so that lanes ending together do not mix their lines).
run_stage() {
    local stage="$1" name status=0 outcome stage_started=$SECONDS
    name="$(basename "$stage" .sh)"
    printf '==> stage %s started\n' "$name"
    : >"$results/$name.outcome"
    TAVRIN_STAGE_OUTCOME="$results/$name.outcome" bash "$stage" >"$results/$name.log" 2>&1 </dev/null || status=$?
    outcome="$(cat "$results/$name.outcome")"
    # A stage that ended before its own report (a signal, a crash of bash) gets one here.
    if [ -z "$outcome" ] || { ((status)) && [[ "$outcome" == passed* ]]; }; then
        if ((status > 128)); then
            outcome="FAILED (ended by signal $((status - 128)))"
        elif ((status)); then
            outcome="FAILED (exit status $status)"
        else
            outcome=passed
        fi
    fi
    printf '%s\n' "$outcome" >"$results/$name.outcome"
    printf '%-20s %5d s  %s\n' "$name" $((SECONDS - stage_started)) "${outcome%% (*}" >"$results/$name.time"
    (
        flock 9
        printf '\n==> stage %s\n' "$name"
        cat "$results/$name.log"
        printf '\n==> stage %s: %s\n' "$name" "$outcome"
    ) 9>"$results/.print-lock"
}

run_lane() {
    local stage
    for stage in ${lane_stages[$1]}; do run_stage "$stage"; done
}

running=0
for lane in "${lanes[@]}"; do
    if ((running >= jobs)); then
        wait -n || true
        ((running -= 1))
    fi
    run_lane "$lane" &
    ((running += 1))
done
wait

times=() failed=()
for lane in "${lanes[@]}"; do
    for stage in ${lane_stages[$lane]}; do
        name="$(basename "$stage" .sh)"
        times+=("$(cat "$results/$name.time")")
        [[ "$(cat "$results/$name.outcome")" == passed* ]] || failed+=("$name")
    done
done
printf '\n==> time per stage (%d lanes at once)\n' "$jobs"
printf '    %s\n' "${times[@]}"
if ((${#failed[@]})); then
    printf '==> %d of %d stages FAILED after %d s: %s\n' "${#failed[@]}" "${#times[@]}" \
        $((SECONDS - started)) "${failed[*]}"
    exit 1
fi
printf '==> all %d stages passed in %d s\n' "${#times[@]}" $((SECONDS - started))
