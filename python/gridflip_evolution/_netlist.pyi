"""The region decoder behind gridflip_evolution.netlist.NetlistFitness (a C++ module)."""

from array import array
from collections.abc import Buffer

class Decoder:
    def __new__(
        cls,
        bodies: array[int],
        position_first: array[int],
        position_groups: array[int],
        group_offset_first: array[int],
        group_offsets: array[int],
        group_row_first: array[int],
        seed_rows: array[int],
        row_pattern: array[int],
        row_src: array[int],
        row_dst: array[int],
        row_wire: array[int],
        row_unfed: array[int],
        wire_outside: array[int],
        node_row_first: array[int],
        node_rows: array[int],
        /,
    ) -> Decoder: ...
    def load(self, data: Buffer, reference: Buffer, /) -> bool: ...
    def findings(self) -> bool: ...
    def touched(self, node: int, /) -> bool: ...
    def neighbours(self, node: int, /) -> list[int]: ...
    def on_rows(self) -> list[int]: ...
    def over_wires(self) -> list[int]: ...
