# Shared set-up for the scripts: Debian packages, one virtual environment per interpreter,
# and the module built and installed into it. Every step is skipped when already done, so a
# second run reuses what the first installed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
APT_PACKAGES=(pypy3 pypy3-dev pypy3-venv g++-multilib libgtest-dev cmake ninja-build)
PIP_TOOLS=(pytest hypothesis "scikit-build-core>=0.10" cmake ninja)

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

# ensure_venv NAME INTERPRETER: a venv at $ROOT/.venv-NAME with the build and test tools.
ensure_venv() {
    local venv="$ROOT/.venv-$1" interpreter="$2"
    if [ ! -x "$venv/bin/python" ]; then
        log "creating $venv with $interpreter"
        "$interpreter" -m venv "$venv"
    fi
    # The marker holds the list it was made for, so a tool added later is installed next run.
    if [ "$(cat "$venv/.tools-installed" 2>/dev/null)" != "${PIP_TOOLS[*]}" ]; then
        log "installing build and test tools into $venv"
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q "${PIP_TOOLS[@]}"
        printf '%s' "${PIP_TOOLS[*]}" >"$venv/.tools-installed"
    fi
}

# install_module NAME: builds the module (incrementally, in build/<wheel tag>) into the venv.
install_module() {
    local venv="$ROOT/.venv-$1"
    log "building and installing tavrin_puzzles into $venv"
    (cd "$ROOT" && PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -q --no-build-isolation \
        --config-settings=cmake.define.TAVRIN_WERROR=ON .)
}
