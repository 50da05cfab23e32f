"""Peak memory per passenger of generate_seating()'s dict, the figure its memory bound uses.

Each size runs in a fresh interpreter of the running kind, which reports the growth of its
peak resident size (ru_maxrss) over one generate_seating() divided by the passengers. The
largest figure, with some room above it, is SEATING_DICT_BYTES_PER_PASSENGER in
src/binding/methods.cpp.
"""

from __future__ import annotations

import subprocess
import sys

SIZES = (700_000, 1_100_000, 1_400_000, 2_800_000, 2_900_000, 4_000_000, 6_000_000, 10_000_000)

CHILD = """
import gc, resource, sys
from tavrin_puzzles import Planes
n = int(sys.argv[1])
plane = Planes(n, n)
Planes(1000, 1000).generate_seating()
gc.collect()
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
seating = plane.generate_seating()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((peak - base) * 1024 / n)
"""


def main() -> None:
    figures = []
    for size in SIZES:
        child = subprocess.run([sys.executable, "-c", CHILD, str(size)], capture_output=True, text=True, check=True)
        figures.append(float(child.stdout))
        print(f"{sys.implementation.name} {size:>10,} passengers: {figures[-1]:6.1f} bytes each", flush=True)
    print(f"{sys.implementation.name} largest: {max(figures):.1f} bytes per passenger")


if __name__ == "__main__":
    main()
