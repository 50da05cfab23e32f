"""Draw two real boardings of one seeded run side by side: the first in which the last passenger
sat in their own seat and the first in which they did not, each as its cabin with the chain of
displaced passengers as arrows (Boarding.plot()). Needs matplotlib.

The boardings and the picture are fixed by the seed and carry no date or version, so the
committed docs/boarding.png is what

    python docs/boarding.py --update-docs

writes (with matplotlib as pinned by the test scripts); without --update-docs the picture goes
to build/docs/boarding.png, or to --output PATH (.png or .svg).
"""

from __future__ import annotations

import argparse
from typing import List, Optional

import matplotlib.pyplot as plt
from _figures import add_output_options, chosen_output, save  # first: matplotlib without a display

from tavrin_estimate import Boarding, find_boarding

SEED = 1


def boardings(seed: int) -> List[Boarding]:
    """The first boarding of the default plane's run of `seed` with each outcome."""
    found = [find_boarding(outcome, seed=seed) for outcome in (True, False)]
    assert found[0] is not None and found[1] is not None
    return [found[0], found[1]]


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=SEED)
    add_output_options(parser, "boarding")
    args = parser.parse_args(argv)
    output = chosen_output(args, "boarding")
    shown = boardings(args.seed)
    figure, axes = plt.subplots(1, 2, figsize=(8, 6.4), dpi=110)
    for board, ax in zip(shown, axes):
        board.plot(ax)
    figure.suptitle(f"Two boardings of seed {args.seed} (100 passengers, 100 seats): yellow is passenger 1's seat,"
                    " blue the last passenger's,\nred the seats taken by passengers who found theirs taken;"
                    " arrows go from a drawer's own seat to the seat taken", fontsize=8)
    figure.tight_layout()
    save(figure, output)
    print(f"{output}: boardings {', '.join(str(board.index) for board in shown)} of seed {args.seed}")


if __name__ == "__main__":
    main()
