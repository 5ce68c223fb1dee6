"""An exact truth-table fitness for candidates whose routing changed, in well under a millisecond.

NetlistFitness reads IceStorm's chip database (chipdb.py) and derives, once per seed and region,
a table of what a candidate can change: the switches of the region's tiles, and the seed's nets
outside the region collapsed into one node each. A candidate then costs a file read, the switches
whose bits differ from the last candidate read (decoded by the _netlist module, in C++), the nets
those reach and the LUTs of the outputs' cones, every input word evaluated at once, one bit per
word, with x where the simulator has x (a LUT's output is x only where its x inputs matter).

It models what icebox_vlog writes and iverilog simulates, and refuses with a ValueError, naming
the reason and the place, where that answer would not be a defined truth table:

- a wire with more than one driver, or a carry input that no carry chain feeds: exactly the
  two-driver check's findings (drivers.find_contested_wires), anywhere in the chip, raised as
  ContestedWires with the DriverReport;
- a combinational loop in an output's cone;
- an output that shows x: a LUT whose value depends on a net that nothing drives (or on a pin
  that is not one of the inputs, which the simulator leaves floating);
- in the cone: a flip-flop whose clock or set/reset net is driven, a LUT input driven by a carry
  output or carry_in_mux, RAM, a global network, an I/O cell that is not a plain input or output
  pin as icebox_vlog decides it (its PINTYPE, and which of its signals any switch uses).

What it follows is the simulator's: a LUT input with nothing routed to it reads 0; an enabled
flip-flop whose clock and set/reset nets are undriven never ticks and reads 0; a LUT input is
followed only where the LUT's bits depend on it, and a cell's output through its flip-flop only
where the flip-flop is not used. A candidate that differs from the seed outside the region is
scored all the same, from a table derived for it alone (slower: the whole chip database is read).
"""

from __future__ import annotations

import hashlib
import os
import pickle
import threading
import zlib
from array import array
from collections.abc import Callable, Sequence

from . import chipdb
from ._netlist import Decoder
from .chipdb import (
    KINDS,
    ONE,
    ROWS,
    STRIDE,
    TABLE_FORMAT,
    ChipDatabase,
    derive_table,
    parse_circuit,
    switch_entry,
)
from .drivers import ContestedWire, Driver, DriverReport
from .icestorm import read_circuit
from .truth_table import TruthTable, bit_masks, read_pcf

PLAIN_INPUT, PLAIN_OUTPUT = "100000", "100110"
DEFAULT_PACKAGES = {"1k": "tq144", "8k": "ct256"}
# LUT bits (bit k: in3 in2 in1 in0 = k) where input k is 0.
LOW_HALF = (0x5555, 0x3333, 0x0F0F, 0x00FF)
# Refusal.reason: why a candidate has no score.
REASONS = ("loop", "undriven", "flip-flop", "carry", "RAM", "global", "I/O cell", "drivers")


class ContestedWires(ValueError):
    """A candidate with wires that more than one driver drives, or carry inputs that no carry
    chain feeds: the two-driver check's findings, as .report (a drivers.DriverReport)."""

    reason = "contested"

    def __init__(self, message: str, report: DriverReport):
        super().__init__(message)
        self.report = report

    def __reduce__(self):
        return (type(self), (str(self), self.report))


class Refusal(ValueError):
    """A candidate whose truth table the fitness will not give; .reason is one of REASONS."""

    def __init__(self, message: str, reason: str):
        super().__init__(message)
        self.reason = reason

    def __reduce__(self):
        return (type(self), (str(self), self.reason))


def _entry_key(entry: tuple) -> tuple:
    return entry[0]


def assemble_report(path: str, switches: int, wires: dict, unfed: list) -> DriverReport:
    """wires: wire key -> (cell outputs, switch entries); the report lists the wires with more
    than one driver, in the two-driver check's order."""
    contested = tuple(
        ContestedWire(
            tuple(key),
            tuple(Driver(*cell) for cell in cells)
            + tuple(Driver(*entry[1]) for entry in sorted(entries, key=_entry_key)),
        )
        for key, (cells, entries) in sorted(wires.items())
        if len(cells) + len(entries) > 1
    )
    return DriverReport(
        path,
        switches,
        contested,
        tuple(Driver(*entry[1]) for entry in sorted(unfed, key=_entry_key)),
    )


