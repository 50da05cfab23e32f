#!/usr/bin/env bash
# The main job: install the module and estimate, on the default plane (100 passengers,
# 100 seats), how often the last passenger finds their own seat free, with its confidence
# interval and the exact answer. Any further arguments go to `python -m tavrin_estimate`.
# It installs only what building and running need: scikit-build-core into .venv-cpython, and
# CMake and Ninja from PyPI only where the system has none (or a CMake older than 3.19).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PIP_TOOLS=(scikit-build-core)
cmake_version="$(cmake --version 2>/dev/null | sed -nE '1s/^cmake version ([0-9.]+).*/\1/p')"
if [ -z "$cmake_version" ] || [ "$(printf '%s\n' 3.19 "$cmake_version" | sort -V | head -n 1)" != 3.19 ]; then
    PIP_TOOLS+=(cmake)
fi
command -v ninja >/dev/null || PIP_TOOLS+=(ninja)

ensure_venv cpython python3
install_module cpython
log "estimating: python -m tavrin_estimate ${*:-1000000}"
"$ROOT/.venv-cpython/bin/python" -m tavrin_estimate "${@:-1000000}"
