# Shared set-up for the scripts: Debian packages, one virtual environment per interpreter,
# and the module built and installed into it. Every step is skipped when already done, so a
# second run reuses what the first installed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
APT_PACKAGES=(pypy3 pypy3-dev pypy3-venv g++-multilib libgtest-dev cmake ninja-build binutils)
PIP_TOOLS=(pytest hypothesis "scikit-build-core>=0.11" cmake ninja)

log() { printf '\n==> %s\n' "$*"; }

# ensure_apt_packages [PACKAGE...]: installs the packages (default: APT_PACKAGES) not yet there.
ensure_apt_packages() {
    local missing=() wanted=("$@")
    ((${#wanted[@]})) || wanted=("${APT_PACKAGES[@]}")
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    if ((${#missing[@]})); then
        log "installing Debian packages: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# ensure_venv NAME INTERPRETER [TOOL...]: a venv at $ROOT/.venv-NAME with the build and test
# tools and any further ones named.
ensure_venv() {
    local venv="$ROOT/.venv-$1" interpreter="$2"
    local tools=("${PIP_TOOLS[@]}" "${@:3}")
    if [ ! -x "$venv/bin/python" ]; then
        log "creating $venv with $interpreter"
        "$interpreter" -m venv "$venv"
    fi
    # The marker holds the list it was made for, so a tool added later is installed next run.
    if [ "$(cat "$venv/.tools-installed" 2>/dev/null)" != "${tools[*]}" ]; then
        log "installing build and test tools into $venv"
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q "${tools[@]}"
        printf '%s' "${tools[*]}" >"$venv/.tools-installed"
    fi
}

# Every module build of the scripts: warnings as errors, and a build folder per wheel tag apart
# from the one a plain `pip install .` uses, so neither makes the other build from scratch.
SCRIPT_BUILD_SETTINGS=(--config-settings=build-dir=build/scripts/{wheel_tag}
    --config-settings=cmake.define.TAVRIN_WERROR=ON)

# install_module NAME: builds the module (incrementally, in build/scripts/<wheel tag>) into the venv.
install_module() {
    local venv="$ROOT/.venv-$1"
    log "building and installing tavrin_puzzles into $venv"
    (cd "$ROOT" && PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation \
        "${SCRIPT_BUILD_SETTINGS[@]}" .)
}