class Table:
    """A derived table at work. Its decoder (the _netlist module) keeps the last candidate it
    read as the reference, so a candidate costs the bits that differ from the one before (about
    twice a mutation's flips), however far a run has drifted from the seed."""

    def __init__(self, state: dict, words: int, input_masks: Sequence[int]):
        self.__dict__.update(state)
        self.everything = (1 << words) - 1
        self.input_masks = tuple(input_masks)
        first = self.group_first_row
        self.row_group = [0] * first[-1]
        for group in range(len(self.group_tile)):
            for row in range(first[group], first[group + 1]):
                self.row_group[row] = group
        row_src = array("i", self.row_src)
        row_dst = array("i", [self.group_dst[g] for g in self.row_group])
        positions: list[list[list[int]]] = [[[] for _ in range(ROWS * STRIDE)] for _ in self.tiles]
        offset_first, offsets = array("i", [0]), array("q")
        for group, group_offsets in enumerate(self.group_offsets):
            tile = self.group_tile[group]
            for offset in group_offsets:
                positions[tile][offset - self.bodies[tile]].append(group)
            offsets.extend(group_offsets)
            offset_first.append(len(offsets))
        position_first, position_groups = array("i", [0]), array("i")
        for tile in positions:
            for groups in tile:
                position_groups.extend(groups)
                position_first.append(len(position_groups))
        incident: list[list[int]] = [[] for _ in self.node_fixed]
        for row, (a, b) in enumerate(zip(row_src, row_dst)):
            incident[a].append(row)
            if b != a:
                incident[b].append(row)
        node_first, node_rows = array("i", [0]), array("i")
        for rows in incident:
            node_rows.extend(rows)
            node_first.append(len(node_rows))
        unfed = bytearray(len(row_src))
        for row in self.unfed_rows:
            unfed[row] = 1
        self.decoder = Decoder(
            array("q", self.bodies),
            position_first,
            position_groups,
            offset_first,
            offsets,
            array("i", first),
            array("i", self.group_seed),
            array("i", self.row_pattern),
            row_src,
            row_dst,
            array("i", [self.group_wire[g] for g in self.row_group]),
            array("B", unfed),
            array("i", self.outside_count),
            node_first,
            node_rows,
        )
        self.lock = threading.Lock()
        self.reference: bytes | None = None

    def load(self, data: bytes, seed: bytes) -> bool:
        """Make `data` the reference; False, with nothing changed, where a region tile is no
        longer 16 rows of 54 bits (icebox would read the file another way, and so must the
        fitness)."""
        if not self.decoder.load(data, self.reference or seed):
            return False
        self.reference = data
        return True

    def findings(self) -> bool:
        return self.decoder.findings() or bool(self.fixed_contested or self.fixed_unfed)

    def entry(self, row: int) -> tuple:
        group = self.row_group[row]
        tile = self.group_tile[group]
        body = self.bodies[tile]
        bits = [divmod(offset - body, STRIDE) for offset in self.group_offsets[group]]
        return switch_entry(
            KINDS[self.group_kind[group]],
            tuple(self.tiles[tile]),
            tuple(self.tile_order[tile]),
            bits,
            self.row_pattern[row],
            self.names[self.row_source_name[row]],
            self.names[self.group_dst_name[group]],
        )

    def report(self, where: str) -> DriverReport:
        """The two-driver check's report on the reference (rarely needed: built in full)."""
        on, over = self.decoder.on_rows(), set(self.decoder.over_wires())
        wires = dict(self.fixed_contested)
        rows: dict[int, list[int]] = {}
        for row in on:
            wire = self.group_wire[self.row_group[row]]
            if wire in over:
                rows.setdefault(wire, []).append(row)
        for wire in over:
            wires[self.wire_keys[wire]] = (
                self.wire_cells[wire],
                list(self.wire_outside[wire]) + [self.entry(row) for row in rows.get(wire, ())],
            )
        unfed_rows = set(self.unfed_rows)
        unfed = list(self.fixed_unfed) + [self.entry(row) for row in on if row in unfed_rows]
        switches = self.switches_total - self.switches_region + len(on)
        return assemble_report(where, switches, wires, unfed)

    def output_values(self, data: bytes, where: str, ports: Sequence[str]) -> list[tuple]:
        """(ones, xs, why) for each output of the reference: the input words where it is 1,
        those where it is x, and why it is x. Raises Refusal."""
        touched, neighbours = self.decoder.touched, self.decoder.neighbours
        node_fixed, node_drivers, node_flags = self.node_fixed, self.node_drivers, self.node_flags
        cells, io_cells, drivers = self.cells, self.io_cells, self.drivers
        everything, input_masks, input_of = self.everything, self.input_masks, self.input_of
        component_of: dict[int, int] = {}
        components: list[list[int]] = []
        values: dict[int, tuple] = {}
        luts: dict[int, tuple] = {}
        visiting: set[int] = set()

        def in_group(node):
            """Whether icebox_vlog gives the node a net: a switch that is on reaches it."""
            return node >= 0 and (node_fixed[node] or touched(node))

        def component(node):
            number = component_of.get(node)
            if number is None:
                members, seen = [node], {node}
                for member in members:
                    for other in neighbours(member):
                        if other not in seen:
                            seen.add(other)
                            members.append(other)
                number = len(components)
                components.append(members)
                for member in members:
                    component_of[member] = number
            return number

        def refuse(reason, why):
            return Refusal(f"{where}: {reason}: {why}", reason)

        def io_kind(entry):
            """ "in", "out", or why the cell is neither plain pin, as icebox_vlog decides it:
            from its PINTYPE and the signals of it that some switch uses."""
            kind = entry["type"]
            used = [
                name for name in ("D_IN_0", "D_IN_1", "D_OUT_0", "D_OUT_1") if in_group(entry[name])
            ]
            if entry["skip"]:
                return "a PLL drives it"
            if not (used or entry["extra"]):
                return "unused"
            special = (
                entry["special"] or "D_IN_1" in used or ("D_IN_0" in used and kind != PLAIN_INPUT)
            )
            if ("D_OUT_0" in used or "D_OUT_1" in used) and kind[2:6] != "0000":
                special = special or kind != PLAIN_OUTPUT or "D_OUT_1" in used
            if special:
                return f"PINTYPE {kind}, {', '.join(used)} in use"
            return {PLAIN_INPUT: "in", PLAIN_OUTPUT: "out"}.get(kind, f"PINTYPE {kind}")

        def net_value(node, reader):
            number = component(node)
            value = values.get(number)
            if value is not None:
                return value
            members = components[number]
            flags = next((node_flags[m] for m in members if node_flags[m]), "")
            if flags:
                raise refuse("global", f"{reader} reads a global network ({flags})")
            found = [d for m in members for d in node_drivers[m]]
            if not found:
                value = (0, everything, f"{reader} reads a net that nothing drives")
            elif len(found) > 1:
                raise refuse(
                    "drivers", f"{reader} reads a net that {len(found)} cell outputs drive"
                )
            else:
                value = driver_value(drivers[found[0]], reader)
            values[number] = value
            return value

        def driver_value(driver, reader):
            kind = driver[0]
            if kind == "lut":
                entry = cells[driver[1]]
                seq = entry["seq"]
                enabled = data[seq[1]] == ONE if isinstance(entry["lut"], tuple) else seq[1]
                if driver[2] and enabled:
                    for control in ("clk", "s_r"):
                        node = entry[control]
                        if in_group(node) and any(
                            node_drivers[m] or node_flags[m] for m in components[component(node)]
                        ):
                            x, y = entry["tile"]
                            raise refuse(
                                "flip-flop",
                                f"{reader} reads the flip-flop of logic "
                                f"cell {entry['index']} in tile ({x}, {y}), whose "
                                f"{control} net is driven",
                            )
                    return (0, 0, None)  # it never ticks: it stays 0
                return lut_value(driver[1])
            if kind in ("carry", "ram"):
                raise refuse(
                    "carry" if kind == "carry" else "RAM",
                    f"{reader} is driven by {driver[3]} of tile ({driver[1]}, {driver[2]})",
                )
            entry = io_cells[driver[1]]
            x, y, pio = entry["cell"]
            kind = io_kind(entry) if driver[2] == 0 else "D_IN_1 in use"
            if kind != "in":
                raise refuse(
                    "I/O cell",
                    f"{reader} is driven by io_{pio}/D_IN_{driver[2]} of "
                    f"tile ({x}, {y}), not a plain input pin ({kind})",
                )
            k = input_of.get(driver[1])
            if k is None:
                return (
                    0,
                    everything,
                    f"{reader} reads pin io_{pio} of tile ({x}, {y}), which "
                    "is not one of the inputs: the simulator leaves it floating",
                )
            return (input_masks[k], 0, None)

        def lut_value(cell):
            value = luts.get(cell)
            if value is not None:
                return value
            entry = cells[cell]
            x, y = entry["tile"]
            if cell in visiting:
                raise refuse(
                    "loop",
                    f"a combinational loop runs through logic cell "
                    f"{entry['index']} of tile ({x}, {y})",
                )
            visiting.add(cell)
            lut = entry["lut"]
            if isinstance(lut, tuple):
                lut = sum(1 << k for k, offset in enumerate(lut) if data[offset] == ONE)
            inputs = entry["inputs"]
            routed = [in_group(node) for node in inputs]
            fixed = 0xFFFF  # the LUT bits an unrouted input (it reads 0) leaves reachable
            for k in range(4):
                if not routed[k]:
                    fixed &= LOW_HALF[k]
            found = []
            for k in range(4):
                if routed[k] and (lut ^ lut >> (1 << k)) & LOW_HALF[k] & fixed:
                    found.append(
                        net_value(
                            inputs[k],
                            f"input {k} of logic cell {entry['index']} in tile ({x}, {y})",
                        )
                    )
                else:
                    found.append((0, 0, None))  # unrouted, or the LUT does not depend on it
            visiting.discard(cell)
            value = evaluate_lut(lut, found, everything)
            luts[cell] = value
            return value

        results = []
        for port, number in zip(ports, self.outputs):
            entry = io_cells[number]
            x, y, pio = entry["cell"]
            kind = io_kind(entry)
            if kind != "out":
                raise refuse(
                    "I/O cell",
                    f"output {port!r} (io_{pio} of tile ({x}, {y})) is not "
                    f"a plain output pin ({kind})",
                )
            results.append(net_value(entry["D_OUT_0"], f"output {port!r}"))
        return results


