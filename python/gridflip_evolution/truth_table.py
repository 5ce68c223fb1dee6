"""Score an iCE40 circuit by the truth table it computes between input and output pins.

Two routes to the same figure, for a circuit whose pins carry a combinational network of LUTs:

- TruthTableFitness, the direct route: the network's wiring is read once, from a seed circuit,
  with IceStorm's own net data (icebox, as icebox_vlog derives nets); each candidate then costs a
  file read, a check that only the seed's logic cells changed, and the LUT bits at fixed offsets.
  Every input combination is evaluated at once, one bit per combination.
- simulate_truth_table, the reference: icebox_vlog turns the candidate into Verilog, and iverilog
  and vvp simulate it over every input combination. It follows any routing, and takes a second
  or so per candidate where the direct route takes a millisecond.

    from gridflip_evolution import TruthTableFitness, simulate_truth_table

    def adder(word):  # x[1:0] + x[3:2] + x[4]
        return (word & 3) + (word >> 2 & 3) + (word >> 4)

    inputs, outputs = [f"x[{k}]" for k in range(5)], [f"y[{k}]" for k in range(3)]
    fitness = TruthTableFitness("seed.asc", "pins.pcf", inputs, outputs, adder)
    fitness("candidate.asc")   # correct output bits, of fitness.max_score
    simulate_truth_table("candidate.asc", "pins.pcf", inputs, outputs)  # each output word

Bit k of an input word drives inputs[k]; bit k of an output word is the value on outputs[k].

The direct route models what icebox_vlog writes for a logic cell whose clock, enable and
set/reset are not routed: a LUT, then a flip-flop that, when the cell enables it, never sees a
clock edge and stays 0; an input that nothing is routed to reads 0. It refuses, when it is built,
a seed that breaks these assumptions, and, when it scores, a candidate that differs from the seed
outside the logic cells (columns 36-45 of logic-tile rows), whose wiring may then differ.
"""

from __future__ import annotations

import contextlib
import hashlib
import io
import operator
import os
import re
import shutil
import struct
import subprocess
import tempfile
import threading
import zlib
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from itertools import compress

from .icestorm import (
    CircuitBuffer,
    UnreadableCircuit,
    load_icebox,
    read_circuit,
    read_text_file,
)
from .tiles import LOGIC_CELL_COLUMNS, ROW_LINES, ROW_STRIDE, find_tiles

ONE = ord("1")
IS_ONE = ONE.__eq__

# Nets whose driver is a cell the model does not evaluate.
CARRY = re.compile(r"lutff_\d/cout$|carry_in(_mux)?$")
GLOBAL = re.compile(r"glb_netwk_\d+$|padin_\d+$|fabout$")
LUT_OUTPUT = re.compile(r"lutff_(\d)/(out|lout)$")
OTHER_DRIVER = re.compile(r"ram/RDATA_\d+$|io_\d/D_IN_\d$")
# icebox_vlog's plain input and plain output pins (PINTYPE bits 0 to 5).
PLAIN_INPUT, PLAIN_OUTPUT = "100000", "100110"
CONTROLS = {
    "lutff_global/clk": "a clock",
    "lutff_global/s_r": "a set/reset",
    "lutff_global/cen": "an enable",
}


def read_pcf(pcf: str | os.PathLike) -> dict[str, tuple]:
    """Port name -> its pin, as icebox_vlog reads a .pcf: ("112",) or (x, y, cell). ValueError
    for a line it cannot read."""
    pins = {}
    for number, line in enumerate(read_text_file(pcf).splitlines(), 1):
        words = [w for w in re.sub(r"#.*", "", line).split() if w != "--warn-no-port"]
        if len(words) >= 3 and words[0] == "set_io":
            try:
                pins[words[1]] = tuple(int(w) for w in words[2:]) if len(words) > 3 else (words[2],)
            except ValueError:
                raise ValueError(
                    f"{os.fspath(pcf)}, line {number}: not a pin: {line.strip()!r}"
                ) from None
    return pins


# icebox_vlog takes about half a second on an HX1K circuit and two on an HX8K one.
SIMULATION_TIMEOUT = 60.0


