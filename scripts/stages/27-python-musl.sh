#!/usr/bin/env bash
# Lane: musl (these share the musl interpreters, their venvs, zig and the musl builds)
# The module and the companion built for CPython 3.11 on x86-64 musl and on i386 musl, and the
# whole pytest suite under each. The interpreters are built once and cached outside the work
# tree (see scripts/musl.sh); the module is compiled by zig's Clang with libc++ linked in.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
source "$ROOT/scripts/musl.sh"

ensure_apt_packages "${MUSL_APT_PACKAGES[@]}"
musl_tools
for arch in "${MUSL_ARCHES[@]}"; do
    musl_venv "$arch"
    musl_install_module "$arch"
done

for arch in "${MUSL_ARCHES[@]}"; do
    python="$(musl_venv_of "$arch")/bin/python"
    log "pytest under CPython on $arch musl"
    musl_run "$arch" "$python" -c 'import platform, struct, sys, sysconfig, tavrin_puzzles
print(sys.version.split()[0], platform.machine(), platform.libc_ver(), struct.calcsize("P") * 8, "bits",
      sysconfig.get_config_var("EXT_SUFFIX"))'
    musl_run "$arch" "$python" -m pytest "$ROOT/tests"
done
