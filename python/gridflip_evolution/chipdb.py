"""The iCE40 chip database that IceStorm installs (chipdb-1k.txt, chipdb-8k.txt): its tiles, its
wires and every switch with its configuration bits, read once and kept in a compact form that is
cached on disk under the database's SHA-256. And the table NetlistFitness derives from it and a
circuit (derive_table): what a region's candidates can change, in builtins only.

The database's nets are the wires of the chip (IceStorm's expand_net), except that it joins a
pad's global input (padin_N) to the global network it drives, and a bank's latch buffer (fabout)
to the latch input of every I/O tile of the bank. Switches and the two-driver check see those as
separate wires, so they are split here: each padin_N, fabout and io_global/latch segment is a
wire of its own. A switch's two ends keep the names IceStorm's tile database gives them, which the
database loses where one wire has two names in a tile (an I/O cell output seen from a neighbour):
they are learnt from the tiles of the same kind where the name is unambiguous.
"""

from __future__ import annotations

import hashlib
import io
import os
import pickle
import re
from array import array
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from .files import write_atomically
from .icestorm import UnreadableCircuit

DEFAULT_DIRECTORY = "/usr/share/fpga-icestorm/chipdb"
FORMAT = 1  # bump when the cached form changes
BUFFER, ROUTING = 0, 1
KINDS = ("buffer", "routing")
# Segments that the database joins to others but that are wires of their own.
SPLIT = re.compile(r"padin_\d+$|fabout$|io_global/latch$")
TILE_KINDS = {".io_tile": "io", ".logic_tile": "logic", ".ramb_tile": "ramb", ".ramt_tile": "ramt"}


class ChipDatabaseError(ValueError):
    """A chip database that is missing or cannot be read."""


def default_path(device: str) -> Path:
    """IceStorm's database for `device` ("1k", "8k"), where Debian's fpga-icestorm-chipdb puts it."""
    return Path(DEFAULT_DIRECTORY) / f"chipdb-{device}.txt"


def cache_directory() -> Path:
    """$XDG_CACHE_HOME/gridflip, else ~/.cache/gridflip."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "gridflip"


def file_digest(path: str | os.PathLike) -> str:
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


class _BuiltinsOnly(pickle.Unpickler):
    """Cache files hold builtins only; refuse anything that would import code."""

    def find_class(self, module: str, name: str):
        raise pickle.UnpicklingError(f"{module}.{name} in a gridflip cache file")


def loads_builtins(data: bytes):
    """pickle.loads for data that holds builtins only (a cache file, a derived table)."""
    return _BuiltinsOnly(io.BytesIO(data)).load()


def load_cached(path: Path):
    """The object cached at `path`, or None if there is none or it cannot be read."""
    try:
        with open(path, "rb") as file:
            return loads_builtins(file.read())
    except (
        OSError,
        pickle.UnpicklingError,
        EOFError,
        ValueError,
        TypeError,
        AttributeError,
        IndexError,
        KeyError,
    ):
        return None


def store_cached(path: Path, value) -> bool:
    """Cache `value` at `path`; False where the cache directory cannot be written."""
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(path, pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))
        return True
    except OSError:
        return False


@dataclass
class Group:
    """The switches of one multiplexer: one destination, one set of bits, one row per source."""

    tile: tuple[int, int]
    kind: int  # BUFFER or ROUTING
    bits: tuple[tuple[int, int], ...]  # (row, column), in row-then-column order
    destination: int  # wire
    destination_name: str
    rows: tuple[tuple[int, int, str], ...]  # (pattern, source wire, source name); bit i: bits[i]


class ChipDatabase:
    """One device's chip database, in arrays. Build with ChipDatabase.load()."""

    def __init__(self, state: dict):
        self.__dict__.update(state)
        for key in (
            "wire_first",
            "seg_x",
            "seg_y",
            "seg_name",
            "tile_seg_first",
            "tile_seg_name",
            "tile_seg_wire",
            "group_tile",
            "group_kind",
            "group_dst",
            "group_dst_name",
            "group_bit_first",
            "group_bits",
            "group_row_first",
            "row_pattern",
            "row_src",
            "row_src_name",
            "tile_group_first",
        ):
            code, raw = state[key]
            values = array(code)
            values.frombytes(raw)
            setattr(self, key, values)
        self.tile_list = [tuple(t) for t in self.tile_list]
        self.tile_index = {tile: n for n, tile in enumerate(self.tile_list)}
        self.tiles = dict(zip(self.tile_list, self.tile_kinds))
        self.name_index = {name: n for n, name in enumerate(self.names)}
        self._tile_wires: dict[int, dict[str, int]] = {}
        self._bit_indexes: dict[tuple[int, int], dict[int, list[int]]] = {}

    # -- reading ---------------------------------------------------------------------------------

    @classmethod
    def load(
        cls, path: str | os.PathLike | None = None, device: str | None = None, *, cache: bool = True
    ) -> ChipDatabase:
        """The database at `path` (default: IceStorm's for `device`), from the cache when it holds
        this file's digest. Raises ChipDatabaseError when the file is missing or malformed."""
        if path is None:
            if device is None:
                raise ChipDatabaseError("give the chip database's path or the device")
            path = default_path(device)
        path = Path(path)
        try:
            digest = file_digest(path)
        except OSError as error:
            raise ChipDatabaseError(
                f"cannot read the chip database {path}: {error.strerror}; "
                "install Debian's fpga-icestorm-chipdb or pass chipdb="
            ) from None
        where = cache_directory() / f"chipdb-v{FORMAT}-{digest}.pickle"
        state = load_cached(where) if cache else None
        if not isinstance(state, dict) or state.get("digest") != digest:
            state = parse(path.read_text(), os.fspath(path))
            state["digest"] = digest
            if cache:
                store_cached(where, state)
        try:
            chip = cls(state)
        except (KeyError, TypeError, ValueError) as error:
            raise ChipDatabaseError(
                f"the cached chip database {where} is unusable: {error}"
            ) from None
        if device is not None and chip.device != device:
            raise ChipDatabaseError(f"{path} describes the {chip.device} device, not the {device}")
        return chip

    # -- wires -----------------------------------------------------------------------------------

    @property
    def max_x(self) -> int:
        return self.width - 1

    @property
    def max_y(self) -> int:
        return self.height - 1

    def wire_segments(self, wire: int) -> list[tuple[int, int, str]]:
        first, last = self.wire_first[wire], self.wire_first[wire + 1]
        names = self.names
        return [(self.seg_x[k], self.seg_y[k], names[self.seg_name[k]]) for k in range(first, last)]

    def wire_key(self, wire: int) -> tuple[int, int, str]:
        """The wire's first segment in (x, y, name) order, which names it in a driver report."""
        return min(self.wire_segments(wire))

    def tile_wires(self, x: int, y: int) -> dict[str, int]:
        """Segment name -> wire, for the segments in tile (x, y)."""
        index = self.tile_index.get((x, y))
        if index is None:
            return {}
        wires = self._tile_wires.get(index)
        if wires is None:
            first, last = self.tile_seg_first[index], self.tile_seg_first[index + 1]
            names = self.names
            wires = {
                names[self.tile_seg_name[k]]: self.tile_seg_wire[k] for k in range(first, last)
            }
            self._tile_wires[index] = wires
        return wires

    def wire_at(self, x: int, y: int, name: str) -> int | None:
        return self.tile_wires(x, y).get(name)

    # -- switches --------------------------------------------------------------------------------

    def tile_groups(self, x: int, y: int) -> range:
        index = self.tile_index[(x, y)]
        return range(self.tile_group_first[index], self.tile_group_first[index + 1])

    def group(self, number: int) -> Group:
        tile = self.tile_list[self.group_tile[number]]
        bits = tuple(
            divmod(b, 64)
            for b in self.group_bits[
                self.group_bit_first[number] : self.group_bit_first[number + 1]
            ]
        )
        names = self.names
        rows = tuple(
            (self.row_pattern[k], self.row_src[k], names[self.row_src_name[k]])
            for k in range(self.group_row_first[number], self.group_row_first[number + 1])
        )
        return Group(
            tile,
            self.group_kind[number],
            bits,
            self.group_dst[number],
            names[self.group_dst_name[number]],
            rows,
        )

    def tile_class(self, x: int, y: int) -> str:
        """The tile's kind, and for an I/O tile its side, as IceStorm picks a tile database."""
        kind = self.tiles[(x, y)]
        if kind != "io":
            return kind
        if x == 0:
            return "io_l"
        if x == self.max_x:
            return "io_r"
        return "io_b" if y == 0 else "io_t"


