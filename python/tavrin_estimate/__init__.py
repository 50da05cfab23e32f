"""Long and large runs of the boarding puzzle on top of `tavrin_puzzles.Planes`.

`estimate()` runs the boardings as a sequence of short `run_simulations` calls (or as tasks on a
Dask cluster) and returns an `Estimate`: the exact count of boardings in which the last passenger
found their own seat, the Wilson score interval, the puzzle's closed-form answer where the
boarding rules give one, and the rate. Ctrl-C stops a run within about one call and raises
`EstimateInterrupted` carrying the partial result; results of one plane add up, so a run can be
continued later (`estimate(..., resume=partial)`). `python -m tavrin_estimate --help` is the
command line.
"""

from ._counting import count_from_fraction
from ._estimate import EstimateInterrupted, estimate
from ._result import Estimate, exact_answer, wilson_interval

__all__ = [
    "Estimate",
    "EstimateInterrupted",
    "count_from_fraction",
    "estimate",
    "exact_answer",
    "wilson_interval",
]
