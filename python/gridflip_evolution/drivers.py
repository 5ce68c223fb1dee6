"""The wires of an iCE40 circuit (.asc) that more than one driver drives.

    gridflip-check-drivers [--icebox-dir DIR] [--listed 20] CIRCUIT.asc [...]

Every switch of the iCE40 interconnect is a directional tristate buffer onto one wire (IceStorm's
tile documentation). Routing bits flipped at random can switch on a second buffer onto a wire that
already has one; on a board the two fight, whatever the design means. This check reads the
circuit with icebox, the IceStorm toolchain's own library, and counts for every wire:

- the switches that are on and drive it: the "buffer" and "routing" entries of icebox's tile
  database whose configuration bits match the tile and whose destination lies on the wire;
- the cell outputs on the wire (LUT and carry outputs, I/O inputs, RAM read data), as
  icebox_vlog's driver check counts them.

A wire is a set of tile segments that icebox's net database joins (iceconfig.expand_net), the
same grouping its chip database and icetime use. icetime stops on two sources only where it
follows a signal from a cell output; this check also counts a switch whose input nothing drives,
and a LUT cascade (lutff_N/lout) onto an input that its multiplexer already drives. The command
lists each wire with more than one driver, with the tile, the switch and the configuration bits
of every driver.

It also lists every carry input that is switched into a tile's carry chain (carry_in ->
carry_in_mux, bit B1[49]) where no carry chain can feed it: icebox's net database joins a tile's
carry_in to the carry-out of the logic tile below, and a tile with none below (the bottom row of
logic tiles) leaves it undriven. icetime stops on such a tile where a carry chain uses it
(Assertion '!co_cell.empty()'). The command exits with status 1 if any circuit has either
finding, 2 if a circuit could not be checked, 0 otherwise.

icebox is found, in this order: --icebox-dir, next to icebox_vlog on PATH, Debian's
/usr/share/fpga-icestorm/python (package fpga-icestorm).
"""

from __future__ import annotations

import os
import re
from collections import defaultdict
from dataclasses import dataclass
from types import ModuleType

from .icestorm import UnreadableCircuit, check_circuit_file, load_icebox

# The cell outputs icebox_vlog counts as drivers, plus the carry output.
DRIVING_OUTPUT = re.compile(r"lutff_\d/(out|lout|cout)$|io_\d/D_IN_\d$|ram/RDATA_\d+$")


@dataclass(frozen=True)
class Driver:
    tile: tuple[int, int]
    kind: str  # "buffer", "routing" or "cell output"
    source: str  # the switch's input in that tile; for a cell output, the output itself
    destination: str  # the wire's name in that tile
    bits: tuple[str, ...]  # the configuration bits that switch it on, icebox's B<row>[<column>]

    def describe(self) -> str:
        x, y = self.tile
        if self.kind == "cell output":
            return f"tile ({x}, {y}): cell output {self.destination}"
        return (
            f"tile ({x}, {y}): {self.kind} {self.source} -> {self.destination}"
            f"  [{' '.join(self.bits)}]"
        )


@dataclass(frozen=True)
class ContestedWire:
    segment: tuple[int, int, str]  # the wire's first segment: x, y and its name in that tile
    drivers: tuple[Driver, ...]

    def describe(self) -> str:
        x, y, name = self.segment
        return f"wire {name} at tile ({x}, {y}): {len(self.drivers)} drivers"


@dataclass(frozen=True)
class DriverReport:
    path: str
    switches_on: int
    contested: tuple[ContestedWire, ...]
    # carry_in -> carry_in_mux switched on where no carry-out reaches carry_in
    unfed_carries: tuple[Driver, ...] = ()

    @property
    def clean(self) -> bool:
        return not self.contested and not self.unfed_carries

    @property
    def findings(self) -> str:
        """What is wrong, counted: "3 wires with more than one driver, 1 carry input ..."."""
        counts = [
            (len(self.contested), "wire", "wires", "with more than one driver"),
            (len(self.unfed_carries), "carry input", "carry inputs", "that no carry chain feeds"),
        ]
        return (
            ", ".join(f"{n} {one if n == 1 else many} {what}" for n, one, many, what in counts if n)
            or "none"
        )


def switches_by_first_bit(database: list) -> dict[str, list]:
    """The database's buffer and routing entries, under the first bit that must be 1.

    Every such entry needs at least one bit set (all zeros is off), so a tile's set bits
    name every entry that can match it, and all-zero tiles cost nothing."""
    index: dict[str, list] = defaultdict(list)
    for entry in database:
        if entry[1] in ("buffer", "routing"):
            set_bits = [bit for bit in entry[0] if not bit.startswith("!")]
            index[set_bits[0]].append(entry)
    return index