# -- the parser --------------------------------------------------------------------------------


def _bit(name: str) -> tuple[int, int]:
    match = re.fullmatch(r"B(\d+)\[(\d+)\]", name)
    if not match:
        raise ValueError(f"not a configuration bit: {name!r}")
    return int(match[1]), int(match[2])


def parse(text: str, where: str = "the chip database") -> dict:
    """The state of a ChipDatabase from the text of a chipdb-*.txt file."""
    try:
        return _parse(text)
    except (ValueError, IndexError, KeyError) as error:
        raise ChipDatabaseError(f"{where} is not an IceStorm chip database: {error}") from None


def _parse(text: str) -> dict:
    device, width, height = None, 0, 0
    tiles: dict[tuple[int, int], str] = {}
    tile_bits: dict[str, dict[str, tuple]] = {}
    pins: dict[str, dict[str, tuple[int, int, int]]] = {}
    lists: dict[str, list] = {"gbufin": [], "gbufpin": [], "iolatch": [], "ieren": []}
    extra_bits: dict[tuple[int, int, int], tuple[str, str]] = {}
    extra_cells: list = []
    nets: list[list[tuple[int, int, str]]] = []
    groups: list = []  # (x, y, kind, dst net, bit names, [(pattern text, src net)])

    for block in text.split("\n."):
        first, _, rest = block.partition("\n")
        head = first.split()
        if not head or head[0].startswith("#"):
            continue
        directive = "." + head[0].lstrip(".")
        if directive == ".net":
            if int(head[1]) != len(nets):
                raise ValueError(f"net {head[1]} out of order")
            words = rest.split()  # x y name, three words a segment
            if len(words) % 3:
                raise ValueError(f"net {head[1]} has a line that is not x, y and a name")
            nets.append(list(zip(map(int, words[0::3]), map(int, words[1::3]), words[2::3])))
            continue
        if directive in (".buffer", ".routing"):
            words = rest.split()  # pattern source, two words a row
            if len(words) % 2:
                raise ValueError(f"{first}: a line that is not a pattern and a net")
            groups.append(
                (
                    int(head[1]),
                    int(head[2]),
                    BUFFER if directive == ".buffer" else ROUTING,
                    int(head[3]),
                    head[4:],
                    list(zip(words[0::2], map(int, words[1::2]))),
                )
            )
            continue
        body = [line.split() for line in rest.split("\n") if line and not line.startswith("#")]
        if directive in TILE_KINDS:
            tiles[(int(head[1]), int(head[2]))] = TILE_KINDS[directive]
        elif directive == ".device":
            device, width, height = head[1], int(head[2]), int(head[3])
        elif directive.endswith("_tile_bits"):
            tile_bits[directive[1 : -len("_tile_bits")]] = {
                w[0]: tuple(map(_bit, w[1:])) for w in body
            }
        elif directive == ".pins":
            pins[head[1]] = {w[0]: (int(w[1]), int(w[2]), int(w[3])) for w in body}
        elif directive[1:] in lists:
            lists[directive[1:]] = [tuple(map(int, w)) for w in body]
        elif directive == ".extra_bits":
            for w in body:
                function, _, argument = w[0].partition(".")
                extra_bits[(int(w[1]), int(w[2]), int(w[3]))] = (function, argument)
        elif directive == ".extra_cell":
            extra_cells.append((tuple(map(int, head[1:-1])), head[-1], {w[0]: w[1:] for w in body}))
    if device is None or not nets or not groups:
        raise ValueError("no .device, .net or switch")

    # Wires: the nets, with the joined segments split off.
    wires: list[list[tuple[int, int, str]]] = []
    wire_of_segment: dict[tuple[int, int, str], int] = {}
    for segments in nets:
        kept = [s for s in segments if not SPLIT.match(s[2])] or segments[:1]
        for part in [kept] + [[s] for s in segments if s not in kept]:
            for segment in part:
                wire_of_segment[segment] = len(wires)
            wires.append(sorted(part))

    tile_list = sorted(tiles)
    names = sorted({s[2] for part in wires for s in part})
    name_index = {name: n for n, name in enumerate(names)}

    in_tile: dict[tuple[int, int], dict[int, list[str]]] = {}  # tile -> net -> its names there
    for net, segments in enumerate(nets):
        for x, y, name in segments:
            in_tile.setdefault((x, y), {}).setdefault(net, []).append(name)

    def tile_class(x: int, y: int) -> str:
        kind = tiles[(x, y)]
        if kind != "io":
            return kind
        return "io_l" if x == 0 else "io_r" if x == width - 1 else "io_b" if y == 0 else "io_t"

    # A wire with two names in a tile (an I/O cell's output seen from a neighbour) leaves a
    # switch's end ambiguous; tiles of the same kind where it is not tell which name it has.
    needed = set()
    for x, y, kind, dst, bit_names, rows in groups:
        names_here = in_tile[(x, y)]
        if len(names_here[dst]) != 1 or any(len(names_here[src]) != 1 for _, src in rows):
            needed.add((tile_class(x, y), kind, tuple(bit_names)))
    learnt: dict[tuple, str] = {}
    for x, y, kind, dst, bit_names, rows in groups:
        key = (tile_class(x, y), kind, tuple(bit_names))
        if key in needed:
            names_here = in_tile[(x, y)]
            if len(names_here[dst]) == 1:
                learnt.setdefault((*key, "dst"), names_here[dst][0])
            for pattern, src in rows:
                if len(names_here[src]) == 1:
                    learnt.setdefault((*key, pattern), names_here[src][0])

    def resolve(found: list[str], key: tuple, what: str) -> str:
        name = learnt.get(key)
        if name not in found:
            raise ValueError(f"cannot tell which of {found} a switch's {what} is ({key})")
        return name

    bit_of: dict[str, tuple[int, int]] = {}
    tile_index = {tile: n for n, tile in enumerate(tile_list)}
    group_tile, group_kind, group_dst, group_dst_name = [], [], [], []
    group_bit_first, group_bits, group_row_first = [0], [], [0]
    row_pattern, row_src, row_src_name = [], [], []
    tile_group_first = array("I", [0] * (len(tile_list) + 1))
    ends: dict[int, tuple[int, int]] = {}  # in the current tile: net -> (wire, name), unambiguous
    current_tile = None
    for x, y, kind, dst, bit_names, rows in sorted(groups, key=lambda g: (g[0], g[1])):
        names_here = in_tile[(x, y)]
        if (x, y) != current_tile:
            current_tile, ends = (x, y), {}
        key = (tile_class(x, y), kind, tuple(bit_names))
        bits = []
        for name in bit_names:
            if name not in bit_of:
                bit_of[name] = _bit(name)
            bits.append(bit_of[name])
        numeric = sorted(range(len(bits)), key=bits.__getitem__)  # row, then column
        found = names_here[dst]
        dst_name = found[0] if len(found) == 1 else resolve(found, (*key, "dst"), "destination")
        group_tile.append(tile_index[(x, y)])
        group_kind.append(kind)
        group_dst.append(wire_of_segment[(x, y, dst_name)])
        group_dst_name.append(name_index[dst_name])
        group_bits.extend(bits[i][0] * 64 + bits[i][1] for i in numeric)
        group_bit_first.append(len(group_bits))
        identity = numeric == sorted(numeric)
        for pattern, src in rows:
            end = ends.get(src)
            if end is None:
                found = names_here[src]
                name = found[0] if len(found) == 1 else resolve(found, (*key, pattern), "source")
                end = (wire_of_segment[(x, y, name)], name_index[name])
                if len(found) == 1:
                    ends[src] = end
            # Bit k of the pattern is the group's k-th bit in row-then-column order.
            ordered = pattern if identity else "".join(pattern[i] for i in numeric)
            row_pattern.append(int(ordered[::-1], 2))
            row_src.append(end[0])
            row_src_name.append(end[1])
        group_row_first.append(len(row_pattern))
        tile_group_first[tile_index[(x, y)] + 1] = len(group_tile)
    for n in range(1, len(tile_group_first)):  # tiles without switches
        tile_group_first[n] = max(tile_group_first[n], tile_group_first[n - 1])
    group_tile, group_kind = array("H", group_tile), array("B", group_kind)
    group_dst, group_dst_name = array("I", group_dst), array("H", group_dst_name)
    group_bit_first, group_bits = array("I", group_bit_first), array("H", group_bits)
    group_row_first, row_pattern = array("I", group_row_first), array("I", row_pattern)
    row_src, row_src_name = array("I", row_src), array("H", row_src_name)

    wire_first, seg_x, seg_y, seg_name = array("I", [0]), array("B"), array("B"), array("H")
    by_tile: dict[int, list[tuple[int, int]]] = {n: [] for n in range(len(tile_list))}
    for number, part in enumerate(wires):
        for x, y, name in part:
            seg_x.append(x)
            seg_y.append(y)
            seg_name.append(name_index[name])
            if (x, y) in tile_index:
                by_tile[tile_index[(x, y)]].append((name_index[name], number))
        wire_first.append(len(seg_x))
    tile_seg_first, tile_seg_name, tile_seg_wire = array("I", [0]), array("H"), array("I")
    for n in range(len(tile_list)):
        for name, wire in by_tile[n]:
            tile_seg_name.append(name)
            tile_seg_wire.append(wire)
        tile_seg_first.append(len(tile_seg_name))

    def packed(values: array) -> tuple[str, bytes]:
        return values.typecode, values.tobytes()

    state = {
        "format": FORMAT,
        "device": device,
        "width": width,
        "height": height,
        "tile_list": [list(t) for t in tile_list],
        "tile_kinds": [tiles[t] for t in tile_list],
        "tile_bits": tile_bits,
        "pins": pins,
        "extra_bits": extra_bits,
        "extra_cells": extra_cells,
        "names": names,
        "wire_count": len(wires),
        **lists,
    }
    for key, values in (
        ("wire_first", wire_first),
        ("seg_x", seg_x),
        ("seg_y", seg_y),
        ("seg_name", seg_name),
        ("tile_seg_first", tile_seg_first),
        ("tile_seg_name", tile_seg_name),
        ("tile_seg_wire", tile_seg_wire),
        ("group_tile", group_tile),
        ("group_kind", group_kind),
        ("group_dst", group_dst),
        ("group_dst_name", group_dst_name),
        ("group_bit_first", group_bit_first),
        ("group_bits", group_bits),
        ("group_row_first", group_row_first),
        ("row_pattern", row_pattern),
        ("row_src", row_src),
        ("row_src_name", row_src_name),
        ("tile_group_first", tile_group_first),
    ):
        state[key] = packed(values)
    return state


