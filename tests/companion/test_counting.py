"""Seeds, keys and block sizes, and the ranges a run holds as counts arrive in any order."""

from __future__ import annotations

import hashlib
import random
from array import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tavrin_estimate import Estimate, Part, default_block_size, seed_key
from tavrin_estimate._counting import Holdings, parse_seed, seed_text


@pytest.mark.parametrize(
    "seed, key_bytes",
    [(0, b"\x00"), (255, b"\xff"), (256, b"\x00\x01"), (2**64, b"\x00" * 8 + b"\x01"), (3**200, None)],
)
def test_seed_key_is_sha256_of_the_little_endian_bytes(seed: int, key_bytes: bytes | None) -> None:
    """The key derivation every saved seed relies on; the first is SHA-256 of one zero byte."""
    if key_bytes is None:
        key_bytes = seed.to_bytes(40, "little").rstrip(b"\0")
    assert seed_key(seed) == hashlib.sha256(key_bytes).digest()
    assert seed_key(0).hex() == "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"


def test_seeds_up_to_the_largest_survive_their_decimal_form_and_larger_are_refused_at_once() -> None:
    """Up to 2**4096 - 1, leading zeros refused nowhere; a larger seed is refused wherever it
    enters (by its length, before a text of millions of digits is converted), as is what is no
    decimal number."""
    for seed in (0, 7, 2**128 - 1, 2**4096 - 1):
        assert parse_seed(seed_text(seed)) == seed
    assert parse_seed("0" * 5000 + "12") == 12
    for text in ("", "-1", "1e3", "0x10", "١٢", "1" + "0" * 1234, "7" * 3_000_000):
        with pytest.raises(ValueError):
            parse_seed(text)
    with pytest.raises(ValueError, match=r"a seed is below 2\*\*4096 .*; this one has 4,097 bits"):
        Part(2**4096, 1)
    document = Estimate(1, 1, "A", (Part(1, 1),)).to_dict()
    document["parts"][0]["seed"] = "9" * 2000
    with pytest.raises(ValueError, match="this one has 2,000 digits"):
        Estimate.from_dict(document)


@pytest.mark.parametrize(
    "seats, size",
    [(0, 65536), (1, 65536), (100, 65536), (128, 65536), (129, 32768), (1000, 8192), (2**23, 1), (10**9, 1)],
)
def test_default_block_size(seats: int, size: int) -> None:
    assert default_block_size(seats) == size


def counts(block_size: int, start: int, stop: int, truth: list[int]) -> array:  # type: ignore[type-arg]
    """The per-block counts of [start, stop) from per-boarding outcomes."""
    out = []
    at = start
    while at < stop:
        end = min(stop, (at // block_size + 1) * block_size)
        out.append(sum(truth[at:end]))
        at = end
    return array("I", out)


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 9), st.integers(1, 300), st.lists(st.integers(1, 299), max_size=12), st.randoms())
def test_pieces_in_any_order_join_to_the_whole(
    block_size: int, total: int, cuts: list[int], rng: random.Random
) -> None:
    """[0, total) cut anywhere (inside blocks too) and added in any order holds exactly what one
    piece holds, block counts included; what is missing is reported until the end; an overlap is
    refused and changes nothing; a cut anywhere keeps the counts below it, the share of the
    block it falls in too."""
    truth = [rng.randrange(2) for _ in range(total)]
    bounds = sorted({0, total, *(c for c in cuts if c < total)})
    pieces = list(zip(bounds, bounds[1:]))
    rng.shuffle(pieces)
    holdings = Holdings(block_size)
    for i, (low, high) in enumerate(pieces):
        holdings.add(low, high, sum(truth[low:high]), counts(block_size, low, high, truth))
        held = sorted(pieces[: i + 1])
        assert holdings.iterations == sum(b - a for a, b in held)
        assert [a for gap in holdings.missing(total) for a in range(*gap)] == [
            g for g in range(total) if not any(a <= g < b for a, b in held)
        ]
    whole = Holdings(block_size)
    whole.add(0, total, sum(truth), counts(block_size, 0, total, truth))
    assert holdings.spans() == whole.spans()
    low = rng.randrange(total)
    with pytest.raises(ValueError, match="overlap"):
        holdings.add(low, low + 1, 0, None)
    assert holdings.spans() == whole.spans()
    first = holdings.first()
    assert first is not None and first.chunks is not None
    assert first.totals == [sum(chunk) for chunk in first.chunks]
    cut = rng.randrange(1, total + 1)
    holdings.cut(cut, sum(truth[:cut]))
    assert holdings.ranges() == [(0, cut)] and holdings.successes == sum(truth[:cut])
    assert holdings.spans()[0].blocks == counts(block_size, 0, cut, truth).tobytes()
