#!/usr/bin/env bash
# The main job: install the module and estimate, on the default plane (100 passengers,
# 100 seats), how often the last passenger finds their own seat free.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ITERATIONS="${1:-1000000}"
ensure_venv cpython python3
install_module cpython
"$ROOT/.venv-cpython/bin/python" -c "
import tavrin_puzzles
planes = tavrin_puzzles.Planes()
print(f'passengers={planes.passengers} seats={planes.seats} cols={\"\".join(planes.cols)}')
print(f'estimate over $ITERATIONS boardings: {planes.run_simulations($ITERATIONS)}')
"
