"""The version of this package: that of the distribution that installs it, tavrin_puzzles, read
from its metadata, so that pyproject.toml's `version` is the one place it is written."""

from __future__ import annotations

from importlib import metadata

DISTRIBUTION = "tavrin_puzzles"
# What a source tree that was never installed reports: it has no metadata to read.
NOT_INSTALLED = "0+unknown"

try:
    __version__ = metadata.version(DISTRIBUTION)
except metadata.PackageNotFoundError:
    __version__ = NOT_INSTALLED
