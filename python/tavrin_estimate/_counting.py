"""Seeds, blocks and the boarding ranges a result holds.

The boardings of one seed are numbered from 0 and cut into blocks of `block_size`: boarding g
belongs to block g // block_size, and block i draws all its random words from ChaCha12 keyed by
sha256(seed) with stream number i. A count therefore depends only on the seed, the plane, the
block size and the range counted, never on how the work was split between calls, threads or
machines. A result holds, per seed, sorted disjoint ranges [start, stop) with their counts and,
where kept, the count of each block they touch.
"""

from __future__ import annotations

import bisect
import dataclasses
import hashlib
import operator
import secrets
import sys
from array import array
from typing import Iterable, Iterator, List, Optional, Sequence, Tuple

from ._plane import check_count

# Boardings are numbered by the kernel's unsigned 64-bit positions: a range ends at most here.
MAX_BOARDING = 2**64 - 1
MAX_BLOCK_SIZE = 2**32 - 1
# A block is about this many seat-shuffles of work (tens of milliseconds), at most this long.
BLOCK_WORK = 2**23
MAX_DEFAULT_BLOCK_SIZE = 2**16
# Bits of a seed drawn from the operating system when none is given.
SEED_BITS = 128
# A result keeps its per-block counts while a seed's ranges touch at most this many blocks
# (4 MiB of counts; 6.9e10 boardings of the default plane); beyond, only range totals stay.
MAX_KEPT_BLOCKS = 2**20

# Seeds are below 2**MAX_SEED_BITS (1,234 decimal digits at most): far beyond any use, and
# small enough that no conversion of one takes time or meets CPython's limit of 4300 digits.
MAX_SEED_BITS = 4096
MAX_SEED_DIGITS = len(str(2**MAX_SEED_BITS - 1))
TOO_LARGE_SEED = f"a seed is below 2**{MAX_SEED_BITS} (at most {MAX_SEED_DIGITS:,} decimal digits)"


def check_seed(seed: object) -> int:
    """The seed as a non-negative int (anything with an integer value; bools refused)."""
    if isinstance(seed, bool):
        raise TypeError("seed must be an int, not bool")
    try:
        value = operator.index(seed)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"seed must be an int, not {type(seed).__name__}") from None
    if value < 0:
        raise ValueError(f"seed must not be negative, got {value}")
    if value.bit_length() > MAX_SEED_BITS:
        raise ValueError(f"{TOO_LARGE_SEED}; this one has {value.bit_length():,} bits")
    return value


def new_seed() -> int:
    """A fresh seed of SEED_BITS bits from the operating system's entropy."""
    return secrets.randbits(SEED_BITS)


