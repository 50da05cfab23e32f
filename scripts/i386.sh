# Debian's i386 PyPy 3.9 and CPython 3.11, fetched and unpacked into $I386_ROOT without
# touching the system: apt runs with a private configuration (its own architecture list,
# package lists, status file and download cache), nothing is installed with dpkg, and the
# host's libc6-i386 (from g++-multilib) supplies the 32-bit loader and C library.
# Source after common.sh.

I386_ROOT="$ROOT/.i386-root"
I386_SYSROOT="$I386_ROOT/sysroot"
I386_APT_DIR="$I386_ROOT/apt"
I386_PACKAGES=(pypy3 pypy3-dev pypy3-venv python3.11 python3.11-venv libpython3.11-dev)
I386_LIBRARY_PATH="$I386_SYSROOT/usr/lib/i386-linux-gnu:$I386_SYSROOT/lib/i386-linux-gnu"

# Apt with the private configuration; the machine's own sources and proxy settings still apply.
i386_apt_get() { APT_CONFIG="$I386_APT_DIR/apt.conf" apt-get -q "$@"; }

i386_write_apt_config() {
    mkdir -p "$I386_APT_DIR/lists/partial" "$I386_APT_DIR/archives/partial" "$I386_APT_DIR/cache"
    : >"$I386_APT_DIR/status"
    cat >"$I386_APT_DIR/apt.conf" <<EOF
APT::Architecture "i386";
APT::Architectures { "i386"; };
APT::Install-Recommends "false";
Dir::State "$I386_APT_DIR";
Dir::State::Lists "$I386_APT_DIR/lists";
Dir::State::status "$I386_APT_DIR/status";
Dir::Cache "$I386_APT_DIR/cache";
Dir::Cache::archives "$I386_APT_DIR/archives";
EOF
}

# The host's package database, to show that fetching changed nothing in it.
i386_host_state() {
    { dpkg --print-foreign-architectures; md5sum </var/lib/dpkg/status; } 2>/dev/null
}

# Downloads the packages and their dependencies, then unpacks all but libc6 into the sysroot.
# A second run finds the marker and does nothing.
i386_fetch() {
    local marker="$I386_SYSROOT/.unpacked"
    if [ "$(cat "$marker" 2>/dev/null)" = "${I386_PACKAGES[*]}" ]; then
        return
    fi
    log "fetching Debian's i386 packages into $I386_ROOT: ${I386_PACKAGES[*]}"
    local host_before
    host_before="$(i386_host_state)"
    i386_write_apt_config
    i386_apt_get update -qq
    # A simulated install first: against the private (empty) status every package is new, and
    # nothing may be removed or be of another architecture.
    local plan
    plan="$(i386_apt_get install -s -y "${I386_PACKAGES[@]}")"
    if grep -q '^Remv ' <<<"$plan" || grep '^Inst ' <<<"$plan" | grep -vqE '\[(i386|all)\]\)'; then
        printf '%s\n' "$plan" >&2
        log "the simulated i386 install would remove packages or mix architectures; stopping"
        return 1
    fi
    i386_apt_get install -y -qq --download-only "${I386_PACKAGES[@]}" >/dev/null
    rm -rf "$I386_SYSROOT"
    mkdir -p "$I386_SYSROOT"
    local deb
    for deb in "$I386_APT_DIR"/archives/*.deb; do
        # The host's libc6-i386 is the loader's own C library; a second one could mismatch it.
        case "$(basename "$deb")" in libc6_*) continue ;; esac
        dpkg -x "$deb" "$I386_SYSROOT"
    done
    if [ "$(i386_host_state)" != "$host_before" ]; then
        log "the host's package database changed while fetching i386 packages"
        return 1
    fi
    printf '%s' "${I386_PACKAGES[*]}" >"$marker"
}

# i386_interpreter NAME: the unpacked interpreter binary (pypy3.9 or python3.11).
i386_interpreter() { printf '%s/usr/bin/%s' "$I386_SYSROOT" "$1"; }
