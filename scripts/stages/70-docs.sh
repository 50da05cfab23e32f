#!/usr/bin/env bash
# The documentation site (docs/): its scripts under mypy --strict; the published test vectors
# computed again by the kernel and by the plain-Python oracle; the site built by Sphinx with
# warnings as errors and every cross-reference resolved (the convergence, anytime and boarding
# figures drawn again from their seeds during the build and compared with the committed ones); the examples of the pages and
# docstrings run by Sphinx's doctest builder and the README's by doctest; every internal link,
# image and anchor of the built pages checked; and the front page and six more (the one-half
# page's boardings drawn among them) opened in headless Chromium, their screenshots saved in
# build/docs/screenshots/. No network:
# intersphinx is off, the theme's assets are local, and external links are not followed.
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

# The docs dependency group of pyproject.toml; their versions, and those of what they bring,
# are pinned in scripts/constraints.txt.
mapfile -t DOCS_TOOLS < <(dependency_group docs)
OUT="$ROOT/build/docs"
PYTHON="$ROOT/.venv-docs/bin/python"

ensure_apt_packages chromium
# A venv of its own, so that this stage runs beside those that share .venv-cpython.
ensure_venv docs python3 "${DOCS_TOOLS[@]}"
install_module docs

log "mypy --strict over the documentation's scripts and extension"
MYPYPATH="$ROOT/tests:$ROOT/docs/_ext" "$PYTHON" -m mypy --strict --cache-dir "$ROOT/build/mypy-docs" \
    "$ROOT/docs/conf.py" "$ROOT/docs/_ext/tavrin_docs.py" "$ROOT/docs/test_vectors.py" "$ROOT/docs/check_site.py"

log "the test vectors computed again by the kernel on every block function and by the oracle"
"$PYTHON" "$ROOT/docs/test_vectors.py" --check

# -E: the pages document the installed module, whose changes Sphinx's saved state cannot see.
log "sphinx-build -W -n: the HTML site, warnings as errors, every reference resolved"
nice "$PYTHON" -m sphinx -E -W -n --keep-going -q -b html -d "$OUT/doctrees" "$ROOT/docs" "$OUT/html"

log "the examples of the pages and the docstrings (sphinx doctest builder)"
nice "$PYTHON" -m sphinx -W --keep-going -q -b doctest -d "$OUT/doctrees" "$ROOT/docs" "$OUT/doctest" 2>/dev/null ||
    { cat "$OUT/doctest/output.txt"; fail "a documented example failed (see $OUT/doctest/output.txt)"; }
grep -E "^ +[0-9]+ tests$" "$OUT/doctest/output.txt" | sed 's/^ */    documented examples: /'

log "the README's examples (doctest)"
(cd "$OUT" && "$PYTHON" "$ROOT/tests/package/readme_examples.py" "$ROOT/README.md" 2>/dev/null)

log "every internal link, image and anchor of the built pages"
"$PYTHON" "$ROOT/docs/check_site.py" "$OUT/html"

# The pages with the longest code blocks and the widest tables too, to look at their layout.
SHOWN_PAGES=(index reproducibility getting-started how-to/long-runs reference/command-line reference/tavrin_estimate why-one-half)
log "the front page and six others in headless Chromium, 1280 px wide"
mkdir -p "$OUT/screenshots"
profile="$(mktemp -d)"
trap 'rm -rf "$profile"' EXIT
for page in "${SHOWN_PAGES[@]}"; do
    shot="$OUT/screenshots/${page//\//-}.png"
    rm -f "$shot"
    # Root needs --no-sandbox; the virtual time budget lets the page's scripts and fonts settle.
    timeout 120 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run \
        --disable-extensions --user-data-dir="$profile" --window-size=1280,1800 --virtual-time-budget=5000 \
        --screenshot="$shot" "file://$OUT/html/$page.html" >"$OUT/chromium-${page//\//-}.log" 2>&1 ||
        { tail -n 20 "$OUT/chromium-${page//\//-}.log"; fail "Chromium could not open $page.html"; }
    # A blank page compresses to a few kilobytes; a rendered one with text to far more.
    size="$(stat -c %s "$shot" 2>/dev/null || echo 0)"
    ((size > 50000)) || fail "the screenshot of $page.html is missing or blank ($size bytes)"
    printf '    %s (%d bytes)\n' "${shot#"$ROOT"/}" "$size"
done
