"""The result of an estimate: exact counts, the seeds and boarding ranges they come from, the
Wilson score interval (or the interval method chosen, with the confidence sequence beside it),
the puzzle's closed-form answer where the boarding rules give one, and the text and dictionary
(JSON) forms of a result.

A result holds only whole counts, the plane they belong to and, per seed, the ranges of
boardings counted; everything derived (fraction, interval, rate) is computed from them, so two
results of one plane add up exactly, a saved result reloads to the same value, and every count
can be run again from its seed.
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import math
import os
from fractions import Fraction
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple, Union

from . import _store
from ._counting import (
    MAX_KEPT_BLOCKS,
    Span,
    check_block_size,
    check_seed,
    merge_spans,
    parse_seed,
    seed_text,
    touched_blocks,
)
from ._intervals import ANYTIME, DEFAULT_METHOD, ConfidenceInterval, check_method, proportion_ci, wilson
from ._plane import check_confidence

DEFAULT_CONFIDENCE = 0.95

# The tag and version of the dictionary form; anything without them is not one of ours.
FILE_FORMAT = "tavrin_estimate result"
FILE_VERSION = 3
# Versions still read: 2 is 3 without the interval method, which was Wilson's then.
READ_VERSIONS = (2, FILE_VERSION)
# Versions no longer read, and why.
RETIRED_FORMATS = {
    1: "has format version 1, which records no seed: it can be neither resumed nor replayed;"
    " start a new run",
}

# Letters that seat labels use at most: seat k takes the letter at (k - 1) mod 6.
COLUMNS_PER_ROW = 6


def exact_answer(passengers: int, seats: int, cols: str) -> Optional[Fraction]:
    """The probability that the last passenger sits in their own seat, where it is known.

    Every boarding that completes draws only among the seats on its tickets: the seats no
    ticket names never enter the free-seat list, so a cabin with more seats than passengers
    behaves as one with exactly `passengers` seats, and column letters only name seats (labels
    differ by their numbers whatever the letters). With one passenger the only free seat is
    their own: 1. With n >= 2 passengers, the last passenger finds either their own seat or the
    first passenger's (every other passenger's seat was taken by its owner or, earlier, by
    someone displaced). Whichever of these two seats is taken first decides: the first
    passenger's means nobody else is displaced any more, the last passenger's means they miss
    it. Every random draw before that picks each of the two with the same probability, so the
    answer is 1/2 for every n >= 2.

    Parameters
    ----------
    passengers : int
        Passengers who board.
    seats : int
        Seats of the plane.
    cols : str
        Column letters.

    Returns
    -------
    fractions.Fraction or None
        1 for one passenger, 1/2 for two or more; None for a plane on which no boarding
        completes: nobody boards (0 passengers), more passengers than seats, or too few column
        letters to label the seats.

    Examples
    --------
    >>> from tavrin_estimate import exact_answer
    >>> exact_answer(1, 10, "ABCDEF"), exact_answer(30, 100, "ABCDEF"), exact_answer(0, 0, "")
    (Fraction(1, 1), Fraction(1, 2), None)
    """
    if passengers < 1 or passengers > seats or len(cols) < min(seats, COLUMNS_PER_ROW):
        return None
    return Fraction(1) if passengers == 1 else Fraction(1, 2)


def wilson_interval(successes: int, iterations: int, confidence: float) -> Tuple[float, float]:
    """The Wilson score interval of a binomial proportion.

    The set of p for which ``|successes / iterations - p| <= z sqrt(p (1 - p) / iterations)``,
    z the two-sided normal quantile of `confidence`: it stays inside [0, 1] and keeps a
    sensible width at 0 or all successes.

    Parameters
    ----------
    successes : int
        Boardings in which the last passenger found their own seat.
    iterations : int
        Boardings counted, at least `successes`.
    confidence : float
        Strictly between 0 and 1.

    Returns
    -------
    tuple of float
        (low, high); (0.0, 1.0) when nothing was counted.

    Examples
    --------
    >>> from tavrin_estimate import wilson_interval
    >>> low, high = wilson_interval(49776, 100000, 0.95)
    >>> round(low, 5), round(high, 5)
    (0.49466, 0.50086)
    >>> wilson_interval(0, 0, 0.95)
    (0.0, 1.0)
    """
    return (0.0, 1.0) if iterations == 0 else wilson(successes, iterations, confidence)


@dataclasses.dataclass(frozen=True)
class Part:
    """The boardings of one seed that a result holds.

    Parameters
    ----------
    seed : int
        The seed, a non-negative int below 2**4096.
    block_size : int
        The block size the boardings were counted in, from 1 to 2**32 - 1.
    spans : tuple of Span
        The ranges held, sorted, disjoint and not touching (touching ranges are joined), each
        with its count. Per-block counts are dropped when the ranges touch more than 2**20
        blocks in all.

    Raises
    ------
    TypeError, ValueError
        Ranges that cannot be: unsorted, overlapping, counts larger than their ranges or block
        counts that do not add up.

    Examples
    --------
    >>> from tavrin_estimate import estimate
    >>> part = estimate(1000, 10, 10, seed=5, block_size=256).parts[0]
    >>> part.seed, part.block_size, part.ranges, part.iterations
    (5, 256, ((0, 1000),), 1000)
    """

    seed: int
    block_size: int
    spans: Tuple[Span, ...] = ()

    def __post_init__(self) -> None:
        check_seed(self.seed)
        check_block_size(self.block_size)
        if not isinstance(self.spans, tuple) or not all(isinstance(span, Span) for span in self.spans):
            raise TypeError("spans must be a tuple of Span")
        end = -1
        for span in self.spans:
            span.check(self.block_size)
            if span.start <= end:
                raise ValueError(
                    f"the ranges of seed {seed_text(self.seed)} must be sorted, apart and joined where"
                    f" they meet; [{span.start}, {span.stop}) follows one that ends at {end}"
                )
            end = span.stop
        blocks = sum(touched_blocks(span.start, span.stop, self.block_size) for span in self.spans)
        if blocks > MAX_KEPT_BLOCKS and any(span.blocks is not None for span in self.spans):
            object.__setattr__(self, "spans", tuple(dataclasses.replace(span, blocks=None) for span in self.spans))

    @property
    def successes(self) -> int:
        """Successes over every range."""
        return sum(span.successes for span in self.spans)

    @property
    def iterations(self) -> int:
        """Boardings over every range."""
        return sum(span.iterations for span in self.spans)

    @property
    def ranges(self) -> Tuple[Tuple[int, int], ...]:
        """The boardings held, as [start, stop) pairs."""
        return tuple((span.start, span.stop) for span in self.spans)

    @property
    def has_block_counts(self) -> bool:
        """Whether every range keeps the count of each block it touches."""
        return all(span.blocks is not None for span in self.spans)

    @property
    def why_no_block_counts(self) -> str:
        """Why the part lacks per-block counts: too many to keep, or none were given."""
        blocks = sum(touched_blocks(span.start, span.stop, self.block_size) for span in self.spans)
        return "too many blocks to keep" if blocks > MAX_KEPT_BLOCKS else "they are missing from it"

    def __add__(self, other: Part) -> Part:
        if (other.seed, other.block_size) != (self.seed, self.block_size):
            raise ValueError(
                f"seed {seed_text(self.seed)} was counted in blocks of {self.block_size:,} here and of"
                f" {other.block_size:,} there: such counts cannot be joined"
            )
        try:
            spans = merge_spans(self.spans, other.spans, self.block_size)
        except ValueError as exc:
            raise ValueError(f"cannot add two results of seed {seed_text(self.seed)}: {exc}") from None
        return Part(self.seed, self.block_size, spans)


@dataclasses.dataclass(frozen=True)
class Provenance:
    """What made (a share of) a result; one entry of `Estimate.provenance`.

    Parameters
    ----------
    version : str
        The package's version.
    python : str
        The interpreter and its version, such as "CPython 3.11.2".
    machine : str
        The machine architecture, such as "x86_64".
    block_function : str
        The kernel's block functions used, comma-separated ("avx2", "sse2", ...).
    threads : int
        Kernel threads per call.
    runner : str
        Where the calls ran: "local", "dask.distributed ADDRESS" or "executor MODULE.CLASS".
    """

    version: str
    python: str
    machine: str
    block_function: str
    threads: int
    runner: str

    def to_dict(self) -> Dict[str, Any]:
        return dataclasses.asdict(self)

    @classmethod
    def from_dict(cls, fields: object) -> Provenance:
        names = {field.name: field.type for field in dataclasses.fields(cls)}
        data = _mapping(fields, "a provenance entry", names)
        values = {name: _typed(data[name], int if name == "threads" else str, f"provenance {name}") for name in names}
        return cls(**values)


@dataclasses.dataclass(frozen=True)
class Estimate:
    """How often the last passenger found their own seat, over the boardings of one plane.

    Immutable; made by `estimate`, `Estimate.load` and `Estimate.from_dict`. It holds only whole
    counts, the plane and, per seed, the ranges counted: everything derived (`fraction`,
    `interval`, `rate`) is computed from them.

    ``a + b`` pools two results of the same plane and confidence: parts of different seeds are
    kept side by side, parts of the same seed join their ranges, which must not overlap (no
    boarding counted twice); elapsed times add up and the sum is interrupted if either was.
    ``estimate(..., resume=a)`` instead continues a run and flags only its own end.

    Parameters
    ----------
    passengers, seats : int
        The plane.
    cols : str
        Its column letters.
    parts : tuple of Part
        One per seed, no seed twice.
    elapsed : float
        Seconds of wall-clock time spent counting.
    confidence : float
        Of `interval`, strictly between 0 and 1.
    method : str
        The interval method the text shows and the file records ("wilson", "clopper-pearson",
        "jeffreys" or "anytime"; the left one's where two results add up); the confidence
        sequence shows beside it.
    interrupted : bool
        True for a partial result.
    provenance : tuple of Provenance
        What made the counts.

    Examples
    --------
    >>> from tavrin_estimate import estimate
    >>> a = estimate(20_000, 10, 10, seed=1)
    >>> b = estimate(20_000, 10, 10, seed=2)
    >>> pooled = a + b
    >>> pooled.seeds, pooled.seed, pooled.iterations
    ((1, 2), None, 40000)
    >>> pooled.successes == a.successes + b.successes
    True
    """

    passengers: int
    seats: int
    cols: str
    parts: Tuple[Part, ...] = ()
    elapsed: float = 0.0
    confidence: float = DEFAULT_CONFIDENCE
    interrupted: bool = False
    provenance: Tuple[Provenance, ...] = ()
    method: str = DEFAULT_METHOD

    def __post_init__(self) -> None:
        for name in ("passengers", "seats"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name} must be an int, not {type(value).__name__}")
            if value < 0:
                raise ValueError(f"{name} must not be negative, got {value}")
        if not isinstance(self.cols, str):
            raise TypeError(f"cols must be a str, not {type(self.cols).__name__}")
        if not isinstance(self.parts, tuple) or not all(isinstance(part, Part) for part in self.parts):
            raise TypeError("parts must be a tuple of Part")
        seeds = [part.seed for part in self.parts]
        if len(set(seeds)) != len(seeds):
            raise ValueError("a result holds one part per seed; add parts of one seed together first")
        if isinstance(self.elapsed, bool) or not isinstance(self.elapsed, (int, float)):
            raise TypeError(f"elapsed must be a number, not {type(self.elapsed).__name__}")
        if not (self.elapsed >= 0.0 and math.isfinite(self.elapsed)):
            raise ValueError(f"elapsed must be a finite number of seconds, got {self.elapsed!r}")
        if not isinstance(self.interrupted, bool):
            raise TypeError(f"interrupted must be a bool, not {type(self.interrupted).__name__}")
        if not isinstance(self.provenance, tuple) or not all(isinstance(p, Provenance) for p in self.provenance):
            raise TypeError("provenance must be a tuple of Provenance")
        # Normalised so that equal results compare and serialise equal.
        object.__setattr__(self, "elapsed", float(self.elapsed))
        object.__setattr__(self, "confidence", check_confidence(self.confidence))
        check_method(self.method)

    @property
    def successes(self) -> int:
        """Boardings in which the last passenger found their own seat."""
        return sum(part.successes for part in self.parts)

    @property
    def iterations(self) -> int:
        """Boardings counted."""
        return sum(part.iterations for part in self.parts)

    @property
    def seed(self) -> Optional[int]:
        """The seed of a result of one seed; None when it pools several (see `parts`)."""
        return self.parts[0].seed if len(self.parts) == 1 else None

    @property
    def seeds(self) -> Tuple[int, ...]:
        """The seeds of the parts, in order."""
        return tuple(part.seed for part in self.parts)

    @property
    def fraction(self) -> float:
        """successes / iterations, correctly rounded; NaN for no iterations."""
        iterations = self.iterations
        return self.successes / iterations if iterations else math.nan

    @property
    def interval(self) -> Tuple[float, float]:
        """The Wilson score interval (low, high) at `confidence`."""
        return wilson_interval(self.successes, self.iterations, self.confidence)

    @property
    def rate(self) -> float:
        """Boardings per second of wall-clock time; NaN when no time was measured."""
        return self.iterations / self.elapsed if self.elapsed > 0.0 else math.nan

    @property
    def exact(self) -> Optional[Fraction]:
        """The closed-form answer for this configuration, or None where none is known."""
        return exact_answer(self.passengers, self.seats, self.cols)

    @property
    def configuration(self) -> Tuple[int, int, str]:
        """The plane: (passengers, seats, cols)."""
        return (self.passengers, self.seats, self.cols)

    def part(self, seed: int) -> Optional[Part]:
        """The part of `seed`, if the result holds one.

        Parameters
        ----------
        seed : int

        Returns
        -------
        Part or None
        """
        return next((part for part in self.parts if part.seed == seed), None)

    def with_confidence(self, confidence: float) -> Estimate:
        """The same counts with the interval taken at another confidence.

        Parameters
        ----------
        confidence : float
            Strictly between 0 and 1.

        Returns
        -------
        Estimate
        """
        return dataclasses.replace(self, confidence=check_confidence(confidence))

    def __add__(self, other: object) -> Estimate:
        if not isinstance(other, Estimate):
            return NotImplemented
        if other.configuration != self.configuration:
            raise ValueError(
                f"cannot add results of different configurations: {_describe(*self.configuration)}"
                f" and {_describe(*other.configuration)}"
            )
        if other.confidence != self.confidence:
            raise ValueError(
                f"cannot add results at confidence {self.confidence} and {other.confidence};"
                " use with_confidence() on one of them first"
            )
        return dataclasses.replace(
            self,
            parts=join_parts(self.parts, other.parts),
            elapsed=self.elapsed + other.elapsed,
            interrupted=self.interrupted or other.interrupted,
            provenance=_distinct(self.provenance + other.provenance),
        )

    def proportion_ci(self, confidence_level: Optional[float] = None, method: Optional[str] = None) -> ConfidenceInterval:
        """The two-sided interval of the proportion by `method`.

        Parameters
        ----------
        confidence_level : float, optional
            Strictly between 0 and 1; by default the result's `confidence`.
        method : {"wilson", "clopper-pearson", "jeffreys", "anytime"}, optional
            Wilson's score interval; Clopper-Pearson's exact interval (its coverage never below
            the level, at the price of width); the equal-tailed interval of the posterior from
            Jeffreys' prior; or the confidence sequence, which holds at every count at once.
            By default the result's `method`.

        Returns
        -------
        ConfidenceInterval
            A named tuple (low, high); (0, 1) when nothing was counted.

        Raises
        ------
        ValueError
            An unknown method or a level out of range.

        Examples
        --------
        >>> from tavrin_estimate import estimate
        >>> r = estimate(100_000, 10, 10, seed=42)
        >>> [round(end, 5) for end in r.proportion_ci(method="clopper-pearson")]
        [0.49466, 0.50086]
        >>> [round(end, 4) for end in r.proportion_ci(0.99)]
        [0.4937, 0.5018]
        >>> watched = estimate(100_000, 10, 10, seed=42, method="anytime")
        >>> [round(end, 4) for end in watched.proportion_ci()]  # the result's method by default
        [0.4911, 0.5045]
        """
        level = self.confidence if confidence_level is None else confidence_level
        return proportion_ci(self.successes, self.iterations, level, self.method if method is None else method)

    def __str__(self) -> str:
        return self.text()

    def __repr__(self) -> str:
        """Short at any size: the plane, the counts and, per seed, the boardings it holds."""
        seeds = "; ".join(f"seed {_describe_part(part)}" for part in self.parts) or "no seed"
        flag = ", interrupted" if self.interrupted else ""
        return (f"<Estimate {_describe(*self.configuration)}: {self.successes:,} of {self.iterations:,} boardings;"
                f" {seeds}{flag}>")

    def text(self, method: Optional[str] = None) -> str:
        """What ``str()`` and the command line show, with the interval by `method`.

        Parameters
        ----------
        method : {"wilson", "clopper-pearson", "jeffreys", "anytime"}, optional
            The interval shown, named, beside the confidence sequence's; by default the
            result's `method`.

        Returns
        -------
        str
            Lines for the plane, each seed, the counts, the estimate, the interval, the exact
            answer and the rate; "INTERRUPTED: a partial result" first for a partial one.
        """
        method = self.method if method is None else check_method(method)
        low, high = self.proportion_ci(method=method)
        digits = _digits(low, high)
        lines = []
        if self.interrupted:
            lines.append("INTERRUPTED: a partial result")
        lines.append(f"plane      {_describe(*self.configuration)}")
        lines.extend(f"seed       {_describe_part(part)}" for part in self.parts)
        if not self.parts:
            lines.append("seed       none: nothing counted")
        lines.append(
            f"boardings  {self.iterations:,}, the last passenger in their own seat in {self.successes:,}"
        )
        lines.append(f"estimate   {self.fraction:.{digits}f}")
        lines.append(f"interval   [{low:.{digits}f}, {high:.{digits}f}] at {_level(self.confidence)} confidence ({method})")
        if method != ANYTIME:
            low_any, high_any = self.proportion_ci(method=ANYTIME)
            lines.append(f"anytime    [{low_any:.{digits}f}, {high_any:.{digits}f}] at {_level(self.confidence)} confidence"
                         " (anytime: holds however often it was looked at)")
        exact = self.exact
        if exact is None:
            lines.append("exact      not known for this plane")
        else:
            if low <= exact <= high:
                lines.append(f"exact      {exact} ({float(exact):g}), inside the interval")
            else:  # as it should be now and then: say how often, so that it does not alarm
                lines.append(f"exact      {exact} ({float(exact):g}), outside the interval, as a {_level(self.confidence)}"
                             f" confidence interval is in about one run in {1.0 / (1.0 - self.confidence):,.0f}")
        lines.append(f"rate       {self.rate:,.0f} boardings/s over {self.elapsed:.3g} s")
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        """A notebook shows the result as a small table of the lines str() prints."""
        from ._display import html_table

        return html_table(str(self))

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        """IPython's terminal shows the text that print() shows."""
        printer.text(str(self))

    def to_dict(self) -> Dict[str, Any]:
        """The result as a dictionary of JSON types: the file's form without its checksum.

        Seeds are decimal strings, per-block counts base64 of little-endian 32-bit words; the
        result file format page of the documentation describes every field.

        Returns
        -------
        dict
            What `from_dict` reads back to an equal result.

        Examples
        --------
        >>> from tavrin_estimate import Estimate, estimate
        >>> r = estimate(1000, 3, 4, seed=5, block_size=256)
        >>> data = r.to_dict()
        >>> data["parts"][0]["seed"], data["parts"][0]["ranges"]
        ('5', [[0, 1000, 507]])
        >>> Estimate.from_dict(data) == r
        True
        """
        return {
            "format": FILE_FORMAT,
            "version": FILE_VERSION,
            "plane": {"passengers": self.passengers, "seats": self.seats, "cols": self.cols},
            "successes": self.successes,
            "iterations": self.iterations,
            "confidence": self.confidence,
            "elapsed": self.elapsed,
            "interrupted": self.interrupted,
            "parts": [
                {
                    "seed": seed_text(part.seed),
                    "block_size": part.block_size,
                    "successes": part.successes,
                    "ranges": [[span.start, span.stop, span.successes] for span in part.spans],
                    "block_counts": [
                        None if span.blocks is None else base64.b64encode(span.blocks).decode("ascii")
                        for span in part.spans
                    ],
                }
                for part in self.parts
            ],
            "provenance": [entry.to_dict() for entry in self.provenance],
            "method": self.method,
        }

    def save(self, path: Union[str, os.PathLike[str]]) -> None:
        """Write the result to `path` as JSON with a checksum, replacing the file in one step.

        The new content goes to a temporary file in the same folder, flushed to the disk and
        renamed over `path`: a crash leaves the old or the new file, never a mixture. A symbolic
        link is written through; an existing file keeps its mode and owner. The file's run lock
        is taken as the command line takes it, so a file that a run holds is refused; a save
        that meets another save of the same file (another thread or process) waits for it.

        Parameters
        ----------
        path : str or os.PathLike
            Where to write; `load` reads it back.

        Raises
        ------
        FileRefused
            A `ValueError`, in the command line's words: a run holds the file; the path is a
            device, a FIFO, a socket or a folder ("is a character device, not a saved
            result"), which is never replaced; or this user cannot write in its folder.
        OSError
            The file cannot be written (its folder does not exist, the disk is full).
        """
        file = _store.ResultFile(path, kind=FILE_FORMAT, versions=(FILE_VERSION,), retired=RETIRED_FORMATS)
        file.save_once(self.to_dict())

    @classmethod
    def load(cls, path: Union[str, os.PathLike[str]]) -> Estimate:
        """Read a result that `save` (or the command line's ``--resume``) wrote.

        Parameters
        ----------
        path : str or os.PathLike
            The file.

        Returns
        -------
        Estimate
            The result, equal to the one saved.

        Raises
        ------
        ValueError
            Naming the file and the problem: missing, not a regular file, empty, binary,
            truncated or malformed JSON, another format or version, a checksum that does not
            match, counts that cannot be.

        Examples
        --------
        >>> import os, tempfile
        >>> from tavrin_estimate import Estimate, estimate
        >>> r = estimate(1000, 3, 4, seed=5)
        >>> with tempfile.TemporaryDirectory() as folder:
        ...     r.save(os.path.join(folder, "run.json"))
        ...     Estimate.load(os.path.join(folder, "run.json")) == r
        True
        """
        document = _store.read_document(path, kind=FILE_FORMAT, versions=READ_VERSIONS, retired=RETIRED_FORMATS)
        try:
            return cls.from_dict(document)
        except ValueError as exc:
            raise _store.FileRefused(path, str(exc)) from None

    @classmethod
    def from_dict(cls, fields: object) -> Estimate:
        """Read a result written by `to_dict`.

        Parameters
        ----------
        fields : mapping
            The dictionary form.

        Returns
        -------
        Estimate

        Raises
        ------
        ValueError
            Naming the problem: not a result, an unknown version (version 1, which recorded no
            seed, included), a missing or unknown field, counts that cannot be.
        """
        if not isinstance(fields, Mapping) or fields.get("format") != FILE_FORMAT:
            raise ValueError("not a saved estimate (no format tag)")
        version = fields.get("version")
        if isinstance(version, int) and version in RETIRED_FORMATS:
            raise ValueError(RETIRED_FORMATS[version])
        if version not in READ_VERSIONS:
            raise ValueError(f"a saved estimate of unknown format version {version!r}")
        # What the command line's --json adds is derived from the counts, and read from them.
        fields = {key: value for key, value in fields.items() if key != "derived"}
        data = _mapping(fields, "a saved estimate", _TOP_LEVEL if version == FILE_VERSION else _TOP_LEVEL[:-1])
        plane = _mapping(data["plane"], "plane", ("passengers", "seats", "cols"))
        parts = tuple(_part_from_dict(entry) for entry in _typed(data["parts"], list, "parts"))
        try:
            result = cls(
                passengers=_typed(plane["passengers"], int, "passengers"),
                seats=_typed(plane["seats"], int, "seats"),
                cols=_typed(plane["cols"], str, "cols"),
                parts=parts,
                elapsed=_number(data["elapsed"], "elapsed"),
                confidence=_number(data["confidence"], "confidence"),
                interrupted=_typed(data["interrupted"], bool, "interrupted"),
                provenance=tuple(Provenance.from_dict(entry) for entry in _typed(data["provenance"], list, "provenance")),
                method=_typed(data.get("method", DEFAULT_METHOD), str, "method"),
            )
        except TypeError as exc:
            raise ValueError(str(exc)) from None
        for name in ("successes", "iterations"):
            written = _typed(data[name], int, name)
            if written != getattr(result, name):
                raise ValueError(f"{name} is {written}, but the ranges hold {getattr(result, name)}")
        return result


_TOP_LEVEL = (
    "format", "version", "plane", "successes", "iterations", "confidence", "elapsed",
    "interrupted", "parts", "provenance", "method",
)  # fmt: skip
_PART = ("seed", "block_size", "successes", "ranges", "block_counts")


def join_parts(a: Iterable[Part], b: Iterable[Part]) -> Tuple[Part, ...]:
    """The parts of both results: those of one seed joined, the others side by side."""
    joined: Dict[int, Part] = {}
    for part in (*a, *b):
        joined[part.seed] = joined[part.seed] + part if part.seed in joined else part
    return tuple(joined.values())


def _distinct(entries: Iterable[Provenance]) -> Tuple[Provenance, ...]:
    return tuple(dict.fromkeys(entries))


def _mapping(value: object, what: str, names: Iterable[str]) -> Mapping[str, Any]:
    if not isinstance(value, Mapping):
        raise ValueError(f"{what} must be an object, not {type(value).__name__}")
    wanted = set(names)
    missing = wanted - value.keys()
    if missing:
        raise ValueError(f"{what} lacks {', '.join(sorted(missing))}")
    unknown = value.keys() - wanted
    if unknown:
        raise ValueError(f"{what} has unknown fields: {', '.join(sorted(map(str, unknown)))}")
    return value


def _typed(value: Any, kind: type, what: str) -> Any:
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise ValueError(f"{what} must be of type {kind.__name__}, not {type(value).__name__}")
    return value


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{what} must be a number, not {type(value).__name__}")
    return float(value)


def _part_from_dict(value: object) -> Part:
    data = _mapping(value, "a part", _PART)
    seed = parse_seed(_typed(data["seed"], str, "a part's seed"))
    ranges = _typed(data["ranges"], list, "a part's ranges")
    counts = _typed(data["block_counts"], list, "a part's block_counts")
    if len(counts) != len(ranges):
        raise ValueError(f"seed {data['seed']} has {len(ranges)} ranges but {len(counts)} entries of block counts")
    spans: List[Span] = []
    for entry, encoded in zip(ranges, counts):
        if not isinstance(entry, list) or len(entry) != 3:
            raise ValueError(f"a range is a list [start, stop, successes], not {entry!r:.60}")
        start, stop, successes = (_typed(item, int, "a range's bounds and count") for item in entry)
        blocks = None
        if encoded is not None:
            try:
                blocks = base64.b64decode(_typed(encoded, str, "block counts"), validate=True)
            except (binascii.Error, ValueError):
                raise ValueError(f"the block counts of range [{start}, {stop}) are not base64") from None
        spans.append(Span(start, stop, successes, blocks))
    try:
        part = Part(seed, _typed(data["block_size"], int, "block_size"), tuple(spans))
    except TypeError as exc:
        raise ValueError(str(exc)) from None
    if _typed(data["successes"], int, "a part's successes") != part.successes:
        raise ValueError(f"seed {data['seed']} claims {data['successes']} successes, but its ranges hold {part.successes}")
    return part


def _describe(passengers: int, seats: int, cols: str) -> str:
    return f"{passengers} passengers, {seats} seats, cols {cols!r}"


def _describe_part(part: Part) -> str:
    """The seed, its block size and the boardings it holds, in one line."""
    ranges = part.ranges
    if not ranges:
        held = "no boardings"
    elif len(ranges) <= 3:
        held = ", ".join(f"{start:,} to {stop:,}" for start, stop in ranges)
    else:
        held = f"{len(ranges)} ranges from {ranges[0][0]:,} to {ranges[-1][1]:,}"
    return f"{seed_text(part.seed)} (blocks of {part.block_size:,}; boardings {held})"


def _level(confidence: float) -> str:
    """A confidence in four digits, or in all of them where four would round it to 1."""
    short = f"{confidence:.4g}"
    return short if float(short) < 1.0 else repr(confidence)


def _digits(low: float, high: float) -> int:
    """Decimals that show the interval's width to two significant digits."""
    width = high - low
    if not width > 0.0:
        return 6
    return min(12, max(4, 1 - math.floor(math.log10(width)) + 1))
