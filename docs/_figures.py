"""What the documentation's figure scripts share: matplotlib without a display, where each
picture goes, and files that carry nothing but the drawing (no date, no matplotlib version, no
random ids), so that one seed always draws the same bytes."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Dict, Optional

try:
    import matplotlib
except ImportError:
    sys.exit(f"docs/{Path(sys.argv[0]).name} draws with matplotlib: pip install matplotlib"
             " (or the extra: pip install '.[plot]')")

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt
from matplotlib.figure import Figure

ROOT = Path(__file__).resolve().parent.parent
# What would make two drawings of the same run differ: the date and matplotlib's version in the
# file's metadata, and the random ids of an SVG's elements.
METADATA: Dict[str, Dict[str, Optional[str]]] = {"png": {"Software": None}, "svg": {"Date": None, "Creator": None}}
SVG_HASH_SALT = "tavrin_puzzles"


def add_output_options(parser: argparse.ArgumentParser, name: str) -> None:
    """--output PATH, or --update-docs for the committed docs/NAME.png."""
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--output", type=Path, help=f"default build/docs/{name}.png")
    where.add_argument("--update-docs", action="store_true", help=f"write docs/{name}.png")


def chosen_output(args: argparse.Namespace, name: str) -> Path:
    """Where the options of add_output_options send the picture; its folder is made."""
    output: Path = ROOT / "docs" / f"{name}.png" if args.update_docs else args.output or ROOT / "build" / "docs" / f"{name}.png"
    output.parent.mkdir(parents=True, exist_ok=True)
    return output


def save(figure: Figure, output: Path) -> None:
    """Writes `figure` as PNG or SVG, as the same bytes for the same drawing, and closes it."""
    kind = output.suffix.lstrip(".").lower()
    if kind not in METADATA:
        raise SystemExit(f"{output}: draws .png or .svg files only")
    with matplotlib.rc_context({"svg.hashsalt": SVG_HASH_SALT}):
        figure.savefig(output, metadata=METADATA[kind])
    plt.close(figure)
