"""The result: Wilson interval, closed-form answer, parts of seeds and their ranges, combination,
text and dictionary forms."""

from __future__ import annotations

import dataclasses
import math
from array import array
from fractions import Fraction
from pathlib import Path
from statistics import NormalDist
from typing import Any, Callable

import pytest

from tavrin_estimate import Estimate, Part, Provenance, Span, _store, estimate, exact_answer, wilson_interval

from .support import NEAR_CERTAIN


def test_wilson_interval_is_the_inverted_score_test() -> None:
    """For every count of 60 boardings and every p on a grid, the interval covers p exactly when
    |k/n - p| <= z sqrt(p(1 - p)/n); plus a value worked out by hand and the empty case."""
    n = 60
    for confidence in (0.5, 0.95, 0.999):
        z = NormalDist().inv_cdf(0.5 + confidence / 2)
        for k in range(n + 1):
            low, high = wilson_interval(k, n, confidence)
            assert 0.0 <= low <= k / n <= high <= 1.0
            for p in (i / 97 for i in range(1, 97)):
                distance, limit = abs(k / n - p), z * math.sqrt(p * (1 - p) / n)
                if abs(distance - limit) > 1e-9:  # away from the boundary, where rounding decides
                    assert (low <= p <= high) == (distance < limit), (confidence, k, p)
    # 0 of 10 at 95%: the upper end is z^2 / (n + z^2) = 3.8415 / 13.8415.
    assert wilson_interval(0, 10, 0.95) == (0.0, pytest.approx(0.27753, abs=1e-5))
    assert wilson_interval(0, 0, 0.95) == (0.0, 1.0)


@pytest.mark.parametrize(
    "passengers, seats, cols, exact",
    [
        (1, 1, "A", Fraction(1)),
        (1, 40, "ABCDEF", Fraction(1)),
        (2, 2, "AB", Fraction(1, 2)),
        (3, 3, "ABC", Fraction(1, 2)),  # as many letters as seats is enough
        (5, 40, "123456", Fraction(1, 2)),  # digits as letters: labels still differ
        (4, 9, "AAAAAA", Fraction(1, 2)),  # repeated letters
        (7, 7, "ABCDEFGH", Fraction(1, 2)),  # letters past the sixth are never used
        (30, 100, "ABCDEF", Fraction(1, 2)),  # empty seats never enter the boarding
        (0, 0, "", None),
        (0, 5, "ABCDEF", None),
        (3, 4, "ABC", None),  # seat 4 has no letter
        (1, 1, "", None),
    ],
)
def test_exact_answer_holds_on_the_module(passengers: int, seats: int, cols: str, exact: Fraction | None) -> None:
    """The closed form agrees with 4000 boardings of the module (interval at near certainty);
    a plane without one is refused by estimate() before anything runs."""
    assert exact_answer(passengers, seats, cols) == exact
    if exact is None:
        with pytest.raises(ValueError):
            estimate(10, passengers, seats, cols)
        return
    result = estimate(4000, passengers, seats, cols, confidence=NEAR_CERTAIN)
    assert result.exact == exact
    low, high = result.interval
    assert low <= exact <= high
    if exact == 1:
        assert result.successes == result.iterations


def test_interval_coverage_over_many_small_estimates() -> None:
    """400 estimates of 100 boardings each: the 95% interval covers 1/2 in a count whose chance
    of falling outside the accepted range is below 1e-6 (both binomial tails, computed below)."""
    runs, n, confidence = 400, 100, 0.95
    # The interval covers 1/2 when |k - n/2| <= z sqrt(n)/2, so its true coverage is a sum of
    # binomial probabilities (about 0.943 here: the count is discrete).
    z = NormalDist().inv_cdf(0.5 + confidence / 2)
    coverage = sum(math.comb(n, k) for k in range(n + 1) if abs(k - n / 2) <= z * math.sqrt(n) / 2) / 2**n
    assert abs(coverage - confidence) < 0.02

    def tail_below(m: int) -> float:
        return sum(math.comb(runs, i) * coverage**i * (1 - coverage) ** (runs - i) for i in range(m))

    lowest = max(m for m in range(runs + 1) if tail_below(m) < 0.5e-6)
    highest = min(m for m in range(runs + 1) if 1 - tail_below(m + 1) < 0.5e-6)
    covered = 0
    for _ in range(runs):
        result = estimate(n, 2, 2, "AB", confidence=confidence)
        assert result.iterations == n
        low, high = result.interval
        covered += low <= 0.5 <= high
    assert lowest <= covered <= highest, (covered, lowest, highest)


def blocks(*values: int) -> bytes:
    return array("I", values).tobytes()


