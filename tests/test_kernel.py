"""The seeded counting kernel tavrin_estimate._kernel, held against the plain-Python oracle
(kernel_oracle.py) and against the published test vectors (docs/test-vectors.json), on every thread count
and block function; its refusals; the interpreter lock released while it counts."""

from __future__ import annotations

import array
import json
import os
import random
import threading
import time
from pathlib import Path

import pytest

import kernel_oracle as oracle
from tavrin_estimate import _kernel

ZERO_KEY = bytes(32)
RFC_7539_KEY = bytes(range(32))
BLOCK_FUNCTIONS = _kernel.block_functions()


@pytest.mark.parametrize(
    ("key", "counter", "stream", "rounds", "first_words"),
    [
        # The first block of ChaCha12 with the zero key, and the start of the second.
        (ZERO_KEY, 0, 0, 12, "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
         "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"),
        (ZERO_KEY, 1, 0, 12, "0bd58841203e74fe86fc71338ce0173d"),
        (ZERO_KEY, 0, 0, 20, "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"),
        # RFC 7539, section 2.3.2: words 12..15 are 1, 0x09000000, 0x4a000000, 0.
        (RFC_7539_KEY, 0x09000000_00000001, 0x4A000000, 20, "10f1e7e4d13b5915500fdd1fa32071c4"),
    ],
)
def test_oracle_chacha_gives_the_published_vectors(key: bytes, counter: int, stream: int, rounds: int, first_words: str) -> None:
    """The oracle's block function, with the rounds as a parameter, gives the published keystreams."""
    expected = bytes.fromhex(first_words)
    words = oracle.chacha_block(key, counter, stream, rounds)
    assert b"".join(w.to_bytes(4, "little") for w in words)[: len(expected)] == expected


def kernel_count(seed: int, passengers: int, seats: int, cols: str, block_size: int, start: int, stop: int,
                 **options: object) -> tuple[int, list[int]]:
    successes, per_block = _kernel.count(passengers, seats, cols, oracle.seed_key(seed), block_size, start, stop,
                                         **options)
    return successes, array.array("I", per_block).tolist()


@pytest.mark.parametrize("seed", [0, 1, 2**70 + 5])
@pytest.mark.parametrize(("passengers", "seats"), [(1, 1), (2, 2), (3, 5), (7, 7), (10, 13)])
@pytest.mark.parametrize(
    ("block_size", "start", "stop"),
    [(4, 0, 14), (3, 4, 9), (5, 7, 8), (6, 3, 3)],
    ids=["partial-last-block", "mid-block-start", "one-boarding", "empty"],
)
def test_counts_every_block_as_the_oracle_does(seed: int, passengers: int, seats: int, block_size: int,
                                                start: int, stop: int) -> None:
    """Per-block counts of small planes, whole and partial blocks, equal the oracle's."""
    expected = oracle.count(passengers, seats, oracle.seed_key(seed), block_size, start, stop)
    assert kernel_count(seed, passengers, seats, "ABCDEF", block_size, start, stop) == expected


# The published test vectors (docs/test-vectors.json, shown in the documentation): (seed,
# passengers, seats, cols, block size, start, stop) -> (successes, per-block counts). The oracle
# computes them again in `python docs/test_vectors.py --check`.
VECTORS = json.loads((Path(__file__).resolve().parent.parent / "docs" / "test-vectors.json").read_text())["counts"]
KNOWN_ANSWERS = [
    ((int(v["seed"]), v["passengers"], v["seats"], v["cols"], v["block_size"], v["start"], v["stop"]),
     (v["successes"], v["per_block"]))
    for v in VECTORS
]


@pytest.mark.parametrize(("case", "answer"), KNOWN_ANSWERS)
@pytest.mark.parametrize("block_function", [None, *BLOCK_FUNCTIONS])
def test_known_answers_on_any_threads_and_block_function(case: tuple, answer: tuple, block_function: str | None,
                                                         monkeypatch: pytest.MonkeyPatch) -> None:
    """The fixed answers come out on 1, 2 and 7 threads and on every block function this processor runs."""
    monkeypatch.setenv("TAVRIN_PUZZLES_WORKER_THREADS", "8")
    for threads in (1, 2, 7):
        assert kernel_count(*case, threads=threads, block_function=block_function) == answer


