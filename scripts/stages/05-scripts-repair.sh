#!/usr/bin/env bash
# The scripts' repairs of a damaged cache and venv, in seconds, on a cache and a clone of their
# own in a temporary folder (never the machine's). Debian's registry and the build are stood in
# for by the functions below: a registry serving a small source package with the sizes and sums
# apt's lists would give, and a build that unpacks its tarballs (failing on a cut one, as the
# real one does) and copies the host's python3 in as the interpreter.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

work="$(mktemp -d)"
remove_work() { rm -rf "$work"; }
at_stage_exit remove_work
export TAVRIN_CACHE_DIR="$work/cache" BUILDS="$work/builds"
source "$ROOT/scripts/cpython.sh"
[[ "$CPYTHON_CACHE" == "$work/"* ]] || fail "the checks would use the cache $CPYTHON_CACHE"
ROOT="$work/clone"
downloads="$CPYTHON_CACHE/apt/downloads"
mkdir -p "$ROOT" "$downloads" "$work/good/python3.13-3.13.5" "$work/good/debian/patches" "$work/mirror"
head -c 200000 /dev/urandom >"$work/good/python3.13-3.13.5/data"
printf 'CVE-2026-0000.diff\n' >"$work/good/debian/patches/series"
tar -cJf "$work/good/python3.13_3.13.5.orig.tar.xz" -C "$work/good" python3.13-3.13.5
tar -cJf "$work/good/python3.13_3.13.5-2.debian.tar.xz" -C "$work/good" debian
printf 'Source: python3.13\n' >"$work/good/python3.13_3.13.5-2.dsc"
SOURCE_FILES=(python3.13_3.13.5-2.dsc python3.13_3.13.5.orig.tar.xz python3.13_3.13.5-2.debian.tar.xz)
for file in "${SOURCE_FILES[@]}"; do cp "$work/good/$file" "$work/mirror/" && cp "$work/good/$file" "$downloads/"; done
orig="$downloads/python3.13_3.13.5.orig.tar.xz"

ensure_apt_packages() { :; }
cpython_apt_setup() { :; }
# `apt-get source --print-uris PACKAGE/SUITE|PACKAGE=VERSION` and `apt-get source
# --download-only PACKAGE=VERSION` for trixie's python3.13; a download prints and fails with
# $work/mirror/ANSWER where there is one.
cpython_apt_get() {
    [[ "${*: -1}" == python3.13/trixie || "${*: -1}" == python3.13=3.13.5-2 ]] || return 0
    if [[ " $* " == *" --print-uris "* ]]; then
        for file in "${SOURCE_FILES[@]}"; do
            printf "'http://registry.invalid/%s' %s %s SHA256:%s\n" "$file" "$file" \
                "$(stat -c %s "$work/good/$file")" "$(sha256sum <"$work/good/$file" | cut -d' ' -f1)"
        done
    elif [ -e "$work/mirror/ANSWER" ]; then
        cat "$work/mirror/ANSWER" && return 100
    else
        for file in "${SOURCE_FILES[@]}"; do cp "$work/mirror/$file" .; done
    fi
}
CPYTHON_REQUIRED_MODULES=sys
_cpython_build() {
    tar -xf "$2" && tar -xf "$3" && mkdir -p "$1/bin"
    cp "$(readlink -f /usr/bin/python3)" "$1/bin/python3.13t" && echo >>"$BUILDS"
}

# expect WHAT PATTERN: cpython_find 3.13t as a stage calls it gives "found", "not here" or
# "failed: REASON", then "; builds: N"; PATTERN is matched against that.
problems=()
expect() {
    local got
    got="$(
        exec {out}>&1
        trap '[ -z "$STAGE_FAILURE" ] || printf "failed: %s" "$STAGE_FAILURE" >&$out' EXIT
        if cpython_find 3.13t >"$work/log" 2>&1; then printf 'found'; else printf 'not here'; fi
    ); builds: $(wc -l <"$BUILDS" 2>/dev/null || echo 0)"
    [[ "$got" == $2 ]] && printf '    ok: %s\n' "$1" && return
    printf '    WRONG: %s: expected %s, got %s; its log:\n' "$1" "$2" "$got"
    sed 's/^/        /' "$work/log"
    problems+=("$1")
}
check() { if [ "$2" = "$3" ]; then printf '    ok: %s\n' "$1"; else printf '    WRONG: %s: %s\n' "$1" "$3"; problems+=("$1"); fi; }

log "a cached interpreter that no longer runs is built again"
expect "the first find builds 3.13t" "found; builds: 1"
expect "a second one reuses it" "found; builds: 1"
interpreter="$(ls "$CPYTHON_CACHE"/3.13t-*/bin/python3.13t 2>/dev/null || true)"
[ -n "$interpreter" ] || fail "no interpreter was built"
truncate -s 4096 "$interpreter"
expect "one after the interpreter was cut short builds it again" "found; builds: 2"
check "the interpreter runs again" runs "$("$interpreter" -c 'print("runs")' 2>&1)"

log "a cut download of an interpreter's source is fetched again, and the interpreter built"
rm -rf "$CPYTHON_CACHE"/3.13t-*
truncate -s 50000 "$orig"
expect "the interpreter gone and its tarball cut short" "found; builds: 3"
check "the cache's tarball is the registry's" same "$(cmp -s "$orig" "$work/good/${orig##*/}" && echo same)"

log "a download that fails or stays damaged fails the stage; only a source not served is a note"
rm -rf "$CPYTHON_CACHE"/3.13t-*
truncate -s 50000 "$orig" "$work/mirror/${orig##*/}"
expect "damaged in the cache and at the registry" "failed: CPython 3.13t could not be made*; builds: 3"
check "the damaged tarball is not kept" gone "$([ -e "$orig" ] || echo gone)"
printf 'E: Failed to fetch http://registry.invalid/x  Could not resolve host\n' >"$work/mirror/ANSWER"
expect "the registry out of reach" "failed: *; builds: 3"
check "that is not remembered as a source not served" none "$(compgen -G "$downloads/.not-served-*" || echo none)"
printf 'E: Failed to fetch http://registry.invalid/x  404  Not Found [IP: 192.0.2.1 80]\n' >"$work/mirror/ANSWER"
expect "a source the registry does not serve" "not here; builds: 3"

log "a venv left without pip by an interrupted \`python -m venv\` is made again; a whole one is kept"
PIP_TOOLS=()
python3 -m venv --without-pip "$ROOT/.venv-cut"
ensure_venv cut python3 >"$work/log" 2>&1 || true
check "the venv has pip" pip "$("$ROOT/.venv-cut/bin/python" -m pip --version 2>&1 | cut -d' ' -f1)"
: >"$ROOT/.venv-cut/kept"
ensure_venv cut python3 >"$work/log" 2>&1 || true
check "a whole venv is kept" kept "$([ -e "$ROOT/.venv-cut/kept" ] && echo kept)"

((${#problems[@]} == 0)) || fail "${#problems[@]} repairs failed: $(printf '%s; ' "${problems[@]}" | sed 's/; $//')"
