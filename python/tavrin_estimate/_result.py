"""The result of an estimate: exact counts, the seeds and boarding ranges they come from, the
Wilson score interval, the puzzle's closed-form answer where the boarding rules give one, and
the text and dictionary (JSON) forms of a result.

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
from ._intervals import DEFAULT_METHOD, ConfidenceInterval, proportion_ci, wilson
from ._plane import check_confidence

DEFAULT_CONFIDENCE = 0.95

# The tag and version of the dictionary form; anything without them is not one of ours.
FILE_FORMAT = "tavrin_estimate result"
FILE_VERSION = 2
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

    None for a configuration in which no boarding completes: nobody boards (0 passengers),
    more passengers than seats, or too few column letters to label the seats.
    """
    if passengers < 1 or passengers > seats or len(cols) < min(seats, COLUMNS_PER_ROW):
        return None
    return Fraction(1) if passengers == 1 else Fraction(1, 2)


def wilson_interval(successes: int, iterations: int, confidence: float) -> Tuple[float, float]:
    """The Wilson score interval of a binomial proportion; (0, 1) when nothing was counted."""
    return (0.0, 1.0) if iterations == 0 else wilson(successes, iterations, confidence)


@dataclasses.dataclass(frozen=True)
class Part:
    """The boardings of one seed that a result holds: the block size they were cut into and
    their sorted, disjoint ranges (`spans`), each with its count. Per-block counts are dropped
    when the ranges touch more than MAX_KEPT_BLOCKS blocks."""

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
        return sum(span.successes for span in self.spans)

    @property
    def iterations(self) -> int:
        return sum(span.iterations for span in self.spans)

    @property
    def ranges(self) -> Tuple[Tuple[int, int], ...]:
        """The boardings held, as [start, stop) pairs."""
        return tuple((span.start, span.stop) for span in self.spans)

    @property
    def has_block_counts(self) -> bool:
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
    """What made (a share of) a result: the package's version, the interpreter, the machine,
    the kernel's block function and threads per call, and where the calls ran."""

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
    """How often the last passenger found their own seat, over the boardings of one plane that
    the `parts` hold (one per seed). Immutable; `a + b` pools two results of the same plane and
    confidence: parts of different seeds are kept side by side, parts of the same seed join
    their ranges, which must not overlap (no boarding counted twice); elapsed times add up and
    the sum is interrupted if either was. estimate(..., resume=a) instead continues a run and
    flags only its own end."""

    passengers: int
    seats: int
    cols: str
    parts: Tuple[Part, ...] = ()
    elapsed: float = 0.0
    confidence: float = DEFAULT_CONFIDENCE
    interrupted: bool = False
    provenance: Tuple[Provenance, ...] = ()

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
        return (self.passengers, self.seats, self.cols)

    def part(self, seed: int) -> Optional[Part]:
        """The part of `seed`, if the result holds one."""
        return next((part for part in self.parts if part.seed == seed), None)

    def with_confidence(self, confidence: float) -> Estimate:
        """The same counts with the interval taken at another confidence."""
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

    def proportion_ci(self, confidence_level: Optional[float] = None, method: str = DEFAULT_METHOD) -> ConfidenceInterval:
        """The interval of the proportion by `method` ("wilson", "clopper-pearson" or
        "jeffreys") at `confidence_level` (default: the result's confidence), as (low, high)."""
        level = self.confidence if confidence_level is None else confidence_level
        return proportion_ci(self.successes, self.iterations, level, method)

    def __str__(self) -> str:
        return self.text()

    def __repr__(self) -> str:
        """Short at any size: the plane, the counts and, per seed, the boardings it holds."""
        seeds = "; ".join(f"seed {_describe_part(part)}" for part in self.parts) or "no seed"
        flag = ", interrupted" if self.interrupted else ""
        return (f"<Estimate {_describe(*self.configuration)}: {self.successes:,} of {self.iterations:,} boardings;"
                f" {seeds}{flag}>")

    def text(self, method: str = DEFAULT_METHOD) -> str:
        """What str() and the command line show, with the interval by `method`."""
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
        lines.append(
            f"interval   [{low:.{digits}f}, {high:.{digits}f}] at {_level(self.confidence)} confidence ({method})"
        )
        exact = self.exact
        if exact is None:
            lines.append("exact      not known for this plane")
        else:
            where = "inside" if low <= exact <= high else "OUTSIDE"
            lines.append(f"exact      {exact} ({float(exact):g}), {where} the interval")
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
        """The result as a dictionary of JSON types (seeds as decimal strings, per-block counts
        as base64 of little-endian 32-bit words); from_dict() reads it back to an equal result."""
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
        }

    def save(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Write the result to `path` with a checksum, replacing the file in one step (through a
        symbolic link, keeping an existing file's mode and owner); load() reads it back.
        FileRefused when a run of the command line holds the file (its lock is taken here too)."""
        file = _store.ResultFile(path, kind=FILE_FORMAT, versions=(FILE_VERSION,), retired=RETIRED_FORMATS)
        file.save_once(self.to_dict())

    @classmethod
    def load(cls, path: Union[str, "os.PathLike[str]"]) -> Estimate:
        """Read a result that save() (or the command line's --resume) wrote; ValueError
        (FileRefused) naming the file and the problem for anything else, a missing file too."""
        document = _store.read_document(path, kind=FILE_FORMAT, versions=(FILE_VERSION,), retired=RETIRED_FORMATS)
        try:
            return cls.from_dict(document)
        except ValueError as exc:
            raise _store.FileRefused(path, str(exc)) from None

    @classmethod
    def from_dict(cls, fields: object) -> Estimate:
        """Read a result written by to_dict(); ValueError naming the problem for anything else
        (a result of the first format, which recorded no seed, included)."""
        if not isinstance(fields, Mapping) or fields.get("format") != FILE_FORMAT:
            raise ValueError("not a saved estimate (no format tag)")
        version = fields.get("version")
        if isinstance(version, int) and version in RETIRED_FORMATS:
            raise ValueError(RETIRED_FORMATS[version])
        if version != FILE_VERSION:
            raise ValueError(f"a saved estimate of unknown format version {version!r}")
        # What the command line's --json adds is derived from the counts, and read from them.
        data = _mapping({key: value for key, value in fields.items() if key != "derived"}, "a saved estimate",
                        _TOP_LEVEL)
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
    "interrupted", "parts", "provenance",
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
