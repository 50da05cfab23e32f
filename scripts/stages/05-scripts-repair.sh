#!/usr/bin/env bash
# The test command's own repairs, in seconds, on a cache and a clone of their own in a temporary
# folder (never the machine's cache or this work tree):
# - an interpreter's source cut short in the cache is fetched again and the interpreter built;
#   a download that stays damaged, or fails, fails the stage; only a source the registry does
#   not serve (404) makes the interpreter one that "this machine can neither find nor build";
# - a cached interpreter that no longer runs is built again;
# - a venv left half made (Ctrl-C during `python -m venv`: a python without pip) is made
#   again, and a whole one is kept.
# Debian's registry and the build are stood in for by the functions below, which replace
# scripts/cpython.sh's access to apt and its recipe here only: a registry serving a small
# source package with the sizes and sums apt's lists would give, and a build that unpacks its
# tarballs (failing on a cut one, as the real one does) and copies the host's python3 in as
# the interpreter.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

work="$(mktemp -d)"
remove_work() { rm -rf "$work"; }
at_stage_exit remove_work
export TAVRIN_CACHE_DIR="$work/cache"
source "$ROOT/scripts/cpython.sh"
[[ "$CPYTHON_CACHE" == "$work/"* ]] || fail "the checks would use the cache $CPYTHON_CACHE"
ROOT="$work/clone"
mkdir -p "$ROOT"

# The source package python3.13 3.13.5-2 of "trixie", as the registry holds it (good/) and as
# it serves it (mirror/, damaged by some checks).
mkdir -p "$work/good/python3.13-3.13.5/Modules" "$work/good/debian/patches"
head -c 200000 /dev/urandom >"$work/good/python3.13-3.13.5/Modules/data"
printf 'CVE-2026-0000.diff\n' >"$work/good/debian/patches/series"
: >"$work/good/debian/patches/CVE-2026-0000.diff"
tar -cJf "$work/good/python3.13_3.13.5.orig.tar.xz" -C "$work/good" python3.13-3.13.5
tar -cJf "$work/good/python3.13_3.13.5-2.debian.tar.xz" -C "$work/good" debian
printf 'Source: python3.13\n' >"$work/good/python3.13_3.13.5-2.dsc"
SOURCE_FILES=(python3.13_3.13.5-2.dsc python3.13_3.13.5.orig.tar.xz python3.13_3.13.5-2.debian.tar.xz)
serve_good() { rm -rf "$work/mirror"; mkdir -p "$work/mirror"; for f in "${SOURCE_FILES[@]}"; do cp "$work/good/$f" "$work/mirror/"; done; }
serve_good

ensure_apt_packages() { :; }
cpython_apt_setup() { mkdir -p "$CPYTHON_CACHE/apt/downloads"; }
# The registry's answers to `apt-get source --print-uris PACKAGE/SUITE|PACKAGE=VERSION` and
# `apt-get source --download-only PACKAGE=VERSION` (into the current folder), for python3.13
# of trixie only; $work/mirror/ANSWER, if there, is what a download prints and fails with.
cpython_apt_get() {
    local spec="${*: -1}" file
    [[ "$spec" == python3.13/trixie || "$spec" == python3.13=3.13.5-2 ]] || return 0
    if [[ " $* " == *" --print-uris "* ]]; then
        for file in "${SOURCE_FILES[@]}"; do
            printf "'http://registry.invalid/%s' %s %s SHA256:%s\n" "$file" "$file" \
                "$(stat -c %s "$work/good/$file")" "$(sha256sum <"$work/good/$file" | cut -d' ' -f1)"
        done
    elif [ -e "$work/mirror/ANSWER" ]; then
        cat "$work/mirror/ANSWER"
        return 100
    else
        for file in "${SOURCE_FILES[@]}"; do cp "$work/mirror/$file" .; done
    fi
}
CPYTHON_REQUIRED_MODULES=sys
export BUILDS="$work/builds"
: >"$BUILDS"
_cpython_build() {
    tar -xf "$2" --strip-components=1
    tar -xf "$3"
    mkdir -p "$1/bin"
    cp "$(readlink -f /usr/bin/python3)" "$1/bin/python3.13t"
    printf 'built\n' >>"$BUILDS"
}

