"""The project's own Sphinx extension.

- The figures (convergence.png, anytime.png, boarding.png) are drawn again from their seeds at the start of
  every build, into docs/_generated/, which the pages show; a drawing that differs from the
  committed one in docs/ is a warning (an error under -W).
- ``.. command-help:: run`` (or ``replay``, ``show``) shows the command line's help as argparse prints it,
  so the reference page is the parser's own text.
- ``.. test-vectors:: keys`` (or ``blocks``, ``counts``) shows docs/test-vectors.json as a table.
"""

from __future__ import annotations

import filecmp
import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

from docutils import nodes  # type: ignore[import-untyped]
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

DOCS = Path(__file__).resolve().parent.parent
GENERATED = DOCS / "_generated"
VECTORS = DOCS / "test-vectors.json"
HELP_COLUMNS = "76"  # what the article column holds at 1280 px without wrapping again

logger = logging.getLogger(__name__)


FIGURES = ("convergence", "anytime", "boarding")


def draw_figures(app: Sphinx) -> None:
    GENERATED.mkdir(exist_ok=True)
    for name in FIGURES:
        drawn = GENERATED / f"{name}.png"
        # The doctest builder shows no picture: one drawn by an earlier build is enough for it.
        if app.builder.name == "doctest" and drawn.exists():
            continue
        subprocess.run([sys.executable, str(DOCS / f"{name}.py"), "--output", str(drawn)], check=True,
                       stdout=subprocess.DEVNULL)
        if not filecmp.cmp(drawn, DOCS / f"{name}.png", shallow=False):
            logger.warning("docs/%s.py drew a picture that differs from docs/%s.png:"
                           " redraw it with --update-docs (or pin matplotlib and Pillow as the scripts do)", name, name)


class CommandHelp(SphinxDirective):
    required_arguments = 1

    def run(self) -> List[nodes.Node]:
        from tavrin_estimate import __main__ as cli

        parsers = {"run": cli._parser, "replay": cli._replay_parser, "show": cli._show_parser}
        which = self.arguments[0]
        if which not in parsers:
            raise self.error(f"command-help takes one of {', '.join(parsers)}, not {which!r}")
        before = os.environ.get("COLUMNS")
        os.environ["COLUMNS"] = HELP_COLUMNS
        try:
            text = parsers[which]().format_help()
        finally:
            if before is None:
                del os.environ["COLUMNS"]
            else:
                os.environ["COLUMNS"] = before
        block = nodes.literal_block(text, text)
        block["language"] = "text"
        return [block]


def _cell(value: Any) -> nodes.entry:
    text = " ".join(str(item) for item in value) if isinstance(value, list) else str(value)
    return nodes.entry("", nodes.paragraph("", "", nodes.literal(text, text)))


def _row(cells: List[nodes.entry]) -> nodes.row:
    row = nodes.row()
    row.extend(cells)
    return row


class TestVectors(SphinxDirective):
    required_arguments = 1

    # Per table: (heading, what a cell shows of an entry).
    COLUMNS: Dict[str, List[Tuple[str, Callable[[Dict[str, Any]], Any]]]] = {
        "keys": [("seed", lambda e: e["seed"]), ("key", lambda e: e["key"])],
        "blocks": [("seed", lambda e: e["seed"]), ("stream", lambda e: e["stream"]),
                   ("counter", lambda e: e["counter"]), ("words", lambda e: e["words"])],
        "counts": [("seed", lambda e: e["seed"]),
                   ("passengers, seats, cols", lambda e: f"{e['passengers']}, {e['seats']}, {e['cols']}"),
                   ("block size", lambda e: e["block_size"]),
                   ("[start, stop)", lambda e: f"[{e['start']}, {e['stop']})"),
                   ("successes", lambda e: e["successes"]), ("per_block", lambda e: e["per_block"])],
    }

    def run(self) -> List[nodes.Node]:
        which = self.arguments[0]
        if which not in self.COLUMNS:
            raise self.error(f"test-vectors takes one of {', '.join(self.COLUMNS)}, not {which!r}")
        self.env.note_dependency(str(VECTORS))
        entries = json.loads(VECTORS.read_text())[which]
        columns = self.COLUMNS[which]
        group = nodes.tgroup(cols=len(columns))
        group.extend(nodes.colspec(colwidth=1) for _ in columns)
        head = nodes.thead("", _row([nodes.entry("", nodes.paragraph(name, name)) for name, _ in columns]))
        body = nodes.tbody()
        body.extend(_row([_cell(show(entry)) for _, show in columns]) for entry in entries)
        group += head
        group += body
        table = nodes.table("", group, classes=["test-vectors"])
        return [table]


def setup(app: Sphinx) -> Dict[str, Any]:
    app.connect("builder-inited", draw_figures)
    app.add_directive("command-help", CommandHelp)
    app.add_directive("test-vectors", TestVectors)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