def escaped(name: str) -> str:
    """A Verilog escaped identifier, which names any port icebox_vlog writes."""
    return f"\\{name} "


def simulate_truth_table(
    candidate: str | os.PathLike,
    pcf: str | os.PathLike,
    inputs: Sequence[str],
    outputs: Sequence[str],
    *,
    package: str | None = None,
    timeout: float = SIMULATION_TIMEOUT,
) -> list[int | None]:
    """The circuit's output word for every input word, through icebox_vlog, iverilog and vvp.

    Word w of the result is what the outputs show while the inputs hold w, or None where an
    output is x or z. Raises RuntimeError when a tool is missing or fails, or when a step takes
    longer than `timeout` seconds (a loop that vvp cannot settle never ends)."""
    tools = {tool: shutil.which(tool) for tool in ("icebox_vlog", "iverilog", "vvp")}
    missing = [tool for tool, where in tools.items() if where is None]
    if missing:
        raise RuntimeError(f"{', '.join(missing)} not found (Debian: fpga-icestorm, iverilog)")
    n = len(inputs)
    bench = "\n".join(
        [
            "module bench;",
            f"  reg [{n - 1}:0] word;",
            f"  wire [{len(outputs) - 1}:0] out;",
            "  chip dut ("
            + ", ".join(
                [f".{escaped(p)}(word[{k}])" for k, p in enumerate(inputs)]
                + [f".{escaped(p)}(out[{k}])" for k, p in enumerate(outputs)]
            )
            + ");",
            "  integer w;",
            "  initial for (w = 0; w < " + str(1 << n) + "; w = w + 1) begin",
            '    word = w; #1 $display("%b", out);',
            "  end",
            "endmodule",
            "",
        ]
    )
    with tempfile.TemporaryDirectory(prefix="gridflip-simulate-") as scratch:
        chip, bench_file, image = (
            os.path.join(scratch, name) for name in ("chip.v", "bench.v", "sim")
        )
        with open(bench_file, "w") as file:
            file.write(bench)
        package_option = ["-d", package] if package else []
        steps = [
            (
                [tools["icebox_vlog"], "-p", os.fspath(pcf), *package_option, os.fspath(candidate)],
                chip,
            ),
            ([tools["iverilog"], "-o", image, bench_file, chip], None),
            ([tools["vvp"], "-n", image], None),
        ]
        for command, output_file in steps:
            try:
                run = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
            except subprocess.TimeoutExpired:
                raise RuntimeError(
                    f"{os.path.basename(command[0])} did not finish on {candidate} "
                    f"within {timeout:g} s"
                ) from None
            if run.returncode != 0:
                raise RuntimeError(
                    f"{os.path.basename(command[0])} failed ({run.returncode}) on "
                    f"{candidate}: {(run.stderr or run.stdout).strip()[-300:]}"
                )
            if output_file is not None:
                with open(output_file, "w") as file:
                    file.write(run.stdout)
    lines = [line for line in run.stdout.splitlines() if re.fullmatch(r"[01xzXZ]+", line)]
    if len(lines) != 1 << n:
        raise RuntimeError(f"vvp printed {len(lines)} output words for {1 << n} input words")
    return [int(line, 2) if re.fullmatch(r"[01]+", line) else None for line in lines]


@dataclass(frozen=True)
class NetworkCell:
    """One LUT of the network, in evaluation order."""

    tile: tuple[int, int]
    index: int  # the logic cell in its tile, 0 to 7
    sources: tuple[int, int, int, int]  # value slot of inputs 0 to 3 (slot 0 reads 0)
    lut_offsets: tuple[int, ...]  # byte offsets of LUT bits 0 to 15; bit k: in3 in2 in1 in0 = k
    dff_offset: int  # byte offset of the cell's flip-flop enable