# find_313t: cpython_find 3.13t in a subshell, as a stage would call it; prints "found",
# "not here" or "failed: REASON", then the number of builds so far.
find_313t() {
    local outcome
    outcome="$(
        exec {out}>&1
        trap '[ -z "$STAGE_FAILURE" ] || printf "failed: %s" "$STAGE_FAILURE" >&$out' EXIT
        if cpython_find 3.13t >"$work/log" 2>&1; then printf 'found %s' "$CPYTHON_INTERPRETER"; else printf 'not here'; fi
    )"
    printf '%s; builds: %s\n' "$outcome" "$(wc -l <"$BUILDS")"
}
problems=()
expect() {
    local what="$1" want="$2" got="$3"
    if [[ "$got" == $want ]]; then
        printf '    ok: %s\n' "$what"
    else
        printf '    WRONG: %s: expected %s, got: %s\n    its log:\n' "$what" "$want" "$got"
        sed 's/^/        /' "$work/log"
        problems+=("$what")
    fi
}
downloads="$CPYTHON_CACHE/apt/downloads"
orig="$downloads/python3.13_3.13.5.orig.tar.xz"

mkdir -p "$downloads"
for file in "${SOURCE_FILES[@]}"; do cp "$work/good/$file" "$downloads/"; done

log "a cached interpreter that no longer runs is built again"
expect "the first find builds 3.13t" "found *; builds: 1" "$(find_313t)"
expect "a second find reuses it" "found *; builds: 1" "$(find_313t)"
interpreter="$(cd "$CPYTHON_CACHE" && ls -d 3.13t-*/bin/python3.13t 2>/dev/null || true)"
[ -n "$interpreter" ] || fail "no interpreter was built"
truncate -s 4096 "$CPYTHON_CACHE/$interpreter"
expect "a find after the interpreter was cut short builds it again" "found *; builds: 2" "$(find_313t)"
expect "the interpreter runs again" "runs" "$("$CPYTHON_CACHE/$interpreter" -c 'print("runs")' 2>&1)"

log "a cut download of an interpreter's source is fetched again, and the interpreter built"
rm -rf "$CPYTHON_CACHE"/3.13t-*
truncate -s 50000 "$orig"
expect "the interpreter gone, the tarball cut short: built from the source fetched again" "found *; builds: 3" "$(find_313t)"
expect "the cache's tarball is the registry's" "same" "$(cmp -s "$orig" "$work/good/${orig##*/}" && echo same)"

log "a download that fails or stays damaged fails the stage; a source not served is a note"
rm -rf "$CPYTHON_CACHE"/3.13t-*
truncate -s 50000 "$orig" "$work/mirror/${orig##*/}"
expect "damaged in the cache and at the registry" "failed: CPython 3.13t could not be made*; builds: 3" "$(find_313t)"
expect "the damaged tarball is not kept" "gone" "$([ -e "$orig" ] || echo gone)"
printf 'E: Failed to fetch http://registry.invalid/x  Could not resolve host\n' >"$work/mirror/ANSWER"
expect "a registry out of reach" "failed: *; builds: 3" "$(find_313t)"
expect "a failed download is not taken for a source not served" "none" \
    "$(compgen -G "$downloads/.not-served-*" >/dev/null || echo none)"
printf 'E: Failed to fetch http://registry.invalid/x  404  Not Found [IP: 192.0.2.1 80]\n' >"$work/mirror/ANSWER"
expect "a source the registry does not serve" "not here; builds: 3" "$(find_313t)"

log "a venv left without pip by an interrupted \`python -m venv\` is made again; a whole one is kept"
PIP_TOOLS=()
python3 -m venv --without-pip "$ROOT/.venv-cut"
ensure_venv cut python3 >"$work/log" 2>&1 || true
expect "the venv has pip" "pip *" "$("$ROOT/.venv-cut/bin/python" -m pip --version 2>&1)"
: >"$ROOT/.venv-cut/kept"
ensure_venv cut python3 >"$work/log" 2>&1 || true
expect "a whole venv is kept" "kept" "$([ -e "$ROOT/.venv-cut/kept" ] && echo kept)"

((${#problems[@]} == 0)) || fail "${#problems[@]} repairs failed: ${problems[0]}$( ((${#problems[@]} == 1)) || printf ', ...')"
