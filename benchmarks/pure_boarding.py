"""The boarding puzzle written the straightforward way in plain Python: the yardstick that the
extension module is measured against. Seats are label strings ("7A"), the tickets a dict from
passenger number to label, the free seats a list searched and shrunk with `in` and
`list.remove`, every draw `random.shuffle` / `random.choice`.

Run as a script it measures boardings per second for the sizes given on the command line and
prints one JSON object {"interpreter": ..., "rates": {size: boardings per second}}.
"""

from __future__ import annotations

import argparse
import json
import platform
import random
import time

DEFAULT_COLS = "ABCDEF"


def generate_seating(passengers: int, seats: int, cols: str = DEFAULT_COLS) -> dict[int, str]:
    """Every seat labelled, the labels shuffled, passenger p given the label at place p - 1."""
    labels = [f"{number}{cols[(number - 1) % 6]}" for number in range(1, seats + 1)]
    random.shuffle(labels)
    if passengers > seats:
        raise ValueError("Seat on a plane")
    return {passenger: labels[passenger - 1] for passenger in range(1, passengers + 1)}


def run_simulation(passengers: int, seats: int, cols: str = DEFAULT_COLS) -> bool:
    """One boarding: True when the last passenger ends up in their own seat."""
    seating = generate_seating(passengers, seats, cols)
    free = list(seating.values())
    current = None
    for passenger in range(1, passengers + 1):
        own = seating[passenger]
        if passenger != 1 and own in free:
            current = own
        else:
            current = random.choice(free)
        free.remove(current)
    return current == seating[passengers]


def boardings_per_second(passengers: int, budget: float) -> float:
    """Boards Planes(passengers, passengers) until `budget` seconds have passed (at least once)."""
    count = 0
    start = time.perf_counter()
    deadline = start + budget
    while True:
        run_simulation(passengers, passengers)
        count += 1
        now = time.perf_counter()
        if now >= deadline:
            return count / (now - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sizes", type=int, nargs="+", help="passengers (and seats) per plane")
    parser.add_argument("--budget", type=float, default=1.5, help="seconds per size")
    args = parser.parse_args()
    # A short warm-up, so that PyPy's JIT has compiled the loop before it is timed.
    boardings_per_second(min(args.sizes), min(args.budget, 0.5))
    rates = {size: boardings_per_second(size, args.budget) for size in args.sizes}
    print(json.dumps({"interpreter": platform.python_implementation(), "rates": rates}))


if __name__ == "__main__":
    main()
