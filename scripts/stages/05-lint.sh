#!/usr/bin/env bash
# The Python code's lint and the project's layout, in a venv of the lint dependency group:
# the pre-commit hooks (.pre-commit-config.yaml, all local) on every tracked file, ruff among
# them; then sp-repo-review, the Scientific Python development guide's checks of the
# repository, each of which must pass or be ignored with its reason in pyproject.toml.
# mypy, one of the hooks, is left to the companion stage, which has the module and the
# companion's optional dependencies installed for it.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

VENV="$ROOT/.venv-lint"
mapfile -t LINT_TOOLS < <(dependency_group lint)
ensure_venv lint python3 "${LINT_TOOLS[@]}"

log "the pre-commit hooks on every tracked file (mypy aside)"
# pre-commit keeps its state in build/, not in the user's cache; its hooks need no download.
(cd "$ROOT" && PATH="$VENV/bin:$PATH" PRE_COMMIT_HOME="$ROOT/build/pre-commit" SKIP=mypy \
    "$VENV/bin/pre-commit" run --all-files --show-diff-on-failure --color never)

log "sp-repo-review: the repository against the Scientific Python development guide"
"$VENV/bin/python" "$ROOT/scripts/review_layout.py" "$ROOT"