def evaluate_lut(lut: int, inputs: list[tuple], everything: int) -> tuple:
    """A LUT over every input word at once: (ones, xs, why). Where an input is x, the output is
    x unless every value of the x inputs gives the same bit, as the simulator's ?: chain has it."""
    if not any(xs for _, xs, _ in inputs):
        minterms = [everything]
        for ones, _, _ in inputs:
            if ones:
                minterms = [m & ~ones for m in minterms] + [m & ones for m in minterms]
            else:
                minterms = minterms + [0] * len(minterms)
        result = 0
        for j in range(16):
            if lut >> j & 1:
                result |= minterms[j]
        return (result, 0, None)
    possible = [everything]
    for ones, xs, _ in inputs:
        can_be_one, can_be_zero = ones | xs, (everything & ~ones) | xs
        possible = [m & can_be_zero for m in possible] + [m & can_be_one for m in possible]
    one = zero = 0
    for j in range(16):
        if lut >> j & 1:
            one |= possible[j]
        else:
            zero |= possible[j]
    xs = one & zero
    why = next((w for _, x, w in inputs if x), None) if xs else None
    return (one & ~zero, xs, why)


# -- the fitness ---------------------------------------------------------------------------------


def port_cells(
    chip: ChipDatabase, pcf: str | os.PathLike, ports: Sequence[str], package: str | None
) -> dict[str, tuple[int, int, int]]:
    """Port -> its I/O cell (x, y, pio), as icebox_vlog reads the .pcf with the package's pins."""
    package = package or DEFAULT_PACKAGES.get(chip.device)
    pins = chip.pins.get(package)
    if pins is None:
        raise ValueError(
            f"the {chip.device} device has no package {package!r}; it has "
            f"{', '.join(sorted(chip.pins))}"
        )
    listed = read_pcf(pcf)
    places = set(pins.values())
    cells = {}
    for port in ports:
        if port not in listed:
            raise ValueError(f"port {port!r} is not in {os.fspath(pcf)}")
        pin = listed[port]
        cell = pins.get(pin[0]) if len(pin) == 1 else (pin if pin in places else None)
        if cell is None:
            raise ValueError(
                f"port {port!r} is on pin {' '.join(map(str, pin))}, which the "
                f"{package} package has not"
            )
        cells[port] = cell
    return cells