# -- a circuit as the derived table reads it ---------------------------------------------------

# The bits of logic cell i's 20 (LC_i, in order) that icebox_vlog reads as LUT bits 0-15 (bit k:
# in3 in2 in1 in0 = k) and as its carry enable, flip-flop enable, set value and asynchronous
# set/reset (icebox's get_lutff_lut_bits, get_lutff_seq_bits).
LUT_ORDER = (4, 14, 15, 5, 6, 16, 17, 7, 3, 13, 12, 2, 1, 11, 10, 0)
SEQ_ORDER = (8, 9, 18, 19)
MAP_RANK = {"logic": 0, "io": 1, "ramb": 2, "ramt": 3}  # icebox lists tiles in this order
ROWS, COLUMNS, STRIDE = 16, 54, 55  # a logic tile as gridflip finds it
ONE = ord("1")

LUT_SEGMENT = re.compile(r"lutff_(\d)/(out|lout)$")
CARRY_SEGMENT = re.compile(r"lutff_\d/cout$|carry_in_mux$")
IO_SEGMENT = re.compile(r"io_(\d)/D_(IN|OUT)_(\d)$")
RAM_SEGMENT = re.compile(r"ram/RDATA_\d+$")
GLOBAL_SEGMENT = re.compile(r"glb_netwk_(\d+)$|padin_\d+$|fabout$")
# What the two-driver check counts as a cell output on a wire.
DRIVING_OUTPUT = re.compile(r"lutff_\d/(out|lout|cout)$|io_\d/D_IN_\d$|ram/RDATA_\d+$")


