"""gridflip-check-drivers on the HX8K example, as built and mutated, against icetime where it
is installed: which wires it calls contested, with which tiles and bits, and its exit status."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest
from conftest import EXAMPLES, command

HX8K = Path(EXAMPLES, "blinky_hx8k.asc")
PCF = os.path.join(EXAMPLES, "blinky", "hx8k_breakout.pcf")
LOGIC_CELLS = range(36, 46)
ROUTING = [c for c in range(54) if c not in LOGIC_CELLS]


def run_check(*arguments):
    return subprocess.run(
        [command("gridflip-check-drivers"), *arguments],
        capture_output=True,
        text=True,
        timeout=120,
    )


def icetime(path):
    """What icetime makes of the circuit: "timed", "two sources" (its assertion that a segment
    has one source), or None where icetime is not installed."""
    if shutil.which("icetime") is None:
        return None
    run = subprocess.run(
        ["icetime", "-d", "hx8k", "-P", "ct256", "-p", PCF, "-t", str(path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    if run.returncode == 0:
        return "timed"
    if "interconn_src.count(seg) == 0" in run.stderr:
        return "two sources"
    return f"failed otherwise ({run.returncode}): {run.stderr[-300:]}"


def mutated_copy(tmp_path, name, columns, chance):
    import gridflip

    path = tmp_path / name
    shutil.copyfile(HX8K, path)
    gridflip.mutate(str(path), range(16), columns, chance)
    return path


def tile_rows(path):
    """line index of row 0 of every tile, by its coordinates"""
    lines = path.read_text().split("\n")
    heads = {}
    for index, line in enumerate(lines):
        match = re.match(r"\.\w+_tile (\d+) (\d+)$", line)
        if match:
            heads[int(match[1]), int(match[2])] = index + 1
    return lines, heads


def with_bits(path, target, tile, bits):
    """A copy of `path` with icebox-named bits (B<row>[<column>], ! for 0) set in one tile."""
    lines, heads = tile_rows(path)
    for bit in bits:
        clear, row, column = re.fullmatch(r"(!?)B(\d+)\[(\d+)\]", bit).groups()
        index, column = heads[tile] + int(row), int(column)
        lines[index] = lines[index][:column] + ("0" if clear else "1") + lines[index][column + 1 :]
    target.write_text("\n".join(lines))
    return target


def test_the_example_as_built_and_logic_cell_mutations_are_clean(icebox, tmp_path):
    logic = [mutated_copy(tmp_path, f"logic-{n}.asc", LOGIC_CELLS, 0.05) for n in range(2)]
    result = run_check(str(HX8K), *map(str, logic))
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    for line in lines:
        assert re.fullmatch(
            r".+\.asc: no wire has more than one driver \(230 switches on, "
            r"checked in [\d.]+ s\)",
            line,
        ), line
    for path in (HX8K, *logic):
        assert icetime(path) in ("timed", None)


def test_routing_mutation_is_flagged_and_the_listed_switches_are_the_cause(icebox, tmp_path):
    routed = mutated_copy(tmp_path, "routing.asc", ROUTING, 0.01)
    result = run_check("--listed", "1000", str(HX8K), str(routed))
    assert result.returncode == 1, result.stdout + result.stderr
    header = re.search(r"(?m)^.*routing\.asc: (\d+) wires with more than one driver", result.stdout)
    assert header and int(header[1]) > 20, result.stdout
    assert len(re.findall(r"(?m)^  wire .*: [2-9] drivers$", result.stdout)) == int(header[1])
    assert icetime(routed) in ("two sources", None)

    # Put back only the mutated bits of the switches the listing names: the file is clean
    # then, and icetime times it, although thousands of other routing bits stay flipped.
    original, heads = tile_rows(HX8K)
    lines, _ = tile_rows(routed)
    restored = 0
    listed = re.findall(
        r"(?m)^    tile \((\d+), (\d+)\): (?:buffer|routing) \S+ -> \S+  \[(.+)\]$", result.stdout
    )
    assert len(listed) >= 2 * int(header[1])
    for x, y, bits in listed:
        for bit in bits.split():
            row, column = map(int, re.fullmatch(r"!?B(\d+)\[(\d+)\]", bit).groups())
            index = heads[int(x), int(y)] + row
            if lines[index][column] != original[index][column]:
                lines[index] = (
                    lines[index][:column] + original[index][column] + lines[index][column + 1 :]
                )
                restored += 1
    repaired = tmp_path / "repaired.asc"
    repaired.write_text("\n".join(lines))
    still_flipped = sum(a != b for x, y in zip(lines, original) for a, b in zip(x, y))
    assert still_flipped > 20 * restored
    assert run_check(str(repaired)).returncode == 0
    assert icetime(repaired) in ("timed", None)


ONE_BIT_CASES = {
    # Row 5, column 53 of logic tile (2, 29): LUT 2's output onto the vertical span-4 wire that
    # LUT 6 of tile (2, 31) already drives. icetime meets both outputs on one segment.
    ((2, 29), "B5[53]"): (
        "two sources",
        [
            "  wire sp4_r_v_b_37 at tile (2, 29): 2 drivers",
            "    tile (2, 29): buffer lutff_2/out -> sp4_r_v_b_37  [B5[53]]",
            "    tile (2, 31): buffer lutff_6/out -> sp4_r_v_b_13  [B13[52]]",
        ],
    ),
    # Row 12, column 50: LUT 5's output cascaded onto LUT 6's input 2, which its input
    # multiplexer already drives. icetime times the file (it follows only interconnect from
    # cell outputs); the tile database has two buffers onto one input, and so does the check.
    ((2, 29), "B12[50]"): (
        "timed",
        [
            "  wire lutff_6/in_2 at tile (2, 29): 2 drivers",
            "    tile (2, 29): buffer local_g0_6 -> lutff_6/in_2  [B12[35] B13[32] !B13[33] !B13[34] B13[35]]",
            "    tile (2, 29): buffer lutff_5/lout -> lutff_6/in_2  [B12[50]]",
        ],
    ),
    # The carry input of a tile in the bottom row of logic tiles switched into its carry chain:
    # nothing below can drive it. icetime times this file, whose tile (18, 1) holds no logic;
    # on a design with a carry chain in that row it stops on Assertion '!co_cell.empty()'.
    ((18, 1), "B1[49]"): (
        "timed",
        [
            "  carry input at tile (18, 1): no logic tile below gives it a carry-out",
            "    tile (18, 1): buffer carry_in -> carry_in_mux  [B1[49]]",
        ],
    ),
}


@pytest.mark.parametrize(
    "tile, bit", ONE_BIT_CASES, ids=[f"{x}-{y}-{bit}" for (x, y), bit in ONE_BIT_CASES]
)
def test_one_bit_makes_the_circuit_unsound(icebox, tmp_path, tile, bit):
    expected_icetime, expected_listing = ONE_BIT_CASES[tile, bit]
    one_bit = with_bits(HX8K, tmp_path / "one-bit.asc", tile, [bit])
    result = run_check(str(one_bit))
    assert result.returncode == 1
    assert result.stdout.splitlines()[1:] == expected_listing
    assert icetime(one_bit) in (expected_icetime, None)


def test_what_cannot_be_checked_exits_with_status_2(icebox, tmp_path):
    cut = tmp_path / "cut.asc"
    cut.write_bytes(HX8K.read_bytes()[:200_000])
    between_tiles = tmp_path / "between-tiles.asc"
    circuit = HX8K.read_text()
    between_tiles.write_text(circuit[: circuit.index(".logic_tile 5 5\n")])
    text = tmp_path / "notes.txt"
    text.write_text("not a circuit\n")
    result = run_check(
        str(cut), str(between_tiles), str(text), str(tmp_path / "missing.asc"), str(HX8K)
    )
    assert result.returncode == 2
    report = [line for line in result.stdout.splitlines() if not line.startswith("Warning:")]
    assert re.fullmatch(
        rf"{cut}: not checked: icebox cannot read {cut}: "
        r"tile \(\d+, \d+\) has \d+ rows, not 16: a cut file\?",
        report[0],
    ), report[0]
    assert report[1] == (
        f"{between_tiles}: not checked: icebox cannot read {between_tiles}: "
        "979 of the 8k device's tiles are missing, first (0, 6): a cut file?"
    )
    assert report[2].startswith(f"{text}: not checked: icebox cannot read {text}: no .device line")
    assert report[3].startswith(f"{tmp_path / 'missing.asc'}: not checked: [Errno 2]")
    assert report[4].startswith(f"{HX8K}: no wire has more than one driver")

    result = run_check("--icebox-dir", str(tmp_path), str(HX8K))
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr == (
        f"gridflip-check-drivers: icebox.py (IceStorm) not found in {tmp_path}; "
        "install Debian's fpga-icestorm or pass --icebox-dir\n"
    )
