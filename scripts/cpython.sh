# CPython 3.10, 3.12, 3.13, 3.14 and 3.15 and the free-threaded 3.13t, 3.14t and 3.15t for
# x86-64 glibc. 3.10, 3.12 and 3.13 are the machine's own where pyenv has them; what the
# machine lacks is made once and kept in a cache outside the work tree, where later runs and
# other clones on this machine find it: built from Debian's source packages where the registry
# serves them (3.13 and 3.13t from Debian 13's python3.13), else, for 3.14 and 3.15, unpacked
# from Debian unstable's binary packages.
# Source after common.sh.
#
# The cache, $TAVRIN_CACHE_DIR (default ${XDG_CACHE_HOME:-$HOME/.cache}/tavrin_puzzles), holds
# in cpython/:
#   apt/           a private apt configuration (the host's sources as deb-src lines for the
#                  trixie and unstable suites), its lists, and the source packages fetched
#   apt-unstable/  a private apt configuration for unstable's binary packages, and its lists
#   VERSION-SOURCE-KEY/
#                  an interpreter (VERSION 3.13t, 3.14, ...), named by Debian's version and a
#                  hash of what it was made from and the recipe (the functions below, as bash
#                  prints them); BUILT-FROM lists them and the time it took, .complete marks it
#                  whole
# Nothing else on the machine is changed but the Debian packages ensure_apt_packages installs.

CPYTHON_CACHE="${TAVRIN_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrin_puzzles}/cpython"
# The headers of the extension modules that pip, venv, pytest, hypothesis and the companion's
# dependencies import: ssl, zlib, ctypes, bz2, lzma, sqlite3, uuid, expat.
CPYTHON_APT_PACKAGES=(build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev
    liblzma-dev libsqlite3-dev uuid-dev libexpat1-dev binutils patchelf)
# The suites whose sources are searched, newest last: a version is built from the newest.
CPYTHON_SUITES=(trixie unstable)
# The interpreters of the matrix, in the order of the support window (3.13t: the free-threaded
# build of 3.13, from the same source as 3.13 where that is built).
CPYTHON_VERSIONS=(3.10 3.12 3.13 3.13t 3.14 3.14t 3.15 3.15t)
# TAVRIN_CPYTHON_VERSIONS="3.10 3.15" narrows the stages to some of them, to try those alone.
if [ -n "${TAVRIN_CPYTHON_VERSIONS:-}" ]; then
    for version in $TAVRIN_CPYTHON_VERSIONS; do
        [[ " ${CPYTHON_VERSIONS[*]} " == *" $version "* ]] ||
            fail "TAVRIN_CPYTHON_VERSIONS names $version, which is not one of ${CPYTHON_VERSIONS[*]}"
    done
    read -ra CPYTHON_VERSIONS <<<"$TAVRIN_CPYTHON_VERSIONS"
fi

cpython_apt_get() { APT_CONFIG="$CPYTHON_CACHE/apt/apt.conf" apt-get -q "$@"; }

# The private apt configuration: each archive of the host's sources (not its security archive,
# which has no unstable suite) as deb-src lines for CPYTHON_SUITES. Its lists are fetched once;
# the interpreters are keyed by the source versions they name, so a list fetched again later
# builds a newer release where the suite has one.
cpython_apt_setup() {
    local dir="$CPYTHON_CACHE/apt" uris
    [ -s "$dir/lists/.fetched" ] && return
    log "private apt configuration for Debian's ${CPYTHON_SUITES[*]} sources in $dir"
    rm -rf "$dir"
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/cache" "$dir/sources.list.d" "$dir/downloads"
    : >"$dir/status"
    uris="$(
        sed -nE 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
        sed -nE 's/^deb +(\[[^]]*\] +)?([^ ]+) .*/\2/p' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true
    )"
    uris="$(grep -vE -- '-security/?$' <<<"$uris" | sort -u || true)"
    if [ -z "$uris" ]; then
        log "the host's apt sources name no Debian archive"
        return 1
    fi
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$(tr '\n' ' ' <<<"$uris")" "${CPYTHON_SUITES[*]}" >"$dir/sources.list.d/debian.sources"
    : >"$dir/sources.list"
    write_private_apt_conf "$dir" amd64
    cpython_apt_get update -qq || return 1
    date -u >"$dir/lists/.fetched"
}