@dataclass
class Circuit:
    """An iCE40 ASCII configuration, as icebox reads it."""

    device: str
    rows: dict[tuple[int, int], list[bytes]]  # every tile's 16 rows
    kinds: dict[tuple[int, int], str]
    order: dict[tuple[int, int], tuple[int, int]]  # icebox's order of tiles: map rank, position
    offsets: dict[tuple[int, int], int]  # logic tiles in gridflip's layout: offset of row 0
    extra_bits: frozenset


def parse_circuit(data: bytes, where: str) -> Circuit:
    """The tiles of an .asc file as icebox reads them; UnreadableCircuit where it would not."""
    device, rows, kinds, order, offsets, extra = None, {}, {}, {}, {}, set()
    counts = dict.fromkeys(MAP_RANK, 0)
    current, wanted, offset, body, tile = [], 0, 0, 0, None
    for number, line in enumerate(data.split(b"\n"), 1):
        start, offset = offset, offset + len(line) + 1
        words = line.split()
        if wanted > 0:
            if not words or words[0][:1] == b".":
                raise UnreadableCircuit(f"{where}: line {number}: a tile has fewer than 16 rows")
            if not current:
                body = start
            current.append(words[0])
            wanted -= 1
            if (
                wanted == 0
                and tile is not None
                and kinds[tile] == "logic"
                and data[body:offset] == b"".join(r + b"\n" for r in current)
                and all(len(r) == COLUMNS for r in current)
            ):
                offsets[tile] = body
            continue
        if not words or words[0][:1] != b".":
            continue
        head = words[0].decode("ascii", "replace")
        kind = head[1 : -len("_tile")] if head.endswith("_tile") else None
        if kind in MAP_RANK:
            try:
                tile = (int(words[1]), int(words[2]))
            except (IndexError, ValueError):
                raise UnreadableCircuit(
                    f"{where}: line {number}: a tile header without x and y"
                ) from None
            if tile in kinds:
                raise UnreadableCircuit(f"{where}: line {number}: tile {tile} appears twice")
            kinds[tile], current, wanted = kind, [], ROWS
            rows[tile] = current
            order[tile] = (MAP_RANK[kind], counts[kind])
            counts[kind] += 1
        elif head == ".device" and len(words) > 1:
            device = words[1].decode("ascii", "replace")
        elif head == ".extra_bit" and len(words) == 4:
            extra.add(tuple(int(w) for w in words[1:]))
        elif head == ".ram_data" or head.endswith("_tile"):
            tile, current, wanted = None, [], ROWS  # 16 rows to pass over
    if wanted > 0:
        raise UnreadableCircuit(f"{where}: the last tile has fewer than 16 rows: a cut file?")
    if device is None:
        raise UnreadableCircuit(f"{where}: no .device line: not an iCE40 circuit")
    return Circuit(device, rows, kinds, order, offsets, frozenset(extra))


