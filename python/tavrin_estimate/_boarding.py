"""One boarding of a seeded run, replayed seat by seat: the tickets its shuffle gave, the chain
of passengers who found their seat taken and drew again, and where everyone sat. The kernel
writes the boarding down from the very words the count takes for it (`_kernel.board`); this
module turns its record into seats, text, a picture and a notebook table."""

from __future__ import annotations

import dataclasses
import html
import importlib
import textwrap
from array import array
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Mapping, Optional, Tuple

from ._counting import MAX_BOARDING, check_block_size, check_seed, counts_from_bytes, default_block_size, seed_key
from ._plane import COLUMNS_PER_ROW, check_count, check_plane

if TYPE_CHECKING:  # pragma: no cover
    from matplotlib.axes import Axes

# The text and the picture show every row of a cabin up to this many; a larger one shows the rows
# the chain touches, the first and the last, and says how many rows it leaves out.
FULL_CABIN_ROWS = 30
# The chain's lines are wrapped at this width.
TEXT_WIDTH = 92
# A chain longer than this is written out by its first and last steps.
FULL_CHAIN_STEPS = 12
CHAIN_ENDS = 5
# Seats shuffled per kernel call while skipping to a boarding (a few tenths of a second).
SKIP_WORK = 2**26
# How far the search for a boarding of one outcome goes at one kernel call at most.
SEARCH_CHUNK = 2**16


def seat_label(number: int, cols: str) -> str:
    """Seat `number`'s label, as generate_seating() writes it: "7A" for seat 7 of "ABCDEF"."""
    return f"{number}{cols[(number - 1) % COLUMNS_PER_ROW]}"


class SeatLabels(Mapping[int, str]):
    """Passenger number -> seat label, read from seat numbers held compactly (a dict of a
    million-seat plane's labels would take hundreds of megabytes); equal to the dict it reads as."""

    __slots__ = ("_changed", "_cols", "_numbers")

    def __init__(self, numbers: array[int], cols: str, changed: Optional[Dict[int, int]] = None) -> None:
        self._numbers = numbers
        self._cols = cols
        # Passengers whose seat is not the one at their place in `numbers`.
        self._changed = changed or {}

    def number(self, passenger: int) -> int:
        """The seat number of `passenger` (1 to len(self))."""
        if isinstance(passenger, bool) or not isinstance(passenger, int) or not 1 <= passenger <= len(self._numbers):
            raise KeyError(passenger)
        return self._changed.get(passenger, self._numbers[passenger - 1])

    def numbers(self) -> array[int]:
        """Every passenger's seat number as listed before any change (the tickets' own)."""
        return self._numbers

    def __getitem__(self, passenger: int) -> str:
        return seat_label(self.number(passenger), self._cols)

    def __iter__(self) -> Iterator[int]:
        return iter(range(1, len(self._numbers) + 1))

    def __len__(self) -> int:
        return len(self._numbers)

    def __repr__(self) -> str:
        shown = ", ".join(f"{p}: {self[p]!r}" for p in range(1, min(len(self), 6) + 1))
        return f"{{{shown}{', ...' if len(self) > 6 else ''}}}  # {len(self):,} passengers"


