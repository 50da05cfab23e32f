#!/usr/bin/env bash
# The module built with -m32 for Debian's i386 PyPy 3.9 and CPython 3.11, and the whole pytest
# suite under each. The interpreters are unpacked into .i386-root (see scripts/i386.sh).
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
source "$ROOT/scripts/i386.sh"

# Everything below runs with a 32-bit personality, so that the interpreters (and pip's wheel
# tags, and the suite's child interpreters) see an i686 machine.
if [ "$(uname -m)" != i686 ]; then
    ensure_apt_packages g++-multilib cmake ninja-build
    exec setarch i686 bash "${BASH_SOURCE[0]}" "$@"
fi

i386_fetch

# 64-bit programs skip the 32-bit libraries in this path; the interpreters and their child
# processes need them.
export LD_LIBRARY_PATH="$I386_LIBRARY_PATH${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
# Without CC/CXX the 32-bit CPython's build configuration asks for i686-linux-gnu-g++. Debian's
# i386 pyconfig.h includes <i386-linux-gnu/python3.11/pyconfig.h> from the sysroot.
export CC=gcc CXX=g++ CXXFLAGS="-m32 -idirafter $I386_SYSROOT/usr/include"
# The host's cmake and ninja build the module; the venvs get the other tools.
tools=()
for tool in "${PIP_TOOLS[@]}"; do
    case "$tool" in cmake | ninja) ;; *) tools+=("$tool") ;; esac
done
PIP_TOOLS=("${tools[@]}")

for name in pypy python3.11; do
    case "$name" in
        pypy) venv=pypy-i386 interpreter="$(i386_interpreter pypy3.9)" ;;
        *) venv=cpython-i386 interpreter="$(i386_interpreter python3.11)" ;;
    esac
    ensure_venv "$venv" "$interpreter"
    # The headers must be the i386 ones from the sysroot: PyPy's 64-bit macros and integer
    # declarations differ.
    include="$("$ROOT/.venv-$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
    case "$include" in
        "$I386_SYSROOT"/*) ;;
        *) log "$venv reports include dir $include, outside $I386_SYSROOT"; exit 1 ;;
    esac
    PATH="/usr/bin:$PATH" install_module "$venv"
done

for venv in pypy-i386 cpython-i386; do
    log "pytest under 32-bit $venv"
    "$ROOT/.venv-$venv/bin/python" -c 'import struct, sys, platform; assert struct.calcsize("P") == 4, "not a 32-bit interpreter"; print(sys.version.split()[0], platform.machine(), sys.implementation.name)'
    "$ROOT/.venv-$venv/bin/python" -m pytest "$ROOT/tests"
done
