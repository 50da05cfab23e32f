#!/usr/bin/env bash
# The whole test suite from nothing. Each stage is a script in scripts/stages/, run in the
# order of its number; every stage installs what it needs and reuses it on later runs.
# `bash scripts/test.sh NAME...` runs only the stages whose names contain one of the words.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_apt_packages

started=$SECONDS
for stage in "$ROOT"/scripts/stages/[0-9]*.sh; do
    name="$(basename "$stage" .sh)"
    if (($#)); then
        wanted=0
        for word in "$@"; do [[ "$name" == *"$word"* ]] && wanted=1; done
        ((wanted)) || continue
    fi
    stage_started=$SECONDS
    log "stage $name"
    bash "$stage"
    printf '==> stage %s took %d s\n' "$name" $((SECONDS - stage_started))
done
printf '\n==> all stages took %d s\n' $((SECONDS - started))
