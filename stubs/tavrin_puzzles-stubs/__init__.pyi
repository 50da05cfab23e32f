"""The aeroplane boarding puzzle, simulated in native code.

The first passenger to board sits in a random seat; every later passenger takes their own seat
if it is free and a random free seat otherwise. `Planes` holds one flight's configuration and
estimates how often the last passenger finds their own seat free.

Fatal errors of a call raise ``PanicException``, which derives from `BaseException` (so
``except Exception`` does not catch it) and is not importable from this module: catch
`BaseException` and check ``type(exc).__name__ == "PanicException"``. Its message is also
written to standard error.
"""

from typing import Dict, List, Sequence, SupportsIndex, final

__all__ = ["Planes"]

@final
class Planes:
    """One flight: how many passengers board, how many seats it has, and the column letters.

    Seat number k (1 to `seats`) is labelled with its number followed by the letter
    ``cols[(k - 1) % 6]``: with the default letters seat 7 is "7A". Passenger p (1 to
    `passengers`) holds a ticket for one seat. The class cannot be subclassed.

    All random draws come from a ChaCha12 generator per thread, seeded from the operating
    system, so results cannot be repeated from a seed.
    """

    def __new__(
        cls, passengers: SupportsIndex = 100, seats: SupportsIndex = 100, cols: str = ...
    ) -> Planes:
        """Make a configuration: 100 passengers, 100 seats and columns "ABCDEF" by default.

        Args:
            passengers: The number of passengers, an integer from 0 to 2**64 - 1 (or any
                object with ``__index__``).
            seats: The number of seats, likewise; at least `passengers`.
            cols: The column letters as one string, one letter per character (default
                "ABCDEF"); only the first six are ever used.

        Raises:
            TypeError: An argument of the wrong type (``cols`` must be a `str`), too many
                arguments or an unknown keyword.
            OverflowError: `passengers` or `seats` negative or not below 2**64.
            ValueError: More passengers than seats.
            PanicException: An argument given as None.
        """
    @property
    def passengers(self) -> int:
        """The number of passengers who board.

        Assignment takes any integer from 0 to 2**64 - 1 (or an object with ``__index__``)
        and does not compare it with `seats`: the methods then fail if it exceeds `seats`.
        Deletion raises `AttributeError`; a value of the wrong type `TypeError`, one out of
        range `OverflowError`.
        """
    @passengers.setter
    def passengers(self, value: SupportsIndex) -> None: ...
    @property
    def seats(self) -> int:
        """The number of seats, numbered 1 to `seats`; assignment and deletion as `passengers`."""
    @seats.setter
    def seats(self, value: SupportsIndex) -> None: ...
    @property
    def cols(self) -> List[str]:
        """The column letters, as a new list of one-character strings on every read.

        Assignment takes any sequence of one-character strings, such as a list or a tuple, but
        not a `str` (`TypeError`); an item of another length raises `ValueError`. Any length is
        stored; seat assignment needs at least min(`seats`, 6) letters.
        """
    @cols.setter
    def cols(self, value: Sequence[str]) -> None: ...
    def generate_seating(self) -> Dict[int, str]:
        """Draw a ticket for every passenger: a new dict from passenger number to seat label.

        The keys are 1 to `passengers` in ascending order; the labels are distinct and
        uniformly drawn among all seats. Time and memory grow linearly with `seats`.

        Raises:
            PanicException: `cols` has fewer letters than the seats need ("no column letter
                for seat 4: cols holds 3 letters"), more passengers than seats ("Seat on a
                plane"), or more seats than can be held ("cannot hold N seats: ..."), or a
                dict larger than the memory left to the process ("cannot hold N passengers:
                ...").
        """
    def run_simulation(self) -> bool:
        """Board the plane once; True when the last passenger sits in their own seat.

        Time and memory grow linearly with `seats`.

        Raises:
            PanicException: As `generate_seating`, and "no entry found for key" when there
                are no passengers.
        """
    def run_simulations(self, iterations: SupportsIndex) -> float:
        """Board the plane `iterations` times in parallel; the fraction that came out True.

        The result is k / iterations for the whole number k of boardings that came out True,
        and NaN for 0 iterations. A boarding that fails writes its message to standard error
        and counts as not True; no exception is raised for it. The call starts its own worker
        threads, at most one per available processor (or ``TAVRIN_PUZZLES_WORKER_THREADS``),
        and joins them before it returns; it holds the interpreter lock throughout, so Ctrl-C takes effect
        only afterwards. Time grows with iterations times `seats`, divided among the workers;
        memory does not grow with `iterations`.

        Raises:
            TypeError: `iterations` is not an integer.
            OverflowError: `iterations` negative or not below 2**64.
            PanicException: The worker threads cannot be started, or
                ``TAVRIN_PUZZLES_WORKER_THREADS`` holds a value it does not accept (see the
                documentation's page on the environment variable).
        """
