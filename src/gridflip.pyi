"""Type information for the gridflip extension module."""

from os import PathLike
from typing import Protocol, SupportsFloat, SupportsIndex, overload, type_check_only

__all__ = ["mutate"]

@type_check_only
class _Positions(Protocol):
    """What mutate takes for rows and columns: anything indexed by position whose items are
    integers (lists, tuples, ranges, NumPy integer arrays). A str is not one: its items are str."""

    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int, /) -> SupportsIndex: ...
    @overload
    def __getitem__(self, index: slice, /) -> object: ...

def mutate(
    fpath: str | PathLike[str],
    rows: bytes | bytearray | _Positions,
    columns: bytes | bytearray | _Positions,
    mutation_chance: SupportsFloat | SupportsIndex,
) -> None:
    """Mutates a circuit.asc in place.
    # Arguments
    * 'fpath' - path to circuit
    * 'rows' - List of 0 indexed rows to mutate on [0-15]
    * 'columns' - List of 0 indexed columns to mutate on [0-53]
    * 'mutation_chance' - chance to flip bit [0-1]
    """
