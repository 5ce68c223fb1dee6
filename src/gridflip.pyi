"""Type information for the gridflip extension module."""

from collections.abc import Sequence
from os import PathLike
from typing import SupportsFloat, SupportsIndex

__all__ = ["mutate"]

def mutate(
    fpath: str | PathLike[str],
    rows: bytes | bytearray | Sequence[SupportsIndex],
    columns: bytes | bytearray | Sequence[SupportsIndex],
    mutation_chance: SupportsFloat | SupportsIndex,
) -> None:
    """Mutates a circuit.asc in place.
    # Arguments
    * 'fpath' - path to circuit
    * 'rows' - List of 0 indexed rows to mutate on [0-15]
    * 'columns' - List of 0 indexed columns to mutate on [0-53]
    * 'mutation_chance' - chance to flip bit [0-1]
    """