@pytest.mark.parametrize(("case", "answer"), KNOWN_ANSWERS[:2])
def test_calls_going_on_from_their_stop_positions_add_up_to_the_known_answers(case: tuple, answer: tuple) -> None:
    """A range cut inside blocks, each call going on from the word of the block's stream where
    the last stopped (the first from one that runs its block's beginning), gives the known
    per-block counts: a long block can be counted in short calls without running it twice. An
    empty call inside a block gives back the position it was given."""
    seed, passengers, seats, cols, block_size, start, stop = case
    plane = (passengers, seats, cols, oracle.seed_key(seed), block_size)
    lead = start - start % block_size
    position = _kernel.count(*plane, lead, start, position=0)[2]
    inner = random.Random(seed).sample(range(start + 1, stop), min(12, stop - start - 1))
    # Each cut inside a block twice: an empty call [c, c) between the two calls around it.
    cuts = sorted([start, stop, *inner, *(cut for cut in inner if cut % block_size)])
    assert len(cuts) > len(set(cuts))
    per_block = [0] * ((stop - 1) // block_size - start // block_size + 1)
    for low, high in zip(cuts, cuts[1:]):
        _successes, counts, position = _kernel.count(*plane, low, high, position=position if low % block_size else 0)
        for offset, count in enumerate(array.array("I", counts)):
            per_block[low // block_size - start // block_size + offset] += count
    assert (sum(per_block), per_block) == answer


def test_block_functions_are_named_fastest_first() -> None:
    """The portable function is always there, last; the others are the known vector ones, fastest first."""
    order = ["avx512", "avx2", "sse2", "scalar"]
    assert BLOCK_FUNCTIONS[-1] == "scalar"
    assert [name for name in order if name in BLOCK_FUNCTIONS] == BLOCK_FUNCTIONS


def test_lanes_follow_the_fastest_block_function_and_the_plane() -> None:
    """A thread counts 32, 16 or 8 blocks at once with AVX-512, AVX2 or SSE2 lanes, one with the
    portable function or a plane too large for the lanes; a seat count is checked as count()'s."""
    expected = {"avx512": 32, "avx2": 16, "sse2": 8, "scalar": 1}[BLOCK_FUNCTIONS[0]]
    assert [_kernel.lanes(seats) for seats in (1, 100, 2**24 - 1, 2**24)] == [expected] * 3 + [1]
    with pytest.raises(TypeError):
        _kernel.lanes("100")  # type: ignore[arg-type]
    with pytest.raises(OverflowError):
        _kernel.lanes(-1)


KEY = oracle.seed_key(0)
GOOD = {"passengers": 10, "seats": 12, "cols": "ABCDEF", "key": KEY, "block_size": 4, "start": 0, "stop": 9}


@pytest.mark.parametrize(
    ("changes", "error", "message"),
    [
        # The model's refusals (all of them are in tests/cpp/counting_test.cpp), one of each kind.
        ({"passengers": 0}, ValueError, "a plane with 0 passengers has no last passenger"),
        ({"key": bytes(31)}, ValueError, "key must be 32 bytes, got 31"),
        ({"block_function": "avx1024"}, ValueError, "unknown block function 'avx1024': choose one of "),
        ({"seats": 2**40}, MemoryError, "cannot hold 1099511627776 seats: at most "),
        ({"passengers": -1}, OverflowError, None),
        ({"stop": 2**64}, OverflowError, None),
        ({"threads": -1}, OverflowError, None),
        ({"key": "x" * 32}, TypeError, "argument 'key': 'str' object cannot be converted to 'PyBytes'"),
        ({"cols": list("ABCDEF")}, TypeError, "argument 'cols': 'list' object cannot be converted to 'PyString'"),
        ({"block_function": 2}, TypeError, "argument 'block_function': 'int' object cannot be converted to 'PyString'"),
        ({"threads": 1.5}, TypeError, None),
        ({"block_size": True}, TypeError, "argument 'block_size': 'bool' object cannot be converted to 'int'"),
        ({"block_function": "\ud800"}, ValueError, "unknown block function (not UTF-8 text): choose one of "),
        ({"position": 3}, ValueError, "position must be 0 where a block begins, not 3"),
        ({"start": 1, "position": 2**64 - 1}, ValueError, "position must be less than 2**64 - 1"),
        # board() takes the count's arguments but a boarding's index for its range (its model
        # refusals are in tests/cpp/recording_test.cpp).
        ({"index": 2**64 - 1}, ValueError, "index must be below 2**64 - 1, not 18446744073709551615"),
        ({"index": 2**64}, OverflowError, None),
    ],
)
def test_refuses_with_python_exceptions_and_nothing_on_stderr(changes: dict, error: type, message: str | None,
                                                              capfd: pytest.CaptureFixture[str]) -> None:
    """Wrong types, out-of-range integers, bad values and impossible planes raise before any count."""
    with pytest.raises(error) as raised:
        if "index" in changes:
            _kernel.board(**{**{name: GOOD[name] for name in list(GOOD)[:5]}, **changes})
        else:
            _kernel.count(**{**GOOD, **changes})
    if message is not None:
        assert str(raised.value).startswith(message)
        assert message.endswith(" ") or str(raised.value) == message
    assert capfd.readouterr().err == ""


def test_refuses_a_bad_thread_budget_and_positional_options(monkeypatch: pytest.MonkeyPatch,
                                                           capfd: pytest.CaptureFixture[str]) -> None:
    """An invalid worker variable is a RuntimeError (also with a cap); threads is keyword-only."""
    monkeypatch.setenv("TAVRIN_PUZZLES_WORKER_THREADS", "many")
    for threads in (0, 2):
        with pytest.raises(RuntimeError, match='TAVRIN_PUZZLES_WORKER_THREADS="many" is not a whole number'):
            _kernel.count(**GOOD, threads=threads)
    monkeypatch.delenv("TAVRIN_PUZZLES_WORKER_THREADS")
    with pytest.raises(TypeError, match=r"count\(\) takes 7 positional arguments but 8 were given"):
        _kernel.count(*GOOD.values(), 1)
    assert capfd.readouterr().err == ""


def worker_threads_running() -> bool:
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                if comm.read().strip() == "tavrin-worker":
                    return True
        except FileNotFoundError:
            pass
    return False


def test_releases_the_interpreter_lock_while_counting() -> None:
    """Python code runs while another thread counts: it sees the kernel's worker threads alive,
    which it never could if the count kept the lock (the workers end before count returns). A
    count is short (eight blocks, too few to fill the lanes, about a quarter of a second), and a
    loaded machine may not schedule the looking thread in time: up to ten counts are watched."""
    seen = False
    for _ in range(10):
        done = threading.Event()
        counter = threading.Thread(
            target=lambda: (_kernel.count(100, 100, "ABCDEF", KEY, 65536, 0, 8 * 65536, threads=1), done.set()))
        counter.start()
        while not (seen or done.is_set()):
            seen = worker_threads_running()
            time.sleep(0.001)
        counter.join()
        if seen:
            break
    assert seen