def seed_key(seed: int) -> bytes:
    """The kernel's 32-byte ChaCha12 key of a seed.

    The SHA-256 digest of the seed's little-endian bytes, at least one: seed 0 is the single
    byte 00, seed 256 the bytes 00 01.

    Parameters
    ----------
    seed : int
        A non-negative int of any size.

    Returns
    -------
    bytes
        32 bytes, read by the kernel as eight little-endian words of the ChaCha12 key.

    Examples
    --------
    >>> import hashlib
    >>> from tavrin_estimate import seed_key
    >>> seed_key(0) == hashlib.sha256(bytes([0])).digest()
    True
    >>> seed_key(256) == hashlib.sha256(bytes([0, 1])).digest()
    True
    """
    return hashlib.sha256(seed.to_bytes(max(1, (seed.bit_length() + 7) // 8), "little")).digest()


def seed_text(seed: int) -> str:
    """The seed in decimal."""
    return str(seed)


def parse_seed(text: str) -> int:
    """The seed written by seed_text(); ValueError for anything but decimal digits, and for a
    seed too large (refused by its length, before any conversion)."""
    if not text.isascii() or not text.isdigit():
        raise ValueError(f"a seed is written in decimal digits, not {text[:40]!r}")
    if len(text.lstrip("0")) > MAX_SEED_DIGITS:
        raise ValueError(f"{TOO_LARGE_SEED}; this one has {len(text.lstrip('0')):,} digits")
    return check_seed(int(text.lstrip("0") or "0"))


def default_block_size(seats: int) -> int:
    """The block size `estimate` takes when none is given.

    The largest power of two that is at most both ``2**23 // max(seats, 1)`` and 2**16 (and at
    least 1): a block is a few tens of milliseconds of work.

    Parameters
    ----------
    seats : int
        Seats of the plane.

    Returns
    -------
    int

    Examples
    --------
    >>> from tavrin_estimate import default_block_size
    >>> default_block_size(100), default_block_size(1000), default_block_size(10**7)
    (65536, 8192, 1)
    """
    most = BLOCK_WORK // max(seats, 1)
    size = 1
    while size * 2 <= min(most, MAX_DEFAULT_BLOCK_SIZE):
        size *= 2
    return size


def check_block_size(block_size: object) -> int:
    return check_count("block_size", block_size, least=1, most=MAX_BLOCK_SIZE)


def touched_blocks(start: int, stop: int, block_size: int) -> int:
    """How many blocks the boardings [start, stop) touch."""
    return 0 if stop <= start else (stop - 1) // block_size - start // block_size + 1


def block_bounds(start: int, stop: int, block_size: int) -> Iterator[Tuple[int, int]]:
    """The part of [start, stop) in each block it touches, in order."""
    low = start
    while low < stop:
        high = min(stop, (low // block_size + 1) * block_size)
        yield low, high
        low = high


def counts_from_bytes(data: bytes) -> array:  # type: ignore[type-arg]
    """Per-block counts from their little-endian 32-bit form."""
    counts = array("I")
    if counts.itemsize != 4:  # pragma: no cover - every Linux target has a 4-byte unsigned int
        counts = array("L")
    counts.frombytes(data)
    if sys.byteorder == "big":  # pragma: no cover
        counts.byteswap()
    return counts


def counts_to_bytes(counts: Iterable[int]) -> bytes:
    """The little-endian 32-bit form of per-block counts."""
    values = array("I", counts)
    if sys.byteorder == "big":  # pragma: no cover
        values.byteswap()
    return values.tobytes()


@dataclasses.dataclass(frozen=True)
class Span:
    """A range of boardings of one seed and its counts; an item of `Part.spans`.

    Parameters
    ----------
    start, stop : int
        The boardings [start, stop), 0 <= start < stop <= 2**64 - 1.
    successes : int
        How many of them had the last passenger in their own seat.
    blocks : bytes, optional
        The count of every block the range touches, in block order, as little-endian 32-bit
        words (the first and last block counting only the range's share); None where not kept.

    Examples
    --------
    >>> from tavrin_estimate import estimate
    >>> span = estimate(1000, 3, 4, seed=5, block_size=256).parts[0].spans[0]
    >>> span.start, span.stop, span.successes, span.iterations
    (0, 1000, 507, 1000)
    >>> span.block_counts().tolist()
    [123, 116, 140, 128]
    """

    start: int
    stop: int
    successes: int
    blocks: Optional[bytes] = None

    @property
    def iterations(self) -> int:
        """Boardings in the range: stop - start."""
        return self.stop - self.start

    def __repr__(self) -> str:
        blocks = "None" if self.blocks is None else f"<{len(self.blocks) // 4:,} block counts>"
        return f"Span(start={self.start}, stop={self.stop}, successes={self.successes}, blocks={blocks})"

    def block_counts(self) -> Optional[array]:  # type: ignore[type-arg]
        """The per-block counts as an array of unsigned ints, or None where not kept."""
        return None if self.blocks is None else counts_from_bytes(self.blocks)

    def check(self, block_size: int) -> None:
        """ValueError unless the span is possible: a range inside the boardings' numbering,
        a count no larger than the range and, when kept, block counts that add up to it."""
        for name in ("start", "stop", "successes"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"a range's {name} must be an int, not {type(value).__name__}")
        if not 0 <= self.start < self.stop <= MAX_BOARDING:
            raise ValueError(f"a range must satisfy 0 <= start < stop <= 2**64 - 1, got [{self.start}, {self.stop})")
        if not 0 <= self.successes <= self.iterations:
            raise ValueError(
                f"range [{self.start}, {self.stop}) cannot hold {self.successes} successes in"
                f" {self.iterations} boardings"
            )
        if self.blocks is None:
            return
        if not isinstance(self.blocks, bytes):
            raise TypeError(f"block counts must be bytes, not {type(self.blocks).__name__}")
        counts = counts_from_bytes(self.blocks) if len(self.blocks) % 4 == 0 else None
        if counts is None or len(counts) != touched_blocks(self.start, self.stop, block_size):
            raise ValueError(
                f"range [{self.start}, {self.stop}) touches"
                f" {touched_blocks(self.start, self.stop, block_size)} blocks of {block_size},"
                f" not the {len(self.blocks) / 4:g} that its block counts give"
            )
        # Only the first and the last block may hold fewer than block_size boardings.
        first = min(self.stop, (self.start // block_size + 1) * block_size) - self.start
        last = self.stop - max(self.start, (self.stop - 1) // block_size * block_size)
        for count, boardings in ((counts[0], first), (counts[-1], last), (max(counts), block_size)):
            if count > boardings:
                raise ValueError(f"a block of range [{self.start}, {self.stop}) counts {count} in {boardings} boardings")
        if sum(counts) != self.successes:
            raise ValueError(
                f"the block counts of range [{self.start}, {self.stop}) add up to {sum(counts)},"
                f" not {self.successes}"
            )


class _Run:
    """A growing span: its block counts are kept as a list of arrays, appended to as
    neighbours join, so that joining costs no copy of what is already held; `totals` holds the
    sum of each array."""

    __slots__ = ("chunks", "start", "stop", "successes", "totals")

    def __init__(self, start: int, stop: int, successes: int, counts: Optional[array]) -> None:  # type: ignore[type-arg]
        self.start = start
        self.stop = stop
        self.successes = successes
        self.chunks: Optional[List[array]] = None if counts is None else [counts]  # type: ignore[type-arg]
        self.totals: List[int] = [successes]

    def join(self, right: _Run, block_size: int) -> None:
        """Append `right`, which starts where this run stops."""
        if self.chunks is not None and right.chunks is not None:
            chunks, totals = right.chunks, right.totals
            if self.stop % block_size and len(self.chunks[-1]) and len(chunks[0]):
                # Both hold a share of the block they meet in: one block, one count.
                moved = chunks[0][0]
                last = self.chunks[-1] = array(self.chunks[-1].typecode, self.chunks[-1])
                last[-1] += moved
                self.totals[-1] += moved
                chunks = [chunks[0][1:], *chunks[1:]]
                totals = [totals[0] - moved, *totals[1:]]
            kept = [(chunk, total) for chunk, total in zip(chunks, totals) if len(chunk)]
            self.chunks.extend(chunk for chunk, _ in kept)
            self.totals.extend(total for _, total in kept)
        else:
            self.chunks = None
        self.stop = right.stop
        self.successes += right.successes

    def span(self, with_blocks: bool = True) -> Span:
        blocks = None
        if self.chunks is not None and with_blocks:
            blocks = b"".join(counts_to_bytes(chunk) for chunk in self.chunks)
        return Span(self.start, self.stop, self.successes, blocks)


class Holdings:
    """The ranges one seed's run holds while it grows: counted ranges arrive in any order,
    join their neighbours, and an overlap is refused (no boarding is counted twice)."""

    def __init__(self, block_size: int, spans: Iterable[Span] = ()) -> None:
        self.block_size = block_size
        self._runs: List[_Run] = []
        self._starts: List[int] = []
        self.successes = 0
        self.iterations = 0
        for span in spans:
            self.add(span.start, span.stop, span.successes, span.block_counts())

    def add(self, start: int, stop: int, successes: int, counts: Optional[array]) -> None:  # type: ignore[type-arg]
        """Take the count of [start, stop); ValueError if any of it is already held."""
        if start >= stop:
            return
        where = bisect.bisect_right(self._starts, start)
        left = self._runs[where - 1] if where > 0 else None
        right = self._runs[where] if where < len(self._runs) else None
        if (left is not None and left.stop > start) or (right is not None and right.start < stop):
            raise ValueError(f"boardings [{start:,}, {stop:,}) overlap boardings already counted")
        run = _Run(start, stop, successes, counts)
        self.successes += successes
        self.iterations += stop - start
        if right is not None and right.start == stop:
            run.join(right, self.block_size)
            del self._runs[where]
            del self._starts[where]
        if left is not None and left.stop == start:
            left.join(run, self.block_size)
        else:
            self._runs.insert(where, run)
            self._starts.insert(where, start)

    def spans(self) -> Tuple[Span, ...]:
        """The ranges held, with their block counts unless there are more than are kept."""
        spans = tuple(run.span(with_blocks=False) for run in self._runs)
        if sum(touched_blocks(span.start, span.stop, self.block_size) for span in spans) > MAX_KEPT_BLOCKS:
            return spans
        return tuple(run.span() for run in self._runs)

    def ranges(self) -> List[Tuple[int, int]]:
        return [(run.start, run.stop) for run in self._runs]

    def missing(self, stop: int) -> List[Tuple[int, int]]:
        """The ranges of [0, stop) not held, in order."""
        gaps = []
        at = 0
        for run in self._runs:
            if run.start >= stop:
                break
            if run.start > at:
                gaps.append((at, run.start))
            at = max(at, run.stop)
        if at < stop:
            gaps.append((at, stop))
        return gaps

    def first(self) -> Optional[_Run]:
        """The run that starts at boarding 0, if any."""
        return self._runs[0] if self._runs and self._runs[0].start == 0 else None

    def cut(self, stop: int, successes: int) -> None:
        """Keep only the boardings [0, stop), which count `successes`: `stop` is a block
        boundary inside the run from 0, or lies inside the block where that run ends or which it
        goes past (whose kept share then counts what the others leave). The run from 0 must keep
        block counts."""
        first = self.first()
        assert first is not None and first.chunks is not None and stop <= first.stop
        keep = -(-stop // self.block_size)
        chunks: List[array] = []  # type: ignore[type-arg]
        totals: List[int] = []
        for chunk in first.chunks:
            taken = chunk[:keep]
            if not len(taken):
                break
            chunks.append(taken)
            totals.append(sum(taken))
            keep -= len(taken)
        if stop % self.block_size:
            share = successes - (sum(totals) - chunks[-1][-1])
            assert 0 <= share <= stop % self.block_size
            totals[-1] += share - chunks[-1][-1]
            chunks[-1][-1] = share
        assert sum(totals) == successes
        first.chunks = chunks
        first.totals = totals
        first.stop = stop
        first.successes = successes
        self._runs = [first]
        self._starts = [0]
        self.successes = successes
        self.iterations = stop


def merge_spans(a: Sequence[Span], b: Sequence[Span], block_size: int) -> Tuple[Span, ...]:
    """The spans of both, joined where they meet; ValueError where they overlap."""
    holdings = Holdings(block_size, a)
    for span in b:
        holdings.add(span.start, span.stop, span.successes, span.block_counts())
    return holdings.spans()
