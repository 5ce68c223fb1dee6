"""Mutate a copy of an example circuit with gridflip and show what changed.

    python examples/mutate_example.py [--circuit PATH] [--rows 0-15] [--columns 0-53]
                                      [--chance 0.01] [--dry-run-model]

The call is one line:

    gridflip.mutate(path, rows, columns, chance)

In every logic tile of the file at `path` it flips each requested (column, row) bit with the
given chance, in place, and returns None. A file it cannot open, map or mutate raises
PanicException, a BaseException. The circuit itself is never touched: the script mutates a copy
in a temporary directory, then checks the result with the rules of the package gridflip_evolution (its tiles module). It exits
with status 1 if the result breaks one (a changed length, a change outside the requested tile
bits, a flip count far from the chance) or no longer packs, and with status 2 if it cannot read
the circuit.
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

from gridflip_evolution.icestorm import run_icepack
from gridflip_evolution.tiles import (
    COLUMN_COUNT,
    ROW_LINES,
    check_changes,
    find_tiles,
    flip_count_problem,
    mutate_with_python_random,
    parse_positions,
)

HERE = Path(__file__).resolve().parent


def pack(path: Path) -> tuple[bool, str]:
    """Whether icepack still packs the mutated copy, and what it said."""
    if shutil.which("icepack") is None:
        return True, "icepack not found, packing not checked"
    binary = path.with_suffix(".bin")
    failure = run_icepack(path, binary)
    if failure is not None:
        return False, failure
    return True, f"icepack packs it: {binary.stat().st_size} bytes"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--circuit",
        type=Path,
        default=HERE / "blinky_hx8k.asc",
        help="the circuit to copy and mutate (default: the HX8K example)",
    )
    parser.add_argument(
        "--rows",
        type=lambda t: parse_positions(t, ROW_LINES),
        default=list(range(ROW_LINES)),
        help="rows to visit (default 0-15)",
    )
    parser.add_argument(
        "--columns",
        type=lambda t: parse_positions(t, COLUMN_COUNT),
        default=list(range(COLUMN_COUNT)),
        help="columns to visit (default 0-53)",
    )
    parser.add_argument("--chance", type=float, default=0.01, help="chance to flip each bit")
    parser.add_argument(
        "--dry-run-model",
        action="store_true",
        help="flip with Python's random under the same rules instead of gridflip",
    )
    parser.add_argument("--show", type=int, default=5, help="tiles to list individually")
    args = parser.parse_args(argv)
    try:
        before = args.circuit.read_bytes()
    except OSError as error:
        print(
            f"mutate_example: cannot read {args.circuit}: {error.strerror or error}",
            file=sys.stderr,
        )
        return 2

    if args.dry_run_model:
        mutate, engine = mutate_with_python_random, "Python model (--dry-run-model)"
    else:
        import gridflip

        mutate, engine = gridflip.mutate, "gridflip.mutate"

    with tempfile.TemporaryDirectory(prefix="gridflip-example-") as work:
        copy = Path(work) / args.circuit.name
        copy.write_bytes(before)
        tiles = find_tiles(before)
        print(f"circuit: {args.circuit} ({len(before)} bytes, {len(tiles)} logic tiles)")
        print(
            f"mutating a copy with {engine}: {len(args.rows)} rows x {len(args.columns)} "
            f"columns, chance {args.chance}"
        )
        started = time.perf_counter()
        try:
            mutate(str(copy), args.rows, args.columns, args.chance)
        except BaseException as error:
            if type(error).__name__ != "PanicException":  # gridflip does not export the type
                raise
            print(f"FAILED: mutate raised PanicException: {error}")
            return 1
        elapsed = time.perf_counter() - started
        after = copy.read_bytes()

        changes = check_changes(before, after, tiles, args.rows, args.columns)
        visits = len(tiles) * len(args.rows) * len(args.columns)
        repeats = len(set(args.rows)) < len(args.rows) or len(set(args.columns)) < len(args.columns)
        count_problem = flip_count_problem(changes.changed, visits, args.chance, repeats)
        print(f"mutate took {elapsed * 1000:.1f} ms for {visits} visited positions")
        print(f"bits changed: {changes.changed}")
        if tiles:
            print(
                f"per tile: min {min(changes.per_tile)}, median "
                f"{statistics.median(changes.per_tile):g}, max {max(changes.per_tile)}; tiles "
                f"with a change: {sum(1 for n in changes.per_tile if n)} of {len(tiles)}"
            )
            for tile, count in list(zip(tiles, changes.per_tile))[: args.show]:
                print(f"  {tile.header:<24} body at {tile.body:>8}: {count} changed")
        print(f"length: {len(before)} -> {len(after)} bytes")
        print("only requested tile bits changed, each 0<->1:", "no" if changes.problems else "yes")
        packs, packing = pack(copy)
        print(packing)

    problems = changes.problems + ([count_problem] if count_problem else [])
    for problem in problems:
        print(f"PROBLEM: {problem}")
    if not packs:
        print("PROBLEM: the mutated circuit does not pack")
    return 1 if problems or not packs else 0


if __name__ == "__main__":
    sys.exit(main())