# -- switches that a circuit's bits switch on --------------------------------------------------


def _bit_index(chip: ChipDatabase, tile: tuple[int, int]) -> dict[int, list[int]]:
    """Bit (row * 64 + column) -> the tile's switch groups that read it."""
    index = chip._bit_indexes.get(tile)
    if index is None:
        index = {}
        first, bits = chip.group_bit_first, chip.group_bits
        for group in chip.tile_groups(*tile):
            for bit in bits[first[group] : first[group + 1]]:
                index.setdefault(bit, []).append(group)
        chip._bit_indexes[tile] = index
    return index


def switches_on(chip: ChipDatabase, tile: tuple[int, int], rows: list[bytes]) -> list[int]:
    """The chip rows (one source of one group each) that the tile's bits switch on. A group
    whose bits are all 0 switches nothing on, so only groups that read a 1 are decoded."""
    index = _bit_index(chip, tile)
    groups = set()
    for r, row in enumerate(rows):
        column = row.find(b"1")
        while column >= 0:
            groups.update(index.get(r * 64 + column, ()))
            column = row.find(b"1", column + 1)
    first, bits, row_first = chip.group_bit_first, chip.group_bits, chip.group_row_first
    found = []
    for group in sorted(groups):
        pattern = 0
        for i, bit in enumerate(bits[first[group] : first[group + 1]]):
            row, column = rows[bit >> 6], bit & 63
            if column < len(row) and row[column] == ONE:
                pattern |= 1 << i
        for chip_row in range(row_first[group], row_first[group + 1]):
            if chip.row_pattern[chip_row] == pattern:
                found.append(chip_row)
                break
    return found


def row_group(chip: ChipDatabase, row: int) -> int:
    """The group of a chip row (binary search over the groups' first rows)."""
    first = chip.group_row_first
    low, high = 0, len(first) - 2
    while low < high:
        middle = (low + high + 1) // 2
        if first[middle] <= row:
            low = middle
        else:
            high = middle - 1
    return low


def switch_entry(
    kind: str,
    tile: tuple[int, int],
    order: tuple[int, int],
    bits: Sequence[tuple[int, int]],
    pattern: int,
    source: str,
    destination: str,
) -> tuple:
    """(order key, driver fields) of a switch that is on, as the two-driver check reports it:
    its bits as icebox names them (row, then column; "!" where 0), and the order in which the
    check finds it (icebox's tile order, the first bit that is 1, the tile database's order)."""
    names = [("" if pattern >> i & 1 else "!") + f"B{r}[{c}]" for i, (r, c) in enumerate(bits)]
    first_set = next(bits[i] for i in range(len(bits)) if pattern >> i & 1)
    database = f"{kind} {source} {destination}" + str([names, kind, source, destination])
    return ((*order, *first_set, database), (tile, kind, source, destination, tuple(names)))


def chip_switch_entry(chip: ChipDatabase, row: int, order: tuple[int, int]) -> tuple:
    group = row_group(chip, row)
    first = chip.group_bit_first
    return switch_entry(
        KINDS[chip.group_kind[group]],
        chip.tile_list[chip.group_tile[group]],
        order,
        [divmod(b, 64) for b in chip.group_bits[first[group] : first[group + 1]]],
        chip.row_pattern[row],
        chip.names[chip.row_src_name[row]],
        chip.names[chip.group_dst_name[group]],
    )


