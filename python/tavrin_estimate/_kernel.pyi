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
    """Count boardings [start, stop): (successes, per-block counts as little-endian uint32)."""

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

def block_functions() -> list[str]:
    """The block functions this processor runs, fastest first."""
