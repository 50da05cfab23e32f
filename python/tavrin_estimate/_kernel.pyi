"""The seeded counting kernel (native): reproducible counts of boardings, by blocks."""

from typing import overload

@overload
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
    position: None = None,
) -> tuple[int, bytes]:
    """Count boardings [start, stop) of the seeded run keyed by `key` (``seed_key(seed)``).

    Returns (successes, per_block): per_block holds one little-endian 32-bit count per block
    touched, blocks start // block_size to (stop - 1) // block_size, the edge blocks counting
    only the range; empty for an empty range. threads=0 takes TAVRIN_PUZZLES_WORKER_THREADS or
    the processors available; neither threads nor block_function changes a count. The
    extension's own docstring documents every parameter and error.
    """

@overload
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
    position: int,
) -> tuple[int, bytes, int]:
    """The same, going on from word `position` of the block's stream (0 where a block begins),
    and saying where the next boarding would begin: (successes, per-block counts, stop position)."""

def board(
    passengers: int,
    seats: int,
    cols: str,
    key: bytes,
    block_size: int,
    index: int,
    *,
    block_function: str | None = None,
    position: int | None = None,
) -> tuple[bool, bytes, bytes, bytes, int]:
    """Boarding `index` of the seeded run keyed by `key`, from the words count() takes for it:
    (outcome, tickets, drawers, places, stop_position), the three byte strings little-endian
    32-bit words. `position`: the word of its block's stream where the boarding begins."""

def block_functions() -> list[str]:
    """The block functions this processor runs, fastest first."""

def lanes(seats: int, /) -> int:
    """The blocks of a plane of `seats` seats that one worker thread counts at once with the
    fastest block function (1 where a thread counts one block at a time)."""