def cell_outputs(chip: ChipDatabase, wire: int) -> list[tuple]:
    """The cell outputs on a wire, as driver fields, in the two-driver check's order."""
    return [
        ((x, y), "cell output", name, name, ())
        for x, y, name in sorted(chip.wire_segments(wire))
        if DRIVING_OUTPUT.match(name)
    ]


def fed_by_a_carry_chain(chip: ChipDatabase, x: int, y: int) -> bool:
    """Whether a logic cell's carry-out reaches the carry input of tile (x, y)."""
    wire = chip.wire_at(x, y, "carry_in")
    return wire is not None and any(
        name == "lutff_7/cout" and chip.tiles.get((cx, cy)) == "logic"
        for cx, cy, name in chip.wire_segments(wire)
    )


# -- the derived table -------------------------------------------------------------------------

TABLE_FORMAT = 1


def derive_table(
    chip: ChipDatabase,
    circuit: Circuit,
    region: Sequence[tuple[int, int]],
    ports: dict[str, tuple[int, int, int]],
    inputs: Sequence[str],
    outputs: Sequence[str],
    where: str,
) -> dict:
    """What scoring a candidate of `circuit` needs, in builtins only (for the cache and the
    pickle): the switches of the region's tiles; the circuit's nets outside the region, each
    collapsed into one node; every node a cone can reach, with its drivers and the cells behind
    them; and, for the two-driver check, the drivers each wire has outside the region."""
    return _Builder(chip, circuit, region, ports, inputs, outputs, where).build()


