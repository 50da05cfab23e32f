#!/usr/bin/env bash
# The main job: install the module and estimate, on the default plane (100 passengers,
# 100 seats), how often the last passenger finds their own seat free, with its confidence
# interval and the exact answer. Any further arguments go to `python -m tavrin_estimate`.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv cpython python3
install_module cpython
"$ROOT/.venv-cpython/bin/python" -m tavrin_estimate "${@:-1000000}"