class _SeedImage:
    """What a process needs to check candidates against the seed: built once in each process
    that scores, from the compressed seed the fitness carries, so that the fitness pickles small
    and a worker on another machine needs no copy of the seed file."""

    def __init__(self, fitness: TruthTableFitness):
        data = zlib.decompress(fitness._compressed_seed)
        self.seed = data
        self.runs = outside_logic_cells(data)
        # One unpack gives every run outside the logic cells; equal runs, equal wiring.
        layout = []
        for (start, end), following in zip(self.runs, [*self.runs[1:], None]):
            layout.append(f"{end - start}s")
            if following is not None:
                layout.append(f"{following[0] - end}x")
        self.layout = struct.Struct("".join(layout))
        self.kept = self.layout.unpack_from(data)
        offsets = [o for cell in fitness.cells for o in (*cell.lut_offsets, cell.dff_offset)]
        self.cell_bits = operator.itemgetter(*offsets) if offsets else (lambda data: ())
        # Cells that read only pins have the same minterms for every candidate.
        pins, everything = [0, *fitness._pins], (1 << len(fitness.target_words)) - 1
        self.fixed_minterms = [
            minterms_of((pins[s] for s in cell.sources), everything)
            if max(cell.sources) < len(pins)
            else None
            for cell in fitness.cells
        ]


_images: dict[str, _SeedImage] = {}


def outside_logic_cells(data: bytes) -> list[tuple[int, int]]:
    """The (start, end) byte runs of `data` outside columns 36-45 of logic-tile rows."""
    runs, start = [], 0
    for tile in find_tiles(data):
        for row in range(ROW_LINES):
            cells = tile.body + row * ROW_STRIDE + LOGIC_CELL_COLUMNS[0]
            runs.append((start, cells))
            start = cells + len(LOGIC_CELL_COLUMNS)
    runs.append((start, len(data)))
    return runs


def line_at(data: bytes | memoryview, offset: int) -> str:
    """'line N ("text")' for the line that holds byte `offset`."""
    data = bytes(data)  # a view too
    start = data.rfind(b"\n", 0, offset) + 1
    end = data.find(b"\n", offset)
    text = data[start : end if end >= 0 else len(data)].decode("ascii", "replace")
    number = data.count(b"\n", 0, offset) + 1
    return f'line {number} ("{text[:60]}")'


# Every input word is one bit of a Python int; 2**16 words is a 64 KiB-bit mask per net.
MAX_INPUTS = 16


class TruthTable:
    """A target truth table and how to score output words against it."""

    def __init__(
        self,
        inputs: Sequence[str],
        outputs: Sequence[str],
        target: Callable[[int], int] | Sequence[int],
    ):
        """target: a function of the input word, or its output words, one per input word (as a
        run's record keeps them)."""
        self.inputs, self.outputs = tuple(inputs), tuple(outputs)
        ports = (*self.inputs, *self.outputs)
        if not self.inputs or not self.outputs or len(set(ports)) != len(ports):
            raise ValueError("inputs and outputs must be distinct port names, at least one each")
        if len(self.inputs) > MAX_INPUTS:
            raise ValueError(f"{len(self.inputs)} inputs: a truth table takes at most {MAX_INPUTS}")
        words = 1 << len(self.inputs)
        if callable(target):
            self.target_words = tuple(target(word) for word in range(words))
        else:
            self.target_words = tuple(target)
            if len(self.target_words) != words:
                raise ValueError(f"{len(self.target_words)} target words for {words} input words")
        for word, value in enumerate(self.target_words):
            if not isinstance(value, int) or not 0 <= value < 1 << len(self.outputs):
                raise ValueError(
                    f"target({word}) is {value!r}, not a word of {len(self.outputs)} output bits"
                )
        self.target_words = tuple(map(int, self.target_words))
        self.max_score = len(self.target_words) * len(self.outputs)

    def score_words(self, words: Sequence[int | None]) -> int:
        """Correct output bits among output words; a word that is None (x or z) scores nothing."""
        return sum(
            len(self.outputs) - (word ^ wanted).bit_count()
            for word, wanted in zip(words, self.target_words)
            if word is not None
        )


