"""The seeded count in plain Python, written from the rules rather than from the native code:
the key of a seed, ChaCha with any even number of rounds, the zone draw, the shuffle from the
back and the boarding. Slow (a few thousand boardings of small planes per second), exact."""

from __future__ import annotations

import hashlib
from collections.abc import Iterator

MASK = 0xFFFFFFFF
# "expand 32-byte k" as four little-endian words.
SIGMA = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)


def seed_key(seed: int) -> bytes:
    """The 32-byte key of a non-negative seed: SHA-256 of its little-endian bytes (at least one)."""
    return hashlib.sha256(seed.to_bytes(max(1, (seed.bit_length() + 7) // 8), "little")).digest()


def _rotl(value: int, bits: int) -> int:
    return ((value << bits) | (value >> (32 - bits))) & MASK


def _quarter_round(x: list[int], a: int, b: int, c: int, d: int) -> None:
    x[a] = (x[a] + x[b]) & MASK
    x[d] = _rotl(x[d] ^ x[a], 16)
    x[c] = (x[c] + x[d]) & MASK
    x[b] = _rotl(x[b] ^ x[c], 12)
    x[a] = (x[a] + x[b]) & MASK
    x[d] = _rotl(x[d] ^ x[a], 8)
    x[c] = (x[c] + x[d]) & MASK
    x[b] = _rotl(x[b] ^ x[c], 7)


def chacha_block(key: bytes, counter: int, stream: int, rounds: int = 12) -> list[int]:
    """The sixteen output words of one block: state = constants, key, 64-bit counter, 64-bit stream."""
    key_words = [int.from_bytes(key[i : i + 4], "little") for i in range(0, 32, 4)]
    state = [*SIGMA, *key_words, counter & MASK, counter >> 32, stream & MASK, stream >> 32]
    x = list(state)
    for _ in range(rounds // 2):
        _quarter_round(x, 0, 4, 8, 12)
        _quarter_round(x, 1, 5, 9, 13)
        _quarter_round(x, 2, 6, 10, 14)
        _quarter_round(x, 3, 7, 11, 15)
        _quarter_round(x, 0, 5, 10, 15)
        _quarter_round(x, 1, 6, 11, 12)
        _quarter_round(x, 2, 7, 8, 13)
        _quarter_round(x, 3, 4, 9, 14)
    return [(a + b) & MASK for a, b in zip(x, state)]


def stream_words(key: bytes, stream: int) -> Iterator[int]:
    """Every word of ChaCha12 for `key` and `stream`, from block counter 0 on."""
    counter = 0
    while True:
        yield from chacha_block(key, counter, stream)
        counter += 1


def uniform_below(words: Iterator[int], n: int) -> int:
    """k in [0, n): the first word v whose v * n has its low 32 bits within the zone gives the high 32."""
    zone = ((n << (32 - n.bit_length())) & MASK) - 1
    while True:
        product = next(words) * n
        if product & MASK <= zone:
            return product >> 32


def seat_once(passengers: int, seats: int, words: Iterator[int]) -> tuple[list[int], list[int]]:
    """One boarding: seat numbers 1..seats shuffled from the back, passenger p holding the ticket
    at place p - 1; the first passenger and every one who finds their seat taken sit in a free
    seat drawn by its place in the list of free seats (initially the tickets in passenger
    order). Returns the tickets and the seat each passenger sat in, in passenger order."""
    seat_list = list(range(1, seats + 1))
    for j in range(seats - 1, 0, -1):
        k = uniform_below(words, j + 1)
        seat_list[j], seat_list[k] = seat_list[k], seat_list[j]
    tickets = seat_list[:passengers]
    free = list(tickets)
    seated = []
    for passenger in range(1, passengers + 1):
        own = tickets[passenger - 1]
        if passenger > 1 and own in free:
            seat = own
        else:
            seat = free[uniform_below(words, len(free))]
        free.remove(seat)
        seated.append(seat)
    return tickets, seated


def board_once(passengers: int, seats: int, words: Iterator[int]) -> bool:
    """One boarding (seat_once): True when the last passenger sits in their own seat."""
    tickets, seated = seat_once(passengers, seats, words)
    return seated[-1] == tickets[-1]


def count(passengers: int, seats: int, key: bytes, block_size: int, start: int, stop: int) -> tuple[int, list[int]]:
    """(successes, per-block counts) of boardings [start, stop), as the kernel's count() gives them."""
    if start == stop:
        return 0, []
    per_block = []
    for block in range(start // block_size, (stop - 1) // block_size + 1):
        words = stream_words(key, block)
        successes = 0
        for g in range(block * block_size, min((block + 1) * block_size, stop)):
            if board_once(passengers, seats, words) and g >= start:
                successes += 1
        per_block.append(successes)
    return sum(per_block), per_block