@dataclasses.dataclass(frozen=True)
class Boarding:
    """Boarding `index` of a seeded run, exactly as the seeded count made it; made by
    `boarding` or `find_boarding`.

    Parameters
    ----------
    index, seed, passengers, seats, cols, block_size
        Which boarding of which run.
    tickets : Mapping[int, str]
        Passenger number -> the label of the seat on their ticket, labelled as
        ``Planes.generate_seating()`` labels seats, from the same shuffle the count draws.
    seated : Mapping[int, str]
        Passenger number -> the label of the seat they sat in.
    drawers : tuple of int
        The passengers who drew a free seat, in boarding order: passenger 1, then every one who
        found their seat taken.
    places : tuple of int
        For each drawer, the place drawn in the list of free seats on a ticket (its order kept
        as seats leave it; for drawer d it is [passenger 1's seat, d + 1's, ..., the last's]).
    outcome : bool
        True when the last passenger sat in their own seat.

    Examples
    --------
    >>> from tavrin_estimate import boarding
    >>> b = boarding(3, 10, 10, seed=2026)
    >>> b.drawers[0]   # passenger 1 always draws
    1
    >>> all(b.seated[p] == b.tickets[p] for p in b.tickets if p not in b.drawers)
    True
    """

    index: int
    seed: int
    passengers: int
    seats: int
    cols: str
    block_size: int
    tickets: Mapping[int, str] = dataclasses.field(repr=False, hash=False)
    seated: Mapping[int, str] = dataclasses.field(repr=False, hash=False)
    drawers: Tuple[int, ...]
    places: Tuple[int, ...]
    outcome: bool

    @property
    def chain(self) -> Tuple[Tuple[int, str], ...]:
        """(drawer, label of the seat taken) for every passenger who drew, in boarding order."""
        return tuple((drawer, self.seated[drawer]) for drawer in self.drawers)

    def _numbers(self) -> Tuple[SeatLabels, SeatLabels]:
        assert isinstance(self.tickets, SeatLabels) and isinstance(self.seated, SeatLabels)
        return self.tickets, self.seated

    def _title(self) -> str:
        return (f"Boarding {self.index:,} of seed {self.seed} ({_many(self.passengers, 'passenger')},"
                f" {_many(self.seats, 'seat')}, block size {self.block_size:,})")

    def _verdict(self) -> str:
        return f"the last passenger {'did' if self.outcome else 'did not'} sit in their own seat"

    def chain_text(self) -> str:
        """The chain written out: who took whose seat, and how it ended."""
        first_seat = self.tickets[1]
        last = self.passengers
        steps: List[str] = []
        for step, (drawer, place) in enumerate(zip(self.drawers, self.places)):
            who = "passenger 1" if step == 0 else f"{drawer}, the last passenger," if drawer == last else str(drawer)
            if place == 0:
                whose = "their own seat" if drawer == 1 else "passenger 1's seat"
                steps.append(f"{who} took {whose} {first_seat}")
                continue
            taken = drawer + place
            name = "the last passenger's seat" if taken == last else f"passenger {taken}'s seat"
            steps.append(f"{who} took {self.seated[drawer]}, {name}")
        if len(steps) > FULL_CHAIN_STEPS:
            left = len(steps) - 2 * CHAIN_ENDS
            steps = [*steps[:CHAIN_ENDS], f"... {left} more displaced passengers ...", *steps[-CHAIN_ENDS:]]
        others = "everyone else sat in their own seat" if self.passengers > len(self.drawers) else "nobody else boarded"
        if not self.outcome:
            return f"{'; '.join(steps)}. {others.capitalize()}: {self._verdict()}."
        return f"{'; '.join(steps)}: {others}; {self._verdict()}."

    def _seat_marks(self) -> Dict[int, str]:
        """Seat number -> what the cabin marks it with: "first" (passenger 1's own seat, which
        the chain's last drawer always takes), "last" (the last passenger's own seat), "taken"
        (taken by a drawer); seats without a mark are their owner's or on no ticket."""
        tickets, seated = self._numbers()
        marks: Dict[int, str] = {}
        for drawer in self.drawers:
            marks[seated.number(drawer)] = "taken"
        marks[tickets.number(self.passengers)] = "last"
        marks[tickets.number(1)] = "first"
        return marks

    def _rows(self) -> List[Optional[int]]:
        """The rows shown, from 1; None where rows are left out."""
        rows = -(-self.seats // COLUMNS_PER_ROW)
        if rows <= FULL_CABIN_ROWS:
            return list(range(1, rows + 1))
        wanted = sorted({1, rows, *((n - 1) // COLUMNS_PER_ROW + 1 for n in self._seat_marks())})
        shown: List[Optional[int]] = []
        for row in wanted:
            if shown and shown[-1] is not None and row > shown[-1] + 1:
                shown.append(None)
            shown.append(row)
        return shown

    def _on_ticket(self, number: int) -> bool:
        return self.seats == self.passengers or number in self._ticketed()

    def _ticketed(self) -> frozenset[int]:
        """The seats shown that are on a ticket: one pass over the tickets, however large the
        plane, and no set of all of them."""
        cached: Optional[frozenset[int]] = self.__dict__.get("_ticketed_seats")
        if cached is None:
            tickets, _ = self._numbers()
            shown = {number for row in self._rows() if row is not None for number, _ in self._cells(row)}
            cached = frozenset(shown.intersection(tickets.numbers()))
            object.__setattr__(self, "_ticketed_seats", cached)
        return cached

    def _cells(self, row: int) -> List[Tuple[int, str]]:
        first = (row - 1) * COLUMNS_PER_ROW + 1
        return [(n, seat_label(n, self.cols)) for n in range(first, min(first + COLUMNS_PER_ROW, self.seats + 1))]

    def text(self) -> str:
        """What ``str()`` shows: the cabin row by row, the chain, the outcome.

        Every seat shows its label: ``[17C]`` a seat a drawer took, ``<3D>`` passenger 1's own
        seat, ``{42A}`` the last passenger's own seat (marked so also when taken), ``-``
        around a seat on no ticket. A cabin of more than 30 rows shows only its first and last
        rows and those the chain touches.
        """
        marks = self._seat_marks()
        width = len(seat_label(self.seats, self.cols)) + 2
        brackets = {"taken": "[]", "first": "<>", "last": "{}"}
        lines = [self._title()]
        rows = self._rows()
        for position, row in enumerate(rows):
            if row is None:
                hidden = rows[position + 1] - rows[position - 1] - 1  # type: ignore[operator]
                lines.append(f"  ... {hidden:,} rows where everyone sat in their own seat ...")
                continue
            cells = []
            for number, label in self._cells(row):
                mark = marks.get(number)
                if mark is not None:
                    label = brackets[mark][0] + label + brackets[mark][1]
                elif not self._on_ticket(number):
                    label = f"-{label}-"
                cells.append(label.center(width))
            lines.append(" ".join(cells).rstrip())
        lines.append("<> passenger 1's seat, {} the last passenger's, [] taken by someone displaced"
                     + (", -- on no ticket" if self.seats > self.passengers else ""))
        lines.extend(textwrap.wrap(self.chain_text(), TEXT_WIDTH, break_on_hyphens=False))
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.text()

    def _repr_pretty_(self, printer: Any, cycle: bool) -> None:
        """IPython's terminal shows the text that print() shows."""
        printer.text(str(self))

    def _repr_html_(self) -> str:
        """A notebook shows the cabin as a table of seats, coloured as the picture colours them,
        with the chain below."""
        marks = self._seat_marks()
        colours = {"first": "#f4c542", "last": "#6aa5d8", "taken": "#e8836b"}
        rows_html = []
        for row in self._rows():
            if row is None:
                rows_html.append(f'<tr><td colspan="{COLUMNS_PER_ROW}" style="text-align:center">&#8942;</td></tr>')
                continue
            cells = []
            for number, label in self._cells(row):
                mark = marks.get(number)
                background = colours[mark] if mark else ("#eeeeee" if self._on_ticket(number) else "#ffffff")
                cells.append(f'<td style="background:{background};padding:2px 6px;text-align:center;'
                             f'font-family:monospace">{html.escape(label, quote=False)}</td>')
            rows_html.append("<tr>" + "".join(cells) + "</tr>")
        verdict_colour = "#2a7" if self.outcome else "#b00"
        return (f'<div class="tavrin-boarding"><p><b>{html.escape(self._title(), quote=False)}</b></p>'
                f'<table>{"".join(rows_html)}</table>'
                f'<p style="font-size:smaller">yellow: passenger 1\'s seat; blue: the last passenger\'s;'
                f' red: taken by someone displaced</p>'
                f'<p style="color:{verdict_colour}">{html.escape(self.chain_text(), quote=False)}</p></div>')

    def plot(self, ax: Optional[Axes] = None) -> Axes:
        """Draw the cabin as a grid of seats with the chain as arrows (needs matplotlib).

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; by default a new figure sized to the cabin.

        Returns
        -------
        matplotlib.axes.Axes
            The axes drawn on; ``ax.figure.savefig(...)`` saves the picture.
        """
        try:
            pyplot = importlib.import_module("matplotlib.pyplot")
            patches = importlib.import_module("matplotlib.patches")
        except ImportError:
            raise ImportError("Boarding.plot() draws with matplotlib: pip install matplotlib"
                              " (or the extra: pip install 'tavrin_puzzles[plot]')") from None
        rows = self._rows()
        if ax is None:
            _, ax = pyplot.subplots(figsize=(4.6, 0.9 + 0.3 * len(rows)), dpi=110)
        assert ax is not None
        marks = self._seat_marks()
        colours = {"first": "#f4c542", "last": "#6aa5d8", "taken": "#e8836b"}
        where: Dict[int, Tuple[float, float]] = {}
        for y, row in enumerate(rows):
            if row is None:
                ax.text(2.5, -y, "...", ha="center", va="center", fontsize=8, color="grey")
                continue
            for column, (number, label) in enumerate(self._cells(row)):
                mark = marks.get(number)
                face = colours[mark] if mark else ("#e4e4e4" if self._on_ticket(number) else "white")
                ax.add_patch(patches.FancyBboxPatch((column - 0.42, -y - 0.38), 0.84, 0.76,
                                                    boxstyle="round,pad=0,rounding_size=0.12",
                                                    facecolor=face, edgecolor="#999999", linewidth=0.6))
                ax.text(column, -y, label, ha="center", va="center", fontsize=6.5)
                where[number] = (column, -y)
        tickets, seated = self._numbers()
        for step, drawer in enumerate(self.drawers):
            start = where[tickets.number(drawer)]
            end = where[seated.number(drawer)]
            if start == end:
                continue
            ax.annotate("", xy=end, xytext=start, arrowprops={
                "arrowstyle": "-|>", "color": "#333333", "linewidth": 1.0, "shrinkA": 6, "shrinkB": 6,
                "connectionstyle": f"arc3,rad={0.25 if step % 2 else -0.25}"})
            ax.text(end[0] + 0.3, end[1] + 0.3, str(drawer), fontsize=5.5, color="#333333", ha="left", va="bottom")
        ax.set_xlim(-0.7, COLUMNS_PER_ROW - 0.3)
        ax.set_ylim(-len(rows) + 0.4, 0.8)
        ax.set_aspect("equal")
        ax.axis("off")
        steps = len(self.drawers)
        ax.set_title(f"Boarding {self.index:,} of seed {self.seed}: {steps} draw{'s' if steps != 1 else ''};\n"
                     f"{self._verdict()}", fontsize=8, color="#227744" if self.outcome else "#aa0000")
        return ax


def _many(count: int, what: str) -> str:
    return f"{count:,} {what}{'' if count == 1 else 's'}"


def _check_index(index: object, name: str = "index") -> int:
    return check_count(name, index, most=MAX_BOARDING - 1)


def _check_run(passengers: object, seats: object, cols: object, seed: object,
               block_size: object) -> Tuple[int, int, str, int, int]:
    if seed is None:
        raise TypeError("a boarding is one of a seeded run: give its seed (seed=...)")
    plane = check_plane(passengers, seats, cols)
    size = default_block_size(plane[1]) if block_size is None else check_block_size(block_size)
    return (*plane, check_seed(seed), size)


def _position(index: int, plane: Tuple[int, int, str], key: bytes, block_size: int) -> int:
    """The word of its block's stream where boarding `index` begins: the boardings of the block
    before it counted in calls of about SKIP_WORK seats each, so that Ctrl-C stops a long skip."""
    from ._kernel import count

    chunk = max(1, SKIP_WORK // plane[1])
    at = index - index % block_size
    position = 0
    while at < index:
        end = min(index, at + chunk)
        position = count(*plane, key, block_size, at, end, position=position)[2]
        at = end
    return position


def _record(index: int, plane: Tuple[int, int, str], seed: int, block_size: int,
            position: Optional[int] = None) -> Boarding:
    from ._kernel import board

    key = seed_key(seed)
    if position is None:
        position = _position(index, plane, key, block_size)
    outcome, ticket_bytes, drawer_bytes, place_bytes, _ = board(*plane, key, block_size, index, position=position)
    numbers = counts_from_bytes(ticket_bytes)
    drawers = tuple(counts_from_bytes(drawer_bytes))
    places = tuple(counts_from_bytes(place_bytes))
    # Drawer d draws among [t1, t(d+1), ..., tP]: place 0 is passenger 1's seat, k that of d + k.
    changed = {d: numbers[0] if k == 0 else numbers[d + k - 1] for d, k in zip(drawers, places)}
    return Boarding(index, seed, *plane, block_size, SeatLabels(numbers, plane[2]),
                    SeatLabels(numbers, plane[2], changed), drawers, places, outcome)


def boarding(index: int, passengers: int = 100, seats: int = 100, cols: str = "ABCDEF", *, seed: int,
             block_size: Optional[int] = None) -> Boarding:
    """Boarding `index` of the seeded run of `seed`, replayed seat by seat.

    Exactly the boarding that ``estimate(..., seed=seed, block_size=block_size)`` counts as
    number `index`: its outcome is the count of the range [index, index + 1). It costs one
    boarding written down plus the ``index % block_size`` boardings of its block before it,
    counted by the kernel to reach its words, in calls of a few tenths of a second that Ctrl-C
    stops (the block's stream is never started earlier).

    Parameters
    ----------
    index : int
        The boarding, 0 <= index < 2**64 - 1.
    passengers, seats, cols
        The plane, as for `estimate`.
    seed : int
        The run's seed.
    block_size : int, optional
        The run's block size; by default the one `estimate` takes for the plane
        (`default_block_size`, 65,536 for 100 seats).

    Returns
    -------
    Boarding

    Raises
    ------
    TypeError, ValueError
        A missing seed, a plane that cannot board, an index or block size out of range.

    Examples
    --------
    >>> from tavrin_estimate import boarding, estimate
    >>> b = boarding(7, 10, 10, seed=42)
    >>> b.outcome == (estimate(8, 10, 10, seed=42).successes - estimate(7, 10, 10, seed=42).successes == 1)
    True
    """
    passengers, seats, cols, seed, size = _check_run(passengers, seats, cols, seed, block_size)
    return _record(_check_index(index), (passengers, seats, cols), seed, size)


def find_boarding(outcome: bool, start: int = 0, stop: int = MAX_BOARDING, passengers: int = 100,
                  seats: int = 100, cols: str = "ABCDEF", *, seed: int,
                  block_size: Optional[int] = None) -> Optional[Boarding]:
    """The first boarding of [start, stop) of a seeded run whose last passenger did (`outcome`
    True) or did not sit in their own seat; None when there is none.

    The kernel counts ranges from where the last one stopped, doubling them up to 65,536
    boardings, and halves the range holding the first one wanted: about twice the boardings
    up to it, plus the skip to `start` in its block.

    Parameters
    ----------
    outcome : bool
        The outcome wanted.
    start, stop : int
        The boardings searched, 0 <= start <= stop <= 2**64 - 1.
    passengers, seats, cols, seed, block_size
        As for `boarding`.

    Returns
    -------
    Boarding or None

    Examples
    --------
    >>> from tavrin_estimate import boarding, find_boarding
    >>> missed = find_boarding(False, 0, 100, 10, 10, seed=42)
    >>> missed.outcome, [boarding(i, 10, 10, seed=42).outcome for i in range(missed.index)].count(False)
    (False, 0)
    """
    if not isinstance(outcome, bool):
        raise TypeError(f"outcome must be a bool, not {type(outcome).__name__}")
    passengers, seats, cols, seed, size = _check_run(passengers, seats, cols, seed, block_size)
    plane = (passengers, seats, cols)
    start = check_count("start", start)
    stop = check_count("stop", stop)
    if start > stop:
        raise ValueError(f"start {start:,} is after stop {stop:,}")
    if plane[0] == 1 and not outcome:
        return None  # a lone passenger always sits in their own seat
    found = _search(outcome, start, stop, plane, seed_key(seed), size)
    return None if found is None else _record(found[0], plane, seed, size, found[1])


def _search(outcome: bool, start: int, stop: int, plane: Tuple[int, int, str], key: bytes,
            block_size: int) -> Optional[Tuple[int, int]]:
    """(index, position) of the first boarding of [start, stop) with `outcome`."""
    from ._kernel import count

    def wanted(low: int, high: int, position: int) -> Tuple[int, int]:
        successes, _, after = count(*plane, key, block_size, low, high, position=position)
        return (successes if outcome else high - low - successes), after

    at = start
    block_start = at - at % block_size
    position = 0 if at == block_start else count(*plane, key, block_size, block_start, at, position=0)[2]
    length = 1
    while at < stop:
        end = min(stop, at + length, (at // block_size + 1) * block_size)
        hits, after = wanted(at, end, position)
        if hits:
            low, low_position, high = at, position, end
            while high - low > 1:
                middle = (low + high) // 2
                hits, middle_position = wanted(low, middle, low_position)
                if hits:
                    high = middle
                else:
                    low, low_position = middle, middle_position
            return low, low_position
        at, position = end, (0 if end % block_size == 0 else after)
        length = min(2 * length, SEARCH_CHUNK)
    return None