# Per process: the seeds read, the chip databases loaded (only for candidates that differ from
# the seed outside the region), and the tables at work, by their key.
_seeds: dict[tuple[str, str], bytes] = {}
_chips: dict[str, ChipDatabase] = {}
_tables: dict[tuple[str, int], Table] = {}


def _load_chip(path: str, digest: str) -> ChipDatabase:
    chip = _chips.get(path)
    if chip is None or chip.digest != digest:
        chip = ChipDatabase.load(path)
        if chip.digest != digest:
            raise chipdb.ChipDatabaseError(
                f"the chip database {path} changed since the fitness was built"
            )
        _chips[path] = chip
    return chip


def _key(*parts) -> str:
    return hashlib.sha256(repr((TABLE_FORMAT, *parts)).encode()).hexdigest()


def _unpack(packed: bytes) -> dict:
    return chipdb.loads_builtins(zlib.decompress(packed))


class NetlistFitness(TruthTable):
    """Correct output bits of a candidate whose routing may differ from the seed's, as the
    simulator gives them (icebox_vlog, iverilog, vvp), about a thousand times faster.

    seed, pcf: paths; inputs, outputs: port names as the .pcf spells them; target(word): the
    output word wanted for an input word. tiles: the region that candidates change, (x, y) logic
    tiles; None for the tiles of the cells in the outputs' cones (cone_tiles). chipdb: IceStorm's
    chip database for the seed's device (default: where Debian's fpga-icestorm-chipdb puts it).
    package: the chip's package where it is not the device's default (icebox's names).

    Calling it on a candidate's path gives the score, of max_score; a ValueError says why there
    is none: ContestedWires for the two-driver check's findings, Refusal (.reason) for the rest.
    The table it derives is cached on disk under the chip database's and the seed's SHA-256
    ($XDG_CACHE_HOME/gridflip); the object pickles with the table and the seed compressed (about
    20 kB for the bundled HX1K seed's cones) and without the chip database, so a worker needs no
    file and rebuilds nothing."""

    # Its ContestedWires are the two-driver check's findings: the loop runs no other check.
    checks_drivers = True

    def __init__(
        self,
        seed: str | os.PathLike,
        pcf: str | os.PathLike,
        inputs: Sequence[str],
        outputs: Sequence[str],
        target: Callable[[int], int],
        *,
        tiles: Sequence[Sequence[int]] | None = None,
        chipdb: str | os.PathLike | None = None,
        package: str | None = None,
    ):
        super().__init__(inputs, outputs, target)
        self.seed, self.pcf, self.package = os.path.abspath(seed), os.fspath(pcf), package
        data = read_circuit(self.seed)
        self.seed_length, self.seed_digest = len(data), hashlib.sha256(data).hexdigest()
        circuit = parse_circuit(data, self.seed)
        if circuit.device not in DEFAULT_PACKAGES:
            raise ValueError(f"{self.seed}: device {circuit.device!r} is not an HX1K or HX8K")
        database = _database_module()
        self.chipdb = os.path.abspath(
            chipdb if chipdb is not None else database.default_path(circuit.device)
        )
        chip = ChipDatabase.load(self.chipdb, circuit.device)
        self.chipdb_digest = chip.digest
        _chips[self.chipdb], _seeds[(self.seed, self.seed_digest)] = chip, data
        self._ports = port_cells(chip, self.pcf, (*self.inputs, *self.outputs), package)
        ports = sorted(self._ports.items())
        if tiles is None:
            tiles = cone_tiles_of(
                chip,
                circuit,
                self._ports,
                self.outputs,
                self.seed,
                key=_key("cone", chip.digest, self.seed_digest, ports, self.outputs),
            )
        region: list[tuple[int, int]] = []
        for tile in tiles:
            x, y = (int(v) for v in tile)
            if (x, y) not in region:
                region.append((x, y))
        self.tiles = tuple(region)
        self._key = _key(
            chip.digest, self.seed_digest, self.tiles, ports, self.inputs, self.outputs
        )
        where = database.cache_directory() / f"netlist-v{TABLE_FORMAT}-{self._key}.pickle"
        packed = database.load_cached(where)
        try:
            state = _unpack(packed) if isinstance(packed, bytes) else None
        except (zlib.error, pickle.UnpicklingError, EOFError, ValueError):
            state = None
        if not isinstance(state, dict) or state.get("format") != TABLE_FORMAT:
            state = derive_table(
                chip, circuit, self.tiles, self._ports, self.inputs, self.outputs, self.seed
            )
            packed = zlib.compress(pickle.dumps(state, protocol=pickle.HIGHEST_PROTOCOL), 6)
            database.store_cached(where, packed)
        self._packed = packed
        self._compressed_seed = zlib.compress(data, 6)  # workers need no path to the seed
        self._setup(state)
        try:  # the seed itself must be a netlist the fitness can score
            self._score(data, self.seed)
        except ValueError as error:
            raise ValueError(f"the seed cannot be scored: {error}") from None

    def _setup(self, state: dict | None = None) -> None:
        words = len(self.target_words)
        self._wanted = tuple(bit_masks(self.target_words, k) for k in range(len(self.outputs)))
        self._input_masks = tuple(bit_masks(range(words), k) for k in range(len(self.inputs)))
        table = _tables.get((self._key, words))
        if table is None:
            table = Table(state or _unpack(self._packed), words, self._input_masks)
            _tables[(self._key, words)] = table
        self._table = table
        gaps, start = [], 0
        for body in sorted(table.bodies):
            gaps.append((start, body))
            start = body + ROWS * STRIDE
        gaps.append((start, self.seed_length))
        self._gaps = [(a, b) for a, b in gaps if b > a]

    def __getstate__(self) -> dict:
        state = {k: v for k, v in self.__dict__.items() if not k.startswith("_")}
        state.update(
            _key=self._key,
            _packed=self._packed,
            _ports=self._ports,
            _compressed_seed=self._compressed_seed,
        )
        return state

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        self._setup()

    def _seed_data(self) -> bytes:
        key = (self.seed, self.seed_digest)
        data = _seeds.get(key)
        if data is None:
            data = _seeds[key] = zlib.decompress(self._compressed_seed)
        return data

    def _values(self, data: bytes, where: str) -> list[tuple]:
        seed, table = self._seed_data(), self._table
        if len(data) == len(seed) and all(data[a:b] == seed[a:b] for a, b in self._gaps):
            with table.lock:
                if table.load(data, seed):
                    if table.findings():
                        report = table.report(where)
                        raise ContestedWires(_contested_message(where, report), report)
                    return table.output_values(data, where, self.outputs)
        return self._other_values(data, where)

    def _other_values(self, data: bytes, where: str) -> list[tuple]:
        """A candidate that differs from the seed outside the region: scored from a table
        derived for it alone, with the whole chip database (slower; never refused for that)."""
        chip = _load_chip(self.chipdb, self.chipdb_digest)
        circuit = parse_circuit(data, where)
        state = derive_table(chip, circuit, (), self._ports, self.inputs, self.outputs, where)
        table = Table(state, len(self.target_words), self._input_masks)
        if table.findings():
            report = table.report(where)
            raise ContestedWires(_contested_message(where, report), report)
        return table.output_values(data, where, self.outputs)

    def _score(self, data: bytes, where: str) -> int:
        values = self._values(data, where)
        words = len(self.target_words)
        for port, (_, xs, why) in zip(self.outputs, values):
            if xs:
                raise Refusal(
                    f"{where}: undriven: output {port!r} is x for {xs.bit_count()} "
                    f"input words: {why}",
                    "undriven",
                )
        return sum(
            words - (ones ^ wanted).bit_count()
            for (ones, _, _), wanted in zip(values, self._wanted)
        )

    def output_words(self, candidate: str | os.PathLike) -> list[int | None]:
        """Each input word's output word, None where an output is x, as simulate_truth_table
        gives them. Raises ValueError for every refusal but x."""
        values = self._values(read_circuit(candidate), os.fspath(candidate))
        return [
            None
            if any(xs >> w & 1 for _, xs, _ in values)
            else sum((ones >> w & 1) << k for k, (ones, _, _) in enumerate(values))
            for w in range(len(self.target_words))
        ]

    def __call__(self, candidate: str | os.PathLike) -> int:
        return self._score(read_circuit(candidate), os.fspath(candidate))