def set_bits(rows: list[str]):
    """icebox's names (B<row>[<column>]) of the tile's bits that are 1."""
    for r, row in enumerate(rows):
        c = row.find("1")
        while c >= 0:
            yield f"B{r}[{c}]"
            c = row.find("1", c + 1)


def tile_maps(config) -> list[dict]:
    return [
        config.logic_tiles,
        config.io_tiles,
        config.ramb_tiles,
        config.ramt_tiles,
        config.ipcon_tiles,
        *config.dsp_tiles,
    ]


def switched_on(icebox: ModuleType, config) -> list[tuple[tuple[int, int, str], Driver]]:
    """(destination segment, driver) for every switch whose bits match its tile."""
    indexes: dict[int, dict[str, list]] = {}
    found = []
    for tiles in tile_maps(config):
        for (x, y), rows in tiles.items():
            if not any("1" in row for row in rows):
                continue
            database = config.tile_db(x, y)
            index = indexes.get(id(database))
            if index is None:
                index = indexes[id(database)] = switches_by_first_bit(database)
            candidates = [entry for bit in set_bits(rows) for entry in index.get(bit, ())]
            if not candidates:
                continue
            tile = icebox.tileconfig(rows)
            for bits, kind, source, destination in candidates:
                # Both ends must exist in this tile, as icebox's own net grouping requires.
                if (
                    tile.match(bits)
                    and config.tile_has_net(x, y, source)
                    and config.tile_has_net(x, y, destination)
                ):
                    found.append(
                        (
                            (x, y, destination),
                            Driver((x, y), kind, source, destination, tuple(bits)),
                        )
                    )
    return found


def fed_by_a_carry_chain(config, x: int, y: int) -> bool:
    """Whether the carry-out of a logic cell reaches the carry input of tile (x, y)."""
    return any(
        name == "lutff_7/cout" and (cx, cy) in config.logic_tiles
        for cx, cy, name in config.expand_net((x, y, "carry_in"))
    )


def find_contested_wires(path: str | os.PathLike, icebox: ModuleType | None = None) -> DriverReport:
    """Reads the circuit at `path` and returns its wires with more than one driver, and its
    carry inputs that no carry chain feeds.

    Raises UnreadableCircuit when icebox cannot read the file."""
    icebox = icebox or load_icebox()
    config = icebox.iceconfig()
    check_circuit_file(path)
    try:
        config.read_file(os.fspath(path))
        if not config.device or not config.logic_tiles:
            # icebox skips what it does not know, so any text file reads as an empty circuit.
            raise ValueError("no .device line or no logic tile: not an iCE40 circuit")
        for tiles in tile_maps(config):
            for (x, y), rows in tiles.items():
                if len(rows) != 16:
                    raise ValueError(f"tile ({x}, {y}) has {len(rows)} rows, not 16: a cut file?")
        empty = icebox.iceconfig()
        getattr(empty, f"setup_empty_{config.device}")()
        missing = {t for m in tile_maps(empty) for t in m} - {
            t for m in tile_maps(config) for t in m
        }
        if missing:
            raise ValueError(
                f"{len(missing)} of the {config.device} device's tiles are missing, "
                f"first {min(missing)}: a cut file?"
            )
        drivers = switched_on(icebox, config)
    except (AssertionError, IndexError, KeyError, ValueError, UnicodeDecodeError) as error:
        raise UnreadableCircuit(
            f"icebox cannot read {os.fspath(path)}: {str(error) or type(error).__name__}"
        ) from error

    wire_of: dict[tuple[int, int, str], tuple[int, int, str]] = {}
    wires: dict[tuple[int, int, str], list[Driver]] = defaultdict(list)
    for segment, driver in drivers:
        wire = wire_of.get(segment)
        if wire is None:
            segments = config.expand_net(segment)
            wire = min(segments)
            wire_of.update(dict.fromkeys(segments, wire))
            for x, y, name in sorted(segments):
                if DRIVING_OUTPUT.match(name):
                    wires[wire].append(Driver((x, y), "cell output", name, name, ()))
        wires[wire].append(driver)

    contested = tuple(
        ContestedWire(wire, tuple(found)) for wire, found in sorted(wires.items()) if len(found) > 1
    )
    unfed = tuple(
        driver
        for _, driver in drivers
        if driver.source == "carry_in" and not fed_by_a_carry_chain(config, *driver.tile)
    )
    return DriverReport(os.fspath(path), len(drivers), contested, unfed)