class TruthTableFitness(TruthTable):
    """Correct output bits of a candidate, evaluated directly from its LUT bits.

    seed, pcf: paths; inputs, outputs: port names as the .pcf spells them; target(word) is the
    output word wanted for an input word; max_score is 2**len(inputs) * len(outputs). package:
    the chip's package where it is not the device's default (icebox's names: "tq144" for the
    HX1K, "ct256" for the HX8K). The object pickles small (the seed compressed, about 10 kB for
    the bundled HX1K seed), for pool or cluster workers."""

    def __init__(
        self,
        seed: str | os.PathLike,
        pcf: str | os.PathLike,
        inputs: Sequence[str],
        outputs: Sequence[str],
        target: Callable[[int], int] | Sequence[int],
        *,
        package: str | None = None,
        icebox_dir: str | None = None,
    ):
        super().__init__(inputs, outputs, target)
        self.seed, self.pcf, self.package = os.path.abspath(seed), os.fspath(pcf), package
        words = range(len(self.target_words))
        self._wanted = tuple(bit_masks(self.target_words, k) for k in range(len(self.outputs)))
        self._pins = tuple(bit_masks(words, k) for k in range(len(self.inputs)))
        data = read_circuit(seed)
        self.seed_length, self.seed_digest = len(data), hashlib.sha256(data).hexdigest()
        self._compressed_seed = zlib.compress(data, 6)
        self.cells, self._output_slots = self._read_network(load_icebox(icebox_dir), data)
        # A process may score several networks of one seed (a Dask worker, run after run).
        network = repr((self.cells, len(self.inputs))).encode()
        self._image_key = f"{self.seed_digest}:{hashlib.sha256(network).hexdigest()}"

    def _refuse(self, why: str) -> ValueError:
        return ValueError(f"{self.seed}: {why}; the truth-table model cannot represent this seed")

    def _read_network(self, icebox, data: bytes):
        """The network between the pins, from icebox's nets: its cells in evaluation order, and
        the value slot that drives each output. Slot 0 reads 0, slots 1 to n are the inputs,
        then each cell has two: its LUT's value ("lout") and its cell output ("out")."""
        config = icebox.iceconfig()
        try:
            # icebox prints a warning for each line it skips; the refusal below says enough.
            with contextlib.redirect_stdout(io.StringIO()):
                config.read_file(self.seed)
        except (AssertionError, IndexError, KeyError, ValueError, UnicodeDecodeError) as error:
            raise UnreadableCircuit(
                f"icebox cannot read {self.seed}: {str(error) or type(error).__name__}"
            ) from error
        if config.device not in ("1k", "8k"):
            raise self._refuse(f"device {config.device!r} is not an HX1K or HX8K")
        pins = read_pcf(self.pcf)
        locations = {}
        for port in (*self.inputs, *self.outputs):
            if port not in pins:
                raise self._refuse(f"port {port!r} is not in {self.pcf}")
            found = [
                e[1:]
                for e in config.pinloc_db(self.package)
                if (e[0],) == pins[port] or e[1:] == pins[port]
            ]
            if not found:
                raise self._refuse(
                    f"port {port!r} is on pin {' '.join(map(str, pins[port]))}, "
                    f"which the package has not"
                )
            locations[port] = found[0]

        net_of, members = {}, []
        for number, segments in enumerate(config.group_segments()):
            members.append(segments)
            net_of.update(dict.fromkeys(segments, number))

        def pin_type(x, y, cell):
            tile = icebox.tileconfig(config.tile(x, y))
            bits = ["0"] * 6
            for entry in config.tile_db(x, y):
                if (
                    entry[1] == f"IOB_{cell}"
                    and entry[2].startswith("PINTYPE_")
                    and tile.match(entry[0])
                ):
                    bits[int(entry[2][len("PINTYPE_") :])] = "1"
            return "".join(bits)

        input_slots = {}
        for k, port in enumerate(self.inputs):
            x, y, cell = locations[port]
            input_slots[x, y, f"io_{cell}/D_IN_0"] = 1 + k
            if (x, y, f"io_{cell}/D_IN_0") in net_of and pin_type(x, y, cell) != PLAIN_INPUT:
                raise self._refuse(f"input {port!r} is not a plain input pin")

        # Where each LUT and flip-flop bit sits in a tile's text: icebox's own tables, applied
        # to a tile whose every bit is its (row, column).
        positions = [[(row, column) for column in range(54)] for row in range(ROW_LINES)]
        bodies = {}
        for tile in find_tiles(data):
            x, y = map(int, tile.header.split()[1:3])
            rows = [tile.body + row * ROW_STRIDE for row in range(ROW_LINES)]
            if any(data[row + 54 : row + 55] != b"\n" for row in rows):
                raise self._refuse(f"a row of logic tile ({x}, {y}) is not 54 bits long")
            bodies[x, y] = tile.body

        cells, slots, visiting = [], {}, set()

        def source(segment, reader):
            """The slot of the value on the net of `segment`, which `reader` reads."""
            net = net_of.get(segment)
            if net is None:
                return 0
            drivers = []
            for x, y, name in members[net]:
                if CARRY.match(name):
                    raise self._refuse(f"a carry is routed to {reader}")
                if GLOBAL.match(name):
                    raise self._refuse(f"a global net ({name}) is routed to {reader}")
                match = LUT_OUTPUT.match(name)
                if match:
                    drivers.append(
                        lambda x=x, y=y, c=int(match[1]), out=match[2] == "out": (
                            visit(x, y, c) + out
                        )
                    )
                elif (x, y, name) in input_slots:
                    drivers.append(lambda slot=input_slots[x, y, name]: slot)
                elif OTHER_DRIVER.match(name):
                    raise self._refuse(
                        f"{reader} is driven by {name} of tile ({x}, {y}), "
                        "which is not one of the inputs"
                    )
            if len(drivers) != 1:
                raise self._refuse(f"{reader} has {len(drivers)} drivers, not one")
            return drivers[0]()

        def visit(x, y, cell):
            key = (x, y, cell)
            if key in slots:
                return slots[key]
            if key in visiting:
                raise self._refuse(
                    f"a combinational loop runs through logic cell {cell} of tile ({x}, {y})"
                )
            visiting.add(key)
            for control, what in CONTROLS.items():
                if (x, y, control) in net_of:
                    raise self._refuse(f"{what} is routed into logic tile ({x}, {y})")
            sources = tuple(
                source(
                    (x, y, f"lutff_{cell}/in_{k}"),
                    f"input {k} of logic cell {cell} in tile ({x}, {y})",
                )
                for k in range(4)
            )
            body = bodies[x, y]
            lut = tuple(
                body + r * ROW_STRIDE + c for r, c in icebox.get_lutff_lut_bits(positions, cell)
            )
            r, c = icebox.get_lutff_seq_bits(positions, cell)[1]
            cells.append(NetworkCell((x, y), cell, sources, lut, body + r * ROW_STRIDE + c))
            # A cell gets its slot once its sources have theirs: slots follow evaluation order.
            slots[key] = 1 + len(self.inputs) + 2 * (len(cells) - 1)
            return slots[key]

        output_slots = []
        for port in self.outputs:
            x, y, cell = locations[port]
            if (x, y, f"io_{cell}/D_OUT_0") not in net_of or pin_type(x, y, cell) != PLAIN_OUTPUT:
                raise self._refuse(
                    f"output {port!r} is not a plain output pin that the network drives"
                )
            output_slots.append(source((x, y, f"io_{cell}/D_OUT_0"), f"output {port!r}"))
        return tuple(cells), tuple(output_slots)

    def _image(self) -> _SeedImage:
        image = _images.get(self._image_key)
        if image is None:
            image = _images[self._image_key] = _SeedImage(self)
        return image

    def _read_candidate(self, candidate: str | os.PathLike) -> tuple[_SeedImage, memoryview]:
        """The candidate's bytes, in this thread's buffer until its next candidate; ValueError
        unless it differs from the seed in logic cells only."""
        image = self._image()
        data = _candidate_buffer().read(candidate)
        if len(data) != self.seed_length:
            first = next(
                (i for i, (a, b) in enumerate(zip(data, image.seed)) if a != b),
                min(len(data), self.seed_length),
            )
            raise ValueError(
                f"{os.fspath(candidate)} is {len(data)} bytes long, the seed "
                f"{self.seed} {self.seed_length}: first difference at "
                f"{line_at(data, first)}"
            )
        if image.layout.unpack_from(data) != image.kept:
            start = next(a for a, b in image.runs if data[a:b] != image.seed[a:b])
            first = next(i for i in range(start, len(data)) if data[i] != image.seed[i])
            raise ValueError(
                f"{os.fspath(candidate)} differs from the seed {self.seed} outside "
                f"the logic cells (columns 36-45 of logic-tile rows), first at "
                f"{line_at(data, first)}: its wiring may not be the seed's"
            )
        return image, data

    def output_masks(self, candidate: str | os.PathLike) -> list[int]:
        """For each output, a mask with bit w set where the output is 1 for input word w."""
        image, data = self._read_candidate(candidate)
        bits = image.cell_bits(data)
        values, everything = [0, *self._pins], (1 << len(self.target_words)) - 1
        for number, cell in enumerate(self.cells):
            lut = bits[17 * number : 17 * number + 17]
            minterms = image.fixed_minterms[number] or minterms_of(
                (values[s] for s in cell.sources), everything
            )
            # Minterms are disjoint: their sum is their union.
            result = sum(compress(minterms, map(IS_ONE, lut[:16])))
            values.append(result)
            values.append(0 if lut[16] == ONE else result)  # an unclocked flip-flop stays 0
        return [values[slot] for slot in self._output_slots]

    def output_words(self, candidate: str | os.PathLike) -> list[int]:
        """The output word for every input word, as simulate_truth_table gives them."""
        masks = self.output_masks(candidate)
        return [
            sum((mask >> w & 1) << k for k, mask in enumerate(masks))
            for w in range(1 << len(self.inputs))
        ]

    def __call__(self, candidate: str | os.PathLike) -> int:
        words = len(self.target_words)
        return sum(
            words - (mask ^ wanted).bit_count()
            for mask, wanted in zip(self.output_masks(candidate), self._wanted)
        )