def _database_module():
    return chipdb  # the module; NetlistFitness's chipdb= parameter shadows the name


def _contested_message(path: str, report: DriverReport) -> str:
    first = (
        report.contested[0].describe()
        if report.contested
        else f"carry input at tile {report.unfed_carries[0].tile}"
    )
    return f"{path}: contested: {report.findings}; first: {first}"


# -- the default region --------------------------------------------------------------------------


def cone_tiles_of(
    chip: ChipDatabase,
    circuit,
    ports: dict,
    outputs: Sequence[str],
    where: str,
    key: str | None = None,
) -> list[tuple[int, int]]:
    """The logic tiles of the LUTs in the outputs' cones on the circuit's wiring: a LUT input is
    followed where the LUT's bits depend on it, a cell's output where its flip-flop is unused."""
    path = chipdb.cache_directory() / f"cone-v{TABLE_FORMAT}-{key}.pickle" if key else None
    cached = chipdb.load_cached(path) if path else None
    if isinstance(cached, list):
        return [tuple(tile) for tile in cached]
    state = derive_table(chip, circuit, (), {p: ports[p] for p in outputs}, (), outputs, where)
    cells, found, seen = state["cells"], set(), set()
    pending = [state["io_cells"][io]["D_OUT_0"] for io in state["outputs"]]
    while pending:
        node = pending.pop()
        if node < 0 or node in seen:
            continue
        seen.add(node)
        for number in state["node_drivers"][node]:
            driver = state["drivers"][number]
            if driver[0] != "lut":
                continue
            entry = cells[driver[1]]
            lut = entry["lut"]
            if driver[2] and entry["seq"][1]:
                continue  # through an unclocked flip-flop: a constant
            found.add(tuple(entry["tile"]))
            fixed = 0xFFFF
            for k, source in enumerate(entry["inputs"]):
                if source < 0:
                    fixed &= LOW_HALF[k]
            for k, source in enumerate(entry["inputs"]):
                if source >= 0 and (lut ^ lut >> (1 << k)) & LOW_HALF[k] & fixed:
                    pending.append(source)
    tiles = sorted(found)
    if path:
        chipdb.store_cached(path, [list(t) for t in tiles])
    return tiles


def cone_tiles(
    seed: str | os.PathLike,
    pcf: str | os.PathLike,
    outputs: Sequence[str],
    *,
    chipdb_path: str | os.PathLike | None = None,
    package: str | None = None,
) -> list[tuple[int, int]]:
    """NetlistFitness's default region: the logic tiles of the cells in the outputs' cones on
    the seed's wiring, for any seed, .pcf and outputs."""
    data = read_circuit(seed)
    circuit = parse_circuit(data, os.fspath(seed))
    if circuit.device not in DEFAULT_PACKAGES:
        raise ValueError(f"{os.fspath(seed)}: device {circuit.device!r} is not an HX1K or HX8K")
    chip = ChipDatabase.load(chipdb_path or chipdb.default_path(circuit.device), circuit.device)
    return cone_tiles_of(
        chip, circuit, port_cells(chip, pcf, outputs, package), outputs, os.fspath(seed)
    )