def result(*parts: Part, **fields: Any) -> Estimate:
    return Estimate(100, 100, "ABCDEF", parts, **fields)


PROVENANCE = Provenance("0.1.0", "CPython 3.11.7", "x86_64", "avx2", 2, "local")
# Seed 7 in blocks of 4: boardings 0-5 (blocks 0 and half of 1) and 10-12 (blocks 2 and 3).
SEVEN = Part(7, 4, (Span(0, 6, 3, blocks(2, 1)), Span(10, 13, 2, blocks(1, 1))))


def test_results_of_one_seed_join_and_of_several_seeds_stay_apart() -> None:
    """Adding joins the ranges of one seed (the block they meet in gets one count), keeps parts
    of other seeds beside it, adds time, refuses overlaps, other block sizes, planes and
    confidences; a result cannot be changed in place."""
    a = result(SEVEN, elapsed=1.5, interrupted=True, provenance=(PROVENANCE,))
    b = result(Part(7, 4, (Span(6, 10, 1, blocks(0, 1)),)), elapsed=0.5, provenance=(PROVENANCE,))
    joined = a + b
    assert joined.parts == (Part(7, 4, (Span(0, 13, 6, blocks(2, 1, 2, 1)),)),)
    assert (joined.successes, joined.iterations, joined.elapsed, joined.seed) == (6, 13, 2.0, 7)
    assert joined.interrupted and joined.provenance == (PROVENANCE,)
    assert joined.interval == wilson_interval(6, 13, 0.95) and joined.rate == 6.5
    other = result(Part(2**128 - 1, 4, (Span(0, 4, 4),)))
    pooled = joined + other
    assert pooled.seeds == (7, 2**128 - 1) and pooled.seed is None
    assert (pooled.successes, pooled.iterations) == (10, 17)
    for bad, message in [
        (result(Part(7, 4, (Span(5, 6, 0),))), "overlap"),
        (result(Part(7, 8, (Span(20, 30, 1),))), "of 8 there"),
        (dataclasses.replace(b, cols="UVWXYZ"), "different configurations"),
        (b.with_confidence(0.99), "confidence"),
    ]:
        with pytest.raises(ValueError, match=message):
            a + bad
    with pytest.raises(dataclasses.FrozenInstanceError):
        joined.parts = ()  # type: ignore[misc]


def test_dictionary_form_round_trips_and_files_keep_it() -> None:
    """to_dict() is JSON-ready (seeds as decimal strings) and from_dict() gives an equal result;
    save() and load() go through a checked file."""
    pooled = result(SEVEN, Part(10**50, 65536, ()), elapsed=2.0, provenance=(PROVENANCE,))
    document = pooled.to_dict()
    assert document["parts"][1]["seed"] == str(10**50) and document["version"] == 3
    assert (document["successes"], document["iterations"]) == (5, 9) and document["method"] == "wilson"
    assert Estimate.from_dict(_store.decode(_store.encode(document), kind=document["format"], versions=(3,))) == pooled
    chosen = dataclasses.replace(pooled, method="anytime")
    assert Estimate.from_dict(chosen.to_dict()) == chosen
    # Version 2 recorded no method: its results were Wilson's.
    older = {key: value for key, value in chosen.to_dict().items() if key != "method"}
    assert Estimate.from_dict({**older, "version": 2}) == pooled


def test_save_and_load(tmp_path: Path) -> None:
    pooled = result(SEVEN, provenance=(PROVENANCE,))
    pooled.save(tmp_path / "run.json")
    assert Estimate.load(tmp_path / "run.json") == pooled
    with pytest.raises(ValueError, match="does not exist"):
        Estimate.load(tmp_path / "none.json")


Edit = Callable[[dict[str, Any]], Any]


