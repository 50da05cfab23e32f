from typing import Dict, List, Sequence, SupportsIndex, final

__all__ = ["Planes"]

@final
class Planes:
    """A Python class implemented in native code."""

    passengers: int
    seats: int
    cols: List[str]

    def __new__(
        cls, passengers: SupportsIndex = 100, seats: SupportsIndex = 100, cols: str = "ABCDEF"
    ) -> "Planes": ...
    def generate_seating(self) -> Dict[int, str]: ...
    def run_simulation(self) -> bool: ...
    def run_simulations(self, iterations: SupportsIndex) -> float: ...
