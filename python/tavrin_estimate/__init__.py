"""Long, large and reproducible runs of the boarding puzzle.

`estimate` counts boardings with a seeded kernel built from the same model as
`tavrin_puzzles.Planes`: the boardings of a seed are numbered and cut into blocks, and each
block draws its random words from its own ChaCha12 stream of the seed, so the same seed gives
the same count on any number of threads, machines and interruptions. The result, an
`Estimate`, holds the exact count, the seed and the ranges of boardings counted, the Wilson
score interval, the closed-form answer where the boarding rules give one, and the rate. Runs
go on the calling machine, on a Dask cluster or on any concurrent.futures executor; Ctrl-C stops a run
within about a call and raises `EstimateInterrupted` carrying the partial result, which a
later ``estimate(..., resume=partial)`` continues. ``python -m tavrin_estimate --help`` is the
command line; ``python -m tavrin_estimate replay FILE`` runs a saved result again. ``boarding()``
replays any one boarding of a seeded run seat by seat, to print, draw or show in a notebook.
"""

from ._boarding import Boarding, boarding, find_boarding
from ._counting import Span, default_block_size, seed_key
from ._estimate import EstimateFailed, EstimateInterrupted, estimate
from ._result import Estimate, Part, Provenance, exact_answer, wilson_interval
from ._store import FileRefused
from ._version import __version__

__all__ = [
    "Boarding",
    "Estimate",
    "EstimateFailed",
    "EstimateInterrupted",
    "FileRefused",
    "Part",
    "Provenance",
    "Span",
    "__version__",
    "boarding",
    "default_block_size",
    "estimate",
    "exact_answer",
    "find_boarding",
    "seed_key",
    "wilson_interval",
]