def part0(document: dict[str, Any]) -> dict[str, Any]:
    return document["parts"][0]  # type: ignore[no-any-return]


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda d: d.update(version=1), "format version 1, which records no seed"),
        (lambda d: d.update(version=4), "unknown format version"),
        (lambda d: d.update(version=2), "unknown fields: method"),
        (lambda d: d.update(method="exact"), "unknown interval method 'exact'"),
        (lambda d: d.pop("provenance"), "lacks provenance"),
        (lambda d: d.update(extra=1), "unknown fields: extra"),
        (lambda d: d.update(successes=6), "successes is 6"),
        (lambda d: part0(d).update(seed="-7"), "decimal digits"),
        (lambda d: part0(d).update(seed=7), "type str"),
        (lambda d: part0(d).update(block_size=0), "block_size"),
        (lambda d: [part0(d)[key].reverse() for key in ("ranges", "block_counts")], "sorted"),
        (lambda d: part0(d)["ranges"].__setitem__(1, [6, 9, 2]), "sorted, apart and joined"),
        (lambda d: part0(d)["ranges"].__setitem__(0, [0, 6, 7]), "cannot hold 7 successes"),
        (lambda d: part0(d)["ranges"].__setitem__(1, [10, 2**64, 2]), r"2\*\*64"),
        (lambda d: part0(d)["ranges"].__setitem__(0, [0, 6, True]), "type int"),
        (lambda d: part0(d)["block_counts"].__setitem__(0, "AAAA"), "touches 2 blocks"),
        (lambda d: part0(d)["block_counts"].__setitem__(0, "!!"), "not base64"),
        (lambda d: part0(d)["block_counts"].pop(), "2 ranges but 1"),
        (lambda d: part0(d)["block_counts"].__setitem__(0, "AwAAAAEAAAA="), "add up to 4"),
        (lambda d: part0(d)["block_counts"].__setitem__(0, "AAAAAAMAAAA="), "counts 3 in 2 boardings"),
        (lambda d: d.update(parts=[part0(d), part0(d)]), "one part per seed"),
        (lambda d: d.update(interrupted=0), "type bool"),
    ],
)
def test_impossible_dictionaries_are_refused(edit: Edit, message: str) -> None:
    """Every way a saved result can be damaged or made up is refused, saying how."""
    document = result(SEVEN, provenance=(PROVENANCE,)).to_dict()
    edit(document)
    with pytest.raises(ValueError, match=message):
        Estimate.from_dict(document)


def test_block_counts_are_dropped_past_the_limit(monkeypatch: pytest.MonkeyPatch) -> None:
    """A part touching more blocks than are kept keeps only its range totals."""
    monkeypatch.setattr("tavrin_estimate._result.MAX_KEPT_BLOCKS", 3)
    assert Part(7, 4, SEVEN.spans[:1]).has_block_counts
    dropped = Part(7, 4, SEVEN.spans)
    assert not dropped.has_block_counts and dropped.ranges == SEVEN.ranges and dropped.successes == 5


def test_text_shows_seed_estimate_interval_exact_and_rate() -> None:
    """str() is what the command line prints: plane, seeds with their ranges, counts, estimate,
    interval by its method and the anytime one, exact value, rate, and a mark on a partial result;
    a confidence next to 1 is not shown as 1; one failure in 2^53 boardings still shows its
    intervals. repr() is short however many blocks the result holds."""
    one = Part(12345678901234567890, 65536, (Span(0, 1_000_000, 499_950),))
    text = str(result(one, elapsed=0.5))
    low, high = result(one).proportion_ci(method="anytime")
    assert "seed       12345678901234567890 (blocks of 65,536; boardings 0 to 1,000,000)\n" in text
    assert "boardings  1,000,000, the last passenger in their own seat in 499,950\n" in text
    assert "estimate   0.49995\n" in text
    assert "interval   [0.49897, 0.50093] at 0.95 confidence (wilson)\n" in text
    assert f"anytime    [{low:.5f}, {high:.5f}] at 0.95 confidence (anytime: holds however often" in text
    assert " at 0.9999999999999998 confidence " in result(one).with_confidence(1 - 2**-52).text()
    long = Part(1, 64, (Span(0, 64 * 5000, 5000, blocks(*[1] * 5000)),))
    assert repr(result(long)) == ("<Estimate 100 passengers, 100 seats, cols 'ABCDEF': 5,000 of 320,000 boardings;"
                                  " seed 1 (blocks of 64; boardings 0 to 320,000)>")
    assert "exact      1/2 (0.5), inside the interval" in text
    off = str(result(Part(1, 65536, (Span(0, 1_000_000, 498_000),)), confidence=0.99))
    assert "exact      1/2 (0.5), outside the interval, as a 0.99 confidence interval is in about one run in 100\n" in off
    assert "rate       2,000,000 boardings/s" in text
    assert "INTERRUPTED" not in text
    near_all = result(Part(1, 65536, (Span(0, 2**53, 2**53 - 1),)))  # S / n one ulp below 1
    low, high = near_all.proportion_ci(method="anytime")
    assert f"anytime    [{low:.12f}, {high:.12f}] at 0.95" in str(near_all) and 0.999 < low < high == 1.0
    scattered = Part(3, 1, tuple(Span(2 * i, 2 * i + 1, 0) for i in range(5)))
    partial = str(Estimate(0, 0, "", (SEVEN, scattered), interrupted=True))
    assert partial.startswith("INTERRUPTED") and "not known" in partial
    assert "seed       7 (blocks of 4; boardings 0 to 6, 10 to 13)" in partial
    assert "seed       3 (blocks of 1; boardings 5 ranges from 0 to 9)" in partial