# cpython_source_version PACKAGE SUITE: the version of PACKAGE's source in SUITE, or nothing.
cpython_source_version() {
    # In a folder without the files, which apt would otherwise not list.
    mkdir -p "$CPYTHON_CACHE/apt/empty"
    (cd "$CPYTHON_CACHE/apt/empty" && cpython_apt_get source --print-uris "$1/$2" 2>/dev/null |
        sed -nE "s/^'[^']*' $1_(.*)\.dsc .*/\1/p" || true)
}

# cpython_fetch_source PACKAGE VERSION: Debian's source of PACKAGE VERSION (its .dsc, upstream
# tarball and patches) in the downloads folder, each file checked against the size and SHA256
# that apt's lists give for it: a file that differs (a cut download, a full disk) is deleted
# and fetched again, and one that still differs fails. Returns 2 when the registry does not
# serve the source (404), 1 on any other failure.
cpython_fetch_source() {
    local downloads="$CPYTHON_CACHE/apt/downloads" expected output
    # In a folder without the files, which apt would otherwise not list.
    mkdir -p "$CPYTHON_CACHE/apt/empty" "$downloads"
    expected="$(cd "$CPYTHON_CACHE/apt/empty" && cpython_apt_get source --print-uris "$1=$2" 2>/dev/null |
        sed -nE "s/^'[^']*' ([^ ]+) ([0-9]+) SHA256:([0-9a-f]+)\$/\1 \2 \3/p" || true)"
    if [ -z "$expected" ]; then
        log "apt's lists give no files with SHA256 sums for Debian's $1 $2"
        return 1
    fi
    if ! cpython_check_source "$expected"; then
        output="$(cd "$downloads" && cpython_apt_get source -qq --download-only "$1=$2" 2>&1)" || {
            if grep -q ' 404 ' <<<"$output"; then return 2; fi
            printf '%s\n' "$output"
            log "downloading Debian's $1 $2 failed"
            return 1
        }
        if ! cpython_check_source "$expected"; then
            log "Debian's $1 $2, downloaded again, still does not match apt's sums"
            return 1
        fi
    fi
}

# cpython_check_source "FILE SIZE SHA256"...: whether every file is in the downloads folder with
# that size and sum; those that are not are deleted (and named).
cpython_check_source() {
    local file size sum missing=0
    while read -r file size sum; do
        [ -e "$CPYTHON_CACHE/apt/downloads/$file" ] || { missing=1; continue; }
        if [ "$(stat -c %s "$CPYTHON_CACHE/apt/downloads/$file")" != "$size" ] ||
            [ "$(sha256sum <"$CPYTHON_CACHE/apt/downloads/$file" | cut -d' ' -f1)" != "$sum" ]; then
            log "$file in the cache does not match apt's size and SHA256: fetched again"
            rm -f "$CPYTHON_CACHE/apt/downloads/$file"
            missing=1
        fi
    done <<<"$1"
    return "$missing"
}

# cpython_runs EXECUTABLE PREFIX: a cached interpreter that no longer runs (a file cut short, a
# library gone) is removed with its PREFIX, so that it is made again.
cpython_runs() {
    [ -e "$2/.complete" ] || return 0
    "$1" -c 'import sys' >/dev/null 2>&1 && return 0
    log "the cached $1 does not run: it is made again"
    rm -rf "$2"
}

# The recipe: it runs in an empty build folder and installs into the interpreter's prefix; it is
# hashed into the interpreter's name.

# _cpython_build PREFIX ORIG-TARBALL DEBIAN-TARBALL [--disable-gil]: CPython from Debian's
# upstream tarball with the fixes of Debian's patch series. The series starts with Debian's
# integration (its /usr layout, dist-packages, multiarch names, ensurepip turned off), made
# for an interpreter that dpkg installs into /usr, not for one in a prefix of its own: those
# are left out, and the security and crash fixes that follow them, from its first CVE patch on,
# applied. Optimised as a plain build (-O2, no PGO or LTO), without the test modules, and
# installed with the plain .pyc files only.
_cpython_build() {
    local prefix="$1" patch
    mkdir source debian build
    tar -xf "$2" -C source --strip-components=1
    tar -xf "$3" -C debian
    for patch in $(sed -n '/^CVE-/,$p' debian/debian/patches/series | grep -v '^#'); do
        patch -d source -p1 -s <"debian/debian/patches/$patch"
    done
    (cd build && OPT="-DNDEBUG -fwrapv -O2" nice -n 10 ../source/configure --prefix="$prefix" \
        --disable-test-modules --with-ensurepip=no "${@:4}") >configure.log 2>&1
    # Debian's fix for CVE-2026-4224 has pyexpat.c include an internal header, which needs the
    # define that Debian's own build of the module sets.
    sed -i -e 's|^MODULE_PYEXPAT_CFLAGS=|&-DPy_BUILD_CORE_MODULE |' \
        -e 's|-Wi -OO\? $(DESTDIR)$(LIBDEST)/compileall.py|-c pass|' build/Makefile
    nice -n 10 make -C build -j"$(nproc)" >make.log 2>&1
    nice -n 10 make -C build install >install.log 2>&1
}

