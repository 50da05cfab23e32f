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
    "sphinx.ext.autosummary",  # for its autolink role, below
    "sphinx.ext.doctest",
    "numpydoc",
    "sphinx_copybutton",
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
     r"OverflowError|BaseException|Exception|NotImplemented|NaN|nan|.*PathLike.*|(tavrin_estimate\._intervals\.)?ConfidenceInterval|"
     r"PanicException|matplotlib\..*|Axes)"),  # PanicException: not importable, described on the Planes page;
    # matplotlib's classes: intersphinx is off, so another project's pages are not linked
]

# `name` in a docstring links to what it names when that can be imported (and must then
# resolve, as every reference does), and is set in italics otherwise (a parameter's name).
default_role = "autolink"

autodoc_member_order = "bysource"
# The types of the attributes and properties show beside their names; those of the parameters are
# in numpydoc's Parameters sections, which keeps the signatures short.
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
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
    # The five sections in one row, none of them under "More".
    "header_links_before_dropdown": 6,
}
html_show_sourcelink = False
html_last_updated_fmt = None
# The sections sit side by side in the top bar, each section's pages on the left; the front page
# and the tutorial, a section of one page, have none.
html_sidebars: dict[str, list[str]] = {"index": [], "getting-started": [], "**": ["sidebar-nav-bs"]}
html_static_path = ["_static"]
html_css_files = ["tavrin.css"]

# The copy button of a code block copies the commands and Python lines without their prompts,
# and leaves out the output lines of an example.
copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
