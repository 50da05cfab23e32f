#!/usr/bin/env bash
# The whole test suite from nothing. Each stage is a script in scripts/stages/, run in the
# order of its number; every stage installs what it needs and reuses it on later runs.
# `bash scripts/test.sh NAME...` runs only the stages whose names contain one of the words.
# Every stage runs even when an earlier one failed. Each ends with one line, "==> stage NAME:
# passed" or "==> stage NAME: FAILED (reason)"; then comes the time of each, and the last line
# names the stages that failed (and the exit status is 1) or says that all passed.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

trap 'printf "\n==> FAILED (%s failed); no stage was run\n" "$STAGE_STEP"' EXIT
ensure_apt_packages
trap - EXIT

started=$SECONDS
outcome_file="$(mktemp)"
trap 'rm -f "$outcome_file"' EXIT
times=() failed=()
for stage in "$ROOT"/scripts/stages/[0-9]*.sh; do
    name="$(basename "$stage" .sh)"
    if (($#)); then
        wanted=0
        for word in "$@"; do [[ "$name" == *"$word"* ]] && wanted=1; done
        ((wanted)) || continue
    fi
    stage_started=$SECONDS
    printf '\n==> stage %s\n' "$name"
    : >"$outcome_file"
    status=0
    TAVRIN_STAGE_OUTCOME="$outcome_file" bash "$stage" || status=$?
    outcome="$(cat "$outcome_file")"
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
    printf '\n==> stage %s: %s\n' "$name" "$outcome"
    times+=("$(printf '%-20s %5d s  %s' "$name" $((SECONDS - stage_started)) "${outcome%% (*}")")
    [[ "$outcome" == passed* ]] || failed+=("$name")
done

if ((${#times[@]} == 0)); then
    printf '\n==> no stage name contains any of: %s\n' "$*"
    exit 2
fi
printf '\n==> time per stage\n'
printf '    %s\n' "${times[@]}"
if ((${#failed[@]})); then
    printf '==> %d of %d stages FAILED after %d s: %s\n' "${#failed[@]}" "${#times[@]}" \
        $((SECONDS - started)) "${failed[*]}"
    exit 1
fi
printf '==> all %d stages passed in %d s\n' "${#times[@]}" $((SECONDS - started))
