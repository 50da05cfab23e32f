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
    """Count boardings [start, stop): (successes, per-block counts as little-endian uint32)."""

def block_functions() -> list[str]:
    """The block functions this processor runs, fastest first."""
