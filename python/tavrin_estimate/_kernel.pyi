"""The seeded counting kernel (native): reproducible counts of boardings, by blocks."""

def count(
    passengers: int,
    seats: int,
    cols: str,
    key: bytes,
    block_size: int,
    start: int,
    stop: int,
    *,
    threads: int = 0,
    block_function: str | None = None,
) -> tuple[int, bytes]:
    """Count boardings [start, stop) of the seeded run keyed by `key` (``seed_key(seed)``).

    Returns (successes, per_block): per_block holds one little-endian 32-bit count per block
    touched, blocks start // block_size to (stop - 1) // block_size, the edge blocks counting
    only the range; empty for an empty range. threads=0 takes TAVRIN_PUZZLES_WORKER_THREADS or
    the processors available; neither threads nor block_function changes a count. The
    extension's own docstring documents every parameter and error.
    """

def block_functions() -> list[str]:
    """The block functions this processor runs, fastest first."""
