"""Mutation in a region: gridflip.mutate's flips, in some logic tiles of a circuit only.

gridflip.mutate visits every logic tile of a file, by contract. mutate_region copies the listed
tiles into a small scratch .asc (an anonymous memory file per process and thread), lets
gridflip.mutate flip that (its generator, its rules: the chance narrowed to a 32-bit float, a
position visited as often as it is listed), and writes the tiles back at their offsets. Every
byte outside them stays, and the length never changes.

The write-back is one pwrite of the span from the first to the last listed tile, the bytes in
between as they were: a process killed at any moment leaves the file as it was or wholly mutated,
never partly. The file is not fsynced: a candidate is scratch, and a parent worth keeping is
written atomically by whoever keeps it.
"""

from __future__ import annotations

import operator
import os
import re
import tempfile
import threading
from collections.abc import Iterable, Sequence

import gridflip

from .icestorm import read_circuit
from .tiles import COLUMN_COUNT, ROW_LINES, ROW_STRIDE

TILE_BYTES = ROW_LINES * ROW_STRIDE
SCRATCH_HEADER = b".logic_tile 0 0\n"  # gridflip takes any line that starts with .logic_tile
_SCRATCH_DIRECTORY = "/dev/shm" if os.path.isdir("/dev/shm") else None
# One scratch file per process and thread: an anonymous memory file (memfd) that gridflip.mutate
# opens by its /proc path, so a call creates and removes nothing. A forked child makes its own.
_scratch = threading.local()


def _scratch_file() -> tuple[int, str] | None:
    """(descriptor, path) of this thread's scratch file, or None where memfds are missing."""
    found = getattr(_scratch, "file", None)
    if found is not None and found[0] == os.getpid():
        return found[1:]
    if not hasattr(os, "memfd_create") or not os.path.isdir("/proc/self/fd"):
        return None
    descriptor = os.memfd_create("gridflip-region", os.MFD_CLOEXEC)
    _scratch.file = (os.getpid(), descriptor, f"/proc/{os.getpid()}/fd/{descriptor}")
    return _scratch.file[1:]


def _mutate_copy(scratch: bytes, rows, passes) -> bytes:
    """The scratch .asc after gridflip.mutate, once for each (columns, chance) of `passes`."""
    place = _scratch_file()
    if place is not None:
        descriptor, name = place
        os.ftruncate(descriptor, len(scratch))
        os.pwrite(descriptor, scratch, 0)
        for columns, chance in passes:
            gridflip.mutate(name, rows, columns, chance)
        return os.pread(descriptor, len(scratch), 0)
    descriptor, name = tempfile.mkstemp(prefix="gridflip-region-", dir=_SCRATCH_DIRECTORY)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(scratch)
        for columns, chance in passes:
            gridflip.mutate(name, rows, columns, chance)
        with open(name, "rb") as file:
            return file.read()
    finally:
        os.unlink(name)


def _positions(values: Iterable[int], limit: int, what: str) -> list[int]:
    found = [operator.index(v) for v in values]
    for v in found:
        if not 0 <= v <= limit:
            raise ValueError(
                f"{what} {v} is outside 0-{limit}: gridflip.mutate would write past the tile"
            )
    return found


HEADER = re.compile(rb"^\.logic_tile[ \t]+(\d+)[ \t]+(\d+)[^\n]*\n", re.MULTILINE)
# Where the logic tiles are, by file length: candidates of one seed share it, so a call checks
# the few bytes that make its tiles tiles instead of scanning the file again.
_layouts: dict[int, dict[tuple[int, int], tuple[int, int]]] = {}


def _is_tile(data: bytes, header: int, body: int, x: int, y: int) -> bool:
    """A .logic_tile x y line at a line start, then 16 rows of 54 characters and a line feed."""
    if header and data[header - 1] != 0x0A:
        return False
    match = HEADER.match(data, header)
    if not match or match.end() != body or (int(match[1]), int(match[2])) != (x, y):
        return False
    end = body + TILE_BYTES
    return end <= len(data) and all(
        data[body + r * ROW_STRIDE + COLUMN_COUNT] == 0x0A for r in range(ROW_LINES)
    )


def tile_bodies(data: bytes) -> dict[tuple[int, int], int]:
    """(x, y) -> offset of row 0, for the logic tiles whose 16 rows are 54 bits and a line
    feed (the first, if a tile appears twice)."""
    layout: dict[tuple[int, int], tuple[int, int]] = {}
    for match in HEADER.finditer(data):
        tile = (int(match[1]), int(match[2]))
        if tile not in layout and _is_tile(data, match.start(), match.end(), *tile):
            layout[tile] = (match.start(), match.end())
    if len(_layouts) > 8:
        _layouts.clear()
    _layouts[len(data)] = layout
    return {tile: body for tile, (_, body) in layout.items()}


def _body(data: bytes, x: int, y: int) -> int | None:
    place = _layouts.get(len(data), {}).get((x, y))
    if place is not None and _is_tile(data, *place, x, y):
        return place[1]
    return tile_bodies(data).get((x, y))


def mutate_region(
    path: str | os.PathLike,
    tiles: Iterable[Sequence[int]],
    rows: Iterable[int],
    columns: Iterable[int],
    mutation_chance: float,
) -> None:
    """Flip bits of the circuit at `path` in place, as gridflip.mutate(path, rows, columns,
    mutation_chance) would, but only inside `tiles`, the (x, y) of logic tiles of the file.

    ValueError for a tile that is not a logic tile of the file (a ".logic_tile x y" line, then 16
    rows of 54 characters and a line feed), and
    for a row outside 0-15 or a column outside 0-53; TypeError for values that are not integers;
    what gridflip.mutate raises for the chance. OSError as the file gives it."""
    mutate_region_passes(path, tiles, rows, [(columns, mutation_chance)])


def mutate_region_passes(
    path: str | os.PathLike,
    tiles: Iterable[Sequence[int]],
    rows: Iterable[int],
    passes: Iterable[tuple[Iterable[int], float]],
) -> None:
    """mutate_region once for each (columns, chance) of `passes`, in that order, with one read
    and one write of the file: what the evolution does with its logic-cell and routing
    chances."""
    rows = _positions(rows, ROW_LINES - 1, "row")
    passes = [
        (_positions(columns, COLUMN_COUNT - 1, "column"), chance) for columns, chance in passes
    ]
    data = read_circuit(path)
    offsets = set()
    for tile in tiles:
        x, y = (operator.index(v) for v in tile)
        body = _body(data, x, y)
        if body is None:
            raise ValueError(
                f"tile ({x}, {y}) is not a logic tile of {os.fspath(path)} with 16 rows of 54 "
                "characters"
            )
        offsets.add(body)
    if not offsets:
        return
    offsets = sorted(offsets)
    scratch = b"".join(SCRATCH_HEADER + data[o : o + TILE_BYTES] for o in offsets)
    mutated = _mutate_copy(scratch, rows, passes)
    header = len(SCRATCH_HEADER)
    span = bytearray(data[offsets[0] : offsets[-1] + TILE_BYTES])
    for k, offset in enumerate(offsets):
        start = k * (header + TILE_BYTES) + header
        span[offset - offsets[0] : offset - offsets[0] + TILE_BYTES] = mutated[
            start : start + TILE_BYTES
        ]
    descriptor = os.open(path, os.O_WRONLY)
    try:
        written = os.pwrite(descriptor, span, offsets[0])
    finally:
        os.close(descriptor)
    if written != len(span):
        raise OSError(f"{os.fspath(path)}: wrote {written} of {len(span)} bytes: the file is torn")