# What pip, venv, pytest, hypothesis and the companion's dependencies need of the standard
# library; an interpreter without one of them is not kept.
CPYTHON_REQUIRED_MODULES="ssl zlib ctypes bz2 lzma sqlite3 hashlib _blake2 json pyexpat _socket resource mmap unicodedata uuid decimal ensurepip venv multiprocessing"

# cpython_pyenv VERSION: the newest pyenv interpreter of VERSION (3.12), or nothing.
cpython_pyenv() {
    local candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python"$1"; do
        [ -x "$candidate" ] && printf '%s\n' "$candidate"
    done | sort -V | tail -n 1
}

# cpython_locked COMMAND...: runs COMMAND holding the cache's lock, released however it ends:
# one build at a time, also across clones; a second run waits, then finds the interpreter made.
cpython_locked() {
    local lock status=0
    mkdir -p "$CPYTHON_CACHE"
    exec {lock}>"$CPYTHON_CACHE/.lock"
    flock "$lock"
    "$@" || status=$?
    exec {lock}>&-
    return "$status"
}

# cpython_build VERSION: sets CPYTHON_INTERPRETER to Debian's CPython VERSION (3.13, 3.14 or
# 3.14t, the free-threaded build of 3.14) built from the newest of CPYTHON_SUITES that carries
# its source, building it first when the cache has none for that source, GCC and recipe.
cpython_build() { cpython_locked _cpython_build_locked "$@"; }
_cpython_build_locked() {
    local version="$1" base="${1%t}" flags=() executable="python${1}"
    [ "$version" = "$base" ] || flags=(--disable-gil)
    cpython_apt_setup || return 1
    # The newest source that the registry serves: it lists the suites' current sources, but
    # serves some of them (unstable's python3.13 3.13.18, every python3.14 so far) not at all.
    local index found source_version="" source_suite="" package="python$base" downloads="$CPYTHON_CACHE/apt/downloads" status
    for ((index = ${#CPYTHON_SUITES[@]} - 1; index >= 0; index--)); do
        found="$(cpython_source_version "$package" "${CPYTHON_SUITES[index]}")"
        [ -n "$found" ] || continue
        # A refusal (404) is remembered until the lists are fetched again.
        if [ ! -e "$downloads/.not-served-${package}_$found" ]; then
            status=0
            cpython_fetch_source "$package" "$found" || status=$?
            if ((status == 0)); then
                source_version="$found" source_suite="${CPYTHON_SUITES[index]}"
                break
            fi
            ((status == 2)) || return 1
            touch "$downloads/.not-served-${package}_$found"
        fi
        log "Debian's $package $found (${CPYTHON_SUITES[index]}) is listed but its source is not served"
    done
    if [ -z "$source_version" ]; then
        log "no source of $package in Debian's ${CPYTHON_SUITES[*]} is served: CPython $version cannot be built here"
        CPYTHON_NOT_HERE=1
        return 1
    fi
    local built_from prefix
    built_from="$(printf '%s\n' "CPython $version" "$package source $source_version ($source_suite)" \
        "gcc $(gcc -dumpfullversion)" "configure ${flags[*]:-(default)}" \
        "recipe $(declare -f _cpython_build | sha256sum | cut -c1-16)")"
    prefix="$CPYTHON_CACHE/$version-$source_version-$(sha256sum <<<"$built_from" | cut -c1-12)"
    cpython_runs "$prefix/bin/$executable" "$prefix"
    if [ ! -e "$prefix/.complete" ]; then
        log "building CPython $version from Debian's $package $source_version into $prefix (once: later runs reuse it)"
        local work="$CPYTHON_CACHE/build-$version" times orig
        orig="$(ls "$downloads/${package}_${source_version%-*}".orig.tar.{xz,gz} 2>/dev/null | head -n 1 || true)"
        if [ -z "$orig" ] || [ ! -e "$downloads/${package}_$source_version.debian.tar.xz" ]; then
            log "Debian's $package $source_version came without its upstream tarball or its patches"
            return 1
        fi
        rm -rf "$prefix" "$work"
        mkdir -p "$work"
        times="$work/time"
        # The recipe runs in a shell of its own, timed: any failing step ends it.
        if ! (cd "$work" && /usr/bin/time -f '%e %U %S' -o "$times" bash -c \
            "set -euo pipefail; $(declare -f _cpython_build); _cpython_build \"\$@\"" _ "$prefix" "$orig" \
            "$downloads/${package}_$source_version.debian.tar.xz" "${flags[@]}"); then
            log "the build of CPython $version failed; the end of its last log, in $work:"
            tail -n 40 "$(ls -t "$work"/build/*.log "$work"/*.log 2>/dev/null | head -n 1)" 2>/dev/null || true
            return 1
        fi
        if ! "$prefix/bin/$executable" -c "import ${CPYTHON_REQUIRED_MODULES// /, }"; then
            log "CPython $version lacks a module the tests need"
            return 1
        fi
        local wall user system
        read -r wall user system <"$times"
        built_from+="$(awk -v w="$wall" -v u="$user" -v s="$system" -v n="$(nproc)" \
            'BEGIN { printf "\nbuilt in %.0f s, %.0f s of processor time (%d processors)", w, u + s, n }')"
        printf '%s\n' "$built_from" >"$prefix/BUILT-FROM"
        rm -rf "$work"
        touch "$prefix/.complete"
        log "CPython $version $(tail -n 1 "$prefix/BUILT-FROM")"
    fi
    CPYTHON_INTERPRETER="$prefix/bin/$executable"
}

# 3.14 and 3.15 are had from Debian's binary packages instead: the registry serves none of
# their sources but serves unstable's binary packages, built against unstable's C library, which
# is newer than the host's. They are unpacked with the libraries they depend on, that C
# library and its loader among them, into a root of their own; the interpreter names that
# loader and finds its libraries there (its program header and RPATH point into the root, so
# that its child processes and the venvs' links to it need nothing set in the environment),
# and ensurepip the root's pip wheel.

cpython_unstable_apt_get() { APT_CONFIG="$CPYTHON_CACHE/apt-unstable/apt.conf" apt-get -q "$@"; }

# The private apt configuration for unstable's binary packages, with its own empty status, so
# that a download brings every package the interpreter depends on.
cpython_unstable_apt_setup() {
    local dir="$CPYTHON_CACHE/apt-unstable"
    [ -s "$dir/lists/.fetched" ] && return
    cpython_apt_setup
    log "private apt configuration for Debian's unstable binary packages in $dir"
    rm -rf "$dir"
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/cache" "$dir/sources.list.d"
    : >"$dir/status"
    : >"$dir/sources.list"
    sed -e 's/^Types: .*/Types: deb/' -e 's/^Suites: .*/Suites: unstable/' \
        "$CPYTHON_CACHE/apt/sources.list.d/debian.sources" >"$dir/sources.list.d/debian.sources"
    sed -e "s|$CPYTHON_CACHE/apt|$dir|g" "$CPYTHON_CACHE/apt/apt.conf" >"$dir/apt.conf"
    cpython_unstable_apt_get update -qq || return 1
    date -u >"$dir/lists/.fetched"
}

# The recipe: run in an empty folder, it fills ROOT with the packages' files.
# _cpython_unpack ROOT PACKAGE...: the packages and what they depend on, downloaded and unpacked
# into ROOT, the interpreter pointed at the root's loader and libraries, ensurepip at its wheels.
_cpython_unpack() {
    local root="$1" deb executable
    mkdir -p partial
    APT_CONFIG="$CPYTHON_CACHE/apt-unstable/apt.conf" apt-get -q -y -qq --download-only \
        -o Dir::Cache::archives="$PWD" install "${@:2}" >download.log 2>&1
    mkdir -p "$root"
    for deb in ./*.deb; do
        dpkg -x "$deb" "$root"
    done
    executable="$(ls "$root"/usr/bin/python3.1[0-9] | tail -n 1)"
    patchelf --set-interpreter "$root/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2" \
        --force-rpath --set-rpath "$root/usr/lib/x86_64-linux-gnu" "$executable"
    sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels|'WHEEL_PKG_DIR': '$root/usr/share/python-wheels|" \
        "$root"/usr/lib/python3.*/_sysconfigdata_*.py
    # Debian's pyconfig.h includes its multiarch one as <x86_64-linux-gnu/python3.X/pyconfig.h>,
    # which a module's build finds beside it this way, with no flag of its own.
    ln -s ../x86_64-linux-gnu "$(ls -d "$root"/usr/include/python3.1[0-9])/x86_64-linux-gnu"
}

# cpython_unstable VERSION: sets CPYTHON_INTERPRETER to Debian unstable's CPython VERSION
# (3.14, 3.15), unpacking it first when the cache has none for its version and the recipe.
cpython_unstable() { cpython_locked _cpython_unstable_locked "$@"; }
_cpython_unstable_locked() {
    local version="$1" package="python$1"
    cpython_unstable_apt_setup || return 1
    local binary_version
    binary_version="$(cpython_unstable_apt_get install -s -y "$package" 2>/dev/null |
        sed -nE "s/^Inst $package \(([^ ]+) .*/\1/p" || true)"
    if [ -z "$binary_version" ]; then
        log "Debian's unstable suite has no $package: CPython $version cannot be had here"
        CPYTHON_NOT_HERE=1
        return 1
    fi
    local built_from prefix
    built_from="$(printf '%s\n' "CPython $version" "Debian unstable's binary packages, $package $binary_version" \
        "recipe $(declare -f _cpython_unpack | sha256sum | cut -c1-16)")"
    prefix="$CPYTHON_CACHE/$version-debian-$binary_version-$(sha256sum <<<"$built_from" | cut -c1-12)"
    cpython_runs "$prefix/root/usr/bin/$package" "$prefix"
    if [ ! -e "$prefix/.complete" ]; then
        log "unpacking Debian unstable's $package $binary_version and what it needs into $prefix (once: later runs reuse it)"
        local work="$CPYTHON_CACHE/build-$version" started=$SECONDS
        rm -rf "$prefix" "$work"
        mkdir -p "$work"
        if ! (cd "$work" && _cpython_unpack "$prefix/root" "$package" "$package-venv" "lib$package-dev"); then
            log "unpacking CPython $version failed; the end of its log, in $work:"
            tail -n 20 "$work/download.log" 2>/dev/null || true
            return 1
        fi
        if ! "$prefix/root/usr/bin/$package" -c "import ${CPYTHON_REQUIRED_MODULES// /, }"; then
            log "CPython $version lacks a module the tests need"
            return 1
        fi
        built_from+="$(printf '\nunpacked in %d s' $((SECONDS - started)))"
        printf '%s\n' "$built_from" >"$prefix/BUILT-FROM"
        rm -rf "$work"
        touch "$prefix/.complete"
        log "CPython $version $(tail -n 1 "$prefix/BUILT-FROM")"
    fi
    CPYTHON_INTERPRETER="$prefix/root/usr/bin/$package"
}

# cpython_interpreter VERSION: sets CPYTHON_INTERPRETER to CPython VERSION (one of
# CPYTHON_VERSIONS): the machine's own pyenv build of 3.10, 3.12 or 3.13 where found, Debian
# unstable's 3.14 and 3.15, else one built from Debian's source. CPYTHON_NOT_HERE is set when
# the machine truly cannot have it.
cpython_interpreter() {
    CPYTHON_INTERPRETER="" CPYTHON_NOT_HERE=""
    case "$1" in
        3.10 | 3.12 | 3.13) CPYTHON_INTERPRETER="$(cpython_pyenv "$1")" ;;
    esac
    [ -n "$CPYTHON_INTERPRETER" ] && return
    ensure_apt_packages "${CPYTHON_APT_PACKAGES[@]}"
    case "$1" in
        3.14 | 3.15) cpython_unstable "$1" ;;
        *) cpython_build "$1" ;;
    esac
}

# cpython_venv_name VERSION: the venv of VERSION, .venv-cpython310 ... .venv-cpython315.
cpython_venv_name() { printf 'cpython%s' "${1//./}"; }

# cpython_find VERSION: cpython_interpreter as the stages take it: 0 with CPYTHON_INTERPRETER
# set, 1 when this machine truly cannot have VERSION (no pyenv build, and Debian serves no
# source or package of it), which a stage names in its last line. A build or download that
# failed ends the stage: it is no note.
cpython_find() {
    cpython_interpreter "$1" && return 0
    [ -n "$CPYTHON_NOT_HERE" ] || fail "CPython $1 could not be made here (see above)"
    return 1
}