_per_thread = threading.local()


def _candidate_buffer() -> CircuitBuffer:
    buffer = getattr(_per_thread, "buffer", None)
    if buffer is None:
        buffer = _per_thread.buffer = CircuitBuffer()
    return buffer


def minterms_of(sources, everything: int) -> list[int]:
    """minterms[k]: the input words (of the mask `everything`) on which inputs 3 to 0 of a LUT,
    whose values over the input words are `sources`, read the bits of k."""
    minterms = [everything]
    for value in sources:
        minterms = [m & ~value for m in minterms] + [m & value for m in minterms]
    return minterms


def bit_masks(words: Sequence[int], bit: int) -> int:
    """A mask with bit w set where bit `bit` of words[w] is set."""
    return sum(1 << w for w, word in enumerate(words) if word >> bit & 1)


class SimulatorFitness(TruthTable):
    """Correct output bits through simulate_truth_table: about a second a candidate, but for any
    wiring, so for candidates whose routing bits are mutated too. A candidate the simulator
    cannot score, or does not finish within `timeout` seconds a step (a loop that vvp never
    settles), is refused with ValueError."""

    def __init__(
        self,
        pcf: str | os.PathLike,
        inputs: Sequence[str],
        outputs: Sequence[str],
        target: Callable[[int], int] | Sequence[int],
        *,
        package: str | None = None,
        timeout: float = SIMULATION_TIMEOUT,
    ):
        super().__init__(inputs, outputs, target)
        self.pcf, self.package, self.timeout = pcf, package, timeout

    def __call__(self, candidate: str | os.PathLike) -> int:
        try:
            return self.score_words(
                simulate_truth_table(
                    candidate,
                    self.pcf,
                    self.inputs,
                    self.outputs,
                    package=self.package,
                    timeout=self.timeout,
                )
            )
        except RuntimeError as error:
            raise ValueError(f"{os.fspath(candidate)} cannot be simulated: {error}") from error
