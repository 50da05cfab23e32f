"""One boarding of a seeded run replayed: the one the count counts, seat for seat the oracle's;
the search for the first of an outcome; its text, notebook table and picture; its refusals."""

from __future__ import annotations

import html
import io
import itertools
import re
from html.parser import HTMLParser

import pytest

import kernel_oracle as oracle
from tavrin_estimate import _kernel, boarding, find_boarding, seed_key
from tavrin_puzzles import Planes

from .support import needs

LAST = 2**64 - 2  # the last boarding a range can hold


@pytest.mark.parametrize("seed", [0, 7, 2**70 + 5])
@pytest.mark.parametrize(("passengers", "seats", "cols"), [(1, 1, "A"), (2, 2, "XY"), (5, 9, "ABCDEF"),
                                                           (12, 12, "abcdefgh"), (100, 100, "ABCDEF")])
@pytest.mark.parametrize(("block_size", "indexes"), [
    (1, [0, 1, 5, LAST]),
    (4, [0, 3, 4, 5, 11, LAST]),
    (64, [0, 63, 64, 65, 200]),
    (None, [0, 1, 65_535, 65_536]),
])
def test_a_boarding_is_the_one_the_count_counts_seat_for_seat(
        seed: int, passengers: int, seats: int, cols: str, block_size: int | None, indexes: list[int]) -> None:
    """At block edges, inside blocks and at the last boarding: its outcome is the count of
    [index, index + 1); where the oracle can reach it, its tickets and seats are the oracle's;
    its labels are generate_seating()'s; everyone who did not draw sat in their own seat."""
    size = 65_536 if block_size is None else block_size  # the default plane's default
    for index in indexes:
        b = boarding(index, passengers, seats, cols, seed=seed, block_size=block_size)
        counted, _ = _kernel.count(passengers, seats, cols, seed_key(seed), size, index, index + 1)
        assert (b.index, b.block_size, b.outcome) == (index, size, counted == 1)
        if index % size <= 5 and seats <= 12:
            words = oracle.stream_words(seed_key(seed), index // size)
            for _ in range(index % size):
                oracle.board_once(passengers, seats, words)
            tickets, seated = oracle.seat_once(passengers, seats, words)
            assert [b.tickets[p] for p in b.tickets] == [f"{n}{cols[(n - 1) % 6]}" for n in tickets]
            assert [b.seated[p] for p in b.seated] == [f"{n}{cols[(n - 1) % 6]}" for n in seated]
        assert dict(b.seated) == {p: b.tickets[p] for p in b.tickets if p not in b.drawers} | dict(b.chain)
        assert b.drawers[0] == 1 and sorted(b.drawers) == list(b.drawers) and b.places[-1] == 0
        if passengers == seats:
            assert sorted(b.seated.values()) == sorted(Planes(passengers, seats, cols).generate_seating().values())


def outcomes(start: int, stop: int, plane: tuple[int, int, str], seed: int, block_size: int) -> list[bool]:
    return [_kernel.count(*plane, seed_key(seed), block_size, i, i + 1)[0] == 1 for i in range(start, stop)]


@pytest.mark.parametrize(("plane", "block_size", "start", "stop"), [
    ((10, 10, "ABCDEF"), 7, 0, 60),
    ((10, 10, "ABCDEF"), 7, 5, 60),     # starts inside a block
    ((3, 4, "ABCD"), 1, 2, 40),         # every boarding a block
    ((100, 100, "ABCDEF"), 1000, 990, 1010),
    ((1, 3, "ABC"), 5, 0, 20),          # nobody ever misses their seat
])
def test_find_boarding_gives_the_first_of_its_outcome_or_none(
        plane: tuple[int, int, str], block_size: int, start: int, stop: int) -> None:
    """The first boarding of each outcome, by the count of every boarding of the range alone;
    None when the range holds none (a short range, or one passenger)."""
    seen = outcomes(start, stop, plane, 11, block_size)
    for outcome in (True, False):
        found = find_boarding(outcome, start, stop, *plane, seed=11, block_size=block_size)
        expected = start + seen.index(outcome) if outcome in seen else None
        assert (found and found.index) == expected
        assert found is None or found.outcome == outcome
        if expected is not None and expected > start:
            assert find_boarding(outcome, start, expected, *plane, seed=11, block_size=block_size) is None


def test_the_text_shows_every_row_and_the_whole_chain() -> None:
    """A default plane: all 17 rows with the plane's letters, each seat of the chain marked, each
    drawer named in boarding order, and the outcome said."""
    for index in range(4):
        b = boarding(index, seed=2026)
        text = b.text()
        assert str(b) == text
        lines = text.splitlines()
        assert lines[0] == f"Boarding {index} of seed 2026 (100 passengers, 100 seats, block size 65,536)"
        assert [line.split()[0].strip("[]<>{}") for line in lines[1:18]] == [f"{6 * r + 1}A" for r in range(17)]
        for _drawer, seat in b.chain:
            assert re.search(rf"[\[<{{]{seat}[\]>}}]", text)
        chain = " ".join(lines[19:])
        named = [int(m) for m in re.findall(r"(?:^|; )(?:passenger )?(\d+)(?:, the last passenger,)? took", chain)]
        assert named == list(b.drawers)
        assert chain.endswith(f"the last passenger {'did' if b.outcome else 'did not'} sit in their own seat.")


def test_a_large_plane_is_summarised_and_reached_in_short_calls() -> None:
    """A cabin of 16,667 rows shows the rows the chain touches, the first and the last, and a
    chain of more than twelve draws its first and last five. Its boarding 700 of blocks of
    1,024, reached in two calls of the kernel, is still the one counted."""
    far = boarding(700, 100_000, 100_001, seed=3, block_size=1024)
    assert far.outcome == (_kernel.count(100_000, 100_001, "ABCDEF", seed_key(3), 1024, 700, 701)[0] == 1)
    long_chain = None
    for index in itertools.count():
        b = boarding(index, 100_000, 100_001, seed=3, block_size=1)
        if len(b.drawers) > 12:
            long_chain = b
            break
    text = long_chain.text()
    rows = [line for line in text.splitlines() if re.match(r"\s*[\[<{-]?\d+A", line)]
    assert rows[0].split()[0] == "1A" and rows[-1].split()[0].strip("[]<>{}-") == "99997A"
    assert len(rows) <= 2 + len(long_chain.drawers) + 2
    assert "rows where everyone sat in their own seat" in text
    assert f"{len(long_chain.drawers) - 10} more displaced passengers" in text


class Cells(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.cells: list[tuple[str, str]] = []
        self._style = ""

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self._style = dict(attrs).get("style") or "" if tag == "td" else ""

    def handle_data(self, data: str) -> None:
        if self._style:
            self.cells.append((data, self._style))
            self._style = ""


def test_the_notebook_table_holds_every_seat_escaped_and_coloured_by_its_part() -> None:
    cols = "<&>\"'x"
    b = boarding(1, 20, 24, cols, seed=5)
    parser = Cells()
    parser.feed(b._repr_html_())
    assert [label for label, _ in parser.cells] == [f"{n}{cols[(n - 1) % 6]}" for n in range(1, 25)]
    colour = dict(parser.cells)
    assert "#f4c542" in colour[b.tickets[1]] and "#6aa5d8" in colour[b.tickets[20]]
    assert sum("#ffffff" in style for _, style in parser.cells) == 4  # seats on no ticket
    assert b.chain_text() in html.unescape(b._repr_html_())


@needs("matplotlib")
def test_the_picture_draws_the_chain_and_the_same_bytes_every_time() -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot

    b = boarding(2, 30, 30, seed=9)
    drawn = []
    for _ in range(2):
        ax = b.plot()
        arrows = [child for child in ax.get_children() if type(child).__name__ == "Annotation" and child.arrow_patch]
        assert len(arrows) == sum(b.tickets[d] != b.seated[d] for d in b.drawers)
        assert ax.get_title().endswith(f"the last passenger {'did' if b.outcome else 'did not'} sit in their own seat")
        out = io.BytesIO()
        ax.figure.savefig(out, format="png", metadata={"Software": None})
        pyplot.close(ax.figure)
        drawn.append(out.getvalue())
    assert drawn[0] == drawn[1]


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda: boarding(0), TypeError, "missing 1 required keyword-only argument: 'seed'"),
    (lambda: boarding(0, seed=None), TypeError, "a boarding is one of a seeded run: give its seed"),
    (lambda: boarding(2**64 - 1, seed=1), ValueError, "index must be at most 18,446,744,073,709,551,614"),
    (lambda: boarding(0, 0, 3, seed=1), ValueError, "a plane with 0 passengers has no last passenger"),
    (lambda: find_boarding(1, seed=1), TypeError, "outcome must be a bool, not int"),  # type: ignore[arg-type]
    (lambda: find_boarding(True, 5, 4, seed=1), ValueError, "start 5 is after stop 4"),
])
def test_refusals(call: object, error: type, message: str) -> None:
    with pytest.raises(error, match=re.escape(message)):
        call()  # type: ignore[operator]
