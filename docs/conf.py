"""Sphinx configuration of the tavrin_puzzles documentation.

Built by `bash scripts/test.sh docs` (or `sphinx-build -W -b html docs build/docs/html` in a venv
where the module is installed): warnings are errors, no network is used (no intersphinx), and
the figure and the test-vector table are made afresh by docs/_ext/tavrin_docs.py on every build.
"""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

from tavrin_estimate import __version__  # the installed package is documented

project = "tavrin_puzzles"
author = "tavrin_puzzles developers"
copyright = "the tavrin_puzzles developers, MIT licence"
version = release = __version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "numpydoc",
    "tavrin_docs",
]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "_generated/*.inc"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# Every cross-reference must resolve; only those into the standard library and the typing module,
# which intersphinx would resolve but which stays off (no network), are let through.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:(class|obj|exc|func|data)",
     r"(int|str|bytes|bool|float|object|None|tuple|list|dict|callable|optional|default.*|Path|os\..*|"
     r"array(\.array)?|fractions\.Fraction|Fraction|typing\..*|Optional|Tuple|Callable|Any|"
     r"concurrent\.futures\..*|KeyboardInterrupt|RuntimeError|ValueError|TypeError|MemoryError|"
     r"OverflowError|BaseException|Exception|NotImplemented|NaN|nan|.*PathLike.*|ConfidenceInterval|"
     r"PanicException)"),  # PanicException: not importable, described on the Planes page
]

autodoc_member_order = "bysource"
autodoc_typehints = "none"  # numpydoc's Parameters sections say the types
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
# Every parameter of a documented function is described, and nothing that is not one.
numpydoc_validation_checks = {"PR01", "PR02"}

# The examples of the pages and of the docstrings run under `sphinx-build -b doctest`.
doctest_global_setup = f"import pathlib\nDOCS = pathlib.Path({str(HERE)!r})"
doctest_test_doctest_blocks = "default"

html_theme = "pydata_sphinx_theme"
html_title = f"tavrin_puzzles {version}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": [],
    "secondary_sidebar_items": ["page-toc"],
    "navbar_end": ["theme-switcher"],
}
html_show_sourcelink = False
html_last_updated_fmt = None
# The pages sit side by side in the top bar; the empty section navigation on the left would only
# narrow the tables.
html_sidebars: dict[str, list[str]] = {"**": []}
html_static_path = ["_static"]
html_css_files = ["tavrin.css"]