class _Builder:
    def __init__(self, chip, circuit, region, ports, inputs, outputs, where):
        self.chip, self.circuit, self.where = chip, circuit, where
        self.region = tuple(region)
        self.region_set = set(self.region)
        self.ports, self.inputs, self.outputs = ports, tuple(inputs), tuple(outputs)

    def refuse(self, why: str) -> ValueError:
        return ValueError(f"{self.where}: {why}")

    def build(self) -> dict:
        chip, circuit = self.chip, self.circuit
        if circuit.device != chip.device:
            raise self.refuse(
                f"a circuit for the {circuit.device} device, and a chip database "
                f"for the {chip.device}"
            )
        for tile in self.region:
            if chip.tiles.get(tile) != "logic" or circuit.kinds.get(tile) != "logic":
                raise self.refuse(f"tile {tile} is not a logic tile of the {chip.device} device")
            if tile not in circuit.offsets:
                raise self.refuse(f"logic tile {tile} is not 16 rows of 54 bits")
        missing = [t for t in chip.tile_list if t not in circuit.rows]
        if missing:
            raise self.refuse(
                f"{len(missing)} of the device's tiles are missing, first {missing[0]}: a cut file?"
            )
        self.on_rows = []  # (group, chip row) of every switch that is on
        for tile, rows in circuit.rows.items():
            if tile in chip.tile_index and any(b"1" in row for row in rows):
                self.on_rows += [(row_group(chip, r), r) for r in switches_on(chip, tile, rows)]
        self._io_types()
        self._nets()
        table = {"format": TABLE_FORMAT, "device": chip.device}
        table.update(self._region_switches())
        table.update(self._cone())
        table.update(self._contest_data(table))
        return table

    def _io_types(self) -> None:
        """I/O cells as icebox_vlog types them (PINTYPE bits), the PLLs that take some over, and
        the global networks that something drives."""
        chip, circuit = self.chip, self.circuit
        bits = chip.tile_bits["io"]

        def bit(tile, function):
            r, c = bits[function][0]
            row = circuit.rows[tile][r]
            return c < len(row) and row[c] == ONE

        self.io_types = {}
        for tile, kind in circuit.kinds.items():
            if kind == "io":
                for cell in (0, 1):
                    self.io_types[(*tile, cell)] = "".join(
                        "1" if bit(tile, f"IOB_{cell}.PINTYPE_{k}") else "0" for k in range(6)
                    )
        self.pll_skip, self.pll_special = set(), set()
        for _, kind, info in chip.extra_cells:
            if kind != "PLL":
                continue
            plltype = "".join(
                "1"
                if bit(
                    (int(info[f"PLLTYPE_{i}"][0]), int(info[f"PLLTYPE_{i}"][1])),
                    f"PLL.{info[f'PLLTYPE_{i}'][2]}",
                )
                else "0"
                for i in (2, 1, 0)
            )
            if plltype == "000":
                continue
            a = tuple(map(int, info["PLLOUT_A"]))
            (self.pll_special if plltype in ("010", "100", "110") else self.pll_skip).add(a)
            if plltype not in ("010", "011"):
                self.pll_skip.add(tuple(map(int, info["PLLOUT_B"])))
        self.pad_globals = {(x, y, pio): glb for x, y, pio, glb in chip.gbufpin}
        self.extra_cells = set()  # pins that a padin_glb_netwk bit connects to a global network
        for bit_place in circuit.extra_bits:
            function, argument = chip.extra_bits.get(bit_place, ("", ""))
            if function == "padin_glb_netwk":
                self.extra_cells.update(
                    cell for cell, glb in self.pad_globals.items() if glb == int(argument)
                )

    def _nets(self) -> None:
        """Union the wires that the circuit's switches outside the region join: the nets that
        no candidate changes."""
        chip = self.chip
        parent: dict[int, int] = {}

        def find(w):
            while parent[w] != w:
                parent[w] = parent[parent[w]]
                w = parent[w]
            return w

        def join(a, b):
            parent.setdefault(a, a)
            parent.setdefault(b, b)
            ra, rb = find(a), find(b)
            if ra != rb:
                parent[max(ra, rb)] = min(ra, rb)

        for group, row in self.on_rows:
            if chip.tile_list[chip.group_tile[group]] not in self.region_set:
                join(chip.row_src[row], chip.group_dst[group])
        for (x, y, cell), kind in self.io_types.items():
            if kind[2:6] != "0000":  # icebox_vlog gives every output-typed cell's D_OUT_0 a net
                wire = chip.wire_at(x, y, f"io_{cell}/D_OUT_0")
                if wire is not None:
                    join(wire, wire)
        self.fixed_root = {w: find(w) for w in parent}
        self.members: dict[int, list[int]] = {}
        for wire, root in self.fixed_root.items():
            self.members.setdefault(root, []).append(wire)
        self.driven_globals = {
            glb for x, y, glb in chip.gbufin if chip.wire_at(x, y, "fabout") in self.fixed_root
        }
        self.driven_globals.update(self.pad_globals[cell] for cell in self.extra_cells)

    def _region_switches(self) -> dict:
        chip = self.chip
        self.node_ids: dict[tuple[str, int], int] = {}
        self.node_wires: list[list[int]] = []
        self.node_fixed: list[bool] = []
        self.region_wires: set[int] = set()
        first, row_first = chip.group_bit_first, chip.group_row_first
        for tile in self.region:
            for group in chip.tile_groups(*tile):
                self.region_wires.add(chip.group_dst[group])
                self.region_wires.update(chip.row_src[row_first[group] : row_first[group + 1]])
        on = {row for _, row in self.on_rows}
        names: dict[str, int] = {}
        table = {
            key: []
            for key in (
                "group_tile",
                "group_kind",
                "group_dst_name",
                "group_offsets",
                "group_first_row",
                "group_seed",
                "group_dst",
                "row_src",
                "row_pattern",
                "row_source_name",
            )
        }
        self.group_wire_chip, self.group_chip = [], []
        rows_so_far = 0
        for t, tile in enumerate(self.region):
            body = self.circuit.offsets[tile]
            for group in chip.tile_groups(*tile):
                bits = [divmod(b, 64) for b in chip.group_bits[first[group] : first[group + 1]]]
                table["group_tile"].append(t)
                table["group_kind"].append(chip.group_kind[group])
                table["group_dst_name"].append(
                    names.setdefault(chip.names[chip.group_dst_name[group]], len(names))
                )
                table["group_offsets"].append(tuple(body + r * STRIDE + c for r, c in bits))
                table["group_first_row"].append(rows_so_far)
                table["group_dst"].append(self.node(chip.group_dst[group]))
                self.group_wire_chip.append(chip.group_dst[group])
                self.group_chip.append(group)
                seed = -1
                for row in range(row_first[group], row_first[group + 1]):
                    if row in on:
                        seed = rows_so_far
                    table["row_src"].append(self.node(chip.row_src[row]))
                    table["row_pattern"].append(chip.row_pattern[row])
                    table["row_source_name"].append(
                        names.setdefault(chip.names[chip.row_src_name[row]], len(names))
                    )
                    rows_so_far += 1
                table["group_seed"].append(seed)
        table["group_first_row"].append(rows_so_far)
        table.update(
            {
                "tiles": list(self.region),
                "bodies": [self.circuit.offsets[t] for t in self.region],
                "tile_order": [self.circuit.order[t] for t in self.region],
                "names": list(names),
            }
        )
        return table

    def node(self, wire: int) -> int:
        """A wire's node: the circuit's net outside the region, or the wire alone where only a
        region switch can join it to a net; -1 for a wire that nothing can join to one."""
        root = self.fixed_root.get(wire)
        if root is not None:
            key = ("net", root)
        elif wire in self.region_wires:
            key = ("wire", wire)
        else:
            return -1
        number = self.node_ids.get(key)
        if number is None:
            number = self.node_ids[key] = len(self.node_wires)
            self.node_wires.append(self.members[root] if root is not None else [wire])
            self.node_fixed.append(root is not None)
        return number

    def _cone(self) -> dict:
        chip, circuit = self.chip, self.circuit
        lc_bits = chip.tile_bits["logic"]
        cells, cell_ids, io_cells, io_ids = [], {}, [], {}
        drivers, driver_ids = [], {}
        port_of = {}
        for port, cell in self.ports.items():
            if cell in port_of:
                raise self.refuse(f"ports {port_of[cell]!r} and {port!r} are on one pin")
            port_of[cell] = port

        def driver(key):
            if key not in driver_ids:
                driver_ids[key] = len(drivers)
                drivers.append(key)
            return driver_ids[key]

        def wire_node(x, y, name):
            wire = chip.wire_at(x, y, name)
            return -1 if wire is None else self.node(wire)

        def lut_cell(x, y, i):
            if (x, y, i) in cell_ids:
                return cell_ids[(x, y, i)]
            bits = lc_bits[f"LC_{i}"]
            entry = {
                "tile": (x, y),
                "index": i,
                "inputs": [wire_node(x, y, f"lutff_{i}/in_{k}") for k in range(4)],
                "clk": wire_node(x, y, "lutff_global/clk"),
                "s_r": wire_node(x, y, "lutff_global/s_r"),
            }
            if (x, y) in self.region_set:  # read from each candidate
                body = circuit.offsets[(x, y)]
                places = [body + r * STRIDE + c for r, c in bits]
                entry["lut"] = tuple(places[j] for j in LUT_ORDER)
                entry["seq"] = tuple(places[j] for j in SEQ_ORDER)
            else:
                rows = circuit.rows[(x, y)]
                value = [int(c < len(rows[r]) and rows[r][c] == ONE) for r, c in bits]
                entry["lut"] = sum(value[j] << k for k, j in enumerate(LUT_ORDER))
                entry["seq"] = tuple(value[j] for j in SEQ_ORDER)
            cell_ids[(x, y, i)] = len(cells)
            cells.append(entry)
            return cell_ids[(x, y, i)]

        def io_cell(x, y, pio):
            key = (x, y, pio)
            if key not in io_ids:
                entry = {
                    "cell": key,
                    "type": self.io_types.get(key, "000000"),
                    "skip": key in self.pll_skip,
                    "special": key in self.pll_special,
                    "extra": key in self.extra_cells,
                }
                for name in ("D_IN_0", "D_IN_1", "D_OUT_0", "D_OUT_1"):
                    entry[name] = wire_node(x, y, f"io_{pio}/{name}")
                io_ids[key] = len(io_cells)
                io_cells.append(entry)
            return io_ids[key]

        # The region's cells and the outputs' cells start; every node made since (a cell's
        # inputs, an I/O cell's signals) is read in turn, until no new one appears.
        for tile in self.region:
            for i in range(8):
                lut_cell(*tile, i)
        outputs = [io_cell(*self.ports[port]) for port in self.outputs]
        node_drivers, node_flags = [], []
        done = 0
        while done < len(self.node_wires):
            flags, found = "", []
            for wire in self.node_wires[done]:
                for x, y, name in chip.wire_segments(wire):
                    match = LUT_SEGMENT.match(name)
                    if match and chip.tiles.get((x, y)) == "logic":
                        found.append(
                            driver(("lut", lut_cell(x, y, int(match[1])), match[2] == "out"))
                        )
                    elif CARRY_SEGMENT.match(name):
                        found.append(driver(("carry", x, y, name)))
                    elif RAM_SEGMENT.match(name):
                        found.append(driver(("ram", x, y, name)))
                    elif (match := IO_SEGMENT.match(name)) and match[2] == "IN":
                        found.append(driver(("io", io_cell(x, y, int(match[1])), int(match[3]))))
                    elif (match := GLOBAL_SEGMENT.match(name)) and not flags:
                        if match[1] is None or int(match[1]) in self.driven_globals:
                            flags = f"{name} at tile ({x}, {y})"
            node_drivers.append(tuple(found))
            node_flags.append(flags)
            done += 1
        return {
            "cells": cells,
            "io_cells": io_cells,
            "outputs": outputs,
            "node_drivers": node_drivers,
            "node_flags": node_flags,
            "node_fixed": self.node_fixed,
            "drivers": drivers,
            "input_of": {
                io_ids[self.ports[p]]: k
                for k, p in enumerate(self.inputs)
                if self.ports[p] in io_ids
            },
        }

    def _contest_data(self, table: dict) -> dict:
        """For each wire that a region switch drives: its drivers outside the region. And the
        findings that no region switch changes."""
        chip, circuit = self.chip, self.circuit
        local: dict[int, int] = {}
        for wire in self.group_wire_chip:
            local.setdefault(wire, len(local))
        fed: dict[tuple[int, int], bool] = {}

        def unfed(tile, source, destination):
            if source != "carry_in" or destination != "carry_in_mux":
                return False
            if tile not in fed:
                fed[tile] = fed_by_a_carry_chain(chip, *tile)
            return not fed[tile]

        outside: dict[int, list] = {}
        fixed_unfed, inside = [], 0
        for group, row in self.on_rows:
            tile = chip.tile_list[chip.group_tile[group]]
            if tile in self.region_set:
                inside += 1
                continue
            entry = chip_switch_entry(chip, row, circuit.order[tile])
            outside.setdefault(chip.group_dst[group], []).append(entry)
            if unfed(tile, entry[1][2], entry[1][3]):
                fixed_unfed.append(entry)
        fixed = {}
        for wire, entries in outside.items():
            if wire not in local:
                cells = cell_outputs(chip, wire)
                if len(cells) + len(entries) > 1:
                    fixed[chip.wire_key(wire)] = (cells, entries)
        wires = list(local)
        cells = [cell_outputs(chip, w) for w in wires]
        names = table["names"]
        unfed_rows = []
        for local_group, group in enumerate(self.group_chip):
            tile = chip.tile_list[chip.group_tile[group]]
            destination = names[table["group_dst_name"][local_group]]
            for row in range(
                table["group_first_row"][local_group], table["group_first_row"][local_group + 1]
            ):
                if unfed(tile, names[table["row_source_name"][row]], destination):
                    unfed_rows.append(row)
        return {
            "group_wire": [local[w] for w in self.group_wire_chip],
            "wire_keys": [chip.wire_key(w) for w in wires],
            "wire_cells": cells,
            "wire_outside": [outside.get(w, []) for w in wires],
            "outside_count": [len(c) + len(outside.get(w, [])) for w, c in zip(wires, cells)],
            "unfed_rows": unfed_rows,
            "fixed_contested": fixed,
            "fixed_unfed": fixed_unfed,
            "switches_total": len(self.on_rows),
            "switches_region": inside,
        }
